// The kernel's per-call path allocates nothing once it has reached its working size: counts
// every operator new and every GMP allocation while samples stream through.
#include "fir_filter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>
#include <vector>

namespace {
// Test-only counters of this executable's allocations.
long g_news = 0;
long g_gmp = 0;

void* gmpAlloc(size_t n)
{
    ++g_gmp;
    return std::malloc(n);
}
void* gmpRealloc(void* p, size_t, size_t n)
{
    ++g_gmp;
    return std::realloc(p, n);
}
void gmpFree(void* p, size_t) { std::free(p); }

long allocations() { return g_news + g_gmp; }
} // namespace

void* operator new(std::size_t n)
{
    ++g_news;
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

class FirFilterAlloc : public ::testing::Test {
protected:
    void SetUp() override { mp_set_memory_functions(gmpAlloc, gmpRealloc, gmpFree); }
    void TearDown() override { mp_set_memory_functions(nullptr, nullptr, nullptr); }
};

struct Rates {
    int L, M;
};
const Rates kRates[] = { { 1, 1 }, { 1, 4 }, { 4, 1 }, { 3, 2 }, { 2, 7 } };

std::vector<double> taps(int n)
{
    std::vector<double> c;
    for (int i = 0; i < n; ++i)
        c.push_back((i % 2 ? -1.0 : 1.0) * (1000.5 + 37 * i));
    return c;
}

// Streams `in` through f in blocks of `block`, draining the FIFO after each call as the output
// path does; returns the allocations made after the first `warm` samples.  The warm-up spans
// at least as many blocks as the decimation rate, so every leftover-sample count a block can
// leave behind has occurred (GMP slots get their limbs when first written).
template <typename T>
long streamAllocations(
    FirFilter<T, double>& f, const std::vector<T>& in, std::size_t block, std::size_t warm)
{
    FirFifo<T> fifo;
    long before = 0;
    for (std::size_t at = 0; at + block <= in.size(); at += block) {
        if (at == warm)
            before = allocations();
        if (block == 1)
            f.run(in[at], fifo);
        else
            f.run(in.data() + at, block, fifo);
        while (!fifo.empty())
            fifo.pop_front();
    }
    return allocations() - before;
}

TEST_F(FirFilterAlloc, DoubleSteadyStateAllocatesNothing)
{
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    std::vector<double> in(16 * 1024);
    for (double& v : in)
        v = val(rng);
    for (int n : { 21, 64, 255 }) {
        for (Rates r : kRates) {
            for (std::size_t block : { std::size_t(1), std::size_t(1024) }) {
                FirFilter<double, double> f(taps(n), r.L, r.M);
                EXPECT_EQ(streamAllocations(f, in, block, 8192), 0)
                    << "N=" << n << " L=" << r.L << " M=" << r.M << " block " << block;
            }
        }
    }
}

TEST_F(FirFilterAlloc, IntegerSteadyStateAllocatesNothing)
{
    // 40-bit samples take the 128-bit sum, 90-bit ones the GMP sum.  The top bit is set so
    // the accumulators keep the same number of limbs.
    for (unsigned width : { 40u, 90u }) {
        std::mt19937_64 rng(9);
        std::vector<mpz_class> in(12 * 1024);
        for (mpz_class& v : in) {
            v = (mpz_class(1) << (width - 1))
                + (mpz_class(static_cast<unsigned long>(rng() >> 30)));
            if (rng() & 1)
                v = -v;
        }
        for (int n : { 21, 64 }) {
            for (Rates r : kRates) {
                for (std::size_t block : { std::size_t(1), std::size_t(1024) }) {
                    FirFilter<mpz_class, double> f(taps(n), r.L, r.M);
                    EXPECT_EQ(streamAllocations(f, in, block, 8192), 0)
                        << width << "-bit samples, N=" << n << " L=" << r.L << " M=" << r.M
                        << " block " << block;
                }
            }
        }
    }
}

TEST_F(FirFilterAlloc, ResetAndSameLengthCoefficientsAllocateNothing)
{
    const std::vector<double> a = taps(64), b = taps(64);
    FirFilter<double, double> f(a, 3, 2);
    FirFilter<mpz_class, double> z(a, 3, 2);
    FirFifo<double> fd(64);
    FirFifo<mpz_class> fz(64);
    z.run(mpz_class(5), fz); // sizes the accumulator slots
    const long before = allocations();
    for (int i = 0; i < 10; ++i) {
        f.setCoefficients(i % 2 ? a : b);
        f.reset();
        z.setCoefficients(i % 2 ? a : b);
        z.reset();
        f.run(1.0, fd);
        fd.clear();
    }
    EXPECT_EQ(allocations() - before, 0);
}

} // namespace
