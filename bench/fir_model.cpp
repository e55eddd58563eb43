// Throughput of the whole FIR model through its C interface (data_send of frames of 1,024
// vectors, data_get of the outputs), against a plain double loop that computes the same output
// samples directly, timed in the same run.
//
// Rows (one iteration = 1,000,000 input samples or slightly more, whole frames):
//   Baseline/<config>   for every path/channel stream and every output, the sum over that
//                       output's taps; streams held in plain arrays, no quantisation
//   Model/<config>      kip_fir_v6_3_data_send + kip_fir_v6_3_data_get (double mode) or
//                       kip_fir_v6_3_data_get_mpz (integer mode)
// Configurations:
//   default             the default model: 21 taps, single rate, one channel, one path
//   dec4_64taps_8x2     64 taps, decimate by 4, 8 channels, 2 paths (double mode)
//   integer_dec4_8x2    the same taps and layout with 24-bit data and coefficients, reloadable:
//                       a 54-bit accumulator, so GMP integers; output rounded to 40 bits
// Counters: items_per_second = input samples per second (wall clock, Google Benchmark's own);
// best_Msps = millions of input samples per second of the fastest run in thread CPU time;
// time_ratio = that fastest run's CPU time divided by the baseline's fastest run for the same
// taps and layout (below 1: faster). The machine may be shared, so the fastest run is the
// figure least disturbed by other load.
#include <benchmark/benchmark.h>

#include <gmp.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tapforge_v6_3_bitacc_cmodel.h"

namespace {

double cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

constexpr std::size_t kTotalSamples = 1000000;
constexpr std::size_t kFrameVectors = 1024;

struct Layout {
    const char* name;
    int taps, decim, paths, chans;
    bool integer;
};

const Layout kLayouts[] = {
    { "default", 21, 1, 1, 1, false },
    { "dec4_64taps_8x2", 64, 4, 2, 8, false },
    { "integer_dec4_8x2", 64, 4, 2, 8, true },
};

std::vector<double> make_taps(const Layout& l)
{
    if (l.taps == 21) {
        kip_fir_v6_3_config c;
        kip_fir_v6_3_default_config(&c);
        return std::vector<double>(c.coeff, c.coeff + c.num_coeffs);
    }
    std::mt19937_64 rng(7919);
    std::uniform_int_distribution<int> d(-32768, 32767);
    std::vector<double> t(static_cast<std::size_t>(l.taps));
    for (double& v : t)
        v = d(rng);
    return t;
}

std::size_t frames_per_run(const Layout& l)
{
    const std::size_t per_frame = kFrameVectors * static_cast<std::size_t>(l.paths * l.chans);
    return (kTotalSamples + per_frame - 1) / per_frame;
}

// Stimulus of one stream: 16-bit integers, repeated from a fixed table.
std::vector<double> make_stream(std::size_t len, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> d(-32768, 32767);
    std::vector<double> x(len);
    for (double& v : x)
        v = d(rng);
    return x;
}

// ---------------------------------------------------------------- baseline

// Every stream padded in front with taps - 1 zeros; output m of a stream (decimation M) is
// sum_j c[j] * x[m*M + M - 1 - j], one rounded multiply and one rounded add per tap.
struct Plain {
    std::vector<double> taps;
    std::vector<std::vector<double>> padded; // per stream
    std::vector<double> y;
    int decim;

    explicit Plain(const Layout& l)
        : taps(make_taps(l))
        , decim(l.decim)
    {
        const std::size_t len = frames_per_run(l) * kFrameVectors;
        for (int s = 0; s < l.paths * l.chans; ++s) {
            std::vector<double> x = make_stream(len, static_cast<uint64_t>(s));
            std::vector<double> p(taps.size() - 1, 0.0);
            p.insert(p.end(), x.begin(), x.end());
            padded.push_back(std::move(p));
        }
        y.resize(len / static_cast<std::size_t>(decim));
    }

