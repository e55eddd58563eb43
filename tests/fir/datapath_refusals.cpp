// Data-path messages and refusals: the stated errors and warnings of data_send, data_send_chan,
// data_get and data_get_chan, the null checks of the entry points, and the safe refusals of
// short arrays, short FIFOs and empty Hilbert delay lines (status 1, nothing changed).
#include <gtest/gtest.h>

#include "fir_datapath_harness.h"

using namespace fir_test;

namespace {

std::string err(const std::string& text) { return "tapforge_v6_3 ERROR: " + text; }

kip_fir_v6_3_config multi(int paths, int chans)
{
    kip_fir_v6_3_config c = defaults();
    c.num_paths = paths;
    c.num_channels = chans;
    return c;
}

// Every FIFO size of the model, for "nothing changed" checks.
std::vector<size_t> fifo_sizes(Model& m)
{
    std::vector<size_t> v;
    FIR& f = m.fir();
    for (size_t p = 0; p < static_cast<size_t>(f.config.num_paths); ++p)
        for (size_t c = 0; c < static_cast<size_t>(f.config.num_channels); ++c) {
            v.push_back(m.waiting(p, c));
            if (!f.hilbert_queue.empty())
                v.push_back(f.hilbert_queue[p][c].size());
        }
    v.push_back(f.pattern_queue.size());
    return v;
}

void expect_refused(
    Model& m, int32_t status, const std::string& text, const std::vector<size_t>& before)
{
    EXPECT_EQ(status, 1) << text;
    ASSERT_FALSE(m.log.messages.empty()) << text;
    EXPECT_EQ(m.log.messages.back(), (FirMessage { 1, err(text) }));
    EXPECT_EQ(fifo_sizes(m), before) << text;
    m.log.messages.clear();
}

TEST(DataSendRefusals, StatedChecksInOrder)
{
    Model m(multi(2, 3));
    ASSERT_NE(m.h, nullptr);
    const auto before = fifo_sizes(m);
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_data_send(nullptr, make_array<kip_array_real>({ 2, 3 }).get()), 1);
    EXPECT_EQ(kip_fir_v6_3_data_send_handler(nullptr, m.h, nullptr), 1);
    EXPECT_TRUE(m.log.messages.empty());

    auto one_d = make_array<kip_array_real>({ 6 });
    expect_refused(m, kip_fir_v6_3_data_send(m.h, one_d.get()),
        "Incorrect data array dimension, expecting num_paths by num_channels (by "
        "number of vectors)",
        before);
    auto wrong = make_array<kip_array_real>({ 3, 2, 1 });
    expect_refused(m, kip_fir_v6_3_data_send(m.h, wrong.get()),
        "Incorrect data size, expecting num_paths: 2 by num_channels: 3", before);
    expect_refused(m, kip_fir_v6_3_data_send_handler(wrong.get(), m.h, nullptr),
        "Incorrect data size, expecting num_paths: 2 by num_channels: 3", before);

    // A single-channel sequence part way through a frame blocks whole frames until it ends.
    auto pos = make_array<kip_array_real>({ 2 });
    ASSERT_EQ(kip_fir_v6_3_data_send_channel(m.h, pos.get()), 0);
    const auto mid = fifo_sizes(m);
    auto frame = make_array<kip_array_real>({ 2, 3 });
    expect_refused(m, kip_fir_v6_3_data_send(m.h, frame.get()),
        "Channel postion non-zero, cannot send a packet", mid);
    ASSERT_EQ(kip_fir_v6_3_data_send_channel(m.h, pos.get()), 0);
    ASSERT_EQ(kip_fir_v6_3_data_send_channel(m.h, pos.get()), 0);
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    EXPECT_TRUE(m.log.messages.empty());
}

