// The eSpeak NG voice.

#include "synth/espeak_voice.h"

#include "synth/forked_engine.h"
#include "synth/kana.h"
#include "synth/shaping.h"
#include "synth/voice_data.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The voice: Japanese phonemes, without the pitch wobble and roughness whose
// state would otherwise carry over from one call to the next. Stress levels 0
// to 7 keep eSpeak's own lengths and levels for Japanese except 0 and 1, used
// only by the glide vowel of palatal onsets (see espeak_onsets): lengths 20
// and 40 instead of 182 and 140 make it a quick onglide (15 to 30 ms at speed
// 70), and level 8 instead of 18 lets the sound rise from it into the vowel.
constexpr char voice_text[] =
    "name morivox\n"
    "language ja\n"
    "phonemes ja\n"
    "flutter 0\n"
    "roughness 0\n"
    "stressLength 20 40 220 220 220 240 260 280\n"
    "stressAmp 8 8 20 20 20 22 22 20\n";


// eSpeak's clause buffers overflow (and crash it) somewhere past 100
// syllables given as one phoneme word: synth_max_text_bytes keeps well below.
// Room for the phonemes of the longest text: at most three characters per
// byte (the two bytes of ji give "d_z\'i"; marks and small kana only
// shorten), and the last vowel's length mark.
constexpr size_t phoneme_room = synth_max_text_bytes * 3 + 8;

// eSpeak's phonemes for each onset of a mora. A palatal onset glides into
// the vowel from an unstressed i. eSpeak's own glide _j (and a nasal or r
// before it) takes the length of the vowel after it, so a held vowel would
// drag the onglide over 200 ms or more; the unstressed i takes the length of
// its own stress level. After g, d and r the shortest i leaves a 7 dB notch
// in the level where it meets the vowel, so there it is the diminished one
// ("%%i"), a little longer (see voice_text).
constexpr struct {
    const char* onset;
    const char* phoneme;
} espeak_onsets[] = {
    {"", ""},        {"k", "k"},      {"g", "g"},      {"ng", "N"},     {"s", "s"},      {"sh", "s\\"},
    {"z", "z"},      {"j", "d_z\\"},  {"t", "t"},      {"ch", "t_s\\"}, {"ts", "t_s"},   {"d", "d"},
    {"n", "n"},      {"h", "h"},      {"f", "p\\"},    {"b", "b"},      {"p", "p"},      {"m", "m"},
    {"y", "i"},      {"r", "r`"},     {"w", "w"},      {"ky", "ki"},    {"gy", "g%%i"},  {"ngy", "Ni"},
    {"ty", "ti"},    {"dy", "d%%i"},  {"ny", "ni"},    {"hy", "C"},     {"by", "bi"},    {"py", "pi"},
    {"my", "mi"},    {"ry", "r`%%i"},
};

// Before i, h is the palatal fricative of ひ.
constexpr char h_before_i[] = "C";

// The moraic nasal on its own: eSpeak's Mandarin syllabic velar nasal
// ("_^_cmn" switches to that phoneme table for the rest of the call), one
// spectrum and one level from start to end. The syllabic nasals of the
// Japanese table open with a tenth of a second of another spectrum (m- changes
// twice). eSpeak pauses around a table switch, so within a sequence the moraic
// nasal stays the Japanese N-.
constexpr char moraic_nasal_alone[] = "_^_cmn N-";
constexpr char moraic_nasal[] = "N-";

const char* espeak_onset(const mora& m)
{
    if (strcmp(m.onset, "h") == 0 && m.vowel == 'i')
        return h_before_i;
    for (const auto& o : espeak_onsets) {
        if (strcmp(o.onset, m.onset) == 0)
            return o.phoneme;
    }
    return nullptr;
}


// Where the rate moves to eSpeak's compressed scale (see synth_words_per_minute).
constexpr int compressed_from_speed = 172;
constexpr int compressed_from_wpm = 450;

enum engine_state { engine_new, engine_ready, engine_failed };
engine_state state = engine_new;

// Samples of the call in progress, grown by the callback.
struct capture {
    int16_t* samples;
    size_t count;
    size_t capacity;
    bool out_of_memory;
};
capture current;

// Phoneme names eSpeak reported for the last call, space-separated.
char reported[4096];
size_t reported_len;

// Where the phonemes of the last call began, in samples: every sound's
// start, as far as there is room (a syllable's first is the consonant, or
// the vowel alone; the one after it the vowel, or the glide before it:
// voicing, and so the beat, starts with the glide; the third the vowel
// after a glide), and the pause after the last.
constexpr int max_sounds = 64;
struct phoneme_marks {
    bool sounding;  // a sound began and no pause followed yet
    size_t pause_after;
    int sounds;
    size_t sound_at[max_sounds];
};
phoneme_marks marks;

