// kip_models._fft: Python binding of the FFT model's C interface.
//
// Every library call runs with a message sink on its thread, so the library's lines come back
// with the call's result instead of going to the standard error stream; nothing is redirected
// and no call is repeated. Python-level exceptions, warnings and the result objects are made
// in kip_models/fft.py.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interrupt.h"
#include "kfft_v8_0_bitacc_cmodel.h"
#include "message_sink.h"

namespace py = pybind11;

namespace {

using Generics = kelvar_ip_kfft_v8_0_generics;
using kip_py::CancelFlag;
using kip_py::InterruptCheck;
using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;
using Schedule = py::array_t<int32_t, py::array::c_style>;

// Generic i of g, located through the library's description.
int32_t& generic_at(Generics& g, const kelvar_ip_kfft_v8_0_generic_desc* d)
{
    return *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(&g) + d->offset);
}

py::dict generics_to_dict(Generics g)
{
    py::dict d;
    for (int32_t i = 0; i < kelvar_ip_kfft_v8_0_generic_count(); ++i) {
        const kelvar_ip_kfft_v8_0_generic_desc* desc = kelvar_ip_kfft_v8_0_generic_at(i);
        d[desc->name] = generic_at(g, desc);
    }
    return d;
}

// The library's description of each generic, in record order.
py::list describe_generics()
{
    py::list out;
    for (int32_t i = 0; i < kelvar_ip_kfft_v8_0_generic_count(); ++i) {
        const kelvar_ip_kfft_v8_0_generic_desc* g = kelvar_ip_kfft_v8_0_generic_at(i);
        py::dict d;
        d["name"] = g->name;
        d["help"] = g->help;
        d["rule"] = g->rule;
        d["kind"] = g->kind;
        d["min"] = g->min_value;
        d["max"] = g->max_value;
        d["default"] = g->default_value;
        out.append(d);
    }
    return out;
}

// The library's message lines of one call, with the frame each came from (-1 for creation).
struct Line {
    long long frame;
    int is_error;
    std::string text;
};

struct LineCollector {
    std::vector<Line> lines;
    long long frame = -1;

    static void on_line(void* ctx, int is_error, const char* text)
    {
        auto* self = static_cast<LineCollector*>(ctx);
        try {
            self->lines.push_back({ self->frame, is_error, text });
        } catch (...) {
            // Out of memory while recording a message: the message is lost, the call goes on.
        }
    }

