// Twiddle table and the engine base class.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <stdexcept>

#include "engine_base.h"
#include "fp_stage.h"
#include "simd4.h"

#if defined(KFFT_X86_DISPATCH)
#include <immintrin.h>
#endif

namespace {

// x 2^f rounded to the nearest integer, ties to even, as a CONVERGENT KFix assignment with f
// fraction bits rounds it (|x| <= 1: the twiddle format never saturates), independent of
// the floating-point rounding mode.
int64_t round_convergent(double x, int f)
{
    const double v = std::ldexp(x, f); // exact
    const double r = std::floor(v);
    const double d = v - r; // exact
    int64_t q = static_cast<int64_t>(r);
    if (d > 0.5 || (d == 0.5 && (q & 1) != 0))
        ++q;
    return q;
}

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

    const int32_t count = (int32_t(1) << (M_ - 2)) + 1;
    raw_.reserve(static_cast<size_t>(count));
    const double span = std::ldexp(1.0, M_);
    for (int32_t k = 0; k < count; ++k) {
        const double x = k * 6.283185307179586 / span;
        raw_.push_back(kfft_raw::CRaw {
            round_convergent(std::cos(x), TW_ - 1), round_convergent(std::sin(x), TW_ - 1) });
    }
}

TWIDDLE_ROM::~TWIDDLE_ROM() = default;

KFixComplex TWIDDLE_ROM::lookup(uint64_t i) const
{
    // Every entry and its negation are exact in the twiddle format.
    const kfft_raw::CRaw w = lookup_raw(i);
    KFixComplex result = KFixComplex::zero(TW_ + 1, TW_ - 1, SIGNED, CONVERGENT, SATURATE);
    result.re = std::ldexp(static_cast<double>(w.re), 1 - TW_);
    result.im = std::ldexp(static_cast<double>(w.im), 1 - TW_);
    return result;
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
    in_source_.reserve(static_cast<size_t>(words_));
}

bool kfft::cpu_has_avx2()
{
#if defined(KFFT_X86_DISPATCH)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
#else
    return false;
#endif
}

bool kfft::cpu_has_avx512()
{
#if defined(KFFT_X86_DISPATCH)
    // The runtime's answer includes the operating system's support of the 512-bit state.
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    return has;
#else
    return false;
#endif
}

kfft::Path kfft::vector_level(Path requested)
{
    const bool wide = requested == Path::Auto || requested == Path::FloatAvx512;
    if (wide && cpu_has_avx512())
        return Path::FloatAvx512;
    if ((wide || requested == Path::FloatAvx2) && cpu_has_avx2())
        return Path::FloatAvx2;
    return Path::Float;
}

void FFT::force_path(Path p)
{
    if (p == Path::FloatAvx2 || p == Path::FloatAvx512)
        p = kfft::vector_level(p);
    path_ = p;
    plan_ = make_plan();
}

kfft::PathPlan FFT::make_plan() const
{
    using namespace kfft::bounds;
    kfft::PathPlan p;
    p.loops = kfft::vector_level(path_);
    const int W = data_width_, TW = twiddle_width_, d = TW - 4;
    if (path_ == Path::Integer)
        return p;
    if (W + TW <= kBurstProductBits) {
        p.parts = 1;
    } else {
        // Products beyond exact doubles: the twiddle in two parts where a split exists, else
        // in three.
        const int s3 = kfft_fp::wide_split(W, TW, d);
        if (s3 == 0)
            return p;
        const int s2 = kfft_fp::wide_split2(W, TW, d);
        p.parts = s2 ? 2 : 3;
        p.split = s2 ? s2 : s3;
    }
    p.stages = p.loops;
    return p;
}

bool FFT::start_stages()
{
    const bool fp = plan_.parts > 0 && std::fegetround() == FE_TONEAREST;
    frame_path_ = fp ? plan_.stages : Path::Integer;
    return fp;
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
        in_source_.resize(static_cast<size_t>(npoints_));
        for (int32_t n = 0; n < npoints_; ++n)
            in_source_[in_perm_[n]] = n;
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
        input_headroom_
            = std::min({ input_headroom_, word_headroom(r, word_w_), word_headroom(i, word_w_) });
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
    if (!load_plain(re, im)) {
        const int32_t* perm = in_perm_.data();
        for (int32_t i = 0; i < npoints_; ++i)
            store(perm[i], re[i], im[i]);
    }
    return true;
}

bool FFT::load_frame_if_plain(const double* re, const double* im)
{
    return frame_ok_ && load_plain(re, im);
}

