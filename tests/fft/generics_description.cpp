// The description of the generics and the shared policies (frame length, schedule length,
// default schedule, output width) against create_state, simulate and an independent reading
// of the rules; the default schedule against worst-case frames at every length.
#include "kfft_test_util.h"

#include <cstddef>
#include <cstring>

using namespace kfft_test;

namespace {

using Generics = kelvar_ip_kfft_v8_0_generics;

std::vector<std::string> record_order()
{
    return { "C_NFFT_MAX", "C_ARCH", "C_HAS_NFFT", "C_USE_FLT_PT", "C_INPUT_WIDTH",
        "C_TWIDDLE_WIDTH", "C_HAS_SCALING", "C_HAS_BFP", "C_HAS_ROUNDING" };
}

// Independent reading of the documented policies.
int32_t ref_nfft(const Generics& g, int32_t nfft)
{
    if (g.C_HAS_NFFT == 0)
        return g.C_NFFT_MAX;
    const int32_t lo = g.C_ARCH == 1 ? 6 : 3;
    return nfft >= lo && nfft <= g.C_NFFT_MAX ? nfft : 0;
}

bool reads_schedule(const Generics& g)
{
    return g.C_HAS_SCALING == 1 && g.C_HAS_BFP == 0 && g.C_USE_FLT_PT == 0;
}

TEST(GenericsDescription, MatchesTheRecordAndTheDefaults)
{
    const auto names = record_order();
    ASSERT_EQ(kelvar_ip_kfft_v8_0_generic_count(), static_cast<int32_t>(names.size()));
    const Generics def = kelvar_ip_kfft_v8_0_get_default_generics();
    const int32_t expected_defaults[] = { 10, 1, 0, 0, 16, 16, 1, 0, 0 };
    for (int32_t i = 0; i < kelvar_ip_kfft_v8_0_generic_count(); ++i) {
        const auto* d = kelvar_ip_kfft_v8_0_generic_at(i);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->name, names[i]);
        EXPECT_EQ(d->offset, static_cast<int32_t>(i * sizeof(int32_t))) << d->name;
        int32_t v;
        std::memcpy(&v, reinterpret_cast<const char*>(&def) + d->offset, sizeof v);
        EXPECT_EQ(v, d->default_value) << d->name;
        EXPECT_EQ(v, expected_defaults[i]) << d->name;
        EXPECT_LE(d->min_value, d->default_value);
        EXPECT_GE(d->max_value, d->default_value);
        EXPECT_GT(std::strlen(d->help), 10u);
        EXPECT_EQ(std::strchr(d->help, '\n'), nullptr);
        EXPECT_NE(d->rule, nullptr);
        EXPECT_EQ(kelvar_ip_kfft_v8_0_generic_find(d->name), d);
        if (d->kind == KELVAR_IP_KFFT_V8_0_KIND_FLAG) {
            EXPECT_EQ(d->min_value, 0);
            EXPECT_EQ(d->max_value, 1);
        }
    }
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generic_at(-1), nullptr);
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generic_at(9), nullptr);
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generic_find("c_arch"), nullptr);
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generic_find(nullptr), nullptr);
    // The documented ranges.
    const int32_t lo[] = { 3, 1, 0, 0, 8, 8, 0, 0, 0 }, hi[] = { 16, 4, 1, 1, 34, 34, 1, 1, 1 };
    for (int32_t i = 0; i < 9; ++i) {
        EXPECT_EQ(kelvar_ip_kfft_v8_0_generic_at(i)->min_value, lo[i]);
        EXPECT_EQ(kelvar_ip_kfft_v8_0_generic_at(i)->max_value, hi[i]);
    }
}

