// Pipelined streaming engine: radix-2^2 decimation in frequency, stage by stage over a
// frame in natural order; the spectrum is left in bit-reversed order.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "engine_r22.h"
#include "fp_stage.h"

using kfft_raw::CRaw;
using kfft_raw::i128;
using kfft_raw::outside_unit;
using kfft_raw::quant;
using kfft_raw::shl;
using kfft_raw::wrap;

namespace {

// Internal width: block floating point runs unscaled at full growth.
int internal_width_of(const FFT_CONFIG& cfg)
{
    if (cfg.C_HAS_SCALING == 1 && cfg.C_HAS_BFP == 1)
        return cfg.input_width + cfg.C_NFFT_MAX + 1;
    return cfg.data_width;
}

} // namespace

// ---------------------------------------------------------------------------------------
// R22_DIF_PE
//
// Register formats, scaled mode / unscaled and block floating point ((w, f) = w bits,
// f fraction bits; P internal width, TW twiddle width):
//   inputs a, b                      (P + 1, P - 1)
//   butterfly outputs B, outputs O   (P + 2, P - 1)          / (P, P - 1)
//   products Pr, constant K          (P + TW + 3, P + TW - 2) / (P + TW + 1, P + TW - 2)
//   twiddled outputs Tw              (P + 8, P + 4)           / (P + 6, P + 5)
//   scaled values S                  (P + 11, P + 7), last stage of an even-length
//                                    frame (P + 5, P + 2)
//   last-stage intermediate L        (P + 4, P + 1) for even C_NFFT_MAX, (P + 5, P + 2) odd
// O is TRUNCATE or CONVERGENT_NOSAT; everything else truncates; all wrap. Only B, Tw, O
// and the memory words can actually wrap: a product register holds any product of its
// operand formats, and S and L have at least the integer bits of the value they receive.

R22_DIF_PE::R22_DIF_PE(const FFT_CONFIG& cfg, int P, int nfft, int direction)
    : FFT(cfg)
    , P_(P)
    , nfft_pe_(nfft)
    , dir_(direction)
{
    scaled_ = scaling_ == 1 && bfp_ == 0;
    round_ = rounding_ != 0;
    const int TW = twiddle_width_;
    Bw_ = scaled_ ? P + 2 : P;
    Prw_ = scaled_ ? P + TW + 3 : P + TW + 1;
    G_ = scaled_ ? P + 4 : P + 5;
    Tww_ = scaled_ ? P + 8 : P + 6;
    dTw_ = (P + TW - 2) - G_;
    K_ = (int64_t(1) << (dTw_ - 1)) - 1;
    Lw_ = (nfft_max_ % 2 == 0) ? P + 4 : P + 5;
    Lf_ = (nfft_max_ % 2 == 0) ? P + 1 : P + 2;
    wide_ = Prw_ > 62;
}

R22_DIF_PE::~R22_DIF_PE() = default;

// Butterfly outputs B of a radix-2 pair; on odd stages of odd groups the lower input is
// first rotated by -j (forward) or +j (inverse).
inline void R22_DIF_PE::bf_sums(const CRaw& a, const CRaw& b, bool rotate, CRaw B[2]) const
{
    if (!rotate) {
        B[0] = { wrap(a.re + b.re, Bw_), wrap(a.im + b.im, Bw_) };
        B[1] = { wrap(a.re - b.re, Bw_), wrap(a.im - b.im, Bw_) };
    } else if (dir_ != 0) {
        B[0] = { wrap(a.re + b.im, Bw_), wrap(a.im - b.re, Bw_) };
        B[1] = { wrap(a.re - b.im, Bw_), wrap(a.im + b.re, Bw_) };
    } else {
        B[0] = { wrap(a.re - b.im, Bw_), wrap(a.im + b.re, Bw_) };
        B[1] = { wrap(a.re + b.im, Bw_), wrap(a.im - b.re, Bw_) };
    }
}

