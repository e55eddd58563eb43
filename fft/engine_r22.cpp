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
using kfft_raw::quant_out;
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

}  // namespace

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
// O is TRUNCATE or CONVERGENT_NOSAT; everything else truncates; all wrap.

R22_DIF_PE::R22_DIF_PE(const FFT_CONFIG& cfg, int P, int nfft, int direction)
    : FFT(cfg), P_(P), nfft_pe_(nfft), dir_(direction)
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
    wide_ = Prw_ > 64;
}

R22_DIF_PE::~R22_DIF_PE() = default;

template <typename Acc>
void R22_DIF_PE::butterfly_t(const CRaw& a, const CRaw& b, const CRaw& w1, const CRaw& w2,
                             int t, int g, int s, CRaw out[2])
{
    const int P = P_;
    const bool last = t == nfft_pe_ - 1;
    CRaw B[2];

    if ((t & 1) == 0 || (g & 1) == 0) {
        B[0] = {wrap(a.re + b.re, Bw_), wrap(a.im + b.im, Bw_)};
        B[1] = {wrap(a.re - b.re, Bw_), wrap(a.im - b.im, Bw_)};
    } else if (dir_ != 0) {
        // Lower input rotated by -j.
        B[0] = {wrap(a.re + b.im, Bw_), wrap(a.im - b.re, Bw_)};
        B[1] = {wrap(a.re - b.im, Bw_), wrap(a.im + b.re, Bw_)};
    } else {
        // Lower input rotated by +j.
        B[0] = {wrap(a.re - b.im, Bw_), wrap(a.im + b.re, Bw_)};
        B[1] = {wrap(a.re + b.im, Bw_), wrap(a.im - b.re, Bw_)};
    }

    if ((t & 1) == 0) {
        // BF1. Only the last stage of an odd-length frame scales here.
        if (last && scaled_) {
            for (int q = 0; q < 2; ++q) {
                const int64_t sr = wrap(shl(B[q].re, 8 - s), P + 11);
                const int64_t si = wrap(shl(B[q].im, 8 - s), P + 11);
                if (outside_unit(sr, P + 7) || outside_unit(si, P + 7))
                    pe_overflow_ = 1;
                out[q].re = quant_out(sr, 8, Bw_, round_);
                out[q].im = quant_out(si, 8, Bw_, round_);
            }
        } else {
            out[0] = B[0];
            out[1] = B[1];
        }
        return;
    }

    if (!last) {
        // BF2 followed by the twiddle multiplication.
        const CRaw* W[2] = {&w1, &w2};
        for (int q = 0; q < 2; ++q) {
            const Acc br = B[q].re, bi = B[q].im;
            const Acc g0 = W[q]->re, h0 = W[q]->im;
            Acc pr = wrap(static_cast<Acc>(br * g0 - bi * h0), Prw_);
            Acc pi = wrap(static_cast<Acc>(br * h0 + bi * g0), Prw_);
            pr = wrap(static_cast<Acc>(pr + K_), Prw_);
            pi = wrap(static_cast<Acc>(pi + K_), Prw_);
            const int64_t twr = wrap(static_cast<int64_t>(pr >> dTw_), Tww_);
            const int64_t twi = wrap(static_cast<int64_t>(pi >> dTw_), Tww_);
            if (scaled_) {
                const int64_t sr = wrap(shl(twr, 3 - s), P + 11);
                const int64_t si = wrap(shl(twi, 3 - s), P + 11);
                if (outside_unit(sr, P + 7) || outside_unit(si, P + 7))
                    pe_overflow_ = 1;
                out[q].re = quant_out(sr, 8, Bw_, round_);
                out[q].im = quant_out(si, 8, Bw_, round_);
            } else {
                out[q].re = quant_out(twr, G_ - (P - 1), Bw_, round_);
                out[q].im = quant_out(twi, G_ - (P - 1), Bw_, round_);
            }
        }
        return;
    }

    // BF2 as the last stage of an even-length frame: no twiddle.
    if (scaled_) {
        for (int q = 0; q < 2; ++q) {
            const int64_t sr = wrap(shl(B[q].re, 3 - s), P + 5);
            const int64_t si = wrap(shl(B[q].im, 3 - s), P + 5);
            if (outside_unit(sr, P + 2) || outside_unit(si, P + 2))
                pe_overflow_ = 1;
            const int64_t lr = wrap(sr >> (P + 2 - Lf_), Lw_);
            const int64_t li = wrap(si >> (P + 2 - Lf_), Lw_);
            out[q].re = quant_out(lr, Lf_ - (P - 1), Bw_, round_);
            out[q].im = quant_out(li, Lf_ - (P - 1), Bw_, round_);
        }
    } else {
        out[0] = B[0];
        out[1] = B[1];
    }
}

void R22_DIF_PE::butterfly(const CRaw& a, const CRaw& b, const CRaw& w1, const CRaw& w2, int t,
                           int g, int s, CRaw out[2])
{
    if (wide_)
        butterfly_t<i128>(a, b, w1, w2, t, g, s & 3, out);
    else
        butterfly_t<int64_t>(a, b, w1, w2, t, g, s & 3, out);
}

