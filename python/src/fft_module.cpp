// kip_models._fft: Python binding of the FFT model's C interface.
//
// The library writes its messages to the standard error stream and returns codes. Successful
// calls leave the stream alone, so warnings appear there as with any C caller. When a call
// fails, it is repeated once with file descriptor 2 redirected to a temporary file to obtain
// the library's own error text for the Python exception; the repeat is safe because a refused
// call writes no output and changes no state. Python-level exceptions and the result objects
// are made in kip_models/fft.py.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kfft_v8_0_bitacc_cmodel.h"

namespace py = pybind11;

namespace {

using Generics = kelvar_ip_kfft_v8_0_generics;
using CArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Schedule = py::array_t<int32_t, py::array::c_style>;

#define KIP_FFT_GENERICS(X)                                                                        \
    X(C_NFFT_MAX)                                                                                  \
    X(C_ARCH) X(C_HAS_NFFT) X(C_USE_FLT_PT) X(C_INPUT_WIDTH) X(C_TWIDDLE_WIDTH) X(C_HAS_SCALING)   \
        X(C_HAS_BFP) X(C_HAS_ROUNDING)

py::dict generics_to_dict(const Generics& g)
{
    py::dict d;
#define KIP_GET(f) d[#f] = g.f;
    KIP_FFT_GENERICS(KIP_GET)
#undef KIP_GET
    return d;
}

// Redirects file descriptor 2 into a temporary file until text() is called. Failing to set
// up the redirection is not an error: text() then returns an empty string.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        file_ = std::tmpfile();
        if (file_ == nullptr)
            return;
        saved_ = dup(2);
        if (saved_ < 0 || dup2(fileno(file_), 2) < 0) {
            restore();
            return;
        }
        active_ = true;
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture() { restore(); }

    // Ends the redirection and returns the library's last error line (without the newline).
    // Other lines (the repeat's warnings, written once already by the first attempt, and
    // anything else written meanwhile) are dropped, except lines that are not the library's,
    // which are passed on to the restored stream.
    std::string text()
    {
        if (!active_)
            return std::string();
        std::fflush(stderr);
        restore_fd();
        std::string all;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
            all.append(buf, n);
        restore();
        std::string error;
        std::string foreign;
        size_t pos = 0;
        while (pos < all.size()) {
            size_t end = all.find('\n', pos);
            if (end == std::string::npos)
                end = all.size();
            const std::string line = all.substr(pos, end - pos);
            if (line.rfind("ERROR:kfft_v8_0:", 0) == 0) {
                error = line;
            } else if (line.rfind("WARNING:kfft_v8_0:", 0) != 0) {
                foreign += line + "\n";
            }
            pos = end + 1;
        }
        if (!foreign.empty()) {
            std::fwrite(foreign.data(), 1, foreign.size(), stderr);
            std::fflush(stderr);
        }
        return error;
    }

private:
    void restore_fd()
    {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
    }
    void restore()
    {
        restore_fd();
        if (file_ != nullptr)
            std::fclose(file_);
        file_ = nullptr;
        active_ = false;
    }

    std::FILE* file_ = nullptr;
    int saved_ = -1;
    bool active_ = false;
};

int32_t size32(py::ssize_t n, const char* what)
{
    if (n > std::numeric_limits<int32_t>::max())
        throw py::value_error(
            std::string(what) + " is too long for the model (2^31 elements or more)");
    return static_cast<int32_t>(n);
}

