// Run-time reconfiguration through the data path: configuration points, coefficient-set
// selection, reloads, channel pattern changes and the model reset, checked against direct
// convolution with the coefficient set in force at each output.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "advchanpat.h"
#include "fir_packet_harness.h"

namespace {

using fir_test::defaults;
using fir_test::Model;
using fir_test::Record;
using Taps = std::vector<double>;

std::vector<double> random_ints(std::mt19937& rng, std::size_t n, int lo, int hi)
{
    std::uniform_int_distribution<int> d(lo, hi);
    std::vector<double> v(n);
    for (double& x : v)
        x = d(rng);
    return v;
}

// Output n of a single-rate kernel whose coefficient set at output n is set_at(n): every tap
// of that set against the samples up to n (zeros before the first).
template <class SetAt> std::vector<double> convolve(const std::vector<double>& x, SetAt set_at)
{
    std::vector<double> y(x.size());
    for (std::size_t n = 0; n < x.size(); ++n) {
        const Taps& h = set_at(n);
        double acc = 0;
        for (std::size_t j = 0; j < h.size() && j <= n; ++j)
            acc += h[j] * x[n - j];
        y[n] = acc;
    }
    return y;
}

#define EXPECT_SAME_SERIES(actual, expected)                                                       \
    do {                                                                                           \
        const long at_ = fir_test::first_difference((actual), (expected));                         \
        EXPECT_EQ(at_, -1) << "first difference at " << at_ << ": "                                \
                           << (at_ >= 0 && static_cast<std::size_t>(at_) < (actual).size()         \
                                      ? (actual)[at_]                                              \
                                      : -1.0)                                                      \
                           << " vs "                                                               \
                           << (at_ >= 0 && static_cast<std::size_t>(at_) < (expected).size()       \
                                      ? (expected)[at_]                                            \
                                      : -1.0);                                                     \
    } while (0)

// A single-rate, single-path model with `sets` sets of `taps` integer taps (set-major).
struct SetsModel {
    std::vector<Taps> sets;
    std::vector<double> flat;
    kip_fir_v6_3_config c;
    SetsModel(std::mt19937& rng, int nsets, int taps, int channels, int method, int reloadable)
    {
        for (int s = 0; s < nsets; ++s) {
            sets.push_back(random_ints(rng, static_cast<std::size_t>(taps), -60, 60));
            sets.back()[0] = 64; // no set is all zeros
            flat.insert(flat.end(), sets.back().begin(), sets.back().end());
        }
        c = defaults();
        c.coeff = flat.data();
        c.num_coeffs = taps;
        c.coeff_sets = nsets;
        c.num_channels = channels;
        c.config_method = method;
        c.reloadable = reloadable;
    }
};

// Sends `vectors` vectors of per-channel samples x[ch] starting at sample `from` (one path).
int32_t send_vectors(
    Model& m, const std::vector<std::vector<double>>& x, std::size_t from, std::size_t vectors)
{
    const std::size_t nc = x.size();
    std::vector<double> data(nc * vectors);
    for (std::size_t v = 0; v < vectors; ++v)
        for (std::size_t ch = 0; ch < nc; ++ch)
            data[ch + v * nc] = x[ch][from + v];
    Record<kip_array_real> in;
    fir_test::fill_frames(in, 1, nc, vectors, data);
    return kip_fir_v6_3_data_send(m.h, in.get());
}

// Takes every waiting output vector; returns the series of each channel (one path).
std::vector<std::vector<double>> collect(Model& m, std::size_t channels)
{
    const int32_t n = m.fir().output_vectors_waiting();
    std::vector<std::vector<double>> y(channels);
    Record<kip_array_real> out(
        { 1, channels, static_cast<std::size_t>(n) }, channels * static_cast<std::size_t>(n));
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, out.get(), nullptr), 0);
    for (int v = 0; v < n; ++v)
        for (std::size_t ch = 0; ch < channels; ++ch)
            y[ch].push_back(out->data[ch + static_cast<std::size_t>(v) * channels]);
    return y;
}

