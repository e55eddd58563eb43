// Radix-4 burst engine: one radix-4 decimation-in-time butterfly applied stage by stage to
// a digit-reversed frame held in place; for odd nfft the last stage is radix-2.
#include <algorithm>
#include <cmath>

#include "engines.h"

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
    , round_(rounding_ != 0)
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
    // product register holds any product of its operand formats exactly, so only the
    // narrowing to T can wrap.
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

void R4_DIT_PE::butterfly(const CRaw x[4], const CRaw w[3], bool radix2, int shift, CRaw z[4])
{
    if (wide_)
        round_ ? butterfly_t<i128, true>(x, w, radix2, shift & 3, z)
               : butterfly_t<i128, false>(x, w, radix2, shift & 3, z);
    else
        round_ ? butterfly_t<int64_t, true>(x, w, radix2, shift & 3, z)
               : butterfly_t<int64_t, false>(x, w, radix2, shift & 3, z);
}

// ---------------------------------------------------------------------------------------
// R4_loop

R4_loop::R4_loop(const FFT_CONFIG& cfg)
    : FFT(cfg)
    , twiddles_(new CRaw[3 * ((size_t(1) << cfg.C_NFFT_MAX) / 4)]())
{
    // Unscaled words leave room for the full growth of the largest transform.
    set_memory(data_width_, data_width_ - 1, scaling_ ? 0 : data_width_ - input_width_,
        Order::DigitReversed4, Order::Natural, true);
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

    blk_exp_ = 0;
    overflow_ = 0;
    stage_shifts_.fill(0);
    int32_t shift_reg = std::max(2 - input_headroom_, 0);
    CRaw x[4], z[4];

    for (int t = 0; t < R + odd; ++t) {
        int s = 0;
        if (scaling_)
            s = bfp_ ? shift_reg : static_cast<int>((scaling_sch_ >> (2 * t)) & 3u);
        blk_exp_ += s;
        stage_shifts_[t] = s;
        shift_reg = 0;
        int64_t max_key = 0;

        if (t < R) {
            // Sub-transforms of length 4^(t+1) combine four of length L = 4^t.
            const int32_t L = int32_t(1) << (2 * t);
            const int32_t span = 4 * L;
            CRaw* tw = twiddles_.get();
            for (int32_t k = 0; k < L; ++k) {
                uint64_t e = uint64_t(k) << (2 * (R - 1 - t));
                if (odd)
                    e <<= 1;
                const uint64_t i1 = F * e;
                tw[3 * k + 0] = rom.lookup_raw(dir(i1));
                tw[3 * k + 1] = rom.lookup_raw(dir(2 * i1));
                tw[3 * k + 2] = rom.lookup_raw(dir(3 * i1));
            }
            for (int32_t base = 0; base < N; base += span) {
                for (int32_t k = 0; k < L; ++k) {
                    const int32_t p = base + k;
                    for (int q = 0; q < 4; ++q)
                        x[q] = mem_word(p + q * L);
                    pe.template butterfly_t<Acc, Round>(x, tw + 3 * k, false, s, z);
                    // The inverse butterfly swaps X1 and X3.
                    set_mem_word(p, z[0]);
                    set_mem_word(p + L, forward ? z[1] : z[3]);
                    set_mem_word(p + 2 * L, z[2]);
                    set_mem_word(p + 3 * L, forward ? z[3] : z[1]);
                    if (Bfp)
                        for (int q = 0; q < 4; ++q)
                            max_key = std::max({ max_key, class_key(z[q].re), class_key(z[q].im) });
                }
            }
        } else {
            // Radix-2 stage: even-sample half element e with odd-sample half element e,
            // and the same for e + 2.
            const int32_t half = N / 2;
            CRaw w[3];
            w[1] = rom.lookup_raw(0);
            for (int32_t b = 0; b < N / 4; ++b) {
                const int32_t e = 2 * b - (b & 1);
                w[0] = rom.lookup_raw(dir(F * uint64_t(e)));
                w[2] = rom.lookup_raw(dir(F * uint64_t(e + 2)));
                x[0] = mem_word(e);
                x[1] = mem_word(e + half);
                x[2] = mem_word(e + 2);
                x[3] = mem_word(e + 2 + half);
                pe.template butterfly_t<Acc, Round>(x, w, true, s, z);
                set_mem_word(e, z[0]);
                set_mem_word(e + half, z[2]);
                set_mem_word(e + 2, z[1]);
                set_mem_word(e + 2 + half, z[3]);
                if (Bfp)
                    for (int q = 0; q < 4; ++q)
                        max_key = std::max({ max_key, class_key(z[q].re), class_key(z[q].im) });
            }
        }
        // Bounds 24/128, 48/128 and 97/128.
        shift_reg = bfp_class(max_key, W, 24, 48, 97);
        overflow_ = pe.pe_overflow();
    }
}
