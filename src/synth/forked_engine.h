// An engine in a process of its own, for a voice whose library keeps its
// state process-wide (eSpeak): a child forked from this process once the
// voice's engine here is ready. The child has a copy of everything this
// process had at the fork, so its engine is ready too, and several
// children synthesize on several cores at once. It answers requests over a
// socket with that engine, one at a time, until the socket closes.
//
// In the child only the forking thread exists. The caller forks before it
// starts a thread of its own (synth_voice::open_before_threads), since the
// child allocates memory; it uses no stdio and nothing of the caller's,
// and leaves with _exit, since the library's own threads, which its exit
// handlers would wait for, are not there. It keeps only its socket and the standard
// streams (not the run's folder lock nor its files), and ignores SIGINT,
// SIGTERM and SIGHUP: on those this process cleans up and ends, and the
// child ends when its socket closes. A child that dies is found by the next
// request, reaped, and reported as synth_error_engine with how it ended.
#pragma once

#include "synth/synth.h"

#include <cstddef>

struct forked_engine;

// Forks a child that makes images with voice.synthesize on `engine`, hands
// them back with voice.free_image and names failures with voice.failure.
// No other thread may use `engine` during the call. Returns 0, or -1 with
// errno (no socket, no process or no memory); nothing is left then.
int forked_engine_start(const synth_voice& voice, synth_engine* engine, forked_engine** out);

// Has the child make the image of `text` at `speed`, pitch `f0` and `beat`:
// the code, bytes and marks that voice.synthesize gives. The image is allocated here (hand it
// back with synth_release_image). One thread at a time per engine. When the
// child is gone, returns synth_error_engine and says how it ended in
// failure[0..failure_size-1], as it does the voice's own words on a
// failure (else failure is "").
synth_error forked_engine_synthesize(forked_engine* engine, const char* text, int speed, double f0, double beat,
                                     synth_image* image, char* failure, size_t failure_size);

// Ends the child, reaps it and frees the engine.
void forked_engine_stop(forked_engine* engine);
