// Whole-frame and single-channel round trips through the C interface, checked sample by sample
// against a direct convolution of the quantised stimulus with the quantised taps followed by
// the output rounding: every filter type, both arithmetic modes, several paths and channels,
// and the advanced channel sequence with channels of different rates.
#include <gtest/gtest.h>

#include <sstream>

#include "fir_datapath_harness.h"

using namespace fir_test;

namespace {

enum class Collect { Real, Complex, Mpz, MpzComplex };

const char* collect_name(Collect c)
{
    switch (c) {
    case Collect::Real:
        return "real";
    case Collect::Complex:
        return "complex";
    case Collect::Mpz:
        return "mpz";
    default:
        return "mpz_complex";
    }
}

struct Scenario {
    std::string name;
    kip_fir_v6_3_config cfg;
    std::vector<double> coeff; // values on the coefficient grid
    std::vector<size_t> frames; // vectors per data_send call
};

// Random coefficient codes of the configured width, as values on the grid 2^-coeff_fract_width.
std::vector<double> grid_taps(std::mt19937_64& rng, int n, int width, int frac)
{
    const long long lim = (1LL << (width - 1)) - 1;
    std::uniform_int_distribution<long long> d(-lim, lim);
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v)
        x = std::ldexp(static_cast<double>(d(rng)), -frac);
    return v;
}

// Stimulus [path][channel][sample], on the data grid and within the data width.
using Stimulus = std::vector<std::vector<std::vector<double>>>;
Stimulus make_stimulus(std::mt19937_64& rng, size_t np, size_t nc, size_t len, int width, int frac)
{
    const long long lim = 1LL << (width - 1);
    std::uniform_int_distribution<long long> d(-lim, lim - 1);
    Stimulus s(np, std::vector<std::vector<double>>(nc, std::vector<double>(len)));
    for (auto& path : s)
        for (auto& chan : path)
            for (double& x : chan)
                x = std::ldexp(static_cast<double>(d(rng)), -frac);
    return s;
}

// Reference outputs of one channel: codes in units of the output LSB.
std::vector<mpz_class> reference_codes(
    FIR& f, const kip_fir_v6_3_config& cfg, const std::vector<double>& x)
{
    std::vector<mpz_class> codes;
    for (double v : x)
        codes.push_back(ref_data_code(v, cfg.data_width, cfg.data_fract_width));
    int L, M;
    ref_rates(cfg, L, M);
    const double frac_scale = std::ldexp(f.coeff_scale, f.use_mpz ? 0 : cfg.coeff_fract_width);
    const std::vector<mpz_class> taps = ref_taps(cfg, cfg.coeff, frac_scale);
    std::vector<mpz_class> y = ref_filter(taps, L, M, codes);
    const unsigned shift = static_cast<unsigned>(f.acc_width - f.config.output_width);
    for (mpz_class& v : y) {
        v = ref_round(v, shift, cfg.output_rounding);
        if (!f.use_mpz)
            v = ref_wrap(v, f.config.output_width);
    }
    return y;
}

void send_frames(Model& m, const Stimulus& s, const std::vector<size_t>& frames)
{
    const size_t np = s.size(), nc = s[0].size();
    size_t at = 0;
    for (size_t vectors : frames) {
        auto in = make_array<kip_array_real>({ np, nc, vectors });
        for (size_t v = 0; v < vectors; ++v)
            for (size_t p = 0; p < np; ++p)
                for (size_t c = 0; c < nc; ++c)
                    in->data[kip_fir::array_position(np, nc, p, c, v)] = s[p][c][at + v];
        ASSERT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0);
        at += vectors;
    }
}

