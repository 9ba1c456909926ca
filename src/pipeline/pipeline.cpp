#include "pipeline/pipeline.h"

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
    int index;
    synth_engine* engine;  // the shared engine, or null: the worker opens its own
};

// Entry k (text k % texts of the list at pitch k / texts) lives
// in slot k % window from its synthesis until pipeline_next hands it out.
enum slot_state { slot_free, slot_synthesized, slot_converting, slot_made };

struct pipeline {
    const synth_voice* voice;
    pipeline_settings settings;
    const double* f0s;  // the pitches, in the order they are made
    int entry_count;    // the list's texts at every pitch
    synth_engine* engines[pipeline_max_workers];  // one per worker, or the shared one first; null when not open
    pthread_t threads[pipeline_max_workers];
    worker_start starts[pipeline_max_workers];
    int thread_count;
    int window;  // entries in flight at most: pipeline_entries_per_worker per worker

    std::mutex lock;
    std::condition_variable work_waiting;  // workers wait here for something to do
    std::condition_variable entry_made;    // pipeline_next waits here
    std::condition_variable opened;        // pipeline_start waits here for the workers' engines
    int opening;                           // workers still opening their engine
    synth_error open_error;                // the first engine that could not open, and why
    char open_failure[512];
    int next_synthesized;  // the next entry to synthesize
    int next_handed;       // the next entry pipeline_next hands out
    bool synthesizing;     // a voice with shared state is busy
    bool stopping;
    slot_state state[pipeline_max_window];
    double slot_f0[pipeline_max_window];  // the pitch its entry is made at
    synth_image images[pipeline_max_window];
    made_recording made[pipeline_max_window];
};

namespace {

// Synthesizes entry `k` into its slot's image, or records the failure.
void synthesize_entry(pipeline* p, synth_engine* engine, int k)
{
    const bank_list& list = *p->settings.list;
    const bank_text& text = list.texts[k % list.count];
    const synth_voice& voice = *p->voice;
    const int slot = k % p->window;
    made_recording& out = p->made[slot];
    out = made_recording{};
    p->images[slot] = synth_image{};
    p->slot_f0[slot] = p->f0s[k / list.count];
    const int speed = bank_text_speed(text, p->settings.speed);
    out.code = voice.synthesize(engine, text.sjis, speed, p->slot_f0[slot], list.beat, &p->images[slot]);
    if (out.code != synth_ok) {
        if (const char* why = voice.failure())
            snprintf(out.failure, sizeof out.failure, "%s", why);
    }
}

// Converts the image in `slot` to the output rate and hands the image back.
void convert_entry(pipeline* p, int slot)
{
    made_recording& out = p->made[slot];
    synth_image& image = p->images[slot];
    if (out.code != synth_ok)
        return;
    out.samples = resample_wave(image.bytes, p->settings.output_rate, &out.size_bytes, p->settings.sinc_filter);
    out.mora_count = image.mora_count < bank_max_morae ? image.mora_count : bank_max_morae;
    for (int m = 0; m < out.mora_count; ++m)
        oto_marks(image, m, &out.times[m]);
    if (p->settings.listen)
        oto_listen(image, p->slot_f0[slot], out.times, out.mora_count);
    p->voice->free_image(&image);
}

// The oldest synthesized entry waiting for its conversion, or -1.
int waiting_slot(const pipeline* p)
{
    for (int k = p->next_handed; k < p->next_synthesized; ++k) {
        if (p->state[k % p->window] == slot_synthesized)
            return k % p->window;
    }
    return -1;
}

bool may_synthesize(const pipeline* p)
{
    return p->next_synthesized < p->entry_count && p->next_synthesized < p->next_handed + p->window &&
           (p->voice->engine_per_worker || !p->synthesizing);
}

// One step of a worker under the lock: synthesize the next entry when the
// voice is free (a voice with shared state then keeps one thread
// synthesizing back to back), else convert a synthesized one. Returns
// false when there was nothing to do.
bool work_step(pipeline* p, synth_engine* engine, std::unique_lock<std::mutex>& hold)
{
    if (may_synthesize(p)) {
        const int k = p->next_synthesized++;
        p->synthesizing = true;
        hold.unlock();
        synthesize_entry(p, engine, k);
        // An engine of its own: convert at once, while the cache is warm.
        if (p->voice->engine_per_worker)
            convert_entry(p, k % p->window);
        hold.lock();
        p->synthesizing = false;
        if (p->voice->engine_per_worker) {
            p->state[k % p->window] = slot_made;
            p->entry_made.notify_one();
        } else {
            // Another worker converts it; this one goes on synthesizing.
            p->state[k % p->window] = slot_synthesized;
            p->work_waiting.notify_all();
        }
        return true;
    }
    const int slot = waiting_slot(p);
    if (slot < 0)
        return false;
    p->state[slot] = slot_converting;
    hold.unlock();
    convert_entry(p, slot);
    hold.lock();
    p->state[slot] = slot_made;
    p->entry_made.notify_one();
    return true;
}

// A worker of a voice with independent engines opens its own, so that the
// engines open side by side. A worker whose engine cannot open reports why
// (the voice's words are per thread) and ends.
synth_engine* open_own_engine(pipeline* p, int index)
{
    synth_engine* engine = nullptr;
    const synth_error code = p->voice->open(&engine);
    const char* why = code != synth_ok ? p->voice->failure() : nullptr;
    std::lock_guard<std::mutex> hold(p->lock);
    if (code == synth_ok) {
        p->engines[index] = engine;
    } else if (p->open_error == synth_ok) {
        p->open_error = code;
        snprintf(p->open_failure, sizeof p->open_failure, "%s", why != nullptr ? why : "");
    }
    --p->opening;
    p->opened.notify_all();
    return code == synth_ok ? engine : nullptr;
}

void* work(void* arg)
{
    worker_start* start = static_cast<worker_start*>(arg);
    pipeline* p = start->p;
    synth_engine* engine = start->engine != nullptr ? start->engine : open_own_engine(p, start->index);
    if (engine == nullptr)
        return nullptr;
    std::unique_lock<std::mutex> hold(p->lock);
    while (!p->stopping) {
        if (!work_step(p, engine, hold))
            p->work_waiting.wait(hold);
    }
    return nullptr;
}

} // namespace

