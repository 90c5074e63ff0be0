// The live window on GLFW. The library is opened with dlopen, not linked,
// so that the stand-in loads, and records, where GLFW or a display is
// missing, and its GL never meets OSMesa's in one link.
#include "window.h"

#include <GLFW/glfw3.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "standin_internal.h"

namespace standin {

namespace {

// The GLFW functions the window uses, looked up once.
// clang-format off
#define STANDIN_GLFW_FUNCTIONS(X)                                                        \
  X(glfwInit) X(glfwTerminate) X(glfwSetErrorCallback) X(glfwWindowHint)                 \
  X(glfwCreateWindow) X(glfwMakeContextCurrent) X(glfwSwapInterval) X(glfwSwapBuffers)   \
  X(glfwPollEvents) X(glfwWindowShouldClose) X(glfwGetFramebufferSize)                   \
  X(glfwGetWindowSize) X(glfwSetWindowUserPointer) X(glfwGetWindowUserPointer)           \
  X(glfwSetKeyCallback) X(glfwSetMouseButtonCallback) X(glfwSetCursorPosCallback)        \
  X(glfwSetScrollCallback) X(glfwGetMouseButton) X(glfwGetKey) X(glfwGetCursorPos)
// clang-format on

struct Glfw {
#define STANDIN_MEMBER(name) decltype(&::name) name = nullptr;
  STANDIN_GLFW_FUNCTIONS(STANDIN_MEMBER)
#undef STANDIN_MEMBER
};

// Loads GLFW; nullptr once reported.
const Glfw *load_glfw() {
  static Glfw glfw;
  static bool loaded = false;
  if (loaded) return &glfw;
  void *library = dlopen("libglfw.so.3", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    report("STANDIN_VIEW: cannot load GLFW (Debian package libglfw3): %s; running without a view",
           dlerror());
    return nullptr;
  }
#define STANDIN_LOOKUP(name)                                               \
  glfw.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));  \
  if (glfw.name == nullptr) {                                              \
    report("STANDIN_VIEW: GLFW has no %s; running without a view", #name); \
    return nullptr;                                                        \
  }
  STANDIN_GLFW_FUNCTIONS(STANDIN_LOOKUP)
#undef STANDIN_LOOKUP
  loaded = true;
  return &glfw;
}

// The window's size when it opens, pixels.
constexpr int kWidth = 800;
constexpr int kHeight = 600;

// GLFW's last error, for the one line that says why the window did not open.
// Escaped: it quotes DISPLAY, which may hold a line end.
constexpr std::size_t kErrorBytes = 128;
constinit char g_glfw_error[kErrorBytes * 4 + 4] = "";

void keep_glfw_error(int, const char *text) {
  g_glfw_error[escape(text, kErrorBytes, g_glfw_error)] = '\0';
}

// A lost X server (killed, or its machine gone) ends the run as closing
// the window does, in one line, instead of Xlib's words and status 1.
// Xlib ends the process if this returns: it never does.
int on_display_lost(void *) {
  report("STANDIN_VIEW: the display is gone; the run ends as when the window closes");
  stop_now();
}

// Catches the display's loss with Xlib's I/O error handler, from the Xlib
// that GLFW has loaded.
void catch_display_loss() {
  void *xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (xlib == nullptr) return;
  using Handler = int (*)(void *);
  auto set = reinterpret_cast<Handler (*)(Handler)>(dlsym(xlib, "XSetIOErrorHandler"));
  if (set != nullptr) set(on_display_lost);
}

}  // namespace

// What the window's callbacks act on while poll() runs.
struct WindowState {
  const Glfw *glfw = nullptr;
  GLFWwindow *window = nullptr;
  const mjModel *m = nullptr;
  mjvScene *scene = nullptr;
  mjvCamera *camera = nullptr;
  CameraMode *mode = nullptr;
  Overlays *overlays = nullptr;
  int head_camera = -1;
  double x = 0.0, y = 0.0;  // cursor at the last event
  char keys[16] = "";       // letters pressed since take_keys(), in order
  int key_count = 0;
  // GLFW's X display and Xlib's XSync, once looked up (the display as an
  // opaque pointer: Xlib's header would bring its macros here).
  void *(*x_display)() = nullptr;
  int (*x_sync)(void *, int) = nullptr;
};

