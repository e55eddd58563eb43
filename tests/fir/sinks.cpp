// Output sinks, the data handler and output sizing: installation rules, calc_size shapes, and
// delivery at the end of data_send (contents equal to data_get, owner handling, chaining).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "advchanpat.h"
#include "fir_test_model.h"

namespace {

using fir_test::Array;
using fir_test::defaults;
using fir_test::Model;

kip_fir_v6_3_config rate_config(int type, int rate_change, int l, int m) {
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
std::ostream& operator<<(std::ostream& os, const Shape& s) {
    os << "dim (";
    for (std::size_t d : s.dim) os << d << ' ';
    return os << ") data_size " << s.data_size;
}

template <class A> Shape shape(const Array<A>& a) {
    return Shape{std::vector<std::size_t>(a.a->dim, a.a->dim + a.a->dim_size), a.a->data_size};
}

// Sizes a fresh output of `out_dims` dimensions for an input of `in_dims` (dim[2] = vectors).
Shape sized(Model& m, std::size_t in_dims, std::size_t vectors, std::size_t out_dims,
            int32_t* status = nullptr) {
    Array<kip_array_real> in(in_dims == 3 ? std::vector<std::size_t>{2, 3, vectors}
                                          : std::vector<std::size_t>{2, 3});
    Array<kip_array_real> out(std::vector<std::size_t>(out_dims, 99));
    const int32_t s = kip_fir_v6_3_calc_size(m.m, in.get(), out.get(), nullptr);
    if (status) *status = s;
    EXPECT_EQ(out->data_capacity, 0u);  // nothing reserved
    EXPECT_EQ(out->dim_size, out_dims);
    return shape(out);
}

TEST(CalcSize, ShapesFollowTheRates) {
    Model single(rate_config(0, 0, 1, 1));
    EXPECT_EQ(sized(single, 3, 5, 3), (Shape{{2, 3, 5}, 30}));
    EXPECT_EQ(sized(single, 2, 0, 2), (Shape{{2, 3}, 6}));
    EXPECT_EQ(sized(single, 3, 0, 3), (Shape{{2, 3, 0}, 0}));

    Model up3(rate_config(1, 0, 3, 7));  // decim_rate unused without rate change
    EXPECT_EQ(sized(up3, 2, 0, 3), (Shape{{2, 3, 3}, 18}));
    int32_t status = 0;
    EXPECT_EQ(sized(up3, 2, 0, 2, &status), (Shape{{99, 99}, 0}));  // refused, untouched
    EXPECT_EQ(status, 1);
    EXPECT_EQ(up3.log.texts(), (std::vector<std::string>{"tapforge_v6_3 ERROR: Unable to size "
                                                         "output structure, require 3 "
                                                         "dimensions"}));

    Model down4(rate_config(2, 0, 5, 4));
    EXPECT_EQ(sized(down4, 3, 10, 3), (Shape{{2, 3, 2}, 12}));
    Model down2(rate_config(2, 0, 1, 2));
    EXPECT_EQ(sized(down2, 2, 0, 2), (Shape{{2, 3}, 0}));

    Model frac(rate_config(1, 1, 3, 2));
    EXPECT_EQ(sized(frac, 3, 5, 3), (Shape{{2, 3, 7}, 42}));
    Model hilbert(rate_config(3, 1, 3, 2));  // rates forced to 1
    EXPECT_EQ(sized(hilbert, 3, 5, 3), (Shape{{2, 3, 5}, 30}));
}

TEST(CalcSize, AdvancedSequence) {
    kip_fir_v6_3_config c = rate_config(1, 1, 3, 4);
    c.num_paths = 1;
    c.num_channels = 4;
    c.chan_seq = 1;
    c.init_pattern = kip_fir_v6_3_pattern_min[4] + 2;  // channel 0 owns 3 of 4 slots
    Model m(c);
    ASSERT_EQ(kip_fir::pattern_rate(m.fir().CurrentPattern, 0), 3);
    Array<kip_array_real> in({1, 4, 7});
    Array<kip_array_complex> out({0, 0, 0});
    ASSERT_EQ(kip_fir_v6_3_calc_size(m.m, in.get(), nullptr, out.get()), 0);
    EXPECT_EQ(shape(out), (Shape{{1, 4, 5}, 20}));  // (7 * 3 * 3 / 4) / 3
}

// vectors * interp_rate is formed in 64 bits: no wrap-around for long inputs.
TEST(CalcSize, LongInputsDoNotWrap) {
    Model up(rate_config(1, 0, 1024, 1));
    Array<kip_array_real> in({2, 3, std::size_t{1} << 23});
    Array<kip_array_mpz> out({0, 0, 0});
    ASSERT_EQ(kip_fir_v6_3_calc_size_mpz(up.m, in.get(), out.get(), nullptr), 0);
    EXPECT_EQ(shape(out), (Shape{{2, 3, std::size_t{1} << 33}, std::size_t{6} << 33}));

    // Only the low 32 bits of the input's vector count are used, as data_send does.
    in->dim[2] = (std::size_t{1} << 32) + 3;
    Array<kip_array_mpz_complex> out2({0, 0, 0});
    ASSERT_EQ(kip_fir_v6_3_calc_size_mpz(up.m, in.get(), nullptr, out2.get()), 0);
    EXPECT_EQ(shape(out2), (Shape{{2, 3, 3072}, 6 * 3072}));
}

TEST(CalcSize, RefusalsAndArgumentChoice) {
    Model m(rate_config(0, 0, 1, 1));
    Array<kip_array_real> in({2, 3, 4});
    // dim_size 3 but only two dimension slots: nothing is written.
    Array<kip_array_real> small({7, 7});
    small->dim_size = 3;
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.m, in.get(), small.get(), nullptr), 1);
    EXPECT_EQ(small->dim[0], 7u);
    // Other dimension counts are sized as 3-D; a 1-D record needs three slots.
    Array<kip_array_real> one({7});
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.m, in.get(), one.get(), nullptr), 1);
    kip_array_real_reserve_dim(one.get(), 3);
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.m, in.get(), one.get(), nullptr), 0);
    EXPECT_EQ(one->dim_size, 1u);
    EXPECT_EQ(one->dim[2], 4u);
    // An input claiming three dimensions without their storage.
    Array<kip_array_real> bad_in({2, 3});
    bad_in->dim_size = 3;
    Array<kip_array_real> out({0, 0, 0});
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.m, bad_in.get(), out.get(), nullptr), 1);
    EXPECT_EQ(m.log.texts(),
              (std::vector<std::string>{
                  "tapforge_v6_3 ERROR: Unable to size output structure, insufficient dimension "
                  "storage",
                  "tapforge_v6_3 ERROR: Unable to size output structure, insufficient dimension "
                  "storage",
                  "tapforge_v6_3 ERROR: Unable to size output structure, invalid input array"}));
    m.log.messages.clear();

    // The first array of a pair is used when both are given.
    Array<kip_array_complex> cplx({0, 0, 0});
    ASSERT_EQ(kip_fir_v6_3_calc_size(m.m, in.get(), out.get(), cplx.get()), 0);
    EXPECT_EQ(out->dim[2], 4u);
    EXPECT_EQ(cplx->dim[2], 0u);

    EXPECT_EQ(kip_fir_v6_3_calc_size(nullptr, in.get(), out.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.m, nullptr, out.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_calc_size(m.m, in.get(), nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_calc_size_mpz(m.m, in.get(), nullptr, nullptr), 1);
    EXPECT_TRUE(m.log.messages.empty());
}

// ---------------------------------------------------------------- installation

TEST(SetDataSink, OneSinkAtATime) {
    Model m(defaults());
    FIR& f = m.fir();
    Array<kip_array_real> r;
    Array<kip_array_complex> c;
    Array<kip_array_mpz> z;
    Array<kip_array_mpz_complex> zc;
    auto installed = [&] {
        return std::vector<const void*>{f.data_sink, f.data_sink_complex, f.data_sink_mpz,
                                        f.data_sink_mpz_complex};
    };
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.m, r.get(), c.get()), 0);  // first one wins
    EXPECT_EQ(installed(), (std::vector<const void*>{r.get(), nullptr, nullptr, nullptr}));
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.m, nullptr, zc.get()), 0);
    EXPECT_EQ(installed(), (std::vector<const void*>{nullptr, nullptr, nullptr, zc.get()}));
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.m, nullptr, c.get()), 0);
    EXPECT_EQ(installed(), (std::vector<const void*>{nullptr, c.get(), nullptr, nullptr}));
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.m, z.get(), zc.get()), 0);
    EXPECT_EQ(installed(), (std::vector<const void*>{nullptr, nullptr, z.get(), nullptr}));
    f.set_data_sink(static_cast<kip_array_real*>(nullptr));  // removes every sink
    EXPECT_EQ(installed(), (std::vector<const void*>(4, nullptr)));

    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.m, nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.m, nullptr, nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(nullptr, r.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(nullptr, z.get(), nullptr), 1);
    EXPECT_TRUE(m.log.messages.empty());
}

