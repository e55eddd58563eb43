// Internal C++ view of the five array families (kip_array_real, _complex, _uint, _mpz,
// _mpz_complex) for the model's data path.
//
// The overloads below behave exactly like the exported C functions of the same family (same
// checks, same results: 0 success, 1 refused), so templates over the output families can call
// them by name. None of them throws.
//
// Sample arrays are indexed [path][channel slot][vector], paths varying fastest:
// data[path + slot * dim[0] + vector * dim[0] * dim[1]].
#ifndef KIP_FIR_KIP_ARRAY_H
#define KIP_FIR_KIP_ARRAY_H

#include <cstddef>
#include <cstdint>

#include <gmpxx.h>

#include "kip_fir_v6_3_arrays.h"

namespace kip_fir {

// Element type, copy trait and family word of each array record type.
template <class Array> struct ArrayFamily;
template <> struct ArrayFamily<kip_array_real> {
    using element = double;
    static constexpr int32_t trait = KIP_TYPE_TRAIT_PLAIN;
    static constexpr const char* word = "real";
};
template <> struct ArrayFamily<kip_array_complex> {
    using element = kip_complex;
    static constexpr int32_t trait = KIP_TYPE_TRAIT_PLAIN;
    static constexpr const char* word = "complex";
};
template <> struct ArrayFamily<kip_array_uint> {
    using element = uint32_t;
    static constexpr int32_t trait = KIP_TYPE_TRAIT_PLAIN;
    static constexpr const char* word = "uint";
};
template <> struct ArrayFamily<kip_array_mpz> {
    using element = mpz_t;
    static constexpr int32_t trait = KIP_TYPE_TRAIT_MPZ;
    static constexpr const char* word = "mpz";
};
template <> struct ArrayFamily<kip_array_mpz_complex> {
    using element = kip_mpz_complex;
    static constexpr int32_t trait = KIP_TYPE_TRAIT_MPZ_PAIR;
    static constexpr const char* word = "mpz_complex";
};

// Linear position of (path, channel slot, vector) for dimensions dim0 x dim1 (x vectors).
constexpr std::size_t array_position(
    std::size_t dim0, std::size_t dim1, std::size_t path, std::size_t slot, std::size_t vector)
{
    return path + slot * dim0 + vector * dim0 * dim1;
}

// A new empty record (heap), as kip_fir_v6_3_kip_array_*_create; null when memory runs out.
// Instantiated for the five families.
template <class Array> Array* array_new() noexcept;
// Frees a record and its storage, as kip_fir_v6_3_kip_array_*_destroy: returns null, or the
// record unchanged when it is null or owned by its creator (owner non-zero).
template <class Array> Array* array_free(Array* array) noexcept;

// Storage growth, as kip_fir_v6_3_kip_array_*_reserve_data / _reserve_dim. Both refuse a record
// whose owner is non-zero; the model clears owner on its sinks first.
int array_reserve_data(kip_array_real& array, std::size_t max_nelem) noexcept;
int array_reserve_data(kip_array_complex& array, std::size_t max_nelem) noexcept;
int array_reserve_data(kip_array_uint& array, std::size_t max_nelem) noexcept;
int array_reserve_data(kip_array_mpz& array, std::size_t max_nelem) noexcept;
int array_reserve_data(kip_array_mpz_complex& array, std::size_t max_nelem) noexcept;
int array_reserve_dim(kip_array_real& array, std::size_t max_ndim) noexcept;
int array_reserve_dim(kip_array_complex& array, std::size_t max_ndim) noexcept;
int array_reserve_dim(kip_array_uint& array, std::size_t max_ndim) noexcept;
int array_reserve_dim(kip_array_mpz& array, std::size_t max_ndim) noexcept;
int array_reserve_dim(kip_array_mpz_complex& array, std::size_t max_ndim) noexcept;

// Channel accessors, as kip_array_*_get_chan / _set_chan: `pattern` is 175 for basic
// addressing (chan = channel slot, index = vector) or 0 to 173 (chan = channel number,
// index = the channel's sample number). Return 0, or 1 with nothing read or written.
int array_get_chan(const kip_array_real& array, double& value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_get_chan(const kip_array_complex& array, kip_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept;
int array_get_chan(const kip_array_mpz& array, mpz_ptr value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_get_chan(const kip_array_mpz& array, mpz_class& value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_get_chan(const kip_array_mpz_complex& array, kip_mpz_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept;

int array_set_chan(kip_array_real& array, double value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_set_chan(kip_array_complex& array, const kip_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept;
int array_set_chan(kip_array_mpz& array, mpz_srcptr value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_set_chan(kip_array_mpz& array, const mpz_class& value, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_set_chan(kip_array_mpz_complex& array, const kip_mpz_complex& value, std::size_t path,
    std::size_t chan, std::size_t index, int32_t pattern) noexcept;

// 0 when array_set_chan with these arguments would store its value, else 1; writes nothing.
int array_can_set(const kip_array_real& array, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_can_set(const kip_array_complex& array, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;
int array_can_set(const kip_array_mpz& array, std::size_t path, std::size_t chan, std::size_t index,
    int32_t pattern) noexcept;
int array_can_set(const kip_array_mpz_complex& array, std::size_t path, std::size_t chan,
    std::size_t index, int32_t pattern) noexcept;

// Number of elements at array.data that may be read directly: min(data_size, data_capacity),
// or 0 when data is null. Use before reading data[0 .. n-1] of a one-dimensional array.
template <class Array> std::size_t array_readable(const Array& array) noexcept
{
    if (array.data == nullptr)
        return 0;
    return array.data_size < array.data_capacity ? array.data_size : array.data_capacity;
}

// Number of element slots at array.data that may be written directly: data_capacity, or 0 when
// data is null. In the GMP families these slots are initialised integers.
template <class Array> std::size_t array_writable(const Array& array) noexcept
{
    return array.data == nullptr ? 0 : array.data_capacity;
}

// True when dim holds the dim_size lengths the record claims (dim_size 0 needs no storage).
template <class Array> bool array_dims_valid(const Array& array) noexcept
{
    return array.dim_size == 0 || (array.dim != nullptr && array.dim_capacity >= array.dim_size);
}

// One element of a family, initialised and cleared with its owner's lifetime; for the model's
// local values between a conversion and a set_chan call.
template <class Array> class ArrayElement {
public:
    using element = typename ArrayFamily<Array>::element;
    element& get() noexcept { return value_; }
    const element& get() const noexcept { return value_; }

private:
    element value_ {};
};

template <> class ArrayElement<kip_array_mpz> {
public:
    ArrayElement() { mpz_init(value_); }
    ~ArrayElement() { mpz_clear(value_); }
    ArrayElement(const ArrayElement&) = delete;
    ArrayElement& operator=(const ArrayElement&) = delete;
    mpz_ptr get() noexcept { return value_; }
    mpz_srcptr get() const noexcept { return value_; }

private:
    mpz_t value_;
};

template <> class ArrayElement<kip_array_mpz_complex> {
public:
    ArrayElement()
    {
        mpz_init(value_.re);
        mpz_init(value_.im);
    }
    ~ArrayElement()
    {
        mpz_clear(value_.re);
        mpz_clear(value_.im);
    }
    ArrayElement(const ArrayElement&) = delete;
    ArrayElement& operator=(const ArrayElement&) = delete;
    kip_mpz_complex& get() noexcept { return value_; }
    const kip_mpz_complex& get() const noexcept { return value_; }

private:
    kip_mpz_complex value_;
};

} // namespace kip_fir

#endif // KIP_FIR_KIP_ARRAY_H
