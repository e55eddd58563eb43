// Output sinks, the data handler and output sizing: installation rules, calc_size shapes, and
// delivery at the end of data_send (contents equal to data_get, owner handling, chaining).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include "advchanpat.h"
#include "fir_packet_harness.h"

namespace {

using fir_test::defaults;
using fir_test::Model;
using fir_test::Record;

kip_fir_v6_3_config rate_config(int type, int rate_change, int l, int m)
{
    kip_fir_v6_3_config c = defaults();
    c.filter_type = type;
    c.rate_change = rate_change;
    c.interp_rate = l;
    c.decim_rate = m;
    c.num_paths = 2;
    c.num_channels = 3;
    return c;
}

// ---------------------------------------------------------------- calc_size

struct Shape {
    std::vector<std::size_t> dim;
    std::size_t data_size;
    bool operator==(const Shape& o) const { return dim == o.dim && data_size == o.data_size; }
};
std::ostream& operator<<(std::ostream& os, const Shape& s)
{
    os << "dim (";
    for (std::size_t d : s.dim)
        os << d << ' ';
    return os << ") data_size " << s.data_size;
}

template <class A> Shape shape(const Record<A>& a)
{
    return Shape { std::vector<std::size_t>(a.a->dim, a.a->dim + a.a->dim_size), a.a->data_size };
}

// Sizes a fresh output of `out_dims` dimensions for an input of `in_dims` (dim[2] = vectors).
Shape sized(Model& m, std::size_t in_dims, std::size_t vectors, std::size_t out_dims,
    int32_t* status = nullptr)
{
    Record<kip_array_real> in(in_dims == 3 ? std::vector<std::size_t> { 2, 3, vectors }
                                           : std::vector<std::size_t> { 2, 3 });
    Record<kip_array_real> out(std::vector<std::size_t>(out_dims, 99));
    const int32_t s = kip_fir_v6_3_calc_size(m.h, in.get(), out.get(), nullptr);
    if (status)
        *status = s;
    EXPECT_EQ(out->data_capacity, 0u); // nothing reserved
    EXPECT_EQ(out->dim_size, out_dims);
    return shape(out);
}

TEST(CalcSize, ShapesFollowTheRates)
{
    Model single(rate_config(0, 0, 1, 1));
    EXPECT_EQ(sized(single, 3, 5, 3), (Shape { { 2, 3, 5 }, 30 }));
    EXPECT_EQ(sized(single, 2, 0, 2), (Shape { { 2, 3 }, 6 }));
    EXPECT_EQ(sized(single, 3, 0, 3), (Shape { { 2, 3, 0 }, 0 }));

    Model up3(rate_config(1, 0, 3, 7)); // decim_rate unused without rate change
    EXPECT_EQ(sized(up3, 2, 0, 3), (Shape { { 2, 3, 3 }, 18 }));
    int32_t status = 0;
    EXPECT_EQ(sized(up3, 2, 0, 2, &status), (Shape { { 99, 99 }, 0 })); // refused, untouched
    EXPECT_EQ(status, 1);
    EXPECT_EQ(up3.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 ERROR: Unable to size "
                                    "output structure, require 3 "
                                    "dimensions" }));

    Model down4(rate_config(2, 0, 5, 4));
    EXPECT_EQ(sized(down4, 3, 10, 3), (Shape { { 2, 3, 2 }, 12 }));
    Model down2(rate_config(2, 0, 1, 2));
    EXPECT_EQ(sized(down2, 2, 0, 2), (Shape { { 2, 3 }, 0 }));

    Model frac(rate_config(1, 1, 3, 2));
    EXPECT_EQ(sized(frac, 3, 5, 3), (Shape { { 2, 3, 7 }, 42 }));
    Model hilbert(rate_config(3, 1, 3, 2)); // rates forced to 1
    EXPECT_EQ(sized(hilbert, 3, 5, 3), (Shape { { 2, 3, 5 }, 30 }));
}

