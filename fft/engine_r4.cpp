// Radix-4 burst engine: one radix-4 decimation-in-time butterfly applied stage by stage to
// a digit-reversed frame held in place; for odd nfft the last stage is radix-2.
#include <algorithm>
#include <cfenv>
#include <cmath>

#include "engine_r4.h"
#include "fp_stage.h"

using kfft_raw::CRaw;
using kfft_raw::i128;
using kfft_raw::outside_unit;
using kfft_raw::quant;
using kfft_raw::shl;
using kfft_raw::wrap;

// ---------------------------------------------------------------------------------------
// R4_DIT_PE
//
// Register formats (W data width, TW twiddle width; (w, f) = w bits, f fraction bits):
//   operands x, outputs Z   (W, W - 1)             Z: TRUNCATE or CONVERGENT_NOSAT
//   products P, constant K  (W + TW + 2, W + TW - 2)
//   twiddled operands T     (W + 4, W + 2)
//   first-rank sums A B U V (W + 6, W + 2)
//   outputs Y, scaled S     (W + 9, W + 5)
// All wrap on overflow.

R4_DIT_PE::R4_DIT_PE(const FFT_CONFIG& cfg)
    : FFT(cfg)
    , W_(data_width_)
    , pw_(data_width_ + twiddle_width_ + 2)
    , dT_(twiddle_width_ - 4)
    , K_((int64_t(1) << (twiddle_width_ - 5)) - 1)
    , wide_(pw_ > 62)
{
}

R4_DIT_PE::~R4_DIT_PE() = default;

template <typename Acc, bool Round>
[[gnu::always_inline]] inline void R4_DIT_PE::butterfly_t(
    const CRaw x[4], const CRaw w[3], bool radix2, int shift, CRaw z[4])
{
    const int W = W_;
    const int tw = W + 4;

    // T_q = x_q * W_q + K, truncated to W + 2 fraction bits: to nearest, ties down. The
    // product register holds any product of its operand formats exactly, and |T| <= |x| |W|
    // < sqrt(2) < 2: the narrowing to T (2 integer bits) does not wrap either.
    CRaw T[3];
    for (int q = 0; q < 3; ++q) {
        const Acc a = x[q + 1].re, b = x[q + 1].im;
        const Acc g = w[q].re, h = w[q].im;
        const Acc pr = a * g - b * h + K_;
        const Acc pi = a * h + b * g + K_;
        T[q].re = wrap(static_cast<int64_t>(pr >> dT_), tw);
        T[q].im = wrap(static_cast<int64_t>(pi >> dT_), tw);
    }

    // First rank at W + 2 fraction bits, then the outputs Y0..Y3 = A + B, U + V, A - B,
    // U - V. With |x0| < 1 and |T| < 2 the sums stay below 4 and the outputs below 7: their
    // registers (4 integer bits) never wrap.
    const CRaw x0 { shl(x[0].re, 3), shl(x[0].im, 3) };
    CRaw A, B, U, V;
    if (!radix2) {
        A = { x0.re + T[1].re, x0.im + T[1].im };
        U = { x0.re - T[1].re, x0.im - T[1].im };
        B = { T[0].re + T[2].re, T[0].im + T[2].im };
        V = { T[0].im - T[2].im, T[2].re - T[0].re }; // -j (T1 - T3)
    } else {
        A = x0;
        B = T[0];
        U = T[1];
        V = T[2];
    }
    // S = Y / 2^shift at W + 5 fraction bits (exact: Y has at most W + 2), then the data
    // word. Working on Y directly: S outside [-1, 1) is Y outside it at W + 2 + shift
    // fraction bits, and the data word drops 3 + shift bits of Y.
    const int64_t v[8] = { A.re + B.re, A.im + B.im, U.re + V.re, U.im + V.im, A.re - B.re,
        A.im - B.im, U.re - V.re, U.im - V.im };
    int64_t o[8];
    pe_overflow_ |= kfft_raw::quant_unit_range<Round>(v, W + 2 + shift, 3 + shift, W, o);
    for (int q = 0; q < 4; ++q)
        z[q] = CRaw { o[2 * q], o[2 * q + 1] };
}