// generics_set takes exactly the range create_state takes; generics_check gives create_state's
// verdict and line without writing anything.
TEST(GenericsDescription, SetAndCheckAgreeWithCreateState)
{
    char msg[KELVAR_IP_KFFT_V8_0_MSG_LEN];
    for (int32_t i = 0; i < kelvar_ip_kfft_v8_0_generic_count(); ++i) {
        const auto* d = kelvar_ip_kfft_v8_0_generic_at(i);
        Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
        const std::string bad_lo = "Invalid value " + std::to_string(d->min_value - 1) + " for "
            + d->name + ": must be in the range " + std::to_string(d->min_value) + " to "
            + std::to_string(d->max_value);
        EXPECT_EQ(
            kelvar_ip_kfft_v8_0_generics_set(&g, d->name, d->min_value - 1, msg, sizeof msg), 1);
        EXPECT_EQ(msg, bad_lo);
        EXPECT_EQ(
            kelvar_ip_kfft_v8_0_generics_set(&g, d->name, d->max_value + 1, msg, sizeof msg), 1);
        EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(&g, d->name, 1.5, msg, sizeof msg), 1);
        EXPECT_EQ(msg, "Invalid value 1.5 for " + std::string(d->name) + ": must be an integer");
        EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(&g, d->name, NAN, msg, sizeof msg), 1);
        const Generics def = kelvar_ip_kfft_v8_0_get_default_generics();
        EXPECT_EQ(std::memcmp(&g, &def, sizeof g), 0) << "a refused value changed the record";
        for (int32_t v : { d->min_value, d->max_value }) {
            EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(&g, d->name, v, msg, sizeof msg), 0);
            EXPECT_STREQ(msg, "");
            int32_t got;
            std::memcpy(&got, reinterpret_cast<const char*>(&g) + d->offset, sizeof got);
            EXPECT_EQ(got, v);
        }
    }
    Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(&g, "C_NFFT", 5, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "Unknown FFT generic 'C_NFFT'");
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(&g, "C_ARCH", 4294967297.0, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "Invalid value 4294967297 for C_ARCH: must be in the range 1 to 4");
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(nullptr, "C_ARCH", 1, msg, sizeof msg), 1);
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(&g, "C_ARCH", 2, nullptr, 0), 0);
    char tiny[6];
    EXPECT_EQ(kelvar_ip_kfft_v8_0_generics_set(&g, "C_ARCH", 9, tiny, sizeof tiny), 1);
    EXPECT_STREQ(tiny, "Inval");

    // Random generics around the edges of every range: the same verdict and the same line.
    std::mt19937 rng(kip_test::seed());
    int accepted = 0, refused = 0;
    for (int trial = 0; trial < 80; ++trial) {
        Generics r = kelvar_ip_kfft_v8_0_get_default_generics();
        for (int32_t i = 0; i < 9; ++i) {
            const auto* d = kelvar_ip_kfft_v8_0_generic_at(i);
            std::uniform_int_distribution<int32_t> pick(d->min_value - 1, d->max_value + 1);
            int32_t v = pick(rng);
            if (rng() % 4 != 0)
                v = std::min(std::max(v, d->min_value), d->max_value);
            std::memcpy(reinterpret_cast<char*>(&r) + d->offset, &v, sizeof v);
        }
        if (rng() % 3 == 0)
            r.C_INPUT_WIDTH = 32;
        if (rng() % 2 == 0)
            r.C_NFFT_MAX = std::min(r.C_NFFT_MAX, 8); // keep the twiddle tables small
        int32_t rule = -1;
        const std::string line = capture_stderr(
            [&] { rule = kelvar_ip_kfft_v8_0_generics_check(r, msg, sizeof msg); });
        EXPECT_EQ(line, "") << "generics_check wrote to stderr";
        kelvar_ip_kfft_v8_0_state* s = nullptr;
        const std::string created
            = capture_stderr([&] { s = kelvar_ip_kfft_v8_0_create_state(r); });
        EXPECT_EQ(rule == 0, s != nullptr) << msg;
        if (rule == 0) {
            ++accepted;
            EXPECT_STREQ(msg, "");
            EXPECT_GT(kelvar_ip_kfft_v8_0_frame_length(r, r.C_NFFT_MAX), 0);
        } else {
            ++refused;
            EXPECT_EQ(created, std::string(msg) + "\n");
            EXPECT_EQ(kelvar_ip_kfft_v8_0_frame_length(r, r.C_NFFT_MAX), 0);
            EXPECT_EQ(kelvar_ip_kfft_v8_0_output_width(r, r.C_NFFT_MAX), 0);
            EXPECT_EQ(kelvar_ip_kfft_v8_0_stage_count(r, r.C_NFFT_MAX), 0);
        }
        kelvar_ip_kfft_v8_0_destroy_state(s);
    }
    EXPECT_GT(accepted, 10);
    EXPECT_GT(refused, 10);
}

