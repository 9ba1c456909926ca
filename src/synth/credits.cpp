#include "synth/credits.h"

#include <cstring>

namespace {

// From the Debian copyright files of espeak-ng-data,
// hts-voice-nitech-jp-atr503-m001 and libhtsengine.
const synth_credits credits[] = {
    {"espeak", "eSpeak NG, Japanese phonemes (GPL version 3 or later)",
     "The recordings are synthesized by eSpeak NG, a formant synthesizer,\n"
     "with its Japanese phonemes (espeak-ng-data) and Morivox's own voice\n"
     "settings.\n"
     "  eSpeak NG: Copyright (C) 2005-2014 Jonathan Duddington,\n"
     "  2013-2016 Reece H. Dunn, and others.\n"
     "  Licensed under the GNU General Public License, version 3 or later:\n"
     "  https://www.gnu.org/licenses/gpl-3.0.html\n"
     "  Source: https://github.com/espeak-ng/espeak-ng\n",
     "The GPL sets the terms for copying and changing eSpeak NG, its program\n"
     "and its data. Of a program's output it says (section 2): \"The output\n"
     "from running a covered work is covered by this License only if the\n"
     "output, given its content, constitutes a covered work.\"\n"},
    {"hts", "HTS voice nitech_jp_atr503_m001, Nagoya Institute of Technology (CC BY 3.0)",
     "The recordings are synthesized by the HTS engine (hts_engine API) with\n"
     "the Japanese voice nitech_jp_atr503_m001:\n"
     "  Copyright (c) 2003-2012 Nagoya Institute of Technology,\n"
     "  Department of Computer Science;\n"
     "  2003-2008 Tokyo Institute of Technology, Interdisciplinary Graduate\n"
     "  School of Science and Engineering.\n"
     "  Licensed under the Creative Commons Attribution 3.0 licence\n"
     "  (CC BY 3.0): https://creativecommons.org/licenses/by/3.0/\n"
     "The HTS engine: Copyright (c) 2001-2015 Nagoya Institute of Technology,\n"
     "2001-2008 Tokyo Institute of Technology; under the 3-clause BSD licence.\n",
     "The recordings are made with the voice above, and its licence asks for\n"
     "attribution. Wherever you share the recordings, this voicebank or a\n"
     "work made with them (a song, a video), credit the voice, for example\n"
     "  Voice: HTS voice nitech_jp_atr503_m001 (c) Nagoya Institute of\n"
     "  Technology, CC BY 3.0\n"
     "make its licence known (its address above), and do not suggest that\n"
     "its authors endorse you or your use. On these conditions the licence\n"
     "lets you share and adapt the work.\n"},
};

} // namespace

const synth_credits* synth_find_credits(const char* voice)
{
    for (const synth_credits& c : credits) {
        if (strcmp(c.voice, voice) == 0)
            return &c;
    }
    return nullptr;
}
