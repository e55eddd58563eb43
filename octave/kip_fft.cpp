// kip_fft: MEX gateway to the kfft FFT model for GNU Octave and MATLAB (help in kip_fft.m).
//
// Written against the MEX API alone (mex.h, separate real and imaginary parts), so the same file
// builds with `mkoctfile --mex` and with MATLAB's `mex -R2017b`. States live in a registry keyed
// by unguessable 64-bit handles; a handle that is not in it is refused. Built with
// KIP_FFT_MESSAGE_SINK (and the model's static core), the model's message lines are captured and
// raised as MEX warnings and errors; without it they stay on the standard error stream and
// errors are described by their return code. Either way errors are raised only after every
// temporary has been freed, because mexErrMsgIdAndTxt may jump out of the MEX function without
// unwinding C++ frames.
#include "mex.h"

#include "kip_mex_common.h"

#include <kfft_v8_0_bitacc_cmodel.h>
#ifdef KIP_FFT_MESSAGE_SINK
#include "message_sink.h"
#endif

#include <algorithm>
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

// Message lines of one library call.
struct Lines {
    std::vector<std::string> warnings;
    std::string error;
};

#ifdef KIP_FFT_MESSAGE_SINK
void collect(void* ctx, int is_error, const char* line)
{
    try {
        Lines& l = *static_cast<Lines*>(ctx);
        if (is_error) {
            if (l.error.empty())
                l.error = line ? line : "";
        } else {
            l.warnings.emplace_back(line ? line : "");
        }
    } catch (...) {
        // Out of memory while recording a line: the return code still reports a failure.
    }
}
#endif

// Adds a warning line unless the same text is already waiting (a matrix of frames repeats them).
void add_warning(const std::string& text)
{
    for (const std::string& w : g_warnings)
        if (w == text)
            return;
    g_warnings.push_back(text);
}

// ------------------------------------------------------------------------------------------------
// Argument helpers

std::string get_string(const mxArray* a, const char* what)
{
    if (!mxIsChar(a) || mxGetNumberOfDimensions(a) > 2 || mxGetM(a) > 1)
        fail("kip:fft:invalidInput", std::string(what) + " must be a character row vector");
    char* s = mxArrayToString(a);
    if (s == nullptr)
        fail("kip:fft:invalidInput", std::string(what) + " could not be read as a string");
    std::string r(s);
    mxFree(s);
    return r;
}

bool is_real_numeric(const mxArray* a)
{
    return (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) && !mxIsSparse(a);
}

// The elements of a real numeric or logical array as doubles.
std::vector<double> numeric_values(const mxArray* a, const char* id, const std::string& what)
{
    std::vector<double> v;
    if (!is_real_numeric(a) || !to_doubles(a, v))
        fail(id, what + " must be real and numeric");
    return v;
}

int32_t to_int32(double v, const char* id, const std::string& what)
{
    if (!(v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()
            && v == std::floor(v)))
        fail(id, what + " must be an integer in the 32-bit range");
    return static_cast<int32_t>(v);
}

int32_t get_int32(const mxArray* a, const char* id, const std::string& what)
{
    if (!is_real_numeric(a) || mxGetNumberOfElements(a) != 1)
        fail(id, what + " must be a real numeric scalar");
    return to_int32(numeric_values(a, id, what)[0], id, what);
}

// ------------------------------------------------------------------------------------------------
// Generics record <-> struct

// Fields, ranges and defaults are the library's own description of the generics.
int32_t& generic_member(kelvar_ip_kfft_v8_0_generics& g, const kelvar_ip_kfft_v8_0_generic_desc& d)
{
    return *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(&g) + d.offset);
}

mxArray* generics_struct(kelvar_ip_kfft_v8_0_generics g)
{
    const int32_t n = kelvar_ip_kfft_v8_0_generic_count();
    std::vector<const char*> names;
    for (int32_t i = 0; i < n; ++i)
        names.push_back(kelvar_ip_kfft_v8_0_generic_at(i)->name);
    mxArray* s = mxCreateStructMatrix(1, 1, n, names.data());
    for (int32_t i = 0; i < n; ++i)
        mxSetFieldByNumber(
            s, 0, i, mxCreateDoubleScalar(generic_member(g, *kelvar_ip_kfft_v8_0_generic_at(i))));
    return s;
}