TEST(DataSendRefusals, ArraysShortOfTheirDimensions)
{
    Model m(multi(2, 3));
    const auto before = fifo_sizes(m);
    auto short_data = make_array<kip_array_real>({ 2, 3, 4 });
    short_data->data_size = 23;
    expect_refused(m, kip_fir_v6_3_data_send(m.h, short_data.get()),
        "Data array holds fewer samples than its dimensions imply", before);
    // dim claims more slots than it has.
    auto no_dim = kip_fir::make_owned_array<kip_array_real>();
    no_dim->dim_size = 3;
    expect_refused(m, kip_fir_v6_3_data_send(m.h, no_dim.get()),
        "Data array dimensions are not allocated", before);

    auto chan = make_array<kip_array_real>({ 2 });
    chan->data_size = 1;
    expect_refused(m, kip_fir_v6_3_data_send_channel(m.h, chan.get()),
        "Data array holds fewer than num_paths samples", before);
    auto chan_2d = make_array<kip_array_real>({ 2, 2 });
    expect_refused(m, kip_fir_v6_3_data_send_channel(m.h, chan_2d.get()),
        "Incorrect data array dimension, expected 1-D array of num_paths", before);
    auto chan_3 = make_array<kip_array_real>({ 3 });
    expect_refused(m, kip_fir_v6_3_data_send_channel(m.h, chan_3.get()),
        "Incorrect data size, expecting num_paths: 2", before);
    EXPECT_EQ(m.fir().chanCountIn, 0);
}

TEST(DataSendBehaviour, FramesVectorsAndQuantisation)
{
    Model m(multi(1, 2));
    // A 2-D array sends one sample per path and channel; (NP, NC, 0) sends nothing.
    auto two_d = make_array<kip_array_real>({ 1, 2 });
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, two_d.get()), 0);
    EXPECT_EQ(m.waiting(0, 0), 1u);
    EXPECT_EQ(m.waiting(0, 1), 1u);
    auto none = make_array<kip_array_real>({ 1, 2, 0 });
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, none.get()), 0);
    EXPECT_EQ(m.waiting(0, 0), 1u);

    // Input wraps and is floored to the data grid before the kernel sees it.
    const std::vector<double> one_tap = { 1 };
    kip_fir_v6_3_config c = defaults();
    c.coeff = one_tap.data();
    c.num_coeffs = 1;
    c.data_width = 8;
    c.data_fract_width = 2;
    Model q(c);
    ASSERT_NE(q.h, nullptr);
    const double in[5] = { 1.3, -1.3, 32.0, -32.25, 0.24 };
    const double want[5] = { 1.25, -1.5, -32.0, 31.75, 0.0 };
    auto frame = make_array<kip_array_real>({ 1, 1, 5 });
    std::copy(in, in + 5, frame->data);
    ASSERT_EQ(kip_fir_v6_3_data_send(q.h, frame.get()), 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(q.fir().dout_buffer[0][0].front(), want[i]) << in[i];
        q.fir().dout_buffer[0][0].pop_front();
    }
}

TEST(DataSendBehaviour, IntegerModeInputAndHilbertRetention)
{
    // Integer mode with two fraction bits: 1.25 reaches the kernel as the integer 5, and the
    // Hilbert line keeps the real value.
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 3;
    c.reloadable = 1;
    c.coeff_width = 25; // 25 + 24 + ceil(log2 11) = 53
    c.data_width = 24;
    c.data_fract_width = 2;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    ASSERT_TRUE(m.fir().use_mpz);
    auto frame = make_array<kip_array_real>({ 1, 1 });
    frame->data[0] = 1.25;
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    const std::vector<mpz_class> hist = m.fir().filters_mpz[0][0].getHistory();
    EXPECT_EQ(hist.back(), 5);
    EXPECT_EQ(m.fir().hilbert_queue[0][0].size(), 11u);
    EXPECT_EQ(m.fir().hilbert_queue[0][0][10], 1.25);
}