// ---------------------------------------------------------------------------------------
// R4_loop

R4_loop::R4_loop(const FFT_CONFIG& cfg)
    : FrameEngine(cfg)
    // Scratch written before it is read: left uninitialised.
    , twiddles_(new CRaw[3 * ((size_t(1) << cfg.C_NFFT_MAX) / 4)])
    , alt_re_(new double[size_t(1) << cfg.C_NFFT_MAX])
    , alt_im_(new double[size_t(1) << cfg.C_NFFT_MAX])
{
    // Unscaled words leave room for the full growth of the largest transform.
    set_memory(data_width_, data_width_ - 1, scaling_ ? 0 : data_width_ - input_width_,
        Order::DigitReversed4, Order::Natural, true);
    plan_ = make_plan();
}

R4_loop::~R4_loop() = default;

bool R4_loop::set_frame(const FFT_CONFIG& cfg)
{
    const int32_t nfft = cfg.nfft;
    const bool radix4_geometry = cfg.nfft_odd == (nfft & 1) && cfg.r4_stages == nfft / 2
        && cfg.r4_points == ((nfft & 1) ? cfg.npoints / 2 : cfg.npoints)
        && cfg.r4_addr_mask == cfg.r4_points / 4 - 1;
    if (!start_frame(cfg, 6, radix4_geometry))
        return false;
    nfft_odd_ = cfg.nfft_odd;
    r4_addr_mask_ = cfg.r4_addr_mask;
    r4_points_ = cfg.r4_points;
    r4_stages_ = cfg.r4_stages;
    return true;
}