    void run()
    {
        const std::size_t n = taps.size();
        const double* c = taps.data();
        for (const std::vector<double>& stream : padded) {
            const double* base = stream.data() + (n - 1); // base[i] = x[i]
            const std::size_t outs = y.size();
            for (std::size_t m = 0; m < outs; ++m) {
                const double* s = base + m * static_cast<std::size_t>(decim) + (decim - 1);
                double acc = 0.0;
                for (std::size_t j = 0; j < n; ++j) {
                    const double prod = c[j] * s[-static_cast<std::ptrdiff_t>(j)];
                    acc = prod + acc;
                }
                y[m] = acc;
            }
            benchmark::DoNotOptimize(y.data());
            benchmark::ClobberMemory();
        }
    }
};

// Layouts with the same taps, rate and shape share one baseline.
std::string baseline_key(const Layout& l)
{
    return std::to_string(l.taps) + "/" + std::to_string(l.decim) + "/" + std::to_string(l.paths)
        + "x" + std::to_string(l.chans);
}

std::map<std::string, double>& baseline_cache()
{
    static std::map<std::string, double> cache;
    return cache;
}

// Baseline CPU seconds per run: the fastest of ten runs measured on first use, lowered by every
// faster run of the Baseline rows.
double baseline_seconds(const Layout& l)
{
    std::map<std::string, double>& cache = baseline_cache();
    auto it = cache.find(baseline_key(l));
    if (it != cache.end())
        return it->second;
    Plain p(l);
    double best = 1e30;
    for (int r = 0; r < 10; ++r) {
        const double t0 = cpu_seconds();
        p.run();
        best = std::min(best, cpu_seconds() - t0);
    }
    cache[baseline_key(l)] = best;
    return best;
}

// ---------------------------------------------------------------- model through the C API

struct ModelRun {
    const Layout& l;
    std::vector<double> taps;
    kip_fir_v6_3* model = nullptr;
    std::vector<kip_array_real*> frames; // the stimulus of one run, frame by frame
    kip_array_real* out = nullptr;
    kip_array_mpz* out_mpz = nullptr;
    std::size_t outs_per_frame;

    explicit ModelRun(const Layout& layout)
        : l(layout)
        , taps(make_taps(layout))
    {
        kip_fir_v6_3_config c;
        kip_fir_v6_3_default_config(&c);
        c.coeff = taps.data();
        c.num_coeffs = l.taps;
        c.num_paths = l.paths;
        c.num_channels = l.chans;
        if (l.decim > 1) {
            c.filter_type = 2;
            c.decim_rate = l.decim;
        }
        if (l.integer) {
            c.reloadable = 1;
            c.coeff_width = 24;
            c.data_width = 24;
            c.output_rounding = 4;
            c.output_width = 40;
        }
        model = kip_fir_v6_3_create(&c, nullptr, nullptr);
        const std::size_t np = static_cast<std::size_t>(l.paths);
        const std::size_t nc = static_cast<std::size_t>(l.chans);
        const std::size_t nf = frames_per_run(l);
        std::vector<std::vector<double>> streams;
        for (std::size_t s = 0; s < np * nc; ++s)
            streams.push_back(make_stream(nf * kFrameVectors, s));
        for (std::size_t f = 0; f < nf; ++f) {
            kip_array_real* a = kip_array_real_create();
            kip_array_real_reserve_dim(a, 3);
            a->dim_size = 3;
            a->dim[0] = np;
            a->dim[1] = nc;
            a->dim[2] = kFrameVectors;
            a->data_size = np * nc * kFrameVectors;
            kip_array_real_reserve_data(a, a->data_size);
            // Stream s = path + channel * np, matching the baseline's stream order.
            for (std::size_t v = 0; v < kFrameVectors; ++v)
                for (std::size_t c2 = 0; c2 < nc; ++c2)
                    for (std::size_t p = 0; p < np; ++p)
                        a->data[p + c2 * np + v * np * nc]
                            = streams[p + c2 * np][f * kFrameVectors + v];
            frames.push_back(a);
        }
        outs_per_frame = kFrameVectors / static_cast<std::size_t>(l.decim);
        out = kip_array_real_create();
        out_mpz = kip_array_mpz_create();
        kip_array_real_reserve_dim(out, 3);
        kip_array_mpz_reserve_dim(out_mpz, 3);
        kip_array_real_reserve_data(out, np * nc * outs_per_frame);
        kip_array_mpz_reserve_data(out_mpz, np * nc * outs_per_frame);
    }
    ~ModelRun()
    {
        for (kip_array_real* a : frames)
            kip_array_real_destroy(a);
        kip_array_real_destroy(out);
        kip_array_mpz_destroy(out_mpz);
        kip_fir_v6_3_destroy(model);
    }

