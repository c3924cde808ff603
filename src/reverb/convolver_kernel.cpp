#include "reverb/convolver_kernel.hpp"

#include <cmath>
#include <cstring>

#include "module/convert.hpp"
#include "module/memory.hpp"

namespace divavova {

namespace {

constexpr size_t kSpectrum = kSpectrumFloats;
constexpr size_t kAlignFloats = 16;  // 64 bytes

// e^z for z in -1 .. 0 (z is clamped first) by its Taylor series to the
// ninth power, in double.
double expx(double z) {
    z = std::fmin(std::fmax(z, -1.0), 0.0);
    const double t1 = z;
    const double t2 = (z * 0.5) * z;
    const double t3 = (z / 3.0) * t2;
    const double t4 = (z * 0.25) * t3;
    const double t5 = (z / 5.0) * t4;
    const double t6 = (z / 6.0) * t5;
    const double t7 = (z / 7.0) * t6;
    const double t8 = (z * 0.125) * t7;
    const double t9 = (z / 9.0) * t8;
    return 1.0 + t1 + t2 + t3 + t4 + t5 + t6 + t7 + t8 + t9;
}

// Exponentially decaying, one-pole smoothed xorshift noise with a silent
// pre-delay and a linear fade-in: one IR channel's value sequence.
struct NoiseTail {
    uint32_t state;
    double envelope = 1.0;
    double smoothed = 0.0;
    uint32_t n = 0;
    double decay;        // per-sample envelope factor
    double smoothing;    // one-pole coefficient
    uint32_t predelay;   // silent samples
    uint32_t fade;       // ramp length in samples
    double ramp_step;

    double next() {
        const uint32_t index = n++;
        if (index < predelay) return 0.0;
        uint32_t x = state;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        state = x;
        const float noise = static_cast<float>(static_cast<int32_t>(x >> 8) - 8388608) * 1.1920929e-7f;
        smoothed = smoothed + (static_cast<double>(noise) * envelope - smoothed) * smoothing;
        const uint32_t t = index - predelay;
        const double value = t < fade ? (static_cast<double>(t) * ramp_step) * smoothed : smoothed;
        envelope = envelope * decay;
        return value;
    }
};

// Per frame and channel: play the output block, collect the input block.
template <uint32_t Channels>
void exchange(const float* __restrict played, float* __restrict collected, const int16_t* __restrict in,
              int16_t* __restrict out, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        for (uint32_t ch = 0; ch < Channels; ++ch) {
            out[i * Channels + ch] = s16(played[ch * 256 + i]);
            collected[ch * 256 + i] = static_cast<float>(in[i * Channels + ch]);
        }
    }
}

}  // namespace

bool ConvolverKernel::create(ConvolverKernel& out, uint32_t sample_rate, uint32_t partitions, uint32_t ir_channels,
                             uint32_t channel_count) {
    const size_t p = partitions;
    // Regions in order; each a multiple of 16 floats, so all start on 64 bytes.
    const size_t sizes[] = {
        256,                           // T256
        512,                           // T512
        2 * 512,                       // input history
        2 * 256,                       // input block
        2 * 256,                       // output block
        2 * p * kSpectrum,             // input spectra
        ir_channels * p * kSpectrum,   // IR spectra
        2 * kSpectrum,                 // accumulators, one per channel
        512,                           // work buffer
        512,                           // scratch block
    };
    size_t total = 0;
    for (size_t s : sizes) total += s;
    float* raw = engine_alloc<float>(total + kAlignFloats);
    if (!raw) return false;
    const uintptr_t address = reinterpret_cast<uintptr_t>(raw);
    float* next = raw + ((64 - address % 64) % 64) / sizeof(float);
    float* regions[10];
    for (size_t i = 0; i < 10; ++i) {
        regions[i] = next;
        next += sizes[i];
    }

    ConvolverKernel k{};
    k.sample_rate = sample_rate;
    k.channel_count = channel_count;
    k.partitions = partitions;
    k.ir_channels = ir_channels;
    k.mix = 1.0f;
    k.t256 = regions[0];
    k.t512 = regions[1];
    k.history = regions[2];
    k.input_block = regions[3];
    k.output_block = regions[4];
    k.input_spectra = regions[5];
    k.ir_spectra = regions[6];
    k.accumulator = regions[7];
    k.work = regions[8];
    k.scratch = regions[9];
    k.active_partitions = 0;
    k.storage = raw;
    k.transforms = &transform_kernels();
    fill_twiddle_tables(k.t256, k.t512);
    k.reset();
    out = k;
    return true;
}