namespace {

// Whether every re[i] * scale and im[i] * scale, i in [0, n) (n a multiple of 4), is an
// integer in [-hi, hi); when so, key is the largest magnitude key max(v, -1 - v) of them.
// Adding and removing 1.5 * 2^52 keeps exactly the integers below 2^51, whatever the rounding
// mode; NaN fails every comparison.
bool plain_frame_sse2(
    const double* re, const double* im, int32_t n, double scale, double hi_v, double& key_out)
{
    using namespace kfft_simd;
    const V2 sc = splat2(scale), hi = splat2(hi_v), lo = -hi;
    const V2 minus_one = splat2(-1.0), zero = splat2(0.0);
    // For an integer v, max(v, -1 - v) is the magnitude key of word_headroom.
    AllTrue plain;
    V2 key = zero;
#if defined(__SSE2__)
    const __m128d m_sc = (__m128d)sc, m_hi = (__m128d)hi, m_lo = (__m128d)lo;
    const __m128d m_magic = _mm_set1_pd(kMagic), m_one = (__m128d)minus_one;
    __m128d ok = _mm_castsi128_pd(_mm_set1_epi64x(-1)), m_key = _mm_setzero_pd();
    for (int32_t i = 0; i < n; i += 2) {
        const __m128d a = _mm_mul_pd(_mm_loadu_pd(re + i), m_sc);
        const __m128d b = _mm_mul_pd(_mm_loadu_pd(im + i), m_sc);
        const __m128d ra = _mm_sub_pd(_mm_add_pd(a, m_magic), m_magic);
        const __m128d rb = _mm_sub_pd(_mm_add_pd(b, m_magic), m_magic);
        ok = _mm_and_pd(ok, _mm_and_pd(_mm_cmpeq_pd(ra, a), _mm_cmpeq_pd(rb, b)));
        ok = _mm_and_pd(ok, _mm_and_pd(_mm_cmpge_pd(a, m_lo), _mm_cmplt_pd(a, m_hi)));
        ok = _mm_and_pd(ok, _mm_and_pd(_mm_cmpge_pd(b, m_lo), _mm_cmplt_pd(b, m_hi)));
        m_key = _mm_max_pd(m_key, _mm_max_pd(a, _mm_sub_pd(m_one, a)));
        m_key = _mm_max_pd(m_key, _mm_max_pd(b, _mm_sub_pd(m_one, b)));
    }
    plain.acc = ok;
    key = (V2)m_key;
#else
    for (int32_t i = 0; i < n; i += 2) {
        const V2 a = load2(re + i) * sc;
        const V2 b = load2(im + i) * sc;
        plain.add((round_int(a) == a) & (round_int(b) == b) & (a >= lo) & (a < hi) & (b >= lo)
            & (b < hi));
        key = max2(max2(key, a), minus_one - a);
        key = max2(max2(key, b), minus_one - b);
    }
#endif
    key_out = std::max(key[0], key[1]);
    return plain.get();
}

#if defined(KFFT_X86_DISPATCH)
// The same, four lanes at a time.
[[gnu::target("avx2")]] bool plain_frame_avx2(
    const double* re, const double* im, int32_t n, double scale, double hi_v, double& key_out)
{
    const __m256d sc = _mm256_set1_pd(scale), hi = _mm256_set1_pd(hi_v);
    const __m256d lo = _mm256_set1_pd(-hi_v), magic = _mm256_set1_pd(kfft_simd::kMagic);
    const __m256d minus_one = _mm256_set1_pd(-1.0);
    __m256d ok = _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), key = _mm256_setzero_pd();
    for (int32_t i = 0; i < n; i += 4) {
        const __m256d a = _mm256_mul_pd(_mm256_loadu_pd(re + i), sc);
        const __m256d b = _mm256_mul_pd(_mm256_loadu_pd(im + i), sc);
        const __m256d ra = _mm256_sub_pd(_mm256_add_pd(a, magic), magic);
        const __m256d rb = _mm256_sub_pd(_mm256_add_pd(b, magic), magic);
        ok = _mm256_and_pd(
            ok, _mm256_and_pd(_mm256_cmp_pd(ra, a, _CMP_EQ_OQ), _mm256_cmp_pd(rb, b, _CMP_EQ_OQ)));
        ok = _mm256_and_pd(
            ok, _mm256_and_pd(_mm256_cmp_pd(a, lo, _CMP_GE_OQ), _mm256_cmp_pd(a, hi, _CMP_LT_OQ)));
        ok = _mm256_and_pd(
            ok, _mm256_and_pd(_mm256_cmp_pd(b, lo, _CMP_GE_OQ), _mm256_cmp_pd(b, hi, _CMP_LT_OQ)));
        key = _mm256_max_pd(key, _mm256_max_pd(a, _mm256_sub_pd(minus_one, a)));
        key = _mm256_max_pd(key, _mm256_max_pd(b, _mm256_sub_pd(minus_one, b)));
    }
    double k[4];
    _mm256_storeu_pd(k, key);
    key_out = std::max(std::max(k[0], k[1]), std::max(k[2], k[3]));
    return _mm256_movemask_pd(ok) == 15;
}

