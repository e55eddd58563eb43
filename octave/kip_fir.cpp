// kip_fir: MEX gateway to the tapforge FIR model for GNU Octave and MATLAB (help in kip_fir.m).
//
// Written against the MEX API alone (mex.h, separate real and imaginary parts), so the same file
// builds with `mkoctfile --mex` and with MATLAB's `mex -R2017b`. Models live in a registry keyed
// by unguessable 64-bit handles; a handle that is not in it is refused. Library messages are
// collected during each library call and raised as MEX warnings and errors only after the call
// has returned and every temporary has been freed, because mexErrMsgIdAndTxt may jump out of the
// MEX function without unwinding C++ frames.
#include "mex.h"

#include "kip_mex_common.h"

#include <tapforge_v6_3_bitacc_cmodel.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// ------------------------------------------------------------------------------------------------
// Failures and messages: collected here, raised by mexFunction after everything is freed.

using namespace kip_mex;

struct Message {
    int error;
    std::string text;
};

// The model's message handler: stores the text for the wrapper to raise after the call.
void collect(void* handle, int32_t error, const char* text)
{
    try {
        static_cast<std::vector<Message>*>(handle)->push_back({ error, text ? text : "" });
    } catch (...) {
        // Out of memory while recording a message: the status of the call still reports it.
    }
}

// Moves the messages of one library call into the warnings to raise; returns the text that
// describes a failed call (its error message, else its last warning, else fallback).
std::string relay(std::vector<Message>& messages, bool failed, const std::string& fallback)
{
    std::string reason;
    if (failed) {
        for (const Message& m : messages)
            if (m.error) {
                reason = m.text;
                break;
            }
        if (reason.empty() && !messages.empty())
            reason = messages.back().text;
        if (reason.empty())
            reason = fallback;
    }
    for (const Message& m : messages)
        if (m.text != reason)
            g_warnings.push_back(m.text);
    messages.clear();
    return reason;
}

// ------------------------------------------------------------------------------------------------
// Argument helpers

std::string get_string(const mxArray* a, const char* what)
{
    if (!mxIsChar(a) || mxGetNumberOfDimensions(a) > 2 || (mxGetM(a) > 1))
        fail("kip:fir:invalidInput", std::string(what) + " must be a character row vector");
    char* s = mxArrayToString(a);
    if (s == nullptr)
        fail("kip:fir:invalidInput", std::string(what) + " could not be read as a string");
    std::string r(s);
    mxFree(s);
    return r;
}

bool is_real_numeric_scalar(const mxArray* a)
{
    return (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) && !mxIsSparse(a)
        && mxGetNumberOfElements(a) == 1;
}

// An integer-valued real scalar within [lo, hi].
int64_t get_integer(
    const mxArray* a, int64_t lo, int64_t hi, const char* id, const std::string& what)
{
    if (!is_real_numeric_scalar(a))
        fail(id, what + " must be a real numeric scalar");
    const double v = mxGetScalar(a);
    if (!std::isfinite(v) || v != std::floor(v) || v < static_cast<double>(lo)
        || v > static_cast<double>(hi))
        fail(id,
            what + " must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
    return static_cast<int64_t>(v);
}

// A real, full, double array whose values are all finite.
const double* get_finite_doubles(const mxArray* a, const char* id, const std::string& what)
{
    if (!mxIsDouble(a) || mxIsComplex(a) || mxIsSparse(a))
        fail(id, what + " must be a real double array");
    const double* p = mxGetPr(a);
    const size_t n = mxGetNumberOfElements(a);
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(p[i]))
            fail(id,
                what + " must hold finite values; element " + std::to_string(i + 1) + " is "
                    + (std::isnan(p[i]) ? "NaN" : "infinite"));
    return p;
}

// A scalar or vector, not a matrix.
bool is_vector(const mxArray* a)
{
    return mxGetNumberOfDimensions(a) == 2 && (mxGetM(a) <= 1 || mxGetN(a) <= 1);
}

// The elements of a real numeric or logical array as doubles (exact for every 32-bit value).
std::vector<double> numeric_values(const mxArray* a)
{
    std::vector<double> v;
    if (!to_doubles(a, v))
        fail("kip:fir:invalidInput", "expected a real numeric array");
    return v;
}