TEST(DataGetRefusals, StatedChecksAndWarnings)
{
    Model m(multi(2, 3));
    auto frame = make_array<kip_array_real>({ 2, 3, 2 });
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    const auto before = fifo_sizes(m);

    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_data_get_mpz(m.h, nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_data_get_channel(m.h, nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_data_get_channel_mpz(nullptr, nullptr, nullptr), 1);
    EXPECT_TRUE(m.log.messages.empty());

    auto one_d = make_array<kip_array_real>({ 6 });
    expect_refused(m, kip_fir_v6_3_data_get(m.h, one_d.get(), nullptr),
        "Incorrect data array dimension, expecting num_paths by num_channels (by "
        "number of vectors)",
        before);
    auto big = make_array<kip_array_real>({ 3, 3, 1 });
    expect_refused(m, kip_fir_v6_3_data_get(m.h, big.get(), nullptr),
        "Incorrect data size, expecting num_paths: 2 by num_channels: 3", before);

    // Asking for 4 vectors when 2 are waiting: one warning, the array shrinks to 2.
    auto four = make_array<kip_array_real>({ 2, 3, 4 });
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, four.get(), nullptr), 0);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: Getting more "
                                    "vectors than available, reseting array "
                                    "size" }));
    EXPECT_EQ(four->dim[2], 2u);
    EXPECT_EQ(four->data_size, 12u);
    EXPECT_EQ(m.waiting(1, 2), 0u);
    // Nothing waiting, 2-D array: the warning again, data_size 0.
    m.log.messages.clear();
    auto flat = make_array<kip_array_real>({ 2, 3 });
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, flat.get(), nullptr), 0);
    EXPECT_EQ(m.log.messages.size(), 1u);
    EXPECT_EQ(flat->data_size, 0u);

    // A smaller array passes the size test; the store of path 1 is refused before anything
    // is taken.
    m.log.messages.clear();
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    auto narrow = make_array<kip_array_real>({ 1, 3, 1 });
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, narrow.get(), nullptr), 1);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { err("Unabled to set data for path: 1 chan: 0 vector: 0") }));
    EXPECT_EQ(m.waiting(0, 0), 2u);
    EXPECT_EQ(m.waiting(1, 0), 2u);
    EXPECT_EQ(m.waiting(1, 1), 2u);
}

TEST(DataGetRefusals, FirstArrayOfThePairWins)
{
    Model m(multi(1, 1));
    auto frame = make_array<kip_array_real>({ 1, 1, 1 });
    frame->data[0] = 100;
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    auto real = make_array<kip_array_real>({ 1, 1, 1 });
    auto cplx = make_array<kip_array_complex>({ 1, 1, 1 });
    cplx->data[0] = kip_complex { -1, -1 };
    ASSERT_EQ(kip_fir_v6_3_data_get(m.h, real.get(), cplx.get()), 0);
    EXPECT_EQ(real->data[0], 600.0);
    EXPECT_EQ(cplx->data[0].re, -1.0);

    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    auto z = make_array<kip_array_mpz>({ 1, 1, 1 });
    auto zc = make_array<kip_array_mpz_complex>({ 1, 1, 1 });
    ASSERT_EQ(kip_fir_v6_3_data_get_mpz(m.h, z.get(), zc.get()), 0);
    EXPECT_EQ(mpz_get_si(z->data[0]), 600); // 6 * 100 + 0 * 100
    EXPECT_EQ(mpz_get_si(zc->data[0].re), 0); // untouched
}

TEST(DataGetRefusals, ShortFifosAfterPartialSingleChannelInput)
{
    Model m(multi(2, 3));
    auto pos = make_array<kip_array_real>({ 2 });
    ASSERT_EQ(kip_fir_v6_3_data_send_channel(m.h, pos.get()), 0); // channel 0 only
    const auto before = fifo_sizes(m);
    auto out = make_array<kip_array_real>({ 2, 3, 1 });
    expect_refused(m, kip_fir_v6_3_data_get(m.h, out.get(), nullptr),
        "Not enough output samples waiting for path: 0 chan: 1 (need 1, have 0), "
        "cannot get a packet",
        before);
    // data_get_chan serves channel 0 fine, then finds channel 1 empty.
    auto one = make_array<kip_array_real>({ 2 });
    ASSERT_EQ(kip_fir_v6_3_data_get_channel(m.h, one.get(), nullptr), 0);
    EXPECT_EQ(one->data_size, 2u);
    EXPECT_EQ(m.fir().chanCountOut, 1);
    ASSERT_EQ(kip_fir_v6_3_data_get_channel(m.h, one.get(), nullptr), 0);
    EXPECT_EQ(one->data_size, 0u);
    EXPECT_EQ(m.fir().chanCountOut, 1);
    // data_get refuses while the single-channel output is part way through a frame.
    expect_refused(m, kip_fir_v6_3_data_get(m.h, out.get(), nullptr),
        "Channel postion non-zero, cannot get a packet", fifo_sizes(m));

    // Paths of one channel out of step (as a failure part way through a frame can leave
    // them): refused, nothing taken.
    Model n(multi(2, 1));
    auto frame = make_array<kip_array_real>({ 2, 1, 2 });
    ASSERT_EQ(kip_fir_v6_3_data_send(n.h, frame.get()), 0);
    n.fir().dout_buffer[1][0].pop_front();
    auto two = make_array<kip_array_real>({ 2, 1, 2 });
    expect_refused(n, kip_fir_v6_3_data_get(n.h, two.get(), nullptr),
        "Not enough output samples waiting for path: 1 chan: 0 (need 2, have 1), "
        "cannot get a packet",
        fifo_sizes(n));
    ASSERT_EQ(kip_fir_v6_3_data_get_channel(n.h, one.get(), nullptr), 0);
    EXPECT_EQ(one->data_size, 2u);
    expect_refused(n, kip_fir_v6_3_data_get_channel(n.h, one.get(), nullptr),
        "Not enough output samples waiting for path: 1 chan: 0 (need 1, have 0), "
        "cannot get a packet",
        fifo_sizes(n));
}

