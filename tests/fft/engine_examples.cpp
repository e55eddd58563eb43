// Worked examples of the engines: impulses, all-zero frames, block floating point shifts,
// overflow of a stage result, rounding corner cases, and the engines' refusal of bad use.
#include <stdexcept>

#include "fft_engine_harness.h"

using namespace fft_test;

namespace {

Frame zero_frame(int n)
{
    Frame f;
    f.re.assign(n, 0.0);
    f.im.assign(n, 0.0);
    return f;
}

void expect_all_bins(const Result& r, double re, double im)
{
    for (size_t k = 0; k < r.re.size(); ++k) {
        if (r.re[k] != re || r.im[k] != im) {
            ADD_FAILURE() << "bin " << k << " = (" << r.re[k] << ", " << r.im[k] << "), expected ("
                          << re << ", " << im << ")";
            return;
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// Radix-4 burst

TEST(R4Examples, ScaledImpulseDividesByFourPerStage)
{
    for (int M : { 6, 8 }) {
        for (int rnd : { 0, 1 }) {
            for (int dir : { 0, 1 }) {
                SCOPED_TRACE(
                    testing::Message() << "M=" << M << " rounding=" << rnd << " dir=" << dir);
                const FFT_CONFIG cfg = derive_fft_config(generics(M, 1, 16, 16, 1, 0, rnd));
                TWIDDLE_ROM rom(M, 16);
                auto eng = std::make_unique<R4_loop>(cfg);
                const Result r
                    = run_frame(*eng, rom, cfg, 6, impulse_frame(64, 0.5), dir, pack({ 2, 2, 2 }));
                expect_all_bins(r, 0.0078125, 0.0);
                EXPECT_EQ(r.overflow, 0);
            }
        }
    }
}

TEST(R4Examples, OddLengthEndsWithRadix2Stage)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(7, 1, 16, 16, 1, 0, 0));
    TWIDDLE_ROM rom(7, 16);
    auto eng = std::make_unique<R4_loop>(cfg);
    // Three radix-4 stages on each 64-point half, then the radix-2 stage shifts by 1.
    Result r = run_frame(*eng, rom, cfg, 7, impulse_frame(128, 0.5), 1, pack({ 2, 2, 2, 1 }));
    expect_all_bins(r, 0.00390625, 0.0);
    EXPECT_EQ(r.shifts, (std::vector<int> { 2, 2, 2, 1, 0, 0, 0 }));
    // An impulse at sample 1 (odd half): bin k = 0.5 e^(-j 2 pi k / 128) / 128.
    r = run_frame(*eng, rom, cfg, 7, impulse_frame(128, 0.5, 1), 1, pack({ 2, 2, 2, 1 }));
    EXPECT_EQ(r.re[0], 0.00390625);
    EXPECT_EQ(r.im[0], 0.0);
    EXPECT_EQ(r.re[32], 0.0);
    EXPECT_EQ(r.im[32], -0.00390625);
    EXPECT_EQ(r.re[64], -0.00390625);
}

TEST(R4Examples, BlockFloatingPointZeroFrame)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(8, 1, 16, 16, 1, 1, 0));
    TWIDDLE_ROM rom(8, 16);
    auto eng = std::make_unique<R4_loop>(cfg);
    const Result r = run_frame(*eng, rom, cfg, 8, zero_frame(256), 1, 0);
    EXPECT_EQ(eng->input_headroom(), 3);
    EXPECT_EQ(r.blk_exp, 0);
    EXPECT_EQ(r.shifts, std::vector<int>(8, 0));
    expect_all_bins(r, 0.0, 0.0);
}

TEST(R4Examples, BlockFloatingPointFullScaleImpulse)
{
    // -1.0 has no redundant sign bit: the first stage shifts by 2; 1/4 is class 1, 1/8
    // class 0.
    const FFT_CONFIG cfg = derive_fft_config(generics(6, 1, 16, 16, 1, 1, 0));
    TWIDDLE_ROM rom(6, 16);
    auto eng = std::make_unique<R4_loop>(cfg);
    const Result r = run_frame(*eng, rom, cfg, 6, impulse_frame(64, -1.0), 0, 0);
    EXPECT_EQ(eng->input_headroom(), 0);
    EXPECT_EQ(r.shifts, (std::vector<int> { 2, 1, 0, 0, 0, 0 }));
    EXPECT_EQ(r.blk_exp, 3);
    expect_all_bins(r, -0.125, 0.0);
}