namespace {

// One radix-4 stage on exact doubles (path_plan.h gives the bounds that keep it exact).
struct R4Stage {
    const double* sr;
    const double* si;
    double* dr;
    double* di;
    const double* tw; // L twiddles: real and imaginary parts of W1, W2, W3, L each
    int32_t n; // frame points
    int32_t L; // sub-transform length 4^t; 1 for the first stage (all twiddles 1)
    bool forward;
    double c_prod; // 2^-(TW - 4): product to twiddled operand
    kfft_fp::OutputFormat out;
    kfft_fp::WideTwiddle wide {}; // products beyond exact doubles (Parts 2 and 3)
};

struct R4Result {
    bool overflow; // some butterfly output lies outside [-1, 1)
    int32_t cls; // block floating point class of the written words
};

using kfft_fp::load;
using kfft_fp::store;
using kfft_simd::V4;
#if defined(KFFT_X86_DISPATCH)
using kfft_simd::V8;
#endif

// Rows of a 4 x 4 block become columns.
[[gnu::always_inline]] inline void transpose(V4& a0, V4& a1, V4& a2, V4& a3)
{
    const V4 t0 = __builtin_shufflevector(a0, a1, 0, 4, 2, 6);
    const V4 t1 = __builtin_shufflevector(a0, a1, 1, 5, 3, 7);
    const V4 t2 = __builtin_shufflevector(a2, a3, 0, 4, 2, 6);
    const V4 t3 = __builtin_shufflevector(a2, a3, 1, 5, 3, 7);
    a0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    a1 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    a2 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    a3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// First stage, four lanes: the words of four butterflies (four consecutive words each) become
// the operands x0..x3 across the lanes, and the outputs go back the same way.
[[gnu::always_inline]] inline void to_lanes(V4 a[4]) { transpose(a[0], a[1], a[2], a[3]); }
[[gnu::always_inline]] inline void from_lanes(V4 a[4]) { transpose(a[0], a[1], a[2], a[3]); }

#if defined(KFFT_X86_DISPATCH)
// The same for eight butterflies: a[r] holds words 8r..8r+7 (butterflies 2r and 2r + 1), and
// a[q] becomes operand q of butterflies 0..7.
[[gnu::always_inline]] inline void to_lanes(V8 a[4])
{
    // Operands 0 and 1, and 2 and 3, of butterflies 0..3, then of butterflies 4..7.
    const V8 t0 = __builtin_shufflevector(a[0], a[1], 0, 4, 8, 12, 1, 5, 9, 13);
    const V8 t1 = __builtin_shufflevector(a[0], a[1], 2, 6, 10, 14, 3, 7, 11, 15);
    const V8 t2 = __builtin_shufflevector(a[2], a[3], 0, 4, 8, 12, 1, 5, 9, 13);
    const V8 t3 = __builtin_shufflevector(a[2], a[3], 2, 6, 10, 14, 3, 7, 11, 15);
    a[0] = __builtin_shufflevector(t0, t2, 0, 1, 2, 3, 8, 9, 10, 11);
    a[1] = __builtin_shufflevector(t0, t2, 4, 5, 6, 7, 12, 13, 14, 15);
    a[2] = __builtin_shufflevector(t1, t3, 0, 1, 2, 3, 8, 9, 10, 11);
    a[3] = __builtin_shufflevector(t1, t3, 4, 5, 6, 7, 12, 13, 14, 15);
}

[[gnu::always_inline]] inline void from_lanes(V8 a[4])
{
    // Outputs 0 and 1, and 2 and 3, interleaved: butterflies 0..3, then 4..7.
    const V8 u0 = __builtin_shufflevector(a[0], a[1], 0, 8, 1, 9, 2, 10, 3, 11);
    const V8 u1 = __builtin_shufflevector(a[2], a[3], 0, 8, 1, 9, 2, 10, 3, 11);
    const V8 u2 = __builtin_shufflevector(a[0], a[1], 4, 12, 5, 13, 6, 14, 7, 15);
    const V8 u3 = __builtin_shufflevector(a[2], a[3], 4, 12, 5, 13, 6, 14, 7, 15);
    a[0] = __builtin_shufflevector(u0, u1, 0, 1, 8, 9, 2, 3, 10, 11);
    a[1] = __builtin_shufflevector(u0, u1, 4, 5, 12, 13, 6, 7, 14, 15);
    a[2] = __builtin_shufflevector(u2, u3, 0, 1, 8, 9, 2, 3, 10, 11);
    a[3] = __builtin_shufflevector(u2, u3, 4, 5, 12, 13, 6, 7, 14, 15);
}

// Eight lanes from two runs of four words, and back.
[[gnu::always_inline]] inline void load_halves(V8& v, const double* lo, const double* hi)
{
    V4 a, b;
    load(a, lo);
    load(b, hi);
    v = __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7);
}

[[gnu::always_inline]] inline void store_halves(double* lo, double* hi, const V8& v)
{
    store(lo, V4(__builtin_shufflevector(v, v, 0, 1, 2, 3)));
    store(hi, V4(__builtin_shufflevector(v, v, 4, 5, 6, 7)));
}
#endif

// The stage, N = 4 or 8 butterflies at a time (V: N lanes). Stages with L >= N take N
// consecutive butterflies of a group; the first (L = 1, every twiddle 1 so T = 8 x exactly)
// moves N butterflies' operands into lanes; with 8 lanes, L = 4 takes the four butterflies of
// two groups.
template <bool Round, bool Bfp, bool Forward, int Parts, class V>
[[gnu::always_inline]] inline R4Result fp_stage_body(const R4Stage& stage, const double* sr,
    const double* si, double* dr, double* di, const double* tw)
{
    // A local copy: stores through the memory pointers could otherwise change the fields.
    const R4Stage a = stage;
    constexpr int N = sizeof(V) / sizeof(double);
    kfft_fp::OutputQuant<Round, Bfp, V> quant(a.out);
    // Butterfly on operand x0 and twiddled operands T1..T3 (W + 2 fraction bits); z in
    // output order X0..X3.
    auto butterfly = [&](const V& x0r, const V& x0i, const V& t1r, const V& t1i, const V& t2r,
        const V& t2i, const V& t3r, const V& t3i, V* zr, V* zi) __attribute__((always_inline))
    {
        // Every output holds x0 once: it carries the quantisation's shift.
        const V x8r = Round ? x0r * 8.0 : x0r * 8.0 + quant.shift;
        const V x8i = Round ? x0i * 8.0 : x0i * 8.0 + quant.shift;
        const V ar = x8r + t2r, ai = x8i + t2i;
        const V ur = x8r - t2r, ui = x8i - t2i;
        const V br = t1r + t3r, bi = t1i + t3i;
        const V vr = t1i - t3i, vi = t3r - t1r;
        // The inverse butterfly swaps X1 and X3.
        const int o1 = Forward ? 1 : 3, o3 = Forward ? 3 : 1;
        quant(ar + br, zr[0], 0);
        quant(ai + bi, zi[0], 1);
        quant(ur + vr, zr[o1], 2);
        quant(ui + vi, zi[o1], 3);
        quant(ar - br, zr[2], 4);
        quant(ai - bi, zi[2], 5);
        quant(ur - vr, zr[o3], 6);
        quant(ui - vi, zi[o3], 7);
    };
    // Twiddled operands T1..T3 of the operands at x (stride L) with twiddles of index k.
    auto twiddled
        = [&](const V* xr, const V* xi, const V* g, const V* h, V* t) __attribute__((always_inline))
    {
        for (int q = 0; q < 3; ++q)
            kfft_fp::twiddle_any<Parts>(
                xr[q], xi[q], g[q], h[q], a.c_prod, a.wide, t[2 * q], t[2 * q + 1]);
    };

    const int32_t n = a.n;
    const int32_t L = a.L;
    V zr[4], zi[4];
    if (L == 1) {
        for (int32_t p = 0; p < n; p += 4 * N) {
            V r[4], i[4];
            for (int q = 0; q < 4; ++q) {
                load(r[q], sr + p + N * q);
                load(i[q], si + p + N * q);
            }
            to_lanes(r);
            to_lanes(i);
            butterfly(r[0], i[0], r[1] * 8.0, i[1] * 8.0, r[2] * 8.0, i[2] * 8.0, r[3] * 8.0,
                i[3] * 8.0, zr, zi);
            from_lanes(zr);
            from_lanes(zi);
            for (int q = 0; q < 4; ++q) {
                store(dr + p + N * q, zr[q]);
                store(di + p + N * q, zi[q]);
            }
        }
        return R4Result { quant.overflow(), quant.bfp_class() };
    }
#if defined(KFFT_X86_DISPATCH)
    if constexpr (N == 8) {
        if (L == 4) {
            // Lanes 0..3: the group at base, lanes 4..7: the next one (at base + 16).
            V g[3], h[3];
            for (int q = 0; q < 3; ++q) {
                load_halves(g[q], tw + 8 * q, tw + 8 * q);
                load_halves(h[q], tw + 8 * q + 4, tw + 8 * q + 4);
            }
            for (int32_t base = 0; base < n; base += 32) {
                V xr[4], xi[4], t[6];
                for (int q = 0; q < 4; ++q) {
                    load_halves(xr[q], sr + base + 4 * q, sr + base + 16 + 4 * q);
                    load_halves(xi[q], si + base + 4 * q, si + base + 16 + 4 * q);
                }
                twiddled(xr + 1, xi + 1, g, h, t);
                butterfly(xr[0], xi[0], t[0], t[1], t[2], t[3], t[4], t[5], zr, zi);
                for (int q = 0; q < 4; ++q) {
                    store_halves(dr + base + 4 * q, dr + base + 16 + 4 * q, zr[q]);
                    store_halves(di + base + 4 * q, di + base + 16 + 4 * q, zi[q]);
                }
            }
            return R4Result { quant.overflow(), quant.bfp_class() };
        }
    }
#endif
    for (int32_t base = 0; base < n; base += 4 * L) {
        for (int32_t k = 0; k < L; k += N) {
            const int32_t p = base + k;
            V xr[4], xi[4], g[3], h[3], t[6];
            for (int q = 0; q < 4; ++q) {
                load(xr[q], sr + p + q * L);
                load(xi[q], si + p + q * L);
            }
            for (int q = 0; q < 3; ++q) {
                load(g[q], tw + 2 * q * L + k);
                load(h[q], tw + (2 * q + 1) * L + k);
            }
            twiddled(xr + 1, xi + 1, g, h, t);
            butterfly(xr[0], xi[0], t[0], t[1], t[2], t[3], t[4], t[5], zr, zi);
            for (int q = 0; q < 4; ++q) {
                store(dr + p + q * L, zr[q]);
                store(di + p + q * L, zi[q]);
            }
        }
    }
    return R4Result { quant.overflow(), quant.bfp_class() };
}

template <bool Round, bool Bfp, bool Forward, int Parts>
[[gnu::noinline]] R4Result fp_stage_portable_loops(
    const R4Stage& a, const double* sr, const double* si, double* dr, double* di, const double* tw)
{
    return fp_stage_body<Round, Bfp, Forward, Parts, V4>(a, sr, si, dr, di, tw);
}

#if defined(KFFT_X86_DISPATCH)
template <bool Round, bool Bfp, bool Forward, int Parts>
[[gnu::target("avx2"), gnu::noinline]] R4Result fp_stage_avx2_loops(
    const R4Stage& a, const double* sr, const double* si, double* dr, double* di, const double* tw)
{
    return fp_stage_body<Round, Bfp, Forward, Parts, V4>(a, sr, si, dr, di, tw);
}

template <bool Round, bool Bfp, bool Forward, int Parts>
[[KFFT_AVX512, gnu::noinline, gnu::flatten]] R4Result fp_stage_avx512_loops(
    const R4Stage& a, const double* sr, const double* si, double* dr, double* di, const double* tw)
{
    return fp_stage_body<Round, Bfp, Forward, Parts, V8>(a, sr, si, dr, di, tw);
}
#endif

// The stage loops for kfft_fp::stage_function(), the direction fixed per instantiation.
struct R4Loops {
    using Fn = R4Result (*)(const R4Stage&);
    template <bool Round, bool Bfp, int Parts> static R4Result portable(const R4Stage& a)
    {
        return a.forward
            ? fp_stage_portable_loops<Round, Bfp, true, Parts>(a, a.sr, a.si, a.dr, a.di, a.tw)
            : fp_stage_portable_loops<Round, Bfp, false, Parts>(a, a.sr, a.si, a.dr, a.di, a.tw);
    }
#if defined(KFFT_X86_DISPATCH)
    template <bool Round, bool Bfp, int Parts> static R4Result avx2(const R4Stage& a)
    {
        return a.forward
            ? fp_stage_avx2_loops<Round, Bfp, true, Parts>(a, a.sr, a.si, a.dr, a.di, a.tw)
            : fp_stage_avx2_loops<Round, Bfp, false, Parts>(a, a.sr, a.si, a.dr, a.di, a.tw);
    }
    template <bool Round, bool Bfp, int Parts> static R4Result avx512(const R4Stage& a)
    {
        return a.forward
            ? fp_stage_avx512_loops<Round, Bfp, true, Parts>(a, a.sr, a.si, a.dr, a.di, a.tw)
            : fp_stage_avx512_loops<Round, Bfp, false, Parts>(a, a.sr, a.si, a.dr, a.di, a.tw);
    }
#endif
};

} // namespace