// ---------------------------------------------------------------------------------------
// R22_pipeline

R22_pipeline::R22_pipeline(const FFT_CONFIG& cfg)
    : FFT(cfg), P_(internal_width_of(cfg)), mem_(new CRaw[kMaxPoints]())
{
    if (P_ < input_width_ || P_ > 51)
        throw std::invalid_argument("R22_pipeline: internal width must be input_width to 51");
}

R22_pipeline::~R22_pipeline() = default;

bool R22_pipeline::set_frame(const FFT_CONFIG& cfg)
{
    const int32_t nfft = cfg.nfft;
    if (nfft < 3 || nfft > nfft_max_ || cfg.npoints != (int32_t(1) << nfft)) {
        frame_ok_ = false;
        return false;
    }
    nfft_ = nfft;
    npoints_ = cfg.npoints;
    input_headroom_ = 32;
    frame_ok_ = true;
    return true;
}

int32_t R22_pipeline::output_position(int32_t k) const
{
    int32_t rev = 0;
    for (int32_t d = 0; d < nfft_; ++d) {
        rev = (rev << 1) | (k & 1);
        k >>= 1;
    }
    return rev;
}

bool R22_pipeline::load_input(int32_t n, double re, double im)
{
    if (!frame_ok_ || n < 0 || n >= npoints_)
        return false;
    if (!(scaling_ == 1 && bfp_ == 0)) {
        // Unscaled and block floating point frames run at full growth.
        re = std::ldexp(re, input_width_ - P_);
        im = std::ldexp(im, input_width_ - P_);
    }
    mem_[n] = CRaw{to_raw(re, P_ + 1, P_ - 1), to_raw(im, P_ + 1, P_ - 1)};
    return true;
}

bool R22_pipeline::read_output(int32_t k, double& re, double& im) const
{
    if (!frame_ok_ || k < 0 || k >= npoints_)
        return false;
    const CRaw& v = mem_[output_position(k)];
    re = std::ldexp(static_cast<double>(v.re), 1 - P_);
    im = std::ldexp(static_cast<double>(v.im), 1 - P_);
    return true;
}

bool R22_pipeline::run(const TWIDDLE_ROM& rom)
{
    if (!frame_ok_ || rom.nfft_max() != nfft_max_ || rom.twiddle_width() != twiddle_width_)
        return false;
    R22_DIF_PE pe(cfg_, P_, nfft_, direction_);
    blk_exp_ = 0;
    overflow_ = 0;
    stage_shifts_.fill(0);
    if (pe.wide_products())
        run_stages<i128>(rom, pe);
    else
        run_stages<int64_t>(rom, pe);
    if (scaling_ == 1 && bfp_ == 1)
        normalise();
    return true;
}

template <typename Acc>
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
    CRaw* mem = mem_.get();
    const CRaw one = rom.lookup_raw(0);
    CRaw out[2];

    for (int t = 0; t < nfft; ++t) {
        stage_ = t;
        const int32_t h = N >> (t + 1);
        const bool last = t == nfft - 1;
        const int sch = static_cast<int>((scaling_sch_ >> (2 * (t / 2))) & 3u);
        int s = 0;
        if (t & 1)
            s = sch;
        else if (last)
            s = sch & 1;
        stage_shifts_[t] = scaled ? s : 0;
        const bool twiddled = (t & 1) && !last;

        for (int32_t g = 0; g < N / (2 * h); ++g) {
            CRaw* p = mem + 2 * h * g;
            // W_L^(q r), L = N / 2^(t-1): q = 0, 1 upper (even, odd group), 2, 3 lower.
            const uint64_t q1 = g & 1;
            const uint64_t q2 = q1 + 2;
            for (int32_t r = 0; r < h; ++r) {
                CRaw w1 = one, w2 = one;
                if (twiddled) {
                    const uint64_t step = (uint64_t(r) << (t - 1)) * F;
                    w1 = rom.lookup_raw(dir(q1 * step));
                    w2 = rom.lookup_raw(dir(q2 * step));
                }
                pe.template butterfly_t<Acc>(p[r], p[r + h], w1, w2, t, g, s, out);
                p[r] = CRaw{wrap(out[0].re, P_ + 1), wrap(out[0].im, P_ + 1)};
                p[r + h] = CRaw{wrap(out[1].re, P_ + 1), wrap(out[1].im, P_ + 1)};
            }
        }
        butterfly_ = N / 2;
        overflow_ = pe.pe_overflow();
    }
}

void R22_pipeline::normalise()
{
    const int32_t N = npoints_;
    CRaw* mem = mem_.get();
    // Largest magnitude, real or imaginary; a later word wins only when strictly larger.
    int64_t m = 0;
    for (int32_t p = 0; p < N; ++p) {
        const int64_t re = mem[p].re, im = mem[p].im;
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
        mem[p].re >>= e;
        mem[p].im >>= e;
    }
}