TEST(R4Examples, StageResultOfPlusOneOverflowsAndWraps)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(6, 1, 16, 16, 1, 0, 0));
    TWIDDLE_ROM rom(6, 16);
    auto eng = std::make_unique<R4_loop>(cfg);
    // Samples 0 and 16 meet in the first butterfly (twiddles 1): X0 = 0.5 + 0.5 = +1.0
    // wraps to -1.0, X1 = 0.5 - 0.5j, X2 = 0, X3 = 0.5 + 0.5j. Every later stage passes
    // them on unchanged (the other operands are zero): bin k holds X(k mod 4).
    Frame f = impulse_frame(64, 0.5);
    f.re[16] = 0.5;
    const Result r = run_frame(*eng, rom, cfg, 6, f, 1, pack({ 0, 0, 0 }));
    EXPECT_EQ(r.overflow, 1);
    for (int k = 0; k < 64; k += 4) {
        EXPECT_EQ(r.re[k], -1.0) << k;
        EXPECT_EQ(r.re[k + 1], 0.5) << k;
        EXPECT_EQ(r.im[k + 1], -0.5) << k;
        EXPECT_EQ(r.re[k + 2], 0.0) << k;
        EXPECT_EQ(r.im[k + 3], 0.5) << k;
    }
    // With the first stage halving it, nothing overflows.
    EXPECT_EQ(run_frame(*eng, rom, cfg, 6, f, 1, pack({ 1, 0, 0 })).overflow, 0);
}

// ---------------------------------------------------------------------------------------
// Radix-2 burst and lite

TEST(R2Examples, ScaledImpulseHalvesPerStage)
{
    for (int rnd : { 0, 1 }) {
        for (int dir : { 0, 1 }) {
            const FFT_CONFIG cfg = derive_fft_config(generics(8, 2, 16, 16, 1, 0, rnd));
            TWIDDLE_ROM rom(8, 16);
            auto eng = std::make_unique<R2_loop>(cfg);
            const Result r = run_frame(
                *eng, rom, cfg, 8, impulse_frame(256, 0.5), dir, pack(std::vector<int>(8, 1)));
            expect_all_bins(r, 0.001953125, 0.0);
            EXPECT_EQ(r.overflow, 0);
        }
    }
}

TEST(R2Examples, EightPointsAreLegal)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(3, 2, 16, 16, 1, 0, 0));
    TWIDDLE_ROM rom(3, 16);
    auto eng = std::make_unique<R2_loop>(cfg);
    const Result r = run_frame(*eng, rom, cfg, 3, impulse_frame(8, 0.5), 1, pack({ 1, 1, 1 }));
    expect_all_bins(r, 0.0625, 0.0);
}

TEST(R2Examples, LiteArchitectureGivesIdenticalResults)
{
    std::mt19937_64 rng(kip_test::seed());
    const Frame f = random_frame(512, 16, 0.5, rng);
    TWIDDLE_ROM rom(9, 16);
    const FFT_CONFIG c2 = derive_fft_config(generics(9, 2, 16, 16, 1, 1, 1));
    const FFT_CONFIG c4 = derive_fft_config(generics(9, 4, 16, 16, 1, 1, 1));
    auto e2 = std::make_unique<R2_loop>(c2);
    auto e4 = std::make_unique<R2_loop>(c4);
    const Result a = run_frame(*e2, rom, c2, 9, f, 1, 0);
    const Result b = run_frame(*e4, rom, c4, 9, f, 1, 0);
    EXPECT_EQ(a.re, b.re);
    EXPECT_EQ(a.im, b.im);
    EXPECT_EQ(a.blk_exp, b.blk_exp);
}

TEST(R2Examples, BlockFloatingPointZeroAndSmallFrames)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(6, 2, 16, 16, 1, 1, 0));
    TWIDDLE_ROM rom(6, 16);
    auto eng = std::make_unique<R2_loop>(cfg);
    Result r = run_frame(*eng, rom, cfg, 6, zero_frame(64), 1, 0);
    EXPECT_EQ(r.blk_exp, 0);
    expect_all_bins(r, 0.0, 0.0);

    // Largest magnitude below 0.25: two redundant sign bits, no shift in the first stage.
    std::mt19937_64 rng(kip_test::seed());
    const Frame f = random_frame(64, 16, 0.25, rng);
    r = run_frame(*eng, rom, cfg, 6, f, 1, 0);
    EXPECT_EQ(eng->input_headroom(), 2);
    EXPECT_EQ(r.shifts[0], 0);
}

