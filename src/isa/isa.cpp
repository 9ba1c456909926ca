#include "isa/isa.h"

namespace {

isa_level detect()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return isa_avx512;
    if (__builtin_cpu_supports("avx2"))
        return isa_avx2;
    return isa_baseline;
}

isa_level supported()
{
    static const isa_level level = detect();
    return level;
}

isa_level cap = isa_avx512;

} // namespace

isa_level isa_current()
{
    return supported() < cap ? supported() : cap;
}

isa_level isa_limit(isa_level limit)
{
    cap = limit;
    return isa_current();
}
