// Test harness for the FFT engines: drives an engine through one frame the way the
// simulate call does, computes the exact DFT in long double and a worst-case error bound
// derived from the register widths of each datapath.
#ifndef KFFT_TEST_FFT_ENGINE_HARNESS_H
#define KFFT_TEST_FFT_ENGINE_HARNESS_H

#include "kip_test_seed.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engines.h"
#include "fft_config.h"

namespace fft_test {

using cld = std::complex<long double>;

inline kelvar_ip_kfft_v8_0_generics generics(
    int M, int arch, int iw, int tw, int scaling, int bfp, int rounding, int flt = 0)
{
    kelvar_ip_kfft_v8_0_generics g {};
    g.C_NFFT_MAX = M;
    g.C_ARCH = arch;
    g.C_HAS_NFFT = 1;
    g.C_USE_FLT_PT = flt;
    g.C_INPUT_WIDTH = iw;
    g.C_TWIDDLE_WIDTH = tw;
    g.C_HAS_SCALING = scaling;
    g.C_HAS_BFP = bfp;
    g.C_HAS_ROUNDING = rounding;
    return g;
}

// One frame of samples in input units.
struct Frame {
    std::vector<double> re, im;
};

// Random samples on the grid of iw-bit words with |part| <= bound (bound a power of two
// not above 1; -bound itself can occur).
inline Frame random_frame(int n, int iw, double bound, std::mt19937_64& rng)
{
    const int64_t lim = static_cast<int64_t>(std::ldexp(bound, iw - 1));
    std::uniform_int_distribution<int64_t> d(-lim, lim - 1);
    Frame f;
    for (int i = 0; i < n; ++i) {
        f.re.push_back(std::ldexp(static_cast<double>(d(rng)), 1 - iw));
        f.im.push_back(std::ldexp(static_cast<double>(d(rng)), 1 - iw));
    }
    return f;
}

inline Frame impulse_frame(int n, double value, int at = 0)
{
    Frame f;
    f.re.assign(n, 0.0);
    f.im.assign(n, 0.0);
    f.re[at] = value;
    return f;
}

// Exact forward DFT, X[k] = sum x[n] e^(-j 2 pi n k / N), in long double.
inline std::vector<cld> dft_forward(const Frame& f)
{
    const size_t n = f.re.size();
    std::vector<cld> w(n), x(n), out(n);
    const long double pi = 3.141592653589793238462643383279502884L;
    for (size_t i = 0; i < n; ++i) {
        const long double a = -2 * pi * static_cast<long double>(i) / static_cast<long double>(n);
        w[i] = cld(std::cos(a), std::sin(a));
        x[i] = cld(f.re[i], f.im[i]);
    }
    for (size_t k = 0; k < n; ++k) {
        long double sr = 0, si = 0;
        size_t idx = 0;
        for (size_t i = 0; i < n; ++i) {
            const cld& wk = w[idx];
            sr += x[i].real() * wk.real() - x[i].imag() * wk.imag();
            si += x[i].real() * wk.imag() + x[i].imag() * wk.real();
            idx += k;
            if (idx >= n)
                idx -= n;
        }
        out[k] = cld(sr, si);
    }
    return out;
}

// Inverse kernel e^(+j 2 pi n k / N) without 1/N: bin k of the inverse is bin -k of the
// forward transform.
inline std::vector<cld> dft(const std::vector<cld>& fwd, bool forward)
{
    if (forward)
        return fwd;
    const size_t n = fwd.size();
    std::vector<cld> out(n);
    for (size_t k = 0; k < n; ++k)
        out[k] = fwd[(n - k) % n];
    return out;
}

inline long double max_magnitude(const Frame& f)
{
    long double m = 0;
    for (size_t i = 0; i < f.re.size(); ++i)
        m = std::max(
            m, std::hypot(static_cast<long double>(f.re[i]), static_cast<long double>(f.im[i])));
    return m;
}

struct Result {
    std::vector<double> re, im;
    int blk_exp = 0;
    int overflow = 0;
    std::vector<int> shifts;
};

// Runs one frame the way the simulate call drives an engine.
template <class Engine>
Result run_frame(Engine& eng, const TWIDDLE_ROM& rom, FFT_CONFIG cfg, int nfft, const Frame& f,
    int direction, uint32_t schedule)
{
    Result r;
    EXPECT_TRUE(set_frame_geometry(cfg, nfft));
    EXPECT_TRUE(eng.set_frame(cfg));
    const int n = 1 << nfft;
    for (int i = 0; i < n; ++i)
        EXPECT_TRUE(eng.load_input(i, f.re[i], f.im[i]));
    eng.set_scaling_schedule(schedule);
    eng.set_direction(direction);
    EXPECT_TRUE(eng.run(rom));
    r.re.resize(n);
    r.im.resize(n);
    for (int k = 0; k < n; ++k)
        EXPECT_TRUE(eng.read_output(k, r.re[k], r.im[k]));
    r.blk_exp = eng.block_exponent();
    r.overflow = eng.overflow();
    for (int t = 0; t < nfft; ++t)
        r.shifts.push_back(eng.stage_shift(t));
    return r;
}

// ---------------------------------------------------------------------------------------
// Error bounds, in the engine's units, of every output bin against the exact transform
// (scaled by the total right shift). E tracks the worst error (complex magnitude) and A
// the largest true magnitude after each stage. A twiddle factor is off by at most half a
// unit of its TW - 1 fraction bits per part; a rounded product by at most one unit of the
// kept fraction bits (conservatively); an output quantisation by at most one unit.

inline long double ulp_c(int f) { return std::sqrt(2.0L) * std::ldexp(1.0L, -f); }

struct Bound {
    long double E = 0;
    long double A = 0;
    long double peak = 0; // largest A after any stage (overflow safety)
};

// Radix-4 burst: stage shifts s[t] for the R radix-4 stages and (odd nfft) the radix-2 stage.
inline Bound bound_r4(int nfft, int W, int TW, const std::vector<int>& s, long double A0)
{
    const long double ew = std::sqrt(2.0L) * std::ldexp(1.0L, -TW), wmax = 1 + ew;
    Bound b { 0, A0, A0 };
    const int R = nfft / 2;
    for (int t = 0; t < R + (nfft & 1); ++t) {
        const long double sc = std::ldexp(1.0L, -s[t]);
        const int terms = t < R ? 3 : 1;
        const int radix = t < R ? 4 : 2;
        b.E = (b.E * (1 + terms * wmax) + terms * (b.A + b.E) * ew + terms * ulp_c(W + 2)) * sc
            + ulp_c(W - 1);
        b.A = radix * b.A * sc;
        b.peak = std::max(b.peak, b.A + b.E);
    }
    return b;
}

inline Bound bound_r2(int nfft, int W, int TW, const std::vector<int>& s, long double A0)
{
    const long double ew = std::sqrt(2.0L) * std::ldexp(1.0L, -TW), wmax = 1 + ew;
    Bound b { 0, A0, A0 };
    for (int t = 0; t < nfft; ++t) {
        const long double sc = std::ldexp(1.0L, -s[t]);
        b.E = (b.E * (1 + wmax) + (b.A + b.E) * ew + ulp_c(W + 2)) * sc + ulp_c(W - 1);
        b.A = 2 * b.A * sc;
        b.peak = std::max(b.peak, b.A + b.E);
    }
    return b;
}

// Pipelined: memory units (P - 1 fraction bits); s[t] the shift applied at stage t.
inline Bound bound_r22(
    int nfft, int M, int P, int TW, bool scaled, const std::vector<int>& s, long double A0)
{
    const long double ew = std::sqrt(2.0L) * std::ldexp(1.0L, -TW), wmax = 1 + ew;
    const int G = scaled ? P + 4 : P + 5;
    const int Lf = (M % 2 == 0) ? P + 1 : P + 2;
    Bound b { 0, A0, A0 };
    for (int t = 0; t < nfft; ++t) {
        const bool last = t == nfft - 1;
        const long double sc = scaled ? std::ldexp(1.0L, -s[t]) : 1.0L;
        const long double EB = 2 * b.E, AB = 2 * b.A;
        if ((t & 1) == 0) {
            b.E = (last && scaled) ? EB * sc + ulp_c(P - 1) : EB;
        } else if (!last) {
            const long double ET = EB * wmax + (AB + EB) * ew + ulp_c(G);
            b.E = ET * sc + ulp_c(P - 1);
        } else {
            b.E = scaled ? EB * sc + ulp_c(Lf) + ulp_c(P - 1) : EB;
        }
        b.A = AB * sc;
        b.peak = std::max(b.peak, b.A + b.E);
    }
    return b;
}

// Compares engine outputs with expected = exact * scale; every bin within bound.
// Returns the number of failing bins (reports the first) and checks that the bound is
// tight enough to expose a wrong operand, twiddle or direction (at most a quarter of the
// RMS of the expected output) unless the expected output is all zero.
inline int compare_with_dft(const Result& r, const std::vector<cld>& exact, long double scale,
    long double bound, const std::string& what, bool check_power = true)
{
    const size_t n = exact.size();
    long double power = 0;
    for (size_t k = 0; k < n; ++k)
        power += std::norm(exact[k] * scale);
    const long double rms = std::sqrt(power / n);
    if (check_power && rms > 0) {
        EXPECT_LE(bound, rms / 4) << what << ": error bound " << static_cast<double>(bound)
                                  << " too loose for output RMS " << static_cast<double>(rms);
    }
    int bad = 0;
    for (size_t k = 0; k < n; ++k) {
        const cld y(r.re[k], r.im[k]);
        const long double err = std::abs(y - exact[k] * scale);
        if (!(err <= bound * (1 + 1e-9L))) {
            if (bad == 0)
                ADD_FAILURE() << what << ": bin " << k << " = (" << r.re[k] << ", " << r.im[k]
                              << "), expected (" << static_cast<double>((exact[k] * scale).real())
                              << ", " << static_cast<double>((exact[k] * scale).imag())
                              << "), error " << static_cast<double>(err) << " > bound "
                              << static_cast<double>(bound);
            ++bad;
        }
    }
    return bad;
}

inline std::string describe(const char* arch, int nfft, int iw, int tw, const char* mode,
    int rounding, int direction, const std::vector<int>& sched, uint64_t seed)
{
    std::ostringstream os;
    os << arch << " nfft=" << nfft << " iw=" << iw << " tw=" << tw << " mode=" << mode
       << " rounding=" << rounding << " direction=" << direction << " schedule=[";
    for (size_t i = 0; i < sched.size(); ++i)
        os << (i ? "," : "") << sched[i];
    os << "] KIP_TEST_SEED=" << seed;
    return os.str();
}

inline uint32_t pack(const std::vector<int>& sched)
{
    std::vector<int32_t> v(sched.begin(), sched.end());
    return FFT::pack_schedule(v.data(), static_cast<int32_t>(v.size()));
}

// Largest power-of-two part bound that keeps every stage below 0.95 in magnitude for a
// worst-case growth of 'growth' (complex magnitude of a part-bounded sample: bound * sqrt 2).
inline double part_bound_for(long double growth)
{
    double b = 0.5;
    while (b * std::sqrt(2.0) * static_cast<double>(growth) > 0.9 && b > 1e-6)
        b /= 2;
    return b;
}

// ---------------------------------------------------------------------------------------
// Per-architecture description used by the sweeps.

struct R4Traits {
    using Engine = R4_loop;
    static constexpr int arch = 1;
    static constexpr const char* name = "radix-4";
    static constexpr int fp_input_width = 29; // input width of the floating-point interface
    static int min_nfft() { return 6; }
    static int sched_len(int nfft) { return (nfft + 1) / 2; }
    static int stages(int nfft) { return nfft / 2 + (nfft & 1); }
    // Shift applied by each stage for a scaled schedule.
    static std::vector<int> stage_shifts(int, const std::vector<int>& sched) { return sched; }
    static int first_bfp_shift(int h) { return std::max(2 - h, 0); }
    static Bound bound(
        int nfft, int, int W, int TW, bool, const std::vector<int>& s, long double A0)
    {
        return bound_r4(nfft, W, TW, s, A0);
    }
};

struct R2Traits {
    using Engine = R2_loop;
    static constexpr int arch = 2;
    static constexpr const char* name = "radix-2";
    static constexpr int fp_input_width = 28; // input width of the floating-point interface
    static int min_nfft() { return 3; }
    static int sched_len(int nfft) { return nfft; }
    static int stages(int nfft) { return nfft; }
    static std::vector<int> stage_shifts(int, const std::vector<int>& sched) { return sched; }
    static int first_bfp_shift(int h) { return std::max(1 - h, 0); }
    static Bound bound(
        int nfft, int, int W, int TW, bool, const std::vector<int>& s, long double A0)
    {
        return bound_r2(nfft, W, TW, s, A0);
    }
};

struct R22Traits {
    using Engine = R22_pipeline;
    static constexpr int arch = 3;
    static constexpr const char* name = "pipelined";
    static constexpr int fp_input_width = 27; // input width of the floating-point interface
    static int min_nfft() { return 3; }
    static int sched_len(int nfft) { return (nfft + 1) / 2; }
    static int stages(int nfft) { return nfft; }
    static std::vector<int> stage_shifts(int nfft, const std::vector<int>& sched)
    {
        std::vector<int> s(nfft, 0);
        for (int t = 0; t < nfft; ++t) {
            if (t & 1)
                s[t] = sched[t / 2];
            else if (t == nfft - 1)
                s[t] = sched[t / 2] & 1;
        }
        return s;
    }
    static Bound bound(
        int nfft, int M, int P, int TW, bool scaled, const std::vector<int>& s, long double A0)
    {
        return bound_r22(nfft, M, P, TW, scaled, s, A0);
    }
};

// Three scaling schedules per length: the natural one (growth cancelled at every step),
// alternating heavy and light shifts, and light shifts first with heavy ones last. A final
// radix-2 step of the radix-4 and pipelined engines shifts by 0 or 1 only.
template <class T> std::vector<int> schedule(int nfft, int which)
{
    const int len = T::sched_len(nfft);
    const bool radix2 = T::arch == 2;
    const int natural = radix2 ? 1 : 2;
    std::vector<int> s(len);
    for (int i = 0; i < len; ++i) {
        if (which == 0)
            s[i] = natural;
        else if (which == 1)
            s[i] = (i % 2 == 0) ? natural + 1 : natural - 1;
        else
            s[i] = (3 * i < len) ? natural - 1 : (3 * i < 2 * len) ? natural : natural + 1;
    }
    if (!radix2 && (nfft & 1))
        s[len - 1] = which == 1 ? 0 : 1;
    return s;
}

// Redundant sign bits (0..3) of a w-bit word holding x (w - 1 fraction bits).
inline int redundant_sign_bits(double x, int w)
{
    const int64_t v = static_cast<int64_t>(std::floor(std::ldexp(x, w - 1)));
    const int sign = v < 0;
    int h = 0;
    while (h < 3 && ((v >> (w - 2 - h)) & 1) == sign)
        ++h;
    return h;
}

struct SweepOptions {
    std::vector<int> modes { 0, 1, 2, 3, 4 }; // scaled schedules 0..2, unscaled, BFP
    std::vector<int> roundings { 0, 1 };
    std::vector<int> directions { 1, 0 };
    bool full_scale_extra = true; // one more unscaled/BFP frame at full scale
};

// Runs every selected mode, rounding and direction for one architecture, length and
// widths against the exact DFT. C_NFFT_MAX is M (M >= nfft exercises the run-time length).
template <class T> void sweep(int M, int nfft, int iw, int tw, const SweepOptions& opt)
{
    const uint64_t seed = kip_test::seed();
    std::mt19937_64 rng(seed ^ (uint64_t(T::arch) << 40) ^ (uint64_t(M) << 32)
        ^ (uint64_t(nfft) << 24) ^ (uint64_t(iw) << 8) ^ uint64_t(tw));
    const int n = 1 << nfft;
    TWIDDLE_ROM rom(M, tw);

    // Frames and their exact transforms, by part bound.
    std::map<double, std::pair<Frame, std::vector<cld>>> frames;
    auto frame_for = [&](double bound) -> const std::pair<Frame, std::vector<cld>>& {
        auto it = frames.find(bound);
        if (it == frames.end()) {
            Frame f = random_frame(n, iw, bound, rng);
            auto X = dft_forward(f);
            it = frames.emplace(bound, std::make_pair(std::move(f), std::move(X))).first;
        }
        return it->second;
    };

    for (int rnd : opt.roundings) {
        const FFT_CONFIG c_sc = derive_fft_config(generics(M, T::arch, iw, tw, 1, 0, rnd));
        const FFT_CONFIG c_un = derive_fft_config(generics(M, T::arch, iw, tw, 0, 0, rnd));
        const FFT_CONFIG c_bfp = derive_fft_config(generics(M, T::arch, iw, tw, 1, 1, rnd));
        auto e_sc = std::make_unique<typename T::Engine>(c_sc);
        auto e_un = std::make_unique<typename T::Engine>(c_un);
        auto e_bfp = std::make_unique<typename T::Engine>(c_bfp);

        for (int dir : opt.directions) {
            for (int mode : opt.modes) {
                if (mode <= 2) {
                    // Scaled by a schedule.
                    const std::vector<int> sched = schedule<T>(nfft, mode);
                    const std::vector<int> shifts = T::stage_shifts(nfft, sched);
                    const long double growth = T::bound(nfft, M, iw, tw, true, shifts, 1).peak;
                    const double pb = part_bound_for(growth);
                    const auto& fx = frame_for(pb);
                    const std::string what
                        = describe(T::name, nfft, iw, tw, "scaled", rnd, dir, sched, seed);
                    SCOPED_TRACE(what);
                    const Result r = run_frame(*e_sc, rom, c_sc, nfft, fx.first, dir, pack(sched));
                    int total = 0;
                    for (int t = 0; t < T::stages(nfft); ++t) {
                        EXPECT_EQ(r.shifts[t], shifts[t]) << "stage " << t;
                        total += shifts[t];
                    }
                    EXPECT_EQ(r.overflow, 0);
                    const Bound b
                        = T::bound(nfft, M, iw, tw, true, shifts, max_magnitude(fx.first));
                    ASSERT_LT(b.peak, 1.0L);
                    compare_with_dft(
                        r, dft(fx.second, dir == 1), std::ldexp(1.0L, -total), b.E, what);
                } else if (mode == 3) {
                    // Unscaled: the engine's words hold input / 2^(M+1).
                    for (double pb : { 0.5, 1.0 }) {
                        if (pb == 1.0 && !opt.full_scale_extra)
                            continue;
                        const auto& fx = frame_for(pb);
                        const std::string what = describe(T::name, nfft, iw, tw,
                            pb == 1.0 ? "unscaled full scale" : "unscaled", rnd, dir, {}, seed);
                        SCOPED_TRACE(what);
                        const Result r = run_frame(*e_un, rom, c_un, nfft, fx.first, dir, 0);
                        const long double unit = std::ldexp(1.0L, -(M + 1));
                        const std::vector<int> zero(nfft, 0);
                        const Bound b = T::bound(nfft, M, c_un.data_width, tw, false, zero,
                            max_magnitude(fx.first) * unit);
                        EXPECT_EQ(r.blk_exp, 0);
                        compare_with_dft(r, dft(fx.second, dir == 1), unit, b.E, what);
                    }
                } else {
                    for (double pb : { 0.5, 1.0 }) {
                        if (pb == 1.0 && !opt.full_scale_extra)
                            continue;
                        const auto& fx = frame_for(pb);
                        const std::string what = describe(T::name, nfft, iw, tw,
                            pb == 1.0 ? "bfp full scale" : "bfp", rnd, dir, {}, seed);
                        SCOPED_TRACE(what);
                        const Result r = run_frame(*e_bfp, rom, c_bfp, nfft, fx.first, dir, 0);
                        if constexpr (T::arch == 3) {
                            // The frame runs unscaled at full growth, then is normalised
                            // once: the same as the unscaled frame shifted down.
                            const Result u = run_frame(*e_un, rom, c_un, nfft, fx.first, dir, 0);
                            const int P = e_bfp->internal_width();
                            ASSERT_EQ(P, e_un->internal_width());
                            // Smallest e bringing the value of largest magnitude into [-1, 1)
                            // in input units (the imaginary part wins ties within a word).
                            long double m = 0;
                            for (int k = 0; k < n; ++k) {
                                const long double c
                                    = std::fabs(u.im[k]) >= std::fabs(u.re[k]) ? u.im[k] : u.re[k];
                                if (std::fabs(c) > std::fabs(m))
                                    m = c;
                            }
                            m = std::ldexp(m, M + 1);
                            int e = 0;
                            while (!(m >= -std::ldexp(1.0L, e) && m < std::ldexp(1.0L, e)))
                                ++e;
                            EXPECT_EQ(r.blk_exp, e);
                            for (int k = 0; k < n; ++k) {
                                const double er
                                    = std::ldexp(std::floor(std::ldexp(u.re[k], P - 1 - e)), 1 - P);
                                const double ei
                                    = std::ldexp(std::floor(std::ldexp(u.im[k], P - 1 - e)), 1 - P);
                                if (r.re[k] != er || r.im[k] != ei) {
                                    ADD_FAILURE() << "bin " << k
                                                  << " differs from the normalised unscaled frame";
                                    break;
                                }
                            }
                            const long double unit = std::ldexp(1.0L, -(M + 1));
                            const std::vector<int> zero(nfft, 0);
                            const Bound b = T::bound(
                                nfft, M, P, tw, false, zero, max_magnitude(fx.first) * unit);
                            compare_with_dft(r, dft(fx.second, dir == 1), std::ldexp(unit, -e),
                                std::ldexp(b.E, -e) + ulp_c(P - 1), what);
                        } else {
                            // Stage shifts chosen at run time: the first from the input
                            // headroom; together they make the block exponent; with them as
                            // a schedule the scaled datapath gives the same bits.
                            int h = 32;
                            for (int i = 0; i < n; ++i)
                                h = std::min({ h, redundant_sign_bits(fx.first.re[i], iw),
                                    redundant_sign_bits(fx.first.im[i], iw) });
                            ASSERT_FALSE(r.shifts.empty());
                            EXPECT_EQ(r.shifts[0], T::first_bfp_shift(h));
                            std::vector<int> shifts(
                                r.shifts.begin(), r.shifts.begin() + T::stages(nfft));
                            int total = 0;
                            for (int s : shifts)
                                total += s;
                            EXPECT_EQ(r.blk_exp, total);
                            const Result sc
                                = run_frame(*e_sc, rom, c_sc, nfft, fx.first, dir, pack(shifts));
                            EXPECT_EQ(sc.overflow, r.overflow);
                            for (int k = 0; k < n; ++k) {
                                if (r.re[k] != sc.re[k] || r.im[k] != sc.im[k]) {
                                    ADD_FAILURE()
                                        << "bin " << k
                                        << " differs from the scaled run with the same shifts";
                                    break;
                                }
                            }
                            if (r.overflow == 0) {
                                const Bound b = T::bound(
                                    nfft, M, iw, tw, true, shifts, max_magnitude(fx.first));
                                compare_with_dft(r, dft(fx.second, dir == 1),
                                    std::ldexp(1.0L, -total), b.E, what);
                            }
                        }
                    }
                }
            }
        }
    }
}

} // namespace fft_test

#endif // KFFT_TEST_FFT_ENGINE_HARNESS_H
