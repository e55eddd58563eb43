// Pipelined streaming engine: radix-2^2 decimation in frequency, stage by stage over a
// frame in natural order; the spectrum is left in bit-reversed order.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <type_traits>

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

R22_DIF_PE::R22_DIF_PE(const FFT_CONFIG& cfg, int P, int direction)
    : FFT(cfg)
    , P_(P)
    , dir_(direction)
{
    scaled_ = scaling_ == 1 && bfp_ == 0;
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
// operand split in two, else the twiddle in three. With the operand split, a twiddled stage
// still takes whole products when the words measured by the stage before allow them
// (run_stages()).
kfft::PathPlan R22_pipeline::make_plan() const
{
    using namespace kfft::bounds;
    kfft::PathPlan p;
    p.loops = kfft::vector_level(path_);
    const int P = P_, TW = twiddle_width_;
    if (path_ == Path::Integer)
        return p;
    const R22_DIF_PE pe(cfg_, P, 1);
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
    R22_DIF_PE pe(cfg_, P_, direction_);
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

using kfft_simd::M4;
using kfft_simd::V4;

// One stage on exact doubles. Instead of every register being checked against its format,
// one running magnitude per stage is compared with the largest value that can neither wrap
// nor overflow (kfft::bounds, the pipelined stage checks): the stage falls back to the integer
// registers beyond it, so neither wrapping nor the overflow flag has to be modelled here.
struct R22Stage {
    const double* sr;
    const double* si;
    double* dr;
    double* di;
    const double* tw; // odd stages: 8 arrays of h, real and imaginary parts of W^(q r)
    int32_t n, h;
    bool rotate_sign; // forward: the odd groups' lower input is rotated by -j
    double lim; // largest magnitude of the checked values (see R22Result)
    double b_lim; // unscaled twiddled stages: largest butterfly output magnitude
    double c_prod; // 2^-dTw
    double k0; // plain truncated products: K - 2^(D-1) + 1/2, D = dTw + d
    double c_out; // 2^-d (plain truncated products: 2^-D)
    double bias; // 2^(d-1) - 1/2: turns rounding to nearest into a floor
    double pre; // last-stage BF2: the exact power of two from B to the last-stage intermediate
    double largest; // largest output word 2^(Bw - 1) - 1
    kfft_fp::WideTwiddle wide; // operand or twiddle split (Parts 2 and 3)
};

// fallback: some checked value beyond its limit (the stage runs again on integers). The
// checked values are the stage outputs (BF1 not last), the butterfly outputs (last stage, and
// in scaled mode also the first stage of an odd-length frame) or the twiddled outputs (in
// units of the outputs for plain truncated products). largest: their largest magnitude (for
// a BF1 stage, not last, that of its output words: the next stage's inputs).
struct R22Result {
    bool fallback;
    double largest;
};

// Lane count and mask type of a vector of doubles (4 lanes; 8 in the loops built for
// AVX-512F).
template <class V> struct VecTraits;
template <> struct VecTraits<V4> {
    using M = M4;
    static constexpr int L = 4;
};
#if defined(KFFT_X86_DISPATCH)
template <> struct VecTraits<kfft_simd::V8> {
    using M = kfft_simd::M8;
    static constexpr int L = 8;
};
#endif

template <class V> [[gnu::always_inline]] inline V vload(const double* p)
{
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V> [[gnu::always_inline]] inline void vstore(double* p, const V& v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

template <class V> [[gnu::always_inline]] inline V vabs(const V& v)
{
    using M = typename VecTraits<V>::M;
    return (V)((M)v & (M {} + INT64_MAX));
}

template <class V, class M>
[[gnu::always_inline]] inline V vselect(const M& m, const V& a, const V& b)
{
    return (V)((m & (M)a) | (~m & (M)b));
}

template <class V> [[gnu::always_inline]] inline V vmax(const V& a, const V& b)
{
    return a > b ? a : b;
}

// Running largest magnitude of four vectors (a tree: one step on the loop-carried chain).
template <class V>
[[gnu::always_inline]] inline V max_abs(const V& m, const V& a, const V& b, const V& c, const V& d)
{
    return vmax(m, vmax(vmax(vabs(a), vabs(b)), vmax(vabs(c), vabs(d))));
}

template <class V> [[gnu::always_inline]] inline double lane_max(const V& v)
{
    double k = v[0];
    for (int i = 1; i < VecTraits<V>::L; ++i)
        k = v[i] > k ? v[i] : k;
    return k;
}

// Spans below the lane count: 2L words x0, x1 hold L butterflies of span h, taken apart into
// upper and lower inputs (unzip) and put back together (zip) by lane shuffles.
template <class V>
[[gnu::always_inline]] inline void unzip(const V& x0, const V& x1, int h, V& u, V& l)
{
    if constexpr (VecTraits<V>::L == 4) {
        if (h == 2) {
            u = __builtin_shufflevector(x0, x1, 0, 1, 4, 5);
            l = __builtin_shufflevector(x0, x1, 2, 3, 6, 7);
        } else {
            u = __builtin_shufflevector(x0, x1, 0, 2, 4, 6);
            l = __builtin_shufflevector(x0, x1, 1, 3, 5, 7);
        }
    } else {
        if (h == 4) {
            u = __builtin_shufflevector(x0, x1, 0, 1, 2, 3, 8, 9, 10, 11);
            l = __builtin_shufflevector(x0, x1, 4, 5, 6, 7, 12, 13, 14, 15);
        } else if (h == 2) {
            u = __builtin_shufflevector(x0, x1, 0, 1, 4, 5, 8, 9, 12, 13);
            l = __builtin_shufflevector(x0, x1, 2, 3, 6, 7, 10, 11, 14, 15);
        } else {
            u = __builtin_shufflevector(x0, x1, 0, 2, 4, 6, 8, 10, 12, 14);
            l = __builtin_shufflevector(x0, x1, 1, 3, 5, 7, 9, 11, 13, 15);
        }
    }
}

template <class V> [[gnu::always_inline]] inline void zip(const V& u, const V& l, int h, double* p)
{
    if constexpr (VecTraits<V>::L == 4) {
        if (h == 2) {
            vstore(p, V(__builtin_shufflevector(u, l, 0, 1, 4, 5)));
            vstore(p + 4, V(__builtin_shufflevector(u, l, 2, 3, 6, 7)));
        } else {
            vstore(p, V(__builtin_shufflevector(u, l, 0, 4, 1, 5)));
            vstore(p + 4, V(__builtin_shufflevector(u, l, 2, 6, 3, 7)));
        }
    } else {
        if (h == 4) {
            vstore(p, V(__builtin_shufflevector(u, l, 0, 1, 2, 3, 8, 9, 10, 11)));
            vstore(p + 8, V(__builtin_shufflevector(u, l, 4, 5, 6, 7, 12, 13, 14, 15)));
        } else if (h == 2) {
            vstore(p, V(__builtin_shufflevector(u, l, 0, 1, 8, 9, 2, 3, 10, 11)));
            vstore(p + 8, V(__builtin_shufflevector(u, l, 4, 5, 12, 13, 6, 7, 14, 15)));
        } else {
            vstore(p, V(__builtin_shufflevector(u, l, 0, 8, 1, 9, 2, 10, 3, 11)));
            vstore(p + 8, V(__builtin_shufflevector(u, l, 4, 12, 5, 13, 6, 14, 7, 15)));
        }
    }
}

// Kind: 0 BF1, 1 BF2 with twiddles, 2 BF2 of the last stage. Drop: the output quantisation
// drops bits. Parts: twiddle products whole (1), operand split (2), twiddle in three (3).
// CheckB: the butterfly outputs of a twiddled stage may wrap (unscaled, large inputs). V: 4
// or 8 lanes (frames of at least 2 V).
template <bool Round, int Kind, bool Drop, int Parts, bool CheckB, class V>
[[gnu::always_inline]] inline R22Result r22_stage_body(const R22Stage& a)
{
    using M = typename VecTraits<V>::M;
    constexpr int L = VecTraits<V>::L;
    const V largest = V {} + a.largest, c = V {} + a.c_prod, c_out = V {} + a.c_out;
    const V bias = V {} + a.bias, k0 = V {} + a.k0, pre = V {} + a.pre;
    // Locals: the compiler need not reload them after every store.
    const double* const sr = a.sr;
    const double* const si = a.si;
    double* const dr = a.dr;
    double* const di = a.di;
    const double* const tw = a.tw;
    const bool rotate_sign = a.rotate_sign;
    const kfft_fp::WideTwiddle wide = a.wide;
    V m {}, mb {};
    // Output quantisation of values v with d fraction bits: floor, or convergent (never up
    // from the largest word).
    auto quant = [&](const V& v) __attribute__((always_inline))
    {
        if (!Drop)
            return v;
        if (Round) {
            const V z = kfft_simd::round_int(v * c_out);
            return z < largest ? z : largest;
        }
        return kfft_simd::round_int((v - bias) * c_out);
    };
    // Twiddled output of one lane pair for the plain products: floor((S + K) / 2^D) in one
    // rounding when truncating; the twiddled operand Tw otherwise.
    auto product
        = [&](const V& br, const V& bi, const V* w, V& tr, V& ti) __attribute__((always_inline))
    {
        if (Parts == 3) {
            kfft_fp::twiddle_parts(br, bi, w, w + 3, wide, tr, ti);
        } else if (Parts == 2) {
            kfft_fp::twiddle_operand_split(br, bi, w[0], w[1], wide, tr, ti);
        } else if (Round) {
            kfft_fp::twiddle(br, bi, w[0], w[1], c, tr, ti);
        } else {
            tr = (br * w[0] - bi * w[1] + k0) * c_out;
            ti = (br * w[1] + bi * w[0] + k0) * c_out;
        }
    };
    constexpr bool kFused = Kind == 1 && Parts == 1 && !Round;
    // Butterfly of L lanes: upper and lower inputs, rotation (Rot 0: none, 1: every lane,
    // 2: the lanes of rot), twiddles of the upper and lower outputs; z: the two outputs.
    auto butterfly = [&](auto rot_mode, const V& ar, const V& ai, const V& br, const V& bi,
        const M& rot, const V* w, V* z) __attribute__((always_inline))
    {
        constexpr int Rot = decltype(rot_mode)::value;
        V lr = br, li = bi;
        if (Rot != 0) {
            // Rotated lower input: -j b (forward) or +j b (inverse).
            const V rr = rotate_sign ? bi : -bi;
            const V ri = rotate_sign ? -br : br;
            lr = Rot == 1 ? rr : vselect(rot, rr, br);
            li = Rot == 1 ? ri : vselect(rot, ri, bi);
        }
        V v0r = ar + lr, v0i = ai + li, v1r = ar - lr, v1i = ai - li;
        if (Kind == 1) {
            if (CheckB)
                mb = max_abs(mb, v0r, v0i, v1r, v1i);
            constexpr int k = Parts == 3 ? 6 : 2;
            const V b0r = v0r, b0i = v0i, b1r = v1r, b1i = v1i;
            product(b0r, b0i, w, v0r, v0i);
            product(b1r, b1i, w + k, v1r, v1i);
            m = max_abs(m, v0r, v0i, v1r, v1i);
            if (kFused) {
                z[0] = kfft_simd::round_int(v0r);
                z[1] = kfft_simd::round_int(v0i);
                z[2] = kfft_simd::round_int(v1r);
                z[3] = kfft_simd::round_int(v1i);
                return;
            }
        } else {
            m = max_abs(m, v0r, v0i, v1r, v1i);
            if (Kind == 2) {
                v0r = v0r * pre;
                v0i = v0i * pre;
                v1r = v1r * pre;
                v1i = v1i * pre;
            }
        }
        z[0] = quant(v0r);
        z[1] = quant(v0i);
        z[2] = quant(v1r);
        z[3] = quant(v1i);
    };
    using None = std::integral_constant<int, 0>;
    using All = std::integral_constant<int, 1>;
    using Lanes = std::integral_constant<int, 2>;
    const int32_t n = a.n, h = a.h;
    // Twiddles of the upper and lower outputs, real then imaginary parts (each as its three
    // parts when Parts is 3).
    constexpr int mp = Parts == 3 ? 3 : 1;
    V z[4], w[4 * mp] = {};
    const M none {};
    if (h >= L) {
        for (int32_t g = 0; g < n / (2 * h); ++g) {
            const int32_t p0 = 2 * h * g;
            const bool odd = (g & 1) != 0;
            // Stages without twiddles have none (a.tw is null): no pointer is formed there.
            const double* gu = Kind == 1 ? tw + (odd ? 1 : 0) * 2 * mp * h : nullptr;
            const double* gl = Kind == 1 ? tw + (odd ? 3 : 2) * 2 * mp * h : nullptr;
            auto group = [&](auto rot_mode) __attribute__((always_inline))
            {
                for (int32_t r = 0; r < h; r += L) {
                    const int32_t p = p0 + r;
                    if (Kind == 1)
                        for (int i = 0; i < 2 * mp; ++i) {
                            w[i] = vload<V>(gu + i * h + r);
                            w[2 * mp + i] = vload<V>(gl + i * h + r);
                        }
                    butterfly(rot_mode, vload<V>(sr + p), vload<V>(si + p), vload<V>(sr + p + h),
                        vload<V>(si + p + h), none, w, z);
                    vstore(dr + p, z[0]);
                    vstore(di + p, z[1]);
                    vstore(dr + p + h, z[2]);
                    vstore(di + p + h, z[3]);
                }
            };
            if (Kind != 0 && odd)
                group(All {});
            else
                group(None {});
        }
    } else {
        // Lane i takes butterfly j + i of group (j + i) / h, twiddle index r = i mod h (j a
        // multiple of L: the groups' parity is that of i / h). Span 1 is the last stage: no
        // twiddles there.
        M rot;
        for (int i = 0; i < L; ++i) {
            const int q = (i / h) & 1, r = i % h;
            rot[i] = q ? -1 : 0;
            if (Kind == 1)
                for (int j = 0; j < 2 * mp; ++j) {
                    w[j][i] = tw[(2 * q * mp + j) * h + r];
                    w[2 * mp + j][i] = tw[(2 * (q + 2) * mp + j) * h + r];
                }
        }
        for (int32_t p = 0; p < n; p += 2 * L) {
            V ar, ai, br, bi;
            unzip(vload<V>(sr + p), vload<V>(sr + p + L), h, ar, br);
            unzip(vload<V>(si + p), vload<V>(si + p + L), h, ai, bi);
            if (Kind != 0)
                butterfly(Lanes {}, ar, ai, br, bi, rot, w, z);
            else
                butterfly(None {}, ar, ai, br, bi, rot, w, z);
            zip(z[0], z[2], h, dr + p);
            zip(z[1], z[3], h, di + p);
        }
    }
    const double mm = lane_max(m);
    const bool fallback = mm > a.lim || (CheckB && lane_max(mb) > a.b_lim);
    return R22Result { fallback, mm };
}

// The stage with its kind and whether the output quantisation drops bits fixed.
template <bool Round, int Kind, int Parts, bool CheckB, class V>
[[gnu::always_inline]] inline R22Result r22_stage_kind(const R22Stage& a, bool drop)
{
    return drop ? r22_stage_body<Round, Kind, true, Parts, CheckB, V>(a)
                : r22_stage_body<Round, Kind, false, Parts, CheckB, V>(a);
}

// Only the twiddled stages (kind 1) depend on the twiddle product and on whether their
// butterfly outputs are checked; their outputs always drop bits.
template <bool Round, int Parts, class V>
[[gnu::always_inline]] inline R22Result r22_stage_any(
    const R22Stage& a, int kind, bool drop, bool check_b)
{
    if (kind == 1)
        return check_b ? r22_stage_body<Round, 1, true, Parts, true, V>(a)
                       : r22_stage_body<Round, 1, true, Parts, false, V>(a);
    return kind == 0 ? r22_stage_kind<Round, 0, 1, false, V>(a, drop)
                     : r22_stage_kind<Round, 2, 1, false, V>(a, drop);
}

// The stage loops for kfft_fp::stage_function() (block floating point plays no part here).
struct R22Loops {
    using Fn = R22Result (*)(const R22Stage&, int, bool, bool);
    template <bool Round, bool, int Parts>
    [[gnu::noinline]] static R22Result portable(
        const R22Stage& a, int kind, bool drop, bool check_b)
    {
        return r22_stage_any<Round, Parts, V4>(a, kind, drop, check_b);
    }
#if defined(KFFT_X86_DISPATCH)
    template <bool Round, bool, int Parts>
    [[gnu::target("avx2"), gnu::noinline]] static R22Result avx2(
        const R22Stage& a, int kind, bool drop, bool check_b)
    {
        return r22_stage_any<Round, Parts, V4>(a, kind, drop, check_b);
    }
    // Eight lanes; frames of 8 points, shorter than two vectors, take four.
    template <bool Round, bool, int Parts>
    [[KFFT_AVX512, gnu::noinline]] static R22Result avx512(
        const R22Stage& a, int kind, bool drop, bool check_b)
    {
        if (a.n < 16)
            return r22_stage_any<Round, Parts, V4>(a, kind, drop, check_b);
        return r22_stage_any<Round, Parts, kfft_simd::V8>(a, kind, drop, check_b);
    }
#endif
};

} // namespace

namespace {

// 2^e for -1022 <= e <= 1023, exactly (the stage constants, set once per stage).
inline double pow2(int e)
{
    const uint64_t bits = static_cast<uint64_t>(e + 1023) << 52;
    double x;
    __builtin_memcpy(&x, &bits, sizeof x);
    return x;
}

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
    // The plan's double stages; the twiddle tables hold the parts of a three-part split. A
    // twiddled stage takes whole products instead of the plan's split when the magnitude of
    // its inputs allows them (plans with whole or operand-split products).
    const R22Loops::Fn fp_stage = kfft_fp::stage_function<R22Loops, Round, false>(plan_);
    kfft::PathPlan whole_plan = plan_;
    whole_plan.parts = 1;
    const R22Loops::Fn fp_whole = kfft_fp::stage_function<R22Loops, Round, false>(whole_plan);
    const int split = plan_.parts == 3 ? plan_.split : 0;
    const int TW = twiddle_width_;
    // A bound on the magnitude of the memory words: the memory width, until a double stage
    // has measured its outputs.
    const double word_max = pow2(P);
    const kfft_fp::WideTwiddle wide
        = plan_.parts > 1 ? kfft_fp::wide_twiddle(plan_.split, pe.dTw_) : kfft_fp::WideTwiddle {};
    double in_max = word_max;
    stage_parts_.fill(-1);

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
        const int kind = (t & 1) == 0 ? 0 : last ? 2 : 1;

        // S = B 2^(3 - s) at P + 2 fraction bits, then L = S >> (P + 2 - Lf): exact for
        // e1 <= 0; otherwise one bit is dropped, which convergent rounding would round twice.
        const int e1 = (P + 2 - pe.Lf_) - (3 - s);
        const bool twice = Round && scaled && last && (t & 1) && e1 > 0;
        if (fp && !twice) {
            using namespace kfft::bounds;
            // Butterfly outputs within 2 in_max.
            const bool whole = plan_.parts == 1
                || (plan_.parts == 2 && 2 * in_max <= pow2(kPipelinedProductBits - 1 - TW));
            const bool fused = kind == 1 && whole && !Round;
            R22Stage a {};
            a.sr = mem_re();
            a.si = mem_im();
            a.dr = alt_re_.get();
            a.di = alt_im_.get();
            a.tw = kind == 1 ? fp_twiddles(rom, forward, t, split) : nullptr;
            a.n = N;
            a.h = h;
            a.rotate_sign = forward;
            a.c_prod = pow2(-pe.dTw_);
            a.wide = wide;
            a.largest = pow2(pe.Bw_ - 1) - 1.0;
            a.pre = 1.0;
            // Bits dropped by the output quantisation, and the largest magnitude of the
            // checked values (see kfft::bounds).
            int d = 0;
            double lim = pow2(scaled ? P : P - 1) - 1.0;
            if (kind == 0 && last && scaled) {
                d = s; // S = B / 2^s, quantised
                lim = pow2(P - 1 + s) - 1.0;
            } else if (kind == 1) {
                d = pe.G_ - (P - 1) + (scaled ? s : 0);
                lim = fused ? pow2(P - 1) - 0.5 : pow2(scaled ? pe.G_ + s : pe.Tww_ - 1) - 1.0;
            } else if (kind == 2 && scaled) {
                const int d2 = pe.Lf_ - (P - 1);
                a.pre = pow2(std::max(-e1, 0));
                d = std::max(e1, 0) + d2;
                lim = pow2(P - 1 + s) - 1.0;
            }
            a.lim = lim;
            a.b_lim = pow2(P - 1) - 1.0;
            a.c_out = pow2(-d);
            a.bias = d > 0 ? pow2(d - 1) - 0.5 : 0.0;
            if (fused) {
                // floor((S + K) / 2^D) = round((S + k0) / 2^D), never a tie.
                const int D = pe.dTw_ + d;
                a.c_out = pow2(-D);
                a.k0 = static_cast<double>(pe.K_) - pow2(D - 1) + 0.5;
            }
            const bool check_b = kind == 1 && !scaled && 2 * in_max > a.b_lim;
            const R22Result r = (whole ? fp_whole : fp_stage)(a, kind, d > 0, check_b);
            if (!r.fallback) {
                swap_memory(alt_re_, alt_im_);
                // A twiddled stage's inputs come from a BF1 stage, which measures them.
                in_max = kind == 0 ? r.largest : word_max;
                if (kind == 1)
                    stage_parts_[t] = whole ? 1 : plan_.parts;
                continue;
            }
        }
        in_max = word_max;
        if (kind == 1)
            stage_parts_[t] = 0;

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