TEST(CalcSize, AdvancedSequence)
{
    kip_fir_v6_3_config c = rate_config(1, 1, 3, 4);
    c.num_paths = 1;
    c.num_channels = 4;
    c.chan_seq = 1;
    c.init_pattern = kip_fir_v6_3_pattern_min[4] + 2; // channel 0 owns 3 of 4 slots
    Model m(c);
    ASSERT_EQ(kip_fir::pattern_rate(m.fir().CurrentPattern, 0), 3);
    Record<kip_array_real> in({ 1, 4, 7 });
    Record<kip_array_complex> out({ 0, 0, 0 });
    ASSERT_EQ(kip_fir_v6_3_calc_size(m.h, in.get(), nullptr, out.get()), 0);
    EXPECT_EQ(shape(out), (Shape { { 1, 4, 5 }, 20 })); // (7 * 3 * 3 / 4) / 3
}

// vectors * interp_rate is formed in 64 bits: no wrap-around for long inputs.
TEST(CalcSize, LongInputsDoNotWrap)
{
    Model up(rate_config(1, 0, 1024, 1));
    Record<kip_array_real> in({ 2, 3, std::size_t { 1 } << 23 });
    Record<kip_array_mpz> out({ 0, 0, 0 });
    ASSERT_EQ(kip_fir_v6_3_calc_size_mpz(up.h, in.get(), out.get(), nullptr), 0);
    EXPECT_EQ(shape(out), (Shape { { 2, 3, std::size_t { 1 } << 33 }, std::size_t { 6 } << 33 }));

    // All 64 bits of the input's vector count are used, as data_send does.
    in->dim[2] = (std::size_t { 1 } << 32) + 3;
    Record<kip_array_mpz_complex> out2({ 0, 0, 0 });
    ASSERT_EQ(kip_fir_v6_3_calc_size_mpz(up.h, in.get(), nullptr, out2.get()), 0);
    const std::size_t n = ((std::size_t { 1 } << 32) + 3) * 1024;
    EXPECT_EQ(shape(out2), (Shape { { 2, 3, n }, 6 * n }));
    // A count whose output would not fit a size_t is refused.
    in->dim[2] = std::size_t { 1 } << 60;
    EXPECT_EQ(kip_fir_v6_3_calc_size_mpz(up.h, in.get(), nullptr, out2.get()), 1);
}

TEST(CalcSize, RefusalsAndArgumentChoice)
{
    Model m(rate_config(0, 0, 1, 1));
    Record<kip_array_real> in({ 2, 3, 4 });
    // dim_size 3 but only two dimension slots: nothing is written.
    Record<kip_array_real> small({ 7, 7 });
    small->dim_size = 3;
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.h, in.get(), small.get(), nullptr), 1);
    EXPECT_EQ(small->dim[0], 7u);
    // Other dimension counts are sized as 3-D; a 1-D record needs three slots.
    Record<kip_array_real> one({ 7 });
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.h, in.get(), one.get(), nullptr), 1);
    kip_array_real_reserve_dim(one.get(), 3);
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.h, in.get(), one.get(), nullptr), 0);
    EXPECT_EQ(one->dim_size, 1u);
    EXPECT_EQ(one->dim[2], 4u);
    // An input claiming three dimensions without their storage.
    Record<kip_array_real> bad_in({ 2, 3 });
    bad_in->dim_size = 3;
    Record<kip_array_real> out({ 0, 0, 0 });
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.h, bad_in.get(), out.get(), nullptr), 1);
    EXPECT_EQ(m.log.texts(),
        (std::vector<std::string> {
            "tapforge_v6_3 ERROR: Unable to size output structure, insufficient dimension "
            "storage",
            "tapforge_v6_3 ERROR: Unable to size output structure, insufficient dimension "
            "storage",
            "tapforge_v6_3 ERROR: Unable to size output structure, invalid input array" }));
    m.log.messages.clear();

    // The first array of a pair is used when both are given.
    Record<kip_array_complex> cplx({ 0, 0, 0 });
    ASSERT_EQ(kip_fir_v6_3_calc_size(m.h, in.get(), out.get(), cplx.get()), 0);
    EXPECT_EQ(out->dim[2], 4u);
    EXPECT_EQ(cplx->dim[2], 0u);

    EXPECT_EQ(kip_fir_v6_3_calc_size(nullptr, in.get(), out.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.h, nullptr, out.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.h, in.get(), nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_calc_size_mpz(m.h, in.get(), nullptr, nullptr), 1);
    EXPECT_TRUE(m.log.messages.empty());
}

// ---------------------------------------------------------------- installation