// One element per generic: name, help, rule, min, max, default.
mxArray* generics_description()
{
    const char* fields[] = { "name", "help", "rule", "min", "max", "default" };
    const int32_t n = kelvar_ip_kfft_v8_0_generic_count();
    mxArray* s = mxCreateStructMatrix(static_cast<size_t>(n), 1, 6, fields);
    for (int32_t i = 0; i < n; ++i) {
        const kelvar_ip_kfft_v8_0_generic_desc& d = *kelvar_ip_kfft_v8_0_generic_at(i);
        mxSetFieldByNumber(s, i, 0, mxCreateString(d.name));
        mxSetFieldByNumber(s, i, 1, mxCreateString(d.help));
        mxSetFieldByNumber(s, i, 2, mxCreateString(d.rule));
        mxSetFieldByNumber(s, i, 3, mxCreateDoubleScalar(d.min_value));
        mxSetFieldByNumber(s, i, 4, mxCreateDoubleScalar(d.max_value));
        mxSetFieldByNumber(s, i, 5, mxCreateDoubleScalar(d.default_value));
    }
    return s;
}

kelvar_ip_kfft_v8_0_generics parse_generics(const mxArray* s)
{
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    if (s == nullptr)
        return g;
    if (!mxIsStruct(s) || mxGetNumberOfElements(s) != 1)
        fail("kip:fft:invalidGenerics", "the generics must be a 1x1 struct");
    const int nfields = mxGetNumberOfFields(s);
    for (int i = 0; i < nfields; ++i) {
        const std::string key = mxGetFieldNameByNumber(s, i);
        if (kelvar_ip_kfft_v8_0_generic_find(key.c_str()) == nullptr)
            fail("kip:fft:invalidGenerics",
                "unknown generic '" + key + "'; kip_fft('fields') lists them");
        const mxArray* v = mxGetFieldByNumber(s, 0, i);
        if (v == nullptr || !is_real_numeric(v) || mxGetNumberOfElements(v) != 1)
            fail("kip:fft:invalidGenerics", "generic '" + key + "' must be a real numeric scalar");
        char why[KELVAR_IP_KFFT_V8_0_MSG_LEN];
        if (kelvar_ip_kfft_v8_0_generics_set(&g, key.c_str(),
                numeric_values(v, "kip:fft:invalidGenerics", key)[0], why, sizeof why)
            != 0)
            fail("kip:fft:invalidGenerics", why);
    }
    return g;
}

// ------------------------------------------------------------------------------------------------
// States

struct StateDeleter {
    void operator()(kelvar_ip_kfft_v8_0_state* s) const { kelvar_ip_kfft_v8_0_destroy_state(s); }
};

struct Model {
    std::unique_ptr<kelvar_ip_kfft_v8_0_state, StateDeleter> state;
    kelvar_ip_kfft_v8_0_generics generics {};
};

Registry<Model> g_models("kip:fft:invalidHandle", "kip_fft");

void free_all() { g_models.clear(); }

Model& get_model(const mxArray* a) { return g_models.get(a); }

// Identifier and, for builds without the message sink, a description of a simulate code.
const char* code_id(int code)
{
    if (code == 6 || code == 7)
        return "kip:fft:invalidNfft";
    if (code >= 14 && code <= 18)
        return "kip:fft:invalidScaling";
    if (code == 19)
        return "kip:fft:invalidDirection";
    if (code >= 1 && code <= 5)
        return "kip:fft:internal";
    return "kip:fft:invalidInput";
}