class FftModel {
public:
    // Returns (model or None, message): the message is the library's error line on refusal.
    static py::tuple create(const py::dict& generics)
    {
        Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
#define KIP_SET(f)                                                                                 \
    if (generics.contains(#f)) {                                                                   \
        const long long v = py::cast<long long>(generics[#f]);                                     \
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())    \
            throw py::value_error(#f " does not fit a 32-bit integer");                            \
        g.f = static_cast<int32_t>(v);                                                             \
    }
        KIP_FFT_GENERICS(KIP_SET)
#undef KIP_SET
        std::unique_ptr<FftModel> m(new FftModel);
        m->generics_ = g;
        {
            py::gil_scoped_release nogil;
            m->state_ = kelvar_ip_kfft_v8_0_create_state(g);
        }
        if (m->state_ == nullptr) {
            std::string text;
            {
                StderrCapture capture;
                kelvar_ip_kfft_v8_0_state* again = kelvar_ip_kfft_v8_0_create_state(g);
                if (again != nullptr)
                    kelvar_ip_kfft_v8_0_destroy_state(again);
                text = capture.text();
            }
            if (text.empty())
                text = "ERROR:kfft_v8_0:create_state refused the generics";
            return py::make_tuple(py::none(), text);
        }
        return py::make_tuple(
            py::cast(m.release(), py::return_value_policy::take_ownership), py::none());
    }

    ~FftModel()
    {
        if (state_ != nullptr)
            kelvar_ip_kfft_v8_0_destroy_state(state_);
    }

    void close()
    {
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> lock(mu_);
        if (state_ != nullptr)
            kelvar_ip_kfft_v8_0_destroy_state(state_);
        state_ = nullptr;
    }

    bool closed() const { return state_ == nullptr; }
    py::dict generics() const { return generics_to_dict(generics_); }

    // Transforms frames[f] for every f: re and im of shape (frames, N), the schedule of shape
    // (S,) for every frame or (frames, S) (or None). Returns (code, failed frame, xk_re, xk_im,
    // blk_exp, overflow, message): code 0 with every result, or the first failure's code, its
    // frame and the library's message with the results set to None.
    py::tuple simulate(const CArray& re, const CArray& im, int32_t nfft, const py::object& schedule,
        int32_t direction)
    {
        if (re.ndim() != 2 || im.ndim() != 2)
            throw py::value_error("expected 2-D sample arrays");
        const py::ssize_t frames = re.shape(0);
        if (im.shape(0) != frames)
            throw py::value_error("real and imaginary parts differ in frame count");
        const int32_t n_re = size32(re.shape(1), "a frame");
        const int32_t n_im = size32(im.shape(1), "a frame");

        Schedule sched;
        bool per_frame = false;
        if (!schedule.is_none()) {
            sched = py::cast<Schedule>(schedule);
            if (sched.ndim() == 2) {
                if (sched.shape(0) != frames)
                    throw py::value_error("one scaling schedule per frame expected");
                per_frame = true;
            } else if (sched.ndim() != 1) {
                throw py::value_error("scaling schedule must be 1-D or 2-D");
            }
        }
        const int32_t sched_len
            = schedule.is_none() ? 0 : size32(sched.shape(sched.ndim() - 1), "scaling schedule");

        // The frame length the library returns equals the input length when the input is
        // accepted, so the outputs are sized by the input.
        const py::ssize_t cap = std::max<py::ssize_t>(re.shape(1), 1);
        std::vector<double> out_re(static_cast<size_t>(frames * cap));
        std::vector<double> out_im(static_cast<size_t>(frames * cap));
        std::vector<int32_t> blk(static_cast<size_t>(frames));
        std::vector<int32_t> ovf(static_cast<size_t>(frames));
        int32_t out_n = frames == 0 ? n_re : 0;
        int rc = 0;
        py::ssize_t failed = -1;
        std::string message;
        bool was_closed = false;

        const double zero = 0.0;
        const int32_t no_schedule = 0;
        auto frame_inputs = [&](py::ssize_t f) {
            kelvar_ip_kfft_v8_0_inputs in {};
            in.nfft = nfft;
            in.xn_re = const_cast<double*>(n_re > 0 ? re.data() + f * n_re : &zero);
            in.xn_re_size = n_re;
            in.xn_im = const_cast<double*>(n_im > 0 ? im.data() + f * n_im : &zero);
            in.xn_im_size = n_im;
            if (schedule.is_none()) {
                in.scaling_sch = nullptr;
            } else if (sched_len == 0) {
                in.scaling_sch = &no_schedule;
            } else {
                in.scaling_sch = sched.data() + (per_frame ? f * sched_len : 0);
            }
            in.scaling_sch_size = sched_len;
            in.direction = direction;
            return in;
        };
        auto frame_outputs = [&](py::ssize_t f) {
            kelvar_ip_kfft_v8_0_outputs out {};
            out.xk_re = out_re.data() + f * cap;
            out.xk_im = out_im.data() + f * cap;
            out.xk_re_size = out.xk_im_size
                = static_cast<int32_t>(std::min<py::ssize_t>(re.shape(1), cap));
            return out;
        };
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mu_);
            if (state_ == nullptr) {
                was_closed = true;
            } else {
                for (py::ssize_t f = 0; f < frames; ++f) {
                    const kelvar_ip_kfft_v8_0_inputs in = frame_inputs(f);
                    kelvar_ip_kfft_v8_0_outputs out = frame_outputs(f);
                    rc = kelvar_ip_kfft_v8_0_bitacc_simulate(state_, &in, &out);
                    if (rc != 0) {
                        failed = f;
                        break;
                    }
                    out_n = out.xk_re_size;
                    blk[static_cast<size_t>(f)] = out.blk_exp;
                    ovf[static_cast<size_t>(f)] = out.overflow;
                }
                if (rc != 0) {
                    // Repeat the refused frame with the error stream captured (see the top).
                    const kelvar_ip_kfft_v8_0_inputs in = frame_inputs(failed);
                    std::vector<double> scratch_re(static_cast<size_t>(cap)),
                        scratch_im(static_cast<size_t>(cap));
                    kelvar_ip_kfft_v8_0_outputs out = frame_outputs(failed);
                    out.xk_re = scratch_re.data();
                    out.xk_im = scratch_im.data();
                    StderrCapture capture;
                    kelvar_ip_kfft_v8_0_bitacc_simulate(state_, &in, &out);
                    message = capture.text();
                    if (message.empty())
                        message = "ERROR:kfft_v8_0:simulate failed with code " + std::to_string(rc);
                }
            }
        }
        if (was_closed)
            throw py::value_error("the model is closed");
        if (rc != 0)
            return py::make_tuple(
                rc, failed, py::none(), py::none(), py::none(), py::none(), message);

        py::array_t<double> xr(
            { static_cast<py::ssize_t>(frames), static_cast<py::ssize_t>(out_n) });
        py::array_t<double> xi(
            { static_cast<py::ssize_t>(frames), static_cast<py::ssize_t>(out_n) });
        for (py::ssize_t f = 0; f < frames; ++f) {
            std::copy_n(out_re.data() + f * cap, out_n, xr.mutable_data() + f * out_n);
            std::copy_n(out_im.data() + f * cap, out_n, xi.mutable_data() + f * out_n);
        }
        py::array_t<int32_t> b(static_cast<py::ssize_t>(frames));
        py::array_t<int32_t> o(static_cast<py::ssize_t>(frames));
        std::copy(blk.begin(), blk.end(), b.mutable_data());
        std::copy(ovf.begin(), ovf.end(), o.mutable_data());
        return py::make_tuple(0, -1, xr, xi, b, o, py::none());
    }

private:
    FftModel() = default;

    kelvar_ip_kfft_v8_0_state* state_ = nullptr;
    Generics generics_ {};
    std::mutex mu_;
};

} // namespace

PYBIND11_MODULE(_fft, m)
{
    m.doc() = "Binding of the kfft v8.0 FFT model's C interface (use kip_models.fft).";
    m.def("default_generics",
        [] { return generics_to_dict(kelvar_ip_kfft_v8_0_get_default_generics()); });
    m.attr("NULL_INPUTS") = KELVAR_IP_KFFT_V8_0_NULL_INPUTS;
    py::class_<FftModel>(m, "Model")
        .def_static("create", &FftModel::create, py::arg("generics"))
        .def("close", &FftModel::close)
        .def_property_readonly("closed", &FftModel::closed)
        .def_property_readonly("generics", &FftModel::generics)
        .def("simulate", &FftModel::simulate, py::arg("re"), py::arg("im"), py::arg("nfft"),
            py::arg("schedule"), py::arg("direction"));
}