// ------------------------------------------------------------------------------------------------
// Configuration record <-> struct

// Fields, kinds, ranges and defaults are the library's own description of the record.
const kip_fir_v6_3_field_desc& field(int32_t i) { return *kip_fir_v6_3_field_at(i); }

mxArray* row_vector(const double* v, size_t n)
{
    mxArray* a = mxCreateDoubleMatrix(1, n, mxREAL);
    if (n > 0)
        std::memcpy(mxGetPr(a), v, n * sizeof(double));
    return a;
}

mxArray* config_struct(const kip_fir_v6_3_config& c, const std::vector<double>& coeff)
{
    const int32_t n = kip_fir_v6_3_field_count();
    std::vector<const char*> names;
    for (int32_t i = 0; i < n; ++i)
        names.push_back(field(i).name);
    mxArray* s = mxCreateStructMatrix(1, 1, n, names.data());
    for (int32_t i = 0; i < n; ++i) {
        const kip_fir_v6_3_field_desc& d = field(i);
        int32_t v = 0;
        if (d.kind == KIP_FIR_V6_3_FIELD_STRING)
            mxSetFieldByNumber(s, 0, i, mxCreateString(c.name ? c.name : ""));
        else if (d.kind == KIP_FIR_V6_3_FIELD_REAL_ARRAY)
            mxSetFieldByNumber(s, 0, i, row_vector(coeff.data(), coeff.size()));
        else if (kip_fir_v6_3_config_get_field(&c, d.name, &v, nullptr, 0) == 0)
            mxSetFieldByNumber(s, 0, i, mxCreateDoubleScalar(v));
    }
    return s;
}

// One element per field: name, kind, help, rule, min, max, default (the text form).
mxArray* fields_description()
{
    const char* names[] = { "name", "kind", "help", "rule", "min", "max", "default" };
    const int32_t n = kip_fir_v6_3_field_count();
    mxArray* s = mxCreateStructMatrix(static_cast<size_t>(n), 1, 7, names);
    for (int32_t i = 0; i < n; ++i) {
        const kip_fir_v6_3_field_desc& d = field(i);
        static const char* const kinds[] = { "integer", "flag", "choice", "string", "real array" };
        const bool integer
            = d.kind != KIP_FIR_V6_3_FIELD_STRING && d.kind != KIP_FIR_V6_3_FIELD_REAL_ARRAY;
        mxSetFieldByNumber(s, i, 0, mxCreateString(d.name));
        mxSetFieldByNumber(
            s, i, 1, mxCreateString(d.kind >= 0 && d.kind <= 4 ? kinds[d.kind] : "other"));
        mxSetFieldByNumber(s, i, 2, mxCreateString(d.help));
        mxSetFieldByNumber(s, i, 3, mxCreateString(d.rule));
        mxSetFieldByNumber(s, i, 4,
            integer ? mxCreateDoubleScalar(d.min_value) : mxCreateDoubleMatrix(0, 0, mxREAL));
        mxSetFieldByNumber(s, i, 5,
            integer ? mxCreateDoubleScalar(d.max_value) : mxCreateDoubleMatrix(0, 0, mxREAL));
        mxSetFieldByNumber(s, i, 6, mxCreateString(d.default_text));
    }
    return s;
}

