// Radix-2 burst engine (also the lite architecture): one radix-2 decimation-in-time
// butterfly applied to nfft stages of a bit-reversed frame held in place.
#include <algorithm>
#include <cmath>

#include "engine_r2.h"
#include "fp_stage.h"

using kfft_raw::CRaw;
using kfft_raw::i128;
using kfft_raw::outside_unit;
using kfft_raw::quant;
using kfft_raw::shl;
using kfft_raw::wrap;

// ---------------------------------------------------------------------------------------
// R2_DIT_PE
//
// Register formats (W data width, TW twiddle width; (w, f) = w bits, f fraction bits):
//   operands x, outputs Z   (W, W - 1)             Z: TRUNCATE or CONVERGENT_NOSAT
//   product P, constant K   (W + TW + 2, W + TW - 2)
//   twiddled operand T      (W + 4, W + 2)
//   outputs Y               (W + 5, W + 2)
//   scaled outputs S        (W + 8, W + 5)
// All wrap on overflow.

R2_DIT_PE::R2_DIT_PE(const FFT_CONFIG& cfg)
    : FFT(cfg)
    , W_(data_width_)
    , pw_(data_width_ + twiddle_width_ + 2)
    , dT_(twiddle_width_ - 4)
    , K_((int64_t(1) << (twiddle_width_ - 5)) - 1)
    , wide_(pw_ > 62)
{
}

R2_DIT_PE::~R2_DIT_PE() = default;

template <typename Acc, bool Round>
[[gnu::always_inline]] inline void R2_DIT_PE::butterfly_t(
    const CRaw x[2], const CRaw& w, int shift, CRaw z[2])
{
    const int W = W_;

    // T = x1 * W + K, truncated to W + 2 fraction bits: to nearest, ties down. The product
    // register holds any product of its operand formats exactly, and |T| <= |x1| |W|
    // < sqrt(2) < 2: the narrowing to T (2 integer bits) does not wrap either.
    const Acc a = x[1].re, b = x[1].im;
    const Acc g = w.re, h = w.im;
    const int64_t tr = wrap(static_cast<int64_t>((a * g - b * h + K_) >> dT_), W + 4);
    const int64_t ti = wrap(static_cast<int64_t>((a * h + b * g + K_) >> dT_), W + 4);

    // Y = x0 +- T at W + 2 fraction bits: below 3 in magnitude, so neither Y (3 integer
    // bits) nor S = Y / 2^shift at W + 5 fraction bits wraps.
    const int64_t x0r = shl(x[0].re, 3);
    const int64_t x0i = shl(x[0].im, 3);
    const int64_t v[4] = { x0r + tr, x0i + ti, x0r - tr, x0i - ti };
    int64_t o[4];
    // S outside [-1, 1) is Y outside it at W + 2 + shift fraction bits; the data word drops
    // 3 + shift bits of Y.
    pe_overflow_ |= kfft_raw::quant_unit_range<Round>(v, W + 2 + shift, 3 + shift, W, o);
    z[0] = CRaw { o[0], o[1] };
    z[1] = CRaw { o[2], o[3] };
}

// ---------------------------------------------------------------------------------------
// R2_loop

R2_loop::R2_loop(const FFT_CONFIG& cfg)
    : FrameEngine(cfg)
    // Scratch written before it is read: left uninitialised.
    , twiddles_(new CRaw[(size_t(1) << cfg.C_NFFT_MAX) / 2])
    , alt_re_(new double[size_t(1) << cfg.C_NFFT_MAX])
    , alt_im_(new double[size_t(1) << cfg.C_NFFT_MAX])
{
    // Unscaled words leave room for the full growth of the largest transform.
    set_memory(data_width_, data_width_ - 1, scaling_ ? 0 : data_width_ - input_width_,
        Order::BitReversed, Order::Natural, true);
    plan_ = make_plan();
}

R2_loop::~R2_loop() = default;

