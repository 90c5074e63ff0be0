// The live window: a desktop window with its own GL context, from GLFW
// loaded at run time, so that a machine without it or without a display
// still runs the programs. The mouse moves the camera, keys switch it.
#pragma once

#include <mujoco/mujoco.h>

#include "overlay.h"

namespace standin {

// Which camera the window shows.
enum class CameraMode : unsigned char { follow, fixed, head };

struct WindowState;

class Window {
 public:
  Window() = default;
  ~Window();
  Window(const Window &) = delete;
  Window &operator=(const Window &) = delete;

  // Opens the window titled `title` with its GL context current on this
  // thread. False once it has reported why it cannot.
  bool open(const char *title);
  // The drawable area, pixels.
  mjrRect viewport() const;
  // Shows what was drawn.
  void swap();
  // Waits until the display has done everything asked of it so far: a
  // frame swapped before is then on the screen for any other client.
  void sync();
  // The letters of the keys pressed since the last call (at most
  // `room` - 1 of them), as a string in `out`; "" when none.
  void take_keys(char *out, int room);
  // Handles waiting events: the mouse moves `camera` in `scene`'s view; T,
  // F and H switch `mode` between following the pelvis, staying fixed where
  // the view is, and the head camera `head_camera`; B, J and V show and
  // hide the balance, the joints' and the commanded velocity's overlays in
  // `overlays`.
  void poll(const mjModel *m, mjvScene *scene, mjvCamera *camera, CameraMode *mode, int head_camera,
            Overlays *overlays);
  // True once the user has asked to close the window.
  bool closing() const;

 private:
  WindowState *state_ = nullptr;
};

}  // namespace standin
