// The oversampled waveshaper as one software-pipelined loop over the frames.
//
// Every all-pass section is a recurrence (y depends on the previous y through
// a subtraction, a product and a sum), so a section that sees m values per
// frame costs m chained latencies per frame however wide the machine is.  What
// can overlap is the work of different sections.  Here one loop iteration t
// does every stage once:
//   - interpolator stage k for frame t (it takes stage k-1's values of the
//     same iteration, or the scaled input for stage 0),
//   - the shaping of frame t's top-rate values,
//   - decimator stage k for frame t - kLag * (s - k), from what decimator
//     stage k+1 (or the shaping, for the top stage) produced kLag iterations
//     earlier.
// The decimator stages of an iteration depend only on earlier iterations, so
// their chains run beside the interpolator's.
//
// Interpolator stage k and decimator stage k both take 2^k steps of the
// two-section cascade per frame, so they share one vector: the interpolator
// in the lower half of the lanes, the decimator in the upper half, each half
// holding {branch A of every channel, branch B of every channel}.  Every lane
// does exactly the scalar operations of its filter, in order, so the bits are
// those of running each frame through all stages one after the other.
//
// A call starts with an empty pipeline: in the first kLag * s iterations the
// decimator stages that have no frame yet keep their state (masked), and as
// many iterations after the last frame drain them with the interpolator
// masked.  Every filter block therefore sees exactly the call's frames, in
// order, and the state between calls is the plain filter state.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "engines/waveshaper_kernel.hpp"
#include "module/cpu.hpp"

// Everything below is inlined into the two entry points of each variant, so
// the calling convention for 32-byte vectors never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace divavova {

namespace {

template <int N, class F>
inline __attribute__((always_inline)) void unrolled(F&& f) {
    [&]<int... I>(std::integer_sequence<int, I...>) __attribute__((always_inline)) {
        (f(std::integral_constant<int, I>{}), ...);
    }(std::make_integer_sequence<int, N>{});
}

// Two SSE registers as one 8-lane value: without AVX a 32-byte vector type
// lives in memory, which would put a store and a load into every recurrence.
struct HalfPair {
    typedef waveshaper_plain::VectorsOf<4>::F Half;
    Half lo, hi;
    float& operator[](int i) { return i < 4 ? lo[i] : hi[i - 4]; }
    float operator[](int i) const { return i < 4 ? lo[i] : hi[i - 4]; }
    friend HalfPair operator+(const HalfPair& a, const HalfPair& b) { return {a.lo + b.lo, a.hi + b.hi}; }
    friend HalfPair operator-(const HalfPair& a, const HalfPair& b) { return {a.lo - b.lo, a.hi - b.hi}; }
    friend HalfPair operator*(const HalfPair& a, const HalfPair& b) { return {a.lo * b.lo, a.hi * b.hi}; }
    friend HalfPair operator*(const HalfPair& a, float b) { return {a.lo * b, a.hi * b}; }
};

struct HalfPairMask {
    typedef waveshaper_plain::VectorsOf<4>::I Half;
    Half lo, hi;
};

// Lane numbers of a shuffle of one or two vectors (the second's from N on).
template <int N>
struct Pattern {
    int lane[N];
};

// Lanes of one vector for C channels: H = 2C per half, N = 2H in all.  Lane
// half * H + branch * C + channel.  Native: one vector type of N lanes (SSE
// for mono, AVX for stereo); else stereo in a HalfPair.
template <int C, bool Native>
struct Layout {
    static constexpr int H = 2 * C;
    static constexpr int N = 2 * H;
    static constexpr bool kPair = C == 2 && !Native;
    typedef typename waveshaper_plain::VectorsOf<N>::F Vector;
    typedef typename waveshaper_plain::VectorsOf<N>::I VectorMask;
    typedef std::conditional_t<kPair, HalfPair, Vector> V;
    typedef std::conditional_t<kPair, HalfPairMask, VectorMask> M;

    template <class Lane>
    static constexpr Pattern<N> pattern_of(Lane lane) {
        Pattern<N> p{};
        for (int i = 0; i < N; ++i) p.lane[i] = lane(i);
        return p;
    }
    // Branch A's value of every channel in both branches' lanes, per half.
    static constexpr Pattern<N> kEven = pattern_of([](int i) { return (i / H) * H + i % C; });
    // Branch B's value likewise.
    static constexpr Pattern<N> kOdd = pattern_of([](int i) { return (i / H) * H + C + i % C; });
    // Lower half of a, lower half of b in the upper half.
    static constexpr Pattern<N> kLowLow = pattern_of([](int i) { return i < H ? i : N + i - H; });
    // Lower half of a, upper half of b.
    static constexpr Pattern<N> kLowHigh = pattern_of([](int i) { return i < H ? i : N + i; });
    // Per half: the branch-A lanes of a, then those of b.
    static constexpr Pattern<N> kPairs = pattern_of([](int i) { return i % H < C ? i : N + i - C; });