// eSpeak names its pauses "_", "_:" and "_!", and reports a switch of
// phoneme table, a short pause too, by the table's name in brackets.
bool is_pause(const char* name)
{
    return (name[0] == '_' && (name[1] == 0 || name[1] == ':' || name[1] == '!')) || name[0] == '(';
}

void note_phonemes(const espeak_EVENT* ev)
{
    for (; ev != nullptr && ev->type != espeakEVENT_LIST_TERMINATED; ++ev) {
        if (ev->type != espeakEVENT_PHONEME)
            continue;
        const size_t at = ev->sample > 0 ? static_cast<size_t>(ev->sample) : 0;
        if (is_pause(ev->id.string)) {
            if (marks.sounding)
                marks.pause_after = at;
            marks.sounding = false;
        } else {
            if (marks.sounds < max_sounds)
                marks.sound_at[marks.sounds] = at;
            ++marks.sounds;
            marks.sounding = true;
        }
        const size_t n = strnlen(ev->id.string, sizeof ev->id.string);
        if (reported_len + n + 2 > sizeof reported)
            return;
        if (reported_len > 0)
            reported[reported_len++] = ' ';
        memcpy(reported + reported_len, ev->id.string, n);
        reported_len += n;
        reported[reported_len] = 0;
    }
}

int on_samples(short* wav, int count, espeak_EVENT* events)
{
    note_phonemes(events);
    if (wav == nullptr || count <= 0 || current.out_of_memory)
        return 0;
    const size_t need = current.count + static_cast<size_t>(count);
    if (need > current.capacity) {
        size_t grown = current.capacity ? current.capacity * 2 : 16384;
        while (grown < need)
            grown *= 2;
        void* p = realloc(current.samples, grown * sizeof(int16_t));
        if (p == nullptr) {
            current.out_of_memory = true;
            return 1;  // stop synthesis
        }
        current.samples = static_cast<int16_t*>(p);
        current.capacity = grown;
    }
    memcpy(current.samples + current.count, wav, static_cast<size_t>(count) * sizeof(int16_t));
    current.count = need;
    return 0;
}

void stop_engine()
{
    espeak_Terminate();
    free(current.samples);
    current = capture{};
}

// What a data failure concerns, before the voice's own words on it.
constexpr char data_package[] = "eSpeak NG's data (package espeak-ng-data)";

// The folder of eSpeak NG's data in use, to be named when it fails.
char data_folder[4096];

// Why the engine could not start, in its own words; empty when it did.
char failure[512];
synth_error failure_code = synth_ok;

synth_error fail(synth_error code, const char* what, const char* detail)
{
    snprintf(failure, sizeof failure, "%s%s%s", what ? what : "", what && detail ? ": " : "",
             detail ? detail : "");
    failure_code = code;
    return code;
}

// Runs `call` with the stdio stream stderr pointed at memory: eSpeak prints
// its start-up chatter there. Descriptor 2 stays as it is, so that nothing
// that ends the process (an assertion, glibc's own messages) goes unseen.
template <typename F>
auto quietly(F call)
{
    char* said = nullptr;
    size_t said_len = 0;
    FILE* mem = open_memstream(&said, &said_len);
    FILE* console = stderr;
    if (mem != nullptr)
        stderr = mem;
    const auto result = call();
    stderr = console;
    if (mem != nullptr)
        fclose(mem);
    free(said);
    return result;
}

void* idle(void*)
{
    return nullptr;
}

// Whether a thread's stack, as big as a new thread gets, could be mapped now.
bool room_for_a_stack()
{
    pthread_attr_t attr;
    size_t stack = 8u << 20;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
    }
    void* p = mmap(nullptr, stack, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return false;
    munmap(p, stack);
    return true;
}

// Why a thread could not be had, as the start's failure. EAGAIN says
// either: no room for the thread's stack, or no more threads for this user
// (RLIMIT_NPROC). Only the first is memory.
synth_error thread_refused(int error)
{
    if (error == EAGAIN && !room_for_a_stack())
        return fail(synth_error_no_memory, "eSpeak NG cannot start its thread", "no room for its stack");
    return fail(synth_error_engine, "eSpeak NG cannot start its thread",
                error == EAGAIN ? "the user may start no more threads (RLIMIT_NPROC)" : strerror(error));
}

// eSpeak stops the process with assert(0) when it cannot start its thread,
// which a thread started and joined just before does not rule out: the
// limit of processes may be reached in between (by another process of the
// user). Its abort comes back here instead, and the start fails.
sigjmp_buf* abort_return = nullptr;

