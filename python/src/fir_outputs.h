// Collection of the FIR model's output in its four families, and conversion to numpy.
#ifndef KIP_PY_FIR_OUTPUTS_H
#define KIP_PY_FIR_OUTPUTS_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fir_arrays.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace kip_py {

namespace py = pybind11;

enum Kind { KIND_REAL = 0, KIND_COMPLEX = 1, KIND_MPZ = 2, KIND_MPZ_COMPLEX = 3 };

// Output samples of one collection in the library's layout (paths fastest, then channel
// slots, then vectors), before conversion to numpy. Only the member of `kind` is used.
struct Collected {
    Kind kind = KIND_REAL;
    std::vector<double> real;
    std::vector<kip_complex> cplx;
    MpzArray mpz;
    MpzComplexArray mpzc;
    std::size_t samples = 0;
};

// One data_get of up to `vectors` whole vectors into c (c.samples: the samples stored); no
// Python call, safe without the GIL.
// Returns the library's status (1 also when the GMP array cannot be allocated).
int32_t collect_vectors(kip_fir_v6_3* model, Kind kind, std::size_t paths, std::size_t channels,
    std::size_t vectors, Collected& c);

// One data_get_channel into c: paths samples, or none when the channel has nothing waiting.
int32_t collect_channel(kip_fir_v6_3* model, Kind kind, std::size_t paths, Collected& c);

// A numpy array of the given shape in Fortran order (the library's layout): float64 or
// complex128 for the double families; for the GMP families int64 when int64_ok and every value
// fits, else Python ints (object); pairs of them in fields "re" and "im" for the complex one.
// Needs the GIL.
py::array to_numpy(const Collected& c, const std::vector<std::size_t>& shape, bool int64_ok);

} // namespace kip_py

#endif
