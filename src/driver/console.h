// The console: progress and settings on standard output, line by line;
// what went wrong on standard error. Only the main thread prints.
#pragma once

#include <cstddef>

// Bytes of a word from the command line shown in a message, and the room
// shown_text needs for them.
inline constexpr size_t shown_bytes = 32;
inline constexpr size_t shown_room = shown_bytes * 4 + 8;

// Before anything is printed: a standard stream that is closed points at
// /dev/null (the next open() would take its descriptor, and a progress line
// would land in a recording); a full file system, a file size limit and a
// reader that went away fail a write instead of ending the run; standard
// output goes out a line at a time, so that a log keeps the order.
void console_start();

// Prints to standard output, noting why it first failed.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...);

// At the end: whether everything said reached standard output (it was
// open, and every write and the flush went through); says why not on
// standard error. Returns 0 or -1.
int console_finish();

// `text` for a message: printable ASCII as it is, every other byte (control
// characters that would drive the terminal, other encodings) and the
// backslash as \xNN, cut after shown_bytes bytes with "...".
void shown_text(const char* text, char* out, size_t size);

// A synthesizer failure: "ERR:<code>" as ever, then what the code means
// and, when the voice said more (`detail`, possibly empty), why.
void report_synth_error(int code, const char* detail);
