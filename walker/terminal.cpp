#include "terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace walker {

namespace {

termios g_saved;                   // the terminal as it was
std::atomic<bool> g_keyed{false};  // the terminal is in key mode
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_before[3];  // what each signal did before

int index_of(int signal) {
  for (int k = 0; k < 3; ++k) {
    if (kSignals[k] == signal) return k;
  }
  return -1;
}

void on_stop_signal(int signal, siginfo_t *info, void *context) {
  restore_terminal();
  int k = index_of(signal);
  if (k < 0) return;
  const struct sigaction &before = g_before[k];
  if ((before.sa_flags & SA_SIGINFO) != 0) {
    if (before.sa_sigaction != nullptr) before.sa_sigaction(signal, info, context);
  } else if (before.sa_handler == SIG_DFL) {
    // This handler is gone (SA_RESETHAND): the signal, held until it
    // returns, ends the process as it would have.
    raise(signal);
  } else if (before.sa_handler != SIG_IGN) {
    before.sa_handler(signal);
  }
}

void restore_at_exit() {
  restore_terminal();
}

}  // namespace

bool input_is_our_terminal() {
  return isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

bool enter_key_mode() {
  if (g_keyed.load() || tcgetattr(STDIN_FILENO, &g_saved) != 0) return false;
  termios keys = g_saved;
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  keys.c_lflag |= ISIG;
  keys.c_iflag &= ~static_cast<tcflag_t>(IXON);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  // A suspended walker would leave the robot mid-step.
  keys.c_cc[VSUSP] = _POSIX_VDISABLE;
  keys.c_cc[VQUIT] = _POSIX_VDISABLE;
  // The handlers first: a signal between the two must find the way back.
  for (int k = 0; k < 3; ++k) {
    struct sigaction mine {};
    mine.sa_sigaction = on_stop_signal;
    mine.sa_flags = SA_SIGINFO | SA_RESTART | SA_RESETHAND;
    sigemptyset(&mine.sa_mask);
    for (int other : kSignals) sigaddset(&mine.sa_mask, other);
    if (sigaction(kSignals[k], nullptr, &g_before[k]) != 0) continue;
    // A signal the walker was started ignoring (nohup) stays ignored.
    if ((g_before[k].sa_flags & SA_SIGINFO) == 0 && g_before[k].sa_handler == SIG_IGN) continue;
    sigaction(kSignals[k], &mine, nullptr);
  }
  g_keyed.store(true);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) {
    g_keyed.store(false);
    return false;
  }
  static bool registered = false;
  if (!registered) registered = std::atexit(restore_at_exit) == 0;
  return true;
}

void restore_terminal() {
  if (!g_keyed.exchange(false)) return;
  // From a process the shell has put in the background meanwhile, the
  // change would stop it (SIGTTOU) instead of ending it.
  sigset_t ttou;
  sigset_t before;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &before);
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace walker