void on_abort(int)
{
    if (abort_return != nullptr)
        siglongjmp(*abort_return, 1);
}

// espeak_Initialize with the arguments given; -2 when it aborted.
int initialize_or_abort(const char* data)
{
    struct sigaction back_here{}, was{};
    back_here.sa_handler = on_abort;
    sigemptyset(&back_here.sa_mask);
    sigaction(SIGABRT, &back_here, &was);
    sigjmp_buf back;
    if (sigsetjmp(back, 1) != 0) {
        abort_return = nullptr;
        sigaction(SIGABRT, &was, nullptr);
        return -2;
    }
    abort_return = &back;
    const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, data,
                                       espeakINITIALIZE_DONT_EXIT | espeakINITIALIZE_PHONEME_EVENTS);
    abort_return = nullptr;
    sigaction(SIGABRT, &was, nullptr);
    return rate;
}

// eSpeak 1.51 lower-cases a voice file's path and cuts it at 59 bytes, so
// the voice goes into an anonymous file that /proc names briefly.
synth_error load_voice()
{
    const int fd = memfd_create("morivox-voice", MFD_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE)
            return fail(synth_error_no_files, nullptr, nullptr);
        return fail(synth_error_engine, "no anonymous file for its voice (memfd_create)", strerror(errno));
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (write(fd, voice_text, sizeof voice_text - 1) != static_cast<ssize_t>(sizeof voice_text - 1)) {
        const int err = errno;
        close(fd);
        return fail(synth_error_engine, "cannot write its voice", strerror(err));
    }
    // eSpeak reports a missing path as "voice not found" and, worse, an fopen
    // failing for want of a descriptor as success with a broken voice (the
    // next synthesis crashes). Open the path first: the same descriptor is
    // then free for eSpeak's fopen, and any failure is named.
    const int probe = open(path, O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
        const int err = errno;
        close(fd);
        if (err == EMFILE || err == ENFILE)
            return fail(synth_error_no_files, nullptr, nullptr);
        if (access("/proc/self/fd", F_OK) != 0)
            return fail(synth_error_no_proc, nullptr, nullptr);
        return fail(synth_error_engine, "cannot open its voice", strerror(err));
    }
    close(probe);
    const espeak_ng_STATUS status = quietly([&] { return espeak_ng_SetVoiceByFile(path); });
    close(fd);
    if (status != ENS_OK) {
        char message[128];
        espeak_ng_GetStatusCodeMessage(status, message, sizeof message);
        return fail(synth_error_engine, "its voice was refused", message);
    }
    return synth_ok;
}

// The folder eSpeak NG reads its data from into data[0..size-1], and what
// to hand espeak_Initialize for it into given[0..size-1]. The library looks
// in $HOME/espeak-ng-data before the installed data, so a copy there would
// decide the bytes of a run: the installed data is named instead. An
// explicit ESPEAK_DATA_PATH still chooses other data, as the library reads
// it (a folder holding espeak-ng-data, or the data's own folder), and is
// said on standard error.
void choose_data(char* data, char* given, size_t size)
{
    const char* chosen = getenv("ESPEAK_DATA_PATH");
    if (chosen == nullptr || chosen[0] == 0) {
        snprintf(data, size, "%s", MORIVOX_ESPEAK_DATA);
        snprintf(given, size, "%s", MORIVOX_ESPEAK_DATA);
        return;
    }
    struct stat st;
    snprintf(given, size, "%s", chosen);
    snprintf(data, size, "%s/espeak-ng-data", chosen);
    if (stat(data, &st) != 0 || !S_ISDIR(st.st_mode))
        snprintf(data, size, "%s", chosen);
    fprintf(stderr, "eSpeak NG data from ESPEAK_DATA_PATH: %s\n", data);
}