std::string code_text(int code)
{
    static const char* const texts[] = { "", "null state", "null outputs",
        "corrupted state (C_ARCH 1)", "corrupted state (C_ARCH 2 or 4)",
        "corrupted state (C_ARCH 3)", "nfft out of range (C_ARCH 1)", "nfft out of range",
        "null xn_re", "wrong frame length (real part)", "real sample out of range", "null xn_im",
        "wrong frame length (imaginary part)", "imaginary sample out of range",
        "scaling_sch needed", "wrong scaling_sch length (C_ARCH 1 or 3)",
        "wrong scaling_sch length (C_ARCH 2 or 4)", "scaling value outside 0 to 3",
        "final-stage scaling value above 1 for odd nfft", "direction not 0 or 1", "null xk_re",
        "null xk_im", "xk_re too small", "xk_im too small", "null inputs" };
    const std::string what = code >= 1 && code <= 24 ? texts[code] : "unknown failure";
    return "kelvar_ip_kfft_v8_0_bitacc_simulate returned " + std::to_string(code) + ": " + what
        + " (the model's message is on the standard error stream)";
}

// ------------------------------------------------------------------------------------------------
// Commands

void need_args(int nrhs, int lo, int hi, const char* usage)
{
    if (nrhs < lo || nrhs > hi)
        fail("kip:fft:usage", std::string("usage: ") + usage);
}

void cmd_create(int nrhs, const mxArray* prhs[], mxArray* plhs[])
{
    need_args(nrhs, 1, 2, "h = kip_fft('create'[, generics])");
    auto m = std::make_unique<Model>();
    m->generics = parse_generics(nrhs > 1 ? prhs[1] : nullptr);
    Lines lines;
    {
#ifdef KIP_FFT_MESSAGE_SINK
        kfft::ScopedMessageSink guard(collect, &lines);
#endif
        m->state.reset(kelvar_ip_kfft_v8_0_create_state(m->generics));
    }
    for (const std::string& w : lines.warnings)
        add_warning(w);
    if (!m->state)
        fail("kip:fft:invalidGenerics",
            lines.error.empty()
                ? "kelvar_ip_kfft_v8_0_create_state refused the generics (the model's message is "
                  "on the standard error stream)"
                : lines.error);
    const uint64_t h = g_models.add(std::move(m));
    mxArray* a = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
    *static_cast<uint64_t*>(mxGetData(a)) = h;
    plhs[0] = a;
}

// Output arrays of transform; destroyed unless handed to the caller.
struct Outputs {
    mxArray* xk = nullptr;
    mxArray* blk_exp = nullptr;
    mxArray* overflow = nullptr;
    ~Outputs()
    {
        for (mxArray* a : { xk, blk_exp, overflow })
            if (a != nullptr)
                mxDestroyArray(a);
    }
};

