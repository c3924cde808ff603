// One second-order section per channel in single precision, designed from
// type, frequency, Q and gain with the audio-EQ-cookbook formulas in double.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engines/filter_design.hpp"
#include "engines/frame_walk.hpp"
#include "module/convert.hpp"
#include "module/configured.hpp"
#include "module/dispatch.hpp"

namespace divavova {

// The ids of configure.
enum class BiquadF32Option : uint32_t {
    type,
    frequency_hz,
    q,
    gain_db,
    mix,
};

struct BiquadF32Kernel {
    enum FilterType : int32_t { low_pass, high_pass, band_pass, notch, peaking, low_shelf, high_shelf };

    uint32_t sample_rate;
    uint32_t channel_count;
    int32_t filter_type;
    float frequency_hz;
    float q;
    float gain_db;
    float mix;
    float b0, b1, b2, a1, a2;
    int32_t designed_type;
    uint32_t designed_rate;
    float designed_frequency_hz;
    float designed_q;
    float designed_gain_db;
    bool designed;
    float s1[2];
    float s2[2];

    static constexpr const char* kUnknownOption = "unknown biquad option";
    static constexpr const char* kWholeFrames = kWholeS16FramesMessage;

    static BiquadF32Kernel make(uint32_t rate, uint32_t channels) {
        BiquadF32Kernel k{};
        k.sample_rate = rate;
        k.channel_count = channels;
        k.filter_type = low_pass;
        k.frequency_hz = 1000.0f;
        k.q = 0.70710677f;
        k.gain_db = 0.0f;
        k.mix = 1.0f;
        return k;
    }

    bool initialised() const { return channel_count != 0; }
    size_t frame_bytes() const { return 2u * channel_count; }

    Configured configure(uint32_t option, double value_in) {
        const float value = static_cast<float>(value_in);
        switch (static_cast<BiquadF32Option>(option)) {
            case BiquadF32Option::type:
                filter_type = clamp(float_to<int32_t>(value), int32_t{low_pass}, int32_t{high_shelf});
                break;
            case BiquadF32Option::frequency_hz:
                frequency_hz = limit_design_frequency(value, sample_rate);
                break;
            case BiquadF32Option::q:
                q = clamp(value, 0.05f, 60.0f);
                break;
            case BiquadF32Option::gain_db:
                gain_db = clamp(value, -60.0f, 60.0f);
                break;
            case BiquadF32Option::mix:
                mix = clamp(value, 0.0f, 1.0f);
                break;
            default:
                return Configured::unknown_option;
        }
        return Configured::ok;
    }

    void finish() { design(); }

    void reset() {
        s1[0] = s1[1] = 0.0f;
        s2[0] = s2[1] = 0.0f;
    }

