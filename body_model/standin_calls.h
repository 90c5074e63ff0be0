// Calls only the stand-in simulator offers, beside the controller
// library's: the real simulator's library has none of them. A program
// never links them; it looks them up when it runs (dlsym with
// RTLD_DEFAULT) and does without them where they are missing.
#pragma once

extern "C" {
/* The velocity the program commands, in the robot's frame: m/s forward, m/s
   to its left, rad/s turning left. The window and the recordings draw it as
   an arrow on the floor from the pelvis, the way the robot would go in 2 s;
   all 0 draws none. Non-finite values are refused. */
void standin_show_velocity(double vx, double vy, double vturn);
/* `last_words` runs once, on the control thread, when the stand-in ends the
   run itself (the stop time, the window closed, a stop signal, a lost
   display), before the recording is finished and the process ends; it
   must not call the library. nullptr forgets it. */
void standin_at_stop(void (*last_words)(void));
}
