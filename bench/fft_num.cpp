// Cost of the fixed-point operations of one radix-2 butterfly (27-bit data, 17-bit twiddles,
// rounding constant, truncation, sums, scaling shift, convergent output rounding, overflow
// test), one operation per benchmark, the whole butterfly, and a baseline of the same butterfly
// in hand-written 64-bit integer arithmetic.
#include "num.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int W = 27; // data width
constexpr int TW = 16; // twiddle width: twiddles have TW + 1 bits, TW - 1 fraction bits
constexpr int NV = 256;

struct Formats {
    KFix data { 0, W, W - 1, SIGNED, TRUNCATE, WRAP };
    KFix out { 0, W, W - 1, SIGNED, CONVERGENT_NOSAT, WRAP };
    KFix twiddle { 0, TW + 1, TW - 1, SIGNED, TRUNCATE, SATURATE };
    KFix prod { 0, W + TW + 2, W + TW - 2, SIGNED, TRUNCATE, WRAP };
    KFix twid { 0, W + 4, W + 2, SIGNED, TRUNCATE, WRAP };
    KFix sum { 0, W + 5, W + 2, SIGNED, TRUNCATE, WRAP };
    KFix scaled { 0, W + 8, W + 5, SIGNED, TRUNCATE, WRAP };
};

KFixComplex complexIn(const KFix& fmt)
{
    KFixComplex z;
    z.setFormat(fmt);
    return z;
}

struct Operands {
    Formats f;
    std::vector<KFixComplex> x0, x1, w;
    KFixComplex k;
    KFix plusOne { 1, 0, SIGNED, TRUNCATE, WRAP };
    KFix minusOne { -1, 0, SIGNED, TRUNCATE, WRAP };

    Operands()
    {
        std::mt19937_64 gen(7);
        std::uniform_real_distribution<double> d(-0.999, 0.999);
        for (int i = 0; i < NV; ++i) {
            KFixComplex a = complexIn(f.data), b = complexIn(f.data), t = complexIn(f.twiddle);
            a.re = d(gen), a.im = d(gen), b.re = d(gen), b.im = d(gen);
            t.re = d(gen), t.im = d(gen);
            x0.push_back(a);
            x1.push_back(b);
            w.push_back(t);
        }
        k = complexIn(f.prod);
        KFix kv(0, W + TW + 2, W + TW - 2, SIGNED, TRUNCATE, WRAP);
        kv = KFix((1 << (TW - 5)) - 1, W + TW + 2, 0, SIGNED, TRUNCATE, WRAP);
        kv.scale(W + TW - 2);
        k.re = kv;
        k.im = kv;
    }
};

Operands& ops()
{
    static Operands o;
    return o;
}

