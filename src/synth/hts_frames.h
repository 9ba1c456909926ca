// The HTS engine's generated parameters as our vocoder takes them
// (vocoder/vocoder.h): for the HTS voice, and for the test and the
// benchmark that hold our vocoder against the engine's own.
#pragma once

#include "vocoder/vocoder.h"

#include <HTS_engine.h>

// The frames of the engine's parameter streams: the mel-cepstra (stream 0),
// the log F0 (stream 1, whose rows hold the voiced frames only) and the
// excitation filter's taps (stream 2). The caller allocates mcep, lpf and
// lf0 with pss.total_frame entries each: mcep[t] and lpf[t] then point into
// the engine's streams (valid until its next refresh), lf0[t] is frame t's
// log F0 or vocoder_unvoiced.
inline vocoder_frames hts_vocoder_frames(const HTS_PStreamSet& pss, const double** mcep, const double** lpf,
                                         double* lf0)
{
    const HTS_PStream& pitch = pss.pstream[1];
    for (size_t t = 0, voiced = 0; t < pss.total_frame; ++t) {
        mcep[t] = pss.pstream[0].par[t];
        lpf[t] = pss.pstream[2].par[t];
        lf0[t] = pitch.msd_flag[t] ? pitch.par[voiced++][0] : vocoder_unvoiced;
    }
    return {pss.total_frame, static_cast<int>(pss.pstream[0].vector_length) - 1, mcep, lf0,
            static_cast<int>(pss.pstream[2].vector_length), lpf};
}