void send_selectors(Model& m, const std::vector<uint32_t>& sel, kip_fir_v6_3_pattern p = 0)
{
    Record<kip_array_uint> fsel;
    fir_test::fill_uints(fsel, sel);
    kip_fir_v6_3_cnfg_packet pkt { p, fsel.get() };
    ASSERT_EQ(kip_fir_v6_3_config_send(m.h, &pkt), 0);
}

void send_reload(Model& m, int32_t set, const Taps& taps)
{
    Record<kip_array_real> coeff;
    fir_test::fill_1d(coeff, taps);
    kip_fir_v6_3_rld_packet pkt { set, coeff.get() };
    ASSERT_EQ(kip_fir_v6_3_reload_send(m.h, &pkt), 0);
}

// ---------------------------------------------------------------- configuration points

// Single rate: every input of path 0 / channel 0 follows an output, so the start of every
// vector is a configuration point. Two packets queued before any data take effect at vectors 0
// and 1; one packet per point.
TEST(Reconfig, PacketsApplyAtSuccessivePoints)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(static_cast<uint32_t>(seed));
    SetsModel s(rng, 3, 9, 2, 0, 0);
    Model m(s.c, true);
    const std::vector<std::vector<double>> x
        = { random_ints(rng, 6, -900, 900), random_ints(rng, 6, -900, 900) };
    send_selectors(m, { 2 });
    send_selectors(m, { 1 });
    ASSERT_EQ(send_vectors(m, x, 0, 1), 0);
    EXPECT_EQ(m.fir().cnfg_queue.size(), 1u);
    const std::vector<std::string> notes = m.dbg.texts();
    EXPECT_EQ(std::vector<std::string>(notes.end() - 2, notes.end()),
        (std::vector<std::string> { "tapforge_v6_3 NOTE: Starting Sync...",
            "tapforge_v6_3 NOTE: Reading fsel values...\n" }));
    ASSERT_EQ(send_vectors(m, x, 1, 5), 0);
    EXPECT_TRUE(m.fir().cnfg_queue.empty());
    const auto y = collect(m, 2);
    for (std::size_t ch = 0; ch < 2; ++ch) {
        const auto ref
            = convolve(x[ch], [&](std::size_t n) -> const Taps& { return s.sets[n == 0 ? 2 : 1]; });
        SCOPED_TRACE("channel " + std::to_string(ch));
        EXPECT_SAME_SERIES(y[ch], ref);
    }
}

// Decimation by 2: configuration points are the inputs of channel 0 after each of its outputs,
// i.e. every other vector; a queued packet waits for the next one.
TEST(Reconfig, DecimatorPointsFollowOutputs)
{
    std::mt19937 rng(static_cast<uint32_t>(kip_test::seed()));
    SetsModel s(rng, 2, 5, 1, 0, 0);
    s.c.filter_type = 2;
    s.c.decim_rate = 2;
    Model m(s.c);
    const std::vector<std::vector<double>> x = { random_ints(rng, 8, -900, 900) };
    ASSERT_EQ(send_vectors(m, x, 0, 1), 0); // point at input 0, nothing queued yet
    send_selectors(m, { 1 });
    ASSERT_EQ(send_vectors(m, x, 1, 1), 0); // input 1 completes output 0: not a point
    EXPECT_EQ(m.fir().cnfg_queue.size(), 1u);
    ASSERT_EQ(send_vectors(m, x, 2, 1), 0); // point: set 1 for outputs 1, 2, ...
    EXPECT_TRUE(m.fir().cnfg_queue.empty());
    ASSERT_EQ(send_vectors(m, x, 3, 5), 0);
    const auto y = collect(m, 1);
    // Output k of a decimate-by-2 kernel is the single-rate output 2k + 1.
    const auto full
        = convolve(x[0], [&](std::size_t n) -> const Taps& { return s.sets[n < 2 ? 0 : 1]; });
    std::vector<double> ref;
    for (std::size_t n = 1; n < full.size(); n += 2)
        ref.push_back(full[n]);
    EXPECT_SAME_SERIES(y[0], ref);
}