TEST(SetDataSink, HilbertNeedsAComplexSink) {
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 3;
    Model m(c);
    FIR& f = m.fir();
    Array<kip_array_real> r;
    Array<kip_array_complex> cx;
    Array<kip_array_mpz> z;
    Array<kip_array_mpz_complex> zc;
    ASSERT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.m, nullptr, zc.get()), 0);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink(m.m, r.get(), nullptr), 1);
    EXPECT_EQ(kip_fir_v6_3_set_data_sink_mpz(m.m, z.get(), nullptr), 1);
    EXPECT_EQ(f.data_sink_mpz_complex, zc.get());  // unchanged by the refusals
    EXPECT_EQ(f.data_sink, nullptr);
    EXPECT_EQ(f.data_sink_mpz, nullptr);
    const std::string refusal =
        "tapforge_v6_3 ERROR: Hilbert filter type requires a complex data sink";
    EXPECT_EQ(m.log.texts(), (std::vector<std::string>{refusal, refusal}));
    ASSERT_EQ(kip_fir_v6_3_set_data_sink(m.m, nullptr, cx.get()), 0);
    EXPECT_EQ(f.data_sink_complex, cx.get());
    EXPECT_EQ(f.data_sink_mpz_complex, nullptr);
}

int32_t return_seven(const kip_array_real*, void*, void*) { return 7; }

TEST(SetDataHandler, StoresAndRemoves) {
    Model m(defaults());
    int a = 0, b = 0;
    EXPECT_EQ(kip_fir_v6_3_set_data_handler(m.m, &return_seven, &a, &b), 0);
    EXPECT_EQ(m.fir().data_handler, &return_seven);
    EXPECT_EQ(m.fir().data_handler_arg1, &a);
    EXPECT_EQ(m.fir().data_handler_arg2, &b);
    EXPECT_EQ(kip_fir_v6_3_set_data_handler(m.m, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(m.fir().data_handler, nullptr);
    EXPECT_EQ(kip_fir_v6_3_set_data_handler(nullptr, &return_seven, nullptr, nullptr), 1);
}

}  // namespace