void run_scenario(const Scenario& sc, Collect how, uint64_t seed)
{
    SCOPED_TRACE("scenario " + sc.name + ", " + collect_name(how)
        + " collection, KIP_TEST_SEED=" + std::to_string(seed));
    kip_fir_v6_3_config cfg = sc.cfg;
    cfg.coeff = sc.coeff.data();
    Model m(cfg);
    ASSERT_NE(m.h, nullptr) << (m.log.messages.empty() ? "" : m.log.messages[0].text);
    const size_t warnings_at_create = m.log.messages.size();
    FIR& f = m.fir();
    ASSERT_EQ(f.use_mpz, sc.name.find("integer") != std::string::npos);
    const size_t np = static_cast<size_t>(cfg.num_paths),
                 nc = static_cast<size_t>(cfg.num_channels);
    size_t total = 0;
    for (size_t v : sc.frames)
        total += v;
    std::mt19937_64 rng(seed);
    const Stimulus s = make_stimulus(rng, np, nc, total, cfg.data_width, cfg.data_fract_width);
    send_frames(m, s, sc.frames);

    const size_t n = static_cast<size_t>(f.output_vectors_waiting());
    ASSERT_GT(n, 10u);
    const int ofw = f.config.output_fract_width;
    const bool hilbert = cfg.filter_type == 3;
    const size_t delay = hilbert
        ? (static_cast<size_t>(cfg.num_coeffs) + 1) / 2 - 1 + static_cast<size_t>(cfg.coeff_padding)
        : 0;

    auto check = [&](auto& out, auto get) {
        for (size_t p = 0; p < np; ++p) {
            for (size_t c = 0; c < nc; ++c) {
                const std::vector<mpz_class> want = reference_codes(f, cfg, s[p][c]);
                ASSERT_GE(want.size(), n);
                for (size_t v = 0; v < n; ++v) {
                    const size_t at = kip_fir::array_position(np, nc, p, c, v);
                    // Hilbert real part: the quantised input delayed by the line's length.
                    mpz_class re = 0;
                    if (hilbert && v >= delay)
                        re = ref_data_code(
                            s[p][c][v - delay], cfg.data_width, cfg.data_fract_width);
                    if (!get(out, at, want[v], re, cfg.data_fract_width, ofw)) {
                        ADD_FAILURE()
                            << "first difference at path " << p << " channel " << c << " vector "
                            << v << " (reference code " << want[v] << ", ofw " << ofw << ")";
                        return;
                    }
                }
            }
        }
    };
    auto as_value = [](const mpz_class& code, int frac) { return std::ldexp(code.get_d(), -frac); };

    switch (how) {
    case Collect::Real: {
        auto out = make_array<kip_array_real>({ np, nc, n });
        ASSERT_EQ(kip_fir_v6_3_data_get(m.h, out.get(), nullptr), 0);
        check(out, [&](auto& o, size_t at, const mpz_class& w, const mpz_class&, int, int fw) {
            return o->data[at] == as_value(w, fw);
        });
        break;
    }
    case Collect::Complex: {
        auto out = make_array<kip_array_complex>({ np, nc, n });
        ASSERT_EQ(kip_fir_v6_3_data_get(m.h, nullptr, out.get()), 0);
        check(
            out, [&](auto& o, size_t at, const mpz_class& w, const mpz_class& re, int dfw, int fw) {
                const kip_complex z = o->data[at];
                if (hilbert)
                    return z.re == as_value(re, dfw) && z.im == as_value(w, fw);
                return z.re == as_value(w, fw) && z.im == 0.0;
            });
        break;
    }
    case Collect::Mpz: {
        auto out = make_array<kip_array_mpz>({ np, nc, n });
        ASSERT_EQ(kip_fir_v6_3_data_get_mpz(m.h, out.get(), nullptr), 0);
        check(out, [&](auto& o, size_t at, const mpz_class& w, const mpz_class&, int, int) {
            return mpz_cmp(o->data[at], w.get_mpz_t()) == 0;
        });
        break;
    }
    case Collect::MpzComplex: {
        auto out = make_array<kip_array_mpz_complex>({ np, nc, n });
        ASSERT_EQ(kip_fir_v6_3_data_get_mpz(m.h, nullptr, out.get()), 0);
        check(out, [&](auto& o, size_t at, const mpz_class& w, const mpz_class& re, int, int) {
            const kip_mpz_complex& z = o->data[at];
            if (hilbert)
                return mpz_cmp(z.re, re.get_mpz_t()) == 0 && mpz_cmp(z.im, w.get_mpz_t()) == 0;
            return mpz_cmp(z.re, w.get_mpz_t()) == 0 && mpz_sgn(z.im) == 0;
        });
        break;
    }
    }
    EXPECT_EQ(m.log.messages.size(), warnings_at_create) << "unexpected message";
    // Whole frames leave every FIFO of a channel with the same count, so all are drained.
    for (size_t p = 0; p < np; ++p)
        for (size_t c = 0; c < nc; ++c)
            EXPECT_EQ(m.waiting(p, c), m.waiting(0, 0));
}

