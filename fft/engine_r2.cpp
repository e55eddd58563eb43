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

using kfft_simd::load4;
using kfft_simd::splat;
using kfft_simd::store4;
using kfft_simd::V4;

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

// One stage, four butterflies at a time: L >= 4 takes consecutive butterflies of a group;
// L = 1 and 2 gather the operands of two 4-word blocks into lanes.
template <bool Round, bool Bfp, int Parts>
[[gnu::always_inline]] inline R2Result fp_stage_body(const R2Stage& a)
{
    kfft_fp::OutputQuant<Round, Bfp> quant(a.out);
    const double* sr = a.sr;
    const double* si = a.si;
    double* dr = a.dr;
    double* di = a.di;
    const V4 eight = splat(8.0), c = splat(a.c_prod);
    const int32_t n = a.n, L = a.L;
    if (L <= 2) {
        // L = 1: words (x0, x1, x0, x1) per block, twiddle 1 (T = 8 x1 exactly);
        // L = 2: (x0, x0', x1, x1'), twiddles of k = 0, 1 in both lane pairs.
        const V4 g = L == 1 ? V4 {} : V4 { a.tw[0], a.tw[1], a.tw[0], a.tw[1] };
        const V4 h = L == 1 ? V4 {} : V4 { a.tw[2], a.tw[3], a.tw[2], a.tw[3] };
        for (int32_t p = 0; p < n; p += 8) {
            const V4 ar = load4(sr + p), br = load4(sr + p + 4);
            const V4 ai = load4(si + p), bi = load4(si + p + 4);
            V4 x0r, x0i, x1r, x1i, tr, ti;
            if (L == 1) {
                x0r = __builtin_shufflevector(ar, br, 0, 2, 4, 6);
                x1r = __builtin_shufflevector(ar, br, 1, 3, 5, 7);
                x0i = __builtin_shufflevector(ai, bi, 0, 2, 4, 6);
                x1i = __builtin_shufflevector(ai, bi, 1, 3, 5, 7);
                tr = x1r * eight;
                ti = x1i * eight;
            } else {
                x0r = __builtin_shufflevector(ar, br, 0, 1, 4, 5);
                x1r = __builtin_shufflevector(ar, br, 2, 3, 6, 7);
                x0i = __builtin_shufflevector(ai, bi, 0, 1, 4, 5);
                x1i = __builtin_shufflevector(ai, bi, 2, 3, 6, 7);
                kfft_fp::twiddle_any<Parts>(x1r, x1i, g, h, c, a.wide, tr, ti);
            }
            V4 z0r, z0i, z1r, z1i;
            quant(x0r * eight + tr, z0r);
            quant(x0i * eight + ti, z0i);
            quant(x0r * eight - tr, z1r);
            quant(x0i * eight - ti, z1i);
            if (L == 1) {
                store4(dr + p, __builtin_shufflevector(z0r, z1r, 0, 4, 1, 5));
                store4(dr + p + 4, __builtin_shufflevector(z0r, z1r, 2, 6, 3, 7));
                store4(di + p, __builtin_shufflevector(z0i, z1i, 0, 4, 1, 5));
                store4(di + p + 4, __builtin_shufflevector(z0i, z1i, 2, 6, 3, 7));
            } else {
                store4(dr + p, __builtin_shufflevector(z0r, z1r, 0, 1, 4, 5));
                store4(dr + p + 4, __builtin_shufflevector(z0r, z1r, 2, 3, 6, 7));
                store4(di + p, __builtin_shufflevector(z0i, z1i, 0, 1, 4, 5));
                store4(di + p + 4, __builtin_shufflevector(z0i, z1i, 2, 3, 6, 7));
            }
        }
    } else {
        const double* gs = a.tw;
        const double* hs = a.tw + L;
        for (int32_t base = 0; base < n; base += 2 * L) {
            for (int32_t k = 0; k < L; k += 4) {
                const int32_t p = base + k;
                const V4 x0r = load4(sr + p), x0i = load4(si + p);
                V4 tr, ti;
                kfft_fp::twiddle_any<Parts>(load4(sr + p + L), load4(si + p + L), load4(gs + k),
                    load4(hs + k), c, a.wide, tr, ti);
                V4 z0r, z0i, z1r, z1i;
                quant(x0r * eight + tr, z0r);
                quant(x0i * eight + ti, z0i);
                quant(x0r * eight - tr, z1r);
                quant(x0i * eight - ti, z1i);
                store4(dr + p, z0r);
                store4(di + p, z0i);
                store4(dr + p + L, z1r);
                store4(di + p + L, z1i);
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
        return fp_stage_body<Round, Bfp, Parts>(a);
    }
#if defined(KFFT_X86_DISPATCH)
    template <bool Round, bool Bfp, int Parts>
    [[gnu::target("avx2"), gnu::noinline]] static R2Result avx2(const R2Stage& a)
    {
        return fp_stage_body<Round, Bfp, Parts>(a);
    }
    template <bool Round, bool Bfp, int Parts>
    [[KFFT_AVX512, gnu::noinline]] static R2Result avx512(const R2Stage& a)
    {
        return fp_stage_body<Round, Bfp, Parts>(a);
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