void BM_ComplexProduct(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex p = complexIn(o.f.prod);
    int i = 0;
    for (auto _ : st) {
        p = o.x1[i] * o.w[i];
        benchmark::DoNotOptimize(p.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_ComplexProduct);

void BM_ComplexProductInPlace(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex p = complexIn(o.f.prod);
    int i = 0;
    for (auto _ : st) {
        p.mult(o.x1[i], o.w[i]);
        benchmark::DoNotOptimize(p.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_ComplexProductInPlace);

void BM_AddRoundingConstant(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex p = complexIn(o.f.prod);
    p = o.x1[0] * o.w[0];
    for (auto _ : st) {
        p = p + o.k;
        benchmark::DoNotOptimize(p.re.digits[0]);
    }
}
BENCHMARK(BM_AddRoundingConstant);

void BM_AddRoundingConstantInPlace(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex p = complexIn(o.f.prod);
    p = o.x1[0] * o.w[0];
    for (auto _ : st) {
        p.add(p, o.k);
        benchmark::DoNotOptimize(p.re.digits[0]);
    }
}
BENCHMARK(BM_AddRoundingConstantInPlace);

void BM_TruncatingAssignment(benchmark::State& st)
{
    Operands& o = ops();
    std::vector<KFixComplex> p(NV, complexIn(o.f.prod));
    for (int i = 0; i < NV; ++i)
        p[i] = o.x1[i] * o.w[i];
    KFixComplex t = complexIn(o.f.twid);
    int i = 0;
    for (auto _ : st) {
        t = p[i];
        benchmark::DoNotOptimize(t.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_TruncatingAssignment);

void BM_SumAndDifference(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex t = complexIn(o.f.twid), y0 = complexIn(o.f.sum), y1 = complexIn(o.f.sum);
    t = o.x1[3];
    int i = 0;
    for (auto _ : st) {
        y0 = o.x0[i] + t;
        y1 = o.x0[i] - t;
        benchmark::DoNotOptimize(y0.re.digits[0]);
        benchmark::DoNotOptimize(y1.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
    st.SetItemsProcessed(st.iterations() * 2);
}
BENCHMARK(BM_SumAndDifference);

void BM_SumAndDifferenceInPlace(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex t = complexIn(o.f.twid), y0 = complexIn(o.f.sum), y1 = complexIn(o.f.sum);
    t = o.x1[3];
    int i = 0;
    for (auto _ : st) {
        y0.add(o.x0[i], t);
        y1.sub(o.x0[i], t);
        benchmark::DoNotOptimize(y0.re.digits[0]);
        benchmark::DoNotOptimize(y1.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
    st.SetItemsProcessed(st.iterations() * 2);
}
BENCHMARK(BM_SumAndDifferenceInPlace);

void BM_ScalingShift(benchmark::State& st)
{
    Operands& o = ops();
    std::vector<KFixComplex> y(NV, complexIn(o.f.sum));
    for (int i = 0; i < NV; ++i)
        y[i] = o.x0[i] + o.x1[i];
    KFixComplex s = complexIn(o.f.scaled);
    int i = 0;
    for (auto _ : st) {
        s.re = y[i].re >> 2;
        s.im = y[i].im >> 2;
        benchmark::DoNotOptimize(s.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_ScalingShift);

void BM_ScalingShiftInPlace(benchmark::State& st)
{
    Operands& o = ops();
    std::vector<KFixComplex> y(NV, complexIn(o.f.sum));
    for (int i = 0; i < NV; ++i)
        y[i] = o.x0[i] + o.x1[i];
    KFixComplex s = complexIn(o.f.scaled);
    int i = 0;
    for (auto _ : st) {
        s.assignShifted(y[i], 2);
        benchmark::DoNotOptimize(s.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_ScalingShiftInPlace);

void BM_ConvergentAssignment(benchmark::State& st)
{
    Operands& o = ops();
    std::vector<KFixComplex> s(NV, complexIn(o.f.scaled));
    for (int i = 0; i < NV; ++i) {
        s[i].re = (o.x0[i].re + o.x1[i].re) >> 1;
        s[i].im = (o.x0[i].im - o.x1[i].im) >> 1;
    }
    KFixComplex z = complexIn(o.f.out);
    int i = 0;
    for (auto _ : st) {
        z = s[i];
        benchmark::DoNotOptimize(z.re.digits[0]);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_ConvergentAssignment);

void BM_OverflowTest(benchmark::State& st)
{
    Operands& o = ops();
    std::vector<KFixComplex> s(NV, complexIn(o.f.scaled));
    for (int i = 0; i < NV; ++i)
        s[i] = o.x0[i] + o.x1[i];
    int i = 0, flag = 0;
    for (auto _ : st) {
        const KFix& re = s[i].re;
        const KFix& im = s[i].im;
        flag |= re < o.minusOne || re >= o.plusOne || im < o.minusOne || im >= o.plusOne;
        benchmark::DoNotOptimize(flag);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_OverflowTest);

// The whole radix-2 butterfly: twiddle product, rounding, sums, scaling, output rounding and
// the overflow test.
void BM_Butterfly(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex p = complexIn(o.f.prod), t = complexIn(o.f.twid);
    KFixComplex y0 = complexIn(o.f.sum), y1 = complexIn(o.f.sum);
    KFixComplex s0 = complexIn(o.f.scaled), s1 = complexIn(o.f.scaled);
    KFixComplex z0 = complexIn(o.f.out), z1 = complexIn(o.f.out);
    int i = 0, flag = 0;
    for (auto _ : st) {
        p = o.x1[i] * o.w[i];
        p = p + o.k;
        t = p;
        y0 = o.x0[i] + t;
        y1 = o.x0[i] - t;
        s0.re = y0.re >> 1;
        s0.im = y0.im >> 1;
        s1.re = y1.re >> 1;
        s1.im = y1.im >> 1;
        z0 = s0;
        z1 = s1;
        flag
            |= s0.re < o.minusOne || s0.re >= o.plusOne || s0.im < o.minusOne || s0.im >= o.plusOne;
        flag
            |= s1.re < o.minusOne || s1.re >= o.plusOne || s1.im < o.minusOne || s1.im >= o.plusOne;
        benchmark::DoNotOptimize(z0.re.digits[0]);
        benchmark::DoNotOptimize(z1.re.digits[0]);
        benchmark::DoNotOptimize(flag);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_Butterfly);

// The same butterfly with the in-place forms (identical results, no exact temporaries).
void BM_ButterflyInPlace(benchmark::State& st)
{
    Operands& o = ops();
    KFixComplex p = complexIn(o.f.prod), t = complexIn(o.f.twid);
    KFixComplex y0 = complexIn(o.f.sum), y1 = complexIn(o.f.sum);
    KFixComplex s0 = complexIn(o.f.scaled), s1 = complexIn(o.f.scaled);
    KFixComplex z0 = complexIn(o.f.out), z1 = complexIn(o.f.out);
    int i = 0, flag = 0;
    for (auto _ : st) {
        p.mult(o.x1[i], o.w[i]);
        p.add(p, o.k);
        t = p;
        y0.add(o.x0[i], t);
        y1.sub(o.x0[i], t);
        s0.assignShifted(y0, 1);
        s1.assignShifted(y1, 1);
        z0 = s0;
        z1 = s1;
        flag
            |= s0.re < o.minusOne || s0.re >= o.plusOne || s0.im < o.minusOne || s0.im >= o.plusOne;
        flag
            |= s1.re < o.minusOne || s1.re >= o.plusOne || s1.im < o.minusOne || s1.im >= o.plusOne;
        benchmark::DoNotOptimize(z0.re.digits[0]);
        benchmark::DoNotOptimize(z1.re.digits[0]);
        benchmark::DoNotOptimize(flag);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_ButterflyInPlace);

// Baseline: the same butterfly on raw 64-bit integers (no formats, no modes).
void BM_ButterflyInt64Baseline(benchmark::State& st)
{
    std::mt19937_64 gen(7);
    std::vector<int64_t> xr(NV), xi(NV), yr(NV), yi(NV), wr(NV), wi(NV);
    const int64_t dmax = (int64_t)1 << (W - 1), tmax = (int64_t)1 << (TW - 1);
    for (int i = 0; i < NV; ++i) {
        xr[i] = (int64_t)(gen() % (2 * dmax)) - dmax;
        xi[i] = (int64_t)(gen() % (2 * dmax)) - dmax;
        yr[i] = (int64_t)(gen() % (2 * dmax)) - dmax;
        yi[i] = (int64_t)(gen() % (2 * dmax)) - dmax;
        wr[i] = (int64_t)(gen() % (2 * tmax)) - tmax;
        wi[i] = (int64_t)(gen() % (2 * tmax)) - tmax;
    }
    const int64_t k = ((int64_t)1 << (TW - 5)) - 1;
    const int64_t lim = (int64_t)1 << (W + 2);
    auto conv = [](int64_t v) { // 1 bit dropped, half to even, no round-up from the top code
        const int64_t fl = v >> 1;
        int64_t r = fl + ((v & 1) && (fl & 1));
        const int64_t top = ((int64_t)1 << (W - 1)) - 1;
        if ((fl & (((int64_t)1 << W) - 1)) == top)
            r = fl;
        return (r << (64 - W)) >> (64 - W);
    };
    int i = 0, flag = 0;
    for (auto _ : st) {
        const int64_t pr = yr[i] * wr[i] - yi[i] * wi[i] + k;
        const int64_t pi = yr[i] * wi[i] + yi[i] * wr[i] + k;
        const int64_t tr = pr >> (TW - 3), ti = pi >> (TW - 3);
        const int64_t ar = (xr[i] << 3) + tr, ai = (xi[i] << 3) + ti;
        const int64_t br = (xr[i] << 3) - tr, bi = (xi[i] << 3) - ti;
        flag |= ar < -lim || ar >= lim || ai < -lim || ai >= lim || br < -lim || br >= lim
            || bi < -lim || bi >= lim;
        const int64_t z0r = conv(ar >> 3), z0i = conv(ai >> 3), z1r = conv(br >> 3),
                      z1i = conv(bi >> 3);
        benchmark::DoNotOptimize(z0r);
        benchmark::DoNotOptimize(z0i);
        benchmark::DoNotOptimize(z1r);
        benchmark::DoNotOptimize(z1i);
        benchmark::DoNotOptimize(flag);
        i = (i + 1) & (NV - 1);
    }
}
BENCHMARK(BM_ButterflyInt64Baseline);

} // namespace

BENCHMARK_MAIN();
