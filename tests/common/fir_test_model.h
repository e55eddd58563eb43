// Test helpers for whole FIR models: a model handle with recorded messages, array records that
// free themselves, and builders for sample and selector arrays.
#ifndef KIP_TESTS_FIR_TEST_MODEL_H
#define KIP_TESTS_FIR_TEST_MODEL_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fir.h"
#include "fir_guard.h"
#include "kip_array.h"
#include "fir_message_log.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace fir_test {

inline kip_fir_v6_3_config defaults() {
    kip_fir_v6_3_config c;
    kip_fir_v6_3_default_config(&c);
    return c;
}

// A model created through the C interface, its messages recorded; destroyed with the object.
struct Model {
    FirMessageLog log, dbg;
    kip_fir_v6_3* m = nullptr;
    explicit Model(const kip_fir_v6_3_config& c, bool debug = false) {
        m = debug ? kip_fir_v6_3_create_dbg(&c, &FirMessageLog::record_message, &log,
                                            &FirMessageLog::record_message, &dbg)
                  : kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
    }
    ~Model() { kip_fir_v6_3_destroy(m); }
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;
    FIR& fir() { return *kip_fir_from_handle(m); }
};

inline kip_array_real* create_array(kip_array_real*) { return kip_array_real_create(); }
inline kip_array_complex* create_array(kip_array_complex*) { return kip_array_complex_create(); }
inline kip_array_uint* create_array(kip_array_uint*) { return kip_array_uint_create(); }
inline kip_array_mpz* create_array(kip_array_mpz*) { return kip_array_mpz_create(); }
inline kip_array_mpz_complex* create_array(kip_array_mpz_complex*) {
    return kip_array_mpz_complex_create();
}
inline void destroy_array(kip_array_real* a) { kip_array_real_destroy(a); }
inline void destroy_array(kip_array_complex* a) { kip_array_complex_destroy(a); }
inline void destroy_array(kip_array_uint* a) { kip_array_uint_destroy(a); }
inline void destroy_array(kip_array_mpz* a) { kip_array_mpz_destroy(a); }
inline void destroy_array(kip_array_mpz_complex* a) { kip_array_mpz_complex_destroy(a); }

// An array record of family A with `dims` dimension slots reserved and dim_size = dims.size(),
// data reserved for `capacity` elements (data_size left 0). Owner is cleared before freeing.
template <class A> struct Array {
    A* a;
    explicit Array(const std::vector<std::size_t>& dims = {}, std::size_t capacity = 0)
        : a(create_array(static_cast<A*>(nullptr))) {
        if (!dims.empty()) {
            kip_fir::array_reserve_dim(*a, dims.size());
            for (std::size_t i = 0; i < dims.size(); ++i) a->dim[i] = dims[i];
            a->dim_size = dims.size();
        }
        if (capacity) kip_fir::array_reserve_data(*a, capacity);
    }
    ~Array() {
        a->owner = 0;
        destroy_array(a);
    }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    A* operator->() { return a; }
    A* get() { return a; }
};

// One-dimensional selector array holding `values`.
inline void fill_uints(Array<kip_array_uint>& arr, const std::vector<uint32_t>& values) {
    kip_fir::array_reserve_dim(*arr.a, 1);
    arr->dim_size = 1;
    arr->dim[0] = values.size();
    kip_fir::array_reserve_data(*arr.a, values.size());
    for (std::size_t i = 0; i < values.size(); ++i) arr->data[i] = values[i];
    arr->data_size = values.size();
}

// Real sample array (paths, slots, vectors) holding `values` in storage order.
inline void fill_frames(Array<kip_array_real>& arr, std::size_t paths, std::size_t slots,
                        std::size_t vectors, const std::vector<double>& values) {
    kip_fir::array_reserve_dim(*arr.a, 3);
    arr->dim_size = 3;
    arr->dim[0] = paths;
    arr->dim[1] = slots;
    arr->dim[2] = vectors;
    kip_fir::array_reserve_data(*arr.a, values.size());
    for (std::size_t i = 0; i < values.size(); ++i) arr->data[i] = values[i];
    arr->data_size = values.size();
}

}  // namespace fir_test

#endif  // KIP_TESTS_FIR_TEST_MODEL_H