// Starts the engine once. eSpeak must not be initialised a second time
// (terminating then hangs), so a failure is final for the process.
synth_error start_engine()
{
    if (state != engine_new)
        return state == engine_ready ? synth_ok : failure_code;
    state = engine_failed;

    // eSpeak starts one thread and stops the process with assert(0) when it
    // cannot. Start and join one first: its failure is ours to report, and
    // glibc then hands the kept stack to eSpeak's thread.
    pthread_t t;
    const int thread_error = pthread_create(&t, nullptr, idle, nullptr);
    if (thread_error != 0)
        return thread_refused(thread_error);
    pthread_join(t, nullptr);

    // The engine follows the offsets in its data wherever they point:
    // check the files first (synth/voice_data.h).
    char given[4096], why[400];
    char* const data = data_folder;
    choose_data(data, given, sizeof data_folder);
    if (espeak_data_check(data, why, sizeof why) != 0) {
        const synth_error code = errno == ENOMEM                     ? synth_error_no_memory
                                 : errno == EMFILE || errno == ENFILE ? synth_error_no_files
                                                                      : synth_error_no_engine;
        return fail(code, code == synth_error_no_engine ? data_package : nullptr, why);
    }

    // Without DONT_EXIT eSpeak calls exit(1) when its data is missing.
    const int rate = quietly([&] { return initialize_or_abort(given); });
    if (rate == -2) {
        // Its thread was refused: asked again, a thread says why, or that
        // the refusal has passed.
        const int again = pthread_create(&t, nullptr, idle, nullptr);
        if (again != 0)
            return thread_refused(again);
        pthread_join(t, nullptr);
        return fail(synth_error_engine, "eSpeak NG cannot start its thread",
                    "the system refused it one (the user's limit of processes, RLIMIT_NPROC, reached for a moment?)");
    }
    if (rate <= 0) {
        // A failed start stops before its thread, so asking again is safe:
        // it prints nothing and gives the status, with the file it concerns.
        espeak_ng_ERROR_CONTEXT context = nullptr;
        const espeak_ng_STATUS status = espeak_ng_Initialize(&context);
        char* text = nullptr;
        size_t text_len = 0;
        if (FILE* out = open_memstream(&text, &text_len)) {
            espeak_ng_PrintStatusCodeMessage(status, out, context);
            fclose(out);
        }
        while (text_len > 0 && (text[text_len - 1] == '\n' || text[text_len - 1] == '.'))
            text[--text_len] = 0;
        if (status == ENOMEM)
            fail(synth_error_no_memory, nullptr, text);
        else if (status == EMFILE || status == ENFILE)
            fail(synth_error_no_files, nullptr, text);
        else
            fail(synth_error_no_engine, data_package, text);
        free(text);
        espeak_ng_ClearErrorContext(&context);
        return failure_code;
    }
    atexit(stop_engine);
    if (rate != espeak_sampling_rate)
        return fail(synth_error_engine, "eSpeak NG runs at another rate", nullptr);
    if (const synth_error loaded = load_voice(); loaded != synth_ok)
        return loaded;
    espeak_ng_SetConstF0(static_cast<int>(synth_steady_f0));
    espeak_SetSynthCallback(on_samples);
    state = engine_ready;
    failure[0] = 0;
    return synth_ok;
}

// Words per minute that eSpeak is asked for at `speed` (already checked).
int synth_words_per_minute(int speed)
{
    // eSpeak times syllables naturally at 1.75 words per minute per speed
    // unit, but from 300 wpm its syllables stop getting shorter, and from
    // 450 wpm it compresses time on a scale of its own, on which 450 is
    // already shorter than 299. So: the natural scale up to 299 wpm, then
    // one wpm per speed unit on the compressed scale.
    if (speed < compressed_from_speed)
        return speed * 7 / 4;
    return compressed_from_wpm + (speed - compressed_from_speed);
}

// eSpeak speeds speech up from 450 wpm with libsonic, through a stream it
// makes on its first such call and keeps until a call is stopped. Every call
// ends by flushing the stream with silence, and the stream's pitch-period
// estimator keeps what it found there: the next call may take its first
// period from it when its own is unclear (a glide's), where a new stream has
// none. So a process's first sped-up call could give other bytes than the
// same call later (8 syllables at A2, 17 at A#4), and a run's bytes depended
// on which worker made which syllable. A fixed call makes the stream before
// the first sped-up call: every call then finds it as the last flush left
// it, whatever came before. (A call below 450 wpm only flushes the stream
// again, and its bytes are the same with or without one.)
bool sonic_stream_made;

// The fixed call: a short vowel at A2, which nothing overflows.
constexpr char stream_maker[] = "[[a]]";

// One call to eSpeak: `size` bytes of `phonemes`, at `wpm` words per
// minute and `hz` hertz, into `current`.
synth_error speak(const char* phonemes, size_t size, int wpm, int hz)
{
    current.count = 0;
    current.out_of_memory = false;
    reported_len = 0;
    reported[0] = 0;
    marks = phoneme_marks{};
    espeak_SetParameter(espeakRATE, wpm, 0);
    espeak_ng_SetConstF0(hz);
    const espeak_ERROR err =
        espeak_Synth(phonemes, size, 0, POS_CHARACTER, 0, espeakCHARS_UTF8 | espeakPHONEMES, nullptr, nullptr);
    if (err == EE_OK)
        espeak_Synchronize();
    // A stopped call (the callback's answer when memory runs out) takes the
    // stream with it; so may a failed one.
    if (err != EE_OK || current.out_of_memory)
        sonic_stream_made = false;
    if (current.out_of_memory)
        return synth_error_no_memory;
    if (err != EE_OK || current.count == 0)
        return synth_error_engine;
    return synth_ok;
}

