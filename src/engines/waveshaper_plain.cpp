// The plain-rate waveshaper lanes: eight samples at a time in SSE2 register
// pairs, or in AVX2 registers where the processor has them (same bits).
#include "module/cpu.hpp"
#include "engines/waveshaper_plain.hpp"

namespace divavova::waveshaper_plain {
namespace {

void run_sse2(const Settings& settings, const int16_t* in, int16_t* out, size_t count) {
    Lanes::run(settings, in, out, count);
}


#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void run_avx2(const Settings& settings, const int16_t* in, int16_t* out,
                                              size_t count) {
    Lanes::run(settings, in, out, count);
}
#endif

bool has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__)
    return DIVAVOVA_CPU_SUPPORTS("avx2");
#else
    return false;
#endif
}

typedef void (*RunFunction)(const Settings&, const int16_t*, int16_t*, size_t);

RunFunction best_run() {
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_avx2()) return run_avx2;
#endif
    return run_sse2;
}

}  // namespace

size_t run(const Settings& settings, const int16_t* in, int16_t* out, size_t count) {
    static const RunFunction chosen = best_run();
    const size_t whole = count - count % 8;
    chosen(settings, in, out, whole);
    return whole;
}

}  // namespace divavova::waveshaper_plain
