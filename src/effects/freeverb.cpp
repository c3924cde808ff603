// freeverb_s16: mono reverberator with eight parallel low-pass-feedback
// combs into four series all-passes, in 16-bit fixed point, all state in
// caller buffers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "effects/delay_kernel.hpp"
#include "module/dispatch.hpp"
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

// v / 32768 truncated toward zero, for a value or lane by lane: negative
// values are biased by 32767 before the flooring shift.
template <class T>
inline T quotient_q15(T v) {
    return (v + ((v >> 31) & 32767)) >> 15;
}

// Bounds that make several saturations of the fixed-point recipe no-ops:
// the comb store is a weighted mean of two s16 values (the weights add up to
// 32768); the feedback is below 1, so store * feedback stays within s16; x/15,
// the dry product (gain below 1) and half the all-pass difference do too.
// Those values are therefore formed without a clamp.

// The input share of every comb: about x / 15.
template <class T>
inline T comb_input(T x) {
    return (x * 8738) / 131072;
}

// A comb's one-pole low-pass in the loop: the store follows the line output y.
template <class T>
inline T comb_store(T store, T y, const FreeverbSetup& s) {
    return quotient_q15(store * s.damp_q15 + y * s.undamp_q15);
}

// What a comb writes back before its clamp: its input share plus the store
// fed back.
template <class T>
inline T comb_feed(T store, T a, const FreeverbSetup& s) {
    return quotient_q15(store * s.feedback_q15) + a;
}

// The all-passes' input from the comb sum (eight full-scale comb outputs
// times 31457 need more than 32 bits).
inline int32_t allpass_input(int32_t comb_sum) { return saturate_s16((static_cast<int64_t>(comb_sum) * 31457) / 131072); }

// One all-pass on cell b with input v: the cell takes half its content plus
// v, the output is half the difference.
inline int16_t allpass_write(int32_t b, int32_t v) { return static_cast<int16_t>(saturate_s16((b >> 1) + v)); }
inline int32_t allpass_output(int32_t b, int32_t v) { return (b - v) / 2; }

inline int16_t freeverb_output(int32_t x, int32_t v, const FreeverbSetup& s) {
    const int32_t dry = (s.dry_q15 * x) / 32768;
    const int32_t wet = saturate_s16((static_cast<int64_t>(v) * s.wet_q15 * 30) / 32768);
    return delay::knee_s16(dry + wet);
}

// A line's position after one sample.
inline uint32_t next_position(uint32_t position, uint32_t length) { return position + 1 == length ? 0 : position + 1; }

// ---------------------------------------------------------------------------
// Eight samples at a time (GCC/Clang vector extension, lowered to the
// target's vector unit).  Within eight samples no line is read after it was
// written (the shortest is 225 cells), so every line is read as a window of
// eight cells, the all-passes work on the eight samples side by side, and
// only the comb stores run sample after sample, the eight combs of a sample
// side by side in lanes.

using Cells8 = LaneTypes<8>::H;
using Lanes8 = LaneTypes<8>::I;
typedef double Doubles4 __attribute__((vector_size(32)));
constexpr int kBlock = 8;
static_assert(kCombs == kBlock);

inline Lanes8 widen(Cells8 v) { return __builtin_convertvector(v, Lanes8); }
// Lanes known to hold s16 values.
inline Cells8 narrow(Lanes8 v) { return __builtin_convertvector(v, Cells8); }


// trunc(v * factor) lane by lane, in double precision; exact where every
// product is (the callers' factors are integers times powers of two).
inline Lanes8 scaled_trunc(Lanes8 v, double factor) {
    typedef int32_t Half __attribute__((vector_size(16)));
    const Half lo = {v[0], v[1], v[2], v[3]}, hi = {v[4], v[5], v[6], v[7]};
    const Half a = __builtin_convertvector(__builtin_convertvector(lo, Doubles4) * factor, Half);
    const Half b = __builtin_convertvector(__builtin_convertvector(hi, Doubles4) * factor, Half);
    return Lanes8{a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]};
}