namespace {

WindowState *state_of(GLFWwindow *window) {
  auto *state = static_cast<WindowState *>(load_glfw()->glfwGetWindowUserPointer(window));
  return state != nullptr && state->camera != nullptr ? state : nullptr;
}

void on_key(GLFWwindow *window, int key, int, int action, int) {
  WindowState *s = state_of(window);
  if (s == nullptr || action != GLFW_PRESS) return;
  if (key >= GLFW_KEY_A && key <= GLFW_KEY_Z && s->key_count < static_cast<int>(sizeof s->keys) - 1)
    s->keys[s->key_count++] = static_cast<char>('A' + (key - GLFW_KEY_A));
  mjvCamera &cam = *s->camera;
  if (key == GLFW_KEY_T || key == GLFW_KEY_F) {
    // F stays where the orbit's centre is now; the view follows it again on T.
    cam.type = mjCAMERA_FREE;
    *s->mode = key == GLFW_KEY_T ? CameraMode::follow : CameraMode::fixed;
  } else if (key == GLFW_KEY_H && s->head_camera >= 0) {
    cam.type = mjCAMERA_FIXED;
    cam.fixedcamid = s->head_camera;
    *s->mode = CameraMode::head;
  } else if (key == GLFW_KEY_B) {
    s->overlays->balance = !s->overlays->balance;
  } else if (key == GLFW_KEY_J) {
    s->overlays->joints = !s->overlays->joints;
  } else if (key == GLFW_KEY_V) {
    s->overlays->velocity = !s->overlays->velocity;
  }
}

void on_button(GLFWwindow *window, int, int, int) {
  WindowState *s = state_of(window);
  if (s != nullptr) s->glfw->glfwGetCursorPos(window, &s->x, &s->y);
}

// Dragging as in a simulator's view: left turns, right pans, middle zooms;
// shift turns and pans about the other axis.
void on_cursor(GLFWwindow *window, double x, double y) {
  WindowState *s = state_of(window);
  if (s == nullptr) return;
  const Glfw &g = *s->glfw;
  double dx = x - s->x;
  double dy = y - s->y;
  s->x = x;
  s->y = y;
  bool left = g.glfwGetMouseButton(window, GLFW_MOUSE_BUTTON_LEFT) == GLFW_PRESS;
  bool right = g.glfwGetMouseButton(window, GLFW_MOUSE_BUTTON_RIGHT) == GLFW_PRESS;
  bool middle = g.glfwGetMouseButton(window, GLFW_MOUSE_BUTTON_MIDDLE) == GLFW_PRESS;
  if (!left && !right && !middle) return;
  bool shift = g.glfwGetKey(window, GLFW_KEY_LEFT_SHIFT) == GLFW_PRESS ||
               g.glfwGetKey(window, GLFW_KEY_RIGHT_SHIFT) == GLFW_PRESS;
  int action = middle  ? mjMOUSE_ZOOM
               : right ? (shift ? mjMOUSE_MOVE_H : mjMOUSE_MOVE_V)
                       : (shift ? mjMOUSE_ROTATE_H : mjMOUSE_ROTATE_V);
  int width = 0;
  int height = 0;
  g.glfwGetWindowSize(window, &width, &height);
  if (height <= 0) return;
  mjv_moveCamera(s->m, action, dx / height, dy / height, s->scene, s->camera);
}

void on_scroll(GLFWwindow *window, double, double y) {
  WindowState *s = state_of(window);
  if (s != nullptr) mjv_moveCamera(s->m, mjMOUSE_ZOOM, 0.0, -0.05 * y, s->scene, s->camera);
}

}  // namespace

Window::~Window() {
  delete state_;
}

bool Window::open(const char *title) {
  const Glfw *glfw = load_glfw();
  if (glfw == nullptr) return false;
  glfw->glfwSetErrorCallback(keep_glfw_error);
  if (glfw->glfwInit() == 0) {
    report("STANDIN_VIEW: cannot open a window (%s); running without a view",
           g_glfw_error[0] != '\0' ? g_glfw_error : "no display");
    return false;
  }
  catch_display_loss();
  glfw->glfwWindowHint(GLFW_SAMPLES, 0);
  GLFWwindow *window = glfw->glfwCreateWindow(kWidth, kHeight, title, nullptr, nullptr);
  if (window == nullptr) {
    report("STANDIN_VIEW: cannot open a window (%s); running without a view", g_glfw_error);
    glfw->glfwTerminate();
    return false;
  }
  glfw->glfwMakeContextCurrent(window);
  // The stand-in limits the frame rate itself; never wait for the screen.
  glfw->glfwSwapInterval(0);
  state_ = new WindowState;
  state_->glfw = glfw;
  state_->window = window;
  glfw->glfwSetWindowUserPointer(window, state_);
  glfw->glfwSetKeyCallback(window, on_key);
  glfw->glfwSetMouseButtonCallback(window, on_button);
  glfw->glfwSetCursorPosCallback(window, on_cursor);
  glfw->glfwSetScrollCallback(window, on_scroll);
  return true;
}

mjrRect Window::viewport() const {
  mjrRect rect = {0, 0, 0, 0};
  state_->glfw->glfwGetFramebufferSize(state_->window, &rect.width, &rect.height);
  return rect;
}

void Window::swap() {
  state_->glfw->glfwSwapBuffers(state_->window);
}

void Window::sync() {
  WindowState &s = *state_;
  if (s.x_sync == nullptr || s.x_display == nullptr) {
    void *glfw = dlopen("libglfw.so.3", RTLD_NOW | RTLD_NOLOAD);
    void *xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (glfw == nullptr || xlib == nullptr) return;
    s.x_display = reinterpret_cast<void *(*)()>(dlsym(glfw, "glfwGetX11Display"));
    s.x_sync = reinterpret_cast<int (*)(void *, int)>(dlsym(xlib, "XSync"));
    if (s.x_sync == nullptr || s.x_display == nullptr) return;
  }
  void *display = s.x_display();
  if (display != nullptr) s.x_sync(display, 0);
}

void Window::take_keys(char *out, int room) {
  int n = std::min(state_->key_count, room - 1);
  std::memcpy(out, state_->keys, static_cast<std::size_t>(n));
  out[n] = '\0';
  state_->key_count = 0;
}

void Window::poll(const mjModel *m, mjvScene *scene, mjvCamera *camera, CameraMode *mode,
                  int head_camera, Overlays *overlays) {
  state_->m = m;
  state_->scene = scene;
  state_->camera = camera;
  state_->mode = mode;
  state_->head_camera = head_camera;
  state_->overlays = overlays;
  state_->glfw->glfwPollEvents();
  state_->camera = nullptr;
}

bool Window::closing() const {
  return state_->glfw->glfwWindowShouldClose(state_->window) != 0;
}

}  // namespace standin