synth_error make_sonic_stream()
{
    const synth_error made = speak(stream_maker, sizeof stream_maker, compressed_from_wpm,
                                   static_cast<int>(synth_steady_f0));
    sonic_stream_made = made == synth_ok;
    return made;
}

// eSpeak 1.51 closes a clause's list of phonemes with two pauses whose
// "pause before" it never sets: each keeps what the entry in its place of
// the list held in an earlier call, and is made as silence before it. Where
// a stop had stood (48 to 60 ms), a string ended that much later, its last
// marks too: a string's bytes depended on the strings made before it (18
// of the VCV list's varied over eight runs on two cores). A fixed call of
// pauses, none with a pause before it, first fills every place a string's
// list can reach: its leading pause, max_sounds sounds, the closing two.
// A syllable's closing pauses fall on the list's third to sixth places,
// where syllables leave no stop; after a string, which may have, the fixed
// call comes before the syllable too, which then gives the bytes it gives
// after any syllable.
constexpr int clearing_pauses = max_sounds + 8;  // and the three pauses, with room
struct clearing_text {
    char text[clearing_pauses + 5];
};
constexpr clearing_text make_clearing_text()
{
    clearing_text c{};
    c.text[0] = c.text[1] = '[';
    for (int i = 0; i < clearing_pauses; ++i)
        c.text[2 + i] = '_';
    c.text[clearing_pauses + 2] = c.text[clearing_pauses + 3] = ']';
    return c;
}
constexpr clearing_text list_clearer = make_clearing_text();

// True when the list may hold a string's phonemes where a syllable's
// closing pauses fall.
bool list_has_a_string;

// The fixed call: silence, at the strings' rate, below libsonic's. It
// leaves eSpeak's gain control as it was (nothing in it can clip).
synth_error clear_phoneme_list()
{
    const synth_error cleared = speak(list_clearer.text, sizeof list_clearer.text,
                                      synth_words_per_minute(synth_min_speed), static_cast<int>(synth_steady_f0));
    if (cleared == synth_ok)
        list_has_a_string = false;
    return cleared;
}

// The mnemonics of `count` morae into out[0..out_size-1], NUL-terminated.
synth_error morae_to_phonemes(const mora* morae, int count, char* out, size_t out_size)
{
    if (out == nullptr || out_size == 0)
        return synth_error_bad_text;
    out[0] = 0;
    if (count == 1 && morae[0].vowel == 0) {
        const int n = snprintf(out, out_size, "%s", moraic_nasal_alone);
        return n >= 0 && static_cast<size_t>(n) < out_size ? synth_ok : synth_error_bad_text;
    }
    size_t len = 0;
    for (int i = 0; i < count; ++i) {
        const char* onset = morae[i].vowel == 0 ? moraic_nasal : espeak_onset(morae[i]);
        if (onset == nullptr)
            return synth_error_bad_text;
        // Every vowel stressed, so that eSpeak gives each its full length.
        // The last one, the held vowel, is marked long: that lengthens the
        // vowel alone, not its onset. (Only the last: eSpeak takes at most
        // 200 phoneme codes in one word, and the longest text gives 193.)
        const char vowel[3] = {'\'', morae[i].vowel, 0};
        const int n = snprintf(out + len, out_size - len, "%s%s%s", onset, morae[i].vowel ? vowel : "",
                               i == count - 1 ? ":" : "");
        if (n < 0 || static_cast<size_t>(n) >= out_size - len)
            return synth_error_bad_text;
        len += static_cast<size_t>(n);
    }
    return synth_ok;
}

} // namespace

int espeak_image_rate(double f0)
{
    return static_cast<int>(std::lround(espeak_sampling_rate * f0 / static_cast<double>(std::lround(f0))));
}

synth_error espeak_phonemes(const char* text, char* out, size_t out_size)
{
    mora morae[max_morae];
    int count = 0;
    if (kana_to_morae(text, morae, max_morae, &count) != synth_ok)
        return synth_error_bad_text;
    return morae_to_phonemes(morae, count, out, out_size);
}