bool R4_loop::run(const TWIDDLE_ROM& rom)
{
    if (!ready_to_run(rom))
        return false;
    R4_DIT_PE pe(cfg_);
    if (pe.wide_products())
        dispatch<i128>(rom, pe);
    else
        dispatch<int64_t>(rom, pe);
    r4_addr_mask_ = r4_points_ / 4 - 1;
    return true;
}

// The rounding mode and the block floating point bookkeeping (only block floating point
// uses the classes) are fixed per instantiation.
template <typename Acc> void R4_loop::dispatch(const TWIDDLE_ROM& rom, R4_DIT_PE& pe)
{
    const bool track = scaling_ == 1 && bfp_ == 1;
    if (rounding_)
        track ? run_stages<Acc, true, true>(rom, pe) : run_stages<Acc, true, false>(rom, pe);
    else
        track ? run_stages<Acc, false, true>(rom, pe) : run_stages<Acc, false, false>(rom, pe);
}

// One stage on the integer registers, from the source words to the destination words
// (which may be the same); returns the largest class key of the written words (block
// floating point only, else 0).
template <typename Acc, bool Round, bool Bfp>
int64_t R4_loop::int_stage(R4_DIT_PE& pe, const double* sr, const double* si, double* dr,
    double* di, int t, int s, const CRaw* tw, const TWIDDLE_ROM& rom)
{
    const int32_t N = npoints_;
    const bool forward = direction_ != 0;
    int64_t max_key = 0;
    CRaw x[4], z[4];
    auto get = [&](int32_t p) {
        return CRaw { static_cast<int64_t>(sr[p]), static_cast<int64_t>(si[p]) };
    };
    auto put = [&](int32_t p, const CRaw& v) {
        dr[p] = static_cast<double>(v.re);
        di[p] = static_cast<double>(v.im);
        if (Bfp)
            max_key = std::max({ max_key, class_key(v.re), class_key(v.im) });
    };
    if (t < r4_stages_) {
        // Sub-transforms of length 4^(t+1) combine four of length L = 4^t.
        const int32_t L = int32_t(1) << (2 * t);
        for (int32_t base = 0; base < N; base += 4 * L) {
            for (int32_t k = 0; k < L; ++k) {
                const int32_t p = base + k;
                for (int q = 0; q < 4; ++q)
                    x[q] = get(p + q * L);
                pe.template butterfly_t<Acc, Round>(x, tw + 3 * k, false, s, z);
                // The inverse butterfly swaps X1 and X3.
                put(p, z[0]);
                put(p + L, forward ? z[1] : z[3]);
                put(p + 2 * L, z[2]);
                put(p + 3 * L, forward ? z[3] : z[1]);
            }
        }
        return max_key;
    }
    // Radix-2 stage: even-sample half element e with odd-sample half element e, and the
    // same for e + 2.
    const uint64_t F = uint64_t(1) << (nfft_max_ - nfft_);
    const uint64_t full = uint64_t(1) << nfft_max_;
    auto dir = [&](uint64_t i) { return forward ? (full - i) & (full - 1) : i; };
    const int32_t half = N / 2;
    CRaw w[3];
    w[1] = rom.lookup_raw(0);
    for (int32_t b = 0; b < N / 4; ++b) {
        const int32_t e = 2 * b - (b & 1);
        w[0] = rom.lookup_raw(dir(F * uint64_t(e)));
        w[2] = rom.lookup_raw(dir(F * uint64_t(e + 2)));
        x[0] = get(e);
        x[1] = get(e + half);
        x[2] = get(e + 2);
        x[3] = get(e + 2 + half);
        pe.template butterfly_t<Acc, Round>(x, w, true, s, z);
        put(e, z[0]);
        put(e + half, z[2]);
        put(e + 2, z[1]);
        put(e + 2 + half, z[3]);
    }
    return max_key;
}