// Frame length, schedule length and output width against their documented rules for every
// valid configuration and nfft from -1 to 18, and against simulate for small maxima.
TEST(GenericsDescription, PoliciesFollowTheirRules)
{
    for (int arch = 1; arch <= 4; ++arch)
        for (int nmax = 3; nmax <= 16; ++nmax)
            for (int has_nfft = 0; has_nfft <= 1; ++has_nfft)
                for (int mode = 0; mode < 4; ++mode) {
                    Generics g
                        = make_generics(arch, nmax, mode == 3 ? 1 : mode, mode == 3 ? 32 : 16);
                    g.C_HAS_NFFT = has_nfft;
                    g.C_USE_FLT_PT = mode == 3;
                    const bool valid = kelvar_ip_kfft_v8_0_generics_check(g, nullptr, 0) == 0;
                    for (int32_t nfft = -1; nfft <= 18; ++nfft) {
                        const int32_t n = valid ? ref_nfft(g, nfft) : 0;
                        SCOPED_TRACE(testing::Message()
                            << "arch " << arch << " max " << nmax << " has_nfft " << has_nfft
                            << " mode " << mode << " nfft " << nfft);
                        EXPECT_EQ(kelvar_ip_kfft_v8_0_frame_length(g, nfft), n ? 1 << n : 0);
                        const int32_t stages = n == 0 || !reads_schedule(g)
                            ? 0
                            : (arch == 1 || arch == 3 ? (n + 1) / 2 : n);
                        EXPECT_EQ(kelvar_ip_kfft_v8_0_stage_count(g, nfft), stages);
                        const int32_t width = n == 0 ? 0
                            : mode == 3              ? 32
                            : mode == 0              ? 16 + nmax + 1
                                                     : 16;
                        EXPECT_EQ(kelvar_ip_kfft_v8_0_output_width(g, nfft), width);
                        int32_t sched[20];
                        std::fill(sched, sched + 20, -9);
                        EXPECT_EQ(kelvar_ip_kfft_v8_0_default_schedule(g, nfft, sched, 20), stages);
                        int32_t total = 0;
                        for (int32_t i = 0; i < stages; ++i)
                            total += sched[i];
                        if (stages) {
                            EXPECT_EQ(total, n + 1) << "the default schedule divides by 2N";
                        }
                        EXPECT_EQ(sched[stages], -9) << "wrote past the schedule";
                        if (stages > 1) {
                            // capacity limits what is written, not the count.
                            std::fill(sched, sched + 20, -9);
                            EXPECT_EQ(
                                kelvar_ip_kfft_v8_0_default_schedule(g, nfft, sched, 1), stages);
                            EXPECT_EQ(sched[1], -9);
                        }
                    }
                }

    // Against simulate: the frame length is the accepted input size, the stage count the
    // accepted schedule size.
    for (int arch = 1; arch <= 4; ++arch) {
        Generics g = make_generics(arch, arch == 1 ? 8 : 5, 1);
        g.C_HAS_NFFT = 1;
        State s(g);
        ASSERT_NE(s.get(), nullptr);
        for (int32_t nfft = 2; nfft <= g.C_NFFT_MAX + 1; ++nfft) {
            const int32_t len = kelvar_ip_kfft_v8_0_frame_length(g, nfft);
            const int32_t stages = kelvar_ip_kfft_v8_0_stage_count(g, nfft);
            const int32_t probe = nfft >= 3 && nfft <= 16 ? nfft : 3;
            std::vector<int32_t> sch(static_cast<size_t>(std::max(stages, 1)));
            kelvar_ip_kfft_v8_0_default_schedule(
                g, nfft, sch.data(), static_cast<int32_t>(sch.size()));
            Frame f(probe, std::vector<double>(size_t { 1 } << probe, 0.25),
                std::vector<double>(size_t { 1 } << probe, -0.5), sch);
            f.in.nfft = nfft;
            f.in.scaling_sch_size = stages;
            int rc = 0;
            capture_stderr([&] { rc = f.simulate(s.get()); });
            if (len == 0) {
                EXPECT_EQ(rc, arch == 1 ? 6 : 7) << "nfft " << nfft;
                continue;
            }
            EXPECT_EQ(len, 1 << probe);
            EXPECT_EQ(rc, 0) << "nfft " << nfft;
            sch.push_back(0);
            f.sch = sch;
            f.bind();
            f.in.nfft = nfft;
            capture_stderr([&] { rc = f.simulate(s.get()); });
            EXPECT_EQ(rc, arch == 1 || arch == 3 ? 15 : 16) << "nfft " << nfft;
        }
    }
}

