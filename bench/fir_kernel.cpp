// Throughput of the polyphase filter kernel alone, against a plain direct-form double
// convolution of the same taps timed in the same run.
//
// Rows:
//   Baseline/N                      direct form, one output per input sample
//   Kernel<double>/N/L/M/block      FirFilter<double, double>, blocks of 1 or 1024 samples
//   Kernel<mpz>/N/L/M/block         FirFilter<mpz_class, double> on 16-bit data and taps
//                                   (sums formed in 128-bit integers)
//   KernelWide/N/L/M/block          the same with 80-bit samples (sums formed by GMP)
// Counters: items_per_second = input samples per second; ratio = that rate divided by the
// baseline's rate for the same number of taps (above 1: faster than the baseline).  Decimating
// kernels compute fewer outputs per input than the baseline, so their ratio exceeds 1.
#include "fir_filter.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kInputLen = 1 << 14;
constexpr std::size_t kPerIteration = 1024;

std::vector<double> makeTaps(int n)
{
    std::mt19937_64 rng(uint64_t(n) * 7919);
    std::uniform_int_distribution<int> d(-32768, 32767);
    std::vector<double> c(static_cast<std::size_t>(n));
    for (double& v : c)
        v = d(rng); // integers, so the GMP variant sees the same taps
    return c;
}

std::vector<double> makeInput()
{
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<int> d(-32768, 32767);
    std::vector<double> x(kInputLen);
    for (double& v : x)
        v = d(rng);
    return x;
}

// Plain direct-form convolution: delay line in front of the block, y[n] = sum_j c[j] x[n-j],
// one rounded multiply and one rounded add per tap.
class DirectForm {
public:
    explicit DirectForm(const std::vector<double>& c)
        : c_(c)
        , buf_(c.size() - 1 + kPerIteration, 0.0)
        , y_(kPerIteration)
    {
    }
    void block(const double* x)
    {
        const std::size_t h = c_.size() - 1;
        std::copy(x, x + kPerIteration, buf_.begin() + static_cast<std::ptrdiff_t>(h));
        const double* c = c_.data();
        for (std::size_t n = 0; n < kPerIteration; ++n) {
            const double* s = buf_.data() + h + n;
            double acc = 0.0;
            for (std::size_t j = 0; j < c_.size(); ++j) {
                const double p = c[j] * s[-static_cast<std::ptrdiff_t>(j)];
                acc = p + acc;
            }
            y_[n] = acc;
        }
        std::copy(buf_.end() - static_cast<std::ptrdiff_t>(h), buf_.end(), buf_.begin());
        benchmark::DoNotOptimize(y_.data());
        benchmark::ClobberMemory();
    }

private:
    std::vector<double> c_, buf_, y_;
};

// Baseline samples per second for n taps, measured once per process (best of five runs of at
// least 50 ms each) so that every kernel row is compared with the same figure.
double baselineRate(int n)
{
    static std::map<int, double> cache;
    auto it = cache.find(n);
    if (it != cache.end())
        return it->second;
    const std::vector<double> x = makeInput();
    DirectForm f(makeTaps(n));
    double best = 0.0;
    for (int run = 0; run < 5; ++run) {
        std::size_t samples = 0;
        const auto t0 = std::chrono::steady_clock::now();
        std::chrono::duration<double> dt {};
        std::size_t at = 0;
        do {
            f.block(x.data() + at);
            at = (at + kPerIteration) % kInputLen;
            samples += kPerIteration;
            dt = std::chrono::steady_clock::now() - t0;
        } while (dt.count() < 0.05);
        best = std::max(best, samples / dt.count());
    }
    cache[n] = best;
    return best;
}

void setCounters(benchmark::State& state, int n)
{
    const double samples = static_cast<double>(state.iterations() * kPerIteration);
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["ratio"]
        = benchmark::Counter(samples / baselineRate(n), benchmark::Counter::kIsRate);
}

void Baseline(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const std::vector<double> x = makeInput();
    DirectForm f(makeTaps(n));
    std::size_t at = 0;
    for (auto _ : state) {
        f.block(x.data() + at);
        at = (at + kPerIteration) % kInputLen;
    }
    setCounters(state, n);
}

template <typename T> std::vector<T> convertInput(const std::vector<double>& x, unsigned shift)
{
    if constexpr (std::is_same_v<T, double>) {
        return x;
    } else {
        std::vector<T> z(x.begin(), x.end());
        for (T& v : z)
            v <<= shift;
        return z;
    }
}

// Arguments: taps, L, M, block (1: one run() per sample, 1024: one run() per 1024 samples).
template <typename T, unsigned Shift = 0> void Kernel(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int L = static_cast<int>(state.range(1));
    const int M = static_cast<int>(state.range(2));
    const std::size_t block = static_cast<std::size_t>(state.range(3));
    const std::vector<T> x = convertInput<T>(makeInput(), Shift);
    FirFilter<T, double> f(makeTaps(n), L, M);
    FirFifo<T> out;
    baselineRate(n); // measured outside the timed loop
    std::size_t at = 0;
    for (auto _ : state) {
        const T* in = x.data() + at;
        if (block == 1) {
            for (std::size_t i = 0; i < kPerIteration; ++i)
                f.run(in[i], out);
        } else {
            f.run(in, kPerIteration, out);
        }
        if (!out.empty())
            benchmark::DoNotOptimize(out.front());
        out.clear();
        at = (at + kPerIteration) % kInputLen;
    }
    setCounters(state, n);
}

void kernelArgs(benchmark::internal::Benchmark* b, bool wide)
{
    b->ArgNames({ "taps", "L", "M", "block" });
    for (int n : { 21, 64, 255 }) {
        if (!wide && n == 255)
            continue;
        for (auto [L, M] : { std::pair { 1, 1 }, { 1, 4 }, { 4, 1 }, { 3, 2 } })
            for (int block : { 1, 1024 })
                b->Args({ n, L, M, block });
    }
    b->MinTime(0.3);
}

BENCHMARK(Baseline)->ArgName("taps")->Arg(21)->Arg(64)->Arg(255)->MinTime(0.3);
BENCHMARK_TEMPLATE(Kernel, double)->Apply([](auto* b) { kernelArgs(b, true); });
BENCHMARK_TEMPLATE(Kernel, mpz_class)->Apply([](auto* b) { kernelArgs(b, false); });
BENCHMARK_TEMPLATE(Kernel, mpz_class, 64)
    ->Name("KernelWide")
    ->ArgNames({ "taps", "L", "M", "block" })
    ->Args({ 21, 1, 1, 1 })
    ->Args({ 64, 1, 1, 1 })
    ->Args({ 64, 3, 2, 1 })
    ->MinTime(0.3);

} // namespace

BENCHMARK_MAIN();