// Reads a configuration struct over the defaults. Fills coeff with the coefficient values the
// model is created from, so the record's coeff pointer can point into it.
kip_fir_v6_3_config parse_config(const mxArray* s, std::string& name, std::vector<double>& coeff)
{
    kip_fir_v6_3_config c;
    kip_fir_v6_3_default_config(&c);
    name = c.name;
    bool have_coeff = false, have_num_coeffs = false;
    if (s != nullptr) {
        if (!mxIsStruct(s) || mxGetNumberOfElements(s) != 1)
            fail("kip:fir:invalidConfig", "the configuration must be a 1x1 struct");
        const int nfields = mxGetNumberOfFields(s);
        for (int i = 0; i < nfields; ++i) {
            const std::string key = mxGetFieldNameByNumber(s, i);
            const kip_fir_v6_3_field_desc* d = kip_fir_v6_3_field_find(key.c_str());
            if (d == nullptr)
                fail("kip:fir:invalidConfig",
                    "unknown configuration field '" + key + "'; kip_fir('fields') lists them");
            const mxArray* v = mxGetFieldByNumber(s, 0, i);
            if (v == nullptr)
                fail("kip:fir:invalidConfig", "configuration field '" + key + "' is empty");
            if (d->kind == KIP_FIR_V6_3_FIELD_STRING) {
                name = get_string(v, "configuration field 'name'");
            } else if (d->kind == KIP_FIR_V6_3_FIELD_REAL_ARRAY) {
                const double* p
                    = get_finite_doubles(v, "kip:fir:invalidConfig", "configuration field 'coeff'");
                if (!is_vector(v) || mxGetNumberOfElements(v) == 0)
                    fail("kip:fir:invalidConfig",
                        "configuration field 'coeff' must be a non-empty vector");
                coeff.assign(p, p + mxGetNumberOfElements(v));
                have_coeff = true;
            } else {
                const int32_t value = static_cast<int32_t>(get_integer(v,
                    std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                    "kip:fir:invalidConfig", "configuration field '" + key + "'"));
                if (d->computed) {
                    // Written by the model (as in a get_config struct given back): kept in the
                    // record, where the library's check notes it as ignored.
                    *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(&c) + d->offset) = value;
                } else {
                    char why[KIP_FIR_V6_3_MSG_LEN];
                    if (kip_fir_v6_3_config_set_field(&c, d->name, value, why, sizeof why) != 0)
                        fail("kip:fir:invalidConfig", why);
                }
                have_num_coeffs |= key == "num_coeffs";
            }
        }
    }
    // The library reads num_coeffs * coeff_sets values and cannot check the array's length, so
    // the count is tied to the values given here.
    if (c.num_coeffs >= 1 && c.coeff_sets >= 1) {
        if (have_coeff) {
            if (!have_num_coeffs) {
                if (coeff.size() % static_cast<size_t>(c.coeff_sets) != 0)
                    fail("kip:fir:invalidConfig",
                        "numel(coeff) = " + std::to_string(coeff.size())
                            + " is not a multiple of coeff_sets = " + std::to_string(c.coeff_sets));
                const size_t n = coeff.size() / static_cast<size_t>(c.coeff_sets);
                if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
                    fail("kip:fir:invalidConfig", "too many coefficients");
                c.num_coeffs = static_cast<int32_t>(n);
            } else if (coeff.size()
                != static_cast<size_t>(c.num_coeffs) * static_cast<size_t>(c.coeff_sets)) {
                fail("kip:fir:invalidConfig",
                    "numel(coeff) = " + std::to_string(coeff.size())
                        + " differs from num_coeffs * coeff_sets = "
                        + std::to_string(static_cast<int64_t>(c.num_coeffs) * c.coeff_sets));
            }
        } else {
            kip_fir_v6_3_config d;
            kip_fir_v6_3_default_config(&d);
            const int64_t need = static_cast<int64_t>(c.num_coeffs) * c.coeff_sets;
            if (need > d.num_coeffs)
                fail("kip:fir:invalidConfig",
                    "num_coeffs * coeff_sets = " + std::to_string(need)
                        + " needs field 'coeff' (the " + std::to_string(d.num_coeffs)
                        + " default coefficients are too few)");
            coeff.assign(d.coeff, d.coeff + need);
        }
    } else if (!have_coeff) {
        kip_fir_v6_3_config d;
        kip_fir_v6_3_default_config(&d);
        coeff.assign(d.coeff, d.coeff + d.num_coeffs);
    }
    c.coeff = coeff.data();
    return c;
}

// ------------------------------------------------------------------------------------------------
// Models

enum class OutKind { Real, Complex, Int64 };

template <class A, A* (*Destroy)(A*)> struct ArrayDeleter {
    void operator()(A* a) const { Destroy(a); }
};
using RealArray = std::unique_ptr<kip_array_real,
    ArrayDeleter<kip_array_real, kip_fir_v6_3_kip_array_real_destroy>>;
using ComplexArray = std::unique_ptr<kip_array_complex,
    ArrayDeleter<kip_array_complex, kip_fir_v6_3_kip_array_complex_destroy>>;
