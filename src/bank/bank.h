// The voicebank's files besides the recordings: the oto.ini lines,
// character.txt, character.yaml, readme.txt, the icon, the frequency maps,
// the sample phrase and, for a bank of several pitches, prefix.map, each
// made as bytes in memory for the writer.
//
// Text for the samplers is Shift-JIS (code page 932), the encoding that
// classic UTAU, utaupy and OpenUtau (told so by character.yaml) read it in,
// with CR LF line ends, as the classic tools write them. Only character.yaml
// is UTF-8: OpenUtau always reads it so.
//
// Names come in as UTF-8. Their Shift-JIS bytes are worked out here, so no
// converter is needed: a name may hold plain ASCII (a suffix such as
// "_A3", a folder such as "A3/") and kana (hiragana, katakana, half-width
// katakana and their marks: ゛ ゜ ゝ ゞ ヽ ヾ ー ・), nothing else; anything
// else (kanji among it) is refused rather than written wrong.
//
// Functions that make a whole file return it in a bank_bytes block made
// with malloc, which the caller frees with free(). Every function that can
// fail returns bank_ok (or a length) on success and a negative bank_error
// otherwise, and leaves its output empty then.
#pragma once

#include "notes/notes.h"
#include "bank/lists.h"
#include "bank/oto.h"
#include "bank/syllables.h"

#include <cstddef>
#include <cstdint>

enum bank_error : int {
    bank_ok = 0,
    bank_no_room = -1,     // the caller's buffer is too small
    bank_not_cp932 = -2,   // a name holds a character other than ASCII and kana
    bank_bad_name = -3,    // a name an oto.ini line cannot hold (see bank_oto_line)
    bank_no_memory = -4,   // malloc failed
    bank_bad_input = -5,   // spans out of order or outside the recording, a pitch <= 0, too long
    bank_recording_gone = -6,     // a recording it is made from is no longer in the folder
    bank_recording_changed = -7,  // a recording it is made from is not as the run wrote it
};

// What went wrong, in a few words, for a bank_error; null for any other number.
const char* bank_error_message(int code);

// A file's bytes, from malloc; the caller frees `bytes`.
struct bank_bytes {
    uint8_t* bytes;
    size_t size;
};

// The names of the files, as they are on the disk.
inline constexpr char bank_icon_file[] = "icon.bmp";
inline constexpr char bank_sample_file[] = "sample.wav";

// The rate UTAU and OpenUtau expect of a voicebank's recordings: OpenUtau's
// checker reports any other, and both read a frequency map's frames at it.
inline constexpr int bank_sampler_rate = 44100;

// ---- Text -------------------------------------------------------------

// `utf8` in Shift-JIS (CP932), NUL-terminated, into out[0..size-1]: ASCII
// as it is (CP932 keeps 0x5C and 0x7E as backslash and tilde), kana by
// their Shift-JIS bytes. Never longer than `utf8`, so `out` may be `utf8`.
// Returns the length without the NUL, or bank_not_cp932 (also for bytes
// that are not UTF-8), or bank_no_room.
int bank_to_cp932(const char* utf8, char* out, size_t size);

// One set of recordings: a list's texts at one pitch, in one folder.
struct bank_set {
    const bank_list* list;   // what the set holds
    const char* folder;      // "" (the current folder) or a subfolder with its '/' ("A3/")
    const char* suffix;      // after every alias of its oto.ini: "" or "_A3"
    int note;                // its pitch as a MIDI number (see notes/notes.h)
    double f0;               // the voice's steady pitch, Hz
    const oto_times (*times)[bank_max_morae];  // per text of the list, per mora of it
    const bool* on_disk;     // one per text: its recording reached the disk
    // One per text, or null: the recording was not made again, and the
    // earlier one stays at its name; oto.ini keeps its lines for it from
    // `old_oto`, the oto.ini (Shift-JIS) that described the earlier set.
    const bool* kept = nullptr;
    const uint8_t* old_oto = nullptr;
    size_t old_oto_size = 0;
};

// The most sets a bank holds: one per note of -pitch.
inline constexpr int bank_max_sets = note_list_max;