TEST(DataGetChanRefusals, StatedChecksAndShortArrays)
{
    Model m(multi(2, 2));
    auto frame = make_array<kip_array_real>({ 2, 2, 1 });
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    const auto before = fifo_sizes(m);
    auto two_d = make_array<kip_array_real>({ 2, 1 });
    expect_refused(m, kip_fir_v6_3_data_get_channel(m.h, two_d.get(), nullptr),
        "Incorrect data array dimension, expected 1-D array of num_paths", before);
    auto three = make_array<kip_array_mpz>({ 3 });
    expect_refused(m, kip_fir_v6_3_data_get_channel_mpz(m.h, three.get(), nullptr),
        "Incorrect data size, expecting num_paths: 2", before);
    // dim says two paths, but only one element is reserved.
    auto small = make_array<kip_array_complex>({ 1 });
    small->dim[0] = 2;
    expect_refused(m, kip_fir_v6_3_data_get_channel(m.h, nullptr, small.get()),
        "Data array has fewer than num_paths elements reserved", before);
    EXPECT_EQ(m.fir().chanCountOut, 0);

    auto ok = make_array<kip_array_mpz_complex>({ 2 });
    ASSERT_EQ(kip_fir_v6_3_data_get_channel_mpz(m.h, nullptr, ok.get()), 0);
    EXPECT_EQ(ok->data_size, 2u);
    EXPECT_EQ(m.fir().chanCountOut, 1);
    ASSERT_EQ(kip_fir_v6_3_data_get_channel_mpz(m.h, nullptr, ok.get()), 0);
    EXPECT_EQ(m.fir().chanCountOut, 0);
    EXPECT_TRUE(m.log.messages.empty());
}

TEST(DataGetChanRefusals, AdvancedSequenceWithoutPatternEntries)
{
    kip_fir_v6_3_config c = defaults();
    c.chan_seq = 1;
    c.num_channels = 4;
    c.init_pattern = 3; // slots 0, 1, 0, 2
    Model m(c, true);
    ASSERT_NE(m.h, nullptr);
    // Whole frames store no pattern entries; single-position collection falls back to the
    // position number and says so on the debug logger's error level.
    auto frame = make_array<kip_array_real>({ 1, 4, 1 });
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    m.dbg.messages.clear();
    auto one = make_array<kip_array_real>({ 1 });
    ASSERT_EQ(kip_fir_v6_3_data_get_channel(m.h, one.get(), nullptr), 0);
    ASSERT_GE(m.dbg.messages.size(), 2u);
    EXPECT_EQ(m.dbg.messages[0],
        (FirMessage { 1,
            "tapforge_v6_3 ERROR: No channel pattern in queue, "
            "will use the channel sequence number!!!!" }));
    EXPECT_EQ(m.dbg.messages[1], (FirMessage { 0, "tapforge_v6_3 NOTE: Pull channel: 0" }));
    EXPECT_EQ(one->data_size, 1u);
    EXPECT_TRUE(m.log.messages.empty());
}

