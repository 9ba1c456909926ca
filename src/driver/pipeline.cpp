#include "driver/pipeline.h"

#include "resample/resample.h"
#include "wav/wav.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>

struct worker_start {
    pipeline* p;
    synth_engine* engine;
};

struct pipeline {
    const synth_voice* voice;
    run_settings settings;
    synth_engine* engines[pipeline_max_workers];
    int engine_count;
    pthread_t threads[pipeline_max_workers];
    worker_start starts[pipeline_max_workers];
    int thread_count;

    std::mutex lock;
    std::condition_variable changed;
    int next_taken;    // the next entry a worker takes
    int next_handed;   // the next entry pipeline_next hands out
    bool stopping;
    made_syllable made[pipeline_window];  // entry k is in made[k % pipeline_window]
    bool ready[pipeline_window];

    // A voice with shared state synthesizes for one worker at a time.
    std::mutex synthesizing;
};

namespace {

// Synthesizes and converts entry `k` with `engine`.
void make_entry(pipeline* p, synth_engine* engine, int k, made_syllable* out)
{
    const syllable& entry = syllable_table[k];
    const synth_voice& voice = *p->voice;
    *out = made_syllable{};
    synth_image image{};
    {
        std::unique_lock<std::mutex> one_at_a_time(p->synthesizing, std::defer_lock);
        if (!voice.independent_engines)
            one_at_a_time.lock();
        out->code = voice.synthesize(engine, entry.sjis, syllable_speed(entry, p->settings.speed), &image);
        if (out->code != synth_ok) {
            if (const char* why = voice.failure())
                snprintf(out->failure, sizeof out->failure, "%s", why);
            return;
        }
    }
    out->samples = resample_wave(image.bytes, p->settings.output_rate, &out->size_bytes, p->settings.sinc_filter);
    const double rate = wav_read_format(image.bytes).sampling_rate;
    if (rate > 0) {
        out->consonant_ms = static_cast<double>(image.consonant_start) * 1000 / rate;
        out->vowel_ms = static_cast<double>(image.vowel_start) * 1000 / rate;
        out->steady_end_ms = static_cast<double>(image.steady_end) * 1000 / rate;
    }
    voice.free_image(&image);
}

void* work(void* arg)
{
    pipeline* p = static_cast<worker_start*>(arg)->p;
    synth_engine* engine = static_cast<worker_start*>(arg)->engine;
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        p->changed.wait(hold, [p] {
            return p->stopping || p->next_taken >= syllable_count ||
                   p->next_taken < p->next_handed + pipeline_window;
        });
        if (p->stopping || p->next_taken >= syllable_count)
            return nullptr;
        const int k = p->next_taken++;
        hold.unlock();
        made_syllable made;
        make_entry(p, engine, k, &made);
        hold.lock();
        p->made[k % pipeline_window] = made;
        p->ready[k % pipeline_window] = true;
        p->changed.notify_all();
    }
}

} // namespace

int pipeline_workers(int cores)
{
    int n = cores < 1 ? 1 : cores;
    n = n < syllable_count ? n : syllable_count;
    return n < pipeline_max_workers ? n : pipeline_max_workers;
}

synth_error pipeline_start(const synth_voice& voice, const run_settings& settings, pipeline** out,
                           char* failure, size_t failure_size)
{
    *out = nullptr;
    failure[0] = 0;
    cpu_set_t cpus;
    const int cores = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    const int workers = pipeline_workers(cores);

    pipeline* p = new (std::nothrow) pipeline();
    if (p == nullptr)
        return synth_error_no_memory;
    p->voice = &voice;
    p->settings = settings;
    const int engines = voice.independent_engines ? workers : 1;
    for (int i = 0; i < engines; ++i) {
        const synth_error opened = voice.open(&p->engines[i]);
        if (opened != synth_ok) {
            if (const char* why = voice.failure())
                snprintf(failure, failure_size, "%s", why);
            for (int j = 0; j < i; ++j)
                voice.close(p->engines[j]);
            delete p;
            return opened;
        }
        p->engine_count = i + 1;
    }
    // Threads that cannot be had are done without: pipeline_next then makes
    // the entries itself.
    for (int i = 0; i < workers; ++i) {
        p->starts[i] = {p, p->engines[voice.independent_engines ? i : 0]};
        if (pthread_create(&p->threads[i], nullptr, work, &p->starts[i]) != 0)
            break;
        p->thread_count = i + 1;
    }
    *out = p;
    return synth_ok;
}

void pipeline_next(pipeline* p, made_syllable* made)
{
    std::unique_lock<std::mutex> hold(p->lock);
    const int k = p->next_handed;
    if (p->thread_count == 0) {
        p->next_taken = k + 1;
        hold.unlock();
        make_entry(p, p->engines[0], k, made);
        hold.lock();
    } else {
        p->changed.wait(hold, [p, k] { return p->ready[k % pipeline_window]; });
        *made = p->made[k % pipeline_window];
        p->ready[k % pipeline_window] = false;
    }
    p->next_handed = k + 1;
    p->changed.notify_all();
}

void pipeline_stop(pipeline* p)
{
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->stopping = true;
    }
    p->changed.notify_all();
    for (int i = 0; i < p->thread_count; ++i)
        pthread_join(p->threads[i], nullptr);
    for (int i = 0; i < pipeline_window; ++i) {
        if (p->ready[i])
            free(p->made[i].samples);
    }
    for (int i = 0; i < p->engine_count; ++i)
        p->voice->close(p->engines[i]);
    delete p;
}