// BF1 (even stage). Only the last stage of an odd-length frame scales here.
template <bool Round>
inline void R22_DIF_PE::bf1(const CRaw& a, const CRaw& b, bool scale_last, int s, CRaw out[2])
{
    bf_sums(a, b, false, out);
    if (scale_last) {
        // S = B / 2^s at P + 7 fraction bits (exact); the output drops s bits of B.
        const int64_t v[4] = { out[0].re, out[0].im, out[1].re, out[1].im };
        int64_t o[4];
        pe_overflow_ |= kfft_raw::quant_unit_range<Round>(v, P_ - 1 + s, s, Bw_, o);
        out[0] = CRaw { o[0], o[1] };
        out[1] = CRaw { o[2], o[3] };
    }
}

// BF2 followed by the twiddle multiplication (odd stage, not the last).
template <typename Acc, bool Round>
inline void R22_DIF_PE::bf2_twiddle(
    const CRaw& a, const CRaw& b, bool rotate, const CRaw& w1, const CRaw& w2, int s, CRaw out[2])
{
    const int P = P_;
    CRaw B[2];
    bf_sums(a, b, rotate, B);
    const CRaw* W[2] = { &w1, &w2 };
    int64_t v[4];
    for (int q = 0; q < 2; ++q) {
        const Acc br = B[q].re, bi = B[q].im;
        const Acc g0 = W[q]->re, h0 = W[q]->im;
        const Acc pr = br * g0 - bi * h0 + K_;
        const Acc pi = br * h0 + bi * g0 + K_;
        v[2 * q] = wrap(static_cast<int64_t>(pr >> dTw_), Tww_);
        v[2 * q + 1] = wrap(static_cast<int64_t>(pi >> dTw_), Tww_);
    }
    int64_t o[4];
    if (scaled_) {
        // S = Tw / 2^s at P + 7 fraction bits (exact); the output drops G - (P - 1) + s
        // bits of Tw.
        pe_overflow_ |= kfft_raw::quant_unit_range<Round>(v, G_ + s, G_ - (P - 1) + s, Bw_, o);
    } else {
        for (int i = 0; i < 4; ++i)
            o[i] = quant<Round>(v[i], G_ - (P - 1), Bw_);
    }
    out[0] = CRaw { o[0], o[1] };
    out[1] = CRaw { o[2], o[3] };
}

// BF2 as the last stage of an even-length frame: no twiddle; the scaled value passes
// through the last-stage intermediate L.
template <bool Round>
inline void R22_DIF_PE::bf2_last(const CRaw& a, const CRaw& b, bool rotate, int s, CRaw out[2])
{
    bf_sums(a, b, rotate, out);
    if (!scaled_)
        return;
    const int P = P_;
    for (int q = 0; q < 2; ++q) {
        const int64_t sr = shl(out[q].re, 3 - s); // S at P + 2 fraction bits
        const int64_t si = shl(out[q].im, 3 - s);
        pe_overflow_ |= outside_unit(sr, P + 2) | outside_unit(si, P + 2);
        const int64_t lr = sr >> (P + 2 - Lf_);
        const int64_t li = si >> (P + 2 - Lf_);
        out[q].re = quant<Round>(lr, Lf_ - (P - 1), Bw_);
        out[q].im = quant<Round>(li, Lf_ - (P - 1), Bw_);
    }
}

template <typename Acc, bool Round>
void R22_DIF_PE::butterfly_t(
    const CRaw& a, const CRaw& b, const CRaw& w1, const CRaw& w2, int t, int g, int s, CRaw out[2])
{
    const bool last = t == nfft_pe_ - 1;
    if ((t & 1) == 0)
        bf1<Round>(a, b, last && scaled_, s, out);
    else if (!last)
        bf2_twiddle<Acc, Round>(a, b, (g & 1) != 0, w1, w2, s, out);
    else
        bf2_last<Round>(a, b, (g & 1) != 0, s, out);
}

void R22_DIF_PE::butterfly(
    const CRaw& a, const CRaw& b, const CRaw& w1, const CRaw& w2, int t, int g, int s, CRaw out[2])
{
    if (wide_)
        round_ ? butterfly_t<i128, true>(a, b, w1, w2, t, g, s & 3, out)
               : butterfly_t<i128, false>(a, b, w1, w2, t, g, s & 3, out);
    else
        round_ ? butterfly_t<int64_t, true>(a, b, w1, w2, t, g, s & 3, out)
               : butterfly_t<int64_t, false>(a, b, w1, w2, t, g, s & 3, out);
}