TEST(R2Examples, BlockFloatingPointEqualsScheduleOfOnes)
{
    // A DC frame grows by 2 per stage: block floating point shifts by 1 every stage, just
    // like the schedule of ones, and the exponent counts the stages.
    const FFT_CONFIG cb = derive_fft_config(generics(7, 2, 16, 16, 1, 1, 0));
    const FFT_CONFIG cs = derive_fft_config(generics(7, 2, 16, 16, 1, 0, 0));
    TWIDDLE_ROM rom(7, 16);
    auto eb = std::make_unique<R2_loop>(cb);
    auto es = std::make_unique<R2_loop>(cs);
    Frame f;
    f.re.assign(128, 0.75);
    f.im.assign(128, -0.5);
    const Result b = run_frame(*eb, rom, cb, 7, f, 1, 0);
    const Result s = run_frame(*es, rom, cs, 7, f, 1, pack(std::vector<int>(7, 1)));
    EXPECT_EQ(b.shifts, std::vector<int>(7, 1));
    EXPECT_EQ(b.blk_exp, 7);
    EXPECT_EQ(b.re, s.re);
    EXPECT_EQ(b.im, s.im);
}

namespace {

// Radix-2 frames of eight points whose samples 0 and 4 meet in the first butterfly (twiddle
// 1) with a halving stage: every later stage passes the two results on unchanged (the other
// operands are zero), to the even and the odd bins.
Result first_pair(int rounding, double x0, double x4, bool complex = false)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(3, 2, 16, 16, 1, 0, rounding));
    TWIDDLE_ROM rom(3, 16);
    auto eng = std::make_unique<R2_loop>(cfg);
    Frame f = zero_frame(8);
    const double u = std::ldexp(1.0, -15);
    f.re[0] = x0 * u;
    f.re[4] = x4 * u;
    if (complex)
        f.im[0] = -x0 * u;
    return run_frame(*eng, rom, cfg, 3, f, 1, pack({ 1, 0, 0 }));
}

} // namespace

TEST(R2Examples, RoundingNeverRoundsUpFromLargestCode)
{
    const double u = std::ldexp(1.0, -15), largest = 32767;
    // Ties go to even: (2 + 3) / 2 = 2.5 units -> 2, (3 + 4) / 2 = 3.5 -> 4, -1/2 -> 0, and
    // (largest + largest - 1) / 2, half a unit below the largest code, to the even code below.
    Result r = first_pair(1, 2, 3);
    EXPECT_EQ(r.re[0], 2 * u);
    EXPECT_EQ(r.re[1], 0.0);
    r = first_pair(1, 3, 4);
    EXPECT_EQ(r.re[0], 4 * u);
    r = first_pair(1, largest, largest - 1);
    EXPECT_EQ(r.re[0], (largest - 1) * u);
    EXPECT_EQ(r.overflow, 0);
    // Above the largest code, below 1: the last stage of an eight-point frame adds sample
    // 1 = (23171, 23172) units times W8^1 = (23170 - 23170j) / 2^15, 32768.75 units, to
    // sample 0 = largest and halves: 32767.875 units, which would round up to +1.0; it stays
    // at the largest code.
    const FFT_CONFIG cfg = derive_fft_config(generics(3, 2, 16, 16, 1, 0, 1));
    TWIDDLE_ROM rom(3, 16);
    auto eng = std::make_unique<R2_loop>(cfg);
    Frame f = zero_frame(8);
    f.re[0] = largest * u;
    f.re[1] = 23171 * u;
    f.im[1] = 23172 * u;
    r = run_frame(*eng, rom, cfg, 3, f, 1, pack({ 0, 0, 1 }));
    EXPECT_EQ(r.re[1], largest * u);
    EXPECT_EQ(r.overflow, 0);
}

