// The view of the physics world: one scene, one GL context and the cameras,
// set up at the first engine step on the control thread and reused for
// every frame. The context is the window's when a window is open (the
// recording then draws into MuJoCo's offscreen buffer in it), otherwise
// an OSMesa one, which needs neither a display nor a GPU.
#include "view.h"

#include <GL/osmesa.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "overlay.h"
#include "recorder.h"
#include "window.h"

namespace standin {

namespace {

constexpr int kMaxGeoms = 2000;  // the scene's room for drawn shapes
constexpr int kMaxShadowSize = 1024;
constexpr double kFollowSlack = 0.05;  // how far the pelvis may stray before the view follows, m //
                                       // side of the shadow map, pixels
constexpr std::int64_t kWindowFrameNs = 16666667;   // at most 60 window frames per second
constexpr std::int64_t kSpeedWindowNs = 500000000;  // the real-time factor's averaging time

std::int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

RecordCost g_cost;  // the control thread's alone

// OSMesa, opened at run time like GLFW, so that its GL and the window's
// never meet in one link and a machine without it still runs.
struct OsMesa {
  decltype(&::OSMesaCreateContextExt) create = nullptr;
  decltype(&::OSMesaMakeCurrent) make_current = nullptr;
  decltype(&::glFinish) finish = nullptr;
};

bool load_osmesa(OsMesa &osmesa) {
  void *library = dlopen("libOSMesa.so.8", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) library = dlopen("libOSMesa.so.6", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    report(
        "STANDIN_RECORD: cannot load OSMesa (Debian package libosmesa6): %s; running without "
        "recording",
        dlerror());
    return false;
  }
  osmesa.create = reinterpret_cast<decltype(&::OSMesaCreateContextExt)>(
      dlsym(library, "OSMesaCreateContextExt"));
  osmesa.make_current =
      reinterpret_cast<decltype(&::OSMesaMakeCurrent)>(dlsym(library, "OSMesaMakeCurrent"));
  osmesa.finish = reinterpret_cast<decltype(&::glFinish)>(dlsym(library, "glFinish"));
  if (osmesa.create == nullptr || osmesa.make_current == nullptr || osmesa.finish == nullptr) {
    report("STANDIN_RECORD: OSMesa lacks its context calls; running without recording");
    return false;
  }
  return true;
}

// The program's name, as every frame shows it.
const char *program_name() {
  return program_invocation_short_name;
}

class View final : public StepObserver {
 public:
  View(const Config &config, Physics &physics, mjModel *m);
  bool start();
  void after_step(const mjModel *m, mjData *d) override;
  void after_advance(const mjModel *m, mjData *d) override;
  void finish() override;

 private:
  bool open_gl(const mjModel *m);
  bool open_offscreen();
  void record(const mjModel *m, mjData *d, std::int64_t first, std::int64_t last);
  void show(const mjModel *m, mjData *d);
  void follow(mjvCamera &camera, const mjData *d) const;
  void update_scene(const mjModel *m, mjData *d, mjvCamera &camera, Overlays overlays, int height);
  void log_frame();

  const Config &config_;
  Physics &physics_;
  mjModel *model_;  // the physics world's, whose drawing settings the view tunes
  Recorder recorder_;
  Window window_;
  bool want_window_ = false;
  bool window_on_ = false;
  bool gl_tried_ = false;
  bool gl_on_ = false;
  bool frames_wanted_ = false;  // recording; read unlocked, so only the control thread writes it
  bool finished_ = false;       // finish() has run: nothing more is drawn
  // Drawing against finish() from an exiting thread. Recursive: a MuJoCo
  // error while drawing exits the process, and finish() then runs on the
  // drawing thread.
  std::recursive_mutex lock_;