// ---------------------------------------------------------------------------------------
// R22_pipeline

R22_pipeline::R22_pipeline(const FFT_CONFIG& cfg)
    : FrameEngine(cfg)
    , P_(internal_width_of(cfg))
    // Scratch written before it is read: left uninitialised.
    , twiddles_(new CRaw[size_t(1) << cfg.C_NFFT_MAX])
    , alt_re_(new double[size_t(1) << cfg.C_NFFT_MAX])
    , alt_im_(new double[size_t(1) << cfg.C_NFFT_MAX])
{
    if (P_ < input_width_ || P_ > 51)
        throw std::invalid_argument("R22_pipeline: internal width must be input_width to 51");
    // Unscaled and block floating point frames run at full growth.
    set_memory(P_ + 1, P_ - 1, (scaling_ == 1 && bfp_ == 0) ? 0 : P_ - input_width_, Order::Natural,
        Order::BitReversed, false);
    plan_ = make_plan();
}

// The pipelined rule: twiddle products of the butterfly outputs B (Bw bits) whole, else the
// operand split in two, else the twiddle in three.
kfft::PathPlan R22_pipeline::make_plan() const
{
    using namespace kfft::bounds;
    kfft::PathPlan p;
    p.loops = kfft::vector_level(path_);
    const int P = P_, TW = twiddle_width_;
    if (path_ == Path::Integer)
        return p;
    const R22_DIF_PE pe(cfg_, P, nfft_max_, 1);
    const int Bw = pe.Bw_, dTw = pe.dTw_;
    if (Bw + TW <= kPipelinedProductBits) {
        p.parts = 1;
    } else if (const int a = kfft_fp::operand_split(Bw, TW, dTw)) {
        p.parts = 2;
        p.split = a;
    } else if (const int s = kfft_fp::wide_split(Bw, TW, dTw)) {
        p.parts = 3;
        p.split = s;
    } else {
        return p;
    }
    p.stages = p.loops;
    return p;
}

R22_pipeline::~R22_pipeline() = default;

bool R22_pipeline::set_frame(const FFT_CONFIG& cfg) { return start_frame(cfg, 3); }

bool R22_pipeline::run(const TWIDDLE_ROM& rom)
{
    if (!ready_to_run(rom))
        return false;
    R22_DIF_PE pe(cfg_, P_, nfft_, direction_);
    blk_exp_ = 0;
    overflow_ = 0;
    stage_shifts_.fill(0);
    const bool fp = start_stages();
    if (pe.wide_products())
        dispatch<i128>(rom, pe, fp);
    else
        dispatch<int64_t>(rom, pe, fp);
    if (scaling_ == 1 && bfp_ == 1)
        normalise(path_ != Path::Integer && std::fegetround() == FE_TONEAREST);
    return true;
}

template <typename Acc> void R22_pipeline::dispatch(const TWIDDLE_ROM& rom, R22_DIF_PE& pe, bool fp)
{
    if (rounding_)
        run_stages<Acc, true>(rom, pe, fp);
    else
        run_stages<Acc, false>(rom, pe, fp);
}