std::vector<Scenario> scenarios(uint64_t seed)
{
    std::mt19937_64 rng(seed ^ 0x5eed);
    std::vector<Scenario> v;
    {
        Scenario s { "single rate, default taps", defaults(), {}, { 1, 7, 100, 0, 13 } };
        s.coeff.assign(s.cfg.coeff, s.cfg.coeff + s.cfg.num_coeffs);
        v.push_back(s);
    }
    {
        Scenario s { "interpolate by 3, fractions, 2 paths x 3 channels", defaults(), {},
            { 5, 1, 20 } };
        s.cfg.filter_type = 1;
        s.cfg.interp_rate = 3;
        s.cfg.decim_rate = 7; // not used without rate_change
        s.cfg.num_coeffs = 24;
        s.cfg.coeff_fract_width = 6;
        s.cfg.data_fract_width = 3;
        s.cfg.num_paths = 2;
        s.cfg.num_channels = 3;
        s.coeff = grid_taps(rng, 24, 16, 6);
        v.push_back(s);
    }
    {
        Scenario s { "decimate by 4, rounded to even, 2 paths x 2 channels", defaults(), {},
            { 3, 9, 60 } };
        s.cfg.filter_type = 2;
        s.cfg.decim_rate = 4;
        s.cfg.num_coeffs = 32;
        s.cfg.num_paths = 2;
        s.cfg.num_channels = 2;
        s.cfg.output_rounding = 4;
        s.cfg.output_width = 24;
        s.coeff = grid_taps(rng, 32, 16, 0);
        v.push_back(s);
    }
    {
        Scenario s { "fractional 3/2", defaults(), {}, { 10, 11 } };
        s.cfg.filter_type = 1;
        s.cfg.rate_change = 1;
        s.cfg.interp_rate = 3;
        s.cfg.decim_rate = 2;
        s.cfg.num_coeffs = 17;
        s.cfg.num_channels = 2;
        s.cfg.output_rounding = 3;
        s.cfg.output_width = 20;
        s.coeff = grid_taps(rng, 17, 12, 0);
        v.push_back(s);
    }
    {
        Scenario s { "fractional 2/5, truncated output", defaults(), {}, { 10, 35 } };
        s.cfg.filter_type = 2;
        s.cfg.rate_change = 1;
        s.cfg.interp_rate = 2;
        s.cfg.decim_rate = 5;
        s.cfg.num_coeffs = 30;
        s.cfg.output_rounding = 1;
        s.cfg.output_width = 18;
        s.cfg.coeff_fract_width = 15;
        s.cfg.data_fract_width = 15;
        s.coeff = grid_taps(rng, 30, 16, 15);
        v.push_back(s);
    }
    {
        Scenario s { "Hilbert with padding", defaults(), {}, { 4, 30 } };
        s.cfg.filter_type = 3;
        s.cfg.num_coeffs = 21;
        s.cfg.coeff_padding = 2;
        s.cfg.num_channels = 2;
        s.cfg.data_fract_width = 4;
        s.coeff = grid_taps(rng, 21, 16, 0);
        v.push_back(s);
    }
    {
        Scenario s { "zero-packed by 3 with padding", defaults(), {}, { 25, 2 } };
        s.cfg.filter_type = 4;
        s.cfg.zero_pack_factor = 3;
        s.cfg.coeff_padding = 1;
        s.cfg.num_coeffs = 9;
        s.cfg.num_channels = 2;
        s.coeff = grid_taps(rng, 9, 16, 0);
        v.push_back(s);
    }
    {
        Scenario s { "integer mode (53-bit accumulator), 2 paths", defaults(), {}, { 6, 20 } };
        s.cfg.reloadable = 1;
        s.cfg.coeff_width = 24;
        s.cfg.data_width = 24;
        s.cfg.coeff_fract_width = 10;
        s.cfg.data_fract_width = 5;
        s.cfg.num_paths = 2;
        s.cfg.output_rounding = 3;
        s.cfg.output_width = 40;
        s.coeff = grid_taps(rng, 21, 24, 10);
        v.push_back(s);
    }
    {
        Scenario s { "integer mode Hilbert, full precision", defaults(), {}, { 40 } };
        s.cfg.filter_type = 3;
        s.cfg.reloadable = 1;
        s.cfg.coeff_width = 30;
        s.cfg.data_width = 30;
        s.cfg.data_fract_width = 7;
        s.coeff = grid_taps(rng, 21, 30, 0);
        v.push_back(s);
    }
    return v;
}

