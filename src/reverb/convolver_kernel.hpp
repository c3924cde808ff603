// Uniformly partitioned overlap-save convolution: 256-frame partitions,
// 512-point transforms, a ring of input spectra and the impulse response kept
// as one spectrum per partition.  Plain C++ (no Python.h); the binding checks
// arguments and owns the object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/configured.hpp"
#include "reverb/real_fft.hpp"

namespace divavova {

inline constexpr uint32_t kConvolveFrames = 256;
inline constexpr uint32_t kConvolveMaxPartitions = 512;

// All-zero bytes mean "never initialised" (no storage).
// The ids of configure.
enum class ConvolverOption : uint32_t {
    mix,
};

struct ConvolverKernel {
    uint32_t sample_rate;
    uint32_t channel_count;      // processed audio, 1 or 2
    uint32_t partitions;         // P, capacity in 256-frame partitions
    uint32_t ir_channels;        // stored impulse response, 1 or 2
    float mix;                   // 0 .. 2 dry/wet control
    float* t256;                 // the twiddle tables in pair layout
    float* t512;
    float* history;              // per channel: previous block, newest block (512)
    float* input_block;          // per channel: block being collected (256)
    float* output_block;         // per channel: block being played (256)
    float* input_spectra;        // 2 x P spectra, channel-major ring
    float* ir_spectra;           // IR channels x P spectra, channel-major
    float* accumulator;          // one spectrum per channel
    float* work;                 // transform work buffer (512)
    float* scratch;              // time-domain block (512)
    uint32_t block_position;     // frames collected in the current block
    uint32_t current_slot;       // ring slot of the newest input spectrum
    uint32_t active_partitions;  // IR partitions in use, 0 .. P
    void* storage;               // the one owned allocation
    const TransformKernels* transforms;

    bool initialised() const { return storage != nullptr; }

    // A fresh state for valid sizes, its storage allocated and laid out;
    // false (out untouched) when the memory cannot be had.
    static bool create(ConvolverKernel& out, uint32_t sample_rate, uint32_t partitions, uint32_t ir_channels,
                       uint32_t channel_count);
    void free_memory();

    // The mix option: clamp(value, 0, 1) x 2.  False for any other id.
    Configured configure(uint32_t option, double value);

    // Clears the streaming state; the impulse response and mix stay.
    void reset();

    // impulse: `frames` interleaved native int16 frames of `channels`
    // channels at any address; frames <= 256 x P.
    void load(const uint8_t* impulse, size_t frames, uint32_t channels, double gain);
    void synthesize(double decay_s, double damping_hz, double predelay_ms, double fade_in_ms, uint32_t seed);
    uint32_t taps() const { return kConvolveFrames * active_partitions; }

    size_t frame_bytes() const { return 2u * channel_count; }
    void process(const int16_t* in, int16_t* out, size_t frames);

private:
    float* input_spectrum(uint32_t channel, uint32_t slot) const;
    float* ir_spectrum(uint32_t channel, uint32_t partition) const;
    template <uint32_t Channels>
    void stream(const int16_t* in, int16_t* out, size_t frames);
    void block_step();
};

}  // namespace divavova