TEST(R2Examples, TruncationIsTowardsMinusInfinity)
{
    // -3 and 3 units halved: -2 and 1 units.
    const Result r = first_pair(0, -3, 0, true);
    EXPECT_EQ(r.re[0], -2 * std::ldexp(1.0, -15));
    EXPECT_EQ(r.im[0], std::ldexp(1.0, -15));
}

// ---------------------------------------------------------------------------------------
// Pipelined

TEST(R22Examples, ScaledImpulse)
{
    for (int rnd : { 0, 1 }) {
        const FFT_CONFIG cfg = derive_fft_config(generics(6, 3, 16, 16, 1, 0, rnd));
        TWIDDLE_ROM rom(6, 16);
        auto eng = std::make_unique<R22_pipeline>(cfg);
        expect_all_bins(run_frame(*eng, rom, cfg, 6, impulse_frame(64, 0.5), 1, pack({ 2, 2, 2 })),
            0.0078125, 0.0);
        // Odd length: the last radix-2 stage shifts by at most 1.
        expect_all_bins(run_frame(*eng, rom, cfg, 5, impulse_frame(32, 0.5), 0, pack({ 2, 2, 1 })),
            0.015625, 0.0);
    }
}

TEST(R22Examples, BlockFloatingPointImpulseAndZeroFrame)
{
    for (int M : { 5, 6 }) {
        const FFT_CONFIG cfg = derive_fft_config(generics(M, 3, 16, 16, 1, 1, 0));
        TWIDDLE_ROM rom(M, 16);
        auto eng = std::make_unique<R22_pipeline>(cfg);
        EXPECT_EQ(eng->internal_width(), 16 + M + 1);
        Result r = run_frame(*eng, rom, cfg, M, impulse_frame(1 << M, 0.5), 1, 0);
        EXPECT_EQ(r.blk_exp, 0);
        expect_all_bins(r, std::ldexp(0.5, -(M + 1)), 0.0);
        r = run_frame(*eng, rom, cfg, M, zero_frame(1 << M), 1, 0);
        EXPECT_EQ(r.blk_exp, 0);
        expect_all_bins(r, 0.0, 0.0);
        // A DC frame of 0.5 gives 0.5 * N in bin 0: nfft halvings bring it to 0.5.
        Frame dc;
        dc.re.assign(1 << M, 0.5);
        dc.im.assign(1 << M, 0.0);
        r = run_frame(*eng, rom, cfg, M, dc, 1, 0);
        EXPECT_EQ(r.blk_exp, M);
        EXPECT_EQ(r.re[0], std::ldexp(0.5, -(M + 1)));
    }
}

TEST(R22Examples, PlusOneInTheStageOutputSetsOverflow)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(4, 3, 16, 16, 1, 0, 0));
    TWIDDLE_ROM rom(4, 16);
    auto eng = std::make_unique<R22_pipeline>(cfg);
    Frame f = impulse_frame(16, 0.5);
    f.re[8] = 0.5;
    EXPECT_EQ(run_frame(*eng, rom, cfg, 4, f, 1, pack({ 0, 0 })).overflow, 1);
    EXPECT_EQ(run_frame(*eng, rom, cfg, 4, f, 1, pack({ 1, 0 })).overflow, 0);
}

TEST(R22Examples, LastStageIntermediateDependsOnMaximumLengthParity)
{
    // An impulse of 5 units reaches every butterfly of the last stage of a 16-point frame
    // unchanged (stage shifts 0); that stage shifts by 3: 5/8 of a unit rounds up directly
    // when C_NFFT_MAX is odd; for even C_NFFT_MAX its lowest bit is truncated first, which
    // leaves a tie that goes to the even code 0.
    const Frame f = impulse_frame(16, 5 * std::ldexp(1.0, -15));
    for (int M : { 5, 4 }) {
        const FFT_CONFIG cfg = derive_fft_config(generics(M, 3, 16, 16, 1, 0, 1));
        TWIDDLE_ROM rom(M, 16);
        auto eng = std::make_unique<R22_pipeline>(cfg);
        expect_all_bins(run_frame(*eng, rom, cfg, 4, f, 1, pack({ 0, 3 })),
            M % 2 ? std::ldexp(1.0, -15) : 0.0, 0.0);
    }
}

// ---------------------------------------------------------------------------------------
// All engines