    template <class Mask>
    static constexpr Mask mask(const Pattern<N>& p, int from = 0) {
        return [&]<int... I>(std::integer_sequence<int, I...>) { return Mask{p.lane[from + I]...}; }(
            std::make_integer_sequence<int, (kPair ? 4 : N)>{});
    }

    // The patterns above keep to halves (each half of the result takes one
    // half of a and one half of b, the same lanes in both), so a HalfPair
    // shuffles half by half.
    static inline __attribute__((always_inline)) HalfPair::Half half_of(const HalfPair& a, const HalfPair& b,
                                                                        const Pattern<N>& p, int at) {
        const HalfPair::Half parts[4] = {a.lo, a.hi, b.lo, b.hi};
        const HalfPairMask::Half m = {p.lane[at] % 4, p.lane[at + 1] % 4, 4 + p.lane[at + 2] % 4,
                                      4 + p.lane[at + 3] % 4};
        return __builtin_shuffle(parts[p.lane[at] / 4], parts[p.lane[at + 2] / 4], m);
    }
    template <const Pattern<N>& P>
    static V shuffle(const V& a) {
        if constexpr (kPair) {
            return HalfPair{half_of(a, a, P, 0), half_of(a, a, P, 4)};
        } else {
            constexpr M m = mask<M>(P);
            return __builtin_shuffle(a, m);
        }
    }
    template <const Pattern<N>& P>
    static V shuffle(const V& a, const V& b) {
        if constexpr (kPair) {
            return HalfPair{half_of(a, b, P, 0), half_of(a, b, P, 4)};
        } else {
            constexpr M m = mask<M>(P);
            return __builtin_shuffle(a, b, m);
        }
    }

    static V splat(float v) {
        if constexpr (kPair)
            return {HalfPair::Half{} + v, HalfPair::Half{} + v};
        else
            return V{} + v;
    }
    // Per lane: a where the lane's half is on, else b.
    static V select(bool lower_on, bool upper_on, const V& a, const V& b) {
        if constexpr (kPair) {
            return {lower_on ? a.lo : b.lo, upper_on ? a.hi : b.hi};
        } else {
            const M lower = mask<M>(pattern_of([](int i) { return i < H ? -1 : 0; }));
            const M on = lower ? (lower_on ? M{} - 1 : M{}) : (upper_on ? M{} - 1 : M{});
            return on ? a : b;
        }
    }
    template <class Vec>
    static Vec clipped(const Vec& v) {
        const Vec lo = Vec{} - 1.0f, hi = Vec{} + 1.0f;
        return v < lo ? lo : (hi < v ? hi : v);
    }
    static void clip(V& v) {
        if constexpr (kPair) {
            v.lo = clipped(v.lo);
            v.hi = clipped(v.hi);
        } else {
            v = clipped(v);
        }
    }
    template <bool Gather>
    static void clip_and_curve(const waveshaper_plain::Settings& settings, V& v) {
        if constexpr (kPair) {
            waveshaper_plain::LanesOf<4>::clip_and_curve(settings, v.lo);
            waveshaper_plain::LanesOf<4>::clip_and_curve(settings, v.hi);
        } else {
            waveshaper_plain::LanesOf<N>::template clip_and_curve<Gather>(settings, v);
        }
    }
    static V from(const float (&lanes)[N]) {
        V v{};
        for (int i = 0; i < N; ++i) v[i] = lanes[i];
        return v;
    }
};

// What the shaping does with the top-rate values.
enum ShapeMode { kClip, kCurve, kOneByOne };

}  // namespace

