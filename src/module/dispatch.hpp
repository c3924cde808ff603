// Run-time choice between a baseline and an AVX2 build of the same loop.  The
// module itself is built for baseline x86-64; only these clones use wider
// instructions, and only on processors that report them.
#pragma once

#include <cstdlib>
#include <cstring>

#include "module/cpu.hpp"

namespace divavova {

// What the processor offers beyond the baseline, each asked once.  Every
// run-time choice of a wider build goes through these (and so answers "no"
// in a baseline-only build).
inline bool cpu_has_avx2() {
    static const bool has = DIVAVOVA_CPU_SUPPORTS("avx2");
    return has;
}

// AVX-512 F and VL: 32 vector registers, masks, the EVEX forms of 128- and
// 256-bit instructions.
inline bool cpu_has_avx512vl() {
    static const bool has = DIVAVOVA_CPU_SUPPORTS("avx512f") && DIVAVOVA_CPU_SUPPORTS("avx512vl");
    return has;
}

// AVX-512 F, VL, BW and DQ: also 16-bit lanes and masks on them.
inline bool cpu_has_avx512bw() {
    static const bool has = cpu_has_avx512vl() && DIVAVOVA_CPU_SUPPORTS("avx512bw") && DIVAVOVA_CPU_SUPPORTS("avx512dq");
    return has;
}

// Whether the processor is Intel's.  Its cores close one of their three
// vector ports while 512-bit operations are in flight, so a loop of 256-bit
// work that does part of it in 512-bit registers can run slower there than
// without them (on AMD's cores the 512-bit operations simply take two
// 256-bit halves).
//
// Every choice made on it gives the same bytes, so the environment variable
// DIVAVOVA_TUNE_FOR (read once) may set it: "intel" or "other" take that
// family's choices on any processor, which is how the tests run both.
inline bool cpu_is_intel() {
#if defined(DIVAVOVA_BASELINE_ONLY) || !(defined(__x86_64__) || defined(__i386__)) || !defined(__GNUC__)
    return false;
#else
    static const bool is = [] {
        const char* tune = std::getenv("DIVAVOVA_TUNE_FOR");
        if (tune && std::strcmp(tune, "intel") == 0) return true;
        if (tune && std::strcmp(tune, "other") == 0) return false;
        return static_cast<bool>(__builtin_cpu_is("intel"));
    }();
    return is;
#endif
}

// The widest vectors the processor offers, for loops built at three widths.
enum class Vectors { baseline, avx2, avx512 };

inline Vectors widest_vectors() {
    return cpu_has_avx512vl() ? Vectors::avx512 : cpu_has_avx2() ? Vectors::avx2 : Vectors::baseline;
}

// Runs a loop compiled for AVX2 when the processor has it, else the baseline
// build of the same loop.  Both builds do the same integer
// arithmetic, so the output bytes do not depend on the path taken.
#if defined(__x86_64__) && defined(__GNUC__)
template <auto Kernel, class... Args>
__attribute__((target("avx2"), flatten)) void run_kernel_avx2(Args... args) {
    Kernel(args...);
}
#endif

// The same choice where the AVX2 build runs a wider instantiation of the loop
// (WideKernel, say 8 lanes in one 256-bit register where Kernel has 4 in the
// baseline's 128-bit ones).  Both do the same operations on every value.
template <auto Kernel, auto WideKernel, class... Args>
void run_kernel_widened(Args... args) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (cpu_has_avx2()) return run_kernel_avx2<WideKernel>(args...);
#endif
    Kernel(args...);
}

// One loop: its AVX2 build or its baseline build.
template <auto Kernel, class... Args>
void run_kernel(Args... args) {
    run_kernel_widened<Kernel, Kernel>(args...);
}

// The same choice for loops bound by the latency of a dependency chain whose
// running state and constants do not fit the 16 vector registers of the
// baseline: the AVX-512VL encodings address 32, so nothing on the chain has
// to go out to the stack and back.  The wide build does the same operations
// on the same lanes (the build never contracts multiplies and adds).
#if defined(__x86_64__) && defined(__GNUC__)
template <auto Kernel, class... Args>
__attribute__((target("avx512f,avx512vl"), flatten)) void run_kernel_avx512vl(Args... args) {
    Kernel(args...);
}

// Runs loop() built for AVX-512 F, VL, BW and DQ, whose 16-bit lanes and
// masks let loops that load and store s16 samples convert 16 or 32 of them
// at a time.  The caller checks the processor (cpu_has_avx512bw).  The loop
// is a lambda, so that only this build of the code it calls is emitted.
template <class Loop>
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"), flatten)) void run_loop_avx512bw(Loop loop) {
    loop();
}

// The same for loops built for AVX2 with FMA (which the build uses only where
// it writes the fused operations itself: it never contracts).
template <class Loop>
__attribute__((target("avx2,fma"), flatten)) void run_loop_avx2fma(Loop loop) {
    loop();
}
#endif

template <auto Kernel, class... Args>
void run_kernel_registers(Args... args) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (cpu_has_avx512vl()) return run_kernel_avx512vl<Kernel>(args...);
#endif
    Kernel(args...);
}

}  // namespace divavova