// Rows of an 8 x 8 matrix of cells become its columns.
inline void transpose(Cells8* r) {
    typedef int32_t Pairs __attribute__((vector_size(16)));
    typedef int64_t Quads __attribute__((vector_size(16)));
    Cells8 t[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = __builtin_shuffle(r[i], r[i + 1], Cells8{0, 8, 1, 9, 2, 10, 3, 11});
        t[i + 1] = __builtin_shuffle(r[i], r[i + 1], Cells8{4, 12, 5, 13, 6, 14, 7, 15});
    }
    Pairs u[8];
    for (int i = 0; i < 8; i += 4) {
        for (int h = 0; h < 2; ++h) {
            const Pairs a = reinterpret_cast<Pairs>(t[i + h]), b = reinterpret_cast<Pairs>(t[i + 2 + h]);
            u[i + 2 * h] = __builtin_shuffle(a, b, Pairs{0, 4, 1, 5});
            u[i + 2 * h + 1] = __builtin_shuffle(a, b, Pairs{2, 6, 3, 7});
        }
    }
    for (int i = 0; i < 4; ++i) {
        const Quads a = reinterpret_cast<Quads>(u[i]), b = reinterpret_cast<Quads>(u[i + 4]);
        r[2 * i] = reinterpret_cast<Cells8>(__builtin_shuffle(a, b, Quads{0, 2}));
        r[2 * i + 1] = reinterpret_cast<Cells8>(__builtin_shuffle(a, b, Quads{1, 3}));
    }
}

// Eight cells of a line from position p on, wrapping at its end.
inline Cells8 load_window(const uint8_t* line, uint32_t p, uint32_t length) {
    Cells8 v;
    if (p + kBlock <= length) {
        std::memcpy(&v, line + 2 * static_cast<size_t>(p), sizeof v);
        return v;
    }
    for (int m = 0; m < kBlock; ++m) v[m] = delay::get_cell(line, p + m < length ? p + m : p + m - length);
    return v;
}

// The first count cells of a window written back from position p on.
inline void store_window(uint8_t* line, uint32_t p, uint32_t length, Cells8 v, int count) {
    if (count == kBlock && p + kBlock <= length) {
        std::memcpy(line + 2 * static_cast<size_t>(p), &v, sizeof v);
        return;
    }
    for (int m = 0; m < count; ++m) delay::set_cell(line, p + m < length ? p + m : p + m - length, v[m]);
}

inline uint32_t advance(uint32_t position, int count, uint32_t length) {
    const uint32_t p = position + static_cast<uint32_t>(count);
    return p >= length ? p - length : p;
}

struct FreeverbLines {
    uint32_t comb_pos[kCombs];
    Lanes8 stores;  // lane k: comb k
    uint32_t allpass_pos[kAllpasses];
};

// count (1 .. 8) samples; lanes past count compute values that are dropped.
[[gnu::always_inline]] inline void freeverb_block(const uint8_t* in, uint8_t* out, int count, const FreeverbState& st,
                           const FreeverbSetup& s, FreeverbLines& at) {
    Cells8 x16 = {};
    std::memcpy(&x16, in, 2 * static_cast<size_t>(count));
    const Lanes8 x = widen(x16);
    const Lanes8 a = comb_input(x);

    Cells8 rows[kCombs];  // row k: comb k's eight cells, one per sample
    Lanes8 sum = {};
    for (int k = 0; k < kCombs; ++k) {
        rows[k] = load_window(st.comb_lines + 2 * kCombFirst[k], at.comb_pos[k], kCombLength[k]);
        sum += widen(rows[k]);
    }
    transpose(rows);  // row n: sample n's eight comb outputs
    Lanes8 stores = at.stores;
    for (int n = 0; n < count; ++n) {
        stores = comb_store(stores, widen(rows[n]), s);
        rows[n] = narrow(delay::saturate_s16_lanes(comb_feed(stores, Lanes8{} + a[n], s)));
    }
    at.stores = stores;
    transpose(rows);
    for (int k = 0; k < kCombs; ++k) {
        store_window(st.comb_lines + 2 * kCombFirst[k], at.comb_pos[k], kCombLength[k], rows[k], count);
        at.comb_pos[k] = advance(at.comb_pos[k], count, kCombLength[k]);
    }

    Lanes8 v = delay::saturate_s16_lanes(scaled_trunc(sum, 31457.0 / 131072.0));
    for (int j = 0; j < kAllpasses; ++j) {
        uint8_t* line = st.allpass_lines + 2 * kAllpassFirst[j];
        const Lanes8 b = widen(load_window(line, at.allpass_pos[j], kAllpassLength[j]));
        store_window(line, at.allpass_pos[j], kAllpassLength[j], narrow(delay::saturate_s16_lanes((b >> 1) + v)), count);
        at.allpass_pos[j] = advance(at.allpass_pos[j], count, kAllpassLength[j]);
        v = (b - v) / 2;
    }
    const Lanes8 dry = (x * s.dry_q15) / 32768;
    const Lanes8 wet = delay::saturate_s16_lanes(scaled_trunc(v, s.wet_q15 * 30.0 / 32768.0));
    const Cells8 y = narrow(delay::knee_lanes(dry + wet));  // within two s16 ranges: inside 16 bits
    std::memcpy(out, &y, 2 * static_cast<size_t>(count));
}