struct WaveshaperPipeline {
    template <int C, int S, int Mode, bool Avx2>
    struct Run {
        using L = Layout<C, Avx2>;
        using V = typename L::V;
        using M = typename L::M;
        static constexpr int H = L::H, N = L::N;
        // Shaped vectors: two steps of the top stage each (one for s = 1).
        static constexpr int Q = S >= 2 ? 1 << (S - 2) : 1;
        static constexpr int kTopSteps = 1 << (S - 1);
        // Iterations between a stage's values and the decimator stage that
        // takes them.  The decimator half shares its vector operations with
        // the interpolator half, so a short lag would chain the two halves
        // (shaping, or a whole stage, inside one loop-carried path); with
        // this many iterations in between that path is never the slow one.
        static constexpr size_t kLag = 8;
        // Frames in flight: output frame f comes out of iteration f + kDepth.
        static constexpr size_t kDepth = kLag * S;
        // Output frames per batch: the pipeline leaves its results here and
        // the rounding to s16 runs over the batch in vector lanes.
        static constexpr size_t kBatch = 64;

        struct Stage {
            V x0, y0, y1;  // previous input and outputs of the two sections
            V b;           // decimator half: previous branch-B output, in the A lanes
        };
        struct State {
            Stage stage[S];
        };
        // Values on their way to a decimator stage, kLag iterations' worth:
        // the shaped top-rate values (for the top stage), and each lower
        // stage's inputs from the stage above (upper half).
        struct Rings {
            V shaped[kLag][Q];
            V pairs[S > 1 ? S - 1 : 1][kLag][Q];
        };

        WaveshaperKernel& k;
        const waveshaper_plain::Settings settings;
        const V k0, k1;

        explicit Run(WaveshaperKernel& kernel)
            : k(kernel),
              settings(kernel.plain_settings()),
              k0(coefficients(WaveshaperKernel::kA0, WaveshaperKernel::kB0)),
              k1(coefficients(WaveshaperKernel::kA1, WaveshaperKernel::kB1)) {}

        static V coefficients(float a, float b) {
            float lanes[N];
            for (int i = 0; i < N; ++i) lanes[i] = i % H < C ? a : b;
            return L::from(lanes);
        }

        // The blocks hold both previous inputs of the two sections; the second
        // section's is always the first section's previous output.
        void load(State& st) const {
            for (int kk = 0; kk < S; ++kk) {
                Stage& s = st.stage[kk];
                s.x0 = s.y0 = s.y1 = s.b = V{};
                for (int half = 0; half < 2; ++half)
                    for (int c = 0; c < C; ++c) {
                        const float* block = half == 0 ? k.interpolator[c][kk] : k.decimator[c][kk];
                        for (int branch = 0; branch < 2; ++branch) {
                            const int lane = half * H + branch * C + c;
                            s.x0[lane] = block[4 * branch];
                            s.y0[lane] = block[4 * branch + 1];
                            s.y1[lane] = block[4 * branch + 3];
                        }
                        if (half == 1) s.b[H + c] = block[8];
                    }
            }
        }

        void store(const State& st) const {
            for (int kk = 0; kk < S; ++kk) {
                const Stage& s = st.stage[kk];
                for (int half = 0; half < 2; ++half)
                    for (int c = 0; c < C; ++c) {
                        float* block = half == 0 ? k.interpolator[c][kk] : k.decimator[c][kk];
                        for (int branch = 0; branch < 2; ++branch) {
                            const int lane = half * H + branch * C + c;
                            block[4 * branch] = s.x0[lane];
                            block[4 * branch + 1] = s.y0[lane];
                            block[4 * branch + 2] = s.y0[lane];
                            block[4 * branch + 3] = s.y1[lane];
                        }
                        if (half == 1) block[8] = s.b[H + c];
                    }
            }
        }

