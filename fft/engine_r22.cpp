// Pipelined streaming engine: radix-2^2 decimation in frequency, stage by stage over a
// frame in natural order; the spectrum is left in bit-reversed order.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "engines.h"

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
    : FFT(cfg)
    , P_(internal_width_of(cfg))
    , twiddles_(new CRaw[size_t(1) << cfg.C_NFFT_MAX]())
{
    if (P_ < input_width_ || P_ > 51)
        throw std::invalid_argument("R22_pipeline: internal width must be input_width to 51");
    // Unscaled and block floating point frames run at full growth.
    set_memory(P_ + 1, P_ - 1, (scaling_ == 1 && bfp_ == 0) ? 0 : P_ - input_width_,
        Order::Natural, Order::BitReversed, false);
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
    if (pe.wide_products())
        dispatch<i128>(rom, pe);
    else
        dispatch<int64_t>(rom, pe);
    if (scaling_ == 1 && bfp_ == 1)
        normalise();
    return true;
}

template <typename Acc> void R22_pipeline::dispatch(const TWIDDLE_ROM& rom, R22_DIF_PE& pe)
{
    if (rounding_)
        run_stages<Acc, true>(rom, pe);
    else
        run_stages<Acc, false>(rom, pe);
}

template <typename Acc, bool Round>
void R22_pipeline::run_stages(const TWIDDLE_ROM& rom, R22_DIF_PE& pe)
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

void R22_pipeline::normalise()
{
    const int32_t N = npoints_;
    double* mr = mem_re();
    double* mi = mem_im();
    // Largest magnitude, real or imaginary; a later word wins only when strictly larger.
    int64_t m = 0;
    for (int32_t p = 0; p < N; ++p) {
        const int64_t re = static_cast<int64_t>(mr[p]), im = static_cast<int64_t>(mi[p]);
        const int64_t c = std::llabs(im) >= std::llabs(re) ? im : re;
        if (std::llabs(c) > std::llabs(m))
            m = c;
    }
    // m * 2^(M+1) in [-1, 1) means |raw| within one = 2^(P - M - 2).
    const int64_t one = int64_t(1) << (P_ - nfft_max_ - 2);
    int e = 0;
    while (!(m >= -(one << e) && m < (one << e)))
        ++e;
    blk_exp_ = e;
    if (e == 0)
        return;
    for (int32_t p = 0; p < N; ++p) {
        mr[p] = static_cast<double>(static_cast<int64_t>(mr[p]) >> e);
        mi[p] = static_cast<double>(static_cast<int64_t>(mi[p]) >> e);
    }
}
