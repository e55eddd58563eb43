// Polyphase filter kernel: construction, phase/advance arithmetic, history, the
// change-configuration handler, block-split invariance and agreement with a direct
// zero-stuffed convolution.
#include "fir_filter.h"
#include "kip_test_seed.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using DFilter = FirFilter<double, double>;
using ZFilter = FirFilter<mpz_class, double>;
using DVec = std::vector<double>;
using ZVec = std::vector<mpz_class>;

template <typename F> std::string thrownText(F&& f)
{
    try {
        f();
    } catch (const FirFilterException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

uint64_t bits(double v)
{
    uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

bool same(double a, double b) { return bits(a) == bits(b); }
bool same(const mpz_class& a, const mpz_class& b) { return a == b; }

template <typename T> std::string listText(const std::vector<T>& v, std::size_t limit = 64)
{
    std::ostringstream os;
    os.precision(17);
    for (std::size_t i = 0; i < v.size() && i < limit; ++i)
        os << (i ? ", " : "") << v[i];
    if (v.size() > limit)
        os << ", ... (" << v.size() << " values)";
    return os.str();
}

// Exact comparison (bit patterns for doubles); reports the first differing index.
template <typename T>
::testing::AssertionResult sameOutputs(
    const std::vector<T>& got, const std::vector<T>& want, const std::string& context)
{
    const std::size_t n = std::min(got.size(), want.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!same(got[i], want[i])) {
            std::ostringstream os;
            os.precision(17);
            os << context << "\nfirst difference at output " << i << ": got " << got[i] << ", want "
               << want[i];
            return ::testing::AssertionFailure() << os.str();
        }
    }
    if (got.size() != want.size())
        return ::testing::AssertionFailure()
            << context << "\noutput count " << got.size() << ", want " << want.size();
    return ::testing::AssertionSuccess();
}

// ---- Reference: closed-form direct convolution over the zero-stuffed input ------------------
// u is the L-fold zero-stuffed input (u[L*n] = x[n], the L-1 stuffed zeros between).  Output m
// is sum_j c[j] * u[t - j] with t = m*M + d.  The stuffed zeros are structural and never
// multiplied; samples before the start are zeros and are multiplied.  Taps run j ascending
// (newest sample first), each product and sum rounded on its own.
DVec refDouble(const DVec& c, int L, int M, const DVec& x)
{
    std::vector<double> u(x.size() * static_cast<std::size_t>(L), 0.0);
    std::vector<bool> stuffed(u.size(), true);
    for (std::size_t n = 0; n < x.size(); ++n) {
        u[n * L] = x[n];
        stuffed[n * L] = false;
    }
    const int64_t d = L > M ? 0 : M - 1;
    DVec y;
    for (int64_t m = 0;; ++m) {
        const int64_t t = m * M + d;
        if (t / L >= static_cast<int64_t>(x.size()))
            break;
        double acc = 0.0;
        for (int64_t j = 0; j < static_cast<int64_t>(c.size()); ++j) {
            const int64_t i = t - j;
            if (i >= 0 && stuffed[i])
                continue;
            if (i < 0 && i % L != 0)
                continue;
            const double ui = i >= 0 ? u[i] : 0.0;
            const double prod = c[j] * ui;
            acc = prod + acc;
        }
        y.push_back(acc);
    }
    return y;
}

// Exact integer reference: coefficients truncated toward zero.  Works with index arithmetic
// only, so it copes with very large L.
ZVec refInteger(const DVec& c, int64_t L, int64_t M, const ZVec& x, std::size_t maxOut = SIZE_MAX)
{
    const int64_t d = L > M ? 0 : M - 1;
    ZVec y;
    for (int64_t m = 0; y.size() < maxOut; ++m) {
        const int64_t t = m * M + d;
        if (t / L >= static_cast<int64_t>(x.size()))
            break;
        mpz_class acc = 0;
        for (int64_t j = 0; j < static_cast<int64_t>(c.size()); ++j) {
            const int64_t i = t - j;
            if (i % L != 0 || i < 0)
                continue;
            acc += mpz_class(c[j]) * x[i / L];
        }
        y.push_back(acc);
    }
    return y;
}

template <typename Filter, typename T>
std::vector<T> runBlocks(Filter& f, const std::vector<T>& x, const std::vector<std::size_t>& sizes)
{
    std::vector<T> out;
    std::size_t at = 0;
    for (std::size_t s : sizes) {
        f.run(std::vector<T>(x.begin() + at, x.begin() + at + s), out);
        at += s;
    }
    f.run(std::vector<T>(x.begin() + at, x.end()), out);
    return out;
}

// Random block sizes covering x, with empty blocks, single samples and long runs.
std::vector<std::size_t> randomSplit(std::mt19937_64& rng, std::size_t total)
{
    std::vector<std::size_t> sizes;
    std::size_t left = total;
    while (left > 0) {
        std::size_t s;
        switch (rng() % 4) {
        case 0:
            s = 0;
            break;
        case 1:
            s = 1;
            break;
        case 2:
            s = 1 + rng() % 7;
            break;
        default:
            s = 1 + rng() % 90;
            break;
        }
        s = std::min(s, left);
        sizes.push_back(s);
        left -= s;
    }
    return sizes;
}

std::string describe(uint64_t seed, int L, int M, const DVec& c, const std::string& inputs)
{
    std::ostringstream os;
    os << "KIP_TEST_SEED=" << seed << " L=" << L << " M=" << M << " N=" << c.size()
       << "\ncoeffs: " << listText(c) << "\ninput: " << inputs;
    return os.str();
}

struct Rates {
    int L, M, N;
};

std::vector<Rates> rateGrid()
{
    std::vector<Rates> grid;
    const int lm[] = { 1, 2, 3, 4, 5, 7, 8 };
    const int ns[] = { 1, 2, 3, 5, 7, 8, 16, 21, 33 };
    for (int L : lm)
        for (int M : lm)
            for (int N : ns)
                grid.push_back({ L, M, N });
    grid.push_back({ 16, 3, 64 });
    grid.push_back({ 3, 16, 64 });
    grid.push_back({ 12, 1, 5 });
    grid.push_back({ 1, 13, 3 });
    grid.push_back({ 9, 9, 40 });
    return grid;
}

// ---- Construction and argument checks ------------------------------------------------------

TEST(FirFilterConstruct, RefusesBadRatesBeforeCoefficients)
{
    EXPECT_EQ(thrownText([] { DFilter({ 1.0 }, 0, 1); }), "Invalid Filter rate");
    EXPECT_EQ(thrownText([] { DFilter({ 1.0 }, 1, 0); }), "Invalid Filter rate");
    EXPECT_EQ(thrownText([] { ZFilter({ 1.0 }, -3, 2); }), "Invalid Filter rate");
    EXPECT_EQ(thrownText([] { DFilter({}, 0, 0); }), "Invalid Filter rate");
    EXPECT_EQ(thrownText([] { DFilter({}, 1, 1); }), "Invalid Filter coefficients");
    EXPECT_EQ(thrownText([] { ZFilter({}, 2, 3); }), "Invalid Filter coefficients");
}

TEST(FirFilterConstruct, FailedSettersChangeNothing)
{
    DFilter f({ 1, 2, 3 }, 2, 1);
    DVec out;
    f.run(DVec { 5.0 }, out);
    const DVec hist = f.getHistory();
    const int phase = f.getPhase();

    EXPECT_EQ(thrownText([&] { f.setRate(0, 1); }), "Invalid Filter rate");
    EXPECT_EQ(thrownText([&] { f.setRate(3, -1); }), "Invalid Filter rate");
    EXPECT_EQ(f.getRateNumerator(), 2);
    EXPECT_EQ(f.getRateDenominator(), 1);
    EXPECT_EQ(f.getPhase(), phase);
    EXPECT_EQ(f.getHistory(), hist);

    const double vals[] = { 9.0 };
    EXPECT_EQ(thrownText([&] { f.setCoefficients(DVec {}); }), "Invalid Filter coefficients");
    EXPECT_EQ(thrownText([&] { f.setCoefficients(vals, 0); }), "Invalid Filter coefficients");
    EXPECT_EQ(thrownText([&] { f.setCoefficients(vals, -5); }), "Invalid Filter coefficients");
    EXPECT_EQ(thrownText([&] { f.setCoefficients(nullptr, 1); }), "Invalid Filter coefficients");
    EXPECT_EQ(f.getCoefficients(), (DVec { 1, 2, 3 }));

    // The integer variant has no value for non-finite coefficients; the double one keeps them.
    ZFilter z({ 1, 2 }, 1, 1);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(thrownText([&] {
        z.setCoefficients(DVec { 1.0, nan });
    }),
        "Invalid Filter coefficients");
    EXPECT_EQ(thrownText([&] { z.setCoefficients(&inf, 1); }), "Invalid Filter coefficients");
    EXPECT_EQ(thrownText([&] { ZFilter({ -inf }, 1, 1); }), "Invalid Filter coefficients");
    EXPECT_EQ(z.getCoefficients(), (DVec { 1, 2 }));
    EXPECT_NO_THROW(f.setCoefficients(DVec { inf, nan }));
}

TEST(FirFilterConstruct, PointerFormCopiesAndAcceptsOwnStorage)
{
    DFilter f({ 1, 2, 3, 4 }, 1, 1);
    const double vals[] = { 7, 8, 9 };
    f.setCoefficients(vals, 2);
    EXPECT_EQ(f.getCoefficients(), (DVec { 7, 8 }));
    f.setCoefficients(DVec { 1, 2, 3, 4 });
    f.setCoefficients(f.getCoefficients().data() + 1, 3);
    EXPECT_EQ(f.getCoefficients(), (DVec { 2, 3, 4 }));
}

TEST(FirFilterConstruct, SetRateResets)
{
    DFilter f({ 1, 2, 3, 4, 5, 6 }, 1, 4);
    DVec out;
    f.set_change_config_handler([](void*) { return 0; }, nullptr);
    f.run(DVec { 1, 2 }, out); // handler clears the pending flag; no output yet
    ASSERT_FALSE(f.isSyncPending());
    f.setRate(3, 2);
    EXPECT_EQ(f.getRateNumerator(), 3);
    EXPECT_EQ(f.getRateDenominator(), 2);
    EXPECT_EQ(f.getStepWhole(), 0);
    EXPECT_EQ(f.getStepFrac(), 2);
    EXPECT_EQ(f.getPhaseLength(), 2);
    EXPECT_EQ(f.getPhase(), 1); // L > M: L - M
    EXPECT_EQ(f.getHistory(), DVec(2, 0.0));
    EXPECT_TRUE(f.isSyncPending());
    f.setRate(2, 5);
    EXPECT_EQ(f.getStepWhole(), 2);
    EXPECT_EQ(f.getStepFrac(), 1);
    EXPECT_EQ(f.getPhaseLength(), 3);
    EXPECT_EQ(f.getPhase(), 1); // L <= M: L - 1
    EXPECT_NE(f.getChangeConfigHandler(), nullptr);
}

// ---- Worked examples -----------------------------------------------------------------------

TEST(FirFilterRun, InterpolateByTwoBlock)
{
    DFilter f({ 1, 2, 3, 4 }, 2, 1);
    DVec out;
    f.run(DVec { 1, 10 }, out);
    EXPECT_EQ(out, (DVec { 1, 2, 13, 24 }));
    EXPECT_EQ(f.getHistory(), (DVec { 1, 10 }));
    EXPECT_EQ(f.getPhase(), 1);

    ZFilter z({ 1, 2, 3, 4 }, 2, 1);
    ZVec zout;
    z.run(ZVec { 1, 10 }, zout);
    EXPECT_EQ(zout, (ZVec { 1, 2, 13, 24 }));
    EXPECT_EQ(z.getHistory(), (ZVec { 1, 10 }));
}

TEST(FirFilterRun, DecimateByTwoBlock)
{
    DFilter f({ 1, 2, 3 }, 1, 2);
    DVec out { -1.0 }; // run appends, never clears
    f.run(DVec { 1, 2, 3, 4 }, out);
    EXPECT_EQ(out, (DVec { -1, 4, 16 }));
    EXPECT_EQ(f.getHistory(), (DVec { 2, 3, 4 }));
}

TEST(FirFilterRun, DecimateByThreeOneSampleAtATime)
{
    DFilter f({ 1, 1 }, 1, 3);
    std::vector<std::size_t> counts;
    DVec out;
    for (int n = 0; n < 9; ++n) {
        f.run(DVec { double(n + 1) }, out);
        counts.push_back(out.size());
    }
    EXPECT_EQ(counts, (std::vector<std::size_t> { 0, 0, 1, 1, 1, 2, 2, 2, 3 }));
    EXPECT_EQ(out, (DVec { 3 + 2, 6 + 5, 9 + 8 }));
}

TEST(FirFilterRun, InterpolateByFourOneSample)
{
    DFilter f({ 1, 2, 3, 4, 5, 6, 7, 8 }, 4, 1);
    DVec out;
    f.run(DVec { 10 }, out);
    EXPECT_EQ(out, (DVec { 10, 20, 30, 40 })); // branches 0..3, newest sample 10
    EXPECT_EQ(f.getPhase(), 3);
    f.run(DVec { 1 }, out);
    EXPECT_EQ(out, (DVec { 10, 20, 30, 40, 1 + 50, 2 + 60, 3 + 70, 4 + 80 }));
}

TEST(FirFilterRun, BranchTapCountsWithUnevenLength)
{
    // N = 7, L = 2: branch 0 holds c0 c2 c4 c6, branch 1 holds c1 c3 c5.
    DFilter f({ 1, 10, 100, 1000, 10000, 100000, 1000000 }, 2, 1);
    DVec out;
    f.run(DVec { 1, 0, 0, 0, 0 }, out);
    EXPECT_EQ(out, (DVec { 1, 10, 100, 1000, 10000, 100000, 1000000, 0, 0, 0 }));
    EXPECT_EQ(f.getPhaseLength(), 3);
}

TEST(FirFilterRun, EmptyBlockChangesNothing)
{
    int calls = 0;
    DFilter f({ 1, 2, 3 }, 3, 2);
    f.set_change_config_handler(
        [](void* p) {
            ++*static_cast<int*>(p);
            return 0;
        },
        &calls);
    DVec out { 42 };
    f.run(DVec {}, out);
    FirFifo<double> fifo;
    f.run(nullptr, 0, fifo);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(f.isSyncPending());
    EXPECT_EQ(out, DVec { 42 });
    EXPECT_TRUE(fifo.empty());
    EXPECT_EQ(f.getPhase(), 1);
    EXPECT_EQ(f.getHistory(), DVec(1, 0.0));

    DFilter g({ 1, 1 }, 1, 3); // without a handler the flag stays set
    g.run(DVec { 1 }, out);
    EXPECT_TRUE(g.isSyncPending());
}

TEST(FirFilterRun, IntegerVariantTruncatesCoefficients)
{
    ZFilter z({ 2.7, -2.7, 0.99, -1e20 }, 1, 1);
    ZVec out;
    z.run(ZVec { 1 }, out);
    z.run(ZVec { 0 }, out);
    z.run(ZVec { 0 }, out);
    z.run(ZVec { 0 }, out);
    EXPECT_EQ(out, (ZVec { 2, -2, 0, mpz_class("-100000000000000000000") }));
}

TEST(FirFilterRun, SameVectorAsInputAndOutput)
{
    DFilter f({ 1, 2 }, 2, 1);
    DVec v { 3, 4 };
    f.run(v, v);
    EXPECT_EQ(v, (DVec { 3, 4, 3, 6, 4, 8 }));

    // A one-sample input that lives in the sink itself.
    DFilter g({ 1, 1 }, 1, 1);
    FirFifo<double> fifo;
    fifo.push_back(5);
    g.run(fifo.front(), fifo);
    ASSERT_EQ(fifo.size(), 2u);
    EXPECT_EQ(fifo[1], 5.0);
}

TEST(FirFilterGain, BranchSums)
{
    EXPECT_EQ(DFilter({ 1, -2, 3.5 }, 1, 4).calcGain(), 6.5);
    EXPECT_EQ(DFilter({ 1, -3, 2 }, 2, 1).calcGain(), 3.0);
    EXPECT_EQ(ZFilter({ 1, -3, 2 }, 2, 5).calcGain(), 3.0);
    EXPECT_EQ(DFilter({ -0.5, 0.25 }, 8, 1).calcGain(), 0.5); // more branches than taps
    EXPECT_EQ(DFilter({ 0.0, -0.0 }, 1, 1).calcGain(), 0.0);
    // Summed in branch order, not sorted: (0.1 + 0.2) + 0.3 differs from 0.1 + (0.2 + 0.3).
    EXPECT_EQ(DFilter({ 0.1, 0.2, 0.3 }, 1, 1).calcGain(), (0.1 + 0.2) + 0.3);
}

// ---- Coefficient changes without reset -------------------------------------------------------

TEST(FirFilterCoefficients, ChangeKeepsHistoryAndPhaseLength)
{
    DFilter f({ 1, 2, 3, 4 }, 2, 1);
    DVec out;
    f.run(DVec { 1, 10 }, out);
    f.setCoefficients(DVec { 1, 1 });
    EXPECT_EQ(f.getPhaseLength(), 2);
    EXPECT_EQ(f.getHistory(), (DVec { 1, 10 }));
    out.clear();
    f.run(DVec { 100 }, out);
    EXPECT_EQ(out, (DVec { 100, 100 }));
    f.reset();
    EXPECT_EQ(f.getPhaseLength(), 1);
    EXPECT_EQ(f.getHistory(), DVec(1, 0.0));
    EXPECT_EQ(f.getPhase(), 1);
}

// Longer coefficients without reset: the taps reach behind the retained history.  The dropped
// samples count as zeros, nothing outside the history is read, and block splits still agree.
TEST(FirFilterCoefficients, LongerSetWithoutResetStaysInsideHistory)
{
    const DVec shortSet { 1, 2 };
    const DVec longSet { 1, 10, 100, 1000, 10000, 100000, 1000000 };
    const DVec x { 1, 2, 3, 4, 5, 6, 7, 8, 9 };
    for (int L : { 1, 2, 3 }) {
        SCOPED_TRACE(::testing::Message() << "L=" << L);
        DVec whole, single;
        DFilter a(shortSet, L, 1), b(shortSet, L, 1);
        a.run(DVec { 7, 7, 7 }, whole);
        for (int i = 0; i < 3; ++i)
            b.run(DVec { 7 }, single);
        a.setCoefficients(longSet);
        b.setCoefficients(longSet);
        EXPECT_EQ(a.getPhaseLength(), 2 / L);
        whole.clear();
        single.clear();
        a.run(x, whole);
        for (double v : x)
            b.run(DVec { v }, single);
        EXPECT_TRUE(sameOutputs(single, whole, "one-sample blocks vs one block"));

        // Same as a fresh filter with longSet that saw the retained samples after zeros.
        const int kept = 2 / L; // samples at and behind the newest used
        DVec prefix(static_cast<std::size_t>(kept), 7.0);
        DVec fresh = prefix;
        fresh.insert(fresh.end(), x.begin(), x.end());
        DVec want = refDouble(longSet, L, 1, fresh);
        want.erase(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(kept * L));
        EXPECT_TRUE(sameOutputs(whole, want, "against the zero-prefixed reference"));
    }
}

// ---- Change-configuration handler -----------------------------------------------------------

struct HandlerProbe {
    DFilter* filter = nullptr;
    int calls = 0;
    bool sawPending = false;
    int action = 0; // 0 none, 1 reset, 2 new coefficients, 3 new rate, 4 throw
    static int call(void* p)
    {
        auto* self = static_cast<HandlerProbe*>(p);
        ++self->calls;
        self->sawPending = self->filter->isSyncPending();
        switch (self->action) {
        case 1:
            self->filter->reset();
            break;
        case 2:
            self->filter->setCoefficients(DVec { 100, 0 });
            break;
        case 3:
            self->filter->setRate(2, 1);
            break;
        case 4:
            throw FirFilterException("from handler");
        default:
            break;
        }
        return 7;
    }
};

TEST(FirFilterHandler, CalledAtFirstInputAndAfterEachOutput)
{
    DFilter f({ 1, 1 }, 1, 3);
    HandlerProbe probe;
    probe.filter = &f;
    f.set_change_config_handler(&HandlerProbe::call, &probe);
    DVec out;
    std::vector<int> calls;
    for (int n = 0; n < 9; ++n) {
        f.run(DVec { 1 }, out);
        calls.push_back(probe.calls);
    }
    // Outputs on samples 2, 5, 8: the handler runs on samples 0, 3 and 6.
    EXPECT_EQ(calls, (std::vector<int> { 1, 1, 1, 2, 2, 2, 3, 3, 3 }));
    EXPECT_TRUE(probe.sawPending);
    EXPECT_TRUE(f.isSyncPending());
    f.reset();
    f.run(DVec { 1 }, out);
    EXPECT_EQ(probe.calls, 4);
}

TEST(FirFilterHandler, FlagClearedAfterHandlerThatResets)
{
    DFilter f({ 1, 1 }, 1, 3);
    HandlerProbe probe;
    probe.filter = &f;
    probe.action = 1;
    f.set_change_config_handler(&HandlerProbe::call, &probe);
    DVec out;
    f.run(DVec { 1 }, out); // handler resets (flag set), then the flag is cleared
    EXPECT_EQ(probe.calls, 1);
    EXPECT_FALSE(f.isSyncPending());
    f.run(DVec { 1 }, out);
    EXPECT_EQ(probe.calls, 1);
    f.run(DVec { 1 }, out); // first output
    EXPECT_EQ(out.size(), 1u);
    EXPECT_TRUE(f.isSyncPending());
}

TEST(FirFilterHandler, ChangesMadeByHandlerApplyToTheSameCall)
{
    DFilter f({ 1, 2 }, 1, 1);
    HandlerProbe probe;
    probe.filter = &f;
    f.set_change_config_handler(&HandlerProbe::call, &probe);
    DVec out;
    f.run(DVec { 1 }, out);
    probe.action = 2;
    f.run(DVec { 3 }, out);
    EXPECT_EQ(out, (DVec { 1, 300 }));

    probe.action = 3; // interpolate by two from this input on, history reset
    f.run(DVec { 5, 6 }, out);
    EXPECT_EQ(out, (DVec { 1, 300, 500, 0, 600, 0 }));
    EXPECT_EQ(f.getRateNumerator(), 2);
}

TEST(FirFilterHandler, ThrowingHandlerConsumesNothing)
{
    DFilter f({ 1, 2 }, 1, 1);
    HandlerProbe probe;
    probe.filter = &f;
    probe.action = 4;
    f.set_change_config_handler(&HandlerProbe::call, &probe);
    DVec out;
    EXPECT_EQ(thrownText([&] { f.run(DVec { 1, 2 }, out); }), "from handler");
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(f.isSyncPending());
    EXPECT_EQ(f.getHistory(), DVec(2, 0.0));
}

TEST(FirFilterHandler, CopiesCarryHandlerAndState)
{
    DFilter f({ 1, 2, 3 }, 1, 1);
    HandlerProbe probe;
    probe.filter = &f;
    f.set_change_config_handler(&HandlerProbe::call, &probe);
    DVec out;
    f.run(DVec { 4, 5 }, out);
    DFilter g = f;
    EXPECT_EQ(g.getChangeConfigHandler(), &HandlerProbe::call);
    EXPECT_EQ(g.getChangeConfigArg(), &probe);
    DVec a, b;
    f.run(DVec { 6, 7 }, a);
    g.run(DVec { 6, 7 }, b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, (DVec { 6 + 10 + 12, 7 + 12 + 15 }));
}

// ---- Randomised: block splits and reference convolution ------------------------------------

TEST(FirFilterRandom, DoubleMatchesReferenceForAnySplit)
{
    const uint64_t seed = kip_test::seed();
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    for (const Rates& r : rateGrid()) {
        DVec c(r.N);
        for (double& v : c)
            v = val(rng) * std::ldexp(1.0, static_cast<int>(rng() % 9) - 4);
        if (rng() % 3 == 0)
            c[rng() % c.size()] = 0.0; // zero taps are multiplied like any other
        DVec x(40 + rng() % 120);
        for (double& v : x)
            v = val(rng);
        const std::string ctx = describe(seed, r.L, r.M, c, listText(x));
        const DVec want = refDouble(c, r.L, r.M, x);

        DFilter whole(c, r.L, r.M);
        DVec got;
        whole.run(x, got);
        ASSERT_TRUE(sameOutputs(got, want, ctx + "\n(one block)"));

        DFilter split(c, r.L, r.M);
        ASSERT_TRUE(sameOutputs(
            runBlocks(split, x, randomSplit(rng, x.size())), want, ctx + "\n(random split)"));
        EXPECT_EQ(split.getHistory(), whole.getHistory()) << ctx;
        EXPECT_EQ(split.getPhase(), whole.getPhase()) << ctx;

        DFilter single(c, r.L, r.M);
        FirFifo<double> fifo(2);
        DVec fromFifo;
        for (double v : x) {
            single.run(v, fifo);
            while (!fifo.empty()) {
                fromFifo.push_back(fifo.front());
                fifo.pop_front();
            }
        }
        ASSERT_TRUE(sameOutputs(fromFifo, want, ctx + "\n(one sample per call, FIFO sink)"));

        // A copy taken mid-stream continues exactly like the original; deque sink.
        DFilter first(c, r.L, r.M);
        const std::size_t half = x.size() / 2;
        std::deque<double> head, tail1, tail2;
        first.runInto(x.data(), half, head);
        DFilter second = first;
        first.runInto(x.data() + half, x.size() - half, tail1);
        second.runInto(x.data() + half, x.size() - half, tail2);
        DVec joined(head.begin(), head.end());
        joined.insert(joined.end(), tail2.begin(), tail2.end());
        ASSERT_TRUE(sameOutputs(joined, want, ctx + "\n(copied kernel, deque sink)"));
        ASSERT_TRUE(sameOutputs(DVec(tail1.begin(), tail1.end()), DVec(tail2.begin(), tail2.end()),
            ctx + "\n(original vs copy)"));
    }
}

TEST(FirFilterRandom, IntegerMatchesExactReferenceForAnySplit)
{
    const uint64_t seed = kip_test::seed() + 1;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    for (const Rates& r : rateGrid()) {
        DVec c(r.N);
        for (double& v : c)
            v = val(rng) * std::ldexp(1.0, static_cast<int>(rng() % 70)); // up to 2^70, fractions
        ZVec x(30 + rng() % 80);
        for (mpz_class& v : x) {
            v = mpz_class(static_cast<unsigned long>(rng())) << static_cast<unsigned>(rng() % 64);
            if (rng() & 1)
                v = -v;
        }
        const std::string ctx = describe(seed, r.L, r.M, c, listText(x));
        const ZVec want = refInteger(c, r.L, r.M, x);

        ZFilter split(c, r.L, r.M);
        ASSERT_TRUE(sameOutputs(
            runBlocks(split, x, randomSplit(rng, x.size())), want, ctx + "\n(random split)"));

        ZFilter single(c, r.L, r.M);
        FirFifo<mpz_class> fifo;
        ZVec fromFifo;
        for (const mpz_class& v : x) {
            single.run(v, fifo);
            while (!fifo.empty()) {
                fromFifo.push_back(fifo.front());
                fifo.pop_front();
            }
        }
        ASSERT_TRUE(sameOutputs(fromFifo, want, ctx + "\n(one sample per call)"));
        EXPECT_EQ(single.getHistory(), split.getHistory()) << ctx;
    }
}

// Sums of 64-bit taps and samples are formed in 128-bit integers when no partial sum can reach
// 2^127, in GMP otherwise.  Values at both sides of those limits, and streams where rare wide
// samples pass through the history (and its compaction), must give the exact sums.
TEST(FirFilterRandom, IntegerSumsAtTheWidthLimitsStayExact)
{
    const mpz_class big = (mpz_class(1) << 62) - 1; // widest sample of the 128-bit path
    const mpz_class wide = mpz_class(1) << 62; // narrowest sample of the GMP path
    const double c4 = std::ldexp(1.0, 63) - 1024; // widest tap for 4-tap branches
    const double c5 = std::ldexp(1.0, 62) - 512; // widest tap for 5..8-tap branches
    struct Case {
        DVec c;
        int L;
        ZVec x;
    };
    const Case cases[] = {
        { DVec(4, c4), 1, ZVec(9, big) },
        { DVec(4, -c4), 1, ZVec(9, big) },
        { DVec(8, c5), 2, ZVec(9, -big) },
        { DVec(5, c5), 1, ZVec(9, big) },
        { DVec(5, std::ldexp(1.0, 62)), 1, ZVec(9, big) }, // taps one bit too wide
        { DVec(8, c4), 1, ZVec(9, big) }, // sums near 2^128: must not take the 128-bit path
        { DVec(4, c4), 1, ZVec { big, wide, big, big, big, big, -wide, big, big } },
    };
    for (const Case& k : cases) {
        ZFilter f(k.c, k.L, 1);
        ZVec got;
        for (const mpz_class& v : k.x)
            f.run(ZVec { v }, got);
        EXPECT_TRUE(sameOutputs(
            got, refInteger(k.c, k.L, 1, k.x), describe(0, k.L, 1, k.c, listText(k.x))));
    }

    const uint64_t seed = kip_test::seed() + 5;
    std::mt19937_64 rng(seed);
    for (Rates r :
        { Rates { 1, 1, 21 }, Rates { 3, 2, 33 }, Rates { 1, 3, 7 }, Rates { 4, 1, 9 } }) {
        DVec c(r.N);
        for (double& v : c)
            v = static_cast<double>(static_cast<int64_t>(rng() >> 20) - (int64_t(1) << 43));
        ZVec x(2000);
        for (mpz_class& v : x) {
            v = mpz_class(static_cast<unsigned long>(rng() >> 3));
            if (rng() % 50 == 0)
                v <<= 70;
            if (rng() & 1)
                v = -v;
        }
        const ZVec want = refInteger(c, r.L, r.M, x);
        const std::string ctx = describe(seed, r.L, r.M, c, listText(x));
        ZFilter single(c, r.L, r.M), split(c, r.L, r.M);
        ZVec got;
        for (const mpz_class& v : x)
            single.run(ZVec { v }, got);
        ASSERT_TRUE(sameOutputs(got, want, ctx + "\n(one sample per call)"));
        ASSERT_TRUE(sameOutputs(
            runBlocks(split, x, randomSplit(rng, x.size())), want, ctx + "\n(random split)"));
    }
}

TEST(FirFilterRandom, DoubleAndIntegerAgreeOnSmallIntegers)
{
    const uint64_t seed = kip_test::seed() + 2;
    std::mt19937_64 rng(seed);
    for (const Rates& r : rateGrid()) {
        DVec c(r.N);
        for (double& v : c)
            v = static_cast<double>(static_cast<int>(rng() % 2001) - 1000);
        DVec xd(60);
        ZVec xz;
        for (double& v : xd) {
            v = static_cast<double>(static_cast<int>(rng() % 65536) - 32768);
            xz.emplace_back(static_cast<long>(v));
        }
        DFilter fd(c, r.L, r.M);
        ZFilter fz(c, r.L, r.M);
        const auto split = randomSplit(rng, xd.size());
        const DVec yd = runBlocks(fd, xd, split);
        const ZVec yz = runBlocks(fz, xz, split);
        ZVec ydz;
        for (double v : yd)
            ydz.emplace_back(v);
        ASSERT_TRUE(sameOutputs(ydz, yz, describe(seed, r.L, r.M, c, listText(xd))));
    }
}

TEST(FirFilterRandom, LargeBlocksAreChunkedTransparently)
{
    const uint64_t seed = kip_test::seed() + 3;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    const DVec c { 0.25, -0.5, 0.75, 0.125, 1.5 };
    DVec x(3 * DFilter::kMaxChunk + 17);
    for (double& v : x)
        v = val(rng);
    for (Rates r : { Rates { 1, 1, 5 }, Rates { 3, 2, 5 }, Rates { 1, 5000, 5 } }) {
        DFilter f(c, r.L, r.M);
        DVec got;
        f.run(x, got);
        ASSERT_TRUE(
            sameOutputs(got, refDouble(c, r.L, r.M, x), describe(seed, r.L, r.M, c, listText(x))));
    }
}

TEST(FirFilterRandom, ExtremeRatesDoNotOverflow)
{
    const DVec c { 3, -2, 5, 7, 1 };
    ZVec x;
    for (int i = 1; i <= 6; ++i)
        x.emplace_back(i * 11);
    const std::pair<int, int> rates[] = { { INT_MAX, INT_MAX - 1 }, { INT_MAX, INT_MAX },
        { INT_MAX - 1, INT_MAX }, { 1, INT_MAX }, { 3, INT_MAX } };
    for (auto [L, M] : rates) {
        ZFilter z(c, L, M);
        ZVec got;
        for (const mpz_class& v : x)
            z.run(ZVec { v }, got);
        EXPECT_TRUE(sameOutputs(got, refInteger(c, L, M, x), describe(0, L, M, c, listText(x))));
        EXPECT_GE(z.getPhase(), 0);
        EXPECT_LT(z.getPhase(), L);
    }
}

// ---- Output FIFO -------------------------------------------------------------------------------

TEST(FirFifo, MatchesDequeThroughWrapAndGrowth)
{
    const uint64_t seed = kip_test::seed() + 4;
    std::mt19937_64 rng(seed);
    FirFifo<mpz_class> fifo;
    std::deque<mpz_class> model;
    long next = 0;
    for (int step = 0; step < 20000; ++step) {
        const bool push = (step / 500) % 2 == 0 ? rng() % 3 != 0 : rng() % 3 == 0;
        if (push) {
            mpz_class v = mpz_class(next++) << static_cast<unsigned>(rng() % 200);
            fifo.push_back(v);
            model.push_back(v);
        } else {
            fifo.pop_front(); // harmless when empty
            if (!model.empty())
                model.pop_front();
        }
        ASSERT_EQ(fifo.size(), model.size()) << "KIP_TEST_SEED=" << seed << " step " << step;
        if (!model.empty()) {
            ASSERT_EQ(fifo.front(), model.front()) << "KIP_TEST_SEED=" << seed;
            const std::size_t i = rng() % model.size();
            ASSERT_EQ(fifo[i], model[i]) << "KIP_TEST_SEED=" << seed << " index " << i;
        }
    }
    const std::size_t cap = fifo.capacity();
    EXPECT_EQ(cap & (cap - 1), 0u);
    fifo.clear();
    EXPECT_TRUE(fifo.empty());
    EXPECT_EQ(fifo.capacity(), cap);
}

} // namespace