using MpzArray = std::unique_ptr<kip_array_mpz,
    ArrayDeleter<kip_array_mpz, kip_fir_v6_3_kip_array_mpz_destroy>>;

struct Model {
    kip_fir_v6_3* fir = nullptr;
    std::vector<Message> messages; // handler target, emptied after every library call
    kip_fir_v6_3_config done {}; // completed configuration (name points into fir)
    std::vector<double> coeff; // coefficients given at creation
    size_t paths = 1, channels = 1;
    OutKind kind = OutKind::Real;
    // The model delivers every complete output vector into the sink at each data_send; the
    // vectors wait below until collected.
    RealArray sink_real;
    ComplexArray sink_complex;
    MpzArray sink_mpz;
    std::vector<double> out_re, out_im;
    std::vector<int64_t> out_int;
    size_t out_vectors = 0;
    std::string range_error; // the first waiting output that int64 cannot hold
    int32_t chanpat = KIP_FIR_V6_3_PATTERN_NONE; // pattern of the last configuration packet

    ~Model()
    {
        if (fir != nullptr)
            kip_fir_v6_3_destroy(fir); // before the sinks it refers to
    }

    void clear_output()
    {
        out_re.clear();
        out_im.clear();
        out_int.clear();
        out_vectors = 0;
        range_error.clear();
    }
};

Registry<Model> g_models("kip:fir:invalidHandle", "kip_fir");

void free_all() { g_models.clear(); }

Model& get_model(const mxArray* a) { return g_models.get(a); }

mxArray* handle_array(uint64_t h)
{
    mxArray* a = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
    *static_cast<uint64_t*>(mxGetData(a)) = h;
    return a;
}

// int64 value of z when it fits.
bool to_int64(const mpz_t z, int64_t& out)
{
    const int sign = mpz_sgn(z);
    if (sign == 0) {
        out = 0;
        return true;
    }
    if (mpz_sizeinbase(z, 2) > 64)
        return false;
    uint64_t mag = 0;
    size_t count = 0;
    mpz_export(&mag, &count, -1, sizeof mag, 0, 0, z);
    const uint64_t limit = sign > 0
        ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
        : static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
    if (mag > limit)
        return false;
    out = sign > 0 ? static_cast<int64_t>(mag) : static_cast<int64_t>(0 - mag);
    return true;
}

// Moves the vectors the last data_send delivered into the model's waiting output.
template <class A> size_t delivered(const Model& m, const A* sink)
{
    const size_t frame = m.paths * m.channels;
    if (sink->dim_size != 3 || sink->dim == nullptr || sink->dim[0] != m.paths
        || sink->dim[1] != m.channels || sink->data_size != frame * sink->dim[2]
        || sink->data_capacity < sink->data_size)
        fail("kip:fir:internal", "the model delivered an output array of an unexpected shape");
    return sink->dim[2];
}

void harvest(Model& m)
{
    const size_t frame = m.paths * m.channels;
    if (m.kind == OutKind::Real) {
        const size_t n = delivered(m, m.sink_real.get()) * frame;
        m.out_re.insert(m.out_re.end(), m.sink_real->data, m.sink_real->data + n);
        m.out_vectors += n / frame;
    } else if (m.kind == OutKind::Complex) {
        const size_t n = delivered(m, m.sink_complex.get()) * frame;
        m.out_re.reserve(m.out_re.size() + n);
        m.out_im.reserve(m.out_im.size() + n);
        for (size_t i = 0; i < n; ++i) {
            m.out_re.push_back(m.sink_complex->data[i].re);
            m.out_im.push_back(m.sink_complex->data[i].im);
        }
        m.out_vectors += n / frame;
    } else {
        const size_t n = delivered(m, m.sink_mpz.get()) * frame;
        m.out_int.reserve(m.out_int.size() + n);
        for (size_t i = 0; i < n; ++i) {
            int64_t v = 0;
            if (!to_int64(m.sink_mpz->data[i], v) && m.range_error.empty())
                m.range_error = "output of path " + std::to_string(i % m.paths + 1) + ", channel "
                    + std::to_string(i / m.paths % m.channels + 1) + ", vector "
                    + std::to_string(m.out_vectors + i / frame + 1) + " needs "
                    + std::to_string(mpz_sizeinbase(m.sink_mpz->data[i], 2) + 1)
                    + " bits and does not fit int64 (output_width "
                    + std::to_string(m.done.output_width) + "); the waiting outputs were dropped";
            m.out_int.push_back(v);
        }
        m.out_vectors += n / frame;
    }
}