namespace {

using kfft_simd::load4;
using kfft_simd::M4;
using kfft_simd::round_int;
using kfft_simd::splat;
using kfft_simd::store4;
using kfft_simd::V4;

// One stage on exact doubles. Every register is checked against the range of its format;
// any value that would wrap sends the stage to the integer registers, so that wrapping never
// has to be modelled here.
struct R22Stage {
    const double* sr;
    const double* si;
    double* dr;
    double* di;
    const double* tw; // odd stages: 8 arrays of h, real and imaginary parts of W^(q r)
    int32_t n, h;
    int kind; // 0 BF1, 1 BF2 with twiddles, 2 BF2 of the last stage
    bool last;
    bool rotate_sign; // forward: the odd groups' lower input is rotated by -j
    bool scaled;
    double b_lim; // butterfly outputs B within [-b_lim, b_lim)
    double tw_lim; // twiddled outputs Tw within [-tw_lim, tw_lim)
    double o_lim; // stage outputs within [-o_lim, o_lim) (output register and memory word)
    double c_prod; // 2^-dTw
    double ovf_lim; // scaled: overflow bound of the quantised value
    double pre; // last-stage BF2: the exact power of two from B to the last-stage intermediate
    int d; // bits dropped by the output quantisation
    double largest; // largest output word 2^(Bw - 1) - 1
    kfft_fp::WideTwiddle wide; // products beyond exact doubles (Parts 2 and 3)
};

struct R22Result {
    bool fallback;
    bool overflow;
};

template <bool Round, int Kind, bool Drop, int Parts>
[[gnu::always_inline]] inline R22Result r22_stage_body(const R22Stage& a)
{
    const V4 largest = splat(a.largest), c = splat(a.c_prod);
    const V4 c_out = splat(__builtin_ldexp(1.0, -a.d));
    const V4 bias = splat(a.d > 0 ? __builtin_ldexp(1.0, a.d - 1) - 0.5 : 0.0);
    const bool check_ovf = a.scaled && (Kind != 0 || a.last);
    // Running extremes of the butterfly outputs, twiddled outputs, stage outputs and the
    // values tested for overflow (the vector conditionals become max and min instructions).
    struct Extremes {
        V4 hi {}, lo {};
        [[gnu::always_inline]] void add(const V4& v)
        {
            hi = v > hi ? v : hi;
            lo = v < lo ? v : lo;
        }
        // Some value outside [-lim, lim).
        bool outside(double lim) const
        {
            for (int i = 0; i < 4; ++i)
                if (hi[i] >= lim || lo[i] < -lim)
                    return true;
            return false;
        }
    };
    Extremes eb, et, eo, ev;
    // Output quantisation: d bits dropped, floor or convergent (never up from the largest).
    auto quant = [&](const V4& v) __attribute__((always_inline))
    {
        if (check_ovf)
            ev.add(v);
        V4 z;
        if (!Drop)
            z = v;
        else if (Round) {
            z = round_int(v * c_out);
            z = z < largest ? z : largest;
        } else {
            z = round_int((v - bias) * c_out);
        }
        eo.add(z);
        return z;
    };
    const V4 pre = splat(a.pre);
    // Butterfly of four lanes: upper and lower inputs, rotation mask (BF2 of odd groups),
    // twiddles of the upper and lower outputs; z: the two outputs.
    auto butterfly = [&](const V4& ar, const V4& ai, const V4& br, const V4& bi, const M4& rot,
        const V4* w, V4* z) __attribute__((always_inline))
    {
        // Rotated lower input: -j b (forward) or +j b (inverse).
        const V4 rr = a.rotate_sign ? bi : -bi;
        const V4 ri = a.rotate_sign ? -br : br;
        const V4 lr = kfft_simd::select(rot, rr, br);
        const V4 li = kfft_simd::select(rot, ri, bi);
        V4 v0r = ar + lr, v0i = ai + li, v1r = ar - lr, v1i = ai - li;
        eb.add(v0r);
        eb.add(v0i);
        eb.add(v1r);
        eb.add(v1i);
        if (Kind == 1) {
            const V4 b0r = v0r, b0i = v0i, b1r = v1r, b1i = v1i;
            if (Parts == 3) {
                kfft_fp::twiddle_parts(b0r, b0i, w, w + 3, a.wide, v0r, v0i);
                kfft_fp::twiddle_parts(b1r, b1i, w + 6, w + 9, a.wide, v1r, v1i);
            } else if (Parts == 2) {
                kfft_fp::twiddle_operand_split(b0r, b0i, w[0], w[1], a.wide, v0r, v0i);
                kfft_fp::twiddle_operand_split(b1r, b1i, w[2], w[3], a.wide, v1r, v1i);
            } else {
                kfft_fp::twiddle(b0r, b0i, w[0], w[1], c, v0r, v0i);
                kfft_fp::twiddle(b1r, b1i, w[2], w[3], c, v1r, v1i);
            }
            et.add(v0r);
            et.add(v0i);
            et.add(v1r);
            et.add(v1i);
        } else if (Kind == 2) {
            v0r = v0r * pre;
            v0i = v0i * pre;
            v1r = v1r * pre;
            v1i = v1i * pre;
        }
        z[0] = quant(v0r);
        z[1] = quant(v0i);
        z[2] = quant(v1r);
        z[3] = quant(v1i);
    };
    const int32_t n = a.n, h = a.h;
    const bool rotating = Kind != 0;
    // Twiddles of the upper and lower outputs, real then imaginary parts (each as its three
    // parts when Parts is 3).
    constexpr int m = Parts == 3 ? 3 : 1;
    V4 z[4], w[4 * m] = {};
    if (h >= 4) {
        for (int32_t g = 0; g < n / (2 * h); ++g) {
            const int32_t p0 = 2 * h * g;
            const bool odd = (g & 1) != 0;
            const M4 rot = rotating && odd ? ~M4 {} : M4 {};
            // Stages without twiddles have none (a.tw is null): no pointer is formed there.
            const double* gu = Kind == 1 ? a.tw + (odd ? 1 : 0) * 2 * m * h : nullptr;
            const double* gl = Kind == 1 ? a.tw + (odd ? 3 : 2) * 2 * m * h : nullptr;
            for (int32_t r = 0; r < h; r += 4) {
                const int32_t p = p0 + r;
                if (Kind == 1)
                    for (int i = 0; i < 2 * m; ++i) {
                        w[i] = load4(gu + i * h + r);
                        w[2 * m + i] = load4(gl + i * h + r);
                    }
                butterfly(load4(a.sr + p), load4(a.si + p), load4(a.sr + p + h),
                    load4(a.si + p + h), rot, w, z);
                store4(a.dr + p, z[0]);
                store4(a.di + p, z[1]);
                store4(a.dr + p + h, z[2]);
                store4(a.di + p + h, z[3]);
            }
        }
    } else {
        // Spans 1 and 2: lane i takes butterfly j + i, gathered and scattered.
        for (int32_t j = 0; j < n / 2; j += 4) {
            int32_t p[4];
            V4 ar, ai, br, bi;
            M4 rot;
            for (int i = 0; i < 4; ++i) {
                const int32_t g = (j + i) / h, r = (j + i) % h;
                p[i] = 2 * h * g + r;
                ar[i] = a.sr[p[i]];
                ai[i] = a.si[p[i]];
                br[i] = a.sr[p[i] + h];
                bi[i] = a.si[p[i] + h];
                rot[i] = rotating && (g & 1) ? -1 : 0;
                if (Kind == 1) {
                    const int q = g & 1;
                    for (int j = 0; j < 2 * m; ++j) {
                        w[j][i] = a.tw[(2 * q * m + j) * h + r];
                        w[2 * m + j][i] = a.tw[(2 * (q + 2) * m + j) * h + r];
                    }
                }
            }
            butterfly(ar, ai, br, bi, rot, w, z);
            for (int i = 0; i < 4; ++i) {
                a.dr[p[i]] = z[0][i];
                a.di[p[i]] = z[1][i];
                a.dr[p[i] + h] = z[2][i];
                a.di[p[i] + h] = z[3][i];
            }
        }
    }
    const bool wraps
        = eb.outside(a.b_lim) || eo.outside(a.o_lim) || (Kind == 1 && et.outside(a.tw_lim));
    return R22Result { wraps, check_ovf && ev.outside(a.ovf_lim) };
}

// The stage with its kind and whether the output quantisation drops bits fixed.
template <bool Round, int Kind, int Parts>
[[gnu::always_inline]] inline R22Result r22_stage_kind(const R22Stage& a)
{
    return a.d > 0 ? r22_stage_body<Round, Kind, true, Parts>(a)
                   : r22_stage_body<Round, Kind, false, Parts>(a);
}

// Only the twiddled stages (kind 1) depend on the twiddle product: Parts 1 (plain), 2 (the
// operand split) or 3 (the twiddle split in three).
template <bool Round, int Parts>
[[gnu::always_inline]] inline R22Result r22_stage_any(const R22Stage& a)
{
    return a.kind == 0 ? r22_stage_kind<Round, 0, 1>(a)
        : a.kind == 1  ? r22_stage_kind<Round, 1, Parts>(a)
                       : r22_stage_kind<Round, 2, 1>(a);
}

// The stage loops for kfft_fp::stage_function() (block floating point plays no part here).
struct R22Loops {
    using Fn = R22Result (*)(const R22Stage&);
    template <bool Round, bool, int Parts>
    [[gnu::noinline]] static R22Result portable(const R22Stage& a)
    {
        return r22_stage_any<Round, Parts>(a);
    }
#if defined(KFFT_X86_DISPATCH)
    template <bool Round, bool, int Parts>
    [[gnu::target("avx2"), gnu::noinline]] static R22Result avx2(const R22Stage& a)
    {
        return r22_stage_any<Round, Parts>(a);
    }
    // The 4-lane stages built for AVX-512F.
    template <bool Round, bool, int Parts>
    [[KFFT_AVX512, gnu::noinline]] static R22Result avx512(const R22Stage& a)
    {
        return r22_stage_any<Round, Parts>(a);
    }
#endif
};

} // namespace