        // One iteration: `input` holds the frame's scaled samples in the
        // interpolator half ({v_c} for both branches); the decimated value of
        // every channel comes back in the branch-A lanes of the upper half.
        // `slot` is the iteration number modulo kLag.  Masked: `in_on` says
        // whether there is an input frame, `down_on` (per stage) whether the
        // decimator stage has a frame; the others keep their state.
        template <bool Masked>
        inline __attribute__((always_inline)) V iteration(State& st, Rings& rings, size_t slot, const V& input,
                                                          bool in_on, const bool* down_on) const {
            V previous[kTopSteps];
            V result{};
            unrolled<S>([&](auto kk) __attribute__((always_inline)) {
                constexpr int steps = 1 << kk;
                Stage& s = st.stage[kk];
                const bool up_on = in_on, down = Masked && down_on[kk];
                V rising[steps], falling[steps];
                unrolled<steps>([&](auto j) __attribute__((always_inline)) {
                    V up;
                    if constexpr (kk == 0)
                        up = input;
                    else
                        up = j % 2 == 0 ? L::template shuffle<L::kEven>(previous[j / 2])
                                        : L::template shuffle<L::kOdd>(previous[j / 2]);
                    V x;
                    if constexpr (kk == S - 1)
                        x = j % 2 == 0 ? L::template shuffle<L::kLowLow>(up, rings.shaped[slot][j / 2])
                                       : L::template shuffle<L::kLowHigh>(up, rings.shaped[slot][j / 2]);
                    else
                        x = L::template shuffle<L::kLowHigh>(up, rings.pairs[kk][slot][j]);
                    const V t0 = k0 * (x - s.y0) + s.x0;
                    const V t1 = k1 * (t0 - s.y1) + s.y0;
                    const V half = (t1 + s.b) * 0.5f;
                    const V b = L::template shuffle<L::kOdd>(t1);
                    if (Masked) {
                        s.x0 = L::select(up_on, down, x, s.x0);
                        s.y0 = L::select(up_on, down, t0, s.y0);
                        s.y1 = L::select(up_on, down, t1, s.y1);
                        s.b = L::select(up_on, down, b, s.b);
                    } else {
                        s.x0 = x;
                        s.y0 = t0;
                        s.y1 = t1;
                        s.b = b;
                    }
                    rising[j] = t1;
                    falling[j] = half;
                });
                if constexpr (kk == 0) {
                    result = falling[0];
                } else {
                    // Consumed earlier in this iteration: refill the slot.
                    unrolled<steps / 2>([&](auto j) __attribute__((always_inline)) {
                        rings.pairs[kk - 1][slot][j] = L::template shuffle<L::kPairs>(falling[2 * j], falling[2 * j + 1]);
                    });
                }
                unrolled<steps>([&](auto j) __attribute__((always_inline)) { previous[j] = rising[j]; });
            });
            if (!Masked || in_on) {
                unrolled<Q>([&](auto m) __attribute__((always_inline)) {
                    V v;
                    if constexpr (S == 1)
                        v = previous[0];
                    else
                        v = L::template shuffle<L::kLowLow>(previous[2 * m], previous[2 * m + 1]);
                    if constexpr (Mode == kOneByOne) {
                        // In order: per step the A values, then the B values.
                        for (int part = 0; part < (S == 1 ? 1 : 2); ++part)
                            for (int branch = 0; branch < 2; ++branch)
                                for (int c = 0; c < C; ++c) {
                                    const int lane = part * H + branch * C + c;
                                    v[lane] = k.shape(v[lane], k.hysteresis[c]);
                                }
                    } else if constexpr (Mode == kCurve) {
                        L::template clip_and_curve<Avx2>(settings, v);
                    } else {
                        L::clip(v);
                    }
                    rings.shaped[slot][m] = v;
                });
            }
            return result;
        }

        float scaled(int16_t x) const { return (static_cast<float>(x) * k.drive) * 3.0517578125e-05f + k.bias; }

        // Iteration t with the pipeline partly empty (t < kDepth or t >= frames);
        // its output frame (if any) goes to result.
        void edge(State& st, Rings& rings, size_t t, const int16_t* in, size_t frames, float* result) const {
            const bool in_on = t < frames;
            V input{};
            if (in_on) {
                float v[C];
                for (int c = 0; c < C; ++c) v[c] = scaled(in[C * t + c]);
                input = frame_input(v);
            }
            bool down_on[S];
            for (int kk = 0; kk < S; ++kk) {
                const size_t lag = kLag * (S - kk);
                down_on[kk] = t >= lag && t - lag < frames;
            }
            const V r = iteration<true>(st, rings, t % kLag, input, in_on, down_on);
            if (result)
                for (int c = 0; c < C; ++c) result[c] = r[H + c];
        }

        // The scaled samples of one frame, {v_c} in both branch groups of
        // both halves (the upper half is not used).
        static V frame_input(const float* v) {
            // Built in registers, lane by lane it would go through memory.
            if constexpr (L::kPair)
                return {HalfPair::Half{v[0], v[1], v[0], v[1]}, HalfPair::Half{v[0], v[1], v[0], v[1]}};
            else if constexpr (C == 2)
                return V{v[0], v[1], v[0], v[1], v[0], v[1], v[0], v[1]};
            else
                return V{v[0], v[0], v[0], v[0]};
        }