template <class T> void check_no_carry_over()
{
    const int M = 8;
    const FFT_CONFIG cfg = derive_fft_config(generics(M, T::arch, 16, 16, 1, 1, 1));
    TWIDDLE_ROM rom(M, 16);
    std::mt19937_64 rng(kip_test::seed());
    const Frame a = random_frame(256, 16, 1.0, rng);
    const Frame b = random_frame(64, 16, 0.25, rng);
    auto used = std::make_unique<typename T::Engine>(cfg);
    run_frame(*used, rom, cfg, 8, a, 0, 0);
    const Result r1 = run_frame(*used, rom, cfg, 6, b, 1, 0);
    auto fresh = std::make_unique<typename T::Engine>(cfg);
    const Result r2 = run_frame(*fresh, rom, cfg, 6, b, 1, 0);
    EXPECT_EQ(r1.re, r2.re);
    EXPECT_EQ(r1.im, r2.im);
    EXPECT_EQ(r1.blk_exp, r2.blk_exp);
    EXPECT_EQ(r1.overflow, r2.overflow);
}

TEST(EngineUse, NothingCarriesOverBetweenFrames)
{
    check_no_carry_over<R4Traits>();
    check_no_carry_over<R2Traits>();
    check_no_carry_over<R22Traits>();
}

template <class T> void check_refusals(int min_nfft)
{
    const int M = 8;
    FFT_CONFIG cfg = derive_fft_config(generics(M, T::arch, 16, 16, 1, 0, 0));
    TWIDDLE_ROM rom(M, 16);
    auto eng = std::make_unique<typename T::Engine>(cfg);
    double re = 0, im = 0;
    // Nothing works before a frame is set.
    EXPECT_FALSE(eng->run(rom));
    EXPECT_FALSE(eng->load_input(0, 0.0, 0.0));
    EXPECT_FALSE(eng->read_output(0, re, im));
    // Lengths outside min..C_NFFT_MAX, and an inconsistent geometry.
    FFT_CONFIG g = cfg;
    if (min_nfft > 3) {
        ASSERT_TRUE(set_frame_geometry(g, min_nfft - 1));
    } else {
        g.nfft = 2;
        g.npoints = 4;
    }
    EXPECT_FALSE(eng->set_frame(g));
    ASSERT_TRUE(set_frame_geometry(g, M + 1));
    EXPECT_FALSE(eng->set_frame(g));
    ASSERT_TRUE(set_frame_geometry(g, M));
    g.npoints = 64;
    EXPECT_FALSE(eng->set_frame(g));
    ASSERT_TRUE(set_frame_geometry(g, M));
    EXPECT_TRUE(eng->set_frame(g));
    // Indexes outside the frame.
    EXPECT_FALSE(eng->load_input(-1, 0.0, 0.0));
    EXPECT_FALSE(eng->load_input(256, 0.0, 0.0));
    EXPECT_FALSE(eng->read_output(256, re, im));
    EXPECT_FALSE(eng->read_output(-1, re, im));
    // A twiddle table of another length or width.
    TWIDDLE_ROM other_len(M + 1, 16), other_width(M, 17);
    EXPECT_FALSE(eng->run(other_len));
    EXPECT_FALSE(eng->run(other_width));
    EXPECT_TRUE(eng->run(rom));
    // Configurations no generics can produce.
    FFT_CONFIG bad = cfg;
    bad.data_width = 52;
    EXPECT_THROW(typename T::Engine e(bad), std::invalid_argument);
    bad = cfg;
    bad.C_NFFT_MAX = 17;
    EXPECT_THROW(typename T::Engine e(bad), std::invalid_argument);
    bad = cfg;
    bad.C_TWIDDLE_WIDTH = 7;
    EXPECT_THROW(typename T::Engine e(bad), std::invalid_argument);
}

TEST(EngineUse, RefusesBadArguments)
{
    check_refusals<R4Traits>(6);
    check_refusals<R2Traits>(3);
    check_refusals<R22Traits>(3);
}

