// A tiny X client for the live window's test, apart from gtest: Xlib's
// macros (None, Bool, ...) clash with gtest's names.
#pragma once

#include <string>

// Sends WM_DELETE_WINDOW to the top-level window titled `title` on
// `display`, as a window manager's close button does. False if there is
// no such window or no display.
bool ask_to_close(const std::string &display, const std::string &title);

// Sends a press and a release of the letter key `key` (a-z) to the window
// titled `title` on `display`, as typing it there would. False if there is
// no such window.
bool press_key(const std::string &display, const std::string &title, char key);