bool R2_loop::set_frame(const FFT_CONFIG& cfg) { return start_frame(cfg, 3); }

namespace {

using kfft_fp::load;
using kfft_fp::store;
using kfft_simd::V4;
#if defined(KFFT_X86_DISPATCH)
using kfft_simd::V8;
#endif

struct R2Stage {
    const double* sr;
    const double* si;
    double* dr;
    double* di;
    const double* tw; // L twiddles: real parts, then imaginary parts
    int32_t n; // frame points
    int32_t L; // sub-transform length 2^t
    double c_prod; // 2^-(TW - 4)
    kfft_fp::OutputFormat out;
    kfft_fp::WideTwiddle wide {}; // products beyond exact doubles (Parts 2 and 3)
};

struct R2Result {
    bool overflow;
    int32_t cls;
};

// Stages with L < N (N lanes): a chunk of 2N words holds N / L groups of 2L words, x0 the
// first L of each group, x1 the last L. Word of the chunk in lane j of x0 (x1 when second),
// and lane of z0 (0..N-1) or z1 (N..2N-1) written to word w.
constexpr int pick(int L, int j, bool second) { return j / L * 2 * L + (second ? L : 0) + j % L; }
constexpr int place(int L, int N, int w) { return (w / L % 2 ? N : 0) + w / (2 * L) * L + w % L; }

template <int L>
[[gnu::always_inline]] inline void split_lanes(const V4& a, const V4& b, V4& x0, V4& x1)
{
    x0 = __builtin_shufflevector(
        a, b, pick(L, 0, false), pick(L, 1, false), pick(L, 2, false), pick(L, 3, false));
    x1 = __builtin_shufflevector(
        a, b, pick(L, 0, true), pick(L, 1, true), pick(L, 2, true), pick(L, 3, true));
}

template <int L>
[[gnu::always_inline]] inline void merge_lanes(const V4& z0, const V4& z1, V4& a, V4& b)
{
    a = __builtin_shufflevector(
        z0, z1, place(L, 4, 0), place(L, 4, 1), place(L, 4, 2), place(L, 4, 3));
    b = __builtin_shufflevector(
        z0, z1, place(L, 4, 4), place(L, 4, 5), place(L, 4, 6), place(L, 4, 7));
}

#if defined(KFFT_X86_DISPATCH)
template <int L>
[[gnu::always_inline]] inline void split_lanes(const V8& a, const V8& b, V8& x0, V8& x1)
{
    x0 = __builtin_shufflevector(a, b, pick(L, 0, false), pick(L, 1, false), pick(L, 2, false),
        pick(L, 3, false), pick(L, 4, false), pick(L, 5, false), pick(L, 6, false),
        pick(L, 7, false));
    x1 = __builtin_shufflevector(a, b, pick(L, 0, true), pick(L, 1, true), pick(L, 2, true),
        pick(L, 3, true), pick(L, 4, true), pick(L, 5, true), pick(L, 6, true), pick(L, 7, true));
}

template <int L>
[[gnu::always_inline]] inline void merge_lanes(const V8& z0, const V8& z1, V8& a, V8& b)
{
    a = __builtin_shufflevector(z0, z1, place(L, 8, 0), place(L, 8, 1), place(L, 8, 2),
        place(L, 8, 3), place(L, 8, 4), place(L, 8, 5), place(L, 8, 6), place(L, 8, 7));
    b = __builtin_shufflevector(z0, z1, place(L, 8, 8), place(L, 8, 9), place(L, 8, 10),
        place(L, 8, 11), place(L, 8, 12), place(L, 8, 13), place(L, 8, 14), place(L, 8, 15));
}
#endif

// A stage with L < N, 2N words at a time (n a multiple of 2N). L = 1: every twiddle is 1, so
// T = 8 x1 exactly; otherwise lane j of x1 takes the twiddle of index j mod L.
template <int L, int Parts, bool Round, class V, class Quant>
[[gnu::always_inline]] inline void short_stage(const R2Stage& a, Quant& quant)
{
    constexpr int N = sizeof(V) / sizeof(double);
    V g {}, h {};
    for (int j = 0; j < N; ++j) {
        g[j] = a.tw[j % L];
        h[j] = a.tw[L + j % L];
    }
    for (int32_t p = 0; p < a.n; p += 2 * N) {
        V ar, br, ai, bi, x0r, x1r, x0i, x1i, tr, ti;
        load(ar, a.sr + p);
        load(br, a.sr + p + N);
        load(ai, a.si + p);
        load(bi, a.si + p + N);
        split_lanes<L>(ar, br, x0r, x1r);
        split_lanes<L>(ai, bi, x0i, x1i);
        if (L == 1) {
            tr = x1r * 8.0;
            ti = x1i * 8.0;
        } else {
            kfft_fp::twiddle_any<Parts>(x1r, x1i, g, h, a.c_prod, a.wide, tr, ti);
        }
        // Both outputs hold x0 once: it carries the quantisation's shift.
        const V x8r = Round ? x0r * 8.0 : x0r * 8.0 + quant.shift;
        const V x8i = Round ? x0i * 8.0 : x0i * 8.0 + quant.shift;
        V z0r, z0i, z1r, z1i;
        quant(x8r + tr, z0r, 0);
        quant(x8i + ti, z0i, 1);
        quant(x8r - tr, z1r, 2);
        quant(x8i - ti, z1i, 3);
        merge_lanes<L>(z0r, z1r, ar, br);
        merge_lanes<L>(z0i, z1i, ai, bi);
        store(a.dr + p, ar);
        store(a.dr + p + N, br);
        store(a.di + p, ai);
        store(a.di + p + N, bi);
    }
}

// One stage, N = 4 or 8 butterflies at a time (V: N lanes; n >= 2N): L >= N takes N
// consecutive butterflies of a group, shorter sub-transforms gather groups into lanes.
template <bool Round, bool Bfp, int Parts, class V>
[[gnu::always_inline]] inline R2Result fp_stage_body(const R2Stage& stage)
{
    // A local copy: stores through the memory pointers could otherwise change the fields.
    const R2Stage a = stage;
    constexpr int N = sizeof(V) / sizeof(double);
    kfft_fp::OutputQuant<Round, Bfp, V> quant(a.out);
    const int32_t n = a.n, L = a.L;
    if (L == 1) {
        short_stage<1, Parts, Round, V>(a, quant);
    } else if (L == 2) {
        short_stage<2, Parts, Round, V>(a, quant);
    } else if (N == 8 && L == 4) {
        short_stage<N == 8 ? 4 : 1, Parts, Round, V>(a, quant);
    } else {
        const double* gs = a.tw;
        const double* hs = a.tw + L;
        for (int32_t base = 0; base < n; base += 2 * L) {
            for (int32_t k = 0; k < L; k += N) {
                const int32_t p = base + k;
                V x0r, x0i, x1r, x1i, g, h, tr, ti, z0r, z0i, z1r, z1i;
                load(x0r, a.sr + p);
                load(x0i, a.si + p);
                load(x1r, a.sr + p + L);
                load(x1i, a.si + p + L);
                load(g, gs + k);
                load(h, hs + k);
                kfft_fp::twiddle_any<Parts>(x1r, x1i, g, h, a.c_prod, a.wide, tr, ti);
                const V x8r = Round ? x0r * 8.0 : x0r * 8.0 + quant.shift;
                const V x8i = Round ? x0i * 8.0 : x0i * 8.0 + quant.shift;
                quant(x8r + tr, z0r, 0);
                quant(x8i + ti, z0i, 1);
                quant(x8r - tr, z1r, 2);
                quant(x8i - ti, z1i, 3);
                store(a.dr + p, z0r);
                store(a.di + p, z0i);
                store(a.dr + p + L, z1r);
                store(a.di + p + L, z1i);
            }
        }
    }
    return R2Result { quant.overflow(), quant.bfp_class() };
}

// The stage loops for kfft_fp::stage_function().
struct R2Loops {
    using Fn = R2Result (*)(const R2Stage&);
    template <bool Round, bool Bfp, int Parts>
    [[gnu::noinline]] static R2Result portable(const R2Stage& a)
    {
        return fp_stage_body<Round, Bfp, Parts, V4>(a);
    }
#if defined(KFFT_X86_DISPATCH)
    template <bool Round, bool Bfp, int Parts>
    [[gnu::target("avx2"), gnu::noinline]] static R2Result avx2(const R2Stage& a)
    {
        return fp_stage_body<Round, Bfp, Parts, V4>(a);
    }
    // Frames of 8 points (one chunk of 8 lanes would need 16) take 4 lanes.
    template <bool Round, bool Bfp, int Parts>
    [[KFFT_AVX512, gnu::noinline, gnu::flatten]] static R2Result avx512(const R2Stage& a)
    {
        return a.n < 16 ? fp_stage_body<Round, Bfp, Parts, V4>(a)
                        : fp_stage_body<Round, Bfp, Parts, V8>(a);
    }
#endif
};

} // namespace

