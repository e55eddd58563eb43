// kip_models._fir: Python binding of the FIR model's C interface (use kip_models.fir).
// Message collection: fir_messages.h; array records: fir_arrays.h; output families and numpy
// conversion: fir_outputs.*; the model class: fir_model.*.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <vector>

#include "fir_model.h"
#include "fir_outputs.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace py = pybind11;
using kip_py::FirModel;

namespace {

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
        py::dict d = kip_py::config_to_dict(c);
        const size_t n = static_cast<size_t>(c.num_coeffs) * static_cast<size_t>(c.coeff_sets);
        py::array_t<double> coeff(static_cast<py::ssize_t>(n));
        std::memcpy(coeff.mutable_data(), c.coeff, n * sizeof(double));
        d["coeff"] = coeff;
        return d;
    });

    // The library's description of each configuration field, in record order.
    m.def("fields", [] {
        py::list out;
        for (int32_t i = 0; i < kip_fir_v6_3_field_count(); ++i) {
            const kip_fir_v6_3_field_desc* f = kip_fir_v6_3_field_at(i);
            py::dict d;
            d["name"] = f->name;
            d["help"] = f->help;
            d["rule"] = f->rule;
            d["default_text"] = f->default_text;
            d["kind"] = f->kind;
            d["computed"] = f->computed != 0;
            d["min"] = f->min_value;
            d["max"] = f->max_value;
            d["default"] = f->default_value;
            out.append(d);
        }
        return out;
    });
    m.attr("FIELD_INT") = KIP_FIR_V6_3_FIELD_INT;
    m.attr("FIELD_FLAG") = KIP_FIR_V6_3_FIELD_FLAG;
    m.attr("FIELD_CHOICE") = KIP_FIR_V6_3_FIELD_CHOICE;
    m.attr("FIELD_STRING") = KIP_FIR_V6_3_FIELD_STRING;
    m.attr("FIELD_REAL_ARRAY") = KIP_FIR_V6_3_FIELD_REAL_ARRAY;

    m.attr("PATTERN_COUNT") = KIP_FIR_V6_3_PATTERN_COUNT;
    m.attr("PATTERN_NONE") = KIP_FIR_V6_3_PATTERN_NONE;
    m.attr("pattern_min") = table(kip_fir_v6_3_pattern_min, { KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1 });
    m.attr("pattern_max") = table(kip_fir_v6_3_pattern_max, { KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1 });
    m.attr("pattern_seq") = table(&kip_fir_v6_3_pattern_seq[0][0],
        { KIP_FIR_V6_3_PATTERN_COUNT, KIP_FIR_V6_3_PATTERN_MAX_SLOTS });
    m.attr("pattern_map") = table(&kip_fir_v6_3_pattern_map[0][0][0],
        { KIP_FIR_V6_3_PATTERN_COUNT, KIP_FIR_V6_3_PATTERN_MAX_SLOTS,
            KIP_FIR_V6_3_PATTERN_MAP_ITEMS });

    kip_py::CancelFlag::bind(m, "CancelFlag");

    m.attr("KIND_REAL") = static_cast<int>(kip_py::KIND_REAL);
    m.attr("KIND_COMPLEX") = static_cast<int>(kip_py::KIND_COMPLEX);
    m.attr("KIND_MPZ") = static_cast<int>(kip_py::KIND_MPZ);
    m.attr("KIND_MPZ_COMPLEX") = static_cast<int>(kip_py::KIND_MPZ_COMPLEX);

    py::class_<FirModel>(m, "Model")
        .def_static(
            "create", &FirModel::create, py::arg("config"), py::arg("coeff"), py::arg("debug"))
        .def("close", &FirModel::close)
        .def_property_readonly("closed", &FirModel::closed)
        .def_property_readonly("integer_mode", &FirModel::integer_mode)
        .def_property_readonly("hilbert", &FirModel::hilbert)
        .def_property_readonly("paths", &FirModel::paths)
        .def_property_readonly("channels", &FirModel::channels)
        .def_property_readonly("output_width", &FirModel::output_width)
        .def("get_config", &FirModel::get_config)
        .def("waiting", &FirModel::waiting)
        .def_property_readonly("coeff_scale", &FirModel::coeff_scale)
        .def("send", &FirModel::send, py::arg("x"), py::arg("cancel") = nullptr)
        .def("send_channel", &FirModel::send_channel)
        .def("get", &FirModel::get, py::arg("kind"), py::arg("vectors"))
        .def("get_channel", &FirModel::get_channel, py::arg("kind"))
        .def("reload", &FirModel::reload)
        .def("configure", &FirModel::configure)
        .def("reset", &FirModel::reset);
}