TEST(SetDataSink, OneSinkAtATime)
{
    Model m(defaults());
    FIR& f = m.fir();
    Record<kip_array_real> r;
    Record<kip_array_complex> c;
    Record<kip_array_mpz> z;
    Record<kip_array_mpz_complex> zc;
    auto installed = [&] {
        return std::vector<const void*> { f.data_sink, f.data_sink_complex, f.data_sink_mpz,
            f.data_sink_mpz_complex };
    };
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.h, r.get(), c.get()), 0); // first one wins
    EXPECT_EQ(installed(), (std::vector<const void*> { r.get(), nullptr, nullptr, nullptr }));
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.h, nullptr, zc.get()), 0);
    EXPECT_EQ(installed(), (std::vector<const void*> { nullptr, nullptr, nullptr, zc.get() }));
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.h, nullptr, c.get()), 0);
    EXPECT_EQ(installed(), (std::vector<const void*> { nullptr, c.get(), nullptr, nullptr }));
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.h, z.get(), zc.get()), 0);
    EXPECT_EQ(installed(), (std::vector<const void*> { nullptr, nullptr, z.get(), nullptr }));
    f.set_data_sink(static_cast<kip_array_real*>(nullptr)); // removes every sink
    EXPECT_EQ(installed(), (std::vector<const void*>(4, nullptr)));

    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.h, nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.h, nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(nullptr, r.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(nullptr, z.get(), nullptr), 1);
    EXPECT_TRUE(m.log.messages.empty());
}

TEST(SetDataSink, HilbertNeedsAComplexSink)
{
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 3;
    Model m(c);
    FIR& f = m.fir();
    Record<kip_array_real> r;
    Record<kip_array_complex> cx;
    Record<kip_array_mpz> z;
    Record<kip_array_mpz_complex> zc;
    ASSERT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.h, nullptr, zc.get()), 0);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.h, r.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.h, z.get(), nullptr), 1);
    EXPECT_EQ(f.data_sink_mpz_complex, zc.get()); // unchanged by the refusals
    EXPECT_EQ(f.data_sink, nullptr);
    EXPECT_EQ(f.data_sink_mpz, nullptr);
    const std::string refusal
        = "tapforge_v6_3 ERROR: Hilbert filter type requires a complex data sink";
    EXPECT_EQ(m.log.texts(), (std::vector<std::string> { refusal, refusal }));
    ASSERT_EQ(kip_fir_v6_3_set_data_sink(m.h, nullptr, cx.get()), 0);
    EXPECT_EQ(f.data_sink_complex, cx.get());
    EXPECT_EQ(f.data_sink_mpz_complex, nullptr);
}

// ---------------------------------------------------------------- delivery

// Elements as exact text, for comparing arrays of any family.
std::string text(double v)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}
std::string text(const kip_complex& v) { return text(v.re) + "," + text(v.im); }
std::string text(mpz_srcptr v) { return mpz_class(v).get_str(); }
std::string text(const kip_mpz_complex& v) { return text(v.re) + "," + text(v.im); }
template <class A> std::vector<std::string> contents(const A& a)
{
    std::vector<std::string> t { "dim_size " + std::to_string(a.dim_size) };
    for (std::size_t i = 0; i < a.dim_size; ++i)
        t.push_back("dim " + std::to_string(a.dim[i]));
    for (std::size_t i = 0; i < a.data_size; ++i)
        t.push_back(text(a.data[i]));
    return t;
}

::testing::AssertionResult same_contents(
    const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    const long at = fir_test::first_difference(actual, expected);
    if (at < 0)
        return ::testing::AssertionSuccess();
    const std::size_t i = static_cast<std::size_t>(at);
    return ::testing::AssertionFailure()
        << "first difference at item " << i << ": " << (i < actual.size() ? actual[i] : "(end)")
        << " vs " << (i < expected.size() ? expected[i] : "(end)");
}

