// The speech synthesizer, as the driver calls it.
//
// AquesTalk_Synthe turns Shift-JIS kana into a WAV image; AquesTalk_FreeWave
// hands the image back. The eSpeak NG implementation starts the engine on
// the first call, keeps it for the life of the process and never prints.
#pragma once

#include <cstdint>

// Accepted speeds. 100 is natural timing; higher is faster.
inline constexpr int synth_min_speed = 50;
inline constexpr int synth_max_speed = 300;

// Longest text accepted, in bytes (without the terminating NUL): 64 kana.
// eSpeak's clause buffers overflow (and crash it) somewhere past 100
// syllables given as one phoneme word.
inline constexpr int synth_max_text_bytes = 128;

// Sampling rate of every image, in samples per second.
inline constexpr int synth_sampling_rate = 22050;

// Error codes stored through `size` when AquesTalk_Synthe returns null.
enum synth_error : int {
    synth_error_empty_text = 101,  // null or empty text
    synth_error_bad_text = 102,    // bytes that are not Shift-JIS kana syllables known here
    synth_error_bad_speed = 103,   // speed outside [synth_min_speed, synth_max_speed]
    synth_error_text_too_long = 104, // more than synth_max_text_bytes bytes
    synth_error_no_engine = 105,   // the engine cannot start (voice data missing or unreadable)
    synth_error_engine = 106,      // the engine failed or gave no samples
    synth_error_no_memory = 107,   // memory ran out
};

// Synthesizes the NUL-terminated Shift-JIS `text`, a sequence of kana
// syllables (hiragana or katakana; a base kana, optionally the mark 0x814B
// after a k-row kana, optionally one small kana), at `speed`.
// On success returns a WAV image: the 44-byte header, then 16-bit mono
// samples at synth_sampling_rate; *size receives the image's length in
// bytes. The image belongs to this layer until AquesTalk_FreeWave.
// On failure returns null and *size receives one of synth_error.
// The same text and speed give the same bytes whatever came before.
unsigned char* AquesTalk_Synthe(const char* text, int speed, int* size);

// Releases an image from AquesTalk_Synthe. Null is ignored.
void AquesTalk_FreeWave(unsigned char* image);

// For tests: the phoneme names eSpeak reported while making the last image,
// separated by spaces (pauses included, as "_:" or "_").
const char* synth_reported_phonemes();
