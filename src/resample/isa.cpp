#include "resample/isa.h"

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

resample_kernels kernels_for(isa_level level)
{
    return {spline_kernel_by_level[level], filter_kernel_by_level[level]};
}

resample_kernels& in_force()
{
    static resample_kernels k = kernels_for(isa_current());
    return k;
}

} // namespace

isa_level isa_current()
{
    return supported() < cap ? supported() : cap;
}

isa_level isa_limit(isa_level limit)
{
    cap = limit;
    in_force() = kernels_for(isa_current());
    return isa_current();
}

const resample_kernels& resample_kernels_in_force()
{
    return in_force();
}
