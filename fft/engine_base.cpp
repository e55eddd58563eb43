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

void FFT::set_memory(int width, int frac, int pre_shift, Order in, Order out, bool track_headroom)
{
    word_w_ = width;
    load_scale_ = std::ldexp(1.0, frac - pre_shift);
    read_scale_ = std::ldexp(1.0, -frac);
    in_order_ = in;
    out_order_ = out;
    track_headroom_ = track_headroom;
    words_ = int32_t(1) << nfft_max_;
    mem_re_.reset(new double[static_cast<size_t>(words_)]());
    mem_im_.reset(new double[static_cast<size_t>(words_)]());
    in_perm_.reserve(static_cast<size_t>(words_));
    out_perm_.reserve(static_cast<size_t>(words_));
}

int32_t FFT::position(Order order, int32_t n, int32_t nfft)
{
    const uint32_t u = static_cast<uint32_t>(n);
    switch (order) {
    case Order::BitReversed:
        return static_cast<int32_t>(kfft_raw::reverse_low_bits(u, nfft));
    case Order::DigitReversed4:
        if (!(nfft & 1))
            return static_cast<int32_t>(kfft_raw::reverse_low_bits(u, nfft, 2));
        return static_cast<int32_t>(
            ((u & 1u) << (nfft - 1)) + kfft_raw::reverse_low_bits(u >> 1, nfft - 1, 2));
    default:
        return n;
    }
}

bool FFT::start_frame(const FFT_CONFIG& cfg, int32_t min_nfft, bool geometry_ok)
{
    const int32_t nfft = cfg.nfft;
    const bool ok = geometry_ok && words_ > 0 && nfft >= min_nfft && nfft <= nfft_max_
        && cfg.npoints == (int32_t(1) << nfft);
    frame_ok_ = ok;
    input_headroom_ = 32;
    invalid_ = false;
    if (!ok)
        return false;
    nfft_ = nfft;
    npoints_ = cfg.npoints;
    if (perm_nfft_ != nfft) {
        in_perm_.resize(static_cast<size_t>(npoints_));
        out_perm_.resize(static_cast<size_t>(npoints_));
        for (int32_t n = 0; n < npoints_; ++n) {
            in_perm_[n] = position(in_order_, n, nfft);
            out_perm_[n] = position(out_order_, n, nfft);
        }
        perm_nfft_ = nfft;
    }
    return true;
}

int32_t FFT::input_position(int32_t n) const { return position(in_order_, n, nfft_); }

int32_t FFT::output_position(int32_t k) const { return position(out_order_, k, nfft_); }

kfft_raw::CRaw FFT::word(int32_t p) const
{
    if (words_ == 0)
        return kfft_raw::CRaw { 0, 0 };
    return mem_word(p & (words_ - 1));
}

void FFT::store(int32_t p, double re, double im)
{
    if (re != re || im != im)
        invalid_ = true;
    const int64_t r = to_raw_scaled(re, load_scale_, word_w_);
    const int64_t i = to_raw_scaled(im, load_scale_, word_w_);
    mem_re_[p] = static_cast<double>(r);
    mem_im_[p] = static_cast<double>(i);
    if (track_headroom_)
        input_headroom_ = std::min(
            { input_headroom_, word_headroom(r, word_w_), word_headroom(i, word_w_) });
}

bool FFT::load_input(int32_t n, double re, double im)
{
    if (!frame_ok_ || n < 0 || n >= npoints_)
        return false;
    store(in_perm_[n], re, im);
    return true;
}

bool FFT::read_output(int32_t k, double& re, double& im) const
{
    if (!frame_ok_ || k < 0 || k >= npoints_)
        return false;
    if (invalid_) {
        re = im = __builtin_nan("");
        return true;
    }
    const int32_t p = out_perm_[k];
    re = mem_re_[p] * read_scale_;
    im = mem_im_[p] * read_scale_;
    return true;
}

bool FFT::load_frame(const double* re, const double* im)
{
    if (!frame_ok_)
        return false;
    const int32_t n = npoints_;
    const double scale = load_scale_;
    // Common case: every sample times the scale is an integer inside the word, which is
    // then its raw value (adding and removing 1.5 * 2^52 keeps exactly the integers below
    // 2^51, whatever the rounding mode). Anything else, NaN included, takes the exact
    // per-sample conversion.
    const double magic = 0x1.8p52;
    const double hi = std::ldexp(1.0, word_w_ - 1);
    bool plain = true;
    double key = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double a = re[i] * scale;
        const double b = im[i] * scale;
        plain &= ((a + magic) - magic == a) & ((b + magic) - magic == b) & (a >= -hi) & (a < hi)
            & (b >= -hi) & (b < hi);
        const double ka = a < 0.0 ? -1.0 - a : a;
        const double kb = b < 0.0 ? -1.0 - b : b;
        key = ka > key ? ka : key;
        key = kb > key ? kb : key;
    }
    const int32_t* perm = in_perm_.data();
    if (!plain) {
        for (int32_t i = 0; i < n; ++i)
            store(perm[i], re[i], im[i]);
        return true;
    }
    double* mr = mem_re_.get();
    double* mi = mem_im_.get();
    for (int32_t i = 0; i < n; ++i) {
        mr[perm[i]] = re[i] * scale;
        mi[perm[i]] = im[i] * scale;
    }
    if (track_headroom_)
        input_headroom_ = word_headroom(static_cast<int64_t>(key), word_w_);
    return true;
}

bool FFT::read_frame(double* re, double* im) const
{
    if (!frame_ok_)
        return false;
    const int32_t n = npoints_;
    if (invalid_) {
        for (int32_t k = 0; k < n; ++k)
            re[k] = im[k] = __builtin_nan("");
        return true;
    }
    const double scale = read_scale_;
    const double* mr = mem_re_.get();
    const double* mi = mem_im_.get();
    if (out_order_ == Order::Natural) {
        for (int32_t k = 0; k < n; ++k) {
            re[k] = mr[k] * scale;
            im[k] = mi[k] * scale;
        }
        return true;
    }
    const int32_t* perm = out_perm_.data();
    for (int32_t k = 0; k < n; ++k) {
        re[k] = mr[perm[k]] * scale;
        im[k] = mi[perm[k]] * scale;
    }
    return true;
}