// Worst-case frames of one length: full scale of either sign (the most negative code included),
// impulses, alternating signs and sign-aligned tones on several bins, of either rotation (forward
// and inverse kernels), with real and imaginary parts chosen to reach the corners of the square.
std::vector<std::pair<std::vector<double>, std::vector<double>>> worst_frames(int nfft, int iw)
{
    const size_t n = size_t { 1 } << nfft;
    const double top = 1.0 - std::ldexp(1.0, 1 - iw);
    auto corner = [&](double v) { return v < 0 ? -1.0 : top; };
    std::vector<std::pair<std::vector<double>, std::vector<double>>> frames;
    frames.emplace_back(std::vector<double>(n, -1.0), std::vector<double>(n, -1.0));
    frames.emplace_back(std::vector<double>(n, top), std::vector<double>(n, top));
    frames.emplace_back(std::vector<double>(n, -1.0), std::vector<double>(n, top));
    std::vector<double> imp(n, 0.0);
    imp[0] = -1.0;
    frames.emplace_back(imp, imp);
    const size_t bins[]
        = { 0, 1, n / 8, n / 4 - 1, n / 4, n / 2 - 1, n / 2, n / 2 + 1, 3 * n / 8 + 1, n - 1 };
    const double pi = std::acos(-1.0);
    for (size_t k : bins)
        for (int rot : { -1, 1 })
            for (double phase : { 0.0, pi / 4, pi / 8 }) {
                std::vector<double> re(n), im(n);
                for (size_t t = 0; t < n; ++t) {
                    const double a = rot * 2.0 * pi * double((k * t) % n) / double(n) + phase;
                    re[t] = corner(std::cos(a));
                    im[t] = corner(std::sin(a));
                }
                frames.emplace_back(re, im);
            }
    return frames;
}