void cmd_transform(int nlhs, int nrhs, const mxArray* prhs[], mxArray* plhs[])
{
    need_args(nrhs, 3, 5,
        "[xk, blk_exp, overflow] = kip_fft('transform', h, x[, scaling_sch[, direction]])");
    const Model& m = get_model(prhs[1]);
    const kelvar_ip_kfft_v8_0_generics& g = m.generics;
    const mxArray* x = prhs[2];
    if (!mxIsDouble(x) || mxIsSparse(x) || mxGetNumberOfDimensions(x) != 2)
        fail("kip:fft:invalidInput",
            "x must be a full double column or matrix (one frame per column)");
    const size_t rows = mxGetM(x), frames = mxGetN(x);
    if (rows == 0 || frames == 0)
        fail("kip:fft:invalidInput", "x must not be empty");
    if (rows == 1 && frames > 1)
        fail("kip:fft:invalidInput",
            "x is a row vector; give a frame as a column (x(:)) or one frame per column");
    if (rows > (size_t { 1 } << 16))
        fail("kip:fft:invalidInput", "a frame (a column of x) holds at most 65536 samples");
    // Frame length: C_NFFT_MAX unless the length is chosen per call, then log2 of the rows.
    int32_t nfft = g.C_NFFT_MAX;
    if (g.C_HAS_NFFT == 1) {
        if ((rows & (rows - 1)) != 0)
            fail("kip:fft:invalidInput",
                "the frame length (rows of x) must be a power of two; got " + std::to_string(rows));
        nfft = 0;
        while ((size_t { 1 } << nfft) < rows)
            ++nfft;
    }
    std::vector<int32_t> schedule;
    if (nrhs > 3) {
        const mxArray* s = prhs[3];
        if (mxGetNumberOfElements(s) > 0
            && (mxGetNumberOfDimensions(s) != 2 || (mxGetM(s) > 1 && mxGetN(s) > 1)))
            fail("kip:fft:invalidInput", "scaling_sch must be a vector");
        const std::vector<double> v = numeric_values(s, "kip:fft:invalidInput", "scaling_sch");
        for (size_t i = 0; i < v.size(); ++i)
            schedule.push_back(to_int32(
                v[i], "kip:fft:invalidInput", "scaling_sch(" + std::to_string(i + 1) + ")"));
    }
    // Without a schedule (or with []) the library's default one, which never overflows.
    if (schedule.empty()) {
        const int32_t count = kelvar_ip_kfft_v8_0_default_schedule(g, nfft, nullptr, 0);
        schedule.resize(static_cast<size_t>(count));
        kelvar_ip_kfft_v8_0_default_schedule(g, nfft, schedule.data(), count);
    }
    if (g.C_HAS_NFFT != 1) {
        const int32_t points = kelvar_ip_kfft_v8_0_frame_length(g, nfft);
        if (points != 0 && rows != static_cast<size_t>(points))
            fail("kip:fft:invalidInput",
                "a frame (a column of x) holds " + std::to_string(points)
                    + " samples for this model (2^C_NFFT_MAX); x has " + std::to_string(rows)
                    + " rows");
    }
    const int32_t direction
        = nrhs > 4 ? get_int32(prhs[4], "kip:fft:invalidDirection", "direction") : 1;

    Outputs out;
    out.xk = mxCreateDoubleMatrix(rows, frames, mxCOMPLEX);
    out.blk_exp = mxCreateDoubleMatrix(1, frames, mxREAL);
    out.overflow = mxCreateDoubleMatrix(1, frames, mxREAL);
    const double* in_re = mxGetPr(x);
    const double* in_im = mxIsComplex(x) ? mxGetPi(x) : nullptr;
    // The model may write into its input (floating-point denormals), so it gets copies.
    std::vector<double> re(rows), im(rows);
    const int32_t n = static_cast<int32_t>(rows);
    size_t overflows = 0, first_overflow = 0;
    for (size_t f = 0; f < frames; ++f) {
        std::memcpy(re.data(), in_re + f * rows, rows * sizeof(double));
        if (in_im != nullptr)
            std::memcpy(im.data(), in_im + f * rows, rows * sizeof(double));
        else
            std::fill(im.begin(), im.end(), 0.0);
        kelvar_ip_kfft_v8_0_inputs in {};
        in.nfft = nfft;
        in.xn_re = re.data();
        in.xn_re_size = n;
        in.xn_im = im.data();
        in.xn_im_size = n;
        in.scaling_sch = schedule.empty() ? nullptr : schedule.data();
        in.scaling_sch_size = static_cast<int32_t>(schedule.size());
        in.direction = direction;
        kelvar_ip_kfft_v8_0_outputs o {};
        o.xk_re = mxGetPr(out.xk) + f * rows;
        o.xk_re_size = n;
        o.xk_im = mxGetPi(out.xk) + f * rows;
        o.xk_im_size = n;
        Lines lines;
        int code;
        {
#ifdef KIP_FFT_MESSAGE_SINK
            kfft::ScopedMessageSink guard(collect, &lines);
#endif
            code = kelvar_ip_kfft_v8_0_bitacc_simulate(m.state.get(), &in, &o);
        }
        for (const std::string& w : lines.warnings)
            add_warning(w);
        if (code != 0)
            fail(code_id(code),
                (frames > 1 ? "frame " + std::to_string(f + 1) + ": " : std::string())
                    + (lines.error.empty() ? code_text(code) : lines.error));
        mxGetPr(out.blk_exp)[f] = o.blk_exp;
        mxGetPr(out.overflow)[f] = o.overflow;
        if (o.overflow != 0 && overflows++ == 0)
            first_overflow = f;
    }
    if (overflows > 0)
        warn("kip:fft:overflow",
            "the scaling schedule overflowed"
                + (frames > 1 ? " in " + std::to_string(overflows) + " of " + std::to_string(frames)
                            + " frames (first: frame " + std::to_string(first_overflow + 1) + ")"
                              : std::string())
                + ", so the bins wrapped; the default schedule (no scaling_sch) never overflows");
    plhs[0] = out.xk;
    out.xk = nullptr;
    if (nlhs > 1) {
        plhs[1] = out.blk_exp;
        out.blk_exp = nullptr;
    }
    if (nlhs > 2) {
        plhs[2] = out.overflow;
        out.overflow = nullptr;
    }
}

