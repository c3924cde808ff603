// Outputs remembered from one call to the next.  The output of a sample
// depends only on its value and the settings, and a stream shaped block by
// block with unchanged settings meets the same values again and again, so
// each value is shaped once and looked up afterwards.
//
// The last few settings seen are kept.  Settings get a table of 65536 cells
// when they come back in a later call, so a stream whose settings change with
// every block costs only their comparison; or at once, when their first
// block is long enough to repeat many values.  A cell holds the output with
// the table's 16-bit stamp; handing a table to other settings takes a new
// stamp, which empties it without clearing it (it is cleared once the stamp
// wraps).
//
// One set of tables serves the process.  The module runs under the
// interpreter lock, shared by every interpreter that may import it, and the
// tables are used only after the arguments are read and the result is
// allocated, with no Python code running until the call returns.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "effects/distortion_kernel.hpp"
#include "module/memory.hpp"

namespace divavova {

// Whether looking outputs up can beat shaping them: for every chain but bit
// reduction without the limiter, whose few integer operations beat a lookup.
inline bool lookups_pay(const DistortionSettings& s) {
    return !(s.shape == DistortionShape::bit_reduction && !s.soft_limit);
}

// Block lengths, in samples, from which a table pays within one block, empty
// as it starts: each distinct input value is shaped once, its repeats are
// looked up, and filling the table costs about a nanosecond per sample.
// Against the exact chain, from the lengths where a block of full-band noise
// repeats enough values; the rational curve without the limiter, the
// cheapest chain that is remembered, needs longer blocks.  Against the fast
// path, with the baseline's vectors only; with AVX2 the fast path takes half
// the time of the memo even on a second of such noise.
constexpr size_t kMemoOverExactSamples = 16384;
constexpr size_t kMemoOverExactRationalSamples = 32768;
constexpr size_t kMemoOverBaselineFastPower = 65536;
constexpr size_t kMemoOverBaselineFastExponential = 32768;

inline bool memo_pays_within(const DistortionSettings& s, size_t count, Vectors cpu) {
    // Blocks shorter than every threshold (a stream's usual blocks) are
    // answered before the fast path's bounds are worked out.
    static_assert(kMemoOverExactSamples <= kMemoOverExactRationalSamples &&
                  kMemoOverExactSamples <= kMemoOverBaselineFastPower &&
                  kMemoOverExactSamples <= kMemoOverBaselineFastExponential);
    if (count < kMemoOverExactSamples || !lookups_pay(s)) return false;
    bool fast_curve = s.shape == DistortionShape::power || s.shape == DistortionShape::exponential;
    distortion_fast::FastSettings f;
    if (fast_curve && distortion_fast::fast_settings(s, &f)) {
        size_t memo_from = s.shape == DistortionShape::power ? kMemoOverBaselineFastPower
                                                             : kMemoOverBaselineFastExponential;
        return cpu == Vectors::baseline && count >= memo_from;
    }
    bool cheapest = s.shape == DistortionShape::rational && !s.soft_limit;
    return count >= (cheapest ? kMemoOverExactRationalSamples : kMemoOverExactSamples);
}

struct MemoTable {
    uint32_t* cells;   // nullptr: shape the block directly
    uint32_t stamp;    // in the high 16 bits of the cells that hold an output
    bool empty;        // just handed to these settings
    bool shape_first;  // empty, and the block too short to pay for lookups: shape it, then remember it
};

class DistortionMemo {
public:
    static constexpr size_t kCells = 65536;

    // The table of these settings for a block of count samples, or none: for
    // bit reduction without the limiter, for new settings unless the table
    // pays within this block, and when there is no memory for one.
    MemoTable table_for(const DistortionSettings& s, size_t count, Vectors cpu) {
        if (!lookups_pay(s)) return {};
        ++clock_;
        Slot* slot = find(s);
        const bool seen = slot != nullptr;
        if (!seen) {
            slot = least_recent();
            slot->settings = s;
            slot->in_use = true;
            slot->has_table = false;
        }
        slot->used = clock_;
        if (slot->has_table) return {slot->cells, slot->stamp << 16, false, false};
        const bool pays_within = memo_pays_within(s, count, cpu);
        if (!seen && !pays_within) return {};
        if (!slot->cells && !(slot->cells = engine_alloc<uint32_t>(kCells))) return {};
        if (++slot->stamp == 0x10000) {
            std::memset(slot->cells, 0, kCells * sizeof(uint32_t));
            slot->stamp = 1;
        }
        slot->has_table = true;
        return {slot->cells, slot->stamp << 16, true, !pays_within};
    }

private:
    struct Slot {
        DistortionSettings settings;
        bool in_use = false;
        bool has_table = false;     // cells stamped for these settings
        uint32_t* cells = nullptr;  // kept when the slot takes other settings
        uint32_t stamp = 0;         // 1 .. 65535 once the cells are used; 0 marks none
        uint64_t used = 0;
    };

