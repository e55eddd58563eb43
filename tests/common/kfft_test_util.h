// Helpers shared by the FFT interface tests: seeded randomness, stderr capture, an exact
// reference DFT and record builders.
#ifndef KFFT_TEST_UTIL_H
#define KFFT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kfft_v8_0_bitacc_cmodel.h"

namespace kfft_test {

// Seed of the randomised tests: KIP_TEST_SEED when set, else a fixed default.
inline uint32_t test_seed() {
    const char* s = std::getenv("KIP_TEST_SEED");
    return s != nullptr ? static_cast<uint32_t>(std::strtoul(s, nullptr, 10)) : 20240611u;
}

// Runs f with the standard error stream captured and returns what it wrote.
template <typename F>
std::string capture_stderr(F&& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// Splits captured text into lines (each message is exactly one line).
inline std::vector<std::string> lines_of(const std::string& text) {
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
                          int direction, std::vector<double>& out_re,
                          std::vector<double>& out_im) {
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
inline std::vector<double> random_samples(std::mt19937& rng, size_t n, int w, double amplitude) {
    const double s = std::ldexp(1.0, w - 1);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    std::vector<double> v(n);
    for (auto& x : v) {
        x = std::floor(dist(rng) * s) / s;
        if (x >= 1.0) x = (s - 1.0) / s;
        if (x < -1.0) x = -1.0;
    }
    return v;
}

}  // namespace kfft_test

#endif
