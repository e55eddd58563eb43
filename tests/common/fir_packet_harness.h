// Test helpers for sinks and packets: array records that free themselves whatever their owner
// field says, and builders for sample, coefficient and selector arrays. Models, seeds and
// comparisons come from the data-path harness.
#ifndef KIP_TESTS_FIR_PACKET_HARNESS_H
#define KIP_TESTS_FIR_PACKET_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fir_datapath_harness.h"
#include "fir_owned_array.h"
#include "kip_array.h"

namespace fir_test {

// An array record of family A with `dims` dimension slots reserved and dim_size = dims.size(),
// data reserved for `capacity` elements (data_size left 0). Owner is cleared before freeing.
template <class A> struct Record {
    A* a;
    explicit Record(const std::vector<std::size_t>& dims = {}, std::size_t capacity = 0)
        : a(kip_fir::array_create(static_cast<A*>(nullptr)))
    {
        if (!dims.empty()) {
            kip_fir::array_reserve_dim(*a, dims.size());
            for (std::size_t i = 0; i < dims.size(); ++i)
                a->dim[i] = dims[i];
            a->dim_size = dims.size();
        }
        if (capacity)
            kip_fir::array_reserve_data(*a, capacity);
        // Plain storage starts uninitialised: zeros, so that no test reads what malloc left.
        if constexpr (kip_fir::ArrayFamily<A>::trait == KIP_TYPE_TRAIT_PLAIN)
            for (std::size_t i = 0; i < capacity; ++i)
                a->data[i] = {};
    }
    ~Record()
    {
        a->owner = 0;
        kip_fir::array_destroy(a);
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    A* operator->() { return a; }
    A* get() { return a; }
};

// One-dimensional array (selectors, coefficients) holding `values`.
template <class A, class V> void fill_1d(Record<A>& arr, const std::vector<V>& values)
{
    kip_fir::array_reserve_dim(*arr.a, 1);
    arr->dim_size = 1;
    arr->dim[0] = values.size();
    kip_fir::array_reserve_data(*arr.a, values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        arr->data[i] = values[i];
    arr->data_size = values.size();
}
inline void fill_uints(Record<kip_array_uint>& arr, const std::vector<uint32_t>& values)
{
    fill_1d(arr, values);
}

// Real sample array (paths, slots, vectors) holding `values` in storage order.
inline void fill_frames(Record<kip_array_real>& arr, std::size_t paths, std::size_t slots,
    std::size_t vectors, const std::vector<double>& values)
{
    kip_fir::array_reserve_dim(*arr.a, 3);
    arr->dim_size = 3;
    arr->dim[0] = paths;
    arr->dim[1] = slots;
    arr->dim[2] = vectors;
    kip_fir::array_reserve_data(*arr.a, values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        arr->data[i] = values[i];
    arr->data_size = values.size();
}

} // namespace fir_test

#endif // KIP_TESTS_FIR_PACKET_HARNESS_H
