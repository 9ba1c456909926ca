// Making a list's recordings ahead, in parallel, and handing them out in
// order: the whole list at the first pitch, then at the next, and so on,
// so that the workers stay busy from one pitch to the next. Each entry
// goes voice -> shaping (in the voice) -> resampler -> timings.
//
// Worker threads, as many as the processor cores the process may use (never
// more than the entries), synthesize and convert the entries. A voice whose
// engines are independent gets one engine per worker, which each worker
// opens as it starts, side by side with the others; any other voice has
// one engine, opened first and used by one worker at a time, while the
// conversions still run in parallel. Without any worker thread the
// caller's thread does the work.
//
// The look-ahead follows the workers: at most pipeline_entries_per_worker
// entries per worker are in flight (being made, or made and not yet taken),
// so memory stays bounded (a made syllable holds about 60 KB, a string of
// the VCV list about 300 KB) and every
// worker has work. The made entries a worker may keep beyond its own let
// the workers go on while the entry next in order is still being made (it
// may be longer, or its worker may have lost its core for a while) and
// while the caller is busy with the disk.
#pragma once

#include "bank/lists.h"
#include "bank/timings.h"
#include "synth/synth.h"

#include <cstdint>

inline constexpr int pipeline_max_workers = 16;
inline constexpr int pipeline_entries_per_worker = 4;
inline constexpr int pipeline_max_window = pipeline_max_workers * pipeline_entries_per_worker;

// One entry, synthesized and converted.
struct made_recording {
    synth_error code;       // synth_ok, or why the synthesis failed
    char failure[512];      // the voice's own words on that failure, or ""
    int16_t* samples;       // the converted samples (free), null on failure
    int size_bytes;         // their size in bytes
    // Its morae's timings in milliseconds, the same at every rate: the
    // voice's marks, and with -oto what the sound says (see oto_listen).
    int mora_count;
    oto_times times[bank_max_morae];
};

struct pipeline;

// How the entries are made.
struct pipeline_settings {
    const bank_list* list;  // what to make (the caller keeps it): its texts, at its beat
    int speed;         // the run's (an entry with a fixed speed at that)
    int output_rate;   // samples per second of the converted samples
    bool sinc_filter;  // every entry through the sinc filter too
    bool listen;       // the timings also from the sound (oto_listen): for -oto
};

// The most pitches one pipeline makes the list at.
inline constexpr int pipeline_max_pitches = 64;

// Starts the workers and returns when every engine is open; they will make
// the list at each of the `pitch_count` pitches f0s[0..] (Hz; the caller
// keeps the array), in that order. Returns synth_ok, or the voice's error
// (with *failure filled: the first engine that could not open, and why)
// after stopping the workers and closing the engines that did open.
synth_error pipeline_start(const synth_voice& voice, const pipeline_settings& settings, const double* f0s,
                           int pitch_count, pipeline** out, char* failure, size_t failure_size);

// Waits for the next entry (the list's order within each pitch, pitch after
// pitch) and moves it into *made; the caller frees made->samples. Call it
// once per entry, in order.
void pipeline_next(pipeline* p, made_recording* made);

// Stops the workers (the entries they made but nobody took are dropped),
// closes the engines and frees everything.
void pipeline_stop(pipeline* p);

// Worker threads for a process that may use `cores` cores.
int pipeline_workers(int cores);