// Twiddles of the double stages (odd stages with a span of 4 or more, not the last) of the
// current frame length in one direction, built once and kept: for stage t, 8 arrays of h,
// real then imaginary parts of W^(q r) for q = 0..3; with a split, each array becomes the
// three arrays of its parts (kfft_fp::split_twiddle()).
const double* R22_pipeline::fp_twiddles(const TWIDDLE_ROM& rom, bool forward, int t, int split)
{
    const size_t m = split ? 3 : 1;
    const int32_t key = nfft_ + 32 * split;
    std::vector<double>& table = fp_twiddles_[forward ? 1 : 0];
    int32_t& built = fp_twiddles_nfft_[forward ? 1 : 0];
    const uint64_t F = uint64_t(1) << (nfft_max_ - nfft_);
    const uint64_t full = uint64_t(1) << nfft_max_;
    auto offset = [&](int stage) {
        size_t at = 0;
        for (int u = 1; u < stage; u += 2)
            at += 8 * m * static_cast<size_t>(npoints_ >> (u + 1));
        return at;
    };
    if (built != key) {
        table.assign(offset(nfft_ + 1), 0.0);
        for (int u = 1; u < nfft_ - 1; u += 2) {
            const int32_t h = npoints_ >> (u + 1);
            double* base = table.data() + offset(u);
            for (int32_t r = 0; r < h; ++r) {
                const uint64_t step = (uint64_t(r) << (u - 1)) * F;
                for (uint64_t q = 0; q < 4; ++q) {
                    const uint64_t i = q * step;
                    const CRaw w = rom.lookup_raw(forward ? (full - i) & (full - 1) : i);
                    const double re = static_cast<double>(w.re), im = static_cast<double>(w.im);
                    if (!split) {
                        base[2 * q * h + r] = re;
                        base[(2 * q + 1) * h + r] = im;
                        continue;
                    }
                    double pr[3], pi[3];
                    kfft_fp::split_twiddle(re, split, pr);
                    kfft_fp::split_twiddle(im, split, pi);
                    for (size_t j = 0; j < 3; ++j) {
                        base[(2 * q * m + j) * h + r] = pr[j];
                        base[((2 * q + 1) * m + j) * h + r] = pi[j];
                    }
                }
            }
        }
        built = key;
    }
    return table.data() + offset(t);
}