void ConvolverKernel::free_memory() {
    engine_free(storage);
    *this = ConvolverKernel{};
}

Configured ConvolverKernel::configure(uint32_t option, double value) {
    if (static_cast<ConvolverOption>(option) != ConvolverOption::mix) return Configured::unknown_option;
    mix = clamp(static_cast<float>(value), 0.0f, 1.0f) * 2.0f;
    return Configured::ok;
}

float* ConvolverKernel::input_spectrum(uint32_t channel, uint32_t slot) const {
    return input_spectra + (static_cast<size_t>(channel) * partitions + slot) * kSpectrum;
}

float* ConvolverKernel::ir_spectrum(uint32_t channel, uint32_t partition) const {
    return ir_spectra + (static_cast<size_t>(channel) * partitions + partition) * kSpectrum;
}

void ConvolverKernel::reset() {
    std::memset(history, 0, 1024 * sizeof(float));
    std::memset(input_block, 0, 512 * sizeof(float));
    std::memset(output_block, 0, 512 * sizeof(float));
    std::memset(input_spectra, 0, 2 * static_cast<size_t>(partitions) * kSpectrum * sizeof(float));
    block_position = 0;
    current_slot = 0;
}

void ConvolverKernel::load(const uint8_t* impulse, size_t frames, uint32_t channels, double gain) {
    const float scale = static_cast<float>(gain) * kFromS16;
    for (uint32_t i = 0; i < ir_channels; ++i) {
        const uint32_t source = channels == 1 ? 0 : (i < channels - 1 ? i : channels - 1);
        for (uint32_t j = 0; j < partitions; ++j) {
            const size_t first = static_cast<size_t>(j) * kConvolveFrames;
            for (size_t k = 0; k < kConvolveFrames; ++k) {
                const size_t frame = first + k;
                scratch[k] = frame < frames
                                 ? static_cast<float>(divavova::load<int16_t>(impulse + 2 * (frame * channels + source))) * scale
                                 : 0.0f;
            }
            std::memset(scratch + 256, 0, 256 * sizeof(float));
            transforms->forward(scratch, ir_spectrum(i, j), work);
        }
    }
    const size_t used = (frames + kConvolveFrames - 1) / kConvolveFrames;
    active_partitions = used < partitions ? static_cast<uint32_t>(used) : partitions;
    reset();
}

