// Run-time choice of instruction sets.  A build configured with
// -DDIVAVOVA_BASELINE_ONLY=ON answers "no" for everything beyond the
// baseline, so its test run exercises the baseline kernels (and the golden
// digests prove they give the same bytes as the wider ones).
#pragma once

#if defined(DIVAVOVA_BASELINE_ONLY) || !(defined(__x86_64__) || defined(__i386__)) || !defined(__GNUC__)
#define DIVAVOVA_CPU_SUPPORTS(feature) false
#else
#define DIVAVOVA_CPU_SUPPORTS(feature) __builtin_cpu_supports(feature)
#endif