// The run that made the voicebank: its settings and its sets, in the order
// they were made. One set lies in the current folder with the bank's other
// files; several each lie in a subfolder of their own, named after their
// note, and prefix.map tells the samplers which to take for a note.
struct bank_run {
    const char* program;  // what made it, and its version ("Morivox Ver1.00")
    const char* voice;  // the voice's name ("espeak", "hts")
    const char* name;   // the singer's name as given (-name), or null (see bank_singer_name)
    int speed;
    int rate;           // samples per second of the recordings
    bool sinc_filter;
    const char* pitch;  // -pitch as given ("A2,A3,E4"), or null
    const bank_set* sets;
    int set_count;
};

// The most bytes (UTF-8) of a singer's name.
inline constexpr size_t bank_name_max = 64;

// Whether `name` (UTF-8) may be a singer's name: bank_ok, bank_bad_name
// (empty, longer than bank_name_max, a space at either end, which the
// samplers trim away, or a control character) or bank_not_cp932 (a
// character other than ASCII and kana).
int bank_check_name(const char* name);

// The singer's name of the run, NUL-terminated into out[0..size-1]: the
// name given, or "Morivox <voice>", "VCV" after it for the VCV strings,
// followed for several sets by their notes as given ("Morivox hts A2 A3
// E4", "Morivox hts VCV A3"), so that banks of one voice tell themselves
// apart in a singer list. Returns its length, or bank_no_room.
int bank_singer_name(const bank_run& run, char* out, size_t size);

// character.txt, in Shift-JIS: name= `name` (UTF-8, as bank_check_name
// takes it), image=, author=Morivox, voice= (the credit of `voice`, when
// it has one), sample= (when `sample`). No web=: the set has no page of its
// own. Fails with bank_no_memory or bank_not_cp932.
int bank_character_txt(const char* name, const char* voice, bool sample, bank_bytes* out);

// character.yaml, UTF-8: the encoding of the other text files
// (shift_jis), the singer type (classic) and, for a set of the VCV list,
// OpenUtau's Japanese presamp phonemizer as the singer's, which finds its
// aliases as they are named. Fails with bank_no_memory.
int bank_character_yaml(const bank_list& list, bank_bytes* out);

// presamp.ini, in Shift-JIS, for a set of the VCV list: the vowel table of
// OpenUtau's Japanese presamp phonemizer, its defaults with the syllables
// it does not know (カ゜ …) added to their vowels. Without them it takes a
// note after one as sung from a rest ("- K" instead of "a K") and finds no
// ending after one ("- R"). A bank's [VOWEL] replaces the whole default
// table, so every default is stated; nothing else differs from the
// defaults. Fails with bank_no_memory or bank_not_cp932.
int bank_presamp_ini(bank_bytes* out);

// readme.txt, in Shift-JIS (plain ASCII but for kana in a name given):
// under the singer's name, what made the set and with which settings (the
// command names -pitch unless the run's one pitch is the default, and
// -name when one was given), the files (the sample, when `sample`, made
// from the first set), that a sampler's own caches must be cleared after
// the bank is made again, the voice's credits and licence, and what that
// licence asks of whoever uses the recordings. The same run gives the same
// bytes: no date, no host. Fails with bank_no_memory, bank_not_cp932, or
// bank_bad_input without a set.
int bank_readme(const bank_run& run, bool sample, bank_bytes* out);

// The lowest and highest notes prefix.map names: C1 and B7, the range
// UTAU's map holds (OpenUtau reads it over the same notes).
inline constexpr int bank_map_lowest = 24;
inline constexpr int bank_map_highest = 107;

// prefix.map, ASCII (so Shift-JIS too) with CR LF, in UTAU's layout and
// order: one line "<note>\t<prefix>\t<suffix>" for every note from B7 down
// to C1, named with sharps ("C#4"); no prefix, and the suffix of the set
// whose note is nearest (the lower one of two as near). Fails with
// bank_bad_input without a set, or bank_no_memory.
int bank_prefix_map(const bank_set* sets, int set_count, bank_bytes* out);

// The warning for a voicebank at `rate`, one line with its line feed, for
// standard error; "" at bank_sampler_rate. Returns its length, or bank_no_room.
int bank_rate_warning(int rate, char* out, size_t size);

// ---- Icon -------------------------------------------------------------