mxArray* take_output(Model& m)
{
    if (!m.range_error.empty()) {
        const std::string text = m.range_error;
        m.clear_output();
        fail("kip:fir:outputRange", text);
    }
    mwSize dims[3];
    mwSize nd = 0;
    if (m.paths > 1)
        dims[nd++] = static_cast<mwSize>(m.paths);
    dims[nd++] = static_cast<mwSize>(m.channels);
    dims[nd++] = static_cast<mwSize>(m.out_vectors);
    mxArray* a;
    if (m.kind == OutKind::Int64) {
        a = mxCreateNumericArray(nd, dims, mxINT64_CLASS, mxREAL);
        if (!m.out_int.empty())
            std::memcpy(mxGetData(a), m.out_int.data(), m.out_int.size() * sizeof(int64_t));
    } else {
        a = mxCreateNumericArray(
            nd, dims, mxDOUBLE_CLASS, m.kind == OutKind::Complex ? mxCOMPLEX : mxREAL);
        if (!m.out_re.empty())
            std::memcpy(mxGetPr(a), m.out_re.data(), m.out_re.size() * sizeof(double));
        if (m.kind == OutKind::Complex && !m.out_im.empty())
            std::memcpy(mxGetPi(a), m.out_im.data(), m.out_im.size() * sizeof(double));
    }
    m.clear_output();
    return a;
}

// ------------------------------------------------------------------------------------------------
// Commands

void need_args(int nrhs, int lo, int hi, const char* usage)
{
    if (nrhs < lo || nrhs > hi)
        fail("kip:fir:usage", std::string("usage: ") + usage);
}

void cmd_create(int nrhs, const mxArray* prhs[], mxArray* plhs[])
{
    need_args(nrhs, 1, 2, "h = kip_fir('create'[, config])");
    std::string name;
    auto m = std::make_unique<Model>();
    kip_fir_v6_3_config c = parse_config(nrhs > 1 ? prhs[1] : nullptr, name, m->coeff);
    c.name = name.c_str();
    m->fir = kip_fir_v6_3_create(&c, collect, &m->messages);
    const std::string reason
        = relay(m->messages, m->fir == nullptr, "kip_fir_v6_3_create refused the configuration");
    if (m->fir == nullptr)
        fail("kip:fir:invalidConfig", reason);
    char notes[KIP_FIR_V6_3_MSG_LEN];
    if (kip_fir_v6_3_config_check(&c, notes, sizeof notes) > 0)
        warn("kip:fir:ignoredSetting", notes);
    kip_fir_v6_3_get_config(m->fir, &m->done);
    m->chanpat = m->done.init_pattern;
    m->paths = static_cast<size_t>(m->done.num_paths);
    m->channels = static_cast<size_t>(m->done.num_channels);
    const bool hilbert = m->done.filter_type == 3;
    const bool wide = m->done.output_width > 53;
    int32_t rc = 1;
    if (hilbert && wide) {
        fail("kip:fir:unsupported",
            "a Hilbert filter whose output is wider than 53 bits (output_width "
                + std::to_string(m->done.output_width)
                + ") would need complex int64 outputs, which Octave lacks; use output_rounding "
                  "with an output_width of at most 53");
    } else if (hilbert) {
        m->kind = OutKind::Complex;
        m->sink_complex.reset(kip_fir_v6_3_kip_array_complex_create());
        if (m->sink_complex)
            rc = kip_fir_v6_3_set_data_sink(m->fir, nullptr, m->sink_complex.get());
    } else if (wide) {
        m->kind = OutKind::Int64;
        m->sink_mpz.reset(kip_fir_v6_3_kip_array_mpz_create());
        if (m->sink_mpz)
            rc = kip_fir_v6_3_set_data_sink_mpz(m->fir, m->sink_mpz.get(), nullptr);
    } else {
        m->kind = OutKind::Real;
        m->sink_real.reset(kip_fir_v6_3_kip_array_real_create());
        if (m->sink_real)
            rc = kip_fir_v6_3_set_data_sink(m->fir, m->sink_real.get(), nullptr);
    }
    const std::string sink_reason
        = relay(m->messages, rc != 0, "could not set up the output array");
    if (rc != 0)
        fail("kip:fir:internal", sink_reason);
    const uint64_t h = g_models.add(std::move(m));
    plhs[0] = handle_array(h);
}

