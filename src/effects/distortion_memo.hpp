// Outputs remembered from one call to the next.  The output of a sample
// depends only on its value and the settings, and a stream shaped block by
// block with unchanged settings meets the same values again and again, so
// each value is shaped once and looked up afterwards.
//
// The last few settings seen are kept.  Settings get a table of 65536 cells
// when they come back in a later call, so a stream whose settings change with
// every block costs only their comparison.  A cell holds the output with the
// table's 16-bit stamp; handing a table to other settings takes a new stamp,
// which empties it without clearing it (it is cleared once the stamp wraps).
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

struct MemoTable {
    uint32_t* cells;  // nullptr: shape the block directly
    uint32_t stamp;   // in the high 16 bits of the cells that hold an output
    bool empty;       // just handed to these settings
};

class DistortionMemo {
public:
    static constexpr size_t kCells = 65536;

    // The table of these settings, or none when they are new (or when
    // bit reduction without the limiter, cheaper than a lookup, shapes them).
    MemoTable table_for(const DistortionSettings& s) {
        if (s.shape == DistortionShape::bit_reduction && !s.soft_limit) return {};
        ++clock_;
        Slot* slot = find(s);
        if (!slot) {
            slot = least_recent();
            slot->settings = s;
            slot->in_use = true;
            slot->has_table = false;
            slot->used = clock_;
            return {};
        }
        slot->used = clock_;
        bool empty = false;
        if (!slot->has_table) {
            if (!slot->cells && !(slot->cells = engine_alloc<uint32_t>(kCells))) return {};
            if (++slot->stamp == 0x10000) {
                std::memset(slot->cells, 0, kCells * sizeof(uint32_t));
                slot->stamp = 1;
            }
            slot->has_table = true;
            empty = true;
        }
        return {slot->cells, slot->stamp << 16, empty};
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

// Shapes count samples from in into out (which may be the same memory)
// through the table: known values are looked up, the others shaped together
// and remembered.
inline void distort_remembered(const DistortionSettings& s, Vectors cpu, const MemoTable& t, const int16_t* in,
                               int16_t* out, size_t count) {
    // Chunks short enough that the values missing from one are shaped
    // directly, never through a memo of their own.
    constexpr size_t kChunk = 1024;
    static_assert(kChunk < kMemoOverExactSamples && kChunk < kMemoOverBaselineFastExponential &&
                  kChunk < kMemoOverBaselineFastPower);
    const uint32_t stamp = t.stamp;
    uint32_t* const cells = t.cells;
    int16_t missing[kChunk], shaped[kChunk];
    uint16_t where[kChunk];
    for (size_t first = 0; first < count; first += kChunk) {
        const size_t n = count - first < kChunk ? count - first : kChunk;
        size_t misses = 0;
        for (size_t i = 0; i < n; ++i) {
            const int16_t x = in[first + i];
            const uint32_t cell = cells[static_cast<uint16_t>(x)];
            out[first + i] = static_cast<int16_t>(cell);
            if ((cell & 0xFFFF0000u) != stamp) {
                missing[misses] = x;
                where[misses] = static_cast<uint16_t>(i);
                ++misses;
            }
        }
        if (misses == 0) continue;
        distort(s, choose_path(s, misses, cpu), cpu, missing, shaped, misses, nullptr);
        for (size_t k = 0; k < misses; ++k) out[first + where[k]] = shaped[k];
        remember(t, missing, shaped, misses);
    }
}


}  // namespace divavova
