// Output collection of the FIR binding: data_get calls per family and numpy conversion.
#include "fir_outputs.h"

#include <gmp.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kip_py {

namespace {

    // A Python int of any size from a GMP integer.
    py::object to_pyint(const mpz_t z)
    {
        if (mpz_fits_slong_p(z))
            return py::reinterpret_steal<py::object>(PyLong_FromLong(mpz_get_si(z)));
        std::vector<char> digits(mpz_sizeinbase(z, 16) + 2);
        mpz_get_str(digits.data(), 16, z);
        PyObject* o = PyLong_FromString(digits.data(), nullptr, 16);
        if (o == nullptr)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(o);
    }

    // Stores value into slot i of a numpy object array, replacing the reference held there.
    void put_object(PyObject** slots, std::size_t i, py::object value)
    {
        PyObject* old = slots[i];
        slots[i] = value.release().ptr();
        Py_XDECREF(old);
    }

    bool all_fit_int64(const Collected& c)
    {
        static_assert(sizeof(long) == 8, "int64 output relies on a 64-bit long");
        for (std::size_t i = 0; i < c.samples; ++i) {
            if (c.kind == KIND_MPZ) {
                if (!mpz_fits_slong_p(c.mpz->data[i]))
                    return false;
            } else if (!mpz_fits_slong_p(c.mpzc->data[i].re)
                || !mpz_fits_slong_p(c.mpzc->data[i].im)) {
                return false;
            }
        }
        return true;
    }

    py::dtype dtype_of(Kind kind, bool int64)
    {
        switch (kind) {
        case KIND_REAL:
            return py::dtype::of<double>();
        case KIND_COMPLEX:
            return py::dtype("complex128");
        case KIND_MPZ:
            return py::dtype(int64 ? "int64" : "O");
        default: {
            py::list fields;
            fields.append(py::make_tuple("re", int64 ? "i8" : "O"));
            fields.append(py::make_tuple("im", int64 ? "i8" : "O"));
            return py::dtype::from_args(fields);
        }
        }
    }

} // namespace

int32_t collect_vectors(kip_fir_v6_3* model, Kind kind, std::size_t paths, std::size_t channels,
    std::size_t vectors, Collected& c)
{
    c.kind = kind;
    const std::size_t n = paths * channels * vectors;
    std::size_t d[3] = { paths, channels, vectors };
    int32_t rc = 1;
    std::size_t got = 0;
    if (kind == KIND_REAL) {
        c.real.resize(n + 1); // never empty: the record needs storage
        kip_array_real a = borrowed<kip_array_real>(c.real.data(), n, d, 3);
        rc = kip_fir_v6_3_data_get(model, &a, nullptr);
        got = a.data_size;
    } else if (kind == KIND_COMPLEX) {
        c.cplx.resize(n + 1);
        kip_array_complex a = borrowed<kip_array_complex>(c.cplx.data(), n, d, 3);
        rc = kip_fir_v6_3_data_get(model, nullptr, &a);
        got = a.data_size;
    } else if (kind == KIND_MPZ) {
        c.mpz = make_mpz_array<kip_array_mpz>({ paths, channels, vectors });
        if (!c.mpz)
            return 1;
        rc = kip_fir_v6_3_data_get_mpz(model, c.mpz.get(), nullptr);
        got = c.mpz->data_size;
    } else {
        c.mpzc = make_mpz_array<kip_array_mpz_complex>({ paths, channels, vectors });
        if (!c.mpzc)
            return 1;
        rc = kip_fir_v6_3_data_get_mpz(model, nullptr, c.mpzc.get());
        got = c.mpzc->data_size;
    }
    c.samples = rc == 0 ? std::min(got, n) : 0;
    return rc;
}

int32_t collect_channel(kip_fir_v6_3* model, Kind kind, std::size_t paths, Collected& c)
{
    c.kind = kind;
    std::size_t d[1] = { paths };
    int32_t rc = 1;
    std::size_t got = 0;
    if (kind == KIND_REAL) {
        c.real.resize(paths + 1);
        kip_array_real a = borrowed<kip_array_real>(c.real.data(), paths, d, 1);
        rc = kip_fir_v6_3_data_get_channel(model, &a, nullptr);
        got = a.data_size;
    } else if (kind == KIND_COMPLEX) {
        c.cplx.resize(paths + 1);
        kip_array_complex a = borrowed<kip_array_complex>(c.cplx.data(), paths, d, 1);
        rc = kip_fir_v6_3_data_get_channel(model, nullptr, &a);
        got = a.data_size;
    } else if (kind == KIND_MPZ) {
        c.mpz = make_mpz_array<kip_array_mpz>({ paths });
        if (!c.mpz)
            return 1;
        rc = kip_fir_v6_3_data_get_channel_mpz(model, c.mpz.get(), nullptr);
        got = c.mpz->data_size;
    } else {
        c.mpzc = make_mpz_array<kip_array_mpz_complex>({ paths });
        if (!c.mpzc)
            return 1;
        rc = kip_fir_v6_3_data_get_channel_mpz(model, nullptr, c.mpzc.get());
        got = c.mpzc->data_size;
    }
    c.samples = rc == 0 ? std::min(got, paths) : 0;
    return rc;
}

py::array to_numpy(const Collected& c, const std::vector<std::size_t>& shape, bool int64_ok)
{
    const bool gmp = c.kind == KIND_MPZ || c.kind == KIND_MPZ_COMPLEX;
    const bool int64 = gmp && int64_ok && all_fit_int64(c);
    py::tuple shp(shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i)
        shp[i] = py::int_(shape[i]);
    // np.empty fills object arrays with None, so every slot holds a valid reference.
    py::array out = py::module_::import("numpy").attr("empty")(shp, dtype_of(c.kind, int64), "F");
    if (static_cast<std::size_t>(out.size()) != c.samples)
        throw std::logic_error("output size mismatch: " + std::to_string(c.samples) + " samples");
    if (c.samples == 0)
        return out;
    if (c.kind == KIND_REAL) {
        std::memcpy(out.mutable_data(), c.real.data(), c.samples * sizeof(double));
    } else if (c.kind == KIND_COMPLEX) {
        std::memcpy(out.mutable_data(), c.cplx.data(), c.samples * sizeof(kip_complex));
    } else if (int64) {
        int64_t* v = static_cast<int64_t*>(out.mutable_data());
        for (std::size_t i = 0; i < c.samples; ++i) {
            if (c.kind == KIND_MPZ) {
                v[i] = mpz_get_si(c.mpz->data[i]);
            } else {
                v[2 * i] = mpz_get_si(c.mpzc->data[i].re);
                v[2 * i + 1] = mpz_get_si(c.mpzc->data[i].im);
            }
        }
    } else {
        PyObject** slots = static_cast<PyObject**>(out.mutable_data());
        for (std::size_t i = 0; i < c.samples; ++i) {
            if (c.kind == KIND_MPZ) {
                put_object(slots, i, to_pyint(c.mpz->data[i]));
            } else {
                put_object(slots, 2 * i, to_pyint(c.mpzc->data[i].re));
                put_object(slots, 2 * i + 1, to_pyint(c.mpzc->data[i].im));
            }
        }
    }
    return out;
}

} // namespace kip_py