void ConvolverKernel::synthesize(double decay_s, double damping_hz, double predelay_ms, double fade_in_ms,
                                 uint32_t seed) {
    const double rate = static_cast<double>(sample_rate);
    const float decay_time = clamp(static_cast<float>(decay_s), 0.05f, 30.0f);
    const double decay = expx(-6.907755278982138 / (static_cast<double>(decay_time) * rate));

    const float damping = static_cast<float>(damping_hz);
    double smoothing = 1.0;
    if (damping > 0.0f && rate * 0.25 > static_cast<double>(damping)) {
        smoothing = 1.0 - expx((static_cast<double>(damping) * -6.283185307179586) / rate);
    }

    const uint32_t length = kConvolveFrames * partitions;
    const double predelay_f = static_cast<double>(clamp(static_cast<float>(predelay_ms), 0.0f, 200.0f));
    uint32_t predelay = float_to<uint32_t>((predelay_f * 0.001) * rate);
    if (predelay > length) predelay = length;
    const double fade_f = static_cast<double>(clamp(static_cast<float>(fade_in_ms), 0.0f, 500.0f));
    const uint32_t fade = float_to<uint32_t>((fade_f * 0.001) * rate);
    const double ramp_step = fade > 0 ? 1.0 / static_cast<double>(fade) : 0.0;

    auto tail = [&](uint32_t channel) {
        uint32_t state = seed - channel * 0x61C88647u;
        if (state == 0) state = 1;
        return NoiseTail{state, 1.0, 0.0, 0, decay, smoothing, predelay, fade, ramp_step};
    };

    // Pass 1: mean energy over the IR channels.
    double energy = 0.0;
    for (uint32_t i = 0; i < ir_channels; ++i) {
        NoiseTail noise = tail(i);
        for (uint32_t n = 0; n < length; ++n) {
            const double value = noise.next();
            energy += value * value;
        }
    }
    const double mean = energy / static_cast<double>(ir_channels);
    const double norm = mean > 0.0 ? 1.0 / std::sqrt(mean) : 0.0;

    // Pass 2: the same sequences, normalised, one partition at a time.
    for (uint32_t i = 0; i < ir_channels; ++i) {
        NoiseTail noise = tail(i);
        for (uint32_t j = 0; j < partitions; ++j) {
            for (uint32_t k = 0; k < kConvolveFrames; ++k) scratch[k] = static_cast<float>(noise.next() * norm);
            std::memset(scratch + 256, 0, 256 * sizeof(float));
            transforms->forward(scratch, ir_spectrum(i, j), work);
        }
    }
    active_partitions = partitions;
    reset();
}

void ConvolverKernel::block_step() {
    const DryWet<float> gains = dry_wet(mix);
    current_slot = current_slot + 1 == partitions ? 0 : current_slot + 1;
    // Channels never meet: each is slid and transformed, multiplied with the
    // impulse response and transformed back on its own buffers.
    for (uint32_t ch = 0; ch < channel_count; ++ch) {
        float* past = history + ch * 512;
        std::memmove(past, past + 256, 256 * sizeof(float));
        std::memcpy(past + 256, input_block + ch * 256, 256 * sizeof(float));
        transforms->forward(past, input_spectrum(ch, current_slot), work);
    }
    if (channel_count == 2 && ir_channels == 1) {
        transforms->accumulate_pair(accumulator, accumulator + kSpectrum, ir_spectrum(0, 0), input_spectrum(0, 0),
                                    input_spectrum(1, 0), current_slot, partitions, active_partitions);
    } else {
        for (uint32_t ch = 0; ch < channel_count; ++ch) {
            const uint32_t ir_channel = ir_channels == 2 ? ch : 0;
            transforms->accumulate(accumulator + ch * kSpectrum, ir_spectrum(ir_channel, 0), input_spectrum(ch, 0),
                                   current_slot, partitions, active_partitions);
        }
    }
    for (uint32_t ch = 0; ch < channel_count; ++ch) {
        transforms->inverse(accumulator + ch * kSpectrum, scratch, work);
        float* played = output_block + ch * 256;
        const float* block = input_block + ch * 256;
        const float* wet = scratch + 256;
        for (uint32_t k = 0; k < 256; ++k) played[k] = (gains.wet * wet[k]) + (gains.dry * block[k]);
    }
}

template <uint32_t Channels>
void ConvolverKernel::stream(const int16_t* in, int16_t* out, size_t frames) {
    while (frames > 0) {
        const uint32_t p = block_position;
        const size_t room = kConvolveFrames - p;
        const size_t n = frames < room ? frames : room;
        exchange<Channels>(output_block + p, input_block + p, in, out, n);
        in += n * Channels;
        out += n * Channels;
        frames -= n;
        block_position = p + static_cast<uint32_t>(n);
        if (block_position == kConvolveFrames) {
            block_step();
            block_position = 0;
        }
    }
}

void ConvolverKernel::process(const int16_t* in, int16_t* out, size_t frames) {
    if (frames == 0) return;
    if (active_partitions == 0) {
        std::memcpy(out, in, frames * channel_count * sizeof(int16_t));
        return;
    }
    if (channel_count == 1) {
        stream<1>(in, out, frames);
    } else {
        stream<2>(in, out, frames);
    }
}

}  // namespace divavova