// The default schedule never overflows: every worst-case frame, every length and architecture,
// both directions, narrow and wide data and twiddles, truncation and rounding. The same frames
// make the schedule that shifts one bit less in its first step overflow, so they do reach the
// bound the default schedule is built on.
TEST(GenericsDescription, DefaultScheduleNeverOverflows)
{
    struct Widths {
        int iw, tw, rounding;
    };
    const Widths widths[] = { { 16, 16, 0 }, { 8, 8, 1 }, { 34, 34, 0 }, { 12, 34, 1 } };
    for (int arch = 1; arch <= 4; ++arch) {
        bool weaker_overflowed_somewhere = false;
        for (const Widths& w : widths) {
            Generics g = make_generics(arch, 16, 1, w.iw, w.tw);
            g.C_HAS_ROUNDING = w.rounding;
            g.C_HAS_NFFT = 1;
            State s(g);
            ASSERT_NE(s.get(), nullptr);
            const int lo = arch == 1 ? 6 : 3;
            // Long frames are slow: all lengths at 16 bits, the short ones at the other widths.
            const int hi = w.iw == 16 ? 16 : 11;
            for (int nfft = lo; nfft <= hi; ++nfft) {
                std::vector<int32_t> sch(
                    static_cast<size_t>(kelvar_ip_kfft_v8_0_stage_count(g, nfft)));
                ASSERT_GT(sch.size(), 0u);
                kelvar_ip_kfft_v8_0_default_schedule(
                    g, nfft, sch.data(), static_cast<int32_t>(sch.size()));
                std::vector<int32_t> weaker = sch;
                weaker[0] -= 1;
                const int out_bits = kelvar_ip_kfft_v8_0_output_width(g, nfft);
                auto frames = worst_frames(nfft, w.iw);
                if (nfft > 12) // keep the run short: constant corners, impulse, two tones
                    frames.resize(8);
                for (size_t fi = 0; fi < frames.size(); ++fi)
                    for (int dir = 0; dir <= 1; ++dir) {
                        SCOPED_TRACE(testing::Message()
                            << "arch " << arch << " iw " << w.iw << " tw " << w.tw << " nfft "
                            << nfft << " frame " << fi << " dir " << dir);
                        Frame f(nfft, frames[fi].first, frames[fi].second, sch, dir);
                        ASSERT_EQ(f.simulate(s.get()), 0);
                        ASSERT_EQ(f.out.overflow, 0);
                        // Every bin is a whole word of output_width bits.
                        const double lim = std::ldexp(1.0, out_bits - 1);
                        for (size_t k = 0; k < f.out_re.size(); ++k)
                            for (double y : { f.out_re[k], f.out_im[k] }) {
                                const double word = std::ldexp(y, w.iw - 1);
                                ASSERT_EQ(word, std::trunc(word));
                                ASSERT_TRUE(word >= -lim && word < lim);
                            }
                        if (!weaker_overflowed_somewhere && nfft <= 10) {
                            Frame h(nfft, frames[fi].first, frames[fi].second, weaker, dir);
                            ASSERT_EQ(h.simulate(s.get()), 0);
                            weaker_overflowed_somewhere = h.out.overflow == 1;
                        }
                    }
            }
        }
        EXPECT_TRUE(weaker_overflowed_somewhere)
            << "arch " << arch << ": no frame reaches the bound of the first step";
    }
}

// Unscaled output words use the full growth: the worst frames fill, but never exceed, the
// C_INPUT_WIDTH + C_NFFT_MAX + 1 bits output_width gives.
TEST(GenericsDescription, UnscaledOutputWidthHoldsFullGrowth)
{
    for (int arch = 1; arch <= 4; ++arch) {
        const int nfft = arch == 1 ? 6 : 4;
        Generics g = make_generics(arch, nfft, 0, 10, 16);
        State s(g);
        ASSERT_NE(s.get(), nullptr);
        const int bits = kelvar_ip_kfft_v8_0_output_width(g, nfft);
        ASSERT_EQ(bits, 10 + nfft + 1);
        double largest = 0;
        for (auto& fr : worst_frames(nfft, 10)) {
            Frame f(nfft, fr.first, fr.second, {});
            f.in.scaling_sch = nullptr;
            ASSERT_EQ(f.simulate(s.get()), 0);
            for (size_t k = 0; k < f.out_re.size(); ++k)
                for (double y : { f.out_re[k], f.out_im[k] }) {
                    const double word = std::ldexp(y, 9);
                    ASSERT_EQ(word, std::trunc(word));
                    ASSERT_TRUE(
                        word >= -std::ldexp(1.0, bits - 1) && word < std::ldexp(1.0, bits - 1));
                    largest = std::max(largest, std::fabs(word));
                }
        }
        EXPECT_GE(largest, std::ldexp(1.0, bits - 2)) << "the top bit is used";
    }
}

} // namespace
