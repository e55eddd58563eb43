// Radix-2 burst engine (also the lite architecture): one radix-2 decimation-in-time
// butterfly applied to nfft stages of a bit-reversed frame held in place.
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
    , round_(rounding_ != 0)
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
    // register holds any product of its operand formats exactly; only T can wrap.
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

void R2_DIT_PE::butterfly(const CRaw x[2], const CRaw& w, int shift, CRaw z[2])
{
    if (wide_)
        round_ ? butterfly_t<i128, true>(x, w, shift & 3, z)
               : butterfly_t<i128, false>(x, w, shift & 3, z);
    else
        round_ ? butterfly_t<int64_t, true>(x, w, shift & 3, z)
               : butterfly_t<int64_t, false>(x, w, shift & 3, z);
}

// ---------------------------------------------------------------------------------------
// R2_loop

R2_loop::R2_loop(const FFT_CONFIG& cfg)
    : FFT(cfg)
    , twiddles_(new CRaw[(size_t(1) << cfg.C_NFFT_MAX) / 2]())
{
    // Unscaled words leave room for the full growth of the largest transform.
    set_memory(data_width_, data_width_ - 1, scaling_ ? 0 : data_width_ - input_width_,
        Order::BitReversed, Order::Natural, true);
}

R2_loop::~R2_loop() = default;

bool R2_loop::set_frame(const FFT_CONFIG& cfg) { return start_frame(cfg, 3); }

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

template <typename Acc, bool Round, bool Bfp>
void R2_loop::run_stages(const TWIDDLE_ROM& rom, R2_DIT_PE& pe)
{
    const int M = nfft_max_;
    const int32_t N = npoints_;
    const uint64_t F = uint64_t(1) << (M - nfft_);
    const uint64_t full = uint64_t(1) << M;
    const bool forward = direction_ != 0;
    const int W = data_width_;

    blk_exp_ = 0;
    overflow_ = 0;
    stage_shifts_.fill(0);
    int32_t shift_reg = std::max(1 - input_headroom_, 0);
    CRaw* tw = twiddles_.get();
    CRaw x[2], z[2];

    for (int t = 0; t < nfft_; ++t) {
        int s = 0;
        if (scaling_)
            s = bfp_ ? shift_reg : static_cast<int>((scaling_sch_ >> (2 * t)) & 3u);
        blk_exp_ += s;
        stage_shifts_[t] = s;
        shift_reg = 0;
        int64_t max_key = 0;

        // Sub-transforms of length 2L combine two of length L = 2^t.
        const int32_t L = int32_t(1) << t;
        for (int32_t k = 0; k < L; ++k) {
            const uint64_t i = F * (uint64_t(k) << (nfft_ - 1 - t));
            tw[k] = rom.lookup_raw(forward ? (full - i) & (full - 1) : i);
        }
        for (int32_t base = 0; base < N; base += 2 * L) {
            for (int32_t k = 0; k < L; ++k) {
                const int32_t p = base + k;
                x[0] = mem_word(p);
                x[1] = mem_word(p + L);
                pe.template butterfly_t<Acc, Round>(x, tw[k], s, z);
                set_mem_word(p, z[0]);
                set_mem_word(p + L, z[1]);
                if (Bfp)
                    max_key = std::max({ max_key, class_key(z[0].re), class_key(z[0].im),
                        class_key(z[1].re), class_key(z[1].im) });
            }
        }
        // Bounds 53/128 and 106/128; there is no class 3.
        shift_reg = bfp_class(max_key, W, 53, 106, 1 << 30);
    }
    overflow_ = pe.pe_overflow();
}
