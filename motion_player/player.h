// motion_player: a loader thread asks for motion files and prepares each
// one; the 50 ms control loop approaches the file's first row and then
// plays the rows at the rate the row period gives.
#pragma once

#include <atomic>
#include <cstdio>

#include "body_model.h"
#include "line_reader.h"
#include "playback.h"

// The control period, ms.
inline constexpr int one_step = kPlayerStepMs;

// Player state, handed between the loader and the control loop. While
// file_ended is 1 the loader owns everything below; while it is 0 the loop
// does. The loader writes the rest, then interpolating, then file_ended = 0
// (release); the loop loads file_ended (acquire), then interpolating, once
// at the start of a step. The loop closes the file, then stores 1 (release).
extern std::atomic<int> file_ended;     // 1: no file open, loader asks; 0: loop has a file
extern std::atomic<int> interpolating;  // 1: the loop approaches motorPos before playing
extern int comInterval;                 // rows consumed per playing step, 1..50
extern std::FILE *file;                 // the open motion file, after its first row
extern LineReader reader;               // reads `file`; 500-byte lines, as the loop's buffer
extern Posture motorPos;                // approach target: the first row, rad; 17, 22 are 0.0

// Commanded posture, rad. Only the control loop writes it; it takes the
// loader's zeros for entries 17 and 22 from motorPos when it takes a file.
extern Posture futurPosition;

// The approach's step, tolerance and joints, the line buffer's size and the
// rows a playing step consumes (rows_per_step) are those of playback.h.

// One approach step: moves every joint 0..22 farther than the tolerance
// from motorPos by the step; when none is, announces playback and clears
// interpolating. The posture is left where the steps brought it.
void interpol();

// One control step before its robot_step: follows the servos while no file
// is open, approaches, or plays comInterval rows and sends the last one.
void player_step();

// Prepares an opened motion file and hands it to the loop: reads its first
// row into motorPos and comInterval, prints "interpolating\n", sets the
// flags. A file it cannot use is reported on one line, closed, and false
// returned. Call only while file_ended is 1.
bool load_file(std::FILE *opened);

// Loader thread body: whenever file_ended is 1, asks for names until a file
// is handed over. Returns at the end of standard input.
void *exec_csv(void *);

// Puts the player state back as at program start (for tests).
void player_reset_state();