// By-channel selection gives every channel its own set, over-range selectors take the last
// set; the single method gives every channel the first selector.
TEST(Reconfig, SelectionMethods)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    for (int method : { 1, 0 }) {
        std::mt19937 rng(static_cast<uint32_t>(seed));
        SetsModel s(rng, 3, 7, 4, method, 0);
        Model m(s.c);
        const std::vector<uint32_t> sel
            = method == 1 ? std::vector<uint32_t> { 2, 0, 9, 1 } : std::vector<uint32_t> { 7, 0 };
        const std::vector<uint32_t> used = method == 1 ? std::vector<uint32_t> { 2, 0, 2, 1 }
                                                       : std::vector<uint32_t> { 2, 2, 2, 2 };
        std::vector<std::vector<double>> x;
        for (int ch = 0; ch < 4; ++ch)
            x.push_back(random_ints(rng, 12, -900, 900));
        ASSERT_EQ(send_vectors(m, x, 0, 4), 0);
        send_selectors(m, sel);
        ASSERT_EQ(send_vectors(m, x, 4, 8), 0);
        const auto y = collect(m, 4);
        for (std::size_t ch = 0; ch < 4; ++ch) {
            SCOPED_TRACE("method " + std::to_string(method) + " channel " + std::to_string(ch));
            const auto ref = convolve(
                x[ch], [&](std::size_t n) -> const Taps& { return s.sets[n < 4 ? 0 : used[ch]]; });
            EXPECT_SAME_SERIES(y[ch], ref);
        }
    }
}

// ---------------------------------------------------------------- reloads

TEST(Reconfig, ReloadWaitsForAConfigurationPacket)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    for (int width : { 16, 40 }) { // double mode, then integer mode (accumulator above 52 bits)
        std::mt19937 rng(static_cast<uint32_t>(seed));
        SetsModel s(rng, 2, 6, 1, 0, 1);
        s.c.coeff_width = width;
        Model m(s.c);
        ASSERT_EQ(m.fir().use_mpz, width == 40);
        const Taps fresh = random_ints(rng, 6, -70, 70);
        const std::vector<std::vector<double>> x = { random_ints(rng, 12, -900, 900) };

        // A reload alone is never applied.
        send_reload(m, 1, fresh);
        ASSERT_EQ(send_vectors(m, x, 0, 3), 0);
        EXPECT_EQ(m.fir().rld_queue.size(), 1u);
        EXPECT_EQ(m.fir().coeff_table[1], s.sets[1]);

        // A packet selecting the reloaded set: the new taps from the next point on.
        send_selectors(m, { 1 });
        EXPECT_EQ(m.fir().coeff_table[1], s.sets[1]);
        ASSERT_EQ(send_vectors(m, x, 3, 3), 0);
        EXPECT_TRUE(m.fir().rld_queue.empty());
        EXPECT_EQ(m.fir().coeff_table[1], fresh);

        // Back to set 0, then set 1 again: the reloaded set stays in the table.
        send_selectors(m, { 0 });
        ASSERT_EQ(send_vectors(m, x, 6, 3), 0);
        send_selectors(m, { 1 });
        ASSERT_EQ(send_vectors(m, x, 9, 3), 0);
        const auto y = collect(m, 1);
        const auto ref = convolve(x[0], [&](std::size_t n) -> const Taps& {
            return n < 3 ? s.sets[0] : (n < 6 || n >= 9) ? fresh : s.sets[0];
        });
        SCOPED_TRACE("coeff_width " + std::to_string(width));
        EXPECT_SAME_SERIES(y[0], ref);
    }
}