// Twiddles of the double stages of the current frame length in one direction, built once
// and kept: stage t (L = 4^t) starts at 6 (L - 1) / 3 with the real and imaginary parts of
// W1, W2 and W3, L each.
const double* R4_loop::fp_twiddles(const TWIDDLE_ROM& rom, bool forward)
{
    std::vector<double>& table = fp_twiddles_[forward ? 1 : 0];
    int32_t& built = fp_twiddles_nfft_[forward ? 1 : 0];
    if (built == nfft_)
        return table.data();
    const int M = nfft_max_;
    const int R = r4_stages_;
    const uint64_t F = uint64_t(1) << (M - nfft_);
    const uint64_t full = uint64_t(1) << M;
    auto dir = [&](uint64_t i) { return forward ? (full - i) & (full - 1) : i; };
    table.clear();
    for (int t = 0; t < R; ++t) {
        const int32_t L = int32_t(1) << (2 * t);
        const size_t at = table.size();
        table.resize(at + 6 * static_cast<size_t>(L));
        for (int32_t k = 0; k < L; ++k) {
            uint64_t e = uint64_t(k) << (2 * (R - 1 - t));
            if (nfft_odd_)
                e <<= 1;
            const uint64_t i1 = F * e;
            for (uint64_t q = 1; q <= 3; ++q) {
                const CRaw w = rom.lookup_raw(dir(q * i1));
                table[at + (2 * q - 2) * L + k] = static_cast<double>(w.re);
                table[at + (2 * q - 1) * L + k] = static_cast<double>(w.im);
            }
        }
    }
    built = nfft_;
    return table.data();
}

