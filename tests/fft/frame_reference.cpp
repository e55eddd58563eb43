// Whole frames through the C interface against the KFix reference model, bit for bit: every
// output word, the block exponent and the overflow flag, over every architecture, mode,
// rounding, direction, length and width, with frames chosen to sit on each block floating
// point threshold and to overflow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "api_state.h"
#include "fft_frame_ref.h"
#include "fp_stage.h"
#include "kfft_v8_0_bitacc_cmodel.h"
#include "kip_test_seed.h"

namespace {

// Sanitizer and unoptimised builds run fewer random frames.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr bool kReducedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kReducedBuild = true;
#else
constexpr bool kReducedBuild = false;
#endif
#else
constexpr bool kReducedBuild = false;
#endif

// Random frames per configuration of the sweep: KIP_FRAME_REF_CASES when set; fewer in
// sanitizer and unoptimised builds (every category is still visited).
int cases_per_config()
{
    if (const char* s = std::getenv("KIP_FRAME_REF_CASES"))
        return std::max(1, std::atoi(s));
    return kReducedBuild ? 2 : 10;
}

const int kWidths[] = { 8, 16, 17, 24, 32, 34 };

struct Case {
    kelvar_ip_kfft_v8_0_generics g {};
    int32_t nfft = 0;
    int32_t direction = 1;
    std::vector<int32_t> sch;
    std::vector<double> re, im;
    std::string kind;
    uint32_t seed = 0;
    const char* path = "auto"; // stage implementation forced on the state
};

// Writes every input sample of the frame (hexadecimal floating point, one "re im" pair a line)
// to the file named by KIP_FRAME_REF_DUMP, when set; returns a note naming it.
std::string dump_inputs(const Case& c)
{
    const char* path = std::getenv("KIP_FRAME_REF_DUMP");
    if (path == nullptr)
        return " (set KIP_FRAME_REF_DUMP=<file> to write every input sample)";
    FILE* f = std::fopen(path, "w");
    if (f == nullptr)
        return std::string(" (cannot write ") + path + ")";
    for (size_t i = 0; i < c.re.size(); ++i)
        std::fprintf(f, "%a %a\n", c.re[i], c.im[i]);
    std::fclose(f);
    return std::string(" (every input sample written to ") + path + ")";
}

const char* mode_name(int mode)
{
    return mode == FE_TONEAREST ? "to nearest"
        : mode == FE_UPWARD     ? "upward"
        : mode == FE_DOWNWARD   ? "downward"
        : mode == FE_TOWARDZERO ? "toward zero"
                                : "unknown";
}

// The caller's rounding modes every whole-frame comparison runs under in turn.
const int kRoundingModes[] = { FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO };

// Sets a rounding mode for its lifetime, then rounding to nearest again.
class RoundingMode {
public:
    explicit RoundingMode(int mode) { std::fesetround(mode); }
    ~RoundingMode() { std::fesetround(FE_TONEAREST); }
    RoundingMode(const RoundingMode&) = delete;
    RoundingMode& operator=(const RoundingMode&) = delete;
};

std::string describe(const Case& c)
{
    std::ostringstream o;
    o << "KIP_TEST_SEED=" << kip_test::seed() << " case seed " << c.seed << " kind " << c.kind
      << " path " << c.path << " rounding mode " << mode_name(std::fegetround()) << " | C_NFFT_MAX "
      << c.g.C_NFFT_MAX << " C_ARCH " << c.g.C_ARCH << " C_HAS_NFFT " << c.g.C_HAS_NFFT
      << " C_USE_FLT_PT " << c.g.C_USE_FLT_PT << " C_INPUT_WIDTH " << c.g.C_INPUT_WIDTH
      << " C_TWIDDLE_WIDTH " << c.g.C_TWIDDLE_WIDTH << " C_HAS_SCALING " << c.g.C_HAS_SCALING
      << " C_HAS_BFP " << c.g.C_HAS_BFP << " C_HAS_ROUNDING " << c.g.C_HAS_ROUNDING << " | nfft "
      << c.nfft << " direction " << c.direction << " schedule {";
    for (size_t i = 0; i < c.sch.size(); ++i)
        o << (i ? "," : "") << c.sch[i];
    o << "} | first inputs";
    o.precision(17);
    for (size_t i = 0; i < std::min<size_t>(8, c.re.size()); ++i)
        o << " (" << c.re[i] << "," << c.im[i] << ")";
    o << dump_inputs(c);
    return o.str();
}

// Equal bits, or both NaN.
bool same_bits(double a, double b)
{
    if (std::isnan(a) && std::isnan(b))
        return true;
    uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// Runs the frame through the library and the reference and compares everything; through the
// given state (kept) when there is one, else a fresh one.
testing::AssertionResult matches(Case c, kelvar_ip_kfft_v8_0_state* kept = nullptr)
{
    kelvar_ip_kfft_v8_0_state* st = kept ? kept : kelvar_ip_kfft_v8_0_create_state(c.g);
    if (st == nullptr)
        return testing::AssertionFailure() << "create_state refused: " << describe(c);
    const size_t n = size_t { 1 } << c.nfft;
    std::vector<double> xre = c.re, xim = c.im; // the library may not change them
    std::vector<double> ore(n, -7.0), oim(n, -7.0);
    kelvar_ip_kfft_v8_0_inputs in {};
    in.nfft = c.nfft;
    in.xn_re = xre.data();
    in.xn_re_size = static_cast<int32_t>(n);
    in.xn_im = xim.data();
    in.xn_im_size = static_cast<int32_t>(n);
    in.scaling_sch = c.sch.data();
    in.scaling_sch_size = static_cast<int32_t>(c.sch.size());
    in.direction = c.direction;
    kelvar_ip_kfft_v8_0_outputs out {};
    out.xk_re = ore.data();
    out.xk_re_size = static_cast<int32_t>(n);
    out.xk_im = oim.data();
    out.xk_im_size = static_cast<int32_t>(n);
    const int mode = std::fegetround();
    testing::internal::CaptureStderr();
    const int rc = kelvar_ip_kfft_v8_0_bitacc_simulate(st, &in, &out);
    const int mode_after = std::fegetround();
    const std::string err = testing::internal::GetCapturedStderr();
    if (kept == nullptr)
        kelvar_ip_kfft_v8_0_destroy_state(st);
    if (mode_after != mode)
        return testing::AssertionFailure()
            << "rounding mode " << mode << " left as " << mode_after << ": " << describe(c);
    if (rc != 0)
        return testing::AssertionFailure()
            << "simulate returned " << rc << " (" << err << "): " << describe(c);

    const bool flt = c.g.C_USE_FLT_PT == 1;
    std::vector<double> rre = c.re, rim = c.im;
    const fft_ref::Result ref = flt
        ? fft_ref::simulate_float(c.g, c.nfft, rre.data(), rim.data(), c.direction)
        : fft_ref::simulate(c.g, c.nfft, c.re.data(), c.im.data(), c.sch, c.direction);
    const bool warned = err.find("not pre-quantized") != std::string::npos;
    if (!flt && warned == ref.prequantised)
        return testing::AssertionFailure() << "pre-quantisation warning " << warned << ", expected "
                                           << !ref.prequantised << ": " << describe(c);
    for (size_t i = 0; i < n; ++i)
        if (!same_bits(xre[i], rre[i]) || !same_bits(xim[i], rim[i]))
            return testing::AssertionFailure()
                << "input sample " << i << " left as (" << xre[i] << ", " << xim[i]
                << "), expected (" << rre[i] << ", " << rim[i] << "): " << describe(c);
    for (size_t k = 0; k < n; ++k) {
        if (!same_bits(ore[k], ref.re[k]) || !same_bits(oim[k], ref.im[k])) {
            std::ostringstream o;
            o.precision(17);
            o << "first differing bin " << k << ": library (" << ore[k] << ", " << oim[k]
              << ") reference (" << ref.re[k] << ", " << ref.im[k] << "); blk_exp " << out.blk_exp
              << "/" << ref.blk_exp << " overflow " << out.overflow << "/" << ref.overflow << ": "
              << describe(c);
            return testing::AssertionFailure() << o.str();
        }
    }
    if (out.blk_exp != ref.blk_exp || out.overflow != ref.overflow)
        return testing::AssertionFailure()
            << "blk_exp " << out.blk_exp << " (reference " << ref.blk_exp << "), overflow "
            << out.overflow << " (reference " << ref.overflow << "): " << describe(c);
    if (out.xk_re_size != static_cast<int32_t>(n) || out.xk_im_size != static_cast<int32_t>(n))
        return testing::AssertionFailure() << "output sizes not set: " << describe(c);
    return testing::AssertionSuccess();
}

int min_nfft(int arch) { return arch == 1 ? 6 : 3; }

kelvar_ip_kfft_v8_0_generics generics(
    int arch, int M, int nfft, int mode, int rounding, int iw, int tw)
{
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_ARCH = arch;
    g.C_NFFT_MAX = M;
    g.C_HAS_NFFT = nfft != M ? 1 : 0;
    g.C_INPUT_WIDTH = iw;
    g.C_TWIDDLE_WIDTH = tw;
    g.C_HAS_SCALING = mode == 0 ? 0 : 1;
    g.C_HAS_BFP = mode == 2 ? 1 : 0;
    g.C_HAS_ROUNDING = rounding;
    return g;
}

size_t schedule_size(int arch, int nfft)
{
    return static_cast<size_t>(arch == 2 || arch == 4 ? nfft : (nfft + 1) / 2);
}

// Legal schedule: each step uniformly 0..3 ("random"), the growth of the step ("safe": 1 per
// radix-2 stage, 2 per radix-4 step), or one below it ("tight": overflows on large frames).
std::vector<int32_t> schedule(std::mt19937& rng, int arch, int nfft, int style)
{
    const size_t n = schedule_size(arch, nfft);
    const bool radix2 = arch == 2 || arch == 4;
    std::vector<int32_t> s(n);
    for (size_t i = 0; i < n; ++i) {
        const bool half = !radix2 && (nfft & 1) && i + 1 == n; // final radix-2 step
        const int growth = radix2 || half ? 1 : 2;
        if (style == 0)
            s[i] = static_cast<int32_t>(rng() % (half ? 2 : 4));
        else if (style == 1)
            s[i] = growth;
        else
            s[i] = std::max(0, growth - static_cast<int>(rng() % 2));
    }
    return s;
}

// Value on the w-bit grid, clamped into [-1, 1).
double on_grid(double x, int w)
{
    const double s = std::ldexp(1.0, w - 1);
    double r = std::floor(x * s);
    r = std::min(std::max(r, -s), s - 1);
    return r / s;
}

// Input frames: 0 uniform of random amplitude, 1 full-scale extremes, 2 tone near full scale,
// 3 sparse, 4 off the input grid (rounded by the model).
void fill(Case& c, std::mt19937& rng, int kind)
{
    const size_t n = size_t { 1 } << c.nfft;
    const int w = c.g.C_INPUT_WIDTH;
    const double top = 1.0 - std::ldexp(1.0, 1 - w);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    c.re.assign(n, 0.0);
    c.im.assign(n, 0.0);
    static const char* names[] = { "uniform", "full-scale", "tone", "sparse", "off-grid" };
    c.kind = names[kind];
    if (kind == 0) {
        const double amp = std::ldexp(1.0, -static_cast<int>(rng() % 8));
        for (size_t i = 0; i < n; ++i) {
            c.re[i] = on_grid(amp * u(rng), w);
            c.im[i] = on_grid(amp * u(rng), w);
        }
    } else if (kind == 1) {
        for (size_t i = 0; i < n; ++i) {
            const unsigned r = rng() % 4;
            c.re[i] = r == 0 ? -1.0 : r == 1 ? top : on_grid(u(rng), w);
            const unsigned q = rng() % 4;
            c.im[i] = q == 0 ? -1.0 : q == 1 ? top : on_grid(u(rng), w);
        }
    } else if (kind == 2) {
        const double bin = static_cast<double>(rng() % n) + (rng() % 2 ? 0.0 : 0.37);
        const double amp = 0.999 - 0.3 * (rng() % 2);
        const double pi = 3.141592653589793;
        for (size_t i = 0; i < n; ++i) {
            const double a = 2 * pi * bin * static_cast<double>(i) / static_cast<double>(n);
            c.re[i] = on_grid(amp * std::cos(a), w);
            c.im[i] = on_grid(amp * std::sin(a), w);
        }
    } else if (kind == 3) {
        // Zeros of both signs around at most three samples (none: a frame of zeros, which
        // must read +0 everywhere).
        for (size_t i = 0; i < n; ++i) {
            c.re[i] = rng() % 2 ? -0.0 : 0.0;
            c.im[i] = rng() % 2 ? -0.0 : 0.0;
        }
        const int count = static_cast<int>(rng() % 4);
        for (int k = 0; k < count; ++k) {
            const size_t i = rng() % n;
            c.re[i] = on_grid(u(rng), w);
            c.im[i] = on_grid(u(rng), w);
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            c.re[i] = u(rng) * 0.999999;
            c.im[i] = u(rng) * 0.999999;
        }
        c.re[0] = 1.0 - std::ldexp(1.0, -w - 2); // rounds to the top code by the guard
        c.im[n - 1] = -1.0 + std::ldexp(1.0, -w - 1); // a tie
    }
}

// One random configuration of the sweep for (arch, mode, rounding, direction); i varies the
// widths and lengths so that every width and every length is visited.
Case random_case(int arch, int mode, int rounding, int direction, int i, uint32_t seed)
{
    std::mt19937 rng(seed);
    Case c;
    c.seed = seed;
    const int lo = min_nfft(arch);
    const int span = 12 - lo + 1;
    const int combo = (mode * 2 + rounding) * 2 + direction; // 0..11
    c.nfft = lo + (i * 5 + combo) % span;
    int M = c.nfft;
    if (rng() % 3 == 0)
        M = std::min(16, c.nfft + 1 + static_cast<int>(rng() % 4));
    const int iw = kWidths[(combo + i) % 6];
    const int tw = kWidths[(combo * 5 + i * 2 + 1) % 6];
    c.g = generics(arch, M, c.nfft, mode, rounding, iw, tw);
    c.direction = direction;
    if (mode == 1)
        c.sch = schedule(rng, arch, c.nfft, static_cast<int>(rng() % 3));
    fill(c, rng, static_cast<int>(rng() % 5));
    return c;
}

class FrameReference : public testing::TestWithParam<int> { };

// Every mode, rounding and direction of one architecture over random frames.
TEST_P(FrameReference, RandomFramesEveryModeAndWidth)
{
    const int arch = GetParam();
    const int per = cases_per_config();
    for (int mode = 0; mode < 3; ++mode)
        for (int rounding = 0; rounding < 2; ++rounding)
            for (int direction = 0; direction < 2; ++direction)
                for (int i = 0; i < per; ++i) {
                    const uint32_t seed = kip_test::seed() * 7919u
                        + static_cast<uint32_t>(((arch * 3 + mode) * 2 + rounding) * 2 + direction)
                            * 1000u
                        + static_cast<uint32_t>(i);
                    ASSERT_TRUE(matches(random_case(arch, mode, rounding, direction, i, seed)));
                }
}

// Each input and twiddle width with the smallest and a medium length, full-scale frames.
TEST_P(FrameReference, EveryWidthFullScale)
{
    const int arch = GetParam();
    uint32_t seed = kip_test::seed() * 31u + static_cast<uint32_t>(arch);
    for (int wi = 0; wi < 6; ++wi) {
        for (int mode = 0; mode < 3; ++mode) {
            std::mt19937 rng(++seed);
            Case c;
            c.seed = seed;
            c.nfft = min_nfft(arch) + (wi % 2) * 2;
            c.g = generics(arch, c.nfft, c.nfft, mode, wi % 2, kWidths[wi], kWidths[5 - wi]);
            c.direction = wi % 2;
            if (mode == 1)
                c.sch = schedule(rng, arch, c.nfft, 1);
            fill(c, rng, 1);
            ASSERT_TRUE(matches(c));
        }
    }
}

// Every input width from 8 to 34 bits, each with an equal and a complementary twiddle width,
// so that the word and product widths cross every machine-word boundary; short full-scale
// frames, modes, rounding and directions rotating.
TEST_P(FrameReference, EveryWidthPair)
{
    const int arch = GetParam();
    uint32_t seed = kip_test::seed() * 389u + static_cast<uint32_t>(arch);
    for (int iw = 8; iw <= 34; ++iw) {
        for (int tw : { iw, std::min(34, std::max(8, 42 - iw)) }) {
            std::mt19937 rng(++seed);
            Case c;
            c.seed = seed;
            c.nfft = min_nfft(arch) + iw % 2;
            const int mode = (iw + tw) % 3;
            c.g = generics(arch, c.nfft + iw % 3, c.nfft, mode, iw % 2, iw, tw);
            c.direction = tw % 2;
            if (mode == 1)
                c.sch = schedule(rng, arch, c.nfft, 0);
            fill(c, rng, 1);
            ASSERT_TRUE(matches(c));
        }
    }
}

// The widest words: 34-bit samples and twiddles at C_NFFT_MAX 16 (unscaled data words of 51
// bits), short frames of the run-time length, every mode and both directions.
TEST_P(FrameReference, WidestWordsAtLargestMaximum)
{
    const int arch = GetParam();
    uint32_t seed = kip_test::seed() * 263u + static_cast<uint32_t>(arch);
    for (int mode = 0; mode < 3; ++mode) {
        for (int direction = 0; direction < 2; ++direction) {
            std::mt19937 rng(++seed);
            Case c;
            c.seed = seed;
            c.nfft = min_nfft(arch) + direction;
            c.g = generics(arch, 16, c.nfft, mode, mode % 2, 34, 34);
            c.direction = direction;
            if (mode == 1)
                c.sch = schedule(rng, arch, c.nfft, 0);
            fill(c, rng, direction ? 1 : 2);
            ASSERT_TRUE(matches(c));
        }
    }
}

// Scaled frames at full scale with schedules too small for them: the stage results wrap and
// the overflow flag is raised; with the safe schedule it stays clear.
TEST_P(FrameReference, NearOverflowSchedules)
{
    const int arch = GetParam();
    uint32_t seed = kip_test::seed() * 131u + static_cast<uint32_t>(arch);
    int overflowed = 0;
    for (int nfft = min_nfft(arch); nfft <= min_nfft(arch) + 3; ++nfft) {
        for (int style = 1; style <= 2; ++style) {
            for (int kind : { 1, 2 }) {
                std::mt19937 rng(++seed);
                Case c;
                c.seed = seed;
                c.nfft = nfft;
                c.g = generics(arch, nfft, nfft, 1, static_cast<int>(seed % 2), 16, 16);
                c.direction = static_cast<int>(rng() % 2);
                c.sch = schedule(rng, arch, nfft, style);
                fill(c, rng, kind);
                ASSERT_TRUE(matches(c));
                overflowed
                    += fft_ref::simulate(c.g, c.nfft, c.re.data(), c.im.data(), c.sch, c.direction)
                           .overflow;
            }
        }
    }
    EXPECT_GT(overflowed, 0);
}

// Floating-point interface frames: 0 wide dynamic range, 1 largest magnitude an exact power of
// two, 2 single-precision denormals (flushed in the caller's array), 3 near the single-precision
// range (bins overflow to infinity), 4 an infinity or NaN (every bin NaN), 5 doubles that are not
// single-precision values.
void fill_float(Case& c, std::mt19937& rng, int kind)
{
    const size_t n = size_t { 1 } << c.nfft;
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    static const char* names[] = { "float wide range", "float power-of-two peak", "float denormals",
        "float near range", "float inf/nan", "float non-single" };
    c.kind = names[kind];
    const int eb = static_cast<int>(rng() % 240) - 120;
    const auto single
        = [&](int e) { return static_cast<double>(static_cast<float>(std::ldexp(u(rng), e))); };
    c.re.assign(n, 0.0);
    c.im.assign(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        if (kind == 5) {
            c.re[i] = std::ldexp(u(rng), eb - static_cast<int>(rng() % 8));
            c.im[i] = std::ldexp(u(rng), eb - static_cast<int>(rng() % 8));
        } else if (kind == 3) {
            c.re[i] = single(128 - static_cast<int>(rng() % 3));
            c.im[i] = std::fabs(single(128 - static_cast<int>(rng() % 3)));
        } else if (kind == 2) {
            c.re[i] = single(-120 - static_cast<int>(rng() % 30));
            c.im[i] = rng() % 4 == 0 ? 0.0 : single(-100 - static_cast<int>(rng() % 50));
        } else if (rng() % 8 != 0) {
            c.re[i] = single(eb - static_cast<int>(rng() % 24));
            c.im[i] = single(eb - static_cast<int>(rng() % 24));
        }
    }
    if (kind == 1) {
        const size_t i = rng() % n;
        c.re[i] = (rng() % 2 ? -1.0 : 1.0) * std::ldexp(1.0, eb + 1);
    } else if (kind == 4) {
        const double bad[] = { HUGE_VAL, -HUGE_VAL, std::nan("") };
        (rng() % 2 ? c.re : c.im)[rng() % n] = bad[rng() % 3];
    }
}

// The floating-point interface of every architecture: exponent extraction, the engines at
// their floating-point widths, rounding to single significance and the result exponent.
TEST_P(FrameReference, FloatingPointFrames)
{
    const int arch = GetParam();
    const int per = cases_per_config() / 2 + 1;
    int overflowed = 0, flushed = 0, invalidated = 0;
    for (int kind = 0; kind < 6; ++kind) {
        for (int i = 0; i < per; ++i) {
            const uint32_t seed
                = kip_test::seed() * 6007u + static_cast<uint32_t>(arch * 100 + kind * 10 + i);
            std::mt19937 rng(seed);
            Case c;
            c.seed = seed;
            c.nfft = min_nfft(arch) + static_cast<int>(rng() % 5);
            const int M = rng() % 2 ? c.nfft : c.nfft + 1 + static_cast<int>(rng() % 3);
            c.g = generics(arch, M, c.nfft, 2, 0, 32, kWidths[(kind + i) % 6]);
            c.g.C_USE_FLT_PT = 1;
            c.direction = static_cast<int>(rng() % 2);
            fill_float(c, rng, kind);
            ASSERT_TRUE(matches(c));
            std::vector<double> re = c.re, im = c.im;
            const fft_ref::Result r
                = fft_ref::simulate_float(c.g, c.nfft, re.data(), im.data(), c.direction);
            overflowed += r.overflow;
            flushed += re != c.re || im != c.im;
            invalidated += std::isnan(r.re[0]);
        }
    }
    EXPECT_GT(overflowed, 0);
    EXPECT_GT(flushed, 0);
    EXPECT_GT(invalidated, 0);
}

// ---- Stage implementations forced in turn, at the edges of their bounds ---------------------

// The stage implementations a state can be forced onto (auto: the library's own plan).
struct ForcedPath {
    FFT::Path path;
    const char* name;
};
const ForcedPath kPaths[] = { { FFT::Path::Auto, "auto" }, { FFT::Path::Integer, "integer" },
    { FFT::Path::Float, "portable" }, { FFT::Path::FloatAvx2, "avx2" },
    { FFT::Path::FloatAvx512, "avx512" } };

// The widest stage loops the processor runs.
FFT::Path fastest_path()
{
    return kfft::cpu_has_avx512() ? FFT::Path::FloatAvx512
        : kfft::cpu_has_avx2()    ? FFT::Path::FloatAvx2
                                  : FFT::Path::Float;
}

// A state of the generics with its engine forced onto a path.
class PathState {
public:
    PathState(const kelvar_ip_kfft_v8_0_generics& g, FFT::Path p)
        : st_(kelvar_ip_kfft_v8_0_create_state(g))
    {
        if (st_ != nullptr)
            st_->engine->force_path(p);
    }
    ~PathState() { kelvar_ip_kfft_v8_0_destroy_state(st_); }
    PathState(const PathState&) = delete;
    PathState& operator=(const PathState&) = delete;
    kelvar_ip_kfft_v8_0_state* get() const { return st_; }

private:
    kelvar_ip_kfft_v8_0_state* st_;
};

// The frames, in order, through one state per path (all of the first frame's generics): lengths
// and directions changing from frame to frame build, keep and rebuild the engine's per-length
// and per-direction tables.
testing::AssertionResult matches_on_every_path(std::vector<Case> frames)
{
    for (const ForcedPath& p : kPaths) {
        if (p.path == FFT::Path::FloatAvx512 && !kfft::cpu_has_avx512()) {
            testing::Test::RecordProperty("avx512", "not compared: the processor lacks AVX-512F");
            continue;
        }
        PathState st(frames.at(0).g, p.path);
        if (st.get() == nullptr)
            return testing::AssertionFailure() << "create_state refused: " << describe(frames[0]);
        for (Case& c : frames) {
            if (std::memcmp(&c.g, &frames[0].g, sizeof c.g) != 0)
                return testing::AssertionFailure() << "frames of other generics: " << describe(c);
            c.path = p.name;
            const testing::AssertionResult r = matches(c, st.get());
            if (!r)
                return r;
            // The frame took its plan's stages, whatever the caller's rounding mode (the model
            // runs in rounding to nearest); Auto's plan takes the widest vectors where it has
            // doubles.
            const kfft::PathPlan& plan = st.get()->engine->plan();
            if (st.get()->engine->frame_path() != plan.stages
                || (p.path == FFT::Path::Auto && plan.parts > 0 && plan.stages != fastest_path()))
                return testing::AssertionFailure() << "path taken not the plan's: " << describe(c);
        }
    }
    return testing::AssertionSuccess();
}

struct Edge {
    int mode, iw, tw, M;
};

// Burst engines (W data width: the input width scaled, iw + M + 1 unscaled): W + TW = 52, 53
// and 54 around the largest exact whole product, and unscaled words of 47 to 49 bits with the
// twiddle split at its limits (W = 48: two parts up to TW 11, three up to TW 16; W = 49 and
// W = 48 with TW 17 on integers).
const Edge kBurstEdges[] = { { 1, 34, 18, 8 }, { 1, 34, 19, 9 }, { 1, 34, 20, 8 }, { 2, 34, 20, 9 },
    { 1, 20, 34, 10 }, { 2, 19, 34, 8 }, { 0, 34, 8, 12 }, { 0, 34, 11, 13 }, { 0, 34, 12, 13 },
    { 0, 34, 16, 13 }, { 0, 34, 17, 13 }, { 0, 34, 8, 14 } };
// Pipelined engine (P internal width: the input width scaled, iw + M + 1 otherwise; butterfly
// outputs of Bw = P + 2 bits scaled, P otherwise): whole products at Bw + TW = 53 and the
// operand split at 54, the twiddle split in three at its limit (P + s = 53), P = 45 whole and
// split, P = 46 on integers.
const Edge kPipelinedEdges[] = { { 1, 34, 17, 8 }, { 1, 34, 18, 8 }, { 1, 28, 34, 8 },
    { 0, 30, 34, 9 }, { 0, 32, 33, 9 }, { 0, 34, 8, 10 }, { 0, 34, 9, 10 }, { 2, 34, 9, 10 },
    { 0, 34, 8, 11 }, { 2, 34, 8, 11 } };

// Every width pair at an edge through one state per path: frames of the longest (at most 4,096
// points), the shortest and a middle length, both directions, full-scale, tone and random
// samples.
TEST_P(FrameReference, BoundEdgesThroughOneStatePerPath)
{
    const int arch = GetParam();
    const bool pipelined = arch == 3;
    const std::vector<Edge> edges = pipelined
        ? std::vector<Edge>(std::begin(kPipelinedEdges), std::end(kPipelinedEdges))
        : std::vector<Edge>(std::begin(kBurstEdges), std::end(kBurstEdges));
    uint32_t seed = kip_test::seed() * 613u + static_cast<uint32_t>(arch);
    int e = 0;
    for (const Edge& edge : edges) {
        const int lo = min_nfft(arch);
        const int top = std::min(edge.M, 12);
        const int lengths[] = { top, lo, top, std::max(lo, top - 1), top };
        const int kinds[] = { 1, 2, 1, 0, 1 };
        const int frames = kReducedBuild ? 3 : 5;
        std::vector<Case> seq;
        for (int f = 0; f < frames; ++f) {
            std::mt19937 rng(++seed);
            Case c;
            c.seed = seed;
            c.nfft = lengths[f];
            c.g = generics(arch, edge.M, lo, edge.mode, e % 2, edge.iw, edge.tw);
            c.direction = (f + f / 2) % 2;
            if (edge.mode == 1)
                c.sch = schedule(rng, arch, c.nfft, f % 2 ? 0 : 1);
            fill(c, rng, kinds[f]);
            seq.push_back(c);
        }
        // Each edge under another of the caller's rounding modes.
        const RoundingMode mode(kRoundingModes[e % 4]);
        ++e;
        ASSERT_TRUE(matches_on_every_path(seq));
    }
}

// Frames of 8,192 to 65,536 points (C_NFFT_MAX 16) through one state per path and mode: the
// loading order of large frames and the per-length tables. Sanitizer and unoptimised builds
// take 8,192 points only.
TEST_P(FrameReference, LongFramesThroughOneStatePerPath)
{
    const int arch = GetParam();
    uint32_t seed = kip_test::seed() * 733u + static_cast<uint32_t>(arch);
    const int lengths[] = { 13, 16, 14, 15 };
    const int frames = kReducedBuild ? 1 : 4;
    const int iws[] = { 16, 18, 24, 32 }, tws[] = { 16, 20, 18, 24 };
    // Mode 3, pipelined only: the floating-point mode (44-bit words, the operand split, whole
    // products while the words are small), from 8 points.
    const int float_lengths[] = { 13, 16, 3, 14 };
    for (int mode = 0; mode < (arch == 3 ? 4 : 3); ++mode) {
        std::vector<Case> seq;
        for (int f = 0; f < frames; ++f) {
            std::mt19937 rng(++seed);
            Case c;
            c.seed = seed;
            c.nfft = mode == 3 ? float_lengths[f] : lengths[f];
            c.g = generics(arch, 16, 13, std::min(mode, 2), mode % 2, iws[mode], tws[mode]);
            c.direction = f % 3 == 0;
            if (mode == 1)
                c.sch = schedule(rng, arch, c.nfft, 1);
            if (mode == 3) {
                c.g.C_USE_FLT_PT = 1;
                fill_float(c, rng, f % 2);
            } else {
                fill(c, rng, f % 2 ? 0 : 2);
            }
            seq.push_back(c);
        }
        ASSERT_TRUE(matches_on_every_path(seq));
    }
}

// Floating-point frames through one state per path, the portable loops forced as well as the
// vector ones (the scan, the conditioning and the result rounding follow the forced path), with
// the caller in every rounding mode: the results are those of rounding to nearest, and the
// caller's mode is restored.
TEST_P(FrameReference, FloatingPointFramesThroughOneStatePerPath)
{
    const int arch = GetParam();
    uint32_t seed = kip_test::seed() * 877u + static_cast<uint32_t>(arch);
    for (int m = 0; m < 8; ++m) {
        const int tw = m % 2 ? 25 : 16;
        const RoundingMode mode(kRoundingModes[m / 2]);
        std::vector<Case> seq;
        for (int kind = 0; kind < 6; ++kind) {
            std::mt19937 rng(++seed);
            Case c;
            c.seed = seed;
            c.nfft = std::min(10, min_nfft(arch) + 1 + kind % 3 * 2);
            c.g = generics(arch, 10, min_nfft(arch), 2, 0, 32, tw);
            c.g.C_USE_FLT_PT = 1;
            c.direction = kind % 2;
            fill_float(c, rng, kind);
            seq.push_back(c);
        }
        ASSERT_TRUE(matches_on_every_path(seq));
    }
}

INSTANTIATE_TEST_SUITE_P(Arch, FrameReference, testing::Values(1, 2, 3, 4),
    [](const testing::TestParamInfo<int>& p) { return "arch" + std::to_string(p.param); });

// Burst engines in block floating point: the first stage's largest result sits just below
// and just above each class bound (keys B - 1 and B of the 8-bit truncated value, both
// signs), so the second stage's shift depends on each bound exactly. Small noise on every
// sample keeps the shifts from cancelling out in the results.
TEST(FrameReferenceBfp, FirstStageOnEachThreshold)
{
    struct Arch {
        int arch;
        std::vector<int> bounds;
        int fan; // operands of the first butterfly that carry the value
    };
    const Arch archs[] = { { 1, { 24, 48, 97 }, 4 }, { 2, { 53, 106 }, 2 }, { 4, { 53, 106 }, 2 } };
    uint32_t seed = kip_test::seed() * 17u;
    for (const Arch& a : archs) {
        for (int bound : a.bounds) {
            for (int key : { bound - 1, bound }) {
                for (int sign : { 1, -1 }) {
                    for (int nfft : { min_nfft(a.arch), min_nfft(a.arch) + 1 }) {
                        for (int part = 0; part < 2; ++part) {
                            std::mt19937 rng(++seed);
                            std::uniform_real_distribution<double> noise(
                                -std::ldexp(1.0, -12), std::ldexp(1.0, -12));
                            Case c;
                            c.seed = seed;
                            c.nfft = nfft;
                            c.kind = "first-stage key " + std::to_string(sign * key);
                            c.g = generics(a.arch, nfft, nfft, 2, part, 16, 16);
                            c.direction = part;
                            const size_t n = size_t { 1 } << nfft;
                            c.re.resize(n);
                            c.im.resize(n);
                            for (size_t i = 0; i < n; ++i) {
                                c.re[i] = on_grid(noise(rng), 16);
                                c.im[i] = on_grid(noise(rng), 16);
                            }
                            // The first butterfly sums its operands: fan equal samples put
                            // fan * v, in the middle of the wanted key, at its first output.
                            const double v = sign * (key + 0.5) / (128.0 * a.fan);
                            for (int q = 0; q < a.fan; ++q)
                                (part ? c.im : c.re)[q * n / a.fan] = v;
                            ASSERT_TRUE(matches(c));
                        }
                    }
                }
            }
        }
    }
}

// Burst engines in block floating point, later stages: a frame's amplitude is searched (a
// coarse scan, then bisection) until a stage's largest result takes each key next to each class
// bound; those frames are then checked. (The top bound is reached only by the first stage: a
// later stage grows its input by at most the factor its shift takes away.)
TEST(FrameReferenceBfp, LaterStagesOnEachThreshold)
{
    struct Arch {
        int arch, nfft;
        std::vector<int> bounds;
    };
    const Arch archs[] = { { 1, 8, { 24, 48 } }, { 2, 5, { 53 } } };
    for (const Arch& a : archs) {
        const int stages = a.arch == 1 ? (a.nfft + 1) / 2 : a.nfft;
        std::vector<std::pair<int, int>> targets; // (stage, key)
        for (int t = 1; t + 1 < stages; ++t)
            for (int bound : a.bounds)
                for (int key : { bound - 1, bound })
                    targets.emplace_back(t, key);
        std::map<std::pair<int, int>, Case> found;
        const size_t n = size_t { 1 } << a.nfft;
        for (uint32_t base = 1; base <= 6 && found.size() < targets.size(); ++base) {
            // Fixed frames: the keys reached do not depend on the test seed.
            std::mt19937 rng(base);
            Case c;
            c.nfft = a.nfft;
            c.g = generics(a.arch, a.nfft, a.nfft, 2, static_cast<int>(base % 2), 24, 16);
            c.direction = static_cast<int>(base % 2);
            fill(c, rng, static_cast<int>(base % 4));
            const std::vector<double> re0 = c.re, im0 = c.im;
            const auto peaks = [&](double amp) {
                for (size_t i = 0; i < n; ++i) {
                    c.re[i] = on_grid(amp * re0[i], 24);
                    c.im[i] = on_grid(amp * im0[i], 24);
                }
                return fft_ref::simulate(c.g, c.nfft, c.re.data(), c.im.data(), c.sch, c.direction)
                    .stage_peak;
            };
            std::vector<int32_t> prev = peaks(1.0 / 64);
            for (double lo = 1.0 / 64; lo < 1.0; lo *= 1.08) {
                const double hi_amp = std::min(lo * 1.08, 1.0);
                const std::vector<int32_t> next = peaks(hi_amp);
                for (const auto& tk : targets) {
                    const size_t t = static_cast<size_t>(tk.first);
                    if (found.count(tk) || !(prev[t] < tk.second && next[t] >= tk.second))
                        continue;
                    double l = lo, h = hi_amp;
                    for (int it = 0; it < 40; ++it) {
                        const double mid = 0.5 * (l + h);
                        const int32_t p = peaks(mid)[t];
                        if (p == tk.second) {
                            found[tk] = c;
                            found[tk].kind = "stage " + std::to_string(tk.first) + " key "
                                + std::to_string(tk.second);
                            break;
                        }
                        (p < tk.second ? l : h) = mid;
                    }
                }
                prev = next;
            }
        }
        EXPECT_EQ(found.size(), targets.size()) << "arch " << a.arch;
        for (const auto& f : found)
            ASSERT_TRUE(matches(f.second));
    }
}

// Burst engines in block floating point: the first stage's shift follows the input headroom,
// so the largest sample sits on and next to each headroom boundary (+-2^-k and one unit inside
// or outside) over small noise.
TEST(FrameReferenceBfp, InputHeadroomBoundaries)
{
    uint32_t seed = kip_test::seed() * 521u;
    for (int arch : { 1, 2 }) {
        for (int k = 1; k <= 3; ++k) {
            for (int sign : { 1, -1 }) {
                for (int step : { -1, 0, 1 }) {
                    std::mt19937 rng(++seed);
                    std::uniform_real_distribution<double> noise(-1.0 / 64, 1.0 / 64);
                    Case c;
                    c.seed = seed;
                    c.nfft = min_nfft(arch);
                    c.kind = "headroom 2^-" + std::to_string(k);
                    c.g = generics(arch, c.nfft, c.nfft, 2, k % 2, 16, 16);
                    c.direction = step != 0;
                    const size_t n = size_t { 1 } << c.nfft;
                    c.re.resize(n);
                    c.im.resize(n);
                    for (size_t i = 0; i < n; ++i) {
                        c.re[i] = on_grid(noise(rng), 16);
                        c.im[i] = on_grid(noise(rng), 16);
                    }
                    const double v = sign * std::ldexp(1.0, -k) + step * std::ldexp(1.0, -15);
                    (sign > 0 ? c.re : c.im)[rng() % n] = v;
                    ASSERT_TRUE(matches(c));
                }
            }
        }
    }
}

// Pipelined block floating point: the block exponent counts the halvings of the largest value
// (imaginary part preferred on a tie, first one met kept), exact powers of two included.
TEST(FrameReferenceBfp, PipelinedNormalisationBoundaries)
{
    for (int nfft : { 3, 4, 6 }) {
        const size_t n = size_t { 1 } << nfft;
        for (int k = 0; k <= nfft; ++k) {
            for (int sign : { 1, -1 }) {
                for (int tie = 0; tie < 2; ++tie) {
                    Case c;
                    c.nfft = nfft;
                    c.kind = "dc 2^-" + std::to_string(k);
                    c.g = generics(3, nfft, nfft, 2, tie, 16, 16);
                    c.direction = 1;
                    // A constant frame: bin 0 is n times the value, a power of two.
                    const double v = sign * std::ldexp(1.0, -k);
                    c.re.assign(n, v >= 1.0 ? on_grid(v, 16) : v);
                    const double opposite = -c.re[0] < 1.0 ? -c.re[0] : c.re[0];
                    c.im.assign(n, tie ? opposite : 0.0);
                    ASSERT_TRUE(matches(c));
                }
            }
        }
    }
}

using i128 = __int128;

// The first operand x = (a, b) of W bits (margin inside either end of their range) for the
// twiddle (g, h) with S = a g - b h = residue(i) modulo 2^mb that accept(a, b) takes: b from
// the extremes of its range inwards (step i), a the extreme lifts of its congruence.
template <class Residue, class Accept>
bool find_operand(int64_t g, int64_t h, int W, int mb, int64_t margin, Residue residue,
    Accept accept, int64_t& a_out, int64_t& b_out)
{
    if (g == 0)
        return false;
    int v = 0;
    while (((g >> v) & 1) == 0)
        ++v;
    if (v >= mb)
        return false;
    const int64_t mod_a = int64_t(1) << (mb - v); // a is fixed modulo 2^(mb - v)
    const uint64_t go = static_cast<uint64_t>(g >> v); // odd
    uint64_t inv = go; // its inverse modulo 2^64 (Newton's iteration)
    for (int i = 0; i < 6; ++i)
        inv *= 2 - go * inv;
    const int64_t lo = -(int64_t(1) << (W - 1)) + margin, hi = (int64_t(1) << (W - 1)) - 1 - margin;
    const auto floor_div
        = [](int64_t x, int64_t m) { return x >= 0 ? x / m : -((-x + m - 1) / m); };
    for (int64_t i = 0; i < (int64_t(1) << 21) && i < 2 * (hi - lo); ++i) {
        const int64_t b = (i & 1) ? lo + i / 2 : hi - i / 2;
        const i128 need = residue(i) + i128(b) * h; // a g = need modulo 2^mb
        if ((need & ((i128(1) << v) - 1)) != 0)
            continue;
        const uint64_t q = static_cast<uint64_t>(static_cast<int64_t>(need >> v));
        const int64_t a0 = static_cast<int64_t>((q * inv) & static_cast<uint64_t>(mod_a - 1));
        const int64_t lifts[2]
            = { a0 + floor_div(hi - a0, mod_a) * mod_a, a0 - floor_div(a0 - lo, mod_a) * mod_a };
        for (int64_t a : lifts) {
            if (a >= lo && a <= hi && accept(a, b)) {
                a_out = a;
                b_out = b;
                return true;
            }
        }
    }
    return false;
}

// Operand x = (a, b) for the twiddle (g, h) with S = a g - b h at least 2^52 in magnitude and
// S = 2^(d-1) + (2^k - 1) 2^d modulo 2^(d+k): the twiddled operand floor((S + 2^(d-1) - 1) /
// 2^d) is odd and one below a multiple of 2^k, and (S - 1/2) / 2^d evaluated in doubles
// (S - 1/2 rounds to S) rounds up to that multiple instead: the whole product one bit past
// exact doubles shows after k more bits are dropped.
bool tie_operand(
    int64_t g, int64_t h, int W, int d, int k, int64_t& a_out, int64_t& b_out, int64_t margin = 0)
{
    const i128 R = (i128(1) << (d - 1)) + ((i128(1) << k) - 1) * (i128(1) << d);
    return find_operand(
        g, h, W, d + k, margin, [&](int64_t) { return R; },
        [&](int64_t a, int64_t b) {
            const i128 S = i128(a) * g - i128(b) * h;
            return S >= (i128(1) << 52) || S <= -(i128(1) << 52);
        },
        a_out, b_out);
}

// Operand x = (a, b) for the twiddle (g, h) whose twiddled operand (x W + K) >> d, computed
// with the twiddle split in two parts at s (parts = 2, kfft_fp::twiddle_wide2()) or the
// operand split at s (parts = 0, twiddle_operand_split()), differs from the exact one in the
// bits left after k more are dropped: S sits just beside a multiple of 2^(d+k), within the
// weight 2^s of an upper partial sum, so that a last bit lost there shows. A split with
// s = xb + tw - 55, one below the smallest exact one, has such operands.
bool split_operand(int64_t g, int64_t h, int W, int d, int k, int parts, int s, int64_t& a_out,
    int64_t& b_out, int64_t margin = 0)
{
    const int64_t K = (int64_t(1) << (d - 1)) - 1, span = int64_t(1) << s;
    const kfft_fp::WideTwiddle wide = kfft_fp::wide_twiddle(s, d);
    return find_operand(
        g, h, W, d + k, margin,
        [&](int64_t i) {
            const int64_t j = (i >> 2) % span;
            return i128((i & 2) ? -K - 1 - j : -K + j);
        },
        [&](int64_t a, int64_t b) {
            // Two lanes: the baseline processor's own width.
            const double ad = static_cast<double>(a), bd = static_cast<double>(b);
            const double gd = static_cast<double>(g), hd = static_cast<double>(h);
            const kfft_simd::V2 x = { ad, ad }, y = { bd, bd }, gv = { gd, gd }, hv = { hd, hd };
            kfft_simd::V2 tr, ti;
            if (parts == 2)
                kfft_fp::twiddle_wide2(x, y, gv, hv, wide, tr, ti);
            else
                kfft_fp::twiddle_operand_split(x, y, gv, hv, wide, tr, ti);
            const int64_t t = static_cast<int64_t>((i128(a) * g - i128(b) * h + K) >> d);
            return (static_cast<int64_t>(tr[0]) >> k) != (t >> k);
        },
        a_out, b_out);
}

// Twiddle products one step past the exactness bounds in the burst engines: a frame with one
// sample x at n = 1 passes x unchanged through every stage but the last (schedule 0), which
// multiplies it by each of its twiddles; x is chosen for one of them so that the products go
// wrong in doubles one step past a bound, in a bit the stage outputs keep (shift 2): whole
// products at W + TW = 54 (a rounding tie beyond 2^52), and the twiddle split in two parts
// one bit narrower than the smallest exact split, s = W + TW - 55 (an upper partial sum
// beyond 2^53). Every path, both directions through one state.
TEST(FrameReferencePaths, TwiddleProductsBeyondExactDoubles)
{
    struct Setup {
        int arch, iw, tw;
        bool split;
    };
    const Setup setups[] = { { 1, 34, 20, false }, { 1, 20, 34, false }, { 2, 34, 20, false },
        { 2, 20, 34, false }, { 4, 22, 32, false }, { 1, 34, 34, true }, { 2, 30, 33, true } };
    const int nfft = 10, s = 2;
    for (const Setup& su : setups) {
        const int W = su.iw, TW = su.tw, d = TW - 4;
        const fft_ref::Twiddles rom(nfft, TW);
        const uint64_t full = uint64_t(1) << nfft;
        const uint64_t span = su.arch == 1 ? full / 4 : full / 2; // twiddles of the last stage
        std::vector<Case> seq;
        for (int direction : { 1, 0 }) {
            Case c;
            c.nfft = nfft;
            c.g = generics(su.arch, nfft, nfft, 1, 0, W, TW);
            c.direction = direction;
            c.sch.assign(schedule_size(su.arch, nfft), 0);
            c.sch.back() = s;
            int64_t a = 0, b = 0;
            bool found = false;
            // Twiddles near 45 degrees first: the largest products.
            for (uint64_t j = span / 2; j < span && !found; ++j) {
                for (uint64_t kk : { j, span - j }) {
                    const uint64_t idx = direction == 1 ? (full - kk) % full : kk;
                    const KFixComplex w = rom.lookup(idx);
                    const int64_t g = std::llround(std::ldexp(w.re.toDouble(), TW - 1));
                    const int64_t h = std::llround(std::ldexp(w.im.toDouble(), TW - 1));
                    if (su.split ? split_operand(g, h, W, d, 3 + s, 2, W + TW - 55, a, b)
                                 : tie_operand(g, h, W, d, 3 + s, a, b)) {
                        c.kind = (su.split ? "split witness at twiddle " : "tie at twiddle ")
                            + std::to_string(idx);
                        found = true;
                        break;
                    }
                }
            }
            ASSERT_TRUE(found) << "arch " << su.arch << " W " << W << " TW " << TW;
            const size_t n = size_t { 1 } << nfft;
            c.re.assign(n, 0.0);
            c.im.assign(n, 0.0);
            c.re[1] = std::ldexp(static_cast<double>(a), 1 - W);
            c.im[1] = std::ldexp(static_cast<double>(b), 1 - W);
            seq.push_back(c);
        }
        ASSERT_TRUE(matches_on_every_path(seq));
    }
}

// Pipelined twiddle products one step past the exactness bounds (scaled, butterfly outputs of
// Bw = P + 2 bits): four samples make the butterfly output B = x1 + x9 - x5 - x13 of stage 1
// that meets the 45-degree twiddle, chosen so that B W goes wrong in doubles in a bit the
// stage keeps after its shift (3: no overflow, which the integers would redo) drops 8: whole
// products at Bw + TW = 54 (a rounding tie
// beyond 2^52), and the operand split one bit narrower than the smallest exact split,
// a = Bw + TW - 55 (TW 31: the 45-degree twiddle is odd, so its products can be odd too).
// Every path, both directions through one state.
TEST(FrameReferencePaths, PipelinedTwiddleProductsBeyondExactDoubles)
{
    struct Setup {
        int P, tw;
        bool split;
    };
    const Setup setups[] = { { 30, 22, false }, { 34, 31, true } };
    const int nfft = 4, s = 3;
    for (const Setup& su : setups) {
        const int P = su.P, TW = su.tw, d = TW - 6;
        const fft_ref::Twiddles rom(nfft, TW);
        std::vector<Case> seq;
        for (int direction : { 1, 0 }) {
            Case c;
            c.nfft = nfft;
            c.g = generics(3, nfft, nfft, 1, 0, P, TW);
            c.direction = direction;
            c.sch = { s, 0 };
            const uint64_t idx = direction == 1 ? 14 : 2; // W_16^2, forward or inverse
            const KFixComplex w = rom.lookup(idx);
            const int64_t g = std::llround(std::ldexp(w.re.toDouble(), TW - 1));
            const int64_t h = std::llround(std::ldexp(w.im.toDouble(), TW - 1));
            int64_t a = 0, b = 0;
            // Four samples reach [-2^(P+1) + 2, 2^(P+1) - 2].
            ASSERT_TRUE(su.split ? split_operand(g, h, P + 2, d, 5 + s, 0, P + 2 + TW - 55, a, b, 2)
                                 : tie_operand(g, h, P + 2, d, 5 + s, a, b, 2))
                << "P " << P << " TW " << TW << " direction " << direction;
            c.kind = std::string(su.split ? "pipelined split witness" : "pipelined tie")
                + " at twiddle " + std::to_string(idx);
            const size_t n = size_t { 1 } << nfft;
            c.re.assign(n, 0.0);
            c.im.assign(n, 0.0);
            // Each part v of B as v1 + v9 - v5 - v13, every term a P-bit sample.
            const auto spread = [&](int64_t v, std::vector<double>& part) {
                const int64_t q = v / 4;
                int64_t u[4] = { q, q, q, q }; // x1, x9, -x5, -x13
                const int up[3] = { 2, 3, 0 }, down[3] = { 0, 1, 2 };
                for (int64_t i = 0; i < v - 4 * q; ++i)
                    ++u[up[i]];
                for (int64_t i = 0; i < 4 * q - v; ++i)
                    --u[down[i]];
                part[1] = std::ldexp(static_cast<double>(u[0]), 1 - P);
                part[9] = std::ldexp(static_cast<double>(u[1]), 1 - P);
                part[5] = std::ldexp(static_cast<double>(-u[2]), 1 - P);
                part[13] = std::ldexp(static_cast<double>(-u[3]), 1 - P);
            };
            spread(a, c.re);
            spread(b, c.im);
            seq.push_back(c);
        }
        ASSERT_TRUE(matches_on_every_path(seq));
    }
}

// Butterfly output (x, y), |x|, |y| <= lim, for the twiddle (g, h) with S = x g - y h at
// least need and S = T modulo 2^bits; y is taken from the extreme of its range inwards, x as
// the extreme lift of its congruence.
bool product_on_residue(int64_t g, int64_t h, int64_t lim, int64_t T, int bits, __int128 need,
    int64_t& x_out, int64_t& y_out)
{
    using i128 = __int128;
    if (g == 0)
        return false;
    const int v = __builtin_ctzll(static_cast<uint64_t>(g));
    if (v >= bits)
        return false;
    const int64_t mod = int64_t(1) << (bits - v); // x is fixed modulo 2^(bits - v)
    const uint64_t go = static_cast<uint64_t>(g >> v); // odd
    uint64_t inv = go; // its inverse modulo 2^64 (Newton's iteration)
    for (int i = 0; i < 6; ++i)
        inv *= 2 - go * inv;
    const i128 M = i128(1) << bits;
    for (int64_t i = 0; i < 4096; ++i) {
        const int64_t y = h > 0 ? -lim + i : lim - i; // -y h large and positive
        i128 need_r = (i128(T) + i128(y) * h) % M; // x g = T + y h modulo 2^bits
        if (need_r < 0)
            need_r += M;
        if ((need_r & ((i128(1) << v) - 1)) != 0)
            continue;
        const uint64_t q = static_cast<uint64_t>(need_r >> v);
        const int64_t x0 = static_cast<int64_t>((q * inv) & static_cast<uint64_t>(mod - 1));
        const int64_t x = g > 0 ? x0 + (lim - x0) / mod * mod : x0 - (x0 + lim) / mod * mod;
        if (x < -lim || x > lim)
            continue;
        if (i128(x) * g - i128(y) * h >= need) {
            x_out = x;
            y_out = y;
            return true;
        }
    }
    return false;
}

// Pipelined whole twiddle products at their bound (butterfly outputs within 2^(52 - TW), twice
// the largest word the stage before measured), through the engine's plan with the operand
// split (unscaled, 34-bit samples, 19-bit twiddles). Two samples, at r and N/4 + r, reach the
// second stage's odd group as its inputs a and b: its upper butterfly output a - j b times
// W^r. Frames: words at 2^(51 - TW) (butterfly outputs at 2^(52 - TW)), products whole and as large
// as they get; words at 2^(52 - TW) (split products) with the product sum beyond 2^52 where
// truncating whole products in doubles would round twice. Every path, both frames through one
// state.
TEST(FrameReferencePaths, PipelinedWholeProductsAtTheirBound)
{
    const int M = 6, iw = 34, TW = 19;
    const int64_t N = int64_t(1) << M, unit = int64_t(1) << (iw - 1);
    const fft_ref::Twiddles rom(M, TW);
    // Unscaled: twiddled outputs drop d = TW - 7 bits, stage outputs 6 more.
    const int D = TW - 1;
    const int64_t K = (int64_t(1) << (TW - 8)) - 1;
    std::vector<Case> seq;
    for (int big = 0; big < 2; ++big) {
        bool found = false;
        for (int64_t r = N / 16; r < N / 4 && !found; ++r) {
            const KFixComplex w = rom.lookup((N - r) % N); // forward, W^r
            const int64_t g = std::llround(std::ldexp(w.re.toDouble(), TW - 1));
            const int64_t h = std::llround(std::ldexp(w.im.toDouble(), TW - 1));
            int64_t x = 0, y = 0;
            if (big) {
                // S + K = 2^D modulo 2^(D+1): the quotient odd, on a tie once S + K - 2^(D-1)
                // + 1/2 has rounded to an integer.
                const int64_t T = ((int64_t(1) << D) - K) & ((int64_t(1) << (D + 1)) - 1);
                if (!product_on_residue(g, h, 2 * unit - 2, T, D + 1,
                        (__int128(1) << 52) + (__int128(1) << D), x, y))
                    continue;
            } else {
                const int64_t top = int64_t(1) << (52 - TW);
                x = g > 0 ? top : -top;
                y = h > 0 ? -top : top;
            }
            // a = (xa, ya) and b with a - j b = (xa + b.im, ya - b.re) = (x, y).
            const int64_t xa = x / 2, bi = x - xa, ya = y / 2, br = ya - y;
            Case c;
            c.nfft = M;
            c.kind = std::string(big ? "product sum beyond 2^52" : "words at the bound") + " at r "
                + std::to_string(r);
            c.g = generics(3, M, M, 0, 0, iw, TW);
            c.direction = 1;
            c.re.assign(size_t(N), 0.0);
            c.im.assign(size_t(N), 0.0);
            c.re[size_t(r)] = std::ldexp(static_cast<double>(xa), 1 - iw);
            c.im[size_t(r)] = std::ldexp(static_cast<double>(ya), 1 - iw);
            c.re[size_t(N / 4 + r)] = std::ldexp(static_cast<double>(br), 1 - iw);
            c.im[size_t(N / 4 + r)] = std::ldexp(static_cast<double>(bi), 1 - iw);
            seq.push_back(c);
            found = true;
        }
        ASSERT_TRUE(found) << (big ? "no product on the residue" : "no twiddle");
    }
    ASSERT_TRUE(matches_on_every_path(seq));
}

// Pipelined block floating point with the largest magnitude held by two different words of
// opposite sign, a power of two: which one the scan keeps decides the exponent. Every path,
// one state, lengths and directions changing.
TEST(FrameReferencePaths, PipelinedNormalisationTiesBetweenWords)
{
    std::vector<Case> seq;
    for (int nfft : { 3, 4, 3, 5 }) {
        for (int direction : { 1, 0 }) {
            for (double v : { 0.25, -0.5, 0.125 }) {
                Case c;
                c.nfft = nfft;
                c.kind = "alternating tie";
                c.g = generics(3, 5, 3, 2, 1, 16, 16);
                c.direction = direction;
                const size_t n = size_t { 1 } << nfft;
                c.re.assign(n, 0.0);
                c.im.assign(n, 0.0);
                // (0, v, 0, -v, ...): two bins of equal magnitude and opposite sign.
                for (size_t i = 1; i < n; i += 2)
                    (v > 0 ? c.re : c.im)[i] = (i % 4 == 1) ? v : -v;
                seq.push_back(c);
            }
        }
    }
    ASSERT_TRUE(matches_on_every_path(seq));
}

} // namespace
