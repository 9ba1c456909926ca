// The speech synthesizers, as the driver sees them.
//
// A voice turns a Shift-JIS text of kana, a speed, a pitch and a beat into
// a WAV image: the 44-byte header, then 16-bit mono samples at the rate
// the header gives, which the voice chooses and may change with the pitch
// (see each voice), and the marks of where it put each mora's parts. A
// mora here is one syllable of the text: a base kana with its mark and
// small kana (kana.h), as one CV recording holds. An engine is one working
// instance of a voice: open it once, make any number of images with it,
// close it. Images belong to the voice until they are handed back with its
// free_image. Every call reports failure by returning a synth_error other
// than synth_ok.
#pragma once

#include <cstddef>
#include <cstdint>

// Accepted speeds. 100 is natural timing; higher is faster.
inline constexpr int synth_min_speed = 50;
inline constexpr int synth_max_speed = 300;

// The steady pitch of the syllables when none is asked for, in Hz (A2), so
// that every file can serve as an instrument sample.
inline constexpr double synth_steady_f0 = 110.0;
// The widest range of pitches a voice may take: C2 to C5, in Hz.
inline constexpr double synth_lowest_f0 = 65.40639132514966;
inline constexpr double synth_highest_f0 = 523.2511306011972;

// Longest text accepted, in bytes (without the terminating NUL): 64 kana.
inline constexpr int synth_max_text_bytes = 128;

// The codes are printed as "ERR:<code>", so they never change.
enum synth_error : int {
    synth_ok = 0,
    synth_error_empty_text = 101,     // null or empty text
    synth_error_bad_text = 102,       // bytes that are not Shift-JIS kana syllables known here
    synth_error_bad_speed = 103,      // speed outside [synth_min_speed, synth_max_speed]
    synth_error_text_too_long = 104,  // more than synth_max_text_bytes bytes
    synth_error_no_engine = 105,      // the engine cannot start: its data missing, unreadable or damaged
    synth_error_engine = 106,         // the engine failed or gave no samples
    synth_error_no_memory = 107,      // memory ran out
    synth_error_no_voice_file = 108,  // the voice's file is missing, unreadable or damaged
    synth_error_no_files = 109,       // no file descriptor left for the voice
    synth_error_no_proc = 110,        // /proc, through which the voice is loaded, is missing
    synth_error_bad_pitch = 111,      // a pitch outside what the voice holds well
};

// What went wrong, in a few words, for a code of synth_error; null for any
// other number.
const char* synth_error_message(int code);

// Most morae an image marks. A string of a VCV set holds at most 8.
inline constexpr int synth_max_morae = 16;

// The longest beat a string is sung at, in seconds (30 beats a minute).
inline constexpr double synth_max_beat = 2.0;

// Where one mora's parts lie, in samples of the image, as the voice placed
// them. For ん the nasal counts as the vowel. In order within a mora:
// consonant_start <= vowel_start <= glide_end <= steady_end and
// voiced_start <= voiced_end. In a string each mora's steady_end and
// voiced_end come at or before the next mora's consonant_start.
struct synth_marks {
    size_t consonant_start;  // the consonant starts, a stop's silent closure included (no consonant: vowel_start)
    size_t vowel_start;      // voicing starts after the consonant: the vowel, or the glide before it;
                             // for a vowel or ん, where it starts
    size_t glide_end;        // the vowel proper starts, after any glide (else vowel_start)
    size_t steady_end;       // the vowel's steady part ends, before the way out of it
    size_t voiced_start;     // the mora voices, at the steady pitch, from here
    size_t voiced_end;       // to here (exclusive)
};

// One image. `bytes` is null until a synthesis succeeds.
struct synth_image {
    uint8_t* bytes;  // the WAV image, `size` bytes
    size_t size;
    int mora_count;                     // marks given: 1 for a syllable, the text's morae for a string
    synth_marks marks[synth_max_morae];  // marks[0 .. mora_count - 1]
};

// A voice's working state: never defined, each voice points it at a state
// of its own.
struct synth_engine;

struct synth_voice {
    const char* name;  // chosen by this name on the command line

    // True when each worker thread may open an engine of its own that
    // synthesizes while the others do (each engine on one thread at a
    // time): the HTS voice's engines share nothing, and each eSpeak engine
    // after the first is a worker process with its own copy of eSpeak's
    // process-wide state. False: one engine, for one synthesis at a time.
    bool engine_per_worker;

    // The pitches the voice holds steady and clean, in Hz, within
    // [synth_lowest_f0, synth_highest_f0]: synthesize refuses others.
    double lowest_f0, highest_f0;

    // Starts an engine into *engine.
    synth_error (*open)(synth_engine** engine);
    void (*close)(synth_engine* engine);

    // Synthesizes the NUL-terminated Shift-JIS `text`, held at the steady
    // pitch `f0` (Hz), into *image. The text is kana syllables (hiragana or
    // katakana; a base kana, optionally the mark 0x814B after a k-row kana,
    // optionally one small kana).
    //
    // `beat` 0: one syllable held as a sample, timed by `speed` (the CV
    // set); mora_count is 1. The HTS voice takes exactly one syllable (more
    // is synth_error_bad_text); eSpeak also takes a sequence, marked as one.
    //
    // `beat` > 0: a string sung on the pitch after a short rest, one mora a
    // beat, `beat` seconds from one vowel onset to the next (a VCV set's
    // recording): at most synth_max_morae morae (more is
    // synth_error_bad_text), each marked, every vowel held and voiced.
    // `speed` is checked but the voice times the string: the HTS voice puts
    // each mora's glide_end on the grid of the beat, to its 5 ms frames;
    // eSpeak times it as it speaks at its slowest, and the marks say where
    // each mora went. A beat that is neither 0 nor in (0, synth_max_beat],
    // or that the voice cannot hold (see each voice), is
    // synth_error_bad_speed: the beat is the string's speed.
    //
    // The same text, speed, pitch and beat give the same bytes whatever
    // came before. On failure *image is left empty.
    synth_error (*synthesize)(synth_engine* engine, const char* text, int speed, double f0, double beat,
                              synth_image* image);

    // Hands an image back; an empty one is ignored. Leaves *image empty.
    void (*free_image)(synth_image* image);

    // What made the last open or synthesis fail, in the voice's own words
    // (a file name, a reason), or null when there is nothing to add to the
    // code's message.
    const char* (*failure)();

    // True when open forks a process: the run then opens all its engines
    // before it starts a thread of its own, since a fork copies only the
    // calling thread, and a lock another thread held at that moment (the
    // allocator's, say) would stay held in the child for good.
    bool open_before_threads = false;
};

// For the voices: makes *image an image of `samples` 16-bit mono samples at
// `rate`, header filled, samples from byte 44 left for the voice to write.
// Returns synth_ok, or synth_error_no_memory (and *image empty).
synth_error synth_new_image(size_t samples, int rate, synth_image* image);

// Releases what synth_new_image made and leaves *image empty; an empty image
// is ignored. Every voice hands images back with this.
void synth_release_image(synth_image* image);

// The voices this build has, the default first, then a null stop mark.
extern const synth_voice* const synth_voices[];

// The voice of that name in `voices` (null-terminated), or null.
const synth_voice* synth_find_voice(const synth_voice* const* voices, const char* name);
