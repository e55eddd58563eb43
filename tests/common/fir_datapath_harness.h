// Helpers for data-path tests of the FIR model: a model with recorded messages, array records
// with set dimensions, and a reference model computed the plain way (exact integers, direct
// convolution of the zero-stuffed input, integer rounding).
#ifndef KIP_TESTS_FIR_DATAPATH_HARNESS_H
#define KIP_TESTS_FIR_DATAPATH_HARNESS_H

#include "kip_test_seed.h"
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "fir_guard.h"
#include "fir_message_log.h"
#include "fir_owned_array.h"
#include "kip_array.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace fir_test {

inline kip_fir_v6_3_config defaults()
{
    kip_fir_v6_3_config c;
    kip_fir_v6_3_default_config(&c);
    return c;
}

// A model built through the C interface; messages and (optionally) debug notes recorded.
struct Model {
    FirMessageLog log, dbg;
    kip_fir_v6_3* h = nullptr;
    explicit Model(const kip_fir_v6_3_config& c, bool debug = false)
    {
        h = debug ? kip_fir_v6_3_create_dbg(
                &c, &FirMessageLog::record_message, &log, &FirMessageLog::record_message, &dbg)
                  : kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
    }
    ~Model() { kip_fir_v6_3_destroy(h); }
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;
    FIR& fir() { return *kip_fir_from_handle(h); }
    // Samples waiting in the output FIFO of (path, chan), in either arithmetic.
    size_t waiting(size_t p, size_t ch)
    {
        return fir().use_mpz ? fir().dout_buffer_mpz[p][ch].size()
                             : fir().dout_buffer[p][ch].size();
    }
};

template <class A> using Array = kip_fir::OwnedArray<A>;

// An array with the given dimensions, data_size their product and that many elements reserved
// (plus `extra`).
template <class A> Array<A> make_array(std::initializer_list<size_t> dims, size_t extra = 0)
{
    Array<A> a = kip_fir::make_owned_array<A>();
    kip_fir::array_reserve_dim(*a, dims.size());
    a->dim_size = dims.size();
    size_t n = 1, i = 0;
    for (size_t d : dims) {
        a->dim[i++] = d;
        n *= d;
    }
    kip_fir::array_reserve_data(*a, n + extra);
    // Reserved storage of the plain families is uninitialised: start from zeros so that no
    // test depends on what malloc returned (a NaN there is refused by data_send).
    if constexpr (kip_fir::ArrayFamily<A>::trait == KIP_TYPE_TRAIT_PLAIN)
        for (size_t i = 0; i < n + extra; ++i)
            a->data[i] = {};
    a->data_size = n;
    return a;
}

// ---------------------------------------------------------------- reference model

// Coefficient code: c * scale rounded to nearest, halves towards zero, wrapped to `width` bits.
inline mpz_class ref_coeff_code(double c_scaled, int width)
{
    double i;
    const double f = std::modf(c_scaled, &i);
    double code = i;
    if (f > 0.5)
        code = i + 1;
    if (f < -0.5)
        code = i - 1;
    mpz_class z;
    mpz_set_d(z.get_mpz_t(), code);
    const mpz_class mod = mpz_class(1) << width, half = mpz_class(1) << (width - 1);
    z = z + half;
    mpz_fdiv_r(z.get_mpz_t(), z.get_mpz_t(), mod.get_mpz_t());
    return z - half;
}

// Two's complement wrap of an integer code to `width` bits.
inline mpz_class ref_wrap(const mpz_class& x, int width)
{
    const mpz_class mod = mpz_class(1) << width, half = mpz_class(1) << (width - 1);
    mpz_class z = x + half;
    mpz_fdiv_r(z.get_mpz_t(), z.get_mpz_t(), mod.get_mpz_t());
    return z - half;
}

// Input code: floor(x * 2^frac) wrapped to `width` bits.
inline mpz_class ref_data_code(double x, int width, int frac)
{
    mpz_class z;
    mpz_set_d(z.get_mpz_t(), std::floor(std::ldexp(x, frac)));
    return ref_wrap(z, width);
}

// x / 2^shift rounded by output_rounding rule 0..7 (0: x unchanged).
inline mpz_class ref_round(const mpz_class& x, unsigned shift, int rule)
{
    if (rule == 0 || shift == 0)
        return x;
    const mpz_class d = mpz_class(1) << shift;
    mpz_class fl, rem;
    mpz_fdiv_qr(fl.get_mpz_t(), rem.get_mpz_t(), x.get_mpz_t(), d.get_mpz_t());
    if (rule == 1 || rem == 0)
        return fl; // towards minus infinity
    const int c = cmp(2 * rem, d);
    if (c < 0)
        return fl;
    if (c > 0)
        return fl + 1;
    const bool negative = x < 0; // the tie lies between fl and fl + 1
    switch (rule) {
    case 2:
        return negative ? fl + 1 : fl; // towards zero
    case 3:
        return negative ? fl : fl + 1; // away from zero
    case 4:
        return mpz_even_p(fl.get_mpz_t()) ? fl : fl + 1;
    case 5:
        return mpz_odd_p(fl.get_mpz_t()) ? fl : fl + 1;
    case 6:
        return fl;
    default:
        return fl + 1;
    }
}

// Direct convolution of the L-fold zero-stuffed input with the taps, one output every M
// stuffed samples: y[m] = sum_j taps[j] * u[m*M + d - j], d = 0 if L > M else M - 1, for every
// output whose newest sample has been received.
inline std::vector<mpz_class> ref_filter(
    const std::vector<mpz_class>& taps, int L, int M, const std::vector<mpz_class>& x)
{
    std::vector<mpz_class> y;
    const long long d = L > M ? 0 : M - 1;
    const long long total = static_cast<long long>(x.size()) * L;
    for (long long m = 0; m * M + d < total; ++m) {
        const long long t = m * M + d;
        mpz_class acc = 0;
        for (long long j = 0; j < static_cast<long long>(taps.size()); ++j) {
            const long long i = t - j;
            if (i < 0)
                break;
            if (i % L == 0)
                acc += taps[static_cast<size_t>(j)] * x[static_cast<size_t>(i / L)];
        }
        y.push_back(acc);
    }
    return y;
}

// The coefficient set the kernels use: padding, then each code followed by zpf - 1 zeros for
// zero-packed filters.
inline std::vector<mpz_class> ref_taps(
    const kip_fir_v6_3_config& c, const double* coeff, double coeff_scale_times_frac)
{
    const int zpf = c.filter_type == 4 ? c.zero_pack_factor : 1;
    std::vector<mpz_class> taps(static_cast<size_t>(c.coeff_padding * zpf), 0);
    for (int i = 0; i < c.num_coeffs; ++i) {
        taps.push_back(ref_coeff_code(coeff[i] * coeff_scale_times_frac, c.coeff_width));
        for (int z = 1; z < zpf; ++z)
            taps.push_back(0);
    }
    return taps;
}

// Kernel rates from the caller's record.
inline void ref_rates(const kip_fir_v6_3_config& c, int& L, int& M)
{
    L = M = 1;
    if (c.rate_change == 1) {
        L = c.interp_rate;
        M = c.decim_rate;
    } else if (c.filter_type == 1) {
        L = c.interp_rate;
    } else if (c.filter_type == 2) {
        M = c.decim_rate;
    }
}

// Index of the first difference of two sequences, or -1.
template <class T> long first_difference(const std::vector<T>& a, const std::vector<T>& b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
        if (!(a[i] == b[i]))
            return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

} // namespace fir_test

#endif // KIP_TESTS_FIR_DATAPATH_HARNESS_H