inline constexpr int bank_icon_size = 100;  // pixels, width and height

// A voice's look on the icon.
struct bank_icon_style {
    const char* voice;  // the voice's name on the command line
    uint8_t colour[3];  // the emblem's, R G B
    int cycles;         // periods of the waveform
};

// The look of the voice called `voice`, or null for a voice the program
// says nothing about (a test's: a grey disc).
const bank_icon_style* bank_find_icon_style(const char* voice);

// The voice's icon: a 100x100 BMP (BITMAPINFOHEADER, 24 bits, rows bottom
// up), a waveform in a disc of the voice's colour; a grey disc for a voice
// the program says nothing about. A bank of several pitches (`notes`, MIDI
// numbers, `note_count` > 1) has a white dot per pitch under the waveform,
// in their order, each the higher the higher its note, so that two banks
// of one voice look different. Drawn with + - * / and sqrt only, so the
// bytes are the same on every machine. Fails with bank_no_memory.
int bank_icon(const char* voice, const int* notes, int note_count, bank_bytes* out);

// ---- Frequency maps ---------------------------------------------------

// Samples per frame of a map, as UTAU's own tools write it. Readers take
// an F0 of 60 Hz or less as unvoiced.
inline constexpr int bank_frq_hop = 256;

// Where a recording is voiced: samples [start, end).
struct bank_span {
    size_t start, end;
};

// The map's name for the recording `wav` (UTF-8, as on the disk), as OpenUtau
// finds it: the extension's dot becomes '_' and ".frq" follows
// ("か.wav" -> "か_wav.frq"). NUL-terminated into out[0..size-1].
// Returns the length, or bank_no_room.
int bank_frq_name(const char* wav, char* out, size_t size);

// The frequency map (FREQ0003) of `count` samples voiced at `f0` Hz over
// `spans` (in order, not overlapping, inside the recording). Frame i is
// samples [256 i, 256 i + 256) cut at the end, count / 256 + 1 frames as
// OpenUtau's own builder makes (the last one partial or empty). A frame
// counts as voiced when more than half of its samples are; its F0 is then
// f0, otherwise 0. Its amplitude is the mean absolute sample value, 0 for
// an empty frame. The average is f0, or 0 when no frame is voiced.
// Frames are counted in samples of the recording whatever its rate.
// Fails with bank_bad_input or bank_no_memory.
int bank_frq(const int16_t* samples, size_t count, double f0, const bank_span* spans, size_t span_count,
             bank_bytes* out);

// ---- The sample phrase -------------------------------------------------

// The syllables of the sample phrase, in order: hajimemashite.
inline constexpr int bank_phrase_length = 6;
extern const char* const bank_phrase_syllables[bank_phrase_length];

// The aliases of `list` the phrase is sung from, their indices in
// list.aliases into out[0..bank_phrase_length-1]: each syllable's own in
// the CV list; in the VCV list, the first from a rest and each other after
// the vowel before it, so that the phrase is sung legato.
void bank_phrase_aliases(const bank_list& list, int out[bank_phrase_length]);

// One recording of the phrase with its oto.ini values.
struct bank_piece {
    const int16_t* samples;
    size_t count;
    oto_entry oto;
};

// The most pieces bank_phrase joins.
inline constexpr size_t bank_phrase_max_pieces = 16;

// The pieces played as notes of equal length, as a sampler places them:
// each starts `preutterance` before its beat, at its offset, fading in over
// max(overlap, 5 ms) while the one before fades out over that overlap (or
// over its last 35 ms when it ends without one). A note lasts as long as
// every piece holds its vowel up to the next one's overlap, within 120 to
// 300 ms; the last piece plays to the end of its recording. All pieces at
// `rate`. The result, from malloc (the caller frees it), goes to *out, its
// length in samples to *out_count. Fails with bank_bad_input (no piece,
// more than bank_phrase_max_pieces, a rate <= 0) or bank_no_memory.
int bank_phrase(const bank_piece* pieces, size_t count, int rate, int16_t** out, size_t* out_count);

// ---- The files of a voicebank -------------------------------------------

// Where a file lies and how many there are: one per recording in its set's
// folder, one per set in its folder, or one for the whole bank in the
// current folder.
enum bank_scope { bank_per_recording, bank_per_set, bank_per_bank };

