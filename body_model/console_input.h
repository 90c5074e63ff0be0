// Bounded reads of the operator's console input.
#pragma once

#include <cstddef>
#include <cstdio>

enum class WordRead {
  kOk,       // a word was stored
  kTooLong,  // the word did not fit; it was consumed and nothing stored
  kNulByte,  // the word held a NUL byte; consumed and nothing stored
  kEnd,      // end of input (or a read error) before any word
};

// One character of console input, as getc gives it, but input that is not
// there yet on a descriptor left non-blocking (EAGAIN), or a read cut short
// by a signal (EINTR), is waited for with poll and read again. EOF only at
// the real end of input or on a real read error.
int console_getc(std::FILE *in);

// Reads one whitespace-delimited word as "%s" would, but never writes more
// than `capacity` bytes (2..): a word of capacity - 1 characters fits with
// its terminator. The whitespace after the word stays unread.
WordRead read_word(std::FILE *in, char *dst, std::size_t capacity);

// Prints to stdout why a file name was refused, as one line; nothing for
// kOk and kEnd. `capacity` is the size that was passed to read_word.
void print_name_refusal(WordRead result, std::size_t capacity);

// Starts `body` on the console's own thread (pthread_create, default
// attributes, no argument), detached, since nothing ever joins it, and
// with every signal blocked, so that a signal to the process (the
// simulator ending it) reaches the control loop and never a thread that
// may wait for input for ever. False if the thread could not start.
bool start_console_thread(void *(*body)(void *));

// Size of the players' name buffer: a motion file name of at most 31
// characters.
inline constexpr std::size_t kMotionNameBytes = 32;

// Prints `prompt` and reads names until a motion file opens. A refused name
// prints why, a name that cannot be opened prints "unable to locate the
// file\n", and the prompt comes again. nullptr at the end of input.
std::FILE *ask_for_motion_file(const char *prompt);