TEST(RoundTrip, EveryFilterTypeMatchesTheReference)
{
    const uint64_t seed = kip_test::seed();
    for (const Scenario& sc : scenarios(seed)) {
        run_scenario(sc, Collect::Real, seed);
        run_scenario(sc, Collect::Complex, seed);
        run_scenario(sc, Collect::Mpz, seed);
        run_scenario(sc, Collect::MpzComplex, seed);
    }
}

// Double mode and integer mode on the same taps and stimulus, with the same number of bits
// dropped at the output: identical codes for every rounding rule.
TEST(RoundTrip, DoubleAndIntegerModesAgreeForEveryRoundingRule)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<double> taps = grid_taps(rng, 15, 12, 0);
    const Stimulus s = make_stimulus(rng, 1, 2, 64, 16, 0);

    for (int rule = 1; rule <= 7; ++rule) {
        kip_fir_v6_3_config d = defaults();
        d.num_coeffs = 15;
        d.coeff = taps.data();
        d.coeff_width = 12;
        d.num_channels = 2;
        d.filter_type = 2;
        d.decim_rate = 2;
        d.output_rounding = rule;
        kip_fir_v6_3_config i = d;
        i.reloadable = 1; // width from the tap count: 12 + 41 + 4 = 57 bits
        i.data_width = 41;
        Model md(d), mi(i);
        ASSERT_NE(md.h, nullptr);
        ASSERT_NE(mi.h, nullptr);
        ASSERT_FALSE(md.fir().use_mpz);
        ASSERT_TRUE(mi.fir().use_mpz);
        // Drop 7 bits in both.
        const int drop = 7;
        d.output_width = md.fir().acc_width - drop;
        i.output_width = mi.fir().acc_width - drop;
        Model dd(d), ii(i);
        send_frames(dd, s, { 64 });
        send_frames(ii, s, { 64 });
        const size_t n = static_cast<size_t>(dd.fir().output_vectors_waiting());
        ASSERT_EQ(n, 32u);
        auto od = make_array<kip_array_mpz>({ 1, 2, n });
        auto oi = make_array<kip_array_mpz>({ 1, 2, n });
        ASSERT_EQ(kip_fir_v6_3_data_get_mpz(dd.h, od.get(), nullptr), 0);
        ASSERT_EQ(kip_fir_v6_3_data_get_mpz(ii.h, oi.get(), nullptr), 0);
        for (size_t k = 0; k < 2 * n; ++k) {
            ASSERT_EQ(mpz_cmp(od->data[k], oi->data[k]), 0)
                << "rule " << rule << " element " << k << ": double " << mpz_class(od->data[k])
                << ", integer " << mpz_class(oi->data[k]);
        }
        const std::vector<mpz_class> want = reference_codes(dd.fir(), d, s[0][1]);
        for (size_t v = 0; v < n; ++v)
            ASSERT_EQ(mpz_class(od->data[1 + 2 * v]), want[v])
                << "rule " << rule << " vector " << v;
    }
}

// ---------------------------------------------------------------- advanced channel sequence