// One file of the voicebank. A file per recording is named "<the
// recording's stem><name>", any other `name`, each after its folder.
// `make` returns its bytes (bank_bytes: the caller frees) for
// run.sets[set] and text `entry` of its list (each ignored where the scope
// has no use for it) and bank_ok, or a bank_error. A file `last` points
// into the sets: it is written only once every other file is on the disk.
struct bank_file {
    const char* name;
    bank_scope scope;
    bool last;
    bool vcv_only;  // only a bank of VCV sets has it
    int (*make)(const bank_run& run, int set, int entry, bank_bytes* out);
};

// Every file, in the order -oto writes them once the recordings are made:
// the frequency maps, oto.ini, character.txt, character.yaml, presamp.ini
// (a VCV set's only), readme.txt, the icon, the sample, prefix.map.
extern const bank_file bank_files[];
extern const int bank_file_count;

// Whether a bank of sets of list `kind` has file `f` at all: presamp.ini
// is a VCV bank's only (a CV bank's folder may hold a user's own).
bool bank_file_of(const bank_file& f, bank_list_kind kind);

// Whether the bank has file `f` (for run.sets[set], and for text `entry`
// of its list when per recording): a recording on the disk; a
// set's file when a recording of the set is on the disk; the bank's when
// one of any set is; the sample when all of its syllables are there in the
// first set; prefix.map for several sets, every recording of each on the
// disk. A run that replaced nothing of a set leaves its files as they are.
bool bank_file_wanted(const bank_file& f, const bank_run& run, int set, int entry);

// The lines of `oto` (an oto.ini, Shift-JIS) for the file `sjis_file`
// ("<name>.wav" in Shift-JIS), as OpenUtau finds them (the part before
// the first '=', trimmed), each as it is and ended by CR LF, appended to
// out[used..size-1]. Returns how many bytes it appended, or bank_no_room.
int bank_old_oto_lines(const uint8_t* oto, size_t oto_size, const char* sjis_file, char* out, size_t used,
                       size_t size);

// The name of file `f` in `folder` ("" or "A3/"), for the recording whose
// stem is `stem` (ignored unless per recording), into out[0..size-1].
// Returns 0, or -1 when it does not fit.
int bank_file_name(const bank_file& f, const char* folder, const char* stem, char* out, size_t size);

// Whether `name` (without a folder) is the name of one of the bank's files
// (for any recording of any list).
bool bank_is_file_name(const char* name);

// ---- What samplers and resamplers make from a recording ----------------
//
// Beside a recording, samplers and resamplers keep their analysis of it,
// and a recording made again makes that stale: a resampler would go on
// singing the old one. Their names, from the recording's stem ("か"), as
// the programs that write them name them (the README has the table):
// OpenUtau copies back what an external resampler made beside its copy
// of the recording as "か.wav.llsm", "か.wav.uspec", "か.wav.dio",
// "か.wav.star", "か.wav.platinum", "か.wav.frc", "か.wav.pmk",
// "か.wav.vs4ufrq", "か.rudb", "か.sc.npz" and "か.hifi.npz"; run on the
// recording itself, world4utau writes "か.dio", "か.star" and
// "か.platinum", TIPS "か_wav.pmk", hifisampler "か_hnsep" and
// "か_<flags>.hifi.npz", its flags Hb, Ht, Hv and g with their values
// joined by '_' ("か_Hb100_Ht0_Hv100_g0.hifi.npz"). Nothing else is one.

// How many names there are without flags.
inline constexpr int bank_cache_count = 16;

// The `which`th of those (0 <= which < bank_cache_count) for the
// recording whose stem is `stem` in `folder` ("" or "A3/"), NUL-terminated
// into out[0..size-1]. Returns 0, or -1 when it does not fit.
int bank_cache_name(int which, const char* folder, const char* stem, char* out, size_t size);

// Whether `name` (without a folder) is hifisampler's with flags for the
// recording whose stem is `stem`: those only a look at the folder finds.
bool bank_is_flagged_cache(const char* name, const char* stem);

// One per folder: moresampler's description of every recording in it.
inline constexpr char bank_folder_cache[] = "desc.mrq";