namespace {

// Opens one engine on this thread; on failure the voice's words go into
// failure[0..failure_size-1].
synth_error open_engine(const synth_voice& voice, synth_engine** engine, char* failure, size_t failure_size)
{
    const synth_error opened = voice.open(engine);
    if (opened != synth_ok) {
        if (const char* why = voice.failure())
            snprintf(failure, failure_size, "%s", why);
    }
    return opened;
}

} // namespace

namespace {

void free_pipeline(pipeline* p)
{
    p->~pipeline();
    free(p);
}

} // namespace

int pipeline_workers(int cores)
{
    int n = cores < 1 ? 1 : cores;
    n = n < bank_max_texts ? n : bank_max_texts;
    return n < pipeline_max_workers ? n : pipeline_max_workers;
}

synth_error pipeline_start(const synth_voice& voice, const pipeline_settings& settings, const double* f0s,
                           int pitch_count, pipeline** out, char* failure, size_t failure_size)
{
    *out = nullptr;
    failure[0] = 0;
    if (pitch_count < 1 || pitch_count > pipeline_max_pitches)
        return synth_error_bad_pitch;
    cpu_set_t cpus;
    const int cores = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    const int workers = pipeline_workers(cores);

    // Not new (std::nothrow): libstdc++ makes that from the throwing new,
    // and with the memory gone it cannot make the exception either, and
    // ends the process.
    void* room = calloc(1, sizeof(pipeline));
    if (room == nullptr)
        return synth_error_no_memory;
    pipeline* p = new (room) pipeline();
    p->voice = &voice;
    p->settings = settings;
    p->f0s = f0s;
    p->entry_count = pitch_count * settings.list->count;
    p->window = workers * pipeline_entries_per_worker;
    const bool own_engines = voice.engine_per_worker;
    // Opened here, before any worker: the shared engine, or every engine of
    // a voice that forks as it opens. The workers open the others side by side.
    const int open_here = !own_engines ? 1 : voice.open_before_threads ? workers : 0;
    for (int i = 0; i < open_here; ++i) {
        if (const synth_error opened = open_engine(voice, &p->engines[i], failure, failure_size); opened != synth_ok) {
            pipeline_stop(p);
            return opened;
        }
    }
    // Threads that cannot be had are done without: pipeline_next then makes
    // the entries itself.
    for (int i = 0; i < workers; ++i) {
        synth_engine* given = own_engines ? p->engines[i] : p->engines[0];
        p->starts[i] = {p, i, given};
        {
            std::lock_guard<std::mutex> hold(p->lock);
            p->opening += given == nullptr;
        }
        if (pthread_create(&p->threads[i], nullptr, work, &p->starts[i]) != 0) {
            std::lock_guard<std::mutex> hold(p->lock);
            p->opening -= given == nullptr;
            break;
        }
        p->thread_count = i + 1;
    }
    if (p->thread_count == 0 && p->engines[0] == nullptr) {
        if (const synth_error opened = open_engine(voice, &p->engines[0], failure, failure_size); opened != synth_ok) {
            free_pipeline(p);
            return opened;
        }
    }
    // Every engine open, or the first that could not open and why.
    synth_error open_error = synth_ok;
    {
        std::unique_lock<std::mutex> hold(p->lock);
        p->opened.wait(hold, [p] { return p->opening == 0; });
        open_error = p->open_error;
        if (open_error != synth_ok)
            snprintf(failure, failure_size, "%s", p->open_failure);
    }
    if (open_error != synth_ok) {
        pipeline_stop(p);
        return open_error;
    }
    *out = p;
    return synth_ok;
}

void pipeline_next(pipeline* p, made_recording* made)
{
    std::unique_lock<std::mutex> hold(p->lock);
    const int k = p->next_handed;
    const int slot = k % p->window;
    while (p->state[slot] != slot_made) {
        if (p->thread_count > 0)
            p->entry_made.wait(hold);
        else
            work_step(p, p->engines[0], hold);
    }
    *made = p->made[slot];
    p->state[slot] = slot_free;
    p->next_handed = k + 1;
    p->work_waiting.notify_all();  // room for one more entry
}

void pipeline_stop(pipeline* p)
{
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->stopping = true;
    }
    p->work_waiting.notify_all();
    for (int i = 0; i < p->thread_count; ++i)
        pthread_join(p->threads[i], nullptr);
    // What was made ahead and never taken.
    for (int i = 0; i < p->window; ++i) {
        p->voice->free_image(&p->images[i]);
        if (p->state[i] == slot_made)
            free(p->made[i].samples);
    }
    for (synth_engine* engine : p->engines) {
        if (engine != nullptr)
            p->voice->close(engine);
    }
    free_pipeline(p);
}