// Pattern 18 (8 slots: channel 0 rate 4, channels 1 and 2 rate 2), decimating by 2 on two
// paths: every channel's stream, read back through the pattern, matches the reference.
TEST(AdvancedSequence, ChannelsOfDifferentRates)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const int pattern = 18;
    const std::vector<double> taps = grid_taps(rng, 11, 16, 0);
    kip_fir_v6_3_config cfg = defaults();
    cfg.chan_seq = 1;
    cfg.num_channels = 8;
    cfg.init_pattern = pattern;
    cfg.num_paths = 2;
    cfg.filter_type = 2;
    cfg.decim_rate = 2;
    cfg.num_coeffs = 11;
    cfg.coeff = taps.data();
    Model m(cfg);
    ASSERT_NE(m.h, nullptr);
    ASSERT_EQ(m.fir().CurrentPattern, pattern);

    const size_t np = 2, nslots = 8, vectors = 6;
    const int rates[3] = { 4, 2, 2 };
    Stimulus s(np, std::vector<std::vector<double>>(3));
    std::uniform_int_distribution<int> d(-32768, 32767);
    for (size_t p = 0; p < np; ++p)
        for (size_t ch = 0; ch < 3; ++ch)
            for (size_t k = 0; k < vectors * rates[ch]; ++k)
                s[p][ch].push_back(d(rng));

    // Two frames of 3 vectors; each channel's samples placed in its slots.
    for (size_t frame = 0; frame < 2; ++frame) {
        auto in = make_array<kip_array_real>({ np, nslots, 3 });
        for (size_t p = 0; p < np; ++p)
            for (size_t ch = 0; ch < 3; ++ch)
                for (size_t k = 0; k < 3u * rates[ch]; ++k)
                    ASSERT_EQ(kip_array_real_set_chan(
                                  in.get(), s[p][ch][frame * 3 * rates[ch] + k], p, ch, k, pattern),
                        0);
        ASSERT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0);
    }
    // Channel 0 made 12 outputs: 3 vectors of its 4 slots.
    ASSERT_EQ(m.waiting(0, 0), 12u);
    ASSERT_EQ(m.fir().output_vectors_waiting(), 3);
    auto out = make_array<kip_array_real>({ np, nslots, 3 });
    ASSERT_EQ(kip_fir_v6_3_data_get(m.h, out.get(), nullptr), 0);
    EXPECT_TRUE(m.log.messages.empty());
    for (size_t p = 0; p < np; ++p) {
        for (size_t ch = 0; ch < 3; ++ch) {
            const std::vector<mpz_class> want = reference_codes(m.fir(), cfg, s[p][ch]);
            ASSERT_EQ(want.size(), 3u * rates[ch]);
            for (size_t k = 0; k < want.size(); ++k) {
                double got = 0;
                ASSERT_EQ(kip_array_real_get_chan(out.get(), &got, p, ch, k, pattern), 0);
                ASSERT_EQ(got, want[k].get_d())
                    << "path " << p << " channel " << ch << " sample " << k;
            }
            EXPECT_EQ(m.waiting(p, ch), 0u);
        }
    }
}

// ---------------------------------------------------------------- single channel positions

