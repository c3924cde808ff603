// freeverb_s16: mono reverberator with eight parallel low-pass-feedback
// combs into four series all-passes, in 16-bit fixed point, all state in
// caller buffers.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "effects/delay_kernel.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

// ---------------------------------------------------------------------------
// Kernel

constexpr int kCombs = 8;
constexpr int kAllpasses = 4;
constexpr uint32_t kCombLength[kCombs] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
constexpr uint32_t kCombFirst[kCombs] = {0, 1116, 2304, 3581, 4937, 6359, 7850, 9407};
constexpr uint32_t kAllpassLength[kAllpasses] = {556, 441, 341, 225};
constexpr uint32_t kAllpassFirst[kAllpasses] = {0, 556, 997, 1338};
constexpr size_t kCombCells = 11024;
constexpr size_t kAllpassCells = 1563;
static_assert(kCombFirst[7] + kCombLength[7] == kCombCells);
static_assert(kAllpassFirst[3] + kAllpassLength[3] == kAllpassCells);

struct FreeverbSetup {
    int32_t feedback_q15;  // comb feedback, 0.7 .. 0.98
    int32_t damp_q15;      // weight of the old store, 0 .. 0.4
    int32_t undamp_q15;    // 32768 - damp_q15
    int32_t dry_q15;
    int32_t wet_q15;
};

// Room size, damping and mix are clamped to 0 .. 1 (a NaN passes the clamp
// and then truncates to 0; as a mix it gives both gains in full).
FreeverbSetup freeverb_setup(double room_size, double damping, double mix) {
    room_size = clamp(room_size, 0.0, 1.0);
    damping = clamp(damping, 0.0, 1.0);
    mix = clamp(mix, 0.0, 1.0);
    FreeverbSetup s;
    s.feedback_q15 = 22937 + float_to<int32_t>(room_size * 9175.04);
    s.damp_q15 = float_to<int32_t>(damping * 13107.2);
    s.undamp_q15 = 32768 - s.damp_q15;
    DryWet<double> gains = dry_wet(2.0 * mix);
    s.dry_q15 = float_to<int32_t>(gains.dry * 32767.0);
    s.wet_q15 = float_to<int32_t>(gains.wet * 32767.0);
    return s;
}

struct FreeverbState {
    uint8_t* comb_lines;
    uint8_t* comb_positions;  // u32 each, only the low 16 bits are used
    uint8_t* comb_stores;     // s16 each
    uint8_t* allpass_lines;
    uint8_t* allpass_positions;
};

// A stored position: its low 16 bits, taken modulo the line length when at
// or beyond it.
inline uint32_t line_position(const uint8_t* positions, int index, uint32_t length) {
    return delay::reduce(load<uint32_t>(positions + 4 * index) & 0xFFFFu, length);
}

// Four 32-bit lanes (GCC/Clang vector extension, lowered to the target's
// vector unit); two of them hold one lane per comb.
typedef int32_t Lanes __attribute__((vector_size(16)));
constexpr int kLanes = 4;
constexpr int kCombHalves = kCombs / kLanes;
static_assert(kCombs % kLanes == 0);

// v / 32768 truncated toward zero, lane by lane: negative lanes are biased
// by 32767 before the flooring shift.
inline Lanes quotient_q15(Lanes v) { return (v + ((v >> 31) & 32767)) >> 15; }

inline Lanes clamp_s16(Lanes v) {
    const Lanes lo = Lanes{} - 32768, hi = Lanes{} + 32767;
    Lanes below = v < lo, above = v > hi;  // all-ones lanes where true
    v = (v & ~below) | (lo & below);
    return (v & ~above) | (hi & above);
}