// The usual case: no two caller buffers share memory, so positions and
// stores live in registers for the whole block and are written back at the
// end.  The AVX2 build runs eight samples at a time.
void freeverb_by_eight(const uint8_t* in, uint8_t* out, size_t samples, FreeverbState st, FreeverbSetup s) {
    FreeverbLines at;
    for (int k = 0; k < kCombs; ++k) {
        at.comb_pos[k] = line_position(st.comb_positions, k, kCombLength[k]);
        at.stores[k] = load<int16_t>(st.comb_stores + 2 * k);
    }
    for (int j = 0; j < kAllpasses; ++j) at.allpass_pos[j] = line_position(st.allpass_positions, j, kAllpassLength[j]);
    for (size_t i = 0; i < samples; i += kBlock) {
        const int count = samples - i < kBlock ? static_cast<int>(samples - i) : kBlock;
        freeverb_block(in + 2 * i, out + 2 * i, count, st, s, at);
    }
    for (int k = 0; k < kCombs; ++k) {
        store<uint32_t>(st.comb_positions + 4 * k, at.comb_pos[k]);
        store<int16_t>(st.comb_stores + 2 * k, static_cast<int16_t>(at.stores[k]));
    }
    for (int j = 0; j < kAllpasses; ++j) store<uint32_t>(st.allpass_positions + 4 * j, at.allpass_pos[j]);
}

// The same sample by sample, for the baseline, whose 128-bit vectors without
// SSE4.1 build the eight-sample loop's conversions and shuffles poorly: the
// eight combs of a sample run side by side in two vectors of four lanes, in
// runs of samples in which no line wraps, so that each line is read and
// written at a fixed base plus the sample's offset in the run.
void freeverb_by_sample(const uint8_t* in, uint8_t* out, size_t samples, FreeverbState st, FreeverbSetup s) {
    using Lanes4 = LaneTypes<4>::I;
    constexpr int kHalves = kCombs / 4;
    uint32_t comb_pos[kCombs];
    Lanes4 stores[kHalves];
    for (int k = 0; k < kCombs; ++k) {
        comb_pos[k] = line_position(st.comb_positions, k, kCombLength[k]);
        stores[k / 4][k % 4] = load<int16_t>(st.comb_stores + 2 * k);
    }
    uint32_t allpass_pos[kAllpasses];
    for (int j = 0; j < kAllpasses; ++j) allpass_pos[j] = line_position(st.allpass_positions, j, kAllpassLength[j]);
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
            const Lanes4 a = Lanes4{} + comb_input<int32_t>(x);
            int32_t sum = 0;
            for (int h = 0; h < kHalves; ++h) {
                Lanes4 y;
                for (int l = 0; l < 4; ++l) y[l] = delay::get_cell(comb[4 * h + l], n);
                stores[h] = comb_store(stores[h], y, s);
                const Lanes4 written = delay::saturate_s16_lanes(comb_feed(stores[h], a, s));
                for (int l = 0; l < 4; ++l) {
                    delay::set_cell(comb[4 * h + l], n, static_cast<int16_t>(written[l]));
                    sum += y[l];
                }
            }
            int32_t v = allpass_input(sum);
            for (int j = 0; j < kAllpasses; ++j) {
                const int32_t b = delay::get_cell(allpass[j], n);
                delay::set_cell(allpass[j], n, allpass_write(b, v));
                v = allpass_output(b, v);
            }
            delay::set_cell(out, i + n, freeverb_output(x, v, s));
        }
        i += run;
        for (int k = 0; k < kCombs; ++k) comb_pos[k] = advance(comb_pos[k], static_cast<int>(run), kCombLength[k]);
        for (int j = 0; j < kAllpasses; ++j)
            allpass_pos[j] = advance(allpass_pos[j], static_cast<int>(run), kAllpassLength[j]);
    }
    for (int k = 0; k < kCombs; ++k) {
        store<uint32_t>(st.comb_positions + 4 * k, comb_pos[k]);
        store<int16_t>(st.comb_stores + 2 * k, static_cast<int16_t>(stores[k / 4][k % 4]));
    }
    for (int j = 0; j < kAllpasses; ++j) store<uint32_t>(st.allpass_positions + 4 * j, allpass_pos[j]);
}