// The same stimulus sent as whole frames and as single channel positions, collected as whole
// frames and as single positions (interleaved with the input): identical streams.
TEST(SingleChannel, SameStreamAsWholeFrames)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<double> taps = grid_taps(rng, 13, 16, 0);
    kip_fir_v6_3_config cfg = defaults();
    cfg.filter_type = 2;
    cfg.decim_rate = 3;
    cfg.num_coeffs = 13;
    cfg.coeff = taps.data();
    cfg.num_paths = 2;
    cfg.num_channels = 3;
    const size_t np = 2, nc = 3, vectors = 12;
    const Stimulus s = make_stimulus(rng, np, nc, vectors, 16, 0);

    Model whole(cfg), single(cfg);
    send_frames(whole, s, { vectors });
    const size_t n = static_cast<size_t>(whole.fir().output_vectors_waiting());
    ASSERT_EQ(n, 4u);
    auto out = make_array<kip_array_real>({ np, nc, n });
    ASSERT_EQ(kip_fir_v6_3_data_get(whole.h, out.get(), nullptr), 0);

    std::vector<std::vector<std::vector<double>>> got(np, std::vector<std::vector<double>>(nc));
    auto in = make_array<kip_array_real>({ np });
    auto one = make_array<kip_array_real>({ np });
    for (size_t v = 0; v < vectors; ++v) {
        for (size_t c = 0; c < nc; ++c) {
            for (size_t p = 0; p < np; ++p)
                in->data[p] = s[p][c][v];
            ASSERT_EQ(kip_fir_v6_3_data_send_channel(single.h, in.get()), 0);
            // Collect whatever the next output position has ready.
            for (;;) {
                const int32_t pos = single.fir().chanCountOut;
                ASSERT_EQ(kip_fir_v6_3_data_get_channel(single.h, one.get(), nullptr), 0);
                if (one->data_size == 0)
                    break;
                ASSERT_EQ(one->data_size, np);
                for (size_t p = 0; p < np; ++p)
                    got[p][static_cast<size_t>(pos)].push_back(one->data[p]);
            }
        }
    }
    EXPECT_EQ(single.fir().chanCountIn, 0);
    for (size_t p = 0; p < np; ++p) {
        for (size_t c = 0; c < nc; ++c) {
            std::vector<double> want;
            for (size_t v = 0; v < n; ++v)
                want.push_back(out->data[kip_fir::array_position(np, nc, p, c, v)]);
            EXPECT_EQ(first_difference(got[p][c], want), -1) << "path " << p << " channel " << c;
        }
    }
    EXPECT_TRUE(single.log.messages.empty());
}

// Advanced sequence, one position at a time: each output carries the pattern it was made
// under, and data_get_chan finds its channel through it.
TEST(SingleChannel, AdvancedSequenceUsesThePatternQueue)
{
    const uint64_t seed = kip_test::seed();
    std::mt19937_64 rng(seed);
    const std::vector<double> taps = grid_taps(rng, 7, 16, 0);
    kip_fir_v6_3_config cfg = defaults();
    cfg.chan_seq = 1;
    cfg.num_channels = 4;
    cfg.init_pattern = 2; // slots 0, 0, 0, 1
    cfg.num_coeffs = 7;
    cfg.coeff = taps.data();
    Model whole(cfg), single(cfg);
    const size_t vectors = 5;
    std::vector<double> x(4 * vectors);
    std::uniform_int_distribution<int> d(-32768, 32767);
    for (double& v : x)
        v = d(rng);

    auto in = make_array<kip_array_real>({ 1, 4, vectors });
    for (size_t i = 0; i < x.size(); ++i)
        in->data[i] = x[i];
    ASSERT_EQ(kip_fir_v6_3_data_send(whole.h, in.get()), 0);
    auto out = make_array<kip_array_real>({ 1, 4, vectors });
    ASSERT_EQ(kip_fir_v6_3_data_get(whole.h, out.get(), nullptr), 0);

    auto one_in = make_array<kip_array_real>({ 1 });
    auto one_out = make_array<kip_array_real>({ 1 });
    std::vector<double> got;
    for (size_t i = 0; i < x.size(); ++i) {
        one_in->data[0] = x[i];
        ASSERT_EQ(kip_fir_v6_3_data_send_channel(single.h, one_in.get()), 0);
        EXPECT_EQ(single.fir().pattern_queue.size(), 1u);
        ASSERT_EQ(kip_fir_v6_3_data_get_channel(single.h, one_out.get(), nullptr), 0);
        ASSERT_EQ(one_out->data_size, 1u);
        got.push_back(one_out->data[0]);
    }
    EXPECT_TRUE(single.fir().pattern_queue.empty());
    // Slot order equals arrival order here, so the streams agree element by element.
    std::vector<double> want(out->data, out->data + 4 * vectors);
    EXPECT_EQ(first_difference(got, want), -1);
}

// ---------------------------------------------------------------- block feeding