int32_t install(Model& m, kip_array_real* a) { return kip_fir_v6_3_set_data_sink(m.h, a, nullptr); }
int32_t install(Model& m, kip_array_complex* a)
{
    return kip_fir_v6_3_set_data_sink(m.h, nullptr, a);
}
int32_t install(Model& m, kip_array_mpz* a)
{
    return kip_fir_v6_3_set_data_sink_mpz(m.h, a, nullptr);
}
int32_t install(Model& m, kip_array_mpz_complex* a)
{
    return kip_fir_v6_3_set_data_sink_mpz(m.h, nullptr, a);
}
int32_t get(Model& m, kip_array_real* a) { return kip_fir_v6_3_data_get(m.h, a, nullptr); }
int32_t get(Model& m, kip_array_complex* a) { return kip_fir_v6_3_data_get(m.h, nullptr, a); }
int32_t get(Model& m, kip_array_mpz* a) { return kip_fir_v6_3_data_get_mpz(m.h, a, nullptr); }
int32_t get(Model& m, kip_array_mpz_complex* a)
{
    return kip_fir_v6_3_data_get_mpz(m.h, nullptr, a);
}

// Model A delivers to a sink of family S; its twin B, fed the same frames, is collected with
// data_get into a fresh array. After every data_send the sink must hold exactly that array.
template <class S> void check_sink_family(const kip_fir_v6_3_config& c, uint64_t seed)
{
    SCOPED_TRACE(std::string("family ") + kip_fir::ArrayFamily<S>::word
        + ", KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(static_cast<uint32_t>(seed));
    Model a(c), b(c);
    ASSERT_TRUE(a.h && b.h);
    a.log.messages.clear();
    Record<S> sink;
    ASSERT_EQ(install(a, sink.get()), 0);
    const std::size_t np = static_cast<std::size_t>(c.num_paths);
    const std::size_t nc = static_cast<std::size_t>(c.num_channels);
    std::uniform_int_distribution<int> count(0, 5), sample(-3000, 3000);
    for (int call = 0; call < 6; ++call) {
        const std::size_t vectors = static_cast<std::size_t>(count(rng));
        std::vector<double> data(np * nc * vectors);
        for (double& x : data)
            x = sample(rng) / 8.0;
        Record<kip_array_real> in;
        fir_test::fill_frames(in, np, nc, vectors, data);
        ASSERT_EQ(kip_fir_v6_3_data_send(a.h, in.get()), 0);
        ASSERT_EQ(kip_fir_v6_3_data_send(b.h, in.get()), 0);
        const std::size_t n = static_cast<std::size_t>(b.fir().output_vectors_waiting());
        Record<S> expected({ np, nc, n }, np * nc * n);
        expected->data_size = np * nc * n;
        if (n > 0) {
            ASSERT_EQ(get(b, expected.get()), 0);
        }
        EXPECT_EQ(a.fir().output_vectors_waiting(), 0);
        SCOPED_TRACE("call " + std::to_string(call));
        EXPECT_TRUE(same_contents(contents(*sink.a), contents(*expected.a)));
    }
    EXPECT_TRUE(a.log.messages.empty()) << a.log.messages.front();
}

kip_fir_v6_3_config delivery_config()
{
    kip_fir_v6_3_config c = rate_config(1, 1, 3, 2);
    c.data_fract_width = 3;
    c.output_rounding = 4;
    c.output_width = 18;
    return c;
}

TEST(Delivery, SinksHoldWhatDataGetReturns)
{
    const uint64_t seed = kip_test::seed();
    kip_fir_v6_3_config c = delivery_config();
    check_sink_family<kip_array_real>(c, seed);
    check_sink_family<kip_array_complex>(c, seed);
    check_sink_family<kip_array_mpz>(c, seed);
    check_sink_family<kip_array_mpz_complex>(c, seed);

    c.reloadable = 1;
    c.coeff_width = 40; // integer mode
    ASSERT_TRUE(Model(c).fir().use_mpz);
    check_sink_family<kip_array_real>(c, seed);
    check_sink_family<kip_array_mpz_complex>(c, seed);

    kip_fir_v6_3_config adv = delivery_config(); // advanced sequence, channel 0 in 3 slots
    adv.num_channels = 4;
    adv.chan_seq = 1;
    adv.init_pattern = kip_fir_v6_3_pattern_min[4] + 2;
    check_sink_family<kip_array_real>(adv, seed);
    check_sink_family<kip_array_mpz>(adv, seed);

    kip_fir_v6_3_config hilbert = defaults();
    hilbert.filter_type = 3;
    hilbert.num_channels = 2;
    check_sink_family<kip_array_complex>(hilbert, seed);
    check_sink_family<kip_array_mpz_complex>(hilbert, seed);
}

// A sink whose owner is set is taken over and filled all the same; decimation by 2 with one
// vector per call alternates an empty sink and a sink of one vector.
TEST(Delivery, OwnerIsClearedAndEmptyDeliveriesCount)
{
    Model m(rate_config(2, 0, 1, 2));
    Record<kip_array_real> sink({ 5 }, 2);
    sink->owner = 1;
    ASSERT_EQ(install(m, sink.get()), 0);
    Record<kip_array_real> in;
    fir_test::fill_frames(in, 2, 3, 1, { 1, 2, 3, 4, 5, 6 });
    for (int call = 0; call < 4; ++call) {
        ASSERT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0);
        EXPECT_EQ(sink->owner, 0);
        EXPECT_EQ(
            shape(sink), (Shape { { 2, 3, std::size_t(call % 2) }, std::size_t(6 * (call % 2)) }));
        if (call == 1) {
            EXPECT_EQ(sink->data[5], 6 * 6 + 6 * 0); // path 1, channel 2: taps on x1, x0
        }
    }
    in->dim[2] = 0; // no vectors: still delivered, empty
    in->data_size = 0;
    ASSERT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0);
    EXPECT_EQ(shape(sink), (Shape { { 2, 3, 0 }, 0 }));
}