// The same test, eight lanes at a time, fused with the load: mr[p] = re[source[p]] * scale
// and mi[p] likewise for every memory position p (n a multiple of 8).
[[gnu::target("avx512f")]] bool gather_plain_avx512(const double* re, const double* im,
    const int32_t* source, int32_t n, double scale, double hi_v, double* mr, double* mi,
    double& key_out)
{
    const __m512d sc = _mm512_set1_pd(scale), hi = _mm512_set1_pd(hi_v);
    const __m512d lo = _mm512_set1_pd(-hi_v), magic = _mm512_set1_pd(kfft_simd::kMagic);
    const __m512d minus_one = _mm512_set1_pd(-1.0);
    __mmask8 ok = 0xFF;
    __m512d key = _mm512_setzero_pd();
    for (int32_t p = 0; p < n; p += 8) {
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + p));
        // Masked gathers with a zero source: the plain ones read an undefined source (GCC 12).
        const __m512d zero = _mm512_setzero_pd();
        const __m512d a = _mm512_mul_pd(_mm512_mask_i32gather_pd(zero, 0xFF, at, re, 8), sc);
        const __m512d b = _mm512_mul_pd(_mm512_mask_i32gather_pd(zero, 0xFF, at, im, 8), sc);
        _mm512_storeu_pd(mr + p, a);
        _mm512_storeu_pd(mi + p, b);
        const __m512d ra = _mm512_sub_pd(_mm512_add_pd(a, magic), magic);
        const __m512d rb = _mm512_sub_pd(_mm512_add_pd(b, magic), magic);
        ok &= _mm512_cmp_pd_mask(ra, a, _CMP_EQ_OQ) & _mm512_cmp_pd_mask(rb, b, _CMP_EQ_OQ);
        ok &= _mm512_cmp_pd_mask(a, lo, _CMP_GE_OQ) & _mm512_cmp_pd_mask(a, hi, _CMP_LT_OQ);
        ok &= _mm512_cmp_pd_mask(b, lo, _CMP_GE_OQ) & _mm512_cmp_pd_mask(b, hi, _CMP_LT_OQ);
        // Maxima as x > y ? x : y blends (GCC 12 reports _mm512_max_pd as reading an
        // undefined value).
        const __m512d na = _mm512_sub_pd(minus_one, a), nb = _mm512_sub_pd(minus_one, b);
        const __m512d ka = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, na, _CMP_GT_OQ), na, a);
        const __m512d kb = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(b, nb, _CMP_GT_OQ), nb, b);
        key = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(ka, key, _CMP_GT_OQ), key, ka);
        key = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(kb, key, _CMP_GT_OQ), key, kb);
    }
    double k[8];
    _mm512_storeu_pd(k, key);
    key_out = *std::max_element(k, k + 8);
    return ok == 0xFF;
}
#endif

} // namespace

bool FFT::load_plain(const double* re, const double* im)
{
    const int32_t n = npoints_; // a multiple of 4
    double* mr = mem_re_.get();
    double* mi = mem_im_.get();
    // Every sample times the scale must be an integer inside the word, which is then its
    // raw value.
    const double hi = std::ldexp(1.0, word_w_ - 1);
    double key = 0.0;
    bool plain;
    const double scale = load_scale_;
#if defined(KFFT_X86_DISPATCH)
    if (plan_.loops == kfft::Path::FloatAvx512 && n % 8 == 0) {
        plain = gather_plain_avx512(re, im, in_source_.data(), n, scale, hi, mr, mi, key);
    } else
#endif
    {
#if defined(KFFT_X86_DISPATCH)
        if (plan_.loops != kfft::Path::Float)
            plain = plain_frame_avx2(re, im, n, scale, hi, key);
        else
#endif
            plain = plain_frame_sse2(re, im, n, scale, hi, key);
        // Large frames are gathered in memory order: the sample order would scatter at
        // strides of N/4 and N/2, onto the same cache sets. Small frames stay in the
        // first-level cache.
        if (n >= 4096) {
            const int32_t* source = in_source_.data();
            for (int32_t p = 0; p < n; ++p) {
                mr[p] = re[source[p]] * scale;
                mi[p] = im[source[p]] * scale;
            }
        } else {
            const int32_t* perm = in_perm_.data();
            for (int32_t i = 0; i < n; ++i) {
                mr[perm[i]] = re[i] * scale;
                mi[perm[i]] = im[i] * scale;
            }
        }
    }
    if (!plain)
        return false;
    if (track_headroom_)
        input_headroom_ = word_headroom(static_cast<int64_t>(key), word_w_);
    return true;
}

bool FFT::read_frame(double* re, double* im, int shift) const
{
    if (!frame_ok_)
        return false;
    const int32_t n = npoints_;
    if (invalid_) {
        for (int32_t k = 0; k < n; ++k)
            re[k] = im[k] = __builtin_nan("");
        return true;
    }
    // Words are integers below 2^52 and the scales powers of two: one product is exact.
    const double scale = read_scale_ * std::ldexp(1.0, shift);
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