// ---------------------------------------------------------------- channel patterns

// Samples of each channel, placed in a (1 path, N slots, vectors) frame of `pattern`: sample k
// of channel ch lies in vector k / rate, in the channel's (k mod rate)-th slot.
std::vector<double> pattern_frame(const std::vector<std::vector<double>>& x, int32_t pattern,
    std::size_t slots, std::size_t vectors, std::size_t from)
{
    std::vector<double> data(slots * vectors);
    for (std::size_t ch = 0; ch < x.size(); ++ch) {
        const int32_t* row = kip_fir::pattern_map_row(pattern, ch);
        if (!row)
            continue;
        const std::size_t rate = static_cast<std::size_t>(row[0]);
        for (std::size_t k = 0; k < rate * vectors; ++k)
            data[static_cast<std::size_t>(row[1 + k % rate]) + (k / rate) * slots]
                = x[ch][from + k];
    }
    return data;
}

// Advanced sequence, 4 slots: pattern 4 gives every channel one slot, pattern 1 gives channels
// 0 and 1 two slots each. A packet changing the pattern resets every kernel at the point; one
// naming the pattern in force keeps their history.
TEST(Reconfig, PatternChangesResetTheKernels)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(static_cast<uint32_t>(seed));
    SetsModel s(rng, 1, 5, 4, 0, 1);
    s.c.chan_seq = 1;
    const int32_t all_one = kip_fir_v6_3_pattern_min[4] + 4, two_two = all_one - 3;
    s.c.init_pattern = all_one;
    Model m(s.c);
    std::vector<std::vector<double>> x;
    for (int ch = 0; ch < 4; ++ch)
        x.push_back(random_ints(rng, 16, -900, 900));
    auto send = [&](int32_t pattern, std::size_t vectors, std::size_t from) {
        Record<kip_array_real> in;
        fir_test::fill_frames(in, 1, 4, vectors, pattern_frame(x, pattern, 4, vectors, from));
        return kip_fir_v6_3_data_send(m.h, in.get());
    };
    auto collect_pattern = [&](int32_t pattern) {
        std::vector<std::vector<double>> y(4);
        const int32_t n = m.fir().output_vectors_waiting();
        Record<kip_array_real> out({ 1, 4, static_cast<std::size_t>(n) }, 4 * n);
        EXPECT_EQ(kip_fir_v6_3_data_get(m.h, out.get(), nullptr), 0);
        for (std::size_t ch = 0; ch < 4; ++ch) {
            const int32_t* row = kip_fir::pattern_map_row(pattern, ch);
            if (!row)
                continue;
            for (std::size_t k = 0; k < static_cast<std::size_t>(row[0] * n); ++k)
                y[ch].push_back(out->data[row[1 + k % row[0]] + (k / row[0]) * 4]);
        }
        return y;
    };
    const Taps& h = s.sets[0];
    auto conv = [&](const std::vector<double>& v) {
        return convolve(v, [&](std::size_t) -> const Taps& { return h; });
    };

    ASSERT_EQ(send(all_one, 3, 0), 0); // samples 0-2 of every channel
    send_selectors(m, { 0 }, all_one); // same pattern: history kept
    ASSERT_EQ(send(all_one, 2, 3), 0); // samples 3-4
    EXPECT_EQ(m.fir().CurrentPattern, all_one);
    auto y = collect_pattern(all_one);
    for (std::size_t ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE("before the change, channel " + std::to_string(ch));
        EXPECT_SAME_SERIES(y[ch], conv(std::vector<double>(x[ch].begin(), x[ch].begin() + 5)));
    }

    send_selectors(m, { 0 }, two_two); // new pattern: every kernel restarts from zero history
    ASSERT_EQ(send(two_two, 3, 5), 0); // channels 0 and 1: samples 5-10
    EXPECT_EQ(m.fir().CurrentPattern, two_two);
    y = collect_pattern(two_two);
    for (std::size_t ch = 0; ch < 2; ++ch) {
        SCOPED_TRACE("after the change, channel " + std::to_string(ch));
        EXPECT_SAME_SERIES(y[ch], conv(std::vector<double>(x[ch].begin() + 5, x[ch].begin() + 11)));
    }
    EXPECT_TRUE(y[2].empty() && y[3].empty());
}

