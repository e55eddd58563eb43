// The levels of whole-frame loops (kfft::PathPlan::loops) a unit test forces in turn.
#ifndef KFFT_LOOP_LEVELS_H
#define KFFT_LOOP_LEVELS_H

#include <cstdio>
#include <vector>

#include "path_plan.h"

namespace kfft_test {

// Portable, then AVX2 and AVX-512F where the processor has them; a level it lacks is named
// on the standard output, once per test program, as not tested.
inline std::vector<kfft::Path> loop_levels()
{
    static const std::vector<kfft::Path> levels = [] {
        std::vector<kfft::Path> v { kfft::Path::Float };
        if (kfft::cpu_has_avx2())
            v.push_back(kfft::Path::FloatAvx2);
        else
            std::printf("AVX2 loops not tested: the processor lacks AVX2\n");
        if (kfft::cpu_has_avx512())
            v.push_back(kfft::Path::FloatAvx512);
        else
            std::printf("AVX-512F loops not tested: the processor lacks AVX-512F\n");
        return v;
    }();
    return levels;
}

inline const char* level_name(kfft::Path p)
{
    return p == kfft::Path::FloatAvx512 ? "avx512"
        : p == kfft::Path::FloatAvx2    ? "avx2"
                                        : "portable";
}

} // namespace kfft_test

#endif
