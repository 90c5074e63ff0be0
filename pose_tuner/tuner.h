// pose_tuner: the operator jogs one joint at a time and the 64 ms control
// loop moves the commanded posture toward the target, 0.005 rad per joint
// and step, redrawing the servo value table as it goes. The console thread
// also zeroes joints and saves the posture as a one-row motion file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>

#include "body_model.h"
#include "whole_file.h"

// Tuner state, shared by the control loop and the console. posture_lock
// guards all three: the loop holds it for a whole interpolation step and
// the copy it sends, the console only to apply one command or copy the
// posture. So every command lands between two control cycles.
extern Posture futurPosition;    // commanded posture, rad; sent every step
extern Posture wantedPos;        // target, rad; 0.0 at start; entries 0..22 interpolated
extern int interpolating;        // 1 while the loop moves futurPosition to wantedPos
extern std::mutex posture_lock;  // guards the three above

// Orders whole screens of output between the two threads. The loop takes it
// only to draw an interpolation step; the console takes it to show the
// posture after a command and its prompt, never around input, "clear" or a
// file. Lock order: screen_lock before posture_lock.
extern std::mutex screen_lock;

// Interpolation step and arrival tolerance, rad, single-precision values.
inline constexpr double kJogStep = 0.005f;
inline constexpr double kJogTolerance = 0.007f;
// Joints the interpolation moves: JointIndex 0..22.
inline constexpr int kJogJoints = 23;
// Size of the snapshot's name buffer: a name of at most 255 characters.
inline constexpr std::size_t kNameBytes = 256;
// Longest number the console reads as an amount of angle, in characters.
inline constexpr std::size_t kAngleChars = 63;

// The console's prompt, also printed by the loop when an interpolation ends.
inline constexpr char kPrompt[] =
    "Insert joint number (01-21) followed by the amount of angle (rd) to add to joint\n";

// Puts the tuner state back as at program start (for tests).
void tuner_reset_state();

// Takes the posture read back at start as the commanded posture; the caller
// holds posture_lock. A joint that reads back NaN or an infinity starts at
// its target instead: the interpolation could never end from there.
void take_over_posture(const Posture &read);

// One interpolation step on the tuner state; the caller holds posture_lock.
// Moves every joint 0..22 farther than the tolerance from its target by the
// step toward it. When none is, puts entries 0..22 exactly on the targets,
// clears interpolating and returns true.
bool interpol();

// Shows one interpolation step: the table of `shown` and the wait banner;
// after the last step (`over`) also the closing texts and the prompt.
void print_interpol_step(const Posture &shown, bool over);

// The 21 rows of the servo value table of `shown` (angles in rad), in
// JointNumber order, with the literal limit texts.
void write_servo_rows(std::FILE *out, const Posture &shown);
// Clears the terminal, then writes the table of `shown` to stdout.
void print_servos_values(const Posture &shown);
// Runs "clear", after flushing stdout so earlier text comes out before it.
void clear_screen();

// One console command: a joint number (-9..99, as "%2d" reads it) and the
// amount of angle (rad, any float, as "%f" reads it).
struct Command {
  int number = 0;
  float add_angle = 0.0f;
};

enum class CommandRead {
  kOk,        // a command was stored
  kMismatch,  // the input does not match "%2d %f"; the rest of its line is unread
  kEnd,       // end of input (or a read error) before the command was complete
};

// Reads one command from a token stream as scanf "%2d %f" does: white space
// (newlines too) is skipped before each field, the number takes at most two
// characters, and the angle is the longest text that can start a number
// strtof reads whole. An angle strtof does not read whole ("1e", "0x", ".")
// or one longer than kAngleChars is a mismatch.
CommandRead read_command(std::FILE *in, Command &command);
// Consumes input up to and including the next line end.
void skip_line(std::FILE *in);

// Applies a zeroing (9, 666) or a jog to the tuner state; the caller holds
// posture_lock. 999 and non-finite angles are the console's own business.
void apply_command(const Command &command);

// Pulse counts of `posture` for the snapshot row, JointIndex 0..22.
PulseCounts snapshot_counts(const Posture &posture);

enum class SnapshotWrite {
  kOk,           // the file holds the row
  kCannotOpen,   // the name cannot be created or replaced; nothing was touched
  kCannotWrite,  // writing failed (a full disk); an existing file kept its bytes
};

// Where a snapshot is written before it replaces its target.
using SnapshotTemp = WholeTemp;

// Saves `counts` as one row, without a line end, to the file `name` (a path
// of at most PATH_MAX - 1 bytes). The row goes to a temporary file in the
// same directory, which replaces the target only once it is complete, so a
// failed write never empties or cuts an existing file. Refused: a target
// that is not a regular file (a directory, a FIFO), one with no write
// permission for anyone or none for this user, and a directory that is not
// writable in the same sense; root is refused them too. A link is followed
// and its target replaced. A new file gets mode 0666 less the umask; a
// replaced one keeps its mode (and its owner where allowed).
//
// The row is written to an unnamed file (O_TMPFILE) that gets a name only
// once it is complete and synced: its first name for a new target, or a
// temporary one renamed over an existing target at once. Where the file
// system has no unnamed files it goes to a named temporary file instead,
// removed if anything fails; kNamed chooses that way (for tests).
SnapshotWrite write_snapshot(const char *name, const PulseCounts &counts,
                             SnapshotTemp how = SnapshotTemp::kUnnamed);

// One control cycle: an interpolation step if one runs, the head-first
// output of the posture, then robot_step(64).
void control_step();

// Console thread body: shows the table and the prompt, reads one command,
// and so on. Returns at the end of standard input.
void *posture_moves(void *);