bool R2_loop::run(const TWIDDLE_ROM& rom)
{
    if (!ready_to_run(rom))
        return false;
    R2_DIT_PE pe(cfg_);
    if (pe.wide_products())
        dispatch<i128>(rom, pe);
    else
        dispatch<int64_t>(rom, pe);
    return true;
}

// The rounding mode and the block floating point bookkeeping (only block floating point
// uses the classes) are fixed per instantiation.
template <typename Acc> void R2_loop::dispatch(const TWIDDLE_ROM& rom, R2_DIT_PE& pe)
{
    const bool track = scaling_ == 1 && bfp_ == 1;
    if (rounding_)
        track ? run_stages<Acc, true, true>(rom, pe) : run_stages<Acc, true, false>(rom, pe);
    else
        track ? run_stages<Acc, false, true>(rom, pe) : run_stages<Acc, false, false>(rom, pe);
}

// Twiddles of the double stages of the current frame length in one direction, built once
// and kept: stage t (L = 2^t) starts at 2 (L - 1), real parts then imaginary parts.
const double* R2_loop::fp_twiddles(const TWIDDLE_ROM& rom, bool forward)
{
    std::vector<double>& table = fp_twiddles_[forward ? 1 : 0];
    int32_t& built = fp_twiddles_nfft_[forward ? 1 : 0];
    if (built == nfft_)
        return table.data();
    const uint64_t F = uint64_t(1) << (nfft_max_ - nfft_);
    const uint64_t full = uint64_t(1) << nfft_max_;
    table.assign(2 * static_cast<size_t>(npoints_), 0.0);
    for (int t = 0; t < nfft_; ++t) {
        const int32_t L = int32_t(1) << t;
        double* g = table.data() + 2 * (L - 1);
        for (int32_t k = 0; k < L; ++k) {
            const uint64_t i = F * (uint64_t(k) << (nfft_ - 1 - t));
            const CRaw w = rom.lookup_raw(forward ? (full - i) & (full - 1) : i);
            g[k] = static_cast<double>(w.re);
            g[L + k] = static_cast<double>(w.im);
        }
    }
    built = nfft_;
    return table.data();
}

