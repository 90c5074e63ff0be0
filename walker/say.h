// What the walker says on standard output, one line at a time. The control
// loop hands its lines to a printing thread through a fixed ring, so it
// never waits on a terminal or a pipe: a line is dropped, and counted,
// when the ring is full, and a line says how many once there is room
// again.
#pragma once

#include "commands.h"

namespace walker {

// Starts the printing thread, with every signal blocked. False (told on
// stderr) when it cannot start: the lines are then never printed.
bool start_printing();

// The control loop's side: never waits. False when the line was dropped.
bool say(const Text &line);

// Waits until every line handed over so far is written, for at most
// `timeout_ms` of wall-clock time (stdout may be a pipe nobody reads).
// For the end of a run, on any thread.
void finish_printing(int timeout_ms);

}  // namespace walker