// Bounds that make several saturations of the fixed-point recipe no-ops:
// the comb store is a weighted mean of two s16 values (the weights add up to
// 32768); the feedback is below 1, so store * feedback stays within s16; x/15,
// the dry product (gain below 1) and half the all-pass difference do too.
// Those values are therefore formed without a clamp.
void freeverb_run(const uint8_t* in, uint8_t* out, size_t samples, const FreeverbState& st, FreeverbSetup s) {
    const int32_t damp = s.damp_q15, undamp = s.undamp_q15, feedback = s.feedback_q15;
    const int32_t dry_gain = s.dry_q15, wet_gain = s.wet_q15;
    uint32_t comb_pos[kCombs];
    Lanes stores[kCombHalves];
    for (int k = 0; k < kCombs; ++k) {
        comb_pos[k] = line_position(st.comb_positions, k, kCombLength[k]);
        stores[k / kLanes][k % kLanes] = load<int16_t>(st.comb_stores + 2 * k);
    }
    uint32_t allpass_pos[kAllpasses];
    for (int j = 0; j < kAllpasses; ++j) allpass_pos[j] = line_position(st.allpass_positions, j, kAllpassLength[j]);

    // Runs of samples in which no line wraps: each line is then read and
    // written at a fixed base plus the sample's offset in the run.
    for (size_t i = 0; i < samples;) {
        size_t run = samples - i;
        uint8_t* comb[kCombs];
        uint8_t* allpass[kAllpasses];
        for (int k = 0; k < kCombs; ++k) {
            run = std::min<size_t>(run, kCombLength[k] - comb_pos[k]);
            comb[k] = st.comb_lines + 2 * (kCombFirst[k] + comb_pos[k]);
        }
        for (int j = 0; j < kAllpasses; ++j) {
            run = std::min<size_t>(run, kAllpassLength[j] - allpass_pos[j]);
            allpass[j] = st.allpass_lines + 2 * (kAllpassFirst[j] + allpass_pos[j]);
        }
        for (size_t n = 0; n < run; ++n) {
            const int32_t x = delay::get_cell(in, i + n);
            const int32_t a = (x * 8738) / 131072;  // about x / 15
            // The eight combs are independent: one lane each.
            int32_t sum = 0;
            for (int h = 0; h < kCombHalves; ++h) {
                Lanes y;
                for (int l = 0; l < kLanes; ++l) y[l] = delay::get_cell(comb[h * kLanes + l], n);
                stores[h] = quotient_q15(stores[h] * damp + y * undamp);  // one-pole low-pass in the loop
                Lanes written = clamp_s16(quotient_q15(stores[h] * feedback) + a);
                for (int l = 0; l < kLanes; ++l) {
                    delay::set_cell(comb[h * kLanes + l], n, static_cast<int16_t>(written[l]));
                    sum += y[l];
                }
            }
            // Eight full-scale comb outputs times 31457 need more than 32 bits.
            int32_t v = saturate_s16((static_cast<int64_t>(sum) * 31457) / 131072);
            for (int j = 0; j < kAllpasses; ++j) {
                int32_t b = delay::get_cell(allpass[j], n);
                delay::set_cell(allpass[j], n, static_cast<int16_t>(saturate_s16((b >> 1) + v)));
                v = (b - v) / 2;
            }
            const int32_t dry = (dry_gain * x) / 32768;
            const int32_t wet = saturate_s16((static_cast<int64_t>(v) * wet_gain * 30) / 32768);
            delay::set_cell(out, i + n, delay::knee_s16(dry + wet));
        }
        i += run;
        for (int k = 0; k < kCombs; ++k) {
            comb_pos[k] += static_cast<uint32_t>(run);
            if (comb_pos[k] == kCombLength[k]) comb_pos[k] = 0;
        }
        for (int j = 0; j < kAllpasses; ++j) {
            allpass_pos[j] += static_cast<uint32_t>(run);
            if (allpass_pos[j] == kAllpassLength[j]) allpass_pos[j] = 0;
        }
    }

    for (int k = 0; k < kCombs; ++k) {
        store<uint32_t>(st.comb_positions + 4 * k, comb_pos[k]);
        store<int16_t>(st.comb_stores + 2 * k, static_cast<int16_t>(stores[k / kLanes][k % kLanes]));
    }
    for (int j = 0; j < kAllpasses; ++j) store<uint32_t>(st.allpass_positions + 4 * j, allpass_pos[j]);
}

// ---------------------------------------------------------------------------
// Binding

constexpr const char* kFreeverbMessage = "invalid freeverb state";

PyObject* freeverb_s16(PyObject*, PyObject* args) {
    BufferView input, comb_lines, comb_positions, comb_stores, allpass_lines, allpass_positions;
    double room_size, damping, mix;
    if (!PyArg_ParseTuple(args, "y*w*w*w*w*w*ddd:freeverb_s16", input.slot(), comb_lines.slot(),
                          comb_positions.slot(), comb_stores.slot(), allpass_lines.slot(), allpass_positions.slot(),
                          &room_size, &damping, &mix))
        return nullptr;
    input.adopt();
    comb_lines.adopt();
    comb_positions.adopt();
    comb_stores.adopt();
    allpass_lines.adopt();
    allpass_positions.adopt();

    if (input.size() % 2 != 0 || comb_lines.size() < 2 * kCombCells || comb_positions.size() < 4 * kCombs ||
        comb_stores.size() < 2 * kCombs || allpass_lines.size() < 2 * kAllpassCells ||
        allpass_positions.size() < 4 * kAllpasses)
        return value_error(kFreeverbMessage);

    char* out = nullptr;
    PyObject* result = new_bytes(input.size(), &out);
    if (!result) return nullptr;

    FreeverbState state{comb_lines.writable_bytes(), comb_positions.writable_bytes(), comb_stores.writable_bytes(),
                        allpass_lines.writable_bytes(), allpass_positions.writable_bytes()};
    freeverb_run(input.bytes(), reinterpret_cast<uint8_t*>(out), input.size() / 2, state,
                 freeverb_setup(room_size, damping, mix));
    return result;
}

}  // namespace

PyMethodDef freeverb_s16_method() { return {"freeverb_s16", freeverb_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