void cmd_send(int nlhs, int nrhs, const mxArray* prhs[], mxArray* plhs[])
{
    need_args(nrhs, 3, 3, "[y =] kip_fir('send', h, x)");
    Model& m = get_model(prhs[1]);
    const mxArray* x = prhs[2];
    const double* data = get_finite_doubles(x, "kip:fir:invalidInput", "x");
    const mwSize nd = mxGetNumberOfDimensions(x);
    const mwSize* d = mxGetDimensions(x);
    const size_t numel = mxGetNumberOfElements(x);
    // Accepted shapes: paths x channels x vectors; channels x vectors when there is one path;
    // any vector when there is one path and one channel.
    size_t vectors = 0;
    bool ok = false;
    if (m.paths == 1 && m.channels == 1 && nd == 2 && (d[0] == 1 || d[1] == 1)) {
        vectors = numel;
        ok = true;
    } else if (m.paths == 1 && nd == 2 && static_cast<size_t>(d[0]) == m.channels) {
        vectors = d[1];
        ok = true;
    } else if (nd <= 3 && static_cast<size_t>(d[0]) == m.paths
        && static_cast<size_t>(d[1]) == m.channels) {
        vectors = nd == 3 ? d[2] : 1;
        ok = true;
    }
    if (!ok) {
        std::string got;
        for (mwSize i = 0; i < nd; ++i)
            got += (i ? "x" : "") + std::to_string(static_cast<size_t>(d[i]));
        fail("kip:fir:invalidInput",
            "x must be paths x channels x vectors = " + std::to_string(m.paths) + "x"
                + std::to_string(m.channels) + "xV"
                + (m.paths == 1 ? " or channels x vectors = " + std::to_string(m.channels) + "xV"
                                : std::string())
                + "; got " + got);
    }
    if (vectors > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        fail("kip:fir:invalidInput", "x holds too many vectors for one call; send it in parts");
    // Samples outside the data format or off its grid are converted as the model does, with one
    // warning for the call (indices counted from 1, as x(k)).
    kip_fir_v6_3_input_report report {};
    if (kip_fir_v6_3_input_check(&m.done, data, numel, &report, nullptr, 0) == 0
        && (report.out_of_format > 0 || report.off_grid > 0)) {
        std::string text;
        if (report.out_of_format > 0)
            text = std::to_string(report.out_of_format) + " input sample"
                + (report.out_of_format > 1 ? "s" : "") + " outside the data format ("
                + std::to_string(m.done.data_width) + " bits, "
                + std::to_string(m.done.data_fract_width)
                + " fractional) wrapped around, the first x("
                + std::to_string(report.first_out_of_format + 1) + ")";
        if (report.off_grid > 0)
            text += (text.empty() ? "" : "; ") + std::to_string(report.off_grid) + " input sample"
                + (report.off_grid > 1 ? "s" : "") + " off the data grid (multiples of 2^-"
                + std::to_string(m.done.data_fract_width) + ") rounded down, the first x("
                + std::to_string(report.first_off_grid + 1) + ")";
        warn("kip:fir:inputConverted", text);
    }
    static const double none = 0.0; // data of an empty input, never read
    size_t dims[3] = { m.paths, m.channels, vectors };
    kip_array_real in {};
    in.data = numel > 0 ? const_cast<double*>(data) : const_cast<double*>(&none);
    in.data_size = in.data_capacity = numel;
    in.dim = dims;
    in.dim_size = in.dim_capacity = 3;
    in.owner = 1;
    const int32_t rc = kip_fir_v6_3_data_send(m.fir, &in);
    const std::string reason = relay(m.messages, rc != 0, "kip_fir_v6_3_data_send failed");
    if (rc != 0)
        fail("kip:fir:sendFailed", reason);
    harvest(m);
    if (nlhs > 0)
        plhs[0] = take_output(m);
}

void cmd_get(int nrhs, const mxArray* prhs[], mxArray* plhs[])
{
    need_args(nrhs, 2, 2, "y = kip_fir('get', h)");
    plhs[0] = take_output(get_model(prhs[1]));
}

void cmd_reload(int nrhs, const mxArray* prhs[])
{
    need_args(nrhs, 4, 4, "kip_fir('reload', h, fsel, coeff)");
    Model& m = get_model(prhs[1]);
    kip_fir_v6_3_rld_packet p {};
    p.fsel = static_cast<int32_t>(get_integer(
        prhs[2], 0, std::numeric_limits<int32_t>::max(), "kip:fir:invalidInput", "fsel"));
    const double* v = get_finite_doubles(prhs[3], "kip:fir:invalidInput", "coeff");
    if (!is_vector(prhs[3]))
        fail("kip:fir:invalidInput", "coeff must be a vector");
    // Extra values are refused here (the model would drop them with a warning); too few are
    // refused by the model.
    if (mxGetNumberOfElements(prhs[3]) > static_cast<size_t>(m.done.num_coeffs))
        fail("kip:fir:reloadFailed",
            "coeff holds " + std::to_string(mxGetNumberOfElements(prhs[3]))
                + " values; a reload packet takes num_coeffs = "
                + std::to_string(m.done.num_coeffs));
    static const double none = 0.0;
    size_t dims[1] = { mxGetNumberOfElements(prhs[3]) };
    kip_array_real a {};
    a.data = dims[0] > 0 ? const_cast<double*>(v) : const_cast<double*>(&none);
    a.data_size = a.data_capacity = dims[0];
    a.dim = dims;
    a.dim_size = a.dim_capacity = 1;
    a.owner = 1;
    p.coeff = &a;
    const int32_t rc = kip_fir_v6_3_reload_send(m.fir, &p);
    const std::string reason = relay(m.messages, rc != 0, "kip_fir_v6_3_reload_send failed");
    if (rc != 0)
        fail("kip:fir:reloadFailed", reason);
}

void cmd_config(int nrhs, const mxArray* prhs[])
{
    need_args(nrhs, 3, 4, "kip_fir('config', h, fsel[, chanpat])");
    Model& m = get_model(prhs[1]);
    const mxArray* f = prhs[2];
    if (!(mxIsNumeric(f) || mxIsLogical(f)) || mxIsComplex(f) || mxIsSparse(f) || !is_vector(f))
        fail("kip:fir:invalidInput", "fsel must be a real numeric vector");
    const size_t n = mxGetNumberOfElements(f);
    const std::vector<double> values = numeric_values(f);
    std::vector<uint32_t> sel(n + 1, 0); // one spare element keeps data non-null
    for (size_t i = 0; i < n; ++i) {
        const double v = values[i];
        if (!(v >= 0 && v <= 4294967295.0 && v == std::floor(v)))
            fail("kip:fir:invalidInput",
                "fsel must hold integers from 0 to 4294967295; element " + std::to_string(i + 1)
                    + " is not one");
        sel[i] = static_cast<uint32_t>(v);
    }
    kip_fir_v6_3_cnfg_packet p {};
    // Without chanpat the packet keeps the pattern of the previous one (init_pattern at first).
    p.chanpat = nrhs > 3
        ? static_cast<int32_t>(get_integer(prhs[3], std::numeric_limits<int32_t>::min(),
            std::numeric_limits<int32_t>::max(), "kip:fir:invalidInput", "chanpat"))
        : m.chanpat;
    size_t dims[1] = { n };
    kip_array_uint a {};
    a.data = sel.data();
    a.data_size = n;
    a.data_capacity = n;
    a.dim = dims;
    a.dim_size = a.dim_capacity = 1;
    a.owner = 1;
    p.fsel = &a;
    const int32_t rc = kip_fir_v6_3_config_send(m.fir, &p);
    const std::string reason = relay(m.messages, rc != 0, "kip_fir_v6_3_config_send failed");
    if (rc != 0)
        fail("kip:fir:configFailed", reason);
    m.chanpat = p.chanpat;
}

void cmd_reset(int nrhs, const mxArray* prhs[])
{
    need_args(nrhs, 2, 2, "kip_fir('reset', h)");
    Model& m = get_model(prhs[1]);
    const int32_t rc = kip_fir_v6_3_reset(m.fir);
    m.clear_output();
    m.chanpat = m.done.init_pattern;
    const std::string reason = relay(m.messages, rc != 0, "kip_fir_v6_3_reset failed");
    if (rc != 0)
        fail("kip:fir:resetFailed", reason);
}

void cmd_destroy(int nrhs, const mxArray* prhs[])
{
    need_args(nrhs, 2, 2, "kip_fir('destroy', h)");
    g_models.erase(prhs[1]);
}

void cmd_get_config(int nrhs, const mxArray* prhs[], mxArray* plhs[])
{
    need_args(nrhs, 2, 2, "cfg = kip_fir('get_config', h)");
    const Model& m = get_model(prhs[1]);
    plhs[0] = config_struct(m.done, m.coeff);
}

void cmd_defaults(int nrhs, mxArray* plhs[])
{
    need_args(nrhs, 1, 1, "cfg = kip_fir('defaults')");
    kip_fir_v6_3_config c;
    kip_fir_v6_3_default_config(&c);
    plhs[0] = config_struct(c, std::vector<double>(c.coeff, c.coeff + c.num_coeffs));
}

void cmd_handles(int nrhs, mxArray* plhs[])
{
    need_args(nrhs, 1, 1, "hs = kip_fir('handles')");
    plhs[0] = g_models.handles();
}

void dispatch(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    if (nrhs < 1 || !mxIsChar(prhs[0]))
        fail("kip:fir:usage", "the first argument must be a command; see 'help kip_fir'");
    const std::string cmd = get_string(prhs[0], "the command");
    // More outputs than a command returns would leave Octave to raise its own error, without an
    // identifier: refused here first.
    static const struct {
        const char* cmd;
        int outputs;
    } k_outputs[] = { { "create", 1 }, { "send", 1 }, { "get", 1 }, { "reload", 0 },
        { "config", 0 }, { "reset", 0 }, { "destroy", 0 }, { "get_config", 1 }, { "defaults", 1 },
        { "handles", 1 }, { "version", 1 }, { "fields", 1 } };
    for (const auto& c : k_outputs)
        if (cmd == c.cmd && nlhs > c.outputs)
            fail("kip:fir:usage",
                "kip_fir('" + cmd + "', ...) returns " + (c.outputs ? "one output" : "no output")
                    + ", not " + std::to_string(nlhs) + "; see 'help kip_fir'");
    if (cmd == "create")
        cmd_create(nrhs, prhs, plhs);
    else if (cmd == "send")
        cmd_send(nlhs, nrhs, prhs, plhs);
    else if (cmd == "get")
        cmd_get(nrhs, prhs, plhs);
    else if (cmd == "reload")
        cmd_reload(nrhs, prhs);
    else if (cmd == "config")
        cmd_config(nrhs, prhs);
    else if (cmd == "reset")
        cmd_reset(nrhs, prhs);
    else if (cmd == "destroy")
        cmd_destroy(nrhs, prhs);
    else if (cmd == "get_config")
        cmd_get_config(nrhs, prhs, plhs);
    else if (cmd == "defaults")
        cmd_defaults(nrhs, plhs);
    else if (cmd == "handles")
        cmd_handles(nrhs, plhs);
    else if (cmd == "fields") {
        need_args(nrhs, 1, 1, "d = kip_fir('fields')");
        plhs[0] = fields_description();
    } else if (cmd == "version") {
        need_args(nrhs, 1, 1, "v = kip_fir('version')");
        plhs[0] = mxCreateString(kip_fir_v6_3_get_version());
    } else
        fail("kip:fir:usage", "unknown command '" + cmd + "'; see 'help kip_fir'");
}

} // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    kip_mex::run_gateway("fir", free_all, [&] { dispatch(nlhs, plhs, nrhs, prhs); });
}