// One stage on the integer registers from the source words to the destination words (which
// may be the same); returns the largest class key of the written words (block floating
// point only, else 0).
template <typename Acc, bool Round, bool Bfp>
int64_t R2_loop::int_stage(R2_DIT_PE& pe, const double* sr, const double* si, double* dr,
    double* di, int t, int s, const TWIDDLE_ROM& rom)
{
    const int32_t N = npoints_;
    const uint64_t F = uint64_t(1) << (nfft_max_ - nfft_);
    const uint64_t full = uint64_t(1) << nfft_max_;
    const bool forward = direction_ != 0;
    CRaw* tw = twiddles_.get();
    // Sub-transforms of length 2L combine two of length L = 2^t.
    const int32_t L = int32_t(1) << t;
    for (int32_t k = 0; k < L; ++k) {
        const uint64_t i = F * (uint64_t(k) << (nfft_ - 1 - t));
        tw[k] = rom.lookup_raw(forward ? (full - i) & (full - 1) : i);
    }
    int64_t max_key = 0;
    CRaw x[2], z[2];
    for (int32_t base = 0; base < N; base += 2 * L) {
        for (int32_t k = 0; k < L; ++k) {
            const int32_t p = base + k;
            x[0] = CRaw { static_cast<int64_t>(sr[p]), static_cast<int64_t>(si[p]) };
            x[1] = CRaw { static_cast<int64_t>(sr[p + L]), static_cast<int64_t>(si[p + L]) };
            pe.template butterfly_t<Acc, Round>(x, tw[k], s, z);
            dr[p] = static_cast<double>(z[0].re);
            di[p] = static_cast<double>(z[0].im);
            dr[p + L] = static_cast<double>(z[1].re);
            di[p + L] = static_cast<double>(z[1].im);
            if (Bfp)
                max_key = std::max({ max_key, class_key(z[0].re), class_key(z[0].im),
                    class_key(z[1].re), class_key(z[1].im) });
        }
    }
    return max_key;
}