namespace {

// ---- Strings of morae (beat > 0) ----

// Within a string the moraic nasal is the Japanese N- (a switch of phoneme
// table pauses), held long as every vowel.
constexpr char string_nasal[] = "N-:";

// How many sounds eSpeak reports for the onset of `m`: none, one, or two
// for a palatal onset, which glides from an i of its own (espeak_onsets).
int onset_sounds(const mora& m)
{
    const char* onset = m.vowel == 0 ? "" : espeak_onset(m);
    const size_t len = onset != nullptr ? strlen(onset) : 0;
    return len == 0 ? 0 : len > 1 && onset[len - 1] == 'i' ? 2 : 1;
}

// The mnemonics of a string into out[0..out_size-1], NUL-terminated: every
// vowel stressed and long (a string's beat is about twice a spoken mora,
// and eSpeak lengthens the vowel's body alone), ん long too.
synth_error string_phonemes(const mora* morae, int count, char* out, size_t out_size)
{
    size_t len = 0;
    out[0] = 0;
    for (int i = 0; i < count; ++i) {
        const char* onset = morae[i].vowel == 0 ? string_nasal : espeak_onset(morae[i]);
        if (onset == nullptr)
            return synth_error_bad_text;
        const char vowel[4] = {'\'', morae[i].vowel, ':', 0};
        const int n = snprintf(out + len, out_size - len, "%s%s", onset, morae[i].vowel ? vowel : "");
        if (n < 0 || static_cast<size_t>(n) >= out_size - len)
            return synth_error_bad_text;
        len += static_cast<size_t>(n);
    }
    return synth_ok;
}

// The failure when eSpeak's samples are not sound (see shape_syllable).
synth_error gave_silence()
{
    char why[400];
    snprintf(why, sizeof why, "%.300s: its synthesis gave silence; reinstall the package espeak-ng-data", data_folder);
    return fail(synth_error_engine, data_package, why);
}

// The samples eSpeak just made, as doubles, through `shape` (a shaper
// taking them, the image's rate, the pitch they play at there and the
// fade-in for the first mora). The image plays at its rate: its pitch
// there is within 0.04 cents of f0, exactly f0 when f0 is whole hertz.
template <typename Shape>
synth_error shape_here(const mora& first, double f0, int whole_hz, Shape shape)
{
    auto* x = static_cast<double*>(malloc(sizeof(double) * current.count));
    if (x == nullptr)
        return synth_error_no_memory;
    for (size_t i = 0; i < current.count; ++i)
        x[i] = current.samples[i];
    const double fade_in = shaping_fade_in(first);
    const int rate = espeak_image_rate(f0);
    const double played_f0 = whole_hz * static_cast<double>(rate) / espeak_sampling_rate;
    const synth_error shaped = shape(x, rate, played_f0, fade_in);
    free(x);
    return shaped == synth_error_no_voice_file ? gave_silence() : shaped;
}

// eSpeak reports a stop (and an affricate) at its release: the silent
// closure before it belongs to the consonant. From `at`, back over the
// silence before it, but not before `floor`.
size_t closure_start(size_t at, size_t floor)
{
    const size_t window = espeak_sampling_rate / 400;  // 2.5 ms
    const auto silent = [&](size_t to) {
        int peak = 0;
        for (size_t i = to >= window ? to - window : 0; i < to && i < current.count; ++i)
            peak = std::abs(current.samples[i]) > peak ? std::abs(current.samples[i]) : peak;
        return peak < 64;  // -54 dBFS
    };
    if (!silent(at))
        return at;
    while (at > floor + window / 2 && silent(at - window / 2))
        at -= window / 2;
    return at;
}

// The morae spelled by `spell` as one phoneme word, "[[...]]", into
// phonemes[0 .. phoneme_room + 3], *len the spelling's length without the
// brackets; then the engine started and the last failure's words cleared.
synth_error one_phoneme_word(synth_error (*spell)(const mora*, int, char*, size_t), const mora* morae, int count,
                             char* phonemes, size_t* len)
{
    memcpy(phonemes, "[[", 2);
    if (spell(morae, count, phonemes + 2, phoneme_room) != synth_ok)
        return synth_error_bad_text;
    *len = strlen(phonemes + 2);
    memcpy(phonemes + 2 + *len, "]]", 3);
    if (const synth_error started = start_engine(); started != synth_ok)
        return started;
    failure[0] = 0;
    return synth_ok;
}

// A string of morae, as eSpeak speaks it at its slowest: one phoneme word,
// every vowel long, at the pitch. eSpeak times it; the marks come from its
// phoneme events, mora by mora its onset's sounds and then its vowel.
synth_error string_here(const mora* morae, int count, double f0, synth_image* image)
{
    static char phonemes[phoneme_room + 4];
    size_t len = 0;
    if (const synth_error ready = one_phoneme_word(string_phonemes, morae, count, phonemes, &len); ready != synth_ok)
        return ready;
    if (const synth_error cleared = clear_phoneme_list(); cleared != synth_ok)
        return cleared;
    list_has_a_string = true;
    const int whole_hz = static_cast<int>(std::lround(f0));
    if (const synth_error spoken = speak(phonemes, len + 5, synth_words_per_minute(synth_min_speed), whole_hz);
        spoken != synth_ok)
        return spoken;

    int expected = 0;
    for (int m = 0; m < count; ++m)
        expected += onset_sounds(morae[m]) + 1;
    if (marks.sounds != expected || expected > max_sounds) {
        snprintf(failure, sizeof failure, "eSpeak NG spoke %d sounds for the %d of the string (%.300s)", marks.sounds,
                 expected, reported);
        return synth_error_engine;
    }
    const size_t end = marks.sounding || marks.pause_after == 0 ? current.count : marks.pause_after;
    // Its formants glide into a vowel over about 30 ms and out of it over
    // about 20 ms before the next sound's event.
    const size_t glide_in = static_cast<size_t>(0.030 * espeak_sampling_rate);
    const size_t glide_out = static_cast<size_t>(0.020 * espeak_sampling_rate);
    shaping_mora at[synth_max_morae] = {};
    for (int m = 0, e = 0; m < count; ++m) {
        const int onset = onset_sounds(morae[m]);
        synth_marks& k = at[m].marks;
        k.glide_end = marks.sound_at[e + onset];
        k.vowel_start = onset == 2 ? marks.sound_at[e + 1] : k.glide_end;
        k.consonant_start = onset > 0 && m > 0 ? closure_start(marks.sound_at[e], at[m - 1].marks.glide_end)
                                               : marks.sound_at[e];
        at[m].held_start = k.glide_end + glide_in;
        e += onset + 1;
    }
    for (int m = 0; m < count; ++m) {
        synth_marks& k = at[m].marks;
        const size_t next = m + 1 < count ? at[m + 1].marks.consonant_start : end;
        k.steady_end = m + 1 < count ? std::max(k.glide_end, next > glide_out ? next - glide_out : 0) : end;
        k.voiced_start = onset_voiceless(morae[m]) ? k.vowel_start : k.consonant_start;
        k.voiced_end = next;
    }
    return shape_here(morae[0], f0, whole_hz, [&](double* x, int rate, double played_f0, double fade_in) {
        return shape_string(x, current.count, rate, played_f0, at, count, fade_in, image);
    });
}

// The engine here: eSpeak in this process.
synth_error synthesize_here(synth_engine*, const char* text, int speed, double f0, double beat, synth_image* image)
{
    *image = synth_image{};
    mora morae[max_morae];
    int count = 0;
    if (const synth_error read = read_request(espeak_voice, text, speed, f0, beat, morae, &count); read != synth_ok)
        return read;
    if (beat > 0.0)
        return string_here(morae, count, f0, image);
    static char phonemes[phoneme_room + 4];
    size_t len = 0;
    if (const synth_error ready = one_phoneme_word(morae_to_phonemes, morae, count, phonemes, &len); ready != synth_ok)
        return ready;

    if (list_has_a_string) {
        if (const synth_error cleared = clear_phoneme_list(); cleared != synth_ok)
            return cleared;
    }
    if (speed >= compressed_from_speed && !sonic_stream_made) {
        if (const synth_error made = make_sonic_stream(); made != synth_ok)
            return made;
    }
    const int whole_hz = static_cast<int>(std::lround(f0));
    if (const synth_error spoken = speak(phonemes, len + 5, synth_words_per_minute(speed), whole_hz);
        spoken != synth_ok)
        return spoken;

    // eSpeak's vowels decline evenly and stop: there is no fade to leave out.
    const size_t end = marks.sounding || marks.pause_after == 0 ? current.count : marks.pause_after;
    synth_marks at;
    at.consonant_start = marks.sound_at[0] < end ? marks.sound_at[0] : 0;
    at.vowel_start = marks.sounds > 1 && marks.sound_at[1] < end ? marks.sound_at[1] : at.consonant_start;
    at.glide_end = marks.sounds > 2 && marks.sound_at[2] < end ? marks.sound_at[2] : at.vowel_start;
    at.steady_end = end;
    at.voiced_start = onset_voiceless(morae[0]) ? at.vowel_start : at.consonant_start;
    at.voiced_end = end;
    return shape_here(morae[0], f0, whole_hz, [&](double* x, int rate, double played_f0, double fade_in) {
        return shape_syllable(x, current.count, rate, played_f0, at, fade_in, image);
    });
}

// The words on the last failure of this thread's call: the start's, or
// how a worker process ended.
thread_local char said[512];

// What made the last start or synthesis here fail, in eSpeak's own words,
// or null: the engine here as a voice names its failures so.
const char* failure_here()
{
    return failure[0] != 0 ? failure : nullptr;
}

// The pitches the voice holds well: C2 to A#4. From B4 up a syllable's
// bytes depend on what the engine made before (ぺ and ぽ at B4, more at C5),
// so a run's bytes would depend on how its workers shared the table. That is
// eSpeak's gain control, kept from call to call: a syllable that would clip
// (ぼ at B4) lowers it, and it climbs back by 1/256 every 8 samples of voice,
// so the next syllable starts quieter (う after ぼ at B4: an eighth, for its
// first 2040 samples).
// Measured at every note
// on あいうえお and four CV syllables, in the files at 44100 Hz: the held
// vowel's F0 within 1 cent of the note over any 10 ms, its level within
// 0.6 dB of A2's, and its harmonics (those within 20 dB of the strongest)
// within 4 dB of the same vowel's spectrum at A2, but for the first at the
// top notes (up to +6 dB: い at C5). eSpeak's formants do not move with
// the pitch; the image's rate moves them by at most 0.63 %
// (espeak_image_rate).
constexpr double lowest_f0 = synth_lowest_f0;
constexpr double highest_f0 = 466.1637615180899;  // A#4

// The engine here as a voice of its own, which the worker processes serve.
const synth_voice here_voice = {
    "espeak", false, lowest_f0, highest_f0, nullptr, nullptr, synthesize_here, synth_release_image, failure_here,
};

// eSpeak keeps its state process-wide. The first engine opened is eSpeak
// here; each further one is a worker process forked from this one
// (forked_engine.h), with a copy of that state, so that engines synthesize
// on several cores at once and still give the same bytes. An engine whose
// process cannot be had is another handle on the one here. Syntheses here
// and forks take turns: a fork in the middle of a synthesis would copy
// eSpeak's state half-way, and the lock eSpeak takes while it waits for
// the end of one would stay taken in the child.
std::mutex here_lock;
int here_users;  // open engines that synthesize here
char here_token;

bool is_here(synth_engine* engine)
{
    return engine == reinterpret_cast<synth_engine*>(&here_token);
}

synth_error espeak_open(synth_engine** engine)
{
    *engine = nullptr;
    said[0] = 0;
    std::lock_guard<std::mutex> hold(here_lock);
    if (const synth_error started = start_engine(); started != synth_ok) {
        snprintf(said, sizeof said, "%s", failure);
        return started;
    }
    forked_engine* worker = nullptr;
    if (here_users > 0 && forked_engine_start(here_voice, nullptr, &worker) == 0) {
        *engine = reinterpret_cast<synth_engine*>(worker);
        return synth_ok;
    }
    ++here_users;
    *engine = reinterpret_cast<synth_engine*>(&here_token);
    return synth_ok;
}

void espeak_close(synth_engine* engine)
{
    // eSpeak cannot start twice in one process; it stops at exit.
    if (engine == nullptr)
        return;
    if (!is_here(engine)) {
        forked_engine_stop(reinterpret_cast<forked_engine*>(engine));
        return;
    }
    std::lock_guard<std::mutex> hold(here_lock);
    --here_users;
}

synth_error espeak_synthesize(synth_engine* engine, const char* text, int speed, double f0, double beat,
                              synth_image* image)
{
    said[0] = 0;
    if (!is_here(engine))
        return forked_engine_synthesize(reinterpret_cast<forked_engine*>(engine), text, speed, f0, beat, image, said,
                                        sizeof said);
    std::lock_guard<std::mutex> hold(here_lock);
    const synth_error code = synthesize_here(nullptr, text, speed, f0, beat, image);
    if (code != synth_ok)
        snprintf(said, sizeof said, "%s", failure);
    return code;
}

const char* espeak_failure()
{
    return said[0] != 0 ? said : nullptr;
}

} // namespace

// eSpeak NG 1.51 asks pcaudiolib for an audio device in every output mode,
// and pcaudiolib then connects to a sound server (and writes under $HOME),
// although this program only synthesizes into memory. This definition takes
// the library's place: no device. eSpeak uses the device only when it plays
// audio itself, which this program never asks for.
struct audio_object;
extern "C" __attribute__((visibility("default"))) audio_object* create_audio_device_object(const char*,
                                                                                          const char*,
                                                                                          const char*)
{
    return nullptr;
}

const synth_voice espeak_voice = {
    "espeak", true, lowest_f0, highest_f0, espeak_open, espeak_close, espeak_synthesize,
    synth_release_image, espeak_failure, true,
};

const char* espeak_reported_phonemes()
{
    return reported;
}