        // Iterations t0 .. t0 + count - 1, all with an input frame and every
        // stage busy; inputs[i] is iteration t0 + i's frame_input.
        inline __attribute__((always_inline)) void steady(State& memory, Rings& rings, size_t t0, const V* inputs,
                                                          float* result, size_t count) const {
            State st = memory;
            for (size_t i = 0; i < count; ++i) {
                const V r = iteration<false>(st, rings, (t0 + i) % kLag, inputs[i], true, nullptr);
                for (int c = 0; c < C; ++c) result[C * i + c] = r[H + c];
            }
            memory = st;
        }

        void process(const int16_t* in, int16_t* out, size_t frames) {
            using Out = waveshaper_plain::LanesOf<8>;
            State st;
            load(st);
            Rings rings{};
            for (size_t t = 0; t < kDepth; ++t) edge(st, rings, t, in, frames, nullptr);
            float scaled_in[C * kBatch];
            // Whole vectors, so that each is read back as it was stored.
            V inputs[kBatch];
            float result[C * kBatch];
            const size_t steady_end = frames > kDepth ? frames - kDepth : 0;
            for (size_t f0 = 0; f0 < frames; f0 += kBatch) {
                const size_t f1 = frames - f0 < kBatch ? frames : f0 + kBatch;
                const size_t f_steady = f1 < steady_end ? f1 : (f0 < steady_end ? steady_end : f0);
                if (f_steady > f0) {
                    const int16_t* src = in + C * (f0 + kDepth);
                    const size_t values = C * (f_steady - f0);
                    const size_t whole = values - values % Out::W;
                    Out::scale(settings, src, scaled_in, whole);
                    for (size_t i = whole; i < values; ++i) scaled_in[i] = scaled(src[i]);
                    for (size_t i = 0; i < f_steady - f0; ++i) inputs[i] = frame_input(scaled_in + C * i);
                    steady(st, rings, f0 + kDepth, inputs, result, f_steady - f0);
                }
                for (size_t f = f_steady; f < f1; ++f) edge(st, rings, f + kDepth, in, frames, result + C * (f - f0));
                const size_t values = C * (f1 - f0);
                const size_t whole = values - values % Out::W;
                Out::finish(settings, result, in + C * f0, out + C * f0, whole);
                for (size_t i = whole; i < values; ++i) out[C * f0 + i] = s16(k.output(result[i], in[C * f0 + i]));
            }
            store(st);
        }
    };
};

namespace {

typedef void (*PipelineFunction)(WaveshaperKernel&, const int16_t*, int16_t*, size_t);

template <int C, int S, int Mode>
__attribute__((flatten)) void pipeline_baseline(WaveshaperKernel& k, const int16_t* in, int16_t* out, size_t frames) {
    WaveshaperPipeline::Run<C, S, Mode, false>(k).process(in, out, frames);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int C, int S, int Mode>
__attribute__((target("avx2"), flatten)) void pipeline_avx2(WaveshaperKernel& k, const int16_t* in, int16_t* out,
                                                           size_t frames) {
    WaveshaperPipeline::Run<C, S, Mode, true>(k).process(in, out, frames);
}
#endif

// [channels - 1][stages - 1][mode]
struct PipelineTable {
    PipelineFunction f[2][4][3];
};

template <bool Avx2>
constexpr PipelineTable make_table() {
    PipelineTable table{};
    unrolled<2>([&](auto c) {
        unrolled<4>([&](auto s) {
            unrolled<3>([&](auto mode) {
#if defined(__x86_64__) && defined(__GNUC__)
                if constexpr (Avx2)
                    table.f[c][s][mode] = pipeline_avx2<c + 1, s + 1, mode>;
                else
#endif
                    table.f[c][s][mode] = pipeline_baseline<c + 1, s + 1, mode>;
            });
        });
    });
    return table;
}

const PipelineTable& chosen_table() {
    static const PipelineTable baseline = make_table<false>();
#if defined(__x86_64__) && defined(__GNUC__)
    static const PipelineTable avx2 = make_table<true>();
    static const bool has_avx2 = DIVAVOVA_CPU_SUPPORTS("avx2");
    if (has_avx2) return avx2;
#endif
    return baseline;
}

}  // namespace

void WaveshaperKernel::run_oversampled(const int16_t* in, int16_t* out, size_t frames) {
    if (frames == 0) return;
    const bool backlash_on = hysteresis_amount > 0.0f;
    const bool curve_on = has_curve();
    int mode = kClip;
    if (backlash_on || (curve_on && curve_points > waveshaper_plain::kMaxPoints))
        mode = kOneByOne;
    else if (curve_on)
        mode = kCurve;
    chosen_table().f[channel_count - 1][stages - 1][mode](*this, in, out, frames);
}

}  // namespace divavova
