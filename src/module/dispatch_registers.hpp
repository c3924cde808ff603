// Run-time choice of an AVX-512VL build of a loop, for loops bound by the
// latency of a dependency chain whose running state and constants do not fit
// the 16 vector registers of the baseline: the AVX-512 encodings address 32,
// so nothing on the chain has to go out to the stack and back.  The wide
// build does the same operations on the same lanes (the build never contracts
// multiplies and adds), so the output bytes do not depend on the path taken.
#pragma once

#include "module/cpu.hpp"

namespace divavova {

#if defined(__x86_64__) && defined(__GNUC__)
template <auto Kernel, class... Args>
__attribute__((target("avx512f,avx512vl"), flatten)) void run_kernel_avx512vl(Args... args) {
    Kernel(args...);
}
#endif

template <auto Kernel, class... Args>
void run_kernel_registers(Args... args) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has_avx512vl = DIVAVOVA_CPU_SUPPORTS("avx512f") && DIVAVOVA_CPU_SUPPORTS("avx512vl");
    if (has_avx512vl) return run_kernel_avx512vl<Kernel>(args...);
#endif
    Kernel(args...);
}

}  // namespace divavova