  OsMesa osmesa_;
  OSMesaContext osmesa_context_ = nullptr;
  std::unique_ptr<unsigned char[]> osmesa_buffer_;
  mjvScene scene_;
  mjvOption option_;
  mjrContext context_;
  mjvCamera record_camera_;     // the recording's, never moved by the mouse
  mjvCamera window_camera_;     // the window's, the mouse's to move
  int track_body_ = 0;          // the pelvis, which the cameras follow
  int head_camera_ = -1;        // the model's "camera"
  double follow_height_ = 0.0;  // height the cameras look at, m
  CameraMode window_mode_ = CameraMode::follow;
  double start_xy_[2] = {};  // where the pelvis started over the floor, m
  Overlay overlay_;
  Overlays record_overlays_;                 // STANDIN_OVERLAY's, for the whole recording
  Overlays window_overlays_;                 // STANDIN_OVERLAY's at first, then the keys'
  std::unique_ptr<unsigned char[]> pixels_;  // one recorded frame
  int frame_log_ = -1;                       // STANDIN_FRAME_LOG, -1 when off
  std::int64_t window_frames_ = 0;           // window frames shown

  std::int64_t step_ns_ = 0;         // engine time step
  std::int64_t steps_ = 0;           // engine steps taken
  std::int64_t next_frame_ = 0;      // number of the next recorded frame
  std::int64_t next_frame_ns_ = 0;   // simulated time it is due
  std::int64_t next_draw_ns_ = 0;    // wall-clock time the window may draw again
  std::int64_t speed_wall_ns_ = -1;  // start of the real-time factor's window
  std::int64_t speed_sim_ns_ = 0;
  double speed_ = 0.0;  // real-time factor last measured
};

View::View(const Config &config, Physics &physics, mjModel *m)
    : config_(config), physics_(physics), model_(m) {
  want_window_ = config.view_window;
  // The offscreen buffer must hold a whole recorded frame.
  if (config.record_path != nullptr) {
    m->vis.global.offwidth = config.record_width;
    m->vis.global.offheight = config.record_height;
  }
  step_ns_ = std::llround(m->opt.timestep * 1e9);
  // Software GL fills and clears the shadow map every frame: at the
  // default 4096 pixels a side that is most of a frame's cost, at 1024 a
  // fifth, and the shadows still look right at these frame sizes.
  m->vis.quality.shadowsize = std::min(m->vis.quality.shadowsize, kMaxShadowSize);
  int gps = mj_name2id(m, mjOBJ_SITE, "gps");
  track_body_ = gps >= 0 ? m->site_bodyid[gps] : 0;
  head_camera_ = mj_name2id(m, mjOBJ_CAMERA, "camera");
  // The robot seen from its front right (or where STANDIN_CAMERA_AZIMUTH
  // says), a little from above.
  mjv_defaultCamera(&record_camera_);
  record_camera_.type = mjCAMERA_FREE;
  record_camera_.distance = 1.2;
  record_camera_.azimuth = config.camera_azimuth;
  record_camera_.elevation = -15.0;
  window_camera_ = record_camera_;
  overlay_.bind(physics.robot());
  record_overlays_ = {.balance = config.overlay_balance, .joints = config.overlay_joints};
  window_overlays_ = record_overlays_;
  mjv_defaultOption(&option_);
  // The head's distance ray would cross the picture whenever it meets the floor.
  option_.flags[mjVIS_RANGEFINDER] = 0;
  mjv_defaultScene(&scene_);
  mjr_defaultContext(&context_);
}

bool View::start() {
  if (want_window_ && config_.frame_log_path != nullptr) {
    frame_log_ = open_output(config_.frame_log_path, O_TRUNC | O_APPEND);
    if (frame_log_ < 0) {
      report("STANDIN_FRAME_LOG: cannot create it: %s; running without it", open_error(errno));
    }
  }
  // A recording that cannot start has said why; the window may still open.
  if (config_.record_path != nullptr) {
    recorder_.start(config_.record_path, config_.record_format, config_.record_width,
                    config_.record_height);
  }
  return want_window_ || recorder_.on();
}

bool View::open_offscreen() {
  if (!load_osmesa(osmesa_)) return false;
  osmesa_context_ = osmesa_.create(OSMESA_RGBA, 24, 8, 0, nullptr);
  int width = config_.record_width;
  int height = config_.record_height;
  osmesa_buffer_ = std::make_unique<unsigned char[]>(static_cast<std::size_t>(width) * height * 4);
  if (osmesa_context_ == nullptr || !osmesa_.make_current(osmesa_context_, osmesa_buffer_.get(),
                                                          GL_UNSIGNED_BYTE, width, height)) {
    report("STANDIN_RECORD: cannot make an OSMesa context; running without recording");
    return false;
  }
  return true;
}

// The GL side, at the first engine step: the control thread owns it.
bool View::open_gl(const mjModel *m) {
  gl_tried_ = true;
  if (want_window_) {
    char title[96];
    std::snprintf(title, sizeof title, "%s: the stand-in robot", program_name());
    window_on_ = window_.open(title);
  }
  if (!window_on_ && (!recorder_.on() || !open_offscreen())) {
    recorder_.abandon();
    return false;
  }
  // Drawn straight into OSMesa's buffer, MuJoCo's offscreen buffer goes
  // unused: no multisampling spares its memory (four times the frame).
  if (!window_on_) model_->vis.quality.offsamples = 0;
  mjv_makeScene(m, &scene_, kMaxGeoms);
  // Text about 2.5% of the frame high, whatever the size.
  int height = window_on_ ? 600 : config_.record_height;
  int font = height <= 300 ? mjFONTSCALE_100 : height <= 600 ? mjFONTSCALE_150 : mjFONTSCALE_200;
  mjr_makeContext(m, &context_, font);
  if (recorder_.on() &&
      (context_.offWidth < config_.record_width || context_.offHeight < config_.record_height)) {
    report(
        "STANDIN_RECORD: the offscreen buffer is %dx%d, smaller than %dx%d; running without "
        "recording",
        context_.offWidth, context_.offHeight, config_.record_width, config_.record_height);
    recorder_.abandon();
  }
  if (recorder_.on() && window_on_) {
    pixels_ = std::make_unique<unsigned char[]>(static_cast<std::size_t>(config_.record_width) *
                                                config_.record_height * 4);
  }
  return window_on_ || recorder_.on();
}

// Draws the state once and hands it over as frames `first` to `last`
// (more than one only when an engine step is longer than a frame).
void View::record(const mjModel *m, mjData *d, std::int64_t first, std::int64_t last) {
  std::int64_t begin = monotonic_ns();
  follow(record_camera_, d);
  update_scene(m, d, record_camera_, record_overlays_, config_.record_height);
  // Without a window the frame is drawn straight into OSMesa's buffer in
  // our memory, already in GL's native RGBA: no copy, no conversion.
  mjr_setBuffer(window_on_ ? mjFB_OFFSCREEN : mjFB_WINDOW, &context_);
  mjrRect frame = {0, 0, config_.record_width, config_.record_height};
  mjr_render(frame, &scene_, &context_);
  char time[32];
  std::snprintf(time, sizeof time, "%.2f s", static_cast<double>(steps_ * step_ns_) / 1e9);
  mjr_overlay(mjFONT_NORMAL, mjGRID_TOPLEFT, frame, program_name(), time, &context_);
  std::int64_t drawn = monotonic_ns();
  const unsigned char *pixels = osmesa_buffer_.get();
  if (window_on_) {
    // MuJoCo reads RGB; the recording takes RGBA: spread it out in place,
    // from the end.
    unsigned char *rgba = pixels_.get();
    mjr_readPixels(rgba, nullptr, frame, &context_);
    for (std::size_t i = static_cast<std::size_t>(frame.width) * frame.height; i-- > 0;) {
      rgba[4 * i + 3] = 255;
      rgba[4 * i + 2] = rgba[3 * i + 2];
      rgba[4 * i + 1] = rgba[3 * i + 1];
      rgba[4 * i] = rgba[3 * i];
    }
    pixels = rgba;
  } else {
    osmesa_.finish();
  }
  std::int64_t read = monotonic_ns();
  for (std::int64_t index = first; index <= last; ++index) recorder_.frame(pixels, index);
  g_cost.frames += 1;
  g_cost.draw_ns += drawn - begin;
  g_cost.read_ns += read - drawn;
  g_cost.encode_ns += monotonic_ns() - read;
}

void View::show(const mjModel *m, mjData *d) {
  std::int64_t now = monotonic_ns();
  if (now < next_draw_ns_) return;
  next_draw_ns_ = now + kWindowFrameNs;
  window_.poll(m, &scene_, &window_camera_, &window_mode_, head_camera_, &window_overlays_);
  if (window_.closing()) {
    // The run ends as at the stop time, after this robot_step.
    physics_.request_stop();
    return;
  }
  std::int64_t sim = steps_ * step_ns_;
  if (speed_wall_ns_ < 0 || now - speed_wall_ns_ >= kSpeedWindowNs) {
    if (speed_wall_ns_ >= 0) {
      speed_ = static_cast<double>(sim - speed_sim_ns_) / static_cast<double>(now - speed_wall_ns_);
    }
    speed_wall_ns_ = now;
    speed_sim_ns_ = sim;
  }
  if (window_mode_ == CameraMode::follow) follow(window_camera_, d);
  mjrRect viewport = window_.viewport();
  update_scene(m, d, window_camera_, window_overlays_, viewport.height);
  mjr_setBuffer(mjFB_WINDOW, &context_);
  mjr_render(viewport, &scene_, &context_);
  char names[64];
  char values[64];
  double seconds = static_cast<double>(sim) / 1e9;
  // The real-time factor means something only when the run is paced.
  if (config_.pace > 0.0) {
    std::snprintf(names, sizeof names, "%s\nreal time", program_name());
    std::snprintf(values, sizeof values, "%.2f s\n%.2fx", seconds, speed_);
  } else {
    std::snprintf(names, sizeof names, "%s", program_name());
    std::snprintf(values, sizeof values, "%.2f s", seconds);
  }
  mjr_overlay(mjFONT_NORMAL, mjGRID_TOPLEFT, viewport, names, values, &context_);
  mjr_overlay(mjFONT_NORMAL, mjGRID_BOTTOMLEFT, viewport,
              "T follow  F fix  H head  B balance  J joints  V velocity\nleft drag turn  right "
              "drag pan  scroll zoom",
              nullptr, &context_);
  window_.swap();
  if (frame_log_ >= 0) log_frame();
  // A slow machine spends at most half its time drawing the window.
  std::int64_t drawn = monotonic_ns();
  next_draw_ns_ = std::max(next_draw_ns_, drawn + (drawn - now));
}

// One line per window frame, once it is on the screen, for tests that
// look at the window: "FRAME SIMULATED_MS KEYS", KEYS the letters of the
// keys handled before it was drawn, or "-".
void View::log_frame() {
  window_.sync();
  char keys[16];
  window_.take_keys(keys, sizeof keys);
  char line[64];
  int length = std::snprintf(
      line, sizeof line, "%lld %lld %s\n", static_cast<long long>(++window_frames_),
      static_cast<long long>(steps_ * step_ns_ / 1000000), keys[0] != '\0' ? keys : "-");
  if (length <= 0) return;
  std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 1);
  if (write(frame_log_, line, size) != static_cast<ssize_t>(size)) {
    report("STANDIN_FRAME_LOG: write failed: %s; no more written to it", std::strerror(errno));
    close(frame_log_);
    frame_log_ = -1;
  }
}

// Following the pelvis over the floor, at the height it started at, as a
// camera operator would: the view moves only once the pelvis is more than
// kFollowSlack from where it looks, so the floor stays still while the
// robot sways, bends or raises its arms, and a video of it stays small.
void View::follow(mjvCamera &camera, const mjData *d) const {
  double dx = camera.lookat[0] - d->xpos[3 * track_body_];
  double dy = camera.lookat[1] - d->xpos[3 * track_body_ + 1];
  double off = std::hypot(dx, dy);
  double keep = off > kFollowSlack ? kFollowSlack / off : 1.0;
  camera.lookat[0] = d->xpos[3 * track_body_] + dx * keep;
  camera.lookat[1] = d->xpos[3 * track_body_ + 1] + dy * keep;
  camera.lookat[2] = follow_height_;
}

// The scene as `camera` sees it, with `overlays` drawn over it.
void View::update_scene(const mjModel *m, mjData *d, mjvCamera &camera, Overlays overlays,
                        int height) {
  overlay_.notice(physics_.targets(), physics_.setpoints(), steps_ * step_ns_);
  overlay_.prepare(overlays, &option_);
  mjv_updateScene(m, d, &option_, nullptr, &camera, mjCAT_ALL, &scene_);
  // A directional light's shadow map covers a square about its position,
  // which the model puts over the start: it goes where the robot goes.
  double dx = d->xpos[3 * track_body_] - start_xy_[0];
  double dy = d->xpos[3 * track_body_ + 1] - start_xy_[1];
  for (int i = 0; i < scene_.nlight; ++i) {
    mjvLight &light = scene_.lights[i];
    if (!light.directional || light.headlight) continue;
    light.pos[0] += static_cast<float>(dx);
    light.pos[1] += static_cast<float>(dy);
  }
  // The labels' text, as big on the frame as the context draws it.
  TextSize text;
  if (height > 0) {
    text.line = (0.6 * context_.charHeight + 2.0) / height;
    text.digits = (2.0 * context_.charWidth[static_cast<int>('0')] + 2.0) / height;
  }
  overlay_.draw(m, d, overlays, text, &scene_);
}

void View::after_step(const mjModel *m, mjData *d) {
  ++steps_;
  std::int64_t now_ns = steps_ * step_ns_;
  if (gl_tried_ && !(frames_wanted_ && now_ns >= next_frame_ns_)) return;
  std::lock_guard hold(lock_);
  if (finished_) return;
  if (!gl_tried_) {
    follow_height_ = d->xpos[3 * track_body_ + 2];
    start_xy_[0] = d->xpos[3 * track_body_];
    start_xy_[1] = d->xpos[3 * track_body_ + 1];
    for (mjvCamera *camera : {&record_camera_, &window_camera_}) {
      camera->lookat[0] = d->xpos[3 * track_body_];
      camera->lookat[1] = d->xpos[3 * track_body_ + 1];
      camera->lookat[2] = follow_height_;
    }
    gl_on_ = open_gl(m);
    frames_wanted_ = gl_on_ && recorder_.on();
  }
  if (!frames_wanted_ || now_ns < next_frame_ns_) return;
  // Frames fall on simulated time, so two runs give the same frames.
  std::int64_t due = now_ns * kFramesPerSecond / 1000000000;
  record(m, d, next_frame_, due);
  frames_wanted_ = recorder_.on();
  next_frame_ = due + 1;
  next_frame_ns_ = (next_frame_ * 1000000000 + kFramesPerSecond - 1) / kFramesPerSecond;
}

void View::after_advance(const mjModel *m, mjData *d) {
  if (!window_on_) return;
  std::lock_guard hold(lock_);
  if (!finished_) show(m, d);
}

void View::finish() {
  std::lock_guard hold(lock_);
  if (finished_) return;
  finished_ = true;
  recorder_.finish();
}

View *g_view = nullptr;  // the one view, for the exit handler

// The program's own exit also ends the recording cleanly.
void finish_at_exit() {
  g_view->finish();
}

}  // namespace

RecordCost record_cost() {
  return g_cost;
}

StepObserver *make_view(const Config &config, Physics &physics, mjModel *m) {
  if (!config.view_window && config.record_path == nullptr) return nullptr;
  auto *view = new View(config, physics, m);
  if (!view->start()) {
    delete view;
    return nullptr;
  }
  g_view = view;
  std::atexit(finish_at_exit);
  return view;
}

}  // namespace standin
