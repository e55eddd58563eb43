// Cost of one simulate call through the C interface for every architecture x mode x rounding
// at 1,024 and 16,384 points, the 34-bit wide-product case and the floating-point mode, each
// reported as a multiple of FFTW's double complex transform of the same length timed in the
// same run (planned outside the timed loop).
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

enum Mode { kScaled, kUnscaled, kBfp, kFloat };

const char* const kArchName[] = { "", "radix4", "radix2", "pipelined", "radix2lite" };
const char* const kModeName[] = { "scaled", "unscaled", "bfp", "float" };

struct Case {
    int arch;
    Mode mode;
    int rounding;
    int nfft;
    int width; // input and twiddle width
};

// Half-scale samples on a 16-bit grid (on the grid of every wider input too).
void make_signal(int n, bool flt, std::vector<double>& re, std::vector<double>& im)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> d(-16384, 16383);
    re.resize(n);
    im.resize(n);
    for (int i = 0; i < n; ++i) {
        re[i] = d(rng) / 32768.0;
        im[i] = d(rng) / 32768.0;
        if (flt) {
            re[i] *= 1000.0;
            im[i] *= 1000.0;
        }
    }
}

// A schedule that keeps a half-scale random frame in range: 1 per radix-2 stage, 2 per
// radix-4 stage or stage pair (1 for the odd last one).
std::vector<int32_t> schedule(int arch, int nfft)
{
    if (arch == 2 || arch == 4)
        return std::vector<int32_t>(nfft, 1);
    std::vector<int32_t> s(nfft / 2, 2);
    if (nfft & 1)
        s.push_back(1);
    return s;
}

void simulate(benchmark::State& bs, Case c)
{
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_NFFT_MAX = c.nfft;
    g.C_ARCH = c.arch;
    // The floating-point mode needs 32-bit inputs and keeps the default twiddle width.
    g.C_INPUT_WIDTH = c.width;
    g.C_TWIDDLE_WIDTH = c.mode == kFloat ? 16 : c.width;
    g.C_HAS_SCALING = c.mode == kUnscaled ? 0 : 1;
    g.C_HAS_BFP = c.mode == kBfp ? 1 : 0;
    g.C_HAS_ROUNDING = c.rounding;
    g.C_USE_FLT_PT = c.mode == kFloat ? 1 : 0;
    kelvar_ip_kfft_v8_0_state* s = kelvar_ip_kfft_v8_0_create_state(g);
    if (s == nullptr) {
        bs.SkipWithError("create_state failed");
        return;
    }
    const int n = 1 << c.nfft;
    std::vector<double> re, im;
    make_signal(n, c.mode == kFloat, re, im);
    std::vector<int32_t> sch = schedule(c.arch, c.nfft);
    std::vector<double> xk_re(n), xk_im(n);
    kelvar_ip_kfft_v8_0_inputs in { c.nfft, re.data(), n, im.data(), n, sch.data(),
        static_cast<int32_t>(sch.size()), 1 };
    kelvar_ip_kfft_v8_0_outputs out { xk_re.data(), n, xk_im.data(), n, 0, 0 };
    for (auto _ : bs) {
        out.xk_re_size = out.xk_im_size = n;
        if (kelvar_ip_kfft_v8_0_bitacc_simulate(s, &in, &out) != 0) {
            bs.SkipWithError("simulate failed");
            break;
        }
        benchmark::DoNotOptimize(xk_re.data());
        benchmark::ClobberMemory();
    }
    kelvar_ip_kfft_v8_0_destroy_state(s);
}

void fftw_baseline(benchmark::State& bs, int nfft)
{
    const int n = 1 << nfft;
    std::vector<double> re, im;
    make_signal(n, false, re, im);
    fftw_complex* in = fftw_alloc_complex(n);
    fftw_complex* out = fftw_alloc_complex(n);
    fftw_plan plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
    for (auto _ : bs) {
        // The copy in mirrors the model's input conversion.
        for (int i = 0; i < n; ++i) {
            in[i][0] = re[i];
            in[i][1] = im[i];
        }
        fftw_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
}

std::string case_name(const Case& c)
{
    std::string s = std::string("Simulate/") + kArchName[c.arch] + "/" + kModeName[c.mode];
    if (c.mode != kFloat)
        s += c.rounding ? "/round" : "/trunc";
    if (c.width != 16 && c.mode != kFloat)
        s += "/w" + std::to_string(c.width);
    return s + "/" + std::to_string(1 << c.nfft);
}

std::string baseline_name(int nfft) { return "FFTW/" + std::to_string(1 << nfft); }

// Console output plus, at the end, each benchmark's CPU time per frame as a multiple of the
// FFTW baseline of the same length measured in the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter()
        : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular)
    {
    }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With --benchmark_repetitions the fastest repetition counts: on a shared machine the
        // others mostly measure the other load.
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration)
                continue;
            const std::string name = r.run_name.str();
            const double us = r.GetAdjustedCPUTime(); // in microseconds
            const auto it = cpu_us_.find(name);
            if (it == cpu_us_.end() || us < it->second)
                cpu_us_[name] = us;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nCPU time per frame, relative to FFTW of the same length:\n");
        for (const auto& [name, us] : cpu_us_) {
            if (name.rfind("Simulate/", 0) != 0)
                continue;
            const std::string len = name.substr(name.rfind('/') + 1);
            const auto base = cpu_us_.find("FFTW/" + len);
            if (base == cpu_us_.end() || base->second <= 0.0)
                continue;
            std::printf("  %-44s %10.2f us  %7.1fx\n", name.c_str() + 9, us, us / base->second);
        }
    }

private:
    std::map<std::string, double> cpu_us_;
};

void register_all()
{
    for (int nfft : { 10, 14 }) {
        benchmark::RegisterBenchmark(baseline_name(nfft).c_str(), fftw_baseline, nfft)
            ->Unit(benchmark::kMicrosecond);
        for (int arch : { 1, 2, 4, 3 })
            for (Mode m : { kScaled, kUnscaled, kBfp })
                for (int rnd : { 0, 1 }) {
                    const Case c { arch, m, rnd, nfft, 16 };
                    benchmark::RegisterBenchmark(case_name(c).c_str(), simulate, c)
                        ->Unit(benchmark::kMicrosecond);
                }
    }
    for (int arch : { 1, 2, 4, 3 }) {
        const Case wide { arch, kScaled, 0, 10, 34 };
        benchmark::RegisterBenchmark(case_name(wide).c_str(), simulate, wide)
            ->Unit(benchmark::kMicrosecond);
        const Case flt { arch, kFloat, 0, 10, 32 };
        benchmark::RegisterBenchmark(case_name(flt).c_str(), simulate, flt)
            ->Unit(benchmark::kMicrosecond);
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    register_all();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
