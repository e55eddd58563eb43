// Cost of one simulate call at 1,024 points for three architectures, with FFTW (double
// complex, planned outside the timed loop) on the same frame as the baseline.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "kfft_v8_0_bitacc_cmodel.h"

namespace {

constexpr int kNfft = 10;
constexpr int kN = 1 << kNfft;

struct Signal {
    std::vector<double> re, im;
    Signal() : re(kN), im(kN) {
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> d(-16384, 16383);
        for (int i = 0; i < kN; ++i) {
            re[i] = d(rng) / 32768.0;
            im[i] = d(rng) / 32768.0;
        }
    }
};

void simulate(benchmark::State& bs, int arch) {
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_ARCH = arch;
    kelvar_ip_kfft_v8_0_state* s = kelvar_ip_kfft_v8_0_create_state(g);
    if (s == nullptr) {
        bs.SkipWithError("create_state failed");
        return;
    }
    Signal x;
    std::vector<int32_t> sch = arch == 2 ? std::vector<int32_t>(kNfft, 1)
                                         : std::vector<int32_t>(kNfft / 2, 2);
    std::vector<double> xk_re(kN), xk_im(kN);
    kelvar_ip_kfft_v8_0_inputs in{kNfft, x.re.data(), kN, x.im.data(), kN,
                                  sch.data(), static_cast<int32_t>(sch.size()), 1};
    kelvar_ip_kfft_v8_0_outputs out{xk_re.data(), kN, xk_im.data(), kN, 0, 0};
    for (auto _ : bs) {
        out.xk_re_size = out.xk_im_size = kN;
        if (kelvar_ip_kfft_v8_0_bitacc_simulate(s, &in, &out) != 0) {
            bs.SkipWithError("simulate failed");
            break;
        }
        benchmark::DoNotOptimize(xk_re.data());
        benchmark::ClobberMemory();
    }
    kelvar_ip_kfft_v8_0_destroy_state(s);
}

void BM_Simulate_Radix4Default(benchmark::State& bs) { simulate(bs, 1); }
void BM_Simulate_Pipelined(benchmark::State& bs) { simulate(bs, 3); }
void BM_Simulate_Radix2(benchmark::State& bs) { simulate(bs, 2); }

void BM_FFTW_Baseline(benchmark::State& bs) {
    Signal x;
    fftw_complex* in = fftw_alloc_complex(kN);
    fftw_complex* out = fftw_alloc_complex(kN);
    fftw_plan plan = fftw_plan_dft_1d(kN, in, out, FFTW_FORWARD, FFTW_MEASURE);
    for (auto _ : bs) {
        // The copy in mirrors the model's input conversion.
        for (int i = 0; i < kN; ++i) {
            in[i][0] = x.re[i];
            in[i][1] = x.im[i];
        }
        fftw_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
}

// Console output plus, at the end, each benchmark's CPU time per frame as a multiple of the
// FFTW baseline measured in the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter()
        : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                cpu_us_[r.benchmark_name()] = r.GetAdjustedCPUTime();  // in microseconds
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto base = cpu_us_.find("BM_FFTW_Baseline");
        if (base == cpu_us_.end() || base->second <= 0.0) return;
        std::printf("\nCPU time per 1,024-point frame, relative to FFTW:\n");
        for (const auto& [name, us] : cpu_us_)
            std::printf("  %-28s %10.2f us  %8.1fx\n", name.c_str(), us, us / base->second);
    }

private:
    std::map<std::string, double> cpu_us_;
};

}  // namespace

BENCHMARK(BM_FFTW_Baseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Simulate_Radix4Default)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Simulate_Pipelined)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Simulate_Radix2)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
