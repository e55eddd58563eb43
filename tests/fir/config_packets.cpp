// Configuration packets: checks, normalisation, warnings and the private selector copies kept
// in the queue; refusal of malformed packets without reading outside the caller's array.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fir_packet_harness.h"

namespace {

using fir_test::defaults;
using fir_test::Model;
using fir_test::Record;

std::vector<uint32_t> queued(FIR& f, std::size_t k)
{
    const kip_array_uint& a = *f.cnfg_queue.at(k).fsel;
    EXPECT_EQ(a.dim_size, 1u);
    EXPECT_EQ(a.dim[0], a.data_size);
    return std::vector<uint32_t>(a.data, a.data + a.data_size);
}

kip_fir_v6_3_config sets_config(int sets, int method, int channels)
{
    kip_fir_v6_3_config c = defaults();
    static std::vector<double> coeff;
    coeff.assign(static_cast<std::size_t>(21 * sets), 1.0);
    c.coeff = coeff.data();
    c.coeff_sets = sets;
    c.config_method = method;
    c.num_channels = channels;
    return c;
}

int send(Model& m, kip_fir_v6_3_pattern p, Record<kip_array_uint>& fsel)
{
    kip_fir_v6_3_cnfg_packet pkt { p, fsel.get() };
    return kip_fir_v6_3_config_send(m.h, &pkt);
}

TEST(ConfigSend, UnneededPacketIsIgnored)
{
    Model m(defaults());
    Record<kip_array_uint> fsel;
    fir_test::fill_uints(fsel, { 3 });
    EXPECT_EQ(send(m, 0, fsel), 0);
    EXPECT_TRUE(m.fir().cnfg_queue.empty());
    EXPECT_EQ(m.log.messages,
        (std::vector<FirMessage> { { 0,
            "tapforge_v6_3 WARNING: Ignoring config packet as not "
            "required for model configuration" } }));
}

TEST(ConfigSend, OneReloadableSetQueuesSelectorZero)
{
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    Model m(c);
    Record<kip_array_uint> fsel;
    fir_test::fill_uints(fsel, { 5, 9 }); // dimensions are not checked with one set
    EXPECT_EQ(send(m, 17, fsel), 0);
    ASSERT_EQ(m.fir().cnfg_queue.size(), 1u);
    EXPECT_EQ(m.fir().cnfg_queue[0].chanpat, 17); // basic sequence: pattern kept as sent
    EXPECT_EQ(queued(m.fir(), 0), (std::vector<uint32_t> { 0 }));
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: fsel[0] : 5 is greater than "
                                    "maximum number of coeff_sets: 0. Reseting to: 0" }));
}

TEST(ConfigSend, ByChannelSelectorsAreClampedOneWarningEach)
{
    Model m(sets_config(4, 1, 4));
    Record<kip_array_uint> fsel;
    fir_test::fill_uints(fsel, { 0, 1, 7, 2 });
    EXPECT_EQ(send(m, 0, fsel), 0);
    EXPECT_EQ(queued(m.fir(), 0), (std::vector<uint32_t> { 0, 1, 3, 2 }));
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: fsel[2] : 7 is greater than "
                                    "maximum number of coeff_sets: 3. Reseting to: 3" }));

    // The copy is private: changing the caller's array afterwards changes nothing queued.
    fsel->data[0] = 2;
    EXPECT_EQ(queued(m.fir(), 0), (std::vector<uint32_t> { 0, 1, 3, 2 }));
}

TEST(ConfigSend, ByChannelCountChecks)
{
    Model m(sets_config(3, 1, 4));
    Record<kip_array_uint> few, many, flat;
    fir_test::fill_uints(few, { 1, 1, 1 });
    EXPECT_EQ(send(m, 0, few), 1);
    EXPECT_EQ(m.log.messages,
        (std::vector<FirMessage> { { 1,
            "tapforge_v6_3 ERROR: Insufficient fsel values specified, "
            "expecting4" } }));
    m.log.messages.clear();

    fir_test::fill_uints(many, { 2, 1, 0, 2, 9, 9 });
    EXPECT_EQ(send(m, 0, many), 0);
    EXPECT_EQ(queued(m.fir(), 0), (std::vector<uint32_t> { 2, 1, 0, 2 }));
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: More fsel values specified than "
                                    "required, will use first 4" }));
    m.log.messages.clear();

    // Two dimensions are refused before anything else is looked at.
    fir_test::fill_uints(flat, { 0, 0, 0, 0 });
    kip_array_uint_reserve_dim(flat.get(), 2);
    flat->dim_size = 2;
    flat->dim[1] = 1;
    EXPECT_EQ(send(m, 0, flat), 1);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 ERROR: Expecting 1-D array for fsel" }));
    EXPECT_EQ(m.fir().cnfg_queue.size(), 1u);
}

