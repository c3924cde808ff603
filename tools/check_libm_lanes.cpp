// Compares the lanes of logf and expf of the dynamics engine with the C
// library's, bit for bit, over every 32-bit pattern (or a range of them):
//   tools/check-libm-lanes [first last]
// Prints the mismatches of each function and exits 1 if there are any.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engines/dynamics_libm_lanes.hpp"

using namespace divavova;

namespace {

uint64_t mismatches(const char* name, EightValues lanes, float (*library)(float), uint64_t first, uint64_t last) {
    uint64_t bad = 0;
    uint32_t in[8];
    uint32_t out[8];
    for (uint64_t base = first; base <= last; base += 8) {
        for (uint32_t i = 0; i < 8; ++i) in[i] = static_cast<uint32_t>(base + i);
        lanes(reinterpret_cast<const float*>(in), reinterpret_cast<float*>(out));
        for (uint32_t i = 0; i < 8; ++i) {
            float x;
            std::memcpy(&x, &in[i], sizeof x);
            const float expected = library(x);
            uint32_t bits;
            std::memcpy(&bits, &expected, sizeof bits);
            if (bits != out[i]) {
                if (bad < 10) std::printf("%s(0x%08" PRIx32 "): library 0x%08" PRIx32 ", lanes 0x%08" PRIx32 "\n",
                                          name, in[i], bits, out[i]);
                ++bad;
            }
        }
    }
    std::printf("%s: %" PRIu64 " mismatches over 0x%08" PRIx64 " .. 0x%08" PRIx64 "\n", name, bad, first, last);
    return bad;
}

}  // namespace

int main(int argc, char** argv) {
    const bool eight = libm_lanes_usable(), four = libm_lanes4_usable();
    if (!eight && !four) {
        std::puts("the lanes are not usable here (processor or C library); nothing to compare");
        return 0;
    }
    const uint64_t first = argc > 2 ? std::strtoull(argv[1], nullptr, 0) & ~7ull : 0;
    const uint64_t last = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 0xffffffffull;
    uint64_t bad = 0;
    if (eight) {
        bad += mismatches("logf, eight lanes", logf_eight_wide, library_logf, first, last);
        bad += mismatches("expf, eight lanes", expf_eight_wide, library_expf, first, last);
    }
    if (four) {
        bad += mismatches("logf, four lanes", logf_four_wide, library_logf, first, last);
        bad += mismatches("expf, four lanes", expf_four_wide, library_expf, first, last);
    }
    return bad == 0 ? 0 : 1;
}
