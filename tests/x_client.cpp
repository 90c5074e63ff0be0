#include "x_client.h"

#include <X11/Xlib.h>

bool ask_to_close(const std::string &display, const std::string &title) {
  Display *x = XOpenDisplay(display.c_str());
  if (x == nullptr) return false;
  Window root = DefaultRootWindow(x);
  Window parent = 0;
  Window *children = nullptr;
  unsigned count = 0;
  bool sent = false;
  XQueryTree(x, root, &root, &parent, &children, &count);
  for (unsigned i = 0; i < count && !sent; ++i) {
    char *name = nullptr;
    if (XFetchName(x, children[i], &name) && name != nullptr && title == name) {
      XEvent event{};
      event.xclient.type = ClientMessage;
      event.xclient.window = children[i];
      event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
      event.xclient.format = 32;
      event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
      event.xclient.data.l[1] = CurrentTime;
      sent = XSendEvent(x, children[i], False, NoEventMask, &event) != 0;
    }
    if (name != nullptr) XFree(name);
  }
  if (children != nullptr) XFree(children);
  XCloseDisplay(x);
  return sent;
}
