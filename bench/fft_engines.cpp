// One scaled frame per architecture at 1,024 and 16,384 points, with a double-precision
// FFTW transform of the same length timed in the same run as the baseline. An engine frame
// is what a simulate call asks of it: set the frame, load N samples, run, read N bins.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "engines.h"
#include "fft_config.h"

namespace {

kelvar_ip_kfft_v8_0_generics generics(int nfft, int arch)
{
    return kelvar_ip_kfft_v8_0_generics { nfft, arch, 0, 0, 16, 16, 1, 0, 0 };
}

struct Input {
    std::vector<double> re, im;
};

Input random_input(int n)
{
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<int> d(-32768, 32767);
    Input in;
    for (int i = 0; i < n; ++i) {
        in.re.push_back(std::ldexp(d(rng), -15));
        in.im.push_back(std::ldexp(d(rng), -15));
    }
    return in;
}

template <class Engine> void engine_frame(benchmark::State& state, int arch, int natural_shift)
{
    const int nfft = static_cast<int>(state.range(0));
    const int n = 1 << nfft;
    FFT_CONFIG cfg = derive_fft_config(generics(nfft, arch));
    TWIDDLE_ROM rom(nfft, 16);
    auto eng = std::make_unique<Engine>(cfg);
    const Input in = random_input(n);
    const int steps = arch == 2 ? nfft : (nfft + 1) / 2;
    std::vector<int32_t> sched(steps, natural_shift);
    std::vector<double> out_re(n), out_im(n);
    set_frame_geometry(cfg, nfft);
    for (auto _ : state) {
        eng->set_frame(cfg);
        for (int i = 0; i < n; ++i)
            eng->load_input(i, in.re[i], in.im[i]);
        eng->set_scaling_schedule(FFT::pack_schedule(sched.data(), steps));
        eng->set_direction(1);
        eng->run(rom);
        for (int k = 0; k < n; ++k)
            eng->read_output(k, out_re[k], out_im[k]);
        benchmark::DoNotOptimize(out_re.data());
        benchmark::ClobberMemory();
    }
}

void BM_R4_burst(benchmark::State& s) { engine_frame<R4_loop>(s, 1, 2); }
void BM_R2_burst(benchmark::State& s) { engine_frame<R2_loop>(s, 2, 1); }
void BM_R22_pipelined(benchmark::State& s) { engine_frame<R22_pipeline>(s, 3, 2); }

void BM_FFTW_double(benchmark::State& state)
{
    const int n = 1 << state.range(0);
    fftw_complex* in = fftw_alloc_complex(n);
    fftw_complex* out = fftw_alloc_complex(n);
    fftw_plan plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
    const Input src = random_input(n);
    for (int i = 0; i < n; ++i) {
        in[i][0] = src.re[i];
        in[i][1] = src.im[i];
    }
    for (auto _ : state) {
        fftw_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
}

} // namespace

BENCHMARK(BM_FFTW_double)->Arg(10)->Arg(14)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_R4_burst)->Arg(10)->Arg(14)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_R2_burst)->Arg(10)->Arg(14)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_R22_pipelined)->Arg(10)->Arg(14)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