struct HandlerLog {
    int calls = 0;
    const kip_array_real* data = nullptr;
    void* arg2 = nullptr;
    std::size_t vectors = 0;
    static int32_t record(const kip_array_real* data, void* arg1, void* arg2)
    {
        auto* h = static_cast<HandlerLog*>(arg1);
        ++h->calls;
        h->data = data;
        h->arg2 = arg2;
        h->vectors = data->dim[2];
        return 7;
    }
};

TEST(Delivery, HandlerFollowsOnlyTheRealSink)
{
    Model m(rate_config(0, 0, 1, 1));
    HandlerLog h;
    int extra = 0;
    ASSERT_EQ(kip_fir_v6_3_set_data_handler(m.h, &HandlerLog::record, &h, &extra), 0);
    Record<kip_array_real> in;
    fir_test::fill_frames(in, 2, 3, 2, std::vector<double>(12, 1.0));
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0); // no sink: no call
    Record<kip_array_complex> cx;
    ASSERT_EQ(install(m, cx.get()), 0);
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 0); // complex sink: no call
    EXPECT_EQ(cx->dim[2], 4u); // everything waiting, the first call's vectors included
    EXPECT_EQ(h.calls, 0);
    Record<kip_array_real> real;
    ASSERT_EQ(install(m, real.get()), 0);
    EXPECT_EQ(kip_fir_v6_3_data_send(m.h, in.get()), 7); // the handler's result
    EXPECT_EQ(h.calls, 1);
    EXPECT_EQ(h.data, real.get());
    EXPECT_EQ(h.arg2, &extra);
    EXPECT_EQ(h.vectors, 2u);
    EXPECT_TRUE(m.log.messages.empty());
}

