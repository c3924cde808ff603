// Run-time choice between a baseline and an AVX2 build of the same loop.  The
// module itself is built for baseline x86-64; only these clones use wider
// instructions, and only on processors that report them.
#pragma once

#include "module/cpu.hpp"

namespace divavova {

// Runs a loop compiled for AVX2 when the processor has it, else the baseline
// build of the same loop.  Both builds do the same integer
// arithmetic, so the output bytes do not depend on the path taken.
#if defined(__x86_64__) && defined(__GNUC__)
template <auto Kernel, class... Args>
__attribute__((target("avx2"), flatten)) void run_kernel_avx2(Args... args) {
    Kernel(args...);
}
#endif

template <auto Kernel, class... Args>
void run_kernel(Args... args) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has_avx2 = DIVAVOVA_CPU_SUPPORTS("avx2");
    if (has_avx2) return run_kernel_avx2<Kernel>(args...);
#endif
    Kernel(args...);
}

}  // namespace divavova