template <typename Acc, bool Round, bool Bfp>
void R4_loop::run_stages(const TWIDDLE_ROM& rom, R4_DIT_PE& pe)
{
    const int M = nfft_max_;
    const int32_t N = npoints_;
    const int R = r4_stages_;
    const int odd = nfft_odd_;
    const uint64_t F = uint64_t(1) << (M - nfft_);
    const uint64_t full = uint64_t(1) << M;
    const bool forward = direction_ != 0;
    const int W = data_width_;
    auto dir = [&](uint64_t i) { return forward ? (full - i) & (full - 1) : i; };

    const bool fp = start_stages();
    const R4Loops::Fn fp_stage = kfft_fp::stage_function<R4Loops, Round, Bfp>(plan_);
    using kfft_fp::kR4Bounds;

    blk_exp_ = 0;
    overflow_ = 0;
    stage_shifts_.fill(0);
    int32_t shift_reg = std::max(2 - input_headroom_, 0);

    for (int t = 0; t < R + odd; ++t) {
        int s = 0;
        if (scaling_)
            s = bfp_ ? shift_reg : static_cast<int>((scaling_sch_ >> (2 * t)) & 3u);
        blk_exp_ += s;
        stage_shifts_[t] = s;
        int64_t max_key = 0;
        int32_t cls = -1; // class from the double stage, when it ran
        CRaw* tw = twiddles_.get();
        const int32_t L = int32_t(1) << (2 * t);
        // The integer stage's twiddles W1..W3 of index k, 3 per index.
        auto fill_twiddles = [&] {
            for (int32_t k = 0; k < L; ++k) {
                uint64_t e = uint64_t(k) << (2 * (R - 1 - t));
                if (odd)
                    e <<= 1;
                const uint64_t i1 = F * e;
                tw[3 * k + 0] = rom.lookup_raw(dir(i1));
                tw[3 * k + 1] = rom.lookup_raw(dir(2 * i1));
                tw[3 * k + 2] = rom.lookup_raw(dir(3 * i1));
            }
        };
        bool done = false;
        if (fp && t < R) {
            const double* twf = fp_twiddles(rom, forward) + (L - 1) / 3 * 6;
            R4Stage a { mem_re(), mem_im(), alt_re_.get(), alt_im_.get(), twf, N, L, forward,
                std::ldexp(1.0, 4 - twiddle_width_),
                kfft_fp::output_format(W, s, kR4Bounds[0], kR4Bounds[1], kR4Bounds[2]) };
            if (plan_.split)
                a.wide = kfft_fp::wide_twiddle(plan_.split, twiddle_width_ - 4);
            const R4Result r = fp_stage(a);
            // A butterfly output outside [-1, 1) wraps: the integer stage redoes the stage.
            if (!r.overflow) {
                cls = r.cls;
            } else {
                fill_twiddles();
                max_key = int_stage<Acc, Round, Bfp>(
                    pe, mem_re(), mem_im(), alt_re_.get(), alt_im_.get(), t, s, tw, rom);
            }
            swap_memory(alt_re_, alt_im_);
            done = true;
        } else if (t < R) {
            fill_twiddles();
        }
        if (!done)
            max_key = int_stage<Acc, Round, Bfp>(
                pe, mem_re(), mem_im(), mem_re(), mem_im(), t, s, tw, rom);
        // Bounds 24/128, 48/128 and 97/128.
        shift_reg = !Bfp ? 0
            : cls >= 0   ? cls
                         : bfp_class(max_key, W, kR4Bounds[0], kR4Bounds[1], kR4Bounds[2]);
        overflow_ = pe.pe_overflow();
    }
}