// Caller buffers that share memory: every value is read from and written to
// its buffer at its own step, in the order of the algorithm, so that a write
// through one buffer shows in the next read through another.  The positions
// are brought into their lines first.
void freeverb_in_order(const uint8_t* in, uint8_t* out, size_t samples, const FreeverbState& st, FreeverbSetup s) {
    for (int k = 0; k < kCombs; ++k)
        store<uint32_t>(st.comb_positions + 4 * k, line_position(st.comb_positions, k, kCombLength[k]));
    for (int j = 0; j < kAllpasses; ++j)
        store<uint32_t>(st.allpass_positions + 4 * j, line_position(st.allpass_positions, j, kAllpassLength[j]));
    for (size_t i = 0; i < samples; ++i) {
        const int32_t x = delay::get_cell(in, i);
        const int32_t a = comb_input<int32_t>(x);
        int32_t sum = 0;
        for (int k = 0; k < kCombs; ++k) {
            const uint32_t p = line_position(st.comb_positions, k, kCombLength[k]);
            const size_t cell = kCombFirst[k] + p;
            const int32_t y = delay::get_cell(st.comb_lines, cell);
            const int32_t stored = comb_store<int32_t>(load<int16_t>(st.comb_stores + 2 * k), y, s);
            store<int16_t>(st.comb_stores + 2 * k, static_cast<int16_t>(stored));
            delay::set_cell(st.comb_lines, cell, static_cast<int16_t>(saturate_s16(comb_feed<int32_t>(stored, a, s))));
            store<uint32_t>(st.comb_positions + 4 * k, next_position(p, kCombLength[k]));
            sum += y;
        }
        int32_t v = allpass_input(sum);
        for (int j = 0; j < kAllpasses; ++j) {
            const uint32_t p = line_position(st.allpass_positions, j, kAllpassLength[j]);
            const size_t cell = kAllpassFirst[j] + p;
            const int32_t b = delay::get_cell(st.allpass_lines, cell);
            delay::set_cell(st.allpass_lines, cell, allpass_write(b, v));
            v = allpass_output(b, v);
            store<uint32_t>(st.allpass_positions + 4 * j, next_position(p, kAllpassLength[j]));
        }
        delay::set_cell(out, i, freeverb_output(x, v, s));
    }
}

struct ByteRange {
    const uint8_t* first;
    size_t bytes;
};

inline bool overlap(ByteRange a, ByteRange b) {
    const uintptr_t a0 = reinterpret_cast<uintptr_t>(a.first), b0 = reinterpret_cast<uintptr_t>(b.first);
    return a.bytes && b.bytes && a0 < b0 + b.bytes && b0 < a0 + a.bytes;
}

// Whether any two of the ranges the call reads or writes share memory (the
// input among them: it may be a view of a state buffer).
inline bool any_overlap(const ByteRange* ranges, size_t count) {
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j)
            if (overlap(ranges[i], ranges[j])) return true;
    return false;
}

void freeverb(const uint8_t* in, uint8_t* out, size_t samples, const FreeverbState& st, FreeverbSetup s) {
    const ByteRange used[] = {{in, 2 * samples},
                              {st.comb_lines, 2 * kCombCells},
                              {st.comb_positions, 4 * kCombs},
                              {st.comb_stores, 2 * kCombs},
                              {st.allpass_lines, 2 * kAllpassCells},
                              {st.allpass_positions, 4 * kAllpasses}};
    if (any_overlap(used, std::size(used)))
        freeverb_in_order(in, out, samples, st, s);
    else
        run_kernel_widened<freeverb_by_sample, freeverb_by_eight>(in, out, samples, st, s);
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
    freeverb(input.bytes(), reinterpret_cast<uint8_t*>(out), input.size() / 2, state,
             freeverb_setup(room_size, damping, mix));
    return result;
}

}  // namespace

PyMethodDef freeverb_s16_method() { return {"freeverb_s16", freeverb_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