// The kernel of path 0 / channel 0 clears its pending flag after the configuration handler
// returns: the reset done by a pattern change does not make its next input a configuration
// point, so a second queued packet waits for that kernel's next output.
TEST(Reconfig, PatternChangeDoesNotConsumeTheNextPacketAtOnce)
{
    std::mt19937 rng(static_cast<uint32_t>(kip_test::seed()));
    SetsModel s(rng, 1, 5, 4, 0, 1);
    s.c.chan_seq = 1;
    s.c.filter_type = 2;
    s.c.decim_rate = 2;
    const int32_t base = kip_fir_v6_3_pattern_min[4];
    s.c.init_pattern = base + 4;
    Model m(s.c, true);
    send_selectors(m, { 0 }, base + 3); // slots: channels 0, 1, 0, 2
    send_selectors(m, { 0 }, base + 4);
    Record<kip_array_real> in;
    fir_test::fill_frames(in, 1, 4, 1, { 1, 2, 3, 4 });
    // Slot 0: point, first packet, kernels reset. Slot 2: channel 0's second input completes
    // its first output, but is no point: the second packet stays queued.
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0);
    EXPECT_EQ(m.fir().CurrentPattern, base + 3);
    EXPECT_EQ(m.fir().cnfg_queue.size(), 1u);
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0); // slot 0: point, second packet
    EXPECT_EQ(m.fir().CurrentPattern, base + 4);
    EXPECT_TRUE(m.fir().cnfg_queue.empty());

    std::vector<std::string> sync_notes;
    for (const std::string& t : m.dbg.texts())
        if (t.find("Sync") != std::string::npos || t.find("CurrentPattern") != std::string::npos)
            sync_notes.push_back(t);
    const std::string p3 = std::to_string(base + 3), p4 = std::to_string(base + 4);
    EXPECT_EQ(sync_notes,
        (std::vector<std::string> { "tapforge_v6_3 NOTE: Starting Sync...",
            "tapforge_v6_3 NOTE: Updating CurrentPattern: " + p4 + " cnfg.chanpat: " + p3,
            "tapforge_v6_3 NOTE: Starting Sync...",
            "tapforge_v6_3 NOTE: Updating CurrentPattern: " + p3 + " cnfg.chanpat: " + p4 }));
}

// ---------------------------------------------------------------- reset

