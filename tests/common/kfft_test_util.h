// Helpers shared by the FFT interface tests: seeded randomness, stderr capture, an exact
// reference DFT and record builders.
#ifndef KFFT_TEST_UTIL_H
#define KFFT_TEST_UTIL_H

#include "kip_test_seed.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kfft_v8_0_bitacc_cmodel.h"

namespace kfft_test {

// Runs f with the standard error stream captured and returns what it wrote.
template <typename F> std::string capture_stderr(F&& f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// Splits captured text into lines (each message is exactly one line).
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Exact-enough reference DFT in long double with exact twiddle angles reduced modulo N:
// X[k] = sum x[n] e^(-+j 2 pi nk / N) (forward for direction 1, inverse kernel for 0).
inline void reference_dft(const std::vector<double>& re, const std::vector<double>& im,
    int direction, std::vector<double>& out_re, std::vector<double>& out_im)
{
    const size_t n = re.size();
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<long double> c(n), s(n);
    for (size_t i = 0; i < n; ++i) {
        const long double a = 2.0L * pi * static_cast<long double>(i) / static_cast<long double>(n);
        c[i] = std::cos(a);
        s[i] = direction == 1 ? -std::sin(a) : std::sin(a);
    }
    out_re.assign(n, 0.0);
    out_im.assign(n, 0.0);
    for (size_t k = 0; k < n; ++k) {
        long double sr = 0.0L, si = 0.0L;
        for (size_t j = 0; j < n; ++j) {
            const size_t idx = (j * k) % n;
            sr += re[j] * c[idx] - im[j] * s[idx];
            si += re[j] * s[idx] + im[j] * c[idx];
        }
        out_re[k] = static_cast<double>(sr);
        out_im[k] = static_cast<double>(si);
    }
}

// Uniform random samples on the grid of a w-bit signed fraction, within +-amplitude.
inline std::vector<double> random_samples(std::mt19937& rng, size_t n, int w, double amplitude)
{
    const double s = std::ldexp(1.0, w - 1);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    std::vector<double> v(n);
    for (auto& x : v) {
        x = std::floor(dist(rng) * s) / s;
        if (x >= 1.0)
            x = (s - 1.0) / s;
        if (x < -1.0)
            x = -1.0;
    }
    return v;
}

// Owns one model state for the length of a test.
class State {
public:
    explicit State(const kelvar_ip_kfft_v8_0_generics& g)
        : g_(g)
        , s_(kelvar_ip_kfft_v8_0_create_state(g))
    {
    }
    ~State() { kelvar_ip_kfft_v8_0_destroy_state(s_); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    kelvar_ip_kfft_v8_0_state* get() const { return s_; }
    const kelvar_ip_kfft_v8_0_generics& generics() const { return g_; }

private:
    kelvar_ip_kfft_v8_0_generics g_;
    kelvar_ip_kfft_v8_0_state* s_;
};

// Generics with the given architecture and scaling mode (0 unscaled, 1 schedule, 2 block
// floating point) over the defaults.
inline kelvar_ip_kfft_v8_0_generics make_generics(
    int arch, int nfft_max, int mode, int width = 16, int twiddle = 16)
{
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_ARCH = arch;
    g.C_NFFT_MAX = nfft_max;
    g.C_INPUT_WIDTH = width;
    g.C_TWIDDLE_WIDTH = twiddle;
    g.C_HAS_SCALING = mode == 0 ? 0 : 1;
    g.C_HAS_BFP = mode == 2 ? 1 : 0;
    return g;
}

// A schedule that cannot overflow for inputs of magnitude below 1/sqrt(2): 1 per radix-2 stage,
// 2 per radix-4 step (1 for the final radix-2 step of an odd length).
inline std::vector<int32_t> safe_schedule(int arch, int nfft)
{
    if (arch == 2 || arch == 4)
        return std::vector<int32_t>(static_cast<size_t>(nfft), 1);
    std::vector<int32_t> s(static_cast<size_t>((nfft + 1) / 2), 2);
    if (nfft & 1)
        s.back() = 1;
    return s;
}

// One frame's inputs and outputs with their storage.
struct Frame {
    std::vector<double> re, im, out_re, out_im;
    std::vector<int32_t> sch;
    kelvar_ip_kfft_v8_0_inputs in {};
    kelvar_ip_kfft_v8_0_outputs out {};

    Frame(int nfft, std::vector<double> r, std::vector<double> i, std::vector<int32_t> s,
        int direction = 1)
        : re(std::move(r))
        , im(std::move(i))
        , sch(std::move(s))
    {
        const size_t n = size_t { 1 } << nfft;
        out_re.assign(n, -7.0);
        out_im.assign(n, -7.0);
        in.nfft = nfft;
        in.direction = direction;
        bind();
    }
    Frame(int nfft, int arch)
        : Frame(nfft, std::vector<double>(size_t { 1 } << nfft, 0.0),
            std::vector<double>(size_t { 1 } << nfft, 0.0), safe_schedule(arch, nfft))
    {
    }
    // Points the records at the vectors (call again after resizing one).
    void bind()
    {
        in.xn_re = re.data();
        in.xn_re_size = static_cast<int32_t>(re.size());
        in.xn_im = im.data();
        in.xn_im_size = static_cast<int32_t>(im.size());
        in.scaling_sch = sch.data();
        in.scaling_sch_size = static_cast<int32_t>(sch.size());
        out.xk_re = out_re.data();
        out.xk_re_size = static_cast<int32_t>(out_re.size());
        out.xk_im = out_im.data();
        out.xk_im_size = static_cast<int32_t>(out_im.size());
        out.blk_exp = -5;
        out.overflow = -5;
    }
    int simulate(kelvar_ip_kfft_v8_0_state* s)
    {
        return kelvar_ip_kfft_v8_0_bitacc_simulate(s, &in, &out);
    }
};

// Largest complex-magnitude difference between the model's bins, multiplied by 2^shift, and
// the reference; the index of the worst bin goes to worst.
inline double max_error(const Frame& f, const std::vector<double>& ref_re,
    const std::vector<double>& ref_im, int shift, size_t* worst = nullptr)
{
    double m = 0.0;
    for (size_t k = 0; k < ref_re.size(); ++k) {
        const double dr = std::ldexp(f.out_re[k], shift) - ref_re[k];
        const double di = std::ldexp(f.out_im[k], shift) - ref_im[k];
        const double e = std::sqrt(dr * dr + di * di);
        if (!(e <= m)) {
            m = e;
            if (worst != nullptr)
                *worst = k;
        }
    }
    return m;
}

// Worst-case error bound, in transform units, of a fixed-point frame of 2^nfft points whose
// engine output quantum is 2^-(iw-1) * 2^shift (the same for every mode once the input
// prescaling is undone): every radix-2 level adds at most one quantum per part (twiddle
// product rounding adds a fraction of one), amplified by at most 2 per later level, and
// every level's twiddle error (2^-tw per part) acts on partial sums of at most 2^level * amax.
inline double fixed_bound(int nfft, int iw, int tw, int shift, double amax)
{
    const double n = std::ldexp(1.0, nfft);
    const double q = std::ldexp(1.0, shift - (iw - 1));
    return 2.0 * std::sqrt(2.0) * (n * q + nfft * n * std::ldexp(1.0, -tw) * amax);
}

// Largest complex magnitude of a frame.
inline double max_magnitude(const std::vector<double>& re, const std::vector<double>& im)
{
    double m = 0.0;
    for (size_t i = 0; i < re.size(); ++i)
        m = std::max(m, std::hypot(re[i], im[i]));
    return m;
}

} // namespace kfft_test

#endif
