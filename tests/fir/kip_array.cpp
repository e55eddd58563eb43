// Array families: lifecycle and ownership, GMP slot handling, the channel accessors with basic
// and pattern addressing against a naive layout model, and refusal of bad input.
#include "kip_test_seed.h"
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kip_array.h"

namespace {

constexpr int32_t kBasic = 175;

// Test-side holder of a kip_mpz_complex with value semantics.
struct MpzPair {
    kip_mpz_complex v;
    MpzPair(long re = 0, long im = 0)
    {
        mpz_init_set_si(v.re, re);
        mpz_init_set_si(v.im, im);
    }
    MpzPair(const MpzPair& o)
    {
        mpz_init_set(v.re, o.v.re);
        mpz_init_set(v.im, o.v.im);
    }
    MpzPair& operator=(const MpzPair& o)
    {
        mpz_set(v.re, o.v.re);
        mpz_set(v.im, o.v.im);
        return *this;
    }
    ~MpzPair()
    {
        mpz_clear(v.re);
        mpz_clear(v.im);
    }
};

// A GMP value well beyond 64 bits, distinct for every i and of either sign.
mpz_class wide(long i)
{
    mpz_class x = (mpz_class(1) << 130) * (i + 3) + i;
    return i % 2 ? mpz_class(-x) : x;
}

// Per-family calls: lifecycle under both names, accessors, and test values (make, raw, eq, str).
#define KIP_TEST_LIFECYCLE(family)                                                                 \
    using A = kip_array_##family;                                                                  \
    static A* create() { return kip_array_##family##_create(); }                                   \
    static A* vcreate() { return kip_fir_v6_3_kip_array_##family##_create(); }                     \
    static int reserve_data(A* a, size_t n) { return kip_array_##family##_reserve_data(a, n); }    \
    static int vreserve_data(A* a, size_t n)                                                       \
    {                                                                                              \
        return kip_fir_v6_3_kip_array_##family##_reserve_data(a, n);                               \
    }                                                                                              \
    static int reserve_dim(A* a, size_t n) { return kip_array_##family##_reserve_dim(a, n); }      \
    static A* destroy(A* a) { return kip_array_##family##_destroy(a); }                            \
    static A* vdestroy(A* a) { return kip_fir_v6_3_kip_array_##family##_destroy(a); }

// Accessors taking the test-side value; `out` / `in` turn it into the C argument.
#define KIP_TEST_ACCESSORS(family, out, in)                                                        \
    static int get(const A* a, Value& v, size_t p, size_t c, size_t i, int32_t pat)                \
    {                                                                                              \
        return kip_array_##family##_get_chan(a, out, p, c, i, pat);                                \
    }                                                                                              \
    static int get_null(const A* a)                                                                \
    {                                                                                              \
        return kip_array_##family##_get_chan(a, nullptr, 0, 0, 0, kBasic);                         \
    }                                                                                              \
    static int set(A* a, const Value& v, size_t p, size_t c, size_t i, int32_t pat)                \
    {                                                                                              \
        return kip_array_##family##_set_chan(a, in, p, c, i, pat);                                 \
    }

template <class A> struct Fam;

template <> struct Fam<kip_array_uint> {
    KIP_TEST_LIFECYCLE(uint)
};

template <> struct Fam<kip_array_real> {
    KIP_TEST_LIFECYCLE(real)
    using Value = double;
    KIP_TEST_ACCESSORS(real, &v, v)
    static Value make(long i) { return i * 0.5 - 7.25; }
    static Value raw(const A* a, size_t pos) { return a->data[pos]; }
    static bool eq(const Value& x, const Value& y) { return x == y; }
    static std::string str(const Value& x) { return std::to_string(x); }
};

template <> struct Fam<kip_array_complex> {
    KIP_TEST_LIFECYCLE(complex)
    using Value = kip_complex;
    KIP_TEST_ACCESSORS(complex, &v, v)
    static Value make(long i) { return { i * 1.5, -i * 0.25 - 1.0 }; }
    static Value raw(const A* a, size_t pos) { return a->data[pos]; }
    static bool eq(const Value& x, const Value& y) { return x.re == y.re && x.im == y.im; }
    static std::string str(const Value& x)
    {
        return "(" + std::to_string(x.re) + ", " + std::to_string(x.im) + ")";
    }
};

template <> struct Fam<kip_array_mpz> {
    KIP_TEST_LIFECYCLE(mpz)
    using Value = mpz_class;
    KIP_TEST_ACCESSORS(mpz, v.get_mpz_t(), v.get_mpz_t())
    static Value make(long i) { return wide(i); }
    static Value raw(const A* a, size_t pos) { return mpz_class(a->data[pos]); }
    static bool eq(const Value& x, const Value& y) { return x == y; }
    static std::string str(const Value& x) { return x.get_str(); }
};

template <> struct Fam<kip_array_mpz_complex> {
    KIP_TEST_LIFECYCLE(mpz_complex)
    using Value = MpzPair;
    KIP_TEST_ACCESSORS(mpz_complex, &v.v, v.v)
    static Value make(long i)
    {
        MpzPair v;
        mpz_set(v.v.re, wide(i).get_mpz_t());
        mpz_set(v.v.im, wide(i + 1000).get_mpz_t());
        return v;
    }
    static Value raw(const A* a, size_t pos)
    {
        MpzPair v;
        mpz_set(v.v.re, a->data[pos].re);
        mpz_set(v.v.im, a->data[pos].im);
        return v;
    }
    static bool eq(const Value& x, const Value& y)
    {
        return mpz_cmp(x.v.re, y.v.re) == 0 && mpz_cmp(x.v.im, y.v.im) == 0;
    }
    static std::string str(const Value& x)
    {
        return "(" + mpz_class(x.v.re).get_str() + ", " + mpz_class(x.v.im).get_str() + ")";
    }
};

// ---------------------------------------------------------------------------------------------
// Lifecycle, all five families

template <class A> class ArrayLifecycle : public ::testing::Test {
};
using AllFamilies = ::testing::Types<kip_array_real, kip_array_complex, kip_array_uint,
    kip_array_mpz, kip_array_mpz_complex>;
TYPED_TEST_SUITE(ArrayLifecycle, AllFamilies);

TYPED_TEST(ArrayLifecycle, CreateGivesAnEmptyRecord)
{
    using F = Fam<TypeParam>;
    for (TypeParam* a : { F::create(), F::vcreate() }) {
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->data, nullptr);
        EXPECT_EQ(a->dim, nullptr);
        EXPECT_EQ(a->data_size + a->data_capacity + a->dim_size + a->dim_capacity, 0u);
        EXPECT_EQ(a->owner, 0);
        EXPECT_EQ(F::destroy(a), nullptr);
    }
    EXPECT_EQ(F::destroy(nullptr), nullptr);
    EXPECT_EQ(F::vdestroy(nullptr), nullptr);
}

TYPED_TEST(ArrayLifecycle, ReserveGrowsExactlyAndNeverShrinks)
{
    using F = Fam<TypeParam>;
    TypeParam* a = F::create();
    EXPECT_EQ(F::reserve_data(a, 0), 0);
    EXPECT_EQ(F::reserve_dim(a, 0), 0);
    EXPECT_EQ(a->data, nullptr);
    EXPECT_EQ(a->dim, nullptr);

    EXPECT_EQ(F::reserve_data(a, 7), 0);
    EXPECT_EQ(a->data_capacity, 7u);
    EXPECT_NE(a->data, nullptr);
    EXPECT_EQ(F::vreserve_data(a, 20), 0);
    EXPECT_EQ(a->data_capacity, 20u);
    auto* data = a->data;
    EXPECT_EQ(F::reserve_data(a, 5), 0);
    EXPECT_EQ(a->data_capacity, 20u);
    EXPECT_EQ(a->data, data);
    EXPECT_EQ(a->data_size, 0u);

    EXPECT_EQ(F::reserve_dim(a, 3), 0);
    EXPECT_EQ(a->dim_capacity, 3u);
    EXPECT_EQ(F::reserve_dim(a, 2), 0);
    EXPECT_EQ(a->dim_capacity, 3u);
    EXPECT_EQ(a->dim_size, 0u);

    // A byte count that overflows is refused and leaves the record as it was.
    EXPECT_EQ(F::reserve_data(a, SIZE_MAX), 1);
    EXPECT_EQ(F::reserve_dim(a, SIZE_MAX), 1);
    EXPECT_EQ(a->data_capacity, 20u);
    EXPECT_EQ(a->dim_capacity, 3u);
    EXPECT_EQ(F::reserve_data(nullptr, 1), 1);
    EXPECT_EQ(F::reserve_dim(nullptr, 1), 1);
    EXPECT_EQ(F::vdestroy(a), nullptr);
}

TYPED_TEST(ArrayLifecycle, OwnedRecordIsNeitherGrownNorFreed)
{
    using F = Fam<TypeParam>;
    TypeParam* a = F::create();
    ASSERT_EQ(F::reserve_data(a, 4), 0);
    a->owner = 1;
    EXPECT_EQ(F::reserve_data(a, 8), 1);
    EXPECT_EQ(F::vreserve_data(a, 8), 1);
    EXPECT_EQ(F::reserve_data(a, 2), 1); // refused even when nothing would change
    EXPECT_EQ(F::reserve_dim(a, 3), 1);
    EXPECT_EQ(a->data_capacity, 4u);
    EXPECT_EQ(a->dim, nullptr);
    EXPECT_EQ(F::destroy(a), a);
    EXPECT_EQ(F::vdestroy(a), a);
    a->owner = 0;
    EXPECT_EQ(F::destroy(a), nullptr);
}

TEST(ArrayTraits, ExportedValues)
{
    EXPECT_EQ(kip_type_trait_real, 0);
    EXPECT_EQ(kip_type_trait_complex, 0);
    EXPECT_EQ(kip_type_trait_uint, 0);
    EXPECT_EQ(kip_type_trait_mpz, 1);
    EXPECT_EQ(kip_type_trait_mpz_complex, 2);
}

TEST(ArrayGmp, ReserveInitialisesOnlyNewSlots)
{
    kip_array_mpz* a = kip_array_mpz_create();
    ASSERT_EQ(kip_array_mpz_reserve_data(a, 3), 0);
    for (long i = 0; i < 3; ++i)
        mpz_set(a->data[i], wide(i).get_mpz_t());
    ASSERT_EQ(kip_array_mpz_reserve_data(a, 5), 0);
    for (long i = 0; i < 3; ++i)
        EXPECT_EQ(mpz_class(a->data[i]), wide(i)) << i;
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(mpz_sgn(a->data[i]), 0) << i;
        mpz_set(a->data[i], wide(i).get_mpz_t()); // usable without initialisation
    }
    EXPECT_EQ(kip_array_mpz_destroy(a), nullptr); // clears all five; ASan reports a leak else

    kip_array_mpz_complex* c = kip_array_mpz_complex_create();
    ASSERT_EQ(kip_array_mpz_complex_reserve_data(c, 3), 0);
    for (long i = 0; i < 3; ++i) {
        mpz_set(c->data[i].re, wide(i).get_mpz_t());
        mpz_set(c->data[i].im, wide(-i).get_mpz_t());
    }
    ASSERT_EQ(kip_array_mpz_complex_reserve_data(c, 5), 0);
    for (long i = 0; i < 3; ++i) {
        EXPECT_EQ(mpz_class(c->data[i].re), wide(i)) << i;
        EXPECT_EQ(mpz_class(c->data[i].im), wide(-i)) << i;
    }
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(mpz_sgn(c->data[i].re), 0) << i;
        EXPECT_EQ(mpz_sgn(c->data[i].im), 0) << i;
        mpz_set(c->data[i].im, wide(i).get_mpz_t());
    }
    EXPECT_EQ(kip_array_mpz_complex_destroy(c), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Channel accessors, the four families that have them

// A record of the given dimensions with `capacity` elements reserved and data_size `size`.
template <class A> A* make_array(std::vector<size_t> dims, size_t capacity, size_t size)
{
    using F = Fam<A>;
    A* a = F::create();
    EXPECT_EQ(F::reserve_dim(a, 3), 0);
    EXPECT_EQ(F::reserve_data(a, capacity), 0);
    // GMP slots start at 0; plain elements are zeroed here so snapshots compare defined values.
    if constexpr (kip_fir::ArrayFamily<A>::trait == KIP_TYPE_TRAIT_PLAIN)
        std::memset(static_cast<void*>(a->data), 0,
            capacity * sizeof(typename kip_fir::ArrayFamily<A>::element));
    a->dim_size = dims.size();
    for (size_t i = 0; i < dims.size(); ++i)
        a->dim[i] = dims[i];
    a->data_size = size;
    return a;
}

// Whole-record snapshot for "nothing changed" checks.
template <class A> struct Snapshot {
    using F = Fam<A>;
    size_t data_size, dim_size, dims[3];
    std::vector<typename F::Value> values;
    explicit Snapshot(const A* a)
        : data_size(a->data_size)
        , dim_size(a->dim_size)
        , dims { a->dim[0], a->dim[1], a->dim[2] }
    {
        for (size_t i = 0; i < a->data_capacity; ++i)
            values.push_back(F::raw(a, i));
    }
    void expect_same(const A* a, const std::string& what) const
    {
        EXPECT_EQ(a->data_size, data_size) << what;
        EXPECT_EQ(a->dim_size, dim_size) << what;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(a->dim[i], dims[i]) << what;
        for (size_t i = 0; i < values.size(); ++i)
            if (!F::eq(F::raw(a, i), values[i])) {
                ADD_FAILURE() << what << ": element " << i << " changed";
                return;
            }
    }
};

template <class A> class ArrayAccess : public ::testing::Test {
};
using ChannelFamilies
    = ::testing::Types<kip_array_real, kip_array_complex, kip_array_mpz, kip_array_mpz_complex>;
TYPED_TEST_SUITE(ArrayAccess, ChannelFamilies);

// Basic addressing: every element lands at path + chan * d0 + vector * d0 * d1 and reads back.
TYPED_TEST(ArrayAccess, BasicAddressingFollowsTheLayout)
{
    using F = Fam<TypeParam>;
    const size_t d0 = 3, d1 = 5, d2 = 4;
    TypeParam* a = make_array<TypeParam>({ d0, d1, d2 }, d0 * d1 * d2, d0 * d1 * d2);
    for (size_t v = 0; v < d2; ++v)
        for (size_t c = 0; c < d1; ++c)
            for (size_t p = 0; p < d0; ++p)
                ASSERT_EQ(F::set(a, F::make(long(p * 100 + c * 10 + v)), p, c, v, kBasic), 0);
    for (size_t pos = 0; pos < d0 * d1 * d2; ++pos) {
        const size_t p = pos % d0, c = pos / d0 % d1, v = pos / (d0 * d1);
        const auto expected = F::make(long(p * 100 + c * 10 + v));
        ASSERT_TRUE(F::eq(F::raw(a, pos), expected)) << "position " << pos;
        typename F::Value got = F::make(-1);
        ASSERT_EQ(F::get(a, got, p, c, v, kBasic), 0);
        ASSERT_TRUE(F::eq(got, expected))
            << "p " << p << " c " << c << " v " << v << ": " << F::str(got);
    }
    EXPECT_EQ(F::destroy(a), nullptr);
}

TYPED_TEST(ArrayAccess, WritesExtendVectorsAndSize)
{
    using F = Fam<TypeParam>;
    // 3-D: a write at vector 4 raises dim[2] from 2 to 5 and data_size to 2 * 3 * 5.
    TypeParam* a = make_array<TypeParam>({ 2, 3, 2 }, 30, 12);
    EXPECT_EQ(F::set(a, F::make(9), 1, 2, 4, kBasic), 0);
    EXPECT_EQ(a->dim[2], 5u);
    EXPECT_EQ(a->data_size, 30u);
    typename F::Value got;
    EXPECT_EQ(F::get(a, got, 1, 2, 4, kBasic), 0);
    EXPECT_TRUE(F::eq(got, F::make(9)));
    // A write inside the extent changes nothing in it.
    EXPECT_EQ(F::set(a, F::make(8), 0, 0, 1, kBasic), 0);
    EXPECT_EQ(a->dim[2], 5u);
    EXPECT_EQ(a->data_size, 30u);
    F::destroy(a);

    // The same with a pattern: pattern 3 (2x1 1x2), channel 0, sample 9 is vector 4.
    a = make_array<TypeParam>({ 2, 4, 2 }, 40, 0);
    EXPECT_EQ(F::set(a, F::make(7), 1, 0, 9, 3), 0);
    EXPECT_EQ(a->dim[2], 5u);
    EXPECT_EQ(a->data_size, 40u);
    EXPECT_TRUE(F::eq(F::raw(a, 1 + 2 * 2 + 4 * 8), F::make(7))); // slot 2 of vector 4
    EXPECT_EQ(F::get(a, got, 1, 0, 9, 3), 0);
    EXPECT_TRUE(F::eq(got, F::make(7)));
    F::destroy(a);

    // 2-D: data_size rises to dim[0] * dim[1] and no further, even with more reserved.
    a = make_array<TypeParam>({ 2, 3 }, 12, 0);
    EXPECT_EQ(F::set(a, F::make(1), 1, 1, 0, kBasic), 0);
    EXPECT_EQ(a->data_size, 6u);
    F::destroy(a);

    // data_size never rises beyond the reserved storage, whatever dim[2] claims.
    a = make_array<TypeParam>({ 1, 2, 10 }, 4, 0);
    EXPECT_EQ(F::set(a, F::make(1), 0, 0, 0, kBasic), 0);
    EXPECT_EQ(a->data_size, 4u);
    EXPECT_EQ(a->dim[2], 10u);
    F::destroy(a);
}

// Pattern addressing: the channel's k-th sample of a repetition goes to its k-th slot, e.g.
// pattern 3 channel 0 (row 2, 0, 2): samples 0..3 go to slots 0, 2, 0, 2 of vectors 0, 0, 1, 1.
TYPED_TEST(ArrayAccess, PatternAddressingUsesTheSlotMap)
{
    using F = Fam<TypeParam>;
    TypeParam* a = make_array<TypeParam>({ 1, 4, 2 }, 8, 8);
    for (size_t i = 0; i < 4; ++i)
        ASSERT_EQ(F::set(a, F::make(long(i)), 0, 0, i, 3), 0);
    const size_t positions[] = { 0, 2, 4, 6 };
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(F::eq(F::raw(a, positions[i]), F::make(long(i)))) << i;
    // A 2-D array holds only the first repetition.
    a->dim_size = 2;
    typename F::Value got;
    EXPECT_EQ(F::get(a, got, 0, 0, 1, 3), 0);
    EXPECT_TRUE(F::eq(got, F::make(1)));
    EXPECT_EQ(F::get(a, got, 0, 0, 2, 3), 1);
    EXPECT_EQ(F::set(a, F::make(5), 0, 0, 2, 3), 1);
    F::destroy(a);
}

// Every pattern: writing each channel's samples by pattern fills each slot of every vector
// exactly once, where the naive model of the frame says (seq names the slot's channel, the
// sample number counts that channel's earlier slots).
TEST(ArrayPatterns, EveryPatternFillsEachSlotOnce)
{
    const size_t paths = 2, vectors = 3;
    for (int32_t p = 0; p < 174; ++p) {
        size_t n = 0;
        while (n < 64 && kip_fir_v6_3_pattern_seq[p][n] >= 0)
            ++n;
        kip_array_real* a
            = make_array<kip_array_real>({ paths, n, vectors }, paths * n * vectors, 0);
        for (size_t i = 0; i < a->data_capacity; ++i)
            a->data[i] = -1.0;
        for (size_t c = 0; c < 64; ++c) {
            const int32_t rate = kip_fir_v6_3_pattern_map[p][c][0];
            if (rate < 0)
                continue;
            for (size_t i = 0; i < rate * vectors; ++i)
                for (size_t path = 0; path < paths; ++path)
                    ASSERT_EQ(kip_array_real_set_chan(
                                  a, double(path * 100000 + c * 1000 + i), path, c, i, p),
                        0)
                        << "pattern " << p << " channel " << c << " sample " << i;
        }
        std::vector<size_t> seen(64, 0);
        for (size_t v = 0; v < vectors; ++v) {
            std::fill(seen.begin(), seen.end(), 0);
            for (size_t s = 0; s < n; ++s) {
                const int32_t c = kip_fir_v6_3_pattern_seq[p][s];
                const size_t rate = size_t(kip_fir_v6_3_pattern_map[p][c][0]);
                const size_t sample = v * rate + seen[c]++;
                for (size_t path = 0; path < paths; ++path)
                    ASSERT_EQ(a->data[path + s * paths + v * paths * n],
                        double(path * 100000 + size_t(c) * 1000 + sample))
                        << "pattern " << p << " vector " << v << " slot " << s << " path " << path;
            }
        }
        kip_array_real_destroy(a);
    }
}

// Random round trips through set and get for both addressing forms.
TYPED_TEST(ArrayAccess, RandomRoundTrips)
{
    using F = Fam<TypeParam>;
    const unsigned seed = kip_test::seed();
    SCOPED_TRACE("KIP_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int round = 0; round < 50; ++round) {
        const bool basic = round % 2 == 0;
        const int32_t pattern = basic ? kBasic : int32_t(rng() % 174);
        size_t slots = 0;
        while (!basic && slots < 64 && kip_fir_v6_3_pattern_seq[pattern][slots] >= 0)
            ++slots;
        const size_t d0 = 1 + rng() % 3;
        const size_t d1 = basic ? 1 + rng() % 6 : slots;
        const size_t d2 = 1 + rng() % 3;
        TypeParam* a = make_array<TypeParam>({ d0, d1, d2 }, d0 * d1 * d2, d0 * d1 * d2);
        for (int k = 0; k < 20; ++k) {
            const size_t path = rng() % d0;
            size_t chan = rng() % d1, index = rng() % d2;
            if (!basic) {
                chan = size_t(kip_fir_v6_3_pattern_seq[pattern][chan]);
                index = rng() % (size_t(kip_fir_v6_3_pattern_map[pattern][chan][0]) * d2);
            }
            const auto value = F::make(long(rng() % 100000));
            ASSERT_EQ(F::set(a, value, path, chan, index, pattern), 0);
            typename F::Value got;
            ASSERT_EQ(F::get(a, got, path, chan, index, pattern), 0);
            ASSERT_TRUE(F::eq(got, value)) << "pattern " << pattern << " path " << path << " chan "
                                           << chan << " index " << index;
        }
        F::destroy(a);
    }
}

TEST(ArrayGmp, ValuesAreDeepCopies)
{
    kip_array_mpz* a = make_array<kip_array_mpz>({ 1, 1 }, 1, 1);
    mpz_class v = wide(5);
    ASSERT_EQ(kip_array_mpz_set_chan(a, v.get_mpz_t(), 0, 0, 0, kBasic), 0);
    v = 0; // the element keeps its own copy
    mpz_class out = 17;
    ASSERT_EQ(kip_array_mpz_get_chan(a, out.get_mpz_t(), 0, 0, 0, kBasic), 0);
    EXPECT_EQ(out, wide(5));
    out = 1; // and the caller's copy is independent of it
    EXPECT_EQ(mpz_class(a->data[0]), wide(5));
    kip_array_mpz_destroy(a);

    // Internal overloads used by the model: mpz_class in and out, RAII element holders.
    a = make_array<kip_array_mpz>({ 2, 1 }, 2, 2);
    ASSERT_EQ(kip_fir::array_set_chan(*a, wide(-8), 1, 0, 0, kBasic), 0);
    kip_fir::ArrayElement<kip_array_mpz> element;
    ASSERT_EQ(kip_fir::array_get_chan(*a, element.get(), 1, 0, 0, kBasic), 0);
    EXPECT_EQ(mpz_class(element.get()), wide(-8));
    kip_array_mpz_destroy(a);

    kip_array_mpz_complex* c = make_array<kip_array_mpz_complex>({ 1, 2 }, 2, 2);
    kip_fir::ArrayElement<kip_array_mpz_complex> pair;
    mpz_set(pair.get().re, wide(3).get_mpz_t());
    mpz_set(pair.get().im, wide(4).get_mpz_t());
    ASSERT_EQ(kip_array_mpz_complex_set_chan(c, pair.get(), 0, 1, 0, kBasic), 0);
    mpz_set_si(pair.get().re, 0);
    EXPECT_EQ(mpz_class(c->data[1].re), wide(3));
    EXPECT_EQ(mpz_class(c->data[1].im), wide(4));
    kip_array_mpz_complex_destroy(c);
}

// ---------------------------------------------------------------------------------------------
// Refusals: result 1, output untouched, record and elements unchanged

TYPED_TEST(ArrayAccess, RefusesBadCalls)
{
    using F = Fam<TypeParam>;
    const auto sentinel = F::make(4242);
    const auto value = F::make(77);
    TypeParam* a = make_array<TypeParam>({ 2, 4, 2 }, 16, 8);
    for (size_t i = 0; i < 16; ++i)
        ASSERT_EQ(F::set(a, F::make(long(i)), i % 2, i / 2 % 4, i / 8, kBasic), 0);
    a->data_size = 8; // vector 1 is reserved but not in use
    const size_t big = 100;
    TypeParam* wide_chan = make_array<TypeParam>({ 1, big, 1 }, big, big);

    struct Call {
        std::string what;
        TypeParam* array;
        size_t path, chan, index;
        int32_t pattern;
        bool get, set;
    };
    const std::vector<Call> calls = {
        { "path == dim[0]", a, 2, 0, 0, kBasic, true, true },
        { "chan == dim[1]", a, 0, 4, 0, kBasic, true, true },
        { "huge path", a, SIZE_MAX, 0, 0, kBasic, true, true },
        { "vector beyond capacity", a, 0, 0, 2, kBasic, true, true },
        { "vector beyond data_size", a, 0, 0, 1, kBasic, true, false },
        { "index overflow", a, 0, 0, SIZE_MAX, kBasic, true, true },
        { "pattern -1", a, 0, 0, 0, -1, true, true },
        { "pattern 174", a, 0, 0, 0, 174, true, true },
        { "pattern 176", a, 0, 0, 0, 176, true, true },
        { "pattern INT32_MIN", a, 0, 0, 0, INT32_MIN, true, true },
        { "pattern INT32_MAX", a, 0, 0, 0, INT32_MAX, true, true },
        { "unused channel", a, 0, 1, 0, 0, true, true }, // pattern 0 uses channel 0 only
        { "unused channel 3", a, 0, 3, 0, 2, true, true }, // pattern 2 uses channels 0, 1
        { "pattern vector beyond data_size", a, 0, 0, 2, 3, true, false },
        { "pattern vector beyond capacity", a, 0, 0, 4, 3, true, true },
        { "pattern index overflow", a, 0, 0, SIZE_MAX, 4, true, true },
        { "chan 64 with pattern", wide_chan, 0, 64, 0, 173, true, true },
        { "chan 99 with pattern", wide_chan, 0, 99, 0, 173, true, true },
    };
    for (const Call& call : calls) {
        const Snapshot<TypeParam> before(call.array);
        if (call.get) {
            auto out = sentinel;
            EXPECT_EQ(F::get(call.array, out, call.path, call.chan, call.index, call.pattern), 1)
                << "get: " << call.what;
            EXPECT_TRUE(F::eq(out, sentinel)) << "get wrote: " << call.what;
        }
        if (call.set) {
            EXPECT_EQ(F::set(call.array, value, call.path, call.chan, call.index, call.pattern), 1)
                << "set: " << call.what;
        }
        before.expect_same(call.array, call.what);
    }

    // Slot outside dimension 1: pattern 2 gives channel 0 slots 0, 1, 2; with dim[1] = 2 the
    // third slot would fall outside the vector.
    TypeParam* narrow = make_array<TypeParam>({ 1, 2, 3 }, 6, 6);
    {
        const Snapshot<TypeParam> before(narrow);
        auto out = sentinel;
        EXPECT_EQ(F::get(narrow, out, 0, 0, 1, 2), 0);
        EXPECT_EQ(F::get(narrow, out, 0, 0, 2, 2), 1);
        EXPECT_EQ(F::set(narrow, value, 0, 0, 2, 2), 1);
        before.expect_same(narrow, "slot outside dimension 1");
    }

    // Bad dimensions and inconsistent records.
    for (size_t dims : { size_t(0), size_t(1), size_t(4) }) {
        a->dim_size = dims;
        auto out = sentinel;
        EXPECT_EQ(F::get(a, out, 0, 0, 0, kBasic), 1) << "dim_size " << dims;
        EXPECT_EQ(F::set(a, value, 0, 0, 0, kBasic), 1) << "dim_size " << dims;
        EXPECT_TRUE(F::eq(out, sentinel));
    }
    a->dim_size = 2;
    {
        auto out = sentinel;
        EXPECT_EQ(F::get(a, out, 0, 0, 1, kBasic), 1) << "2-D, index 1";
        EXPECT_EQ(F::set(a, value, 0, 0, 1, kBasic), 1) << "2-D, index 1";
        const size_t cap = a->dim_capacity;
        a->dim_capacity = 1; // claims two dimensions in one slot
        EXPECT_EQ(F::get(a, out, 0, 0, 0, kBasic), 1) << "dim_capacity below dim_size";
        EXPECT_EQ(F::set(a, value, 0, 0, 0, kBasic), 1) << "dim_capacity below dim_size";
        a->dim_capacity = cap;
        a->dim[0] = SIZE_MAX / 2; // dimension product overflows
        a->dim[1] = 4;
        EXPECT_EQ(F::get(a, out, 0, 0, 0, kBasic), 1) << "dimension overflow";
        EXPECT_EQ(F::set(a, value, 0, 0, 0, kBasic), 1) << "dimension overflow";
        a->dim[0] = 2;
        a->data_size = 1000; // claims more than is allocated: reads stay in the storage
        EXPECT_EQ(F::get(a, out, 0, 0, 0, kBasic), 0);
        a->dim_size = 3;
        EXPECT_EQ(F::get(a, out, 0, 0, 2, kBasic), 1) << "data_size above capacity";
        a->data_size = 8;
        EXPECT_TRUE(F::eq(out, F::make(0)));
    }
    EXPECT_EQ(F::get_null(a), 1);

    TypeParam* empty = F::create();
    {
        auto out = sentinel;
        EXPECT_EQ(F::get(nullptr, out, 0, 0, 0, kBasic), 1);
        EXPECT_EQ(F::set(nullptr, value, 0, 0, 0, kBasic), 1);
        EXPECT_EQ(F::get(empty, out, 0, 0, 0, kBasic), 1) << "no storage";
        EXPECT_EQ(F::set(empty, value, 0, 0, 0, kBasic), 1) << "no storage";
        ASSERT_EQ(F::reserve_dim(empty, 2), 0);
        empty->dim_size = 2;
        empty->dim[0] = empty->dim[1] = 1;
        EXPECT_EQ(F::set(empty, value, 0, 0, 0, kBasic), 1) << "no data reserved";
        EXPECT_EQ(empty->data_size, 0u);
        EXPECT_TRUE(F::eq(out, sentinel));
    }

    F::destroy(empty);
    F::destroy(narrow);
    F::destroy(wide_chan);
    F::destroy(a);
}

TEST(ArrayHelpers, DirectAccessBounds)
{
    kip_array_real* a = kip_array_real_create();
    EXPECT_EQ(kip_fir::array_readable(*a), 0u);
    EXPECT_EQ(kip_fir::array_writable(*a), 0u);
    EXPECT_TRUE(kip_fir::array_dims_valid(*a));
    a->dim_size = 1;
    EXPECT_FALSE(kip_fir::array_dims_valid(*a));
    ASSERT_EQ(kip_fir::array_reserve_dim(*a, 1), 0);
    EXPECT_TRUE(kip_fir::array_dims_valid(*a));
    ASSERT_EQ(kip_fir::array_reserve_data(*a, 4), 0);
    a->data_size = 9;
    EXPECT_EQ(kip_fir::array_readable(*a), 4u);
    a->data_size = 3;
    EXPECT_EQ(kip_fir::array_readable(*a), 3u);
    EXPECT_EQ(kip_fir::array_writable(*a), 4u);
    EXPECT_EQ(kip_fir::array_position(3, 5, 2, 4, 1), 2u + 4 * 3 + 15);
    a->owner = 7;
    EXPECT_EQ(kip_fir::array_reserve_data(*a, 8), 1);
    a->owner = 0;
    kip_array_real_destroy(a);
}

} // namespace