// A's output feeds B through the sink and kip_fir_v6_3_data_send_handler; the result must equal
// running A, collecting its output, and sending that to B by hand.
TEST(Delivery, ChainingEqualsRunningTheModelsInTurn)
{
    const uint64_t seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(static_cast<uint32_t>(seed));
    kip_fir_v6_3_config first = rate_config(1, 0, 2, 1);
    first.data_fract_width = 2;
    first.output_rounding = 3;
    first.output_width = 20;
    kip_fir_v6_3_config second = rate_config(2, 0, 1, 3);
    second.data_width = 20;
    Model a(first), b(second), a2(first), b2(second);
    Record<kip_array_real> sink;
    ASSERT_EQ(install(a, sink.get()), 0);
    ASSERT_EQ(kip_fir_v6_3_set_data_handler(a.h, &kip_fir_v6_3_data_send_handler, b.h, nullptr), 0);
    std::uniform_int_distribution<int> sample(-4000, 4000), count(0, 4);
    for (int call = 0; call < 8; ++call) {
        const std::size_t vectors = static_cast<std::size_t>(count(rng));
        std::vector<double> data(6 * vectors);
        for (double& x : data)
            x = sample(rng) / 4.0;
        Record<kip_array_real> in;
        fir_test::fill_frames(in, 2, 3, vectors, data);
        ASSERT_EQ(kip_fir_v6_3_data_send(a.h, in.get()), 0);

        ASSERT_EQ(kip_fir_v6_3_data_send(a2.h, in.get()), 0);
        const std::size_t n = static_cast<std::size_t>(a2.fir().output_vectors_waiting());
        Record<kip_array_real> mid({ 2, 3, n }, 6 * n);
        mid->data_size = 6 * n;
        if (n > 0) {
            ASSERT_EQ(get(a2, mid.get()), 0);
        }
        ASSERT_EQ(kip_fir_v6_3_data_send(b2.h, mid.get()), 0);
    }
    const std::size_t n = static_cast<std::size_t>(b2.fir().output_vectors_waiting());
    ASSERT_GT(n, 3u);
    ASSERT_EQ(b.fir().output_vectors_waiting(), static_cast<int32_t>(n));
    Record<kip_array_real> out({ 2, 3, n }, 6 * n), expected({ 2, 3, n }, 6 * n);
    ASSERT_EQ(get(b, out.get()), 0);
    ASSERT_EQ(get(b2, expected.get()), 0);
    EXPECT_TRUE(same_contents(contents(*out.a), contents(*expected.a)));

    // A's data_send returns B's status: a B of another shape refuses the frame.
    kip_fir_v6_3_config other = second;
    other.num_channels = 2;
    Model c(other);
    ASSERT_EQ(kip_fir_v6_3_set_data_handler(a.h, &kip_fir_v6_3_data_send_handler, c.h, nullptr), 0);
    Record<kip_array_real> in;
    fir_test::fill_frames(in, 2, 3, 1, std::vector<double>(6, 1.0));
    EXPECT_EQ(kip_fir_v6_3_data_send(a.h, in.get()), 1);
    EXPECT_TRUE(a.log.messages.empty());
    EXPECT_EQ(c.log.texts(),
        (std::vector<std::string> { "tapforge_v6_3 ERROR: Incorrect data size, expecting "
                                    "num_paths: 2 by num_channels: 2" }));
}

#if defined(__SANITIZE_ADDRESS__) || !defined(__GLIBC__)
#define KIP_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIP_UNDER_ASAN 1
#endif
#endif

// A sink that cannot be grown: the model is run once to bring its buffers to their working
// size, then the address space is capped just above its current size (in a child process) so
// that the next delivery cannot reserve the sink's storage.
TEST(DeliveryDeathTest, SinkThatCannotGrowIsReported)
{
#ifdef KIP_UNDER_ASAN
    GTEST_SKIP() << "needs glibc malloc without the address sanitizer";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto address_space_bytes = [] {
        std::ifstream statm("/proc/self/statm");
        std::size_t pages = 0;
        statm >> pages;
        return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    };
    auto child = [&] {
        // Large blocks come from their own mappings and go back when freed, so that the
        // address space measured below is what the model holds.
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
        const std::size_t vectors = std::size_t { 1 } << 21; // 16 MiB of output
        kip_fir_v6_3_config c = defaults();
        Model m(c);
        Record<kip_array_real> in;
        fir_test::fill_frames(in, 1, 1, vectors, std::vector<double>(vectors, 1.0));
        if (kip_fir_v6_3_data_send(m.h, in.get()) != 0)
            std::exit(2);
        {
            Record<kip_array_real> out({ 1, 1, vectors }, vectors);
            if (get(m, out.get()) != 0)
                std::exit(3);
        }
        Record<kip_array_real> sink;
        install(m, sink.get());
        malloc_trim(0);
        rlimit cap {};
        cap.rlim_cur = cap.rlim_max = address_space_bytes() + (std::size_t { 4 } << 20);
        if (setrlimit(RLIMIT_AS, &cap) != 0)
            std::exit(4);
        const int32_t status = kip_fir_v6_3_data_send(m.h, in.get());
        const bool reported = status == 1
            && m.log.texts()
                == std::vector<std::string> {
                       "tapforge_v6_3 ERROR: Unable to reserve data for data_sink"
                   };
        if (!reported) {
            std::fprintf(stderr, "status %d\n", static_cast<int>(status));
            for (const auto& t : m.log.texts())
                std::fprintf(stderr, "%s\n", t.c_str());
        }
        std::exit(reported ? 0 : 5);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
#endif
}

} // namespace