TEST(Reconfig, ResetKeepsReloadsSinksAndHandler)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(static_cast<uint32_t>(seed));
    SetsModel s(rng, 2, 6, 3, 1, 1);
    s.c.chan_seq = 1;
    s.c.num_channels = 4;
    s.c.init_pattern = kip_fir_v6_3_pattern_min[4] + 4;
    Model m(s.c);
    FIR& f = m.fir();
    Record<kip_array_complex> sink;
    ASSERT_EQ(kip_fir_v6_3_set_data_sink(m.h, nullptr, sink.get()), 0);
    int tag = 0;
    ASSERT_EQ(kip_fir_v6_3_set_data_handler(
                  m.h, [](const kip_array_real*, void*, void*) { return 5; }, &tag, nullptr),
        0);

    // Set 0 reloaded and selected; then another reload and two packets stay queued.
    const Taps new0 = random_ints(rng, 6, -70, 70), new1 = random_ints(rng, 6, -70, 70);
    send_reload(m, 0, new0);
    send_selectors(m, { 1, 1, 1, 1 }, kip_fir_v6_3_pattern_min[4] + 1);
    std::vector<std::vector<double>> x;
    for (int ch = 0; ch < 4; ++ch)
        x.push_back(random_ints(rng, 8, -900, 900));
    ASSERT_EQ(send_vectors(m, x, 0, 2), 0);
    EXPECT_EQ(f.CurrentPattern, kip_fir_v6_3_pattern_min[4] + 1);
    Record<kip_array_real> one({ 1 }, 1);
    one->data_size = 1;
    ASSERT_EQ(kip_fir_v6_3_data_send_channel(m.h, one.get()), 0); // part way through a frame
    EXPECT_EQ(f.chanCountIn, 1);
    send_reload(m, 1, new1);
    send_selectors(m, { 0, 0, 0, 0 });
    send_selectors(m, { 1, 0, 1, 0 });

    ASSERT_EQ(kip_fir_v6_3_reset(m.h), 0);
    EXPECT_TRUE(f.cnfg_queue.empty());
    EXPECT_EQ(f.rld_queue.size(), 1u);
    EXPECT_EQ(f.coeff_table[0], new0);
    EXPECT_EQ(f.coeff_table[1], s.sets[1]);
    EXPECT_EQ(f.data_sink_complex, sink.get());
    EXPECT_EQ(f.data_handler_arg1, &tag);
    EXPECT_EQ(f.chanCountIn, 0);
    EXPECT_EQ(f.chanCountOut, 0);
    EXPECT_EQ(f.CurrentPattern, kip_fir_v6_3_pattern_min[4] + 4);
    EXPECT_EQ(f.pattern_queue.size(), 0u);
    EXPECT_EQ(f.output_vectors_waiting(), 0);
    for (const auto& path : f.filters)
        for (const auto& k : path) {
            EXPECT_EQ(k.getCoefficients(), new0);
            EXPECT_TRUE(k.isSyncPending());
        }

    // After the reset the model filters as new with the (reloaded) set 0; the queued reload
    // is applied only with the next packet.
    ASSERT_EQ(kip_fir_v6_3_set_data_sink(m.h, nullptr, nullptr), 1);
    f.set_data_sink(static_cast<kip_array_complex*>(nullptr));
    ASSERT_EQ(send_vectors(m, x, 0, 4), 0);
    EXPECT_EQ(f.coeff_table[1], s.sets[1]);
    const auto y = collect(m, 4);
    for (std::size_t ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        EXPECT_SAME_SERIES(y[ch],
            convolve(std::vector<double>(x[ch].begin(), x[ch].begin() + 4),
                [&](std::size_t) -> const Taps& { return new0; }));
    }
    send_selectors(m, { 0, 1, 0, 1 });
    ASSERT_EQ(send_vectors(m, x, 4, 1), 0);
    EXPECT_TRUE(f.rld_queue.empty());
    EXPECT_EQ(f.coeff_table[1], new1);
}

TEST(Reconfig, ResetRefillsHilbertDelayLinesAndDiscardsPackets)
{
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 3;
    c.coeff_padding = 2;
    c.num_channels = 2;
    c.reloadable = 1;
    Model m(c);
    FIR& f = m.fir();
    Record<kip_array_real> in;
    fir_test::fill_frames(in, 1, 2, 3, { 1, 2, 3, 4, 5, 6 });
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0);
    for (int k = 0; k < 3; ++k)
        send_selectors(m, { 0 });
    EXPECT_EQ(f.hilbert_queue[0][1].size(), 15u);
    ASSERT_EQ(kip_fir_v6_3_reset(m.h), 0);
    EXPECT_TRUE(f.cnfg_queue.empty());
    for (const auto& path : f.hilbert_queue)
        for (const auto& line : path) {
            ASSERT_EQ(line.size(), 12u);
            for (std::size_t i = 0; i < line.size(); ++i)
                EXPECT_EQ(line[i], 0.0);
        }
    EXPECT_EQ(kip_fir_v6_3_reset(nullptr), 1);
}

} // namespace