template <typename Acc, bool Round>
void R22_pipeline::run_stages(const TWIDDLE_ROM& rom, R22_DIF_PE& pe, bool fp)
{
    const int M = nfft_max_;
    const int nfft = nfft_;
    const int32_t N = npoints_;
    const uint64_t F = uint64_t(1) << (M - nfft);
    const uint64_t full = uint64_t(1) << M;
    const bool forward = direction_ != 0;
    const bool scaled = scaling_ == 1 && bfp_ == 0;
    auto dir = [&](uint64_t i) { return forward ? (full - i) & (full - 1) : i; };
    CRaw* tw = twiddles_.get();
    CRaw out[2];
    const int P = P_;
    // The plan's double stages (B within 2^(P + 1) in magnitude when a stage does not fall
    // back); the twiddle tables hold the parts of a three-part split.
    const R22Loops::Fn fp_stage = kfft_fp::stage_function<R22Loops, Round, false>(plan_);
    const int split = plan_.parts == 3 ? plan_.split : 0;

    for (int t = 0; t < nfft; ++t) {
        const int32_t h = N >> (t + 1);
        const bool last = t == nfft - 1;
        const int sch = static_cast<int>((scaling_sch_ >> (2 * (t / 2))) & 3u);
        int s = 0;
        if (t & 1)
            s = sch;
        else if (last)
            s = sch & 1;
        stage_shifts_[t] = scaled ? s : 0;

        // S = B 2^(3 - s) at P + 2 fraction bits, then L = S >> (P + 2 - Lf): exact for
        // e1 <= 0; otherwise one bit is dropped, which convergent rounding would round twice.
        const int e1 = (P + 2 - pe.Lf_) - (3 - s);
        const bool twice = Round && scaled && last && (t & 1) && e1 > 0;
        if (fp && !twice) {
            const int kind = (t & 1) == 0 ? 0 : last ? 2 : 1;
            R22Stage a {};
            a.sr = mem_re();
            a.si = mem_im();
            a.dr = alt_re_.get();
            a.di = alt_im_.get();
            a.tw = kind == 1 ? fp_twiddles(rom, forward, t, split) : nullptr;
            a.n = N;
            a.h = h;
            a.kind = kind;
            a.last = last;
            a.rotate_sign = forward;
            a.scaled = scaled;
            a.b_lim = std::ldexp(1.0, pe.Bw_ - 1);
            a.tw_lim = std::ldexp(1.0, pe.Tww_ - 1);
            a.o_lim = std::ldexp(1.0, std::min(pe.Bw_, P + 1) - 1);
            a.c_prod = std::ldexp(1.0, -pe.dTw_);
            if (plan_.parts > 1)
                a.wide = kfft_fp::wide_twiddle(plan_.split, pe.dTw_);
            a.largest = std::ldexp(1.0, pe.Bw_ - 1) - 1.0;
            a.pre = 1.0;
            a.d = 0;
            if (kind == 0 && last && scaled) {
                a.d = s; // S = B / 2^s, quantised
                a.ovf_lim = std::ldexp(1.0, P - 1 + s);
            } else if (kind == 1) {
                a.d = pe.G_ - (P - 1) + (scaled ? s : 0);
                a.ovf_lim = std::ldexp(1.0, pe.G_ + s);
            } else if (kind == 2 && scaled) {
                const int d2 = pe.Lf_ - (P - 1);
                a.pre = std::ldexp(1.0, std::max(-e1, 0));
                a.d = std::max(e1, 0) + d2;
                a.ovf_lim = std::ldexp(1.0, P - 1 + s + std::max(-e1, 0));
            }
            const R22Result r = fp_stage(a);
            if (!r.fallback) {
                if (r.overflow)
                    pe.pe_overflow_ = 1;
                swap_memory(alt_re_, alt_im_);
                overflow_ = pe.pe_overflow();
                continue;
            }
        }

        if ((t & 1) == 0) {
            const bool scale_last = last && scaled;
            for (int32_t base = 0; base < N; base += 2 * h) {
                for (int32_t p = base; p < base + h; ++p) {
                    pe.template bf1<Round>(mem_word(p), mem_word(p + h), scale_last, s, out);
                    store_pair(p, h, out);
                }
            }
        } else if (!last) {
            // W_L^(q r), L = N / 2^(t-1): q = 0, 1 upper (even, odd group), 2, 3 lower.
            for (int32_t r = 0; r < h; ++r) {
                const uint64_t step = (uint64_t(r) << (t - 1)) * F;
                for (uint64_t q = 0; q < 4; ++q)
                    tw[4 * r + q] = rom.lookup_raw(dir(q * step));
            }
            for (int32_t g = 0; g < N / (2 * h); ++g) {
                const int32_t p0 = 2 * h * g;
                const int q1 = g & 1;
                for (int32_t r = 0; r < h; ++r) {
                    pe.template bf2_twiddle<Acc, Round>(mem_word(p0 + r), mem_word(p0 + r + h),
                        q1 != 0, tw[4 * r + q1], tw[4 * r + q1 + 2], s, out);
                    store_pair(p0 + r, h, out);
                }
            }
        } else {
            for (int32_t g = 0; g < N / (2 * h); ++g) {
                const int32_t p0 = 2 * h * g;
                for (int32_t r = 0; r < h; ++r) {
                    pe.template bf2_last<Round>(
                        mem_word(p0 + r), mem_word(p0 + r + h), (g & 1) != 0, s, out);
                    store_pair(p0 + r, h, out);
                }
            }
        }
        overflow_ = pe.pe_overflow();
    }
}