    // Redesigns the section when a design input changed since the last design.
    // synth/biquad_kernel.hpp designs the same cookbook filters in its own
    // operation order (shelves through an approximate inverse square root);
    // each keeps its order, which its coefficients' bits depend on.
    void design() {
        if (designed && filter_type == designed_type && sample_rate == designed_rate &&
            frequency_hz == designed_frequency_hz && q == designed_q && gain_db == designed_gain_db)
            return;
        const double A = static_cast<double>(expf(gain_db * 0.057564627f));  // 10^(gain/40)
        const double w = (static_cast<double>(frequency_hz) * 6.283185307179586) / static_cast<double>(sample_rate);
        const SineCosine sc = taylor_sine_cosine(w);
        const double alpha = sc.sine / (2.0 * static_cast<double>(q));
        const double cs = sc.cosine;
        const double K = (2.0 * std::sqrt(A)) * alpha;
        double nb0, nb1, nb2, na0, na1, na2;
        switch (filter_type) {
            default:
            case low_pass:
                nb0 = (1.0 - cs) / 2.0;
                nb1 = 1.0 - cs;
                nb2 = (1.0 - cs) / 2.0;
                na0 = 1.0 + alpha;
                na1 = -2.0 * cs;
                na2 = 1.0 - alpha;
                break;
            case high_pass:
                nb0 = (1.0 + cs) / 2.0;
                nb1 = -(1.0 + cs);
                nb2 = (1.0 + cs) / 2.0;
                na0 = 1.0 + alpha;
                na1 = -2.0 * cs;
                na2 = 1.0 - alpha;
                break;
            case band_pass:
                nb0 = alpha;
                nb1 = 0.0;
                nb2 = -alpha;
                na0 = 1.0 + alpha;
                na1 = -2.0 * cs;
                na2 = 1.0 - alpha;
                break;
            case notch:
                nb0 = 1.0;
                nb1 = -2.0 * cs;
                nb2 = 1.0;
                na0 = 1.0 + alpha;
                na1 = -2.0 * cs;
                na2 = 1.0 - alpha;
                break;
            case peaking:
                nb0 = 1.0 + alpha * A;
                nb1 = -2.0 * cs;
                nb2 = 1.0 - alpha * A;
                na0 = 1.0 + alpha / A;
                na1 = -2.0 * cs;
                na2 = 1.0 - alpha / A;
                break;
            case low_shelf:
                nb0 = A * (((A + 1.0) - (A - 1.0) * cs) + K);
                nb1 = (2.0 * A) * ((A - 1.0) - (A + 1.0) * cs);
                nb2 = A * (((A + 1.0) - (A - 1.0) * cs) - K);
                na0 = ((A + 1.0) + (A - 1.0) * cs) + K;
                na1 = -2.0 * ((A - 1.0) + (A + 1.0) * cs);
                na2 = ((A + 1.0) + (A - 1.0) * cs) - K;
                break;
            case high_shelf:
                nb0 = A * (((A + 1.0) + (A - 1.0) * cs) + K);
                nb1 = (-2.0 * A) * ((A - 1.0) + (A + 1.0) * cs);
                nb2 = A * (((A + 1.0) + (A - 1.0) * cs) - K);
                na0 = ((A + 1.0) - (A - 1.0) * cs) + K;
                na1 = 2.0 * ((A - 1.0) - (A + 1.0) * cs);
                na2 = ((A + 1.0) - (A - 1.0) * cs) - K;
                break;
        }
        const double inverse = 1.0 / na0;
        b0 = static_cast<float>(nb0 * inverse);
        b1 = static_cast<float>(nb1 * inverse);
        b2 = static_cast<float>(nb2 * inverse);
        a1 = static_cast<float>(na1 * inverse);
        a2 = static_cast<float>(na2 * inverse);
        designed_type = filter_type;
        designed_rate = sample_rate;
        designed_frequency_hz = frequency_hz;
        designed_q = q;
        designed_gain_db = gain_db;
        designed = true;
    }

    // The section on the lanes of a frame (see frame_walk.hpp), in groups of
    // G samples: the chain from one sample's y to the next is a multiply, a
    // subtract and two adds, and the loop keeps everything else beside it.
    // The flush of both states is one predicted branch, taken only when a
    // state is tiny.
    template <int Channels, uint32_t G>
    static void run(BiquadF32Kernel* k, const int16_t* in, int16_t* out, size_t frames) {
        using namespace frame_walk;
        const F c0 = splat(k->b0), c1 = splat(k->b1), c2 = splat(k->b2), d1 = splat(k->a1), d2 = splat(k->a2);
        const float wet = k->mix, dry = 1.0f - k->mix;
        F z1 = channels_in<Channels>(k->s1), z2 = channels_in<Channels>(k->s2);
        walk<Channels, G>(
            in, out, frames,
            [&](F x) {
                const F y = c0 * x + z1;
                F n1 = (c1 * x - d1 * y) + z2;
                F n2 = c2 * x - d2 * y;
                if (__builtin_expect(any_tiny(n1, n2), 0)) {
                    asm volatile("");
                    n1 = cleared(tiny(n1), n1);
                    n2 = cleared(tiny(n2), n2);
                }
                z1 = n1;
                z2 = n2;
                return y;
            },
            [&](auto x, auto y) { return x * dry + y * wet; });
        channels_out<Channels>(z1, k->s1);
        channels_out<Channels>(z2, k->s2);
    }

    // Groups of 8 samples where the processor has 256-bit vectors.
    void process(const int16_t* in, int16_t* out, size_t frames) {
        if (channel_count == 2) return run_kernel_widened<run<2, 4>, run<2, 8>>(this, in, out, frames);
        run_kernel_widened<run<1, 4>, run<1, 8>>(this, in, out, frames);
    }
};

}  // namespace divavova
