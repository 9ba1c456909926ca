// Checks of the voices' data files, made before an engine loads them.
//
// Neither engine checks its files: eSpeak NG follows the offsets in its
// data wherever they point, and the HTS engine reads the lines of a voice
// file into a fixed buffer of its stack. A file cut short, or something
// else at its name, crashes the program instead of giving an error. These
// checks follow every offset and every text the engines follow when they
// load the files and when they synthesize, and refuse a file that would
// make an engine read past its end or past one of its buffers. They do not
// judge the values themselves: a file that passes is read within bounds,
// not proven to sound right.
//
// Both return 0, or -1 with errno set (ENOMEM when a file cannot be read
// into memory; the reason a file cannot be opened or read; EINVAL when it
// is not what the engine expects) and "<path>: <what>" in why[0..size-1].
#pragma once

#include <cstddef>

// eSpeak NG 1.51's data in the folder `dir` that holds it: the files the
// engine reads for this program's voice, phontab, phonindex, phondata,
// intonations and the Japanese dictionary ja_dict.
int espeak_data_check(const char* dir, char* why, size_t size);

// A voice file of the HTS engine 1.10 (the "htsvoice" format).
int hts_voice_file_check(const char* path, char* why, size_t size);
