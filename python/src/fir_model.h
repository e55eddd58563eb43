// The FIR binding's model class: one kip_fir_v6_3 handle behind a mutex, called without the GIL.
#ifndef KIP_PY_FIR_MODEL_H
#define KIP_PY_FIR_MODEL_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

#include "fir_messages.h"
#include "fir_outputs.h"
#include "interrupt.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace kip_py {

namespace py = pybind11;

// The record's integer fields and its name, read through the library's field descriptions.
py::dict config_to_dict(const kip_fir_v6_3_config& c);

// Every method makes its library calls with the GIL released and the instance's mutex held,
// and hands back the status and the messages the library produced during the call; turning
// them into exceptions and warnings is left to kip_models/fir.py.
class FirModel {
public:
    using RealIn = py::array_t<double, py::array::f_style | py::array::forcecast>;
    using Vector = py::array_t<double, py::array::c_style | py::array::forcecast>;

    // Builds a model from the fields present in config (others keep the library's defaults)
    // and coeff (None: the library's default set). Returns (model or None, messages, notes,
    // refused field or None): notes are the library's remarks on ignored settings of the
    // record (kip_fir_v6_3_config_check); a value out of its field's range is refused before
    // the model is built, naming the field.
    static py::tuple create(const py::dict& config, const py::object& coeff, bool debug);
    ~FirModel();

    void close();
    bool closed() const { return model_ == nullptr; }
    bool integer_mode() const { return integer_; }
    bool hilbert() const { return hilbert_; }
    std::size_t paths() const { return paths_; }
    std::size_t channels() const { return channels_; }
    int32_t output_width() const { return output_width_; }
    double coeff_scale() const { return coeff_scale_; }

    py::dict get_config();
    // Complete output vectors get() would collect now (-1: the model cannot say).
    long long waiting();
    // (status, messages, conversion): conversion is None, or (text, out-of-format count, its
    // first index, off-grid count, its first index) from kip_fir_v6_3_input_check for the
    // samples the model will wrap or round down. x shaped (paths, channels[, vectors]), sent
    // in chunks of whole
    // vectors; between chunks the call stops when cancel is set (status -1) or, on the main
    // thread, when a signal handler raises (Ctrl-C: KeyboardInterrupt is raised). The chunks
    // sent before the stop stay in the model.
    py::tuple send(const RealIn& x, const CancelFlag* cancel);
    // (status, messages, conversion), as send.
    py::tuple send_channel(const Vector& x);
    // (status, array (paths, channels, vectors) or None, messages); vectors < 0: all waiting,
    // else at most that many.
    py::tuple get(int kind, long long vectors);
    // (status, array (paths,) or (0,) or None, messages).
    py::tuple get_channel(int kind);
    py::tuple reload(long long fsel, const Vector& coeff);
    py::tuple configure(const py::array_t<uint32_t, py::array::c_style>& fsel, long long pattern);
    py::tuple reset();

private:
    FirModel() = default;

    // Runs fn (library calls) with the GIL released and the model locked; returns its status
    // and the messages it produced. Refuses a closed model with ValueError.
    template <class Fn> std::pair<int32_t, Messages> call(Fn&& fn);

    // Whole vectors waiting, clamped to 0 (requires the lock).
    std::size_t waiting_locked() const;

    // (text, counts and first indices) of the samples the model converts, or None.
    py::object conversion(const double* data, std::size_t count);

    kip_fir_v6_3* model_ = nullptr;
    kip_fir_v6_3_config config_ {}; // completed configuration, without name and coeff
    std::mutex mu_;
    Collector col_;
    std::size_t paths_ = 0;
    std::size_t channels_ = 0;
    int32_t output_width_ = 0;
    double coeff_scale_ = 1.0;
    bool hilbert_ = false;
    bool integer_ = false;
};

} // namespace kip_py

#endif
