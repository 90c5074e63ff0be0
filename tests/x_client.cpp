#include "x_client.h"

#include <X11/Xlib.h>

namespace {

// The top-level window titled `title`; 0 if there is none.
Window find_window(Display *x, const std::string &title) {
  Window root = DefaultRootWindow(x);
  Window parent = 0;
  Window *children = nullptr;
  unsigned count = 0;
  Window found = 0;
  XQueryTree(x, root, &root, &parent, &children, &count);
  for (unsigned i = 0; i < count && found == 0; ++i) {
    char *name = nullptr;
    if (XFetchName(x, children[i], &name) && name != nullptr && title == name) found = children[i];
    if (name != nullptr) XFree(name);
  }
  if (children != nullptr) XFree(children);
  return found;
}

}  // namespace

bool press_key(const std::string &display, const std::string &title, char key) {
  Display *x = XOpenDisplay(display.c_str());
  if (x == nullptr) return false;
  Window window = find_window(x, title);
  bool sent = window != 0;
  for (int type : {KeyPress, KeyRelease}) {
    if (!sent) break;
    XEvent event{};
    event.xkey.type = type;
    event.xkey.display = x;
    event.xkey.window = window;
    event.xkey.root = DefaultRootWindow(x);
    event.xkey.time = CurrentTime;
    event.xkey.same_screen = True;
    event.xkey.keycode = XKeysymToKeycode(x, XStringToKeysym(std::string(1, key).c_str()));
    sent = XSendEvent(x, window, True, KeyPressMask | KeyReleaseMask, &event) != 0;
  }
  XCloseDisplay(x);
  return sent;
}

bool ask_to_close(const std::string &display, const std::string &title) {
  Display *x = XOpenDisplay(display.c_str());
  if (x == nullptr) return false;
  Window window = find_window(x, title);
  bool sent = false;
  if (window != 0) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    sent = XSendEvent(x, window, False, NoEventMask, &event) != 0;
  }
  XCloseDisplay(x);
  return sent;
}
