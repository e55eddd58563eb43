// The radix-4 engine's stage implementations (integer registers, exact doubles, exact doubles
// with AVX2) forced in turn on the same randomised frames: every memory word, block exponent,
// overflow flag and stage shift must agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <memory>
#include <random>
#include <vector>

#include "fft_engine_harness.h"
#include "fp_stage.h"

namespace {

using fft_test::Frame;
using fft_test::Result;

struct Case {
    int M, iw, tw, scaling, bfp, rounding;
};

// A constant frame whose first stage lands exactly on (offset 0) or one code beside a block
// floating point class bound (bound 0..2): radix-4 sums four equal operands unshifted,
// radix-2 sums two and shifts once at full scale.
Frame bound_frame(int n, int iw, int arch, int bound, int offset, bool negative, bool complex)
{
    const double r4[] = { 24 / 512.0, 48 / 512.0, 97 / 512.0 };
    const double r2[] = { 53 / 256.0, 53 / 128.0, 106 / 128.0 };
    double c = (arch == 1 ? r4 : r2)[bound] + offset * std::ldexp(1.0, 1 - iw);
    if (negative)
        c = -c;
    Frame f;
    f.re.assign(n, c);
    f.im.assign(n, complex ? c : 0.0);
    return f;
}

// Samples of iw bits with a random magnitude class: quiet, ordinary, full scale, the
// extreme codes that push scaled stages over the edge, or a frame on a class bound.
Frame stress_frame(int n, int iw, int arch, std::mt19937_64& rng)
{
    const int kind = static_cast<int>(rng() % 5);
    if (kind == 4)
        return bound_frame(n, iw, arch, static_cast<int>(rng() % 3),
            static_cast<int>(rng() % 3) - 1, rng() & 1, rng() & 1);
    const double bound = kind == 0 ? 1.0 / 64 : kind == 1 ? 0.5 : 1.0;
    Frame f = fft_test::random_frame(n, iw, bound, rng);
    if (kind == 3)
        for (int i = 0; i < n; ++i) {
            f.re[i] = (rng() & 1) ? -1.0 : 1.0 - std::ldexp(1.0, 1 - iw);
            f.im[i] = (i % 3 == 0) ? -1.0 : f.re[i];
        }
    return f;
}

void expect_same(const Result& a, const Result& b, const char* what)
{
    ASSERT_EQ(a.re.size(), b.re.size());
    for (size_t k = 0; k < a.re.size(); ++k) {
        ASSERT_EQ(a.re[k], b.re[k]) << what << " bin " << k;
        ASSERT_EQ(a.im[k], b.im[k]) << what << " bin " << k;
    }
    EXPECT_EQ(a.blk_exp, b.blk_exp) << what;
    EXPECT_EQ(a.overflow, b.overflow) << what;
    EXPECT_EQ(a.shifts, b.shifts) << what;
}

const Case kCases[] = {
    { 10, 16, 16, 1, 0, 0 },
    { 10, 16, 16, 1, 0, 1 },
    { 9, 16, 16, 1, 1, 0 },
    { 11, 16, 16, 1, 1, 1 },
    { 8, 16, 16, 0, 0, 0 },
    { 7, 12, 12, 0, 0, 1 },
    { 12, 24, 24, 1, 0, 1 },
    { 8, 8, 8, 1, 1, 0 },
    { 10, 29, 18, 1, 1, 0 },
    { 9, 17, 30, 1, 0, 0 },
    { 10, 20, 32, 1, 1, 1 },
    { 7, 34, 34, 1, 0, 1 },
    // Twiddle products beyond exact doubles: the split twiddle stages.
    { 9, 34, 34, 1, 0, 0 },
    { 8, 33, 34, 1, 1, 0 },
    { 10, 30, 33, 1, 0, 1 },
    { 8, 20, 30, 1, 1, 1 },
    { 8, 34, 28, 1, 0, 0 },
    { 8, 27, 34, 1, 1, 0 },
};

// Runs random frames of every case through an engine per path; arch 1 (radix-4, frames
// from 64 points, schedule per radix-4 stage), 2 (radix-2, frames from 8 points, one
// schedule value per stage) or 3 (pipelined, frames from 8 points, schedule per stage pair).
template <class Engine> void check_paths(int arch)
{
    std::mt19937_64 rng(kip_test::seed() + arch);
    const bool avx2 = FFT::avx2_path_supported();
    const bool avx512 = kfft::cpu_has_avx512();
    const int min_nfft = arch == 1 ? 6 : 3;
    const bool pairs = arch != 2;
    for (const Case& c : kCases) {
        const auto g = fft_test::generics(c.M, arch, c.iw, c.tw, c.scaling, c.bfp, c.rounding);
        const FFT_CONFIG cfg = derive_fft_config(g);
        TWIDDLE_ROM rom(c.M, c.tw);
        Engine integer(cfg), portable(cfg), wide(cfg), wide8(cfg);
        integer.force_path(FFT::Path::Integer);
        portable.force_path(FFT::Path::Float);
        wide.force_path(FFT::Path::FloatAvx2);
        wide8.force_path(FFT::Path::FloatAvx512);
        for (int frame = 0; frame < 12; ++frame) {
            const int nfft = min_nfft + static_cast<int>(rng() % (c.M - min_nfft + 1));
            const int n = 1 << nfft;
            const Frame f = stress_frame(n, c.iw, arch, rng);
            const int direction = static_cast<int>(rng() & 1);
            uint32_t schedule = 0;
            const int steps = pairs ? (nfft + 1) / 2 : nfft;
            for (int t = 0; t < steps; ++t) {
                const bool half = pairs && (nfft & 1) && t == steps - 1;
                schedule |= static_cast<uint32_t>(rng() % (half ? 2 : 4)) << (2 * t);
            }
            const Result ref = fft_test::run_frame(integer, rom, cfg, nfft, f, direction, schedule);
            expect_same(ref, fft_test::run_frame(portable, rom, cfg, nfft, f, direction, schedule),
                "portable");
            if (avx2)
                expect_same(
                    ref, fft_test::run_frame(wide, rom, cfg, nfft, f, direction, schedule), "avx2");
            if (avx512)
                expect_same(ref, fft_test::run_frame(wide8, rom, cfg, nfft, f, direction, schedule),
                    "avx512");
            // A rounding mode other than to nearest sends the double paths to integers.
            std::fesetround(FE_UPWARD);
            const Result up = fft_test::run_frame(portable, rom, cfg, nfft, f, direction, schedule);
            std::fesetround(FE_TONEAREST);
            expect_same(ref, up, "upward rounding");
            if (::testing::Test::HasFatalFailure())
                return;
        }
        // Scaled frames whose first stage output lands exactly on +1 or -1 (or one code
        // inside): the overflow flag's bounds, unshifted.
        if (c.scaling && !c.bfp)
            for (int offset = -1; offset <= 1; ++offset)
                for (const double sign : { 1.0, -1.0 }) {
                    const int nfft = min_nfft + 1;
                    const double v
                        = (arch == 2 ? 0.5 : 0.25) * sign + offset * std::ldexp(1.0, 1 - c.iw);
                    Frame f;
                    f.re.assign(1 << nfft, v);
                    f.im.assign(1 << nfft, offset == 0 ? 0.0 : -v);
                    const Result ref = fft_test::run_frame(integer, rom, cfg, nfft, f, 1, 0);
                    expect_same(ref, fft_test::run_frame(portable, rom, cfg, nfft, f, 1, 0),
                        "portable, overflow bound");
                    if (avx2)
                        expect_same(ref, fft_test::run_frame(wide, rom, cfg, nfft, f, 1, 0),
                            "avx2, overflow bound");
                    if (avx512)
                        expect_same(ref, fft_test::run_frame(wide8, rom, cfg, nfft, f, 1, 0),
                            "avx512, overflow bound");
                }
        // Every class bound, exactly and one code to each side, in block floating point.
        if (c.bfp && c.iw >= 10)
            for (int bound = 0; bound < 3; ++bound)
                for (int offset = -1; offset <= 1; ++offset) {
                    const int nfft = min_nfft + 1;
                    const Frame f
                        = bound_frame(1 << nfft, c.iw, arch, bound, offset, offset<0, offset> 0);
                    const Result ref = fft_test::run_frame(integer, rom, cfg, nfft, f, 1, 0);
                    expect_same(ref, fft_test::run_frame(portable, rom, cfg, nfft, f, 1, 0),
                        "portable, class bound");
                    if (avx2)
                        expect_same(ref, fft_test::run_frame(wide, rom, cfg, nfft, f, 1, 0),
                            "avx2, class bound");
                    if (avx512)
                        expect_same(ref, fft_test::run_frame(wide8, rom, cfg, nfft, f, 1, 0),
                            "avx512, class bound");
                }
    }
    if (!avx512)
        GTEST_SKIP() << "no AVX-512F: the 8-lane stages were not compared (the others were)";
}

using i128 = __int128;

// Values u near either end of [lo, hi] with u f = need modulo 2^d (none when f has too many
// trailing zeros for need), appended to out.
void solve_near_ends(int64_t f, i128 need, int d, int64_t lo, int64_t hi, std::vector<int64_t>& out)
{
    if (f == 0)
        return;
    int v = 0;
    while (((f >> v) & 1) == 0)
        ++v;
    if (v >= d || (need & ((i128(1) << v) - 1)) != 0)
        return;
    const uint64_t odd = static_cast<uint64_t>(f >> v);
    uint64_t inv = odd; // its inverse modulo 2^64 (Newton's iteration)
    for (int i = 0; i < 6; ++i)
        inv *= 2 - odd * inv;
    const int64_t mod = int64_t(1) << (d - v);
    const uint64_t q = static_cast<uint64_t>(static_cast<int64_t>(need >> v));
    const int64_t u0 = static_cast<int64_t>((q * inv) & static_cast<uint64_t>(mod - 1));
    const auto floor_div
        = [](int64_t x, int64_t m) { return x >= 0 ? x / m : -((-x + m - 1) / m); };
    const int64_t top = u0 + floor_div(hi - u0, mod) * mod;
    const int64_t bottom = u0 - floor_div(u0 - lo, mod) * mod;
    for (int64_t k = 0; k < 3; ++k) {
        if (top - k * mod >= lo)
            out.push_back(top - k * mod);
        if (bottom + k * mod <= hi)
            out.push_back(bottom + k * mod);
    }
}

// The split twiddle products (operand split, twiddle in two and three parts) against 128-bit
// integers, (x g - y h + K) >> d with K = 2^(d-1) - 1, for every operand width, twiddle width
// and shift the engines can give them a split for, over any operands and twiddle-format values:
// random operands and the extreme codes of both, split parts at their extremes, and the worst
// cases of each exactness bound (path_plan.h): every factor at an end of its range (the
// largest partial sums), split parts at +-2^(s-1) (the largest last partial sum), with one
// factor solved so that the product sits on or just beside a boundary of the quotient by 2^d,
// where an inexact partial sum, remainder or quotient shows. Any split one step past a bound
// gives a wrong product here.
TEST(EnginePaths, WideTwiddleMatchesIntegerProducts)
{
    std::mt19937_64 rng(kip_test::seed() + 7);
    int checked = 0;
    for (int xb = 8; xb <= 51; ++xb)
        for (int tw = 8; tw <= 34; ++tw)
            for (int dd : { 4, 6, 7 })
                for (int parts : { 0, 2, 3 }) { // 0: the operand split
                    const int d = tw - dd;
                    const int s = parts == 3 ? kfft_fp::wide_split(xb, tw, d)
                        : parts == 2         ? kfft_fp::wide_split2(xb, tw, d)
                                             : kfft_fp::operand_split(xb, tw, d);
                    if (s == 0)
                        continue;
                    ++checked;
                    const kfft_fp::WideTwiddle k = kfft_fp::wide_twiddle(s, d);
                    const int64_t xmax = int64_t(1) << (xb - 1), gmax = int64_t(1) << (tw - 1);
                    const i128 K = (i128(1) << (d - 1)) - 1;
                    auto pick = [&](int64_t m, bool closed) {
                        const int64_t edge[] = { -m, m - 1, closed ? m : -m + 1, 0, -1 };
                        const uint64_t r = rng();
                        return (r & 7) < 5 ? edge[r & 7]
                                           : static_cast<int64_t>((r >> 3) % uint64_t(2 * m)) - m;
                    };
                    // Values in [-m, m] (m - 1 for twiddles) whose split lower parts are all
                    // at their extreme, +-2^(s-1).
                    auto split_edge = [&](int64_t m, bool closed) {
                        const int64_t half = int64_t(1) << (s - 1);
                        const int low = parts == 3 ? 2 * s : s;
                        const int64_t lo = ((rng() & 1) ? half : -half)
                            * (parts == 3 ? (int64_t(1) << s) + 1 : 1);
                        const int64_t top = (static_cast<int64_t>(rng() % 3) - 1) * (m - (m >> 2));
                        const int64_t v = (top >> low) * (int64_t(1) << low) + lo;
                        return std::min(std::max(v, -m), closed ? m : m - 1);
                    };
                    // A value within 3 of an end of [-m, m - 1]; with split, one whose lower
                    // parts are +-2^(s-1) (a multiple of 2^s, or 2^2s, away from such a value).
                    auto end_value = [&](int64_t m, bool split) {
                        int64_t v = (rng() & 1) ? -m + static_cast<int64_t>(rng() % 4)
                                                : m - 1 - static_cast<int64_t>(rng() % 4);
                        if (!split)
                            return v;
                        const int64_t unit = int64_t(1) << (parts == 3 ? 2 * s : s);
                        int64_t low
                            = (rng() & 1) ? int64_t(1) << (s - 1) : -(int64_t(1) << (s - 1));
                        if (parts == 3)
                            low *= (int64_t(1) << s) + 1;
                        v = (v / unit) * unit + low;
                        return v < -m ? v + unit : v > m - 1 ? v - unit : v;
                    };
                    const int64_t err = int64_t(1) << (parts == 3 ? 2 * s : s);
                    for (int rep = 0; rep < 160; ++rep) {
                        kfft_simd::V4 x, y, g, h;
                        for (int i = 0; i < 4; ++i) {
                            int64_t xv, yv, gv, hv;
                            if (rep < 64) {
                                const bool edge = rep % 4 == 0, xe = edge && parts == 0;
                                const bool ge = edge && parts != 0;
                                xv = xe ? split_edge(xmax, true) : pick(xmax, true);
                                yv = xe ? split_edge(xmax, true) : pick(xmax, true);
                                gv = ge ? split_edge(gmax, false) : pick(gmax, false);
                                hv = ge ? split_edge(gmax, false) : pick(gmax, false);
                            } else {
                                // The product's residue modulo 2^d: a rounding boundary, just
                                // below or above one by up to an upper part's weight, or any.
                                const uint64_t r = rng();
                                const i128 R = r % 4 == 0 ? i128(1) << (d - 1)
                                    : r % 4 == 1 ? -K - 1 - static_cast<int64_t>((r >> 2) % err)
                                    : r % 4 == 2 ? -K + static_cast<int64_t>((r >> 2) % err)
                                                 : static_cast<i128>((r >> 2) % (uint64_t(1) << d));
                                const bool split = (rng() & 1) != 0;
                                std::vector<int64_t> c;
                                if (parts == 0) { // the operand is split: solve the twiddle
                                    xv = end_value(xmax, split);
                                    yv = end_value(xmax, split);
                                    hv = end_value(gmax, false);
                                    solve_near_ends(xv, R + i128(yv) * hv, d, -gmax, gmax - 1, c);
                                } else {
                                    gv = end_value(gmax, split);
                                    hv = end_value(gmax, split);
                                    yv = end_value(xmax, false);
                                    solve_near_ends(gv, R + i128(yv) * hv, d, -xmax, xmax - 1, c);
                                }
                                if (c.empty()) {
                                    xv = yv = gv = hv = 0;
                                } else if (parts == 0) {
                                    gv = c[rng() % c.size()];
                                } else {
                                    xv = c[rng() % c.size()];
                                }
                            }
                            x[i] = static_cast<double>(xv);
                            y[i] = static_cast<double>(yv);
                            g[i] = static_cast<double>(gv);
                            h[i] = static_cast<double>(hv);
                        }
                        kfft_simd::V4 tr, ti;
                        if (parts == 3)
                            kfft_fp::twiddle_wide(x, y, g, h, k, tr, ti);
                        else if (parts == 2)
                            kfft_fp::twiddle_wide2(x, y, g, h, k, tr, ti);
                        else
                            kfft_fp::twiddle_operand_split(x, y, g, h, k, tr, ti);
                        for (int i = 0; i < 4; ++i) {
                            const i128 a = static_cast<int64_t>(x[i]),
                                       b = static_cast<int64_t>(y[i]);
                            const i128 c = static_cast<int64_t>(g[i]),
                                       e = static_cast<int64_t>(h[i]);
                            const auto where = [&] {
                                std::ostringstream o;
                                o << parts << " parts, xb " << xb << " tw " << tw << " d " << d
                                  << " s " << s << ": x = (" << static_cast<int64_t>(a) << ", "
                                  << static_cast<int64_t>(b) << "), w = ("
                                  << static_cast<int64_t>(c) << ", " << static_cast<int64_t>(e)
                                  << ")";
                                return o.str();
                            };
                            ASSERT_EQ(static_cast<int64_t>((a * c - b * e + K) >> d),
                                static_cast<int64_t>(tr[i]))
                                << where();
                            ASSERT_EQ(static_cast<int64_t>((a * e + b * c + K) >> d),
                                static_cast<int64_t>(ti[i]))
                                << where();
                        }
                    }
                }
    EXPECT_GT(checked, 100);
}

// The plan each engine keeps: Auto takes the exact doubles wherever the widths allow, on the
// widest vectors the processor has (AVX-512F, else AVX2), and the split products just past the
// whole ones; forced paths take what they name. After a frame, the path taken is the plan's
// (rounding to nearest) or integers (any other rounding mode).
TEST(EnginePaths, AutoPlanTakesTheFastestExactPath)
{
    using kfft::Path;
    const Path vector = kfft::cpu_has_avx512() ? Path::FloatAvx512
        : FFT::avx2_path_supported()           ? Path::FloatAvx2
                                               : Path::Float;
    struct Expect {
        int arch, M, iw, tw, scaling;
        int parts; // 0: integers
    };
    const Expect cases[] = {
        { 1, 10, 16, 16, 1, 1 }, // radix-4, products whole
        { 1, 9, 34, 19, 1, 1 }, // W + TW = 53: whole
        { 1, 9, 34, 20, 1, 2 }, // 54: the twiddle in two parts
        { 2, 10, 34, 34, 1, 2 }, // 68: in two
        { 2, 12, 34, 8, 0, 2 }, // W = 47 unscaled: in two
        { 2, 13, 34, 16, 0, 3 }, // W = 48, TW = 16: in three
        { 2, 13, 34, 17, 0, 0 }, // W = 48, TW = 17: integers
        { 1, 14, 34, 8, 0, 0 }, // W = 49: integers
        { 3, 8, 34, 17, 1, 1 }, // pipelined scaled Bw + TW = 36 + 17 = 53: whole
        { 3, 8, 34, 18, 1, 2 }, // 54: the operand in two parts
        { 3, 10, 34, 8, 0, 1 }, // unscaled P = Bw = 45, 53: whole
        { 3, 11, 34, 8, 0, 0 }, // P = 46: integers
    };
    for (const Expect& c : cases) {
        const auto g = fft_test::generics(c.M, c.arch, c.iw, c.tw, c.scaling, 0, 0);
        const FFT_CONFIG cfg = derive_fft_config(g);
        std::unique_ptr<FrameEngine> e;
        if (c.arch == 1)
            e = std::make_unique<R4_loop>(cfg);
        else if (c.arch == 3)
            e = std::make_unique<R22_pipeline>(cfg);
        else
            e = std::make_unique<R2_loop>(cfg);
        const kfft::PathPlan p = e->plan();
        EXPECT_EQ(p.parts, c.parts) << "arch " << c.arch << " iw " << c.iw << " tw " << c.tw;
        EXPECT_EQ(p.stages, c.parts ? vector : Path::Integer) << "arch " << c.arch;
        EXPECT_EQ(p.loops, vector);
        e->force_path(Path::Integer);
        EXPECT_EQ(e->plan().stages, Path::Integer);
        EXPECT_EQ(e->plan().parts, 0);
        e->force_path(Path::Float);
        EXPECT_EQ(e->plan().stages, c.parts ? Path::Float : Path::Integer);
        EXPECT_EQ(e->plan().loops, Path::Float);
        // A forced vector path the processor lacks becomes the next narrower one.
        e->force_path(Path::FloatAvx512);
        EXPECT_EQ(e->plan().loops, vector);
        EXPECT_EQ(e->plan().stages, c.parts ? vector : Path::Integer);
        e->force_path(Path::FloatAvx2);
        EXPECT_EQ(e->plan().loops, vector == Path::Float ? Path::Float : Path::FloatAvx2);
        e->force_path(Path::Auto);
        // The path a frame takes.
        TWIDDLE_ROM rom(c.M, c.tw);
        std::mt19937_64 rng(kip_test::seed());
        const int nfft = c.arch == 1 ? 6 : 3;
        const Frame f = fft_test::random_frame(1 << nfft, c.iw, 0.5, rng);
        fft_test::run_frame(*e, rom, cfg, nfft, f, 1, 0);
        EXPECT_EQ(e->frame_path(), p.stages);
        std::fesetround(FE_UPWARD);
        fft_test::run_frame(*e, rom, cfg, nfft, f, 1, 0);
        std::fesetround(FE_TONEAREST);
        EXPECT_EQ(e->frame_path(), Path::Integer);
    }
}

// The pipelined engine's twiddled stages take whole products whenever the magnitude measured
// by the stage before allows them, whatever split the plan holds: floating-point mode (39-bit
// memory words, plan with the operand split) at every twiddled stage of a full-scale frame;
// 34-bit words at 2^33 split until the words have shrunk, quiet ones whole from the start. The
// frames agree with the integer registers bit for bit.
TEST(EnginePaths, PipelinedStagesTakeWholeProductsWhereTheInputsAllow)
{
    struct Expect {
        int M, iw, tw, flt, nfft;
        double amplitude;
        std::vector<int> parts; // of the first twiddled stages, t = 1, 3, ...
    };
    const Expect cases[] = {
        { 10, 32, 16, 1, 10, 1.0, { 1, 1, 1, 1 } },
        // 2^27 words after stage 0, at the bound 2 A <= 2^(52 - TW).
        { 13, 32, 24, 1, 13, 1.0, { 1 } },
        { 5, 34, 19, 0, 4, 1.0, { 2 } },
        { 5, 34, 19, 0, 4, 1.0 / 4, { 1 } },
        { 6, 34, 19, 0, 6, 1.0, { 2, 2 } },
    };
    std::mt19937_64 rng(kip_test::seed() + 11);
    for (const Expect& c : cases) {
        const auto g = fft_test::generics(c.M, 3, c.iw, c.tw, 0, 0, 0, c.flt);
        const FFT_CONFIG cfg = derive_fft_config(g);
        TWIDDLE_ROM rom(c.M, c.tw);
        R22_pipeline fast(cfg), integer(cfg);
        integer.force_path(FFT::Path::Integer);
        EXPECT_EQ(fast.plan().parts, 2) << "M " << c.M << " tw " << c.tw;
        Frame f = fft_test::random_frame(1 << c.nfft, cfg.input_width, c.amplitude, rng);
        // Stage 0's largest output: twice the largest sample.
        f.re[0] = f.re[f.re.size() / 2] = -c.amplitude;
        for (int direction : { 0, 1 }) {
            const Result r = fft_test::run_frame(fast, rom, cfg, c.nfft, f, direction, 0);
            std::vector<int> parts;
            for (int t = 1; t < c.nfft - 1 && parts.size() < c.parts.size(); t += 2)
                parts.push_back(fast.stage_parts(t));
            EXPECT_EQ(parts, c.parts)
                << "M " << c.M << " iw " << c.iw << " tw " << c.tw << " amplitude " << c.amplitude;
            EXPECT_EQ(fast.stage_parts(0), -1);
            expect_same(fft_test::run_frame(integer, rom, cfg, c.nfft, f, direction, 0), r,
                "stage products");
        }
    }
}

// Pipelined frames of coarse values (sums of a few powers of two, scaled by up to 2^(M+1) so
// that the unscaled words reach the memory's range) with random schedules: butterfly and
// twiddled outputs land exactly on the limits of the double stages' checks (+-2^k, wrapping
// and overflow edges), where a limit one too far gives other words or flags.
TEST(EnginePaths, PipelinedCoarseFramesOnTheCheckLimits)
{
    std::mt19937_64 rng(kip_test::seed() + 13);
    const bool avx2 = FFT::avx2_path_supported();
    const bool avx512 = kfft::cpu_has_avx512();
    const Case cases[] = { { 7, 16, 16, 1, 0, 0 }, { 7, 16, 16, 1, 0, 1 }, { 6, 20, 12, 0, 0, 0 },
        { 6, 16, 18, 0, 0, 1 }, { 7, 16, 16, 1, 1, 0 }, { 5, 24, 24, 1, 0, 1 } };
    const double coarse[] = { 0.0, 1.0, 0.5, 0.25, 0.75, 0.125, -1.0, -0.5, -0.25, -0.75 };
    for (const Case& c : cases) {
        const auto g = fft_test::generics(c.M, 3, c.iw, c.tw, c.scaling, c.bfp, c.rounding);
        const FFT_CONFIG cfg = derive_fft_config(g);
        TWIDDLE_ROM rom(c.M, c.tw);
        R22_pipeline integer(cfg), portable(cfg), wide(cfg), wide8(cfg);
        int fallbacks = 0; // frames that took integers at some stage
        integer.force_path(FFT::Path::Integer);
        portable.force_path(FFT::Path::Float);
        wide.force_path(FFT::Path::FloatAvx2);
        wide8.force_path(FFT::Path::FloatAvx512);
        const bool grow = !(c.scaling && !c.bfp); // words in units of 2^-(M+1)
        for (int frame = 0; frame < 400; ++frame) {
            const int nfft = 3 + static_cast<int>(rng() % (c.M - 2));
            const int n = 1 << nfft;
            const double scale = grow ? std::ldexp(1.0, static_cast<int>(rng() % (c.M + 2))) : 1.0;
            // Dense, sparse, constant (growing coherently from stage to stage), or a pair v, -v
            // at r and N/4 + r: a butterfly output 2v at the second stage, twiddled by W^(2r)
            // (2v = 2^(P-1) for unscaled words from v = 2^M).
            const int kind = static_cast<int>(rng() % 5);
            const double dc_re = scale * coarse[rng() % 10], dc_im = scale * coarse[rng() % 10];
            Frame f;
            for (int i = 0; i < n; ++i) {
                const bool on = kind == 0 || rng() % (4 * kind) == 0;
                f.re.push_back(kind == 3 ? dc_re
                        : on && kind < 3 ? scale * coarse[rng() % 10]
                                         : 0.0);
                f.im.push_back(kind == 3              ? dc_im
                        : on && kind < 3 && rng() % 2 ? scale * coarse[rng() % 10]
                                                      : 0.0);
            }
            if (kind == 4) {
                const int r = 1 + static_cast<int>(rng() % static_cast<uint64_t>(n / 4 - 1));
                const double v = (rng() % 2 ? 1.0 : -1.0)
                    * std::ldexp(1.0, grow ? c.M - static_cast<int>(rng() % 2) : -1);
                std::vector<double>& part = rng() % 2 ? f.re : f.im;
                part[r] = v;
                part[r + n / 4] = -v;
            }
            uint32_t schedule = 0;
            for (int t = 0; t < (nfft + 1) / 2; ++t)
                schedule |= static_cast<uint32_t>(rng() % ((nfft & 1) && 2 * t + 1 == nfft ? 2 : 4))
                    << (2 * t);
            const int direction = static_cast<int>(rng() & 1);
            const Result ref = fft_test::run_frame(integer, rom, cfg, nfft, f, direction, schedule);
            expect_same(ref, fft_test::run_frame(portable, rom, cfg, nfft, f, direction, schedule),
                "portable, coarse frame");
            bool fell_back = false;
            for (int t = 1; t < nfft - 1; t += 2)
                fell_back |= portable.stage_parts(t) == 0;
            fallbacks += fell_back;
            if (avx2)
                expect_same(ref, fft_test::run_frame(wide, rom, cfg, nfft, f, direction, schedule),
                    "avx2, coarse frame");
            if (avx512)
                expect_same(ref, fft_test::run_frame(wide8, rom, cfg, nfft, f, direction, schedule),
                    "avx512, coarse frame");
            if (::testing::Test::HasFailure())
                return;
        }
        // Both sides of the limits are visited.
        EXPECT_GT(fallbacks, 0) << "M " << c.M << " iw " << c.iw;
        EXPECT_LT(fallbacks, 300) << "M " << c.M << " iw " << c.iw;
    }
    if (!avx512)
        GTEST_SKIP() << "no AVX-512F: the 8-lane stages were not compared (the others were)";
}

TEST(EnginePaths, Radix4PathsAgreeBitForBit) { check_paths<R4_loop>(1); }

TEST(EnginePaths, Radix2PathsAgreeBitForBit) { check_paths<R2_loop>(2); }

TEST(EnginePaths, PipelinedPathsAgreeBitForBit) { check_paths<R22_pipeline>(3); }

} // namespace
