// Read-only queries on a live model for front ends linked to fir_core; not part of the C API.
#ifndef KIP_FIR_INSPECT_H
#define KIP_FIR_INSPECT_H

#include <cstdint>

#include "fir.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace kip_fir {

inline const FIR& model_of(const kip_fir_v6_3* model)
{
    return *reinterpret_cast<const FIR*>(model);
}

// True when the model computes on GMP integers (accumulators of 53 bits and more). model must
// be a live handle.
inline bool uses_integer_arithmetic(const kip_fir_v6_3* model) noexcept
{
    return model_of(model).use_mpz;
}

// Complete output vectors a data_get would deliver now (what it compares a request with), or
// -1 when the model cannot say (its current pattern gives channel 0 no slot). model must be a
// live handle.
inline int64_t output_vectors_waiting(const kip_fir_v6_3* model) noexcept
{
    try {
        return model_of(model).output_vectors_waiting();
    } catch (...) {
        return -1;
    }
}

} // namespace kip_fir

#endif // KIP_FIR_INSPECT_H
