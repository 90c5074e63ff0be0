// The terminal on standard input, in key mode while single keys drive the
// walker, and restored on every way out: the walker's own exit, SIGINT,
// SIGTERM and SIGHUP, and the stand-in's end of the run.
#pragma once

namespace walker {

// Whether standard input is a terminal this process may set: one whose
// foreground it is in (a background job leaves the terminal to the shell).
bool input_is_our_terminal();

// Puts that terminal in key mode: each key is read as it is pressed, not
// echoed; Ctrl-C still interrupts, Ctrl-Z and Ctrl-\ do nothing, nor does
// Ctrl-S. Handlers of SIGINT, SIGTERM and SIGHUP restore the terminal
// first and then do what was there before: a handler found (the
// stand-in's, which ends the run at its next step) is called, the default
// ends the process by the same signal; a signal ignored from the start
// stays ignored. The exit restores it too. False, with nothing changed,
// when the terminal cannot be set.
bool enter_key_mode();

// Puts the terminal back as it was before key mode, once; nothing when it
// is not in key mode. Async-signal-safe.
void restore_terminal();

}  // namespace walker
