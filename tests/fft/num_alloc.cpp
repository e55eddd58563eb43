// Heap use of the fixed-point arithmetic: none for values of up to 128 bits in any operator or
// assignment; wide values allocate and release their slots and scratch values.
#include "num.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_allocs { 0 };
}

void* operator new(std::size_t n)
{
    ++g_allocs;
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    ++g_allocs;
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Runs the butterfly operations in the given widths; returns the allocations they made.
long butterflyAllocations(int w, int tw)
{
    const KFix data(0, w, w - 1, SIGNED, TRUNCATE, WRAP),
        twid(0, tw + 1, tw - 1, SIGNED, TRUNCATE, SATURATE);
    const KFix out(0, w, w - 1, SIGNED, CONVERGENT_NOSAT, WRAP);
    KFixComplex x = KFixComplex::zero(w, w - 1, SIGNED, TRUNCATE, WRAP), y = x, z = x;
    KFixComplex t = KFixComplex::zero(tw + 1, tw - 1, SIGNED, TRUNCATE, SATURATE);
    KFixComplex p = KFixComplex::zero(w + tw + 2, w + tw - 2, SIGNED, TRUNCATE, WRAP), q = p;
    KFixComplex o = KFixComplex::zero(w, w - 1, SIGNED, CONVERGENT_NOSAT, WRAP);
    x.re = 0.3;
    x.im = -0.7;
    y.re = -0.99;
    t.re = 0.7071;
    t.im = -0.7071;
    const KFix one(1, 0, SIGNED, TRUNCATE, WRAP);
    const long before = g_allocs;
    p = x * t;
    q.mult(x, t);
    p = p + q;
    p.add(p, q);
    z = x + y;
    z = x - y;
    z.sub(x, y);
    o = z;
    o.assignShifted(z, 1);
    KFix s = x.re * t.re;
    s = -x.re;
    s = x.re >> 3;
    s = x.re << 2;
    s += y.re;
    s -= y.re;
    s *= t.re;
    s >>= 1;
    s <<= 1;
    s.add(x.re, y.re);
    s.sub(x.re, y.re);
    s.mult(x.re, t.re);
    s.neg(x.re);
    s.bitAnd(x.re, y.re);
    s.bitNot(x.re);
    volatile bool flag = x.re < one || x.re >= -one || x.re == y.re;
    (void)flag;
    KNum n = x.re;
    n = n * n + n - n;
    n += n;
    n.resize(n.width - 1);
    n >>= 3;
    return g_allocs - before;
}

} // namespace

TEST(NumAlloc, NoHeapUseUpTo128Bits)
{
    // A 27-bit datapath with 17-bit twiddles; wider ones whose products reach 128 bits.
    EXPECT_EQ(butterflyAllocations(27, 16), 0);
    EXPECT_EQ(butterflyAllocations(51, 34), 0);
    EXPECT_EQ(butterflyAllocations(44, 40), 0);
}

TEST(NumAlloc, WideValuesAllocateAndRelease)
{
    EXPECT_GT(butterflyAllocations(60, 60), 0); // products beyond 128 bits
    // Scratch values of wide in-format operations are owned and freed (checked by ASan).
    KFix a(0, 300, 200, SIGNED, TRUNCATE, WRAP), b = a;
    a.setBit(250, 1);
    b.add(a, a);
    b.mult(a, a);
    KFix c(b);
    c.sub(c, a);
    EXPECT_EQ(c.toDouble(), b.toDouble() - a.toDouble());
}

TEST(NumAlloc, WidestFormats)
{
    KNum m(0, 2048, SIGNED, TRUNCATE, WRAP), q(0, 2047, SIGNED, TRUNCATE, WRAP);
    m.saturate(-1);
    q.saturate(-1);
    EXPECT_THROW(m * m, KNumException::tooManyBits); // 4097 bits
    KNum r = m * q; // (-2^2047)(-2^2046) = 2^4093
    EXPECT_EQ(r.width, 4096);
    EXPECT_EQ(r.getBit(4093), 1);
    r.setBit(4093, 0);
    EXPECT_TRUE(r.isZero());
    const KFix a(1.0, 8, 0, SIGNED, TRUNCATE, WRAP);
    EXPECT_THROW(a >> 5000, KNumException::tooManyBits);
    EXPECT_THROW(a << 4089, KNumException::tooManyBits);
    EXPECT_EQ((a << 4088).width, 4096);
}