    py::list to_list() const
    {
        py::list out;
        for (const Line& l : lines)
            out.append(py::make_tuple(l.frame, l.is_error, l.text));
        return out;
    }
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
    // Returns (model or None, [(frame -1, is_error, line), ...]): the library's lines.
    static py::tuple create(const py::dict& generics)
    {
        Generics g = kelvar_ip_kfft_v8_0_get_default_generics();
        // Values go in unchecked (beyond 32 bits refused): create_state judges them, with the
        // message every front end gives.
        for (const auto& item : generics) {
            const std::string name = py::cast<std::string>(item.first);
            const kelvar_ip_kfft_v8_0_generic_desc* d
                = kelvar_ip_kfft_v8_0_generic_find(name.c_str());
            if (d == nullptr)
                throw py::key_error("unknown generic " + name);
            const long long v = py::cast<long long>(item.second);
            if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
                throw py::value_error(
                    name + "=" + std::to_string(v) + " does not fit a 32-bit integer");
            generic_at(g, d) = static_cast<int32_t>(v);
        }
        std::unique_ptr<FftModel> m(new FftModel);
        m->generics_ = g;
        LineCollector lines;
        {
            py::gil_scoped_release nogil;
            kfft::ScopedMessageSink sink(LineCollector::on_line, &lines);
            m->state_ = kelvar_ip_kfft_v8_0_create_state(g);
        }
        if (m->state_ == nullptr)
            return py::make_tuple(py::none(), lines.to_list());
        return py::make_tuple(
            py::cast(m.release(), py::return_value_policy::take_ownership), lines.to_list());
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

    // The library's policies for these generics and a frame sent with nfft (0: refused).
    int32_t frame_length(int32_t nfft) const
    {
        return kelvar_ip_kfft_v8_0_frame_length(generics_, nfft);
    }
    int32_t output_width(int32_t nfft) const
    {
        return kelvar_ip_kfft_v8_0_output_width(generics_, nfft);
    }
    // The default scaling schedule (empty when none is read or nfft is refused).
    py::array_t<int32_t> default_schedule(int32_t nfft) const
    {
        const int32_t n = kelvar_ip_kfft_v8_0_default_schedule(generics_, nfft, nullptr, 0);
        py::array_t<int32_t> out(std::max<int32_t>(n, 0));
        if (n > 0)
            kelvar_ip_kfft_v8_0_default_schedule(generics_, nfft, out.mutable_data(), n);
        return out;
    }

    // Transforms frames[f] for every f: x of shape (frames, N), complex; the schedule of shape
    // (S,) for every frame or (frames, S) (or None). Returns (code, failed frame, xk, blk_exp,
    // overflow, lines): code 0 with every result, or the first failure's code and frame with
    // the results set to None; lines: [(frame, is_error, line), ...], the library's messages
    // up to the end of the call.
    // Each frame is split into real and imaginary parts, transformed and interleaved again
    // through four buffers of one frame each, which stay in cache however many frames there are.
    // Between frames the call stops when cancel is set (code -1) or, on the main thread, when a
    // signal handler raises (Ctrl-C: KeyboardInterrupt is raised); the state stays usable.
    py::tuple simulate(const ComplexArray& x, int32_t nfft, const py::object& schedule,
        int32_t direction, const CancelFlag* cancel)
    {
        if (x.ndim() != 2)
            throw py::value_error("expected a 2-D array of frames");
        const py::ssize_t frames = x.shape(0);
        const int32_t n = size32(x.shape(1), "a frame");
        const int32_t n_max = int32_t { 1 } << std::min(std::max(generics_.C_NFFT_MAX, 0), 30);
        if (n > n_max)
            throw py::value_error("x: frames of " + std::to_string(n)
                + " samples; this model's frames hold at most 2**C_NFFT_MAX = "
                + std::to_string(n_max));

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

        // An accepted frame gives as many bins as it has samples.
        py::array_t<std::complex<double>> xk({ frames, static_cast<py::ssize_t>(n) });
        py::array_t<int32_t> blk(frames);
        py::array_t<int32_t> ovf(frames);
        const std::complex<double>* src = x.data();
        std::complex<double>* dst = xk.mutable_data();
        int32_t* blk_out = blk.mutable_data();
        int32_t* ovf_out = ovf.mutable_data();
        const size_t len = frames > 0 ? static_cast<size_t>(std::max<int32_t>(n, 1)) : 1;
        std::vector<double> in_re(len), in_im(len), out_re(len), out_im(len);
        const int32_t no_schedule = 0;
        int rc = 0;
        py::ssize_t failed = -1;
        LineCollector lines;
        bool was_closed = false;

        auto run_frame = [&](py::ssize_t f) {
            const std::complex<double>* s = src + f * n;
            for (int32_t i = 0; i < n; ++i) {
                in_re[static_cast<size_t>(i)] = s[i].real();
                in_im[static_cast<size_t>(i)] = s[i].imag();
            }
            kelvar_ip_kfft_v8_0_inputs in {};
            in.nfft = nfft;
            in.xn_re = in_re.data();
            in.xn_re_size = n;
            in.xn_im = in_im.data();
            in.xn_im_size = n;
            if (schedule.is_none())
                in.scaling_sch = nullptr;
            else if (sched_len == 0)
                in.scaling_sch = &no_schedule;
            else
                in.scaling_sch = sched.data() + (per_frame ? f * sched_len : 0);
            in.scaling_sch_size = sched_len;
            in.direction = direction;
            kelvar_ip_kfft_v8_0_outputs out {};
            out.xk_re = out_re.data();
            out.xk_im = out_im.data();
            out.xk_re_size = out.xk_im_size = n;
            const int code = kelvar_ip_kfft_v8_0_bitacc_simulate(state_, &in, &out);
            if (code == 0) {
                std::complex<double>* d = dst + f * n;
                const int32_t bins = std::min(out.xk_re_size, n);
                for (int32_t k = 0; k < bins; ++k)
                    d[k] = { out_re[static_cast<size_t>(k)], out_im[static_cast<size_t>(k)] };
                blk_out[f] = out.blk_exp;
                ovf_out[f] = out.overflow;
            }
            return code;
        };

        InterruptCheck check(cancel);
        bool stopped = false;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> lock(mu_);
            if (state_ == nullptr) {
                was_closed = true;
            } else {
                kfft::ScopedMessageSink sink(LineCollector::on_line, &lines);
                for (py::ssize_t f = 0; f < frames && rc == 0; ++f) {
                    if (check.stop()) {
                        stopped = true;
                        break;
                    }
                    lines.frame = f;
                    rc = run_frame(f);
                    if (rc != 0)
                        failed = f;
                }
            }
        }
        if (was_closed)
            throw py::value_error("the model is closed");
        check.raise_if_interrupted();
        if (stopped)
            return py::make_tuple(-1, -1, py::none(), py::none(), py::none(), lines.to_list());
        if (rc != 0)
            return py::make_tuple(rc, failed, py::none(), py::none(), py::none(), lines.to_list());
        return py::make_tuple(0, -1, xk, blk, ovf, lines.to_list());
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
    m.def("generics", &describe_generics);
    m.def("default_generics",
        [] { return generics_to_dict(kelvar_ip_kfft_v8_0_get_default_generics()); });
    m.attr("NULL_INPUTS") = KELVAR_IP_KFFT_V8_0_NULL_INPUTS;
    m.attr("VERSION") = "8.0"; // the kfft v8.0 model of kfft_v8_0_bitacc_cmodel.h
    py::class_<FftModel>(m, "Model")
        .def_static("create", &FftModel::create, py::arg("generics"))
        .def("close", &FftModel::close)
        .def_property_readonly("closed", &FftModel::closed)
        .def_property_readonly("generics", &FftModel::generics)
        .def("frame_length", &FftModel::frame_length, py::arg("nfft"))
        .def("output_width", &FftModel::output_width, py::arg("nfft"))
        .def("default_schedule", &FftModel::default_schedule, py::arg("nfft"))
        .def("simulate", &FftModel::simulate, py::arg("x"), py::arg("nfft"), py::arg("schedule"),
            py::arg("direction"), py::arg("cancel") = nullptr);
    CancelFlag::bind(m, "CancelFlag");
}