// A Hilbert model given kernel rates 3/2 (from the caller's record) makes three outputs for
// every two inputs; pairing them with the delayed inputs would run the delay line dry.
TEST(HilbertRefusals, MoreOutputsThanInputs)
{
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 3;
    c.rate_change = 1;
    c.interp_rate = 3;
    c.decim_rate = 2;
    Model m(c);
    ASSERT_NE(m.h, nullptr);
    ASSERT_EQ(m.fir().filters[0][0].getRateNumerator(), 3);
    auto frame = make_array<kip_array_real>({ 1, 1, 30 });
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, frame.get()), 0);
    ASSERT_EQ(m.waiting(0, 0), 45u);
    ASSERT_EQ(m.fir().hilbert_queue[0][0].size(), 40u);
    const auto before = fifo_sizes(m);
    const std::string text
        = "Hilbert delay line of path: 0 chan: 0 holds fewer input samples than filter outputs "
          "waiting, cannot get a complex packet";
    auto out = make_array<kip_array_complex>({ 1, 1, 45 });
    expect_refused(m, kip_fir_v6_3_data_get(m.h, nullptr, out.get()), text, before);
    auto outz = make_array<kip_array_mpz_complex>({ 1, 1, 45 });
    expect_refused(m, kip_fir_v6_3_data_get_mpz(m.h, nullptr, outz.get()), text, before);
    // As many as the line holds can be collected; then single positions are refused too.
    auto forty = make_array<kip_array_complex>({ 1, 1, 40 });
    ASSERT_EQ(kip_fir_v6_3_data_get(m.h, nullptr, forty.get()), 0);
    auto one = make_array<kip_array_complex>({ 1 });
    expect_refused(m, kip_fir_v6_3_data_get_channel(m.h, nullptr, one.get()), text, fifo_sizes(m));
    // The real form does not pair and drains the rest.
    auto rest = make_array<kip_array_real>({ 1, 1, 5 });
    EXPECT_EQ(kip_fir_v6_3_data_get(m.h, rest.get(), nullptr), 0);
    EXPECT_EQ(m.waiting(0, 0), 0u);
}

TEST(DebugNotes, SingleChannelAndFrameCollection)
{
    auto note = [](const std::string& t) { return "tapforge_v6_3 NOTE: " + t; };
    kip_fir_v6_3_config c = defaults();
    c.chan_seq = 1;
    c.num_channels = 4;
    c.init_pattern = 2; // slots 0, 0, 0, 1
    Model m(c, true);
    ASSERT_NE(m.h, nullptr);
    m.dbg.messages.clear();
    auto pos = make_array<kip_array_real>({ 1 });
    ASSERT_EQ(kip_fir_v6_3_data_send_channel(m.h, pos.get()), 0);
    EXPECT_EQ(m.dbg.texts(),
        (std::vector<std::string> { note("Starting buffer size: 0"), note("Push channel: 0"),
            note("End buffer size: 1"), note("Stored channel pattern: 2") }));
    m.dbg.messages.clear();
    auto one = make_array<kip_array_real>({ 1 });
    ASSERT_EQ(kip_fir_v6_3_data_get_channel(m.h, one.get(), nullptr), 0);
    EXPECT_EQ(m.dbg.texts(),
        (std::vector<std::string> { note("Pull channel: 0"), note("chanCountOut: 1") }));

    // Basic sequence: the channel only; frame collection notes every sample taken.
    Model b(multi(2, 1), true);
    b.dbg.messages.clear();
    auto two = make_array<kip_array_real>({ 2 });
    ASSERT_EQ(kip_fir_v6_3_data_send_channel(b.h, two.get()), 0);
    EXPECT_EQ(b.dbg.texts(), (std::vector<std::string> { note("Push channel: 0") }));
    b.dbg.messages.clear();
    auto out = make_array<kip_array_real>({ 2, 1, 1 });
    ASSERT_EQ(kip_fir_v6_3_data_get(b.h, out.get(), nullptr), 0);
    EXPECT_EQ(b.dbg.texts(),
        (std::vector<std::string> { note("act_vectors: 1"), note("Pulling path: 0 channel: 0i: 0"),
            note("Pulling path: 1 channel: 0i: 0") }));
}

} // namespace
