// Twiddle table and the engine base class.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engines.h"

namespace {

// A signed KFix of w bits with f fraction bits holding zero.
KFix make_format(int w, int f, int quant, int ovfl) { return KFix(0.0, w, f, SIGNED, quant, ovfl); }

// Raw integer of a KFix whose value is an exact multiple of 2^-f and below 2^53 units.
int64_t raw_of(const KFix& v, int f) { return static_cast<int64_t>(std::ldexp(v.toDouble(), f)); }

} // namespace

// ---------------------------------------------------------------------------------------
// TWIDDLE_ROM

TWIDDLE_ROM::TWIDDLE_ROM(int32_t nfft_max, int32_t twiddle_width)
    : M_(nfft_max)
    , TW_(twiddle_width)
    , full_mask_(0)
    , quarter_mask_(0)
{
    if (nfft_max < 3 || nfft_max > 16)
        throw std::invalid_argument("TWIDDLE_ROM: nfft_max must be 3 to 16");
    if (twiddle_width < 8 || twiddle_width > 34)
        throw std::invalid_argument("TWIDDLE_ROM: twiddle_width must be 8 to 34");
    full_mask_ = (uint64_t(1) << M_) - 1;
    quarter_mask_ = (uint64_t(1) << (M_ - 2)) - 1;

    // Table entries round to nearest, ties to even, and saturate; +1.0 is exact in a
    // format with two integer bits.
    const KFix fmt = make_format(TW_ + 1, TW_ - 1, CONVERGENT, SATURATE);
    result_.setFormat(fmt);

    const int32_t count = (int32_t(1) << (M_ - 2)) + 1;
    table_.reserve(static_cast<size_t>(count));
    raw_.reserve(static_cast<size_t>(count));
    const double span = std::ldexp(1.0, M_);
    for (int32_t k = 0; k < count; ++k) {
        const double x = k * 6.283185307179586 / span;
        KFix re = fmt;
        KFix im = fmt;
        re = std::cos(x);
        im = std::sin(x);
        raw_.push_back(kfft_raw::CRaw { raw_of(re, TW_ - 1), raw_of(im, TW_ - 1) });
        table_.emplace_back(re, im);
    }
}

TWIDDLE_ROM::~TWIDDLE_ROM() = default;

KFixComplex TWIDDLE_ROM::lookup(uint64_t i) const
{
    const uint64_t j = i & full_mask_;
    const bool h = (j >> (M_ - 1)) & 1;
    const bool q = (j >> (M_ - 2)) & 1;
    uint64_t m = j & quarter_mask_;
    if (q)
        m = (quarter_mask_ + 1) - m;
    const KFixComplex& e = table_[m];
    // Negation is exact in the twiddle format.
    if (q != h)
        result_.re = -e.re;
    else
        result_.re = e.re;
    if (h)
        result_.im = -e.im;
    else
        result_.im = e.im;
    return result_;
}

// ---------------------------------------------------------------------------------------
// FFT

FFT::FFT(const FFT_CONFIG& cfg)
    : cfg_(cfg)
    , input_width_(cfg.input_width)
    , data_width_(cfg.data_width)
    , twiddle_width_(cfg.C_TWIDDLE_WIDTH)
    , nfft_max_(cfg.C_NFFT_MAX)
    , rounding_(cfg.C_HAS_ROUNDING)
    , scaling_(cfg.C_HAS_SCALING)
    , bfp_(cfg.C_HAS_BFP)
{
    if (nfft_max_ < 3 || nfft_max_ > 16)
        throw std::invalid_argument("FFT engine: C_NFFT_MAX must be 3 to 16");
    if (data_width_ < 8 || data_width_ > 51)
        throw std::invalid_argument("FFT engine: data_width must be 8 to 51");
    if (input_width_ < 8 || input_width_ > data_width_)
        throw std::invalid_argument("FFT engine: input_width must be 8 to data_width");
    if (twiddle_width_ < 8 || twiddle_width_ > 34)
        throw std::invalid_argument("FFT engine: twiddle width must be 8 to 34");
    if ((rounding_ | scaling_ | bfp_) & ~1)
        throw std::invalid_argument("FFT engine: rounding, scaling and BFP flags must be 0 or 1");

    bfp_scratch_.setFormat(8, 7, SIGNED, TRUNCATE, WRAP);
    data_fmt_.setFormat(data_width_, data_width_ - 1, SIGNED, TRUNCATE, WRAP);
    twiddle_fmt_.setFormat(twiddle_width_ + 1, twiddle_width_ - 1, SIGNED, TRUNCATE, SATURATE);
}

FFT::~FFT() = default;

uint32_t FFT::pack_schedule(const int32_t* scaling_sch, int32_t size)
{
    uint32_t packed = 0;
    if (scaling_sch == nullptr)
        return 0;
    for (int32_t i = 0; i < size && i < 16; ++i)
        packed |= (static_cast<uint32_t>(scaling_sch[i]) & 3u) << (2 * i);
    return packed;
}

int64_t FFT::to_raw(double x, int w, int f)
{
    const double v = std::ldexp(x, f);
    if (!std::isfinite(v))
        return 0; // NaN; an infinite or overflowing value has no bits below 2^w
    // From 2^(w+53) on, v is a multiple of 2^w: the low w bits are zero.
    if (std::fabs(v) >= std::ldexp(1.0, w + 53))
        return 0;
    const double m = std::fmod(std::floor(v), std::ldexp(1.0, w)); // exact
    return kfft_raw::wrap(static_cast<int64_t>(m), w);
}

void FFT::set_word_format(int width, int frac, int pre_shift)
{
    word_w_ = width;
    word_f_ = frac;
    load_scale_ = std::ldexp(1.0, frac - pre_shift);
    read_scale_ = std::ldexp(1.0, -frac);
}
