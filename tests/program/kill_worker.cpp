// Preloaded into the real program by the test of a worker process that
// dies: in any process but the one the program started as, the
// MORIVOX_KILL_WORKER_AT-th synthesis kills that process with SIGKILL.

#include <espeak-ng/speak_lib.h>

#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using synth_call = espeak_ERROR (*)(const void*, size_t, unsigned int, espeak_POSITION_TYPE, unsigned int,
                                    unsigned int, unsigned int*, void*);

// Both found as the program loads, before any worker process exists.
const pid_t program = getpid();
const synth_call next_synth = reinterpret_cast<synth_call>(dlsym(RTLD_NEXT, "espeak_Synth"));
int calls;

} // namespace

extern "C" espeak_ERROR espeak_Synth(const void* text, size_t size, unsigned int position,
                                     espeak_POSITION_TYPE position_type, unsigned int end_position,
                                     unsigned int flags, unsigned int* unique_identifier, void* user_data)
{
    const char* at = getenv("MORIVOX_KILL_WORKER_AT");
    if (getpid() != program && at != nullptr && ++calls == atoi(at))
        kill(getpid(), SIGKILL);
    return next_synth(text, size, position, position_type, end_position, flags, unique_identifier, user_data);
}