void cmd_destroy(int nrhs, const mxArray* prhs[])
{
    need_args(nrhs, 2, 2, "kip_fft('destroy', h)");
    g_models.erase(prhs[1]);
}

void dispatch(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    if (nrhs < 1 || !mxIsChar(prhs[0]))
        fail("kip:fft:usage", "the first argument must be a command; see 'help kip_fft'");
    const std::string cmd = get_string(prhs[0], "the command");
    // More outputs than a command returns would leave Octave to raise its own error, without an
    // identifier: refused here first.
    static const struct {
        const char* cmd;
        int outputs;
    } k_outputs[] = { { "create", 1 }, { "transform", 3 }, { "destroy", 0 }, { "generics", 1 },
        { "defaults", 1 }, { "handles", 1 }, { "fields", 1 }, { "output_width", 1 } };
    for (const auto& c : k_outputs)
        if (cmd == c.cmd && nlhs > c.outputs)
            fail("kip:fft:usage",
                "kip_fft('" + cmd + "', ...) returns "
                    + (c.outputs == 0 ? std::string("no output")
                                      : "at most " + std::to_string(c.outputs) + " output"
                                + (c.outputs > 1 ? "s" : ""))
                    + ", not " + std::to_string(nlhs) + "; see 'help kip_fft'");
    if (cmd == "create") {
        cmd_create(nrhs, prhs, plhs);
    } else if (cmd == "transform") {
        cmd_transform(nlhs, nrhs, prhs, plhs);
    } else if (cmd == "destroy") {
        cmd_destroy(nrhs, prhs);
    } else if (cmd == "generics") {
        need_args(nrhs, 2, 2, "g = kip_fft('generics', h)");
        plhs[0] = generics_struct(get_model(prhs[1]).generics);
    } else if (cmd == "defaults") {
        need_args(nrhs, 1, 1, "g = kip_fft('defaults')");
        plhs[0] = generics_struct(kelvar_ip_kfft_v8_0_get_default_generics());
    } else if (cmd == "handles") {
        need_args(nrhs, 1, 1, "hs = kip_fft('handles')");
        plhs[0] = g_models.handles();
    } else if (cmd == "fields") {
        need_args(nrhs, 1, 1, "d = kip_fft('fields')");
        plhs[0] = generics_description();
    } else if (cmd == "output_width") {
        need_args(nrhs, 2, 3, "w = kip_fft('output_width', h[, nfft])");
        const kelvar_ip_kfft_v8_0_generics& g = get_model(prhs[1]).generics;
        const int32_t nfft
            = nrhs > 2 ? get_int32(prhs[2], "kip:fft:invalidNfft", "nfft") : g.C_NFFT_MAX;
        plhs[0] = mxCreateDoubleScalar(kelvar_ip_kfft_v8_0_output_width(g, nfft));
    } else {
        fail("kip:fft:usage", "unknown command '" + cmd + "'; see 'help kip_fft'");
    }
}

} // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    kip_mex::run_gateway("fft", free_all, [&] { dispatch(nlhs, plhs, nrhs, prhs); });
}