void R22_pipeline::store_pair(int32_t p, int32_t h, const CRaw out[2])
{
    set_mem_word(p, CRaw { wrap(out[0].re, P_ + 1), wrap(out[0].im, P_ + 1) });
    set_mem_word(p + h, CRaw { wrap(out[1].re, P_ + 1), wrap(out[1].im, P_ + 1) });
}

void R22_pipeline::normalise(bool fast)
{
    const int32_t N = npoints_;
    double* mr = mem_re();
    double* mi = mem_im();
    // m * 2^(M+1) in [-1, 1) means |raw| within one = 2^(P - M - 2).
    const int64_t one = int64_t(1) << (P_ - nfft_max_ - 2);
    // The largest magnitude A decides the exponent, except when A is one 2^k: then the sign
    // of the word chosen by the scan below does.
    int64_t m = 0;
    bool scan = !fast;
    if (fast) {
        using kfft_simd::load2;
        using kfft_simd::max2;
        using kfft_simd::V2;
        V2 a[4] = {}; // four running maxima (N is a multiple of 4)
        for (int32_t p = 0; p < N; p += 4)
            for (int j = 0; j < 2; ++j) {
                const V2 re = load2(mr + p + 2 * j), im = load2(mi + p + 2 * j);
                a[2 * j] = max2(max2(re, -re), a[2 * j]);
                a[2 * j + 1] = max2(max2(im, -im), a[2 * j + 1]);
            }
        const V2 amax = max2(max2(a[0], a[1]), max2(a[2], a[3]));
        m = static_cast<int64_t>(amax[0] > amax[1] ? amax[0] : amax[1]);
        scan = m >= one && (m & (m - 1)) == 0;
    }
    if (scan) {
        // Largest magnitude, real or imaginary; a later word wins only when strictly larger.
        m = 0;
        for (int32_t p = 0; p < N; ++p) {
            const int64_t re = static_cast<int64_t>(mr[p]), im = static_cast<int64_t>(mi[p]);
            const int64_t c = std::llabs(im) >= std::llabs(re) ? im : re;
            if (std::llabs(c) > std::llabs(m))
                m = c;
        }
    }
    int e = 0;
    while (!(m >= -(one << e) && m < (one << e)))
        ++e;
    blk_exp_ = e;
    if (e == 0)
        return;
    if (fast) {
        // floor(x / 2^e) = round(x 2^-e - 1/2 + 2^-(e+1)), never a tie, exact for words
        // below 2^51.
        using kfft_simd::V2;
        const V2 c = kfft_simd::splat2(std::ldexp(1.0, -e));
        const V2 off = kfft_simd::splat2(0.5 - std::ldexp(1.0, -(e + 1)));
        for (double* w : { mr, mi })
            for (int32_t p = 0; p < N; p += 2) {
                const V2 v = kfft_simd::round_int(kfft_simd::load2(w + p) * c - off);
                __builtin_memcpy(w + p, &v, sizeof v);
            }
        return;
    }
    for (int32_t p = 0; p < N; ++p) {
        mr[p] = static_cast<double>(static_cast<int64_t>(mr[p]) >> e);
        mi[p] = static_cast<double>(static_cast<int64_t>(mi[p]) >> e);
    }
}
