// kip_models._fir: Python binding of the FIR model's C interface.
//
// A thin layer: every method makes one call (get() in automatic mode a few) of the exported C
// functions, with the GIL released and the instance's mutex held, and hands back the status
// and the messages the library produced during the call. Turning statuses into exceptions and
// delivering messages is left to kip_models/fir.py.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <gmp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tapforge_v6_3_bitacc_cmodel.h"

namespace py = pybind11;

namespace {

// ---------------------------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------------------------

struct Message {
    bool debug; // from the debug logger (create_dbg)
    int32_t error; // the library's error flag
    std::string text;
};
using Messages = std::vector<Message>;

// Receives the library's messages while the GIL is released; no Python call happens here.
struct Collector {
    Messages messages;

    static void on_message(void* handle, int32_t error, const char* text) noexcept
    {
        push(handle, false, error, text);
    }
    static void on_debug(void* handle, int32_t error, const char* text) noexcept
    {
        push(handle, true, error, text);
    }

private:
    static void push(void* handle, bool debug, int32_t error, const char* text) noexcept
    {
        try {
            static_cast<Collector*>(handle)->messages.push_back(
                { debug, error, text != nullptr ? text : "" });
        } catch (...) {
            // Out of memory while recording a message: the message is lost, the call goes on.
        }
    }
};

py::str decode(const std::string& s)
{
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (o == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

py::list to_list(const Messages& messages)
{
    py::list out;
    for (const Message& m : messages)
        out.append(py::make_tuple(m.debug, m.error, decode(m.text)));
    return out;
}

bool ends_with(const std::string& s, const char* tail)
{
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// ---------------------------------------------------------------------------------------------
// GMP integers to Python integers
// ---------------------------------------------------------------------------------------------

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

// Stores value into slot i of a numpy array of objects (or of object pairs), replacing the
// reference held there.
void put_object(PyObject** slots, size_t i, py::object value)
{
    PyObject* old = slots[i];
    slots[i] = value.release().ptr();
    Py_XDECREF(old);
}

// ---------------------------------------------------------------------------------------------
// Owning wrappers of the library's GMP arrays
// ---------------------------------------------------------------------------------------------

struct MpzArrayDeleter {
    void operator()(kip_array_mpz* a) const { kip_array_mpz_destroy(a); }
    void operator()(kip_array_mpz_complex* a) const { kip_array_mpz_complex_destroy(a); }
};
using MpzArray = std::unique_ptr<kip_array_mpz, MpzArrayDeleter>;
using MpzComplexArray = std::unique_ptr<kip_array_mpz_complex, MpzArrayDeleter>;

// Creates a GMP array with reserved storage for dims; null if the library refuses.
template <class Ptr, class Create, class ReserveDim, class ReserveData>
Ptr make_mpz_array(Create create, ReserveDim reserve_dim, ReserveData reserve_data,
    const std::vector<size_t>& dims)
{
    Ptr a(create());
    if (!a)
        return a;
    size_t n = 1;
    for (size_t d : dims)
        n *= d;
    if (reserve_dim(a.get(), dims.size()) != 0
        || reserve_data(a.get(), std::max<size_t>(n, 1)) != 0)
        return Ptr();
    std::copy(dims.begin(), dims.end(), a->dim);
    a->dim_size = dims.size();
    a->data_size = n;
    return a;
}

// ---------------------------------------------------------------------------------------------
// Output families
// ---------------------------------------------------------------------------------------------

enum Kind { KIND_REAL = 0, KIND_COMPLEX = 1, KIND_MPZ = 2, KIND_MPZ_COMPLEX = 3 };

// Output samples collected by one or more data_get calls, in the library's layout
// (paths fastest, then channel slots, then vectors), before conversion to numpy.
struct Collected {
    std::vector<double> real; // KIND_REAL
    std::vector<kip_complex> cplx; // KIND_COMPLEX
    std::vector<MpzArray> mpz; // KIND_MPZ, one array per call
    std::vector<MpzComplexArray> mpzc; // KIND_MPZ_COMPLEX, one array per call
    std::vector<size_t> counts; // samples taken from each GMP array
    size_t samples = 0;
};

// numpy array of shape (paths, channels, vectors) in the library's layout (Fortran order), or
// of shape (paths,) for one channel position.
py::array make_output(Kind kind, const Collected& c, const std::vector<size_t>& shape)
{
    py::tuple shp(shape.size());
    for (size_t i = 0; i < shape.size(); ++i)
        shp[i] = py::int_(shape[i]);
    py::dtype dt;
    switch (kind) {
    case KIND_REAL:
        dt = py::dtype::of<double>();
        break;
    case KIND_COMPLEX:
        dt = py::dtype("complex128");
        break;
    case KIND_MPZ:
        dt = py::dtype("O");
        break;
    default: {
        py::list fields; // a pair of Python integers per element
        fields.append(py::make_tuple("re", "O"));
        fields.append(py::make_tuple("im", "O"));
        dt = py::dtype::from_args(fields);
        break;
    }
    }
    py::module_ np = py::module_::import("numpy");
    // np.empty fills object arrays with None, so every slot holds a valid reference.
    py::array out = np.attr("empty")(shp, dt, "F");
    if (static_cast<size_t>(out.size()) != c.samples)
        throw std::logic_error("output size mismatch");
    if (c.samples == 0)
        return out;
    if (kind == KIND_REAL) {
        std::memcpy(out.mutable_data(), c.real.data(), c.samples * sizeof(double));
    } else if (kind == KIND_COMPLEX) {
        std::memcpy(out.mutable_data(), c.cplx.data(), c.samples * sizeof(kip_complex));
    } else {
        PyObject** slots = static_cast<PyObject**>(out.mutable_data());
        size_t i = 0;
        for (size_t b = 0; b < c.counts.size(); ++b) {
            for (size_t k = 0; k < c.counts[b]; ++k, ++i) {
                if (kind == KIND_MPZ) {
                    put_object(slots, i, to_pyint(c.mpz[b]->data[k]));
                } else {
                    put_object(slots, 2 * i, to_pyint(c.mpzc[b]->data[k].re));
                    put_object(slots, 2 * i + 1, to_pyint(c.mpzc[b]->data[k].im));
                }
            }
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------------------------

int32_t to_int32(const py::handle& value, const char* field)
{
    const long long v = py::cast<long long>(value);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        throw py::value_error(std::string(field) + " does not fit a 32-bit integer");
    return static_cast<int32_t>(v);
}

#define KIP_FIR_INT_FIELDS(X)                                                                      \
    X(filter_type)                                                                                 \
    X(rate_change)                                                                                 \
    X(interp_rate) X(decim_rate) X(zero_pack_factor) X(coeff_padding) X(num_coeffs) X(coeff_sets)  \
        X(reloadable) X(is_halfband) X(quantization) X(coeff_width) X(coeff_fract_width)           \
            X(chan_seq) X(num_channels) X(init_pattern) X(num_paths) X(data_width)                 \
                X(data_fract_width) X(output_rounding) X(output_width) X(output_fract_width)       \
                    X(config_method)

py::dict config_to_dict(const kip_fir_v6_3_config& c)
{
    py::dict d;
    d["name"] = c.name != nullptr ? decode(c.name) : py::str("");
#define KIP_GET(f) d[#f] = c.f;
    KIP_FIR_INT_FIELDS(KIP_GET)
#undef KIP_GET
    return d;
}

class FirModel {
public:
    // Builds a model from the fields present in config (others keep the library's defaults)
    // and coeff (None: the library's default set). Returns (model or None, messages).
    static py::tuple create(const py::dict& config, const py::object& coeff, bool debug)
    {
        kip_fir_v6_3_config c;
        kip_fir_v6_3_default_config(&c);
        const size_t default_coeffs = static_cast<size_t>(c.num_coeffs) * c.coeff_sets;
#define KIP_SET(f)                                                                                 \
    if (config.contains(#f))                                                                       \
        c.f = to_int32(config[#f], #f);
        KIP_FIR_INT_FIELDS(KIP_SET)
#undef KIP_SET
        std::string name = c.name;
        if (config.contains("name"))
            name = py::cast<std::string>(config["name"]);
        if (name.find('\0') != std::string::npos)
            throw py::value_error("name must not contain NUL characters");
        c.name = name.c_str();

        // The library cannot check the length of coeff; it reads num_coeffs * coeff_sets values.
        const long long wanted
            = (c.num_coeffs > 0 && c.coeff_sets > 0) ? 1LL * c.num_coeffs * c.coeff_sets : 0;
        py::array_t<double, py::array::c_style | py::array::forcecast> values;
        if (!coeff.is_none()) {
            values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(coeff);
            if (!values)
                throw py::error_already_set();
            if (static_cast<long long>(values.size()) < wanted)
                throw py::value_error("coeff holds " + std::to_string(values.size())
                    + " values, the configuration needs num_coeffs * coeff_sets = "
                    + std::to_string(wanted));
            if (values.size() > 0)
                c.coeff = values.data();
        } else if (static_cast<size_t>(wanted) > default_coeffs) {
            throw py::value_error("the default coefficient set holds "
                + std::to_string(default_coeffs) + " values, the configuration needs "
                + std::to_string(wanted) + "; pass coeff");
        }

        std::unique_ptr<FirModel> m(new FirModel);
        {
            py::gil_scoped_release nogil;
            Collector* col = &m->col_;
            m->model_ = debug
                ? kip_fir_v6_3_create_dbg(&c, Collector::on_message, col, Collector::on_debug, col)
                : kip_fir_v6_3_create(&c, Collector::on_message, col);
            if (m->model_ != nullptr) {
                kip_fir_v6_3_config done;
                kip_fir_v6_3_get_config(m->model_, &done);
                m->paths_ = static_cast<size_t>(done.num_paths);
                m->channels_ = static_cast<size_t>(done.num_channels);
                m->hilbert_ = done.filter_type == 3;
            }
        }
        Messages msgs = std::move(m->col_.messages);
        m->col_.messages.clear();
        py::list list = to_list(msgs);
        if (m->model_ == nullptr)
            return py::make_tuple(py::none(), list);
        for (const Message& msg : msgs)
            if (!msg.debug && ends_with(msg.text, " WARNING: Model will use MPZ data type"))
                m->integer_ = true;
        return py::make_tuple(py::cast(m.release(), py::return_value_policy::take_ownership), list);
    }

    ~FirModel()
    {
        if (model_ != nullptr)
            kip_fir_v6_3_destroy(model_);
    }

    void close()
    {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mu_);
        if (model_ != nullptr)
            kip_fir_v6_3_destroy(model_);
        model_ = nullptr;
    }

    bool closed() const { return model_ == nullptr; }
    bool integer_mode() const { return integer_; }
    bool hilbert() const { return hilbert_; }
    size_t paths() const { return paths_; }
    size_t channels() const { return channels_; }

    py::dict get_config()
    {
        kip_fir_v6_3_config c;
        std::string name;
        call([&] {
            const int32_t rc = kip_fir_v6_3_get_config(model_, &c);
            name = c.name != nullptr ? c.name : "";
            return rc;
        });
        c.name = name.c_str();
        return config_to_dict(c);
    }

    // Frames of shape (paths, channels) or (paths, channels, vectors), in Fortran order.
    py::tuple send(const py::array_t<double, py::array::f_style | py::array::forcecast>& x)
    {
        if (x.ndim() != 2 && x.ndim() != 3)
            throw py::value_error("expected a 2-D or 3-D array");
        size_t dims[3] = { 0, 0, 1 };
        for (py::ssize_t i = 0; i < x.ndim(); ++i)
            dims[i] = static_cast<size_t>(x.shape(i));
        kip_array_real a = borrowed_real(const_cast<double*>(x.data()), dims, x.ndim(), x.size());
        auto r = call([&] {
            const int32_t rc = kip_fir_v6_3_data_send(model_, &a);
            if (rc == 0)
                pending_vectors_ += dims[2];
            return rc;
        });
        return py::make_tuple(r.first, to_list(r.second));
    }

    py::tuple send_channel(const py::array_t<double, py::array::c_style | py::array::forcecast>& x)
    {
        if (x.ndim() != 1)
            throw py::value_error("expected a 1-D array");
        size_t dims[1] = { static_cast<size_t>(x.shape(0)) };
        kip_array_real a = borrowed_real(const_cast<double*>(x.data()), dims, 1, x.size());
        auto r = call([&] {
            const int32_t rc = kip_fir_v6_3_data_send_channel(model_, &a);
            if (rc == 0)
                ++pending_positions_;
            return rc;
        });
        return py::make_tuple(r.first, to_list(r.second));
    }

    // Collects output. vectors < 0: everything waiting (repeated calls until one comes back
    // short; the library's warning about that short call is dropped). Returns
    // (status, array of shape (paths, channels, vectors), messages).
    py::tuple get(int kind_value, long long vectors)
    {
        const Kind kind = to_kind(kind_value);
        const bool all = vectors < 0;
        Collected c;
        size_t got = 0;
        auto r = call([&] {
            size_t want = all ? estimate_waiting() : static_cast<size_t>(vectors);
            for (;;) {
                size_t act = 0;
                const int32_t rc = get_block(kind, want, c, act);
                if (rc != 0)
                    return rc;
                got += act;
                if (!all || act < want)
                    break;
                want = std::max<size_t>(2 * want, 16);
            }
            if (all)
                pending_vectors_ = pending_positions_ = 0;
            return int32_t { 0 };
        });
        if (all) {
            const std::string tail
                = " WARNING: Getting more vectors than available, reseting array size";
            r.second.erase(
                std::remove_if(r.second.begin(), r.second.end(),
                    [&](const Message& m) { return !m.debug && ends_with(m.text, tail.c_str()); }),
                r.second.end());
        }
        py::object out = py::none();
        if (r.first == 0)
            out = make_output(kind, c, { paths_, channels_, got });
        return py::make_tuple(r.first, out, to_list(r.second));
    }

    // One channel position for every path: (status, array of shape (paths,) or (0,), messages).
    py::tuple get_channel(int kind_value)
    {
        const Kind kind = to_kind(kind_value);
        Collected c;
        auto r = call([&] { return get_channel_block(kind, c); });
        py::object out = py::none();
        if (r.first == 0)
            out = make_output(kind, c, { c.samples });
        return py::make_tuple(r.first, out, to_list(r.second));
    }

    py::tuple reload(
        long long fsel, const py::array_t<double, py::array::c_style | py::array::forcecast>& coeff)
    {
        if (coeff.ndim() != 1)
            throw py::value_error("coefficients must be a 1-D array");
        if (fsel < std::numeric_limits<int32_t>::min()
            || fsel > std::numeric_limits<uint32_t>::max())
            throw py::value_error("fsel does not fit a 32-bit integer");
        size_t dims[1] = { static_cast<size_t>(coeff.shape(0)) };
        kip_array_real a = borrowed_real(const_cast<double*>(coeff.data()), dims, 1, coeff.size());
        kip_fir_v6_3_rld_packet packet;
        packet.fsel = static_cast<int32_t>(static_cast<uint32_t>(fsel));
        packet.coeff = &a;
        auto r = call([&] { return kip_fir_v6_3_reload_send(model_, &packet); });
        return py::make_tuple(r.first, to_list(r.second));
    }

    py::tuple configure(const py::array_t<uint32_t, py::array::c_style>& fsel, long long pattern)
    {
        if (fsel.ndim() != 1)
            throw py::value_error("fsel must be a 1-D array");
        if (pattern < std::numeric_limits<int32_t>::min()
            || pattern > std::numeric_limits<int32_t>::max())
            throw py::value_error("pattern does not fit a 32-bit integer");
        size_t dims[1] = { static_cast<size_t>(fsel.shape(0)) };
        uint32_t dummy = 0;
        kip_array_uint a {};
        a.data = fsel.size() > 0 ? const_cast<uint32_t*>(fsel.data()) : &dummy;
        a.data_size = a.data_capacity = static_cast<size_t>(fsel.size());
        a.dim = dims;
        a.dim_size = a.dim_capacity = 1;
        a.owner = 1;
        kip_fir_v6_3_cnfg_packet packet;
        packet.chanpat = static_cast<int32_t>(pattern);
        packet.fsel = &a;
        auto r = call([&] { return kip_fir_v6_3_config_send(model_, &packet); });
        return py::make_tuple(r.first, to_list(r.second));
    }

    py::tuple reset()
    {
        auto r = call([&] {
            const int32_t rc = kip_fir_v6_3_reset(model_);
            if (rc == 0)
                pending_vectors_ = pending_positions_ = 0;
            return rc;
        });
        return py::make_tuple(r.first, to_list(r.second));
    }

private:
    FirModel() = default;

    static Kind to_kind(int k)
    {
        if (k < KIND_REAL || k > KIND_MPZ_COMPLEX)
            throw py::value_error("unknown output kind");
        return static_cast<Kind>(k);
    }

    // Runs fn (a library call) with the GIL released and the model locked; returns its status
    // and the messages it produced. Refuses a closed model.
    template <class Fn> std::pair<int32_t, Messages> call(Fn&& fn)
    {
        std::pair<int32_t, Messages> r { 1, {} };
        bool was_closed = false;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mu_);
            if (model_ == nullptr) {
                was_closed = true;
            } else {
                col_.messages.clear();
                r.first = fn();
                r.second = std::move(col_.messages);
                col_.messages.clear();
            }
        }
        if (was_closed)
            throw py::value_error("the model is closed");
        return r;
    }

    // A record over the caller's samples; owner 1: the library never grows or frees it.
    static kip_array_real borrowed_real(
        double* data, size_t* dims, py::ssize_t ndim, py::ssize_t size)
    {
        static const double empty = 0.0; // never written: the library only reads input arrays
        kip_array_real a {};
        a.data = size > 0 ? data : const_cast<double*>(&empty);
        a.data_size = a.data_capacity = static_cast<size_t>(size);
        a.dim = dims;
        a.dim_size = a.dim_capacity = static_cast<size_t>(ndim);
        a.owner = 1;
        return a;
    }

    // Output vectors that the input sent since the last complete collection should have made,
    // as the library sizes them; only a starting point for get(), which asks again when the
    // guess was too small.
    size_t estimate_waiting()
    {
        const size_t vectors = pending_vectors_
            + (pending_positions_ + channels_ - 1) / std::max<size_t>(channels_, 1);
        // Keep vectors * slots * interp_rate within the library's 32-bit sizing arithmetic.
        const size_t capped = std::min<size_t>(vectors, size_t { 1 } << 16);
        size_t in_dims[3] = { paths_, channels_, capped };
        size_t out_dims[3] = { 0, 0, 0 };
        kip_array_real in {};
        in.dim = in_dims;
        in.dim_size = in.dim_capacity = 3;
        in.owner = 1;
        kip_array_real out {};
        out.dim = out_dims;
        out.dim_size = out.dim_capacity = 3;
        out.owner = 1;
        Messages keep = std::move(col_.messages);
        col_.messages.clear();
        size_t guess = 16;
        if (kip_fir_v6_3_calc_size(model_, &in, &out, nullptr) == 0)
            guess = out_dims[2] + 1;
        col_.messages = std::move(keep);
        return guess;
    }

    // One data_get of up to want vectors into c; act receives the vectors stored.
    int32_t get_block(Kind kind, size_t want, Collected& c, size_t& act)
    {
        const size_t frame = paths_ * channels_;
        if (want > 0
            && frame > std::numeric_limits<size_t>::max() / 2 / want / sizeof(kip_mpz_complex)) {
            act = 0;
            return 1;
        }
        const std::vector<size_t> dims = { paths_, channels_, want };
        int32_t rc = 1;
        size_t stored = 0;
        if (kind == KIND_REAL || kind == KIND_COMPLEX) {
            size_t d[3] = { paths_, channels_, want };
            if (kind == KIND_REAL) {
                c.real.resize(c.samples + frame * want + 1);
                kip_array_real a = borrowed_out(c.real.data() + c.samples, d, frame * want);
                rc = kip_fir_v6_3_data_get(model_, &a, nullptr);
                stored = d[2];
                c.real.resize(c.samples + frame * stored);
            } else {
                c.cplx.resize(c.samples + frame * want + 1);
                kip_array_complex a {};
                a.data = c.cplx.data() + c.samples;
                a.data_size = a.data_capacity = frame * want;
                a.dim = d;
                a.dim_size = a.dim_capacity = 3;
                a.owner = 1;
                rc = kip_fir_v6_3_data_get(model_, nullptr, &a);
                stored = d[2];
                c.cplx.resize(c.samples + frame * stored);
            }
        } else if (kind == KIND_MPZ) {
            MpzArray a = make_mpz_array<MpzArray>(
                kip_array_mpz_create, kip_array_mpz_reserve_dim, kip_array_mpz_reserve_data, dims);
            if (!a)
                return 1;
            rc = kip_fir_v6_3_data_get_mpz(model_, a.get(), nullptr);
            stored = a->dim[2];
            c.counts.push_back(frame * stored);
            c.mpz.push_back(std::move(a));
        } else {
            MpzComplexArray a = make_mpz_array<MpzComplexArray>(kip_array_mpz_complex_create,
                kip_array_mpz_complex_reserve_dim, kip_array_mpz_complex_reserve_data, dims);
            if (!a)
                return 1;
            rc = kip_fir_v6_3_data_get_mpz(model_, nullptr, a.get());
            stored = a->dim[2];
            c.counts.push_back(frame * stored);
            c.mpzc.push_back(std::move(a));
        }
        if (rc != 0) {
            act = 0;
            return rc;
        }
        act = std::min(stored, want);
        c.samples += frame * act;
        if (!c.counts.empty())
            c.counts.back() = frame * act;
        return 0;
    }

    static kip_array_real borrowed_out(double* data, size_t* dims, size_t n)
    {
        kip_array_real a {};
        a.data = data;
        a.data_size = a.data_capacity = n;
        a.dim = dims;
        a.dim_size = a.dim_capacity = 3;
        a.owner = 1;
        return a;
    }

    int32_t get_channel_block(Kind kind, Collected& c)
    {
        size_t d[1] = { paths_ };
        int32_t rc = 1;
        size_t n = 0;
        if (kind == KIND_REAL) {
            c.real.resize(paths_ + 1);
            kip_array_real a {};
            a.data = c.real.data();
            a.data_capacity = paths_;
            a.dim = d;
            a.dim_size = a.dim_capacity = 1;
            a.owner = 1;
            rc = kip_fir_v6_3_data_get_channel(model_, &a, nullptr);
            n = a.data_size;
        } else if (kind == KIND_COMPLEX) {
            c.cplx.resize(paths_ + 1);
            kip_array_complex a {};
            a.data = c.cplx.data();
            a.data_capacity = paths_;
            a.dim = d;
            a.dim_size = a.dim_capacity = 1;
            a.owner = 1;
            rc = kip_fir_v6_3_data_get_channel(model_, nullptr, &a);
            n = a.data_size;
        } else if (kind == KIND_MPZ) {
            MpzArray a = make_mpz_array<MpzArray>(kip_array_mpz_create, kip_array_mpz_reserve_dim,
                kip_array_mpz_reserve_data, { paths_ });
            if (!a)
                return 1;
            rc = kip_fir_v6_3_data_get_channel_mpz(model_, a.get(), nullptr);
            n = a->data_size;
            c.counts.push_back(std::min(n, paths_));
            c.mpz.push_back(std::move(a));
        } else {
            MpzComplexArray a = make_mpz_array<MpzComplexArray>(kip_array_mpz_complex_create,
                kip_array_mpz_complex_reserve_dim, kip_array_mpz_complex_reserve_data, { paths_ });
            if (!a)
                return 1;
            rc = kip_fir_v6_3_data_get_channel_mpz(model_, nullptr, a.get());
            n = a->data_size;
            c.counts.push_back(std::min(n, paths_));
            c.mpzc.push_back(std::move(a));
        }
        if (rc != 0)
            return rc;
        c.samples = std::min(n, paths_);
        c.real.resize(kind == KIND_REAL ? c.samples : 0);
        c.cplx.resize(kind == KIND_COMPLEX ? c.samples : 0);
        return 0;
    }

    kip_fir_v6_3* model_ = nullptr;
    std::mutex mu_;
    Collector col_;
    size_t paths_ = 0;
    size_t channels_ = 0;
    bool hilbert_ = false;
    bool integer_ = false;
    size_t pending_vectors_ = 0; // frames sent since the last complete collection
    size_t pending_positions_ = 0; // single channel positions sent since then
};

// A read-only numpy copy of one of the library's constant pattern tables.
py::array table(const int32_t* data, std::vector<py::ssize_t> shape)
{
    py::array_t<int32_t> a(shape);
    std::memcpy(a.mutable_data(), data, static_cast<size_t>(a.size()) * sizeof(int32_t));
    a.attr("flags").attr("writeable") = false;
    return std::move(a);
}

} // namespace

PYBIND11_MODULE(_fir, m)
{
    m.doc() = "Binding of the tapforge v6.3 FIR model's C interface (use kip_models.fir).";
    m.def("version", [] { return std::string(kip_fir_v6_3_get_version()); });
    m.def("default_config", [] {
        kip_fir_v6_3_config c;
        kip_fir_v6_3_default_config(&c);
        py::dict d = config_to_dict(c);
        const size_t n = static_cast<size_t>(c.num_coeffs) * static_cast<size_t>(c.coeff_sets);
        py::array_t<double> coeff(static_cast<py::ssize_t>(n));
        std::memcpy(coeff.mutable_data(), c.coeff, n * sizeof(double));
        d["coeff"] = coeff;
        return d;
    });

    m.attr("PATTERN_COUNT") = KIP_FIR_V6_3_PATTERN_COUNT;
    m.attr("PATTERN_NONE") = KIP_FIR_V6_3_PATTERN_NONE;
    m.attr("pattern_min") = table(kip_fir_v6_3_pattern_min, { KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1 });
    m.attr("pattern_max") = table(kip_fir_v6_3_pattern_max, { KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1 });
    m.attr("pattern_seq") = table(&kip_fir_v6_3_pattern_seq[0][0],
        { KIP_FIR_V6_3_PATTERN_COUNT, KIP_FIR_V6_3_PATTERN_MAX_SLOTS });
    m.attr("pattern_map") = table(&kip_fir_v6_3_pattern_map[0][0][0],
        { KIP_FIR_V6_3_PATTERN_COUNT, KIP_FIR_V6_3_PATTERN_MAX_SLOTS,
            KIP_FIR_V6_3_PATTERN_MAP_ITEMS });

    m.attr("KIND_REAL") = static_cast<int>(KIND_REAL);
    m.attr("KIND_COMPLEX") = static_cast<int>(KIND_COMPLEX);
    m.attr("KIND_MPZ") = static_cast<int>(KIND_MPZ);
    m.attr("KIND_MPZ_COMPLEX") = static_cast<int>(KIND_MPZ_COMPLEX);

    py::class_<FirModel>(m, "Model")
        .def_static(
            "create", &FirModel::create, py::arg("config"), py::arg("coeff"), py::arg("debug"))
        .def("close", &FirModel::close)
        .def_property_readonly("closed", &FirModel::closed)
        .def_property_readonly("integer_mode", &FirModel::integer_mode)
        .def_property_readonly("hilbert", &FirModel::hilbert)
        .def_property_readonly("paths", &FirModel::paths)
        .def_property_readonly("channels", &FirModel::channels)
        .def("get_config", &FirModel::get_config)
        .def("send", &FirModel::send)
        .def("send_channel", &FirModel::send_channel)
        .def("get", &FirModel::get, py::arg("kind"), py::arg("vectors"))
        .def("get_channel", &FirModel::get_channel, py::arg("kind"))
        .def("reload", &FirModel::reload)
        .def("configure", &FirModel::configure)
        .def("reset", &FirModel::reset);
}