TEST(ConfigSend, SingleMethodUsesTheFirstSelector)
{
    Model m(sets_config(3, 0, 4));
    Record<kip_array_uint> fsel;
    fir_test::fill_uints(fsel, { 2, 1 });
    EXPECT_EQ(send(m, 0, fsel), 0);
    EXPECT_EQ(queued(m.fir(), 0), (std::vector<uint32_t> { 2 }));
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: Will only use "
                                    "the first fsel values specificed" }));
    m.log.messages.clear();
    fir_test::fill_uints(fsel, { 4 });
    EXPECT_EQ(send(m, 0, fsel), 0);
    EXPECT_EQ(queued(m.fir(), 1), (std::vector<uint32_t> { 2 }));
    EXPECT_EQ(m.log.messages.size(), 1u);
}

TEST(ConfigSend, AdvancedSequenceReplacesAnInvalidPattern)
{
    kip_fir_v6_3_config c = sets_config(2, 0, 8);
    c.chan_seq = 1;
    c.init_pattern = kip_fir_v6_3_pattern_min[8];
    Model m(c);
    m.log.messages.clear();
    Record<kip_array_uint> fsel;
    fir_test::fill_uints(fsel, { 1 });
    const int32_t last = kip_fir_v6_3_pattern_max[8];
    EXPECT_EQ(send(m, last, fsel), 0);
    EXPECT_TRUE(m.log.messages.empty());
    for (int32_t bad : { KIP_FIR_V6_3_PATTERN_NONE, last + 1, kip_fir_v6_3_pattern_min[8] - 1, -5 })
        EXPECT_EQ(send(m, bad, fsel), 0);
    ASSERT_EQ(m.fir().cnfg_queue.size(), 5u);
    EXPECT_EQ(m.fir().cnfg_queue[0].chanpat, last);
    for (std::size_t k = 1; k < 5; ++k)
        EXPECT_EQ(m.fir().cnfg_queue[k].chanpat, kip_fir_v6_3_pattern_min[8]);
    EXPECT_EQ(m.log.messages.size(), 4u);
    EXPECT_EQ(m.log.messages[0].text,
        "tapforge_v6_3 WARNING: Channel pattern ID is invalid for specified number of "
        "channels, using default value");
}

// Packets that would make the model read outside the caller's array are refused whole.
TEST(ConfigSend, MalformedSelectorArraysAreRefused)
{
    kip_fir_v6_3_config c = sets_config(3, 1, 4);
    Model m(c);
    kip_fir_v6_3_cnfg_packet none { 0, nullptr };
    EXPECT_EQ(kip_fir_v6_3_config_send(m.h, &none), 1);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 WARNING: Config packet "
                                    "has no fsel array, ignoring packet" }));
    m.log.messages.clear();

    // dim claims four selectors, the data holds two.
    Record<kip_array_uint> short_data({ 4 }, 2);
    short_data->data_size = 2;
    EXPECT_EQ(send(m, 0, short_data), 1);
    // data_size claims four, only two are reserved.
    short_data->data_size = 4;
    EXPECT_EQ(send(m, 0, short_data), 1);
    // No data at all.
    Record<kip_array_uint> no_data({ 4 });
    EXPECT_EQ(send(m, 0, no_data), 1);
    EXPECT_EQ(m.log.messages.size(), 3u);
    for (const auto& msg : m.log.messages)
        EXPECT_EQ(msg,
            (FirMessage { 1,
                "tapforge_v6_3 ERROR: fsel array holds fewer values than "
                "required: 4" }));
    m.log.messages.clear();

    // With one set the dimensions are not examined, but element 0 is still read.
    kip_fir_v6_3_config one = defaults();
    one.reloadable = 1;
    Model m1(one);
    Record<kip_array_uint> empty;
    EXPECT_EQ(send(m1, 0, empty), 1);
    // Several sets, single method, zero-length array.
    kip_fir_v6_3_config single = sets_config(3, 0, 4);
    Model m2(single);
    Record<kip_array_uint> zero({ 0 });
    EXPECT_EQ(send(m2, 0, zero), 1);
    // A one-dimensional record without dimension storage counts as holding nothing.
    Model m3(sets_config(3, 1, 4));
    Record<kip_array_uint> nodim;
    fir_test::fill_uints(nodim, { 0, 0, 0, 0 });
    nodim->dim_capacity = 0;
    EXPECT_EQ(send(m3, 0, nodim), 1);
    nodim->dim_capacity = 1;
    EXPECT_TRUE(m.fir().cnfg_queue.empty() && m1.fir().cnfg_queue.empty()
        && m2.fir().cnfg_queue.empty() && m3.fir().cnfg_queue.empty());

    EXPECT_EQ(kip_fir_v6_3_config_send(nullptr, &none), 1);
    EXPECT_EQ(kip_fir_v6_3_config_send(m.h, nullptr), 1);
    EXPECT_TRUE(m.log.messages.empty());
}

// Queued copies are released with the model (checked by the sanitizer build).
TEST(ConfigSend, QueuedPacketsAreReleasedWithTheModel)
{
    for (int method : { 0, 1 }) {
        Model m(sets_config(2, method, 16));
        Record<kip_array_uint> fsel;
        fir_test::fill_uints(fsel, std::vector<uint32_t>(16, 1));
        for (int k = 0; k < 10; ++k)
            EXPECT_EQ(send(m, 0, fsel), 0);
        EXPECT_EQ(m.fir().cnfg_queue.size(), 10u);
    }
}

} // namespace