TEST(EngineUse, StoresSamplesAsTruncatingWrappingWords)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(6, 2, 16, 16, 1, 0, 0));
    FFT_CONFIG g = cfg;
    auto eng = std::make_unique<R2_loop>(cfg);
    ASSERT_TRUE(set_frame_geometry(g, 6));
    ASSERT_TRUE(eng->set_frame(g));
    // Sample n lands at the bit reversal of n.
    EXPECT_TRUE(eng->load_input(1, 0.5, -0.25));
    EXPECT_EQ(eng->input_position(1), 32);
    EXPECT_EQ(eng->word(32).re, int64_t(1) << 14);
    EXPECT_EQ(eng->word(32).im, -(int64_t(1) << 13));
    EXPECT_EQ(eng->input_headroom(), 0); // 0.5 = 0100...: no redundant sign bit
    // +1.0 wraps to -1.0, values between codes truncate, non-numbers store 0.
    EXPECT_TRUE(eng->load_input(2, 1.0, std::ldexp(-1.5, -15)));
    EXPECT_EQ(eng->word(16).re, -(int64_t(1) << 15));
    EXPECT_EQ(eng->word(16).im, -2);
    EXPECT_TRUE(eng->load_input(3, HUGE_VAL, -HUGE_VAL));
    EXPECT_EQ(eng->word(48).re, 0);
    EXPECT_EQ(eng->word(48).im, 0);
    // A NaN sample invalidates the frame: every bin reads NaN until the next frame.
    double re = 0, im = 0;
    EXPECT_TRUE(eng->load_input(4, std::nan(""), 0.0));
    EXPECT_EQ(eng->word(8).re, 0);
    TWIDDLE_ROM rom(6, 16);
    EXPECT_TRUE(eng->run(rom));
    EXPECT_TRUE(eng->read_output(5, re, im));
    EXPECT_TRUE(std::isnan(re) && std::isnan(im));
    ASSERT_TRUE(eng->set_frame(g));
    EXPECT_TRUE(eng->read_output(5, re, im));
    EXPECT_FALSE(std::isnan(re));
}

TEST(EngineUse, UnscaledWordsHoldInputOverTwoToTheMaximumPlusOne)
{
    const FFT_CONFIG cfg = derive_fft_config(generics(6, 1, 16, 16, 0, 0, 0));
    ASSERT_EQ(cfg.data_width, 23);
    FFT_CONFIG g = cfg;
    auto eng = std::make_unique<R4_loop>(cfg);
    ASSERT_TRUE(set_frame_geometry(g, 6));
    ASSERT_TRUE(eng->set_frame(g));
    EXPECT_TRUE(eng->load_input(0, -1.0, 0.5));
    EXPECT_EQ(eng->word(0).re, -(int64_t(1) << 15));
    EXPECT_EQ(eng->word(0).im, int64_t(1) << 14);
    EXPECT_EQ(eng->input_headroom(), 3);
    // Radix-4 positions: base-4 digit reversal.
    EXPECT_EQ(eng->input_position(1), 16);
    EXPECT_EQ(eng->input_position(6), 36);
}

template <class T> void check_float_config_twin(int input_width, int scaling, int bfp)
{
    // The floating-point interface's configuration drives the engine exactly like the
    // fixed-point generics with the same widths and flags.
    const int M = 9;
    kelvar_ip_kfft_v8_0_generics gf = generics(M, T::arch, 32, 20, 0, 0, 1, 1);
    const FFT_CONFIG cf = derive_fft_config(gf);
    const FFT_CONFIG cx = derive_fft_config(generics(M, T::arch, input_width, 20, scaling, bfp, 0));
    ASSERT_EQ(cf.input_width, cx.input_width);
    ASSERT_EQ(cf.data_width, cx.data_width);
    TWIDDLE_ROM rom(M, 20);
    std::mt19937_64 rng(kip_test::seed());
    const Frame f = random_frame(512, input_width, 1.0, rng);
    auto ef = std::make_unique<typename T::Engine>(cf);
    auto ex = std::make_unique<typename T::Engine>(cx);
    const Result a = run_frame(*ef, rom, cf, M, f, 1, 0);
    const Result b = run_frame(*ex, rom, cx, M, f, 1, 0);
    EXPECT_EQ(a.re, b.re);
    EXPECT_EQ(a.im, b.im);
    EXPECT_EQ(a.blk_exp, b.blk_exp);
}

TEST(EngineUse, FloatingPointConfigurationsMatchTheirFixedTwins)
{
    check_float_config_twin<R4Traits>(29, 1, 1);
    check_float_config_twin<R2Traits>(28, 1, 1);
    check_float_config_twin<R22Traits>(27, 0, 0);
}