    static bool same(const DistortionSettings& a, const DistortionSettings& b) {
        return a.shape == b.shape && a.soft_limit == b.soft_limit && a.bit_mask == b.bit_mask &&
               std::bit_cast<uint64_t>(a.pre_gain) == std::bit_cast<uint64_t>(b.pre_gain) &&
               std::bit_cast<uint64_t>(a.post_gain) == std::bit_cast<uint64_t>(b.post_gain) &&
               std::bit_cast<uint64_t>(a.curve_constant) == std::bit_cast<uint64_t>(b.curve_constant) &&
               std::bit_cast<uint64_t>(a.mix) == std::bit_cast<uint64_t>(b.mix);
    }

    Slot* find(const DistortionSettings& s) {
        for (Slot& slot : slots_)
            if (slot.in_use && same(slot.settings, s)) return &slot;
        return nullptr;
    }

    Slot* least_recent() {
        Slot* oldest = &slots_[0];
        for (Slot& slot : slots_)
            if (slot.used < oldest->used) oldest = &slot;
        return oldest;
    }

    Slot slots_[4];
    uint64_t clock_ = 0;
};

// Remembers the outputs of a block shaped directly (out apart from in).
inline void remember(const MemoTable& t, const int16_t* in, const int16_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) t.cells[static_cast<uint16_t>(in[i])] = t.stamp | static_cast<uint16_t>(out[i]);
}

namespace distortion_detail {

// Looks n samples up: out gets the known outputs, missing and where the
// values that are not known and their places; returns how many.  While the
// table fills, a branch on each lookup would be mispredicted often, so the
// value and its place are written every time and kept only on a miss; once
// misses are rare, the branch is cheaper than the stores.
template <bool Filling>
inline size_t look_up(const MemoTable& t, const int16_t* in, int16_t* out, size_t n, int16_t* missing,
                      uint16_t* where) {
    const uint32_t stamp = t.stamp;
    const uint32_t* const cells = t.cells;
    size_t misses = 0;
    for (size_t i = 0; i < n; ++i) {
        const int16_t x = in[i];
        const uint32_t cell = cells[static_cast<uint16_t>(x)];
        out[i] = static_cast<int16_t>(cell);
        const bool miss = (cell & 0xFFFF0000u) != stamp;
        if (Filling || miss) {
            missing[misses] = x;
            where[misses] = static_cast<uint16_t>(i);
            misses += miss;
        }
    }
    return misses;
}

}  // namespace distortion_detail

// Shapes count samples from in into out (which may be the same memory)
// through the table: known values are looked up, the others shaped together
// and remembered.
inline void distort_remembered(const DistortionSettings& s, Vectors cpu, const MemoTable& t, const int16_t* in,
                               int16_t* out, size_t count) {
    using distortion_detail::look_up;
    // The values missing from a chunk are shaped together, on the stack.
    constexpr size_t kChunk = 1024;
    int16_t missing[kChunk], shaped[kChunk];
    uint16_t where[kChunk];
    bool filling = t.empty;
    for (size_t first = 0; first < count; first += kChunk) {
        const size_t n = count - first < kChunk ? count - first : kChunk;
        const size_t misses = !filling ? look_up<false>(t, in + first, out + first, n, missing, where)
                                       : look_up<true>(t, in + first, out + first, n, missing, where);
        filling = misses > n / 8;
        if (misses == 0) continue;
        distort(s, cpu, missing, shaped, misses);
        for (size_t k = 0; k < misses; ++k) out[first + where[k]] = shaped[k];
        remember(t, missing, shaped, misses);
    }
}

}  // namespace divavova
