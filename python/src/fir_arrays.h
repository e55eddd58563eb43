// Array records over caller storage, and owning wrappers of the library's GMP arrays.
#ifndef KIP_PY_FIR_ARRAYS_H
#define KIP_PY_FIR_ARRAYS_H

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "tapforge_v6_3_bitacc_cmodel.h"

namespace kip_py {

// A record of family A over `capacity` elements at data with ndim dimensions at dims. owner 1:
// the library never grows or frees the storage. data must not be null.
template <class A, class E>
A borrowed(E* data, std::size_t capacity, std::size_t* dims, std::size_t ndim)
{
    A a {};
    a.data = data;
    a.data_size = a.data_capacity = capacity;
    a.dim = dims;
    a.dim_size = a.dim_capacity = ndim;
    a.owner = 1;
    return a;
}

struct MpzArrayDeleter {
    void operator()(kip_array_mpz* a) const { kip_array_mpz_destroy(a); }
    void operator()(kip_array_mpz_complex* a) const { kip_array_mpz_complex_destroy(a); }
};
using MpzArray = std::unique_ptr<kip_array_mpz, MpzArrayDeleter>;
using MpzComplexArray = std::unique_ptr<kip_array_mpz_complex, MpzArrayDeleter>;

// The library's create / reserve_dim / reserve_data for each GMP family.
template <class A> struct MpzFamily;
template <> struct MpzFamily<kip_array_mpz> {
    static kip_array_mpz* create() { return kip_array_mpz_create(); }
    static int reserve_dim(kip_array_mpz* a, std::size_t n)
    {
        return kip_array_mpz_reserve_dim(a, n);
    }
    static int reserve_data(kip_array_mpz* a, std::size_t n)
    {
        return kip_array_mpz_reserve_data(a, n);
    }
};
template <> struct MpzFamily<kip_array_mpz_complex> {
    static kip_array_mpz_complex* create() { return kip_array_mpz_complex_create(); }
    static int reserve_dim(kip_array_mpz_complex* a, std::size_t n)
    {
        return kip_array_mpz_complex_reserve_dim(a, n);
    }
    static int reserve_data(kip_array_mpz_complex* a, std::size_t n)
    {
        return kip_array_mpz_complex_reserve_data(a, n);
    }
};

// A GMP array of the given dimensions with initialised storage for every element; null when
// the library refuses (out of memory).
template <class A>
std::unique_ptr<A, MpzArrayDeleter> make_mpz_array(const std::vector<std::size_t>& dims)
{
    std::unique_ptr<A, MpzArrayDeleter> a(MpzFamily<A>::create());
    if (!a)
        return a;
    std::size_t n = 1;
    for (std::size_t d : dims)
        n *= d;
    if (MpzFamily<A>::reserve_dim(a.get(), dims.size()) != 0
        || MpzFamily<A>::reserve_data(a.get(), std::max<std::size_t>(n, 1)) != 0)
        return nullptr;
    std::copy(dims.begin(), dims.end(), a->dim);
    a->dim_size = dims.size();
    a->data_size = n;
    return a;
}

} // namespace kip_py

#endif