    template <class A> void shape(A* a)
    {
        a->dim_size = 3;
        a->dim[0] = static_cast<std::size_t>(l.paths);
        a->dim[1] = static_cast<std::size_t>(l.chans);
        a->dim[2] = outs_per_frame;
    }

    // One run; false on any failure status.
    bool run()
    {
        for (kip_array_real* a : frames) {
            if (kip_fir_v6_3_data_send(model, a) != 0)
                return false;
            if (l.integer) {
                shape(out_mpz);
                if (kip_fir_v6_3_data_get_mpz(model, out_mpz, nullptr) != 0)
                    return false;
            } else {
                shape(out);
                if (kip_fir_v6_3_data_get(model, out, nullptr) != 0)
                    return false;
            }
        }
        return true;
    }
};

// The model's first run, compared with the baseline's outputs (double layouts): the benchmark
// measures the right computation.
bool outputs_agree(const Layout& l)
{
    if (l.integer)
        return true;
    ModelRun m(l);
    Plain p(l);
    const std::size_t np = static_cast<std::size_t>(l.paths),
                      nc = static_cast<std::size_t>(l.chans);
    std::vector<std::vector<double>> got(np * nc);
    for (kip_array_real* a : m.frames) {
        if (kip_fir_v6_3_data_send(m.model, a) != 0)
            return false;
        m.shape(m.out);
        if (kip_fir_v6_3_data_get(m.model, m.out, nullptr) != 0)
            return false;
        for (std::size_t v = 0; v < m.outs_per_frame; ++v)
            for (std::size_t s = 0; s < np * nc; ++s)
                got[s].push_back(m.out->data[s + v * np * nc]);
    }
    const std::size_t n = p.taps.size();
    for (std::size_t s = 0; s < np * nc; ++s) {
        const double* base = p.padded[s].data() + (n - 1);
        for (std::size_t k = 0; k < got[s].size(); ++k) {
            const double* x = base + k * static_cast<std::size_t>(l.decim) + (l.decim - 1);
            double acc = 0.0;
            for (std::size_t j = 0; j < n; ++j)
                acc = p.taps[j] * x[-static_cast<std::ptrdiff_t>(j)] + acc;
            if (acc != got[s][k]) {
                std::fprintf(stderr, "%s: stream %zu output %zu: model %g, direct %g\n", l.name, s,
                    k, got[s][k], acc);
                return false;
            }
        }
    }
    return true;
}

void set_counters(benchmark::State& state, const Layout& l, double best_run)
{
    const double samples = static_cast<double>(
        frames_per_run(l) * kFrameVectors * static_cast<std::size_t>(l.paths * l.chans));
    state.SetItemsProcessed(static_cast<int64_t>(samples) * state.iterations());
    state.counters["best_Msps"] = samples / best_run / 1e6;
    state.counters["time_ratio"] = best_run / baseline_seconds(l);
}

void Baseline(benchmark::State& state)
{
    const Layout& l = kLayouts[state.range(0)];
    state.SetLabel(l.name);
    baseline_seconds(l);
    Plain p(l);
    double best = 1e30;
    for (auto _ : state) {
        const double t0 = cpu_seconds();
        p.run();
        best = std::min(best, cpu_seconds() - t0);
    }
    double& cached = baseline_cache()[baseline_key(l)];
    if (cached == 0 || best < cached)
        cached = best;
    set_counters(state, l, best);
}

void Model(benchmark::State& state)
{
    const Layout& l = kLayouts[state.range(0)];
    state.SetLabel(l.name);
    if (!outputs_agree(l)) {
        state.SkipWithError("model outputs differ from the direct computation");
        return;
    }
    baseline_seconds(l); // measured outside the timed loop
    ModelRun m(l);
    if (m.model == nullptr) {
        state.SkipWithError("model creation failed");
        return;
    }
    double best = 1e30;
    for (auto _ : state) {
        const double t0 = cpu_seconds();
        if (!m.run()) {
            state.SkipWithError("data path call failed");
            return;
        }
        best = std::min(best, cpu_seconds() - t0);
    }
    set_counters(state, l, best);
}

BENCHMARK(Baseline)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(Model)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(0.5);

} // namespace

BENCHMARK_MAIN();