template <typename Acc, bool Round, bool Bfp>
void R2_loop::run_stages(const TWIDDLE_ROM& rom, R2_DIT_PE& pe)
{
    const int32_t N = npoints_;
    const bool forward = direction_ != 0;
    const int W = data_width_;
    const bool fp = start_stages();
    const R2Loops::Fn fp_stage = kfft_fp::stage_function<R2Loops, Round, Bfp>(plan_);
    using kfft_fp::kR2Bounds;
    // The integer stages' classes: no class 3.
    auto int_class = [&](int64_t max_key) {
        return bfp_class(max_key, W, kR2Bounds[0], kR2Bounds[1], 1 << 30);
    };

    blk_exp_ = 0;
    overflow_ = 0;
    stage_shifts_.fill(0);
    int32_t shift_reg = std::max(1 - input_headroom_, 0);

    for (int t = 0; t < nfft_; ++t) {
        int s = 0;
        if (scaling_)
            s = bfp_ ? shift_reg : static_cast<int>((scaling_sch_ >> (2 * t)) & 3u);
        blk_exp_ += s;
        stage_shifts_[t] = s;
        int32_t cls = 0;
        if (fp) {
            const int32_t L = int32_t(1) << t;
            R2Stage a { mem_re(), mem_im(), alt_re_.get(), alt_im_.get(),
                fp_twiddles(rom, forward) + 2 * (L - 1), N, L, std::ldexp(1.0, 4 - twiddle_width_),
                kfft_fp::output_format(
                    W, s, kfft_fp::kR2Bounds[0], kfft_fp::kR2Bounds[1], kfft_fp::kR2Bounds[2]) };
            if (plan_.split)
                a.wide = kfft_fp::wide_twiddle(plan_.split, twiddle_width_ - 4);
            const R2Result r = fp_stage(a);
            // A butterfly output outside [-1, 1) wraps: the integer stage redoes the stage.
            if (!r.overflow)
                cls = r.cls;
            else
                cls = int_class(int_stage<Acc, Round, Bfp>(
                    pe, mem_re(), mem_im(), alt_re_.get(), alt_im_.get(), t, s, rom));
            swap_memory(alt_re_, alt_im_);
        } else {
            cls = int_class(
                int_stage<Acc, Round, Bfp>(pe, mem_re(), mem_im(), mem_re(), mem_im(), t, s, rom));
        }
        // Bounds 53/128 and 106/128; there is no class 3.
        shift_reg = Bfp ? cls : 0;
    }
    overflow_ = pe.pe_overflow();
}
