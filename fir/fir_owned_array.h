// OwnedArray<A> -- an array record the model created for itself (private copies of packet
// contents), destroyed with its family's destroy function when the owner goes away.
#ifndef KIP_FIR_OWNED_ARRAY_H
#define KIP_FIR_OWNED_ARRAY_H

#include <memory>
#include <new>

#include "kip_fir_v6_3_arrays.h"

namespace kip_fir {

inline void array_destroy(kip_array_real* a) noexcept { kip_array_real_destroy(a); }
inline void array_destroy(kip_array_complex* a) noexcept { kip_array_complex_destroy(a); }
inline void array_destroy(kip_array_uint* a) noexcept { kip_array_uint_destroy(a); }
inline void array_destroy(kip_array_mpz* a) noexcept { kip_array_mpz_destroy(a); }
inline void array_destroy(kip_array_mpz_complex* a) noexcept { kip_array_mpz_complex_destroy(a); }

inline kip_array_real* array_create(kip_array_real*) noexcept { return kip_array_real_create(); }
inline kip_array_complex* array_create(kip_array_complex*) noexcept
{
    return kip_array_complex_create();
}
inline kip_array_uint* array_create(kip_array_uint*) noexcept { return kip_array_uint_create(); }
inline kip_array_mpz* array_create(kip_array_mpz*) noexcept { return kip_array_mpz_create(); }
inline kip_array_mpz_complex* array_create(kip_array_mpz_complex*) noexcept
{
    return kip_array_mpz_complex_create();
}

template <class A> struct ArrayDeleter {
    void operator()(A* a) const noexcept { array_destroy(a); }
};

template <class A> using OwnedArray = std::unique_ptr<A, ArrayDeleter<A>>;

// A new, empty record (owner 0); throws std::bad_alloc when the record cannot be allocated.
template <class A> OwnedArray<A> make_owned_array()
{
    A* a = array_create(static_cast<A*>(nullptr));
    if (a == nullptr)
        throw std::bad_alloc();
    return OwnedArray<A>(a);
}

} // namespace kip_fir

#endif // KIP_FIR_OWNED_ARRAY_H