// Whole frames are fed kernel by kernel in blocks when no configuration point can change
// anything; the FIFOs, delay lines and the configuration-point flag of kernel [0][0] must end
// exactly as sample-by-sample feeding in frame order leaves them, for any frame sizes
// (including frames longer than one block).
TEST(BlockFeeding, SameStateAsSampleBySample)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<double> taps = grid_taps(rng, 19, 16, 0);
    struct Case {
        const char* name;
        int type, change, L, M, paths, chans, seq, pattern, reloadable;
    };
    const Case cases[] = {
        { "decimate by 3, 2 x 3", 2, 0, 1, 3, 2, 3, 0, 175, 0 },
        { "fractional 2/3, 1 x 1", 2, 1, 2, 3, 1, 1, 0, 175, 0 },
        { "interpolate by 4, integer mode", 1, 0, 4, 1, 1, 2, 0, 175, 1 },
        { "Hilbert, 2 x 2", 3, 0, 1, 1, 2, 2, 0, 175, 0 },
        { "pattern 24 (rates 2, 2, 1, 1, 1, 1), decimate by 2", 2, 0, 1, 2, 2, 8, 1, 24, 0 },
    };
    const std::vector<size_t> frames = { 1, 2, 700, 5, 0, 1100, 3 };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        kip_fir_v6_3_config c = defaults();
        c.coeff = taps.data();
        c.num_coeffs = 19;
        c.filter_type = k.type;
        c.rate_change = k.change;
        c.interp_rate = k.L;
        c.decim_rate = k.M;
        c.num_paths = k.paths;
        c.num_channels = k.chans;
        c.chan_seq = k.seq;
        c.init_pattern = k.pattern;
        if (k.reloadable) {
            c.reloadable = 1;
            c.coeff_width = 30;
            c.data_width = 30;
        }
        Model block(c), sample(c);
        ASSERT_NE(block.h, nullptr);
        sample.fir().feed_by_sample = true;
        const size_t np = static_cast<size_t>(k.paths), nc = static_cast<size_t>(k.chans);
        std::uniform_int_distribution<int> d(-40000, 40000); // some wrap
        for (size_t vectors : frames) {
            auto in = make_array<kip_array_real>({ np, nc, vectors });
            for (size_t i = 0; i < in->data_size; ++i)
                in->data[i] = d(rng) / 2.0;
            ASSERT_EQ(kip_fir_v6_3_data_send(block.h, in.get()), 0);
            ASSERT_EQ(kip_fir_v6_3_data_send(sample.h, in.get()), 0);
            FIR& a = block.fir();
            FIR& b = sample.fir();
            if (a.use_mpz) {
                EXPECT_EQ(a.filters_mpz[0][0].isSyncPending(), b.filters_mpz[0][0].isSyncPending());
            } else {
                EXPECT_EQ(a.filters[0][0].isSyncPending(), b.filters[0][0].isSyncPending())
                    << "after a frame of " << vectors;
            }
            for (size_t p = 0; p < np; ++p) {
                for (size_t ch = 0; ch < nc; ++ch) {
                    ASSERT_EQ(block.waiting(p, ch), sample.waiting(p, ch)) << p << "," << ch;
                    for (size_t i = 0; i < block.waiting(p, ch); ++i) {
                        if (a.use_mpz)
                            ASSERT_EQ(a.dout_buffer_mpz[p][ch][i], b.dout_buffer_mpz[p][ch][i]);
                        else
                            ASSERT_EQ(a.dout_buffer[p][ch][i], b.dout_buffer[p][ch][i])
                                << "path " << p << " channel " << ch << " sample " << i;
                    }
                    if (k.type == 3) {
                        ASSERT_EQ(a.hilbert_queue[p][ch].size(), b.hilbert_queue[p][ch].size());
                        for (size_t i = 0; i < a.hilbert_queue[p][ch].size(); ++i)
                            ASSERT_EQ(a.hilbert_queue[p][ch][i], b.hilbert_queue[p][ch][i]);
                    }
                }
            }
        }
    }
}

} // namespace
