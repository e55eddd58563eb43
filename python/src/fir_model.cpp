// The FIR binding's model class: configuration marshalling and one method per C call.
#include "fir_model.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fir_arrays.h"
#include "fir_inspect.h"

namespace kip_py {

namespace {

    int32_t to_int32(const py::handle& value, const char* field)
    {
        const long long v = py::cast<long long>(value);
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            throw py::value_error(
                std::string(field) + "=" + std::to_string(v) + " does not fit a 32-bit integer");
        return static_cast<int32_t>(v);
    }

    py::tuple status(const std::pair<int32_t, Messages>& r)
    {
        return py::make_tuple(r.first, to_list(r.second));
    }

    py::tuple status(const std::pair<int32_t, Messages>& r, const py::object& conversion)
    {
        return py::make_tuple(r.first, to_list(r.second), conversion);
    }

} // namespace

py::dict config_to_dict(const kip_fir_v6_3_config& c)
{
    py::dict d;
    char msg[KIP_FIR_V6_3_MSG_LEN];
    for (int32_t i = 0; i < kip_fir_v6_3_field_count(); ++i) {
        const kip_fir_v6_3_field_desc* f = kip_fir_v6_3_field_at(i);
        int32_t v = 0;
        if (f->kind == KIP_FIR_V6_3_FIELD_STRING)
            d[f->name] = c.name != nullptr ? decode(c.name) : py::str("");
        else if (f->kind != KIP_FIR_V6_3_FIELD_REAL_ARRAY
            && kip_fir_v6_3_config_get_field(&c, f->name, &v, msg, sizeof msg) == 0)
            d[f->name] = v;
    }
    return d;
}

py::tuple FirModel::create(const py::dict& config, const py::object& coeff, bool debug)
{
    kip_fir_v6_3_config c;
    kip_fir_v6_3_default_config(&c);
    const std::size_t default_coeffs = static_cast<std::size_t>(c.num_coeffs) * c.coeff_sets;
    char msg[KIP_FIR_V6_3_MSG_LEN];
    for (const auto& item : config) {
        const std::string key = py::cast<std::string>(item.first);
        const kip_fir_v6_3_field_desc* f = kip_fir_v6_3_field_find(key.c_str());
        if (f == nullptr || f->kind == KIP_FIR_V6_3_FIELD_STRING
            || f->kind == KIP_FIR_V6_3_FIELD_REAL_ARRAY)
            continue;
        if (f->computed) {
            // Written by the model; a given value is ignored (and noted by config_check).
            const int32_t v = to_int32(item.second, f->name);
            std::memcpy(reinterpret_cast<char*>(&c) + f->offset, &v, sizeof v);
            continue;
        }
        if (kip_fir_v6_3_config_set_field(
                &c, f->name, py::cast<double>(item.second), msg, sizeof msg)
            != 0) {
            py::list refusal;
            refusal.append(py::make_tuple(false, 1, decode(msg)));
            return py::make_tuple(py::none(), refusal, py::list(), f->name);
        }
    }
    std::string name = c.name;
    if (config.contains("name"))
        name = py::cast<std::string>(config["name"]);
    if (name.find('\0') != std::string::npos)
        throw py::value_error("name must not contain NUL characters");
    c.name = name.c_str();

    // The library cannot check the length of coeff; it reads num_coeffs * coeff_sets values.
    const long long wanted
        = (c.num_coeffs > 0 && c.coeff_sets > 0) ? 1LL * c.num_coeffs * c.coeff_sets : 0;
    Vector values;
    if (!coeff.is_none()) {
        values = Vector::ensure(coeff);
        if (!values)
            throw py::error_already_set();
        if (static_cast<long long>(values.size()) < wanted)
            throw py::value_error("coeff holds " + std::to_string(values.size())
                + " values, the configuration needs num_coeffs * coeff_sets = "
                + std::to_string(wanted));
        if (values.size() > 0)
            c.coeff = values.data();
    } else if (static_cast<std::size_t>(wanted) > default_coeffs) {
        throw py::value_error("coeff: the default coefficient set holds "
            + std::to_string(default_coeffs) + " values, the configuration needs "
            + std::to_string(wanted) + "; pass coeff");
    }

    py::list notes;
    if (kip_fir_v6_3_config_check(&c, msg, sizeof msg) > 0) {
        const std::string text = msg;
        for (std::size_t at = 0; at <= text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            notes.append(decode(text.substr(at, end - at)));
            at = end + 1;
        }
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
            m->paths_ = static_cast<std::size_t>(done.num_paths);
            m->channels_ = static_cast<std::size_t>(done.num_channels);
            m->output_width_ = done.output_width;
            m->hilbert_ = done.filter_type == 3;
            m->integer_ = kip_fir::uses_integer_arithmetic(m->model_);
            m->coeff_scale_ = kip_fir::model_of(m->model_).coeff_scale;
            m->config_ = done;
            m->config_.name = nullptr;
            m->config_.coeff = nullptr;
        }
    }
    Messages msgs = std::move(m->col_.messages);
    m->col_.messages.clear();
    py::list list = to_list(msgs);
    if (m->model_ == nullptr)
        return py::make_tuple(py::none(), list, notes, py::none());
    return py::make_tuple(
        py::cast(m.release(), py::return_value_policy::take_ownership), list, notes, py::none());
}

FirModel::~FirModel()
{
    if (model_ != nullptr)
        kip_fir_v6_3_destroy(model_);
}

void FirModel::close()
{
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mu_);
    if (model_ != nullptr)
        kip_fir_v6_3_destroy(model_);
    model_ = nullptr;
}

template <class Fn> std::pair<int32_t, Messages> FirModel::call(Fn&& fn)
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

std::size_t FirModel::waiting_locked() const
{
    const int64_t n = kip_fir::output_vectors_waiting(model_);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

py::dict FirModel::get_config()
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

long long FirModel::waiting()
{
    int64_t n = 0;
    call([&] {
        n = kip_fir::output_vectors_waiting(model_);
        return int32_t { 0 };
    });
    return n;
}

py::tuple FirModel::send(const RealIn& x, const CancelFlag* cancel)
{
    if (x.ndim() != 2 && x.ndim() != 3)
        throw py::value_error("x: expected an array shaped (paths, channels, vectors)");
    std::size_t dims[3] = { 0, 0, 1 };
    for (py::ssize_t i = 0; i < x.ndim(); ++i)
        dims[i] = static_cast<std::size_t>(x.shape(i));
    static const double empty = 0.0; // storage of an empty record; the library only reads it
    double* data = x.size() > 0 ? const_cast<double*>(x.data()) : const_cast<double*>(&empty);
    const std::size_t frame = dims[0] * dims[1];
    py::object converted = conversion(data, static_cast<std::size_t>(x.size()));
    if (x.ndim() == 2 || frame == 0) {
        kip_array_real a = borrowed<kip_array_real>(
            data, static_cast<std::size_t>(x.size()), dims, static_cast<std::size_t>(x.ndim()));
        return status(call([&] { return kip_fir_v6_3_data_send(model_, &a); }), converted);
    }
    // Whole vectors, about 64k samples a chunk: the model takes them one vector after another,
    // so the split does not change the result.
    const std::size_t chunk = std::max<std::size_t>(1, (std::size_t { 1 } << 16) / frame);
    InterruptCheck check(cancel);
    auto r = call([&] {
        for (std::size_t v = 0; v < dims[2] || v == 0; v += chunk) {
            std::size_t part[3] = { dims[0], dims[1], std::min(chunk, dims[2] - v) };
            kip_array_real a = borrowed<kip_array_real>(data + v * frame, part[2] * frame, part, 3);
            const int32_t rc = kip_fir_v6_3_data_send(model_, &a);
            if (rc != 0)
                return rc;
            if (v + chunk < dims[2] && check.stop())
                return int32_t { -1 };
        }
        return int32_t { 0 };
    });
    check.raise_if_interrupted();
    return status(r, converted);
}

py::object FirModel::conversion(const double* data, std::size_t count)
{
    kip_fir_v6_3_input_report report {};
    char msg[KIP_FIR_V6_3_MSG_LEN];
    int32_t rc = 0;
    {
        py::gil_scoped_release nogil;
        rc = kip_fir_v6_3_input_check(&config_, data, count, &report, msg, sizeof msg);
    }
    if (rc != 0 || (report.out_of_format == 0 && report.off_grid == 0))
        return py::none();
    return py::make_tuple(decode(msg), report.out_of_format, report.first_out_of_format,
        report.off_grid, report.first_off_grid);
}

py::tuple FirModel::send_channel(const Vector& x)
{
    if (x.ndim() != 1)
        throw py::value_error("x: expected a 1-D array of one sample per path");
    std::size_t dims[1] = { static_cast<std::size_t>(x.shape(0)) };
    static const double empty = 0.0;
    double* data = x.size() > 0 ? const_cast<double*>(x.data()) : const_cast<double*>(&empty);
    kip_array_real a = borrowed<kip_array_real>(data, static_cast<std::size_t>(x.size()), dims, 1);
    py::object converted = conversion(data, static_cast<std::size_t>(x.size()));
    return status(call([&] { return kip_fir_v6_3_data_send_channel(model_, &a); }), converted);
}

py::tuple FirModel::get(int kind, long long vectors)
{
    if (kind < KIND_REAL || kind > KIND_MPZ_COMPLEX)
        throw py::value_error("unknown output kind");
    Collected c;
    auto r = call([&] {
        // Ask exactly for what is waiting (or fewer): the library then has nothing to shorten.
        std::size_t want = waiting_locked();
        if (vectors >= 0)
            want = std::min(want, static_cast<std::size_t>(vectors));
        return collect_vectors(model_, static_cast<Kind>(kind), paths_, channels_, want, c);
    });
    py::object out = py::none();
    if (r.first == 0) {
        const std::size_t frame = std::max<std::size_t>(paths_ * channels_, 1);
        out = to_numpy(c, { paths_, channels_, c.samples / frame }, output_width_ <= 63);
    }
    return py::make_tuple(r.first, out, to_list(r.second));
}

py::tuple FirModel::get_channel(int kind)
{
    if (kind < KIND_REAL || kind > KIND_MPZ_COMPLEX)
        throw py::value_error("unknown output kind");
    Collected c;
    auto r = call([&] { return collect_channel(model_, static_cast<Kind>(kind), paths_, c); });
    py::object out = py::none();
    if (r.first == 0)
        out = to_numpy(c, { c.samples }, output_width_ <= 63);
    return py::make_tuple(r.first, out, to_list(r.second));
}

py::tuple FirModel::reload(long long fsel, const Vector& coeff)
{
    if (coeff.ndim() != 1)
        throw py::value_error("coeffs: expected a 1-D array");
    if (fsel < std::numeric_limits<int32_t>::min() || fsel > std::numeric_limits<uint32_t>::max())
        throw py::value_error("fsel=" + std::to_string(fsel) + " does not fit a 32-bit integer");
    std::size_t dims[1] = { static_cast<std::size_t>(coeff.shape(0)) };
    static const double empty = 0.0;
    double* data
        = coeff.size() > 0 ? const_cast<double*>(coeff.data()) : const_cast<double*>(&empty);
    kip_array_real a
        = borrowed<kip_array_real>(data, static_cast<std::size_t>(coeff.size()), dims, 1);
    kip_fir_v6_3_rld_packet packet;
    packet.fsel = static_cast<int32_t>(static_cast<uint32_t>(fsel));
    packet.coeff = &a;
    return status(call([&] { return kip_fir_v6_3_reload_send(model_, &packet); }));
}

py::tuple FirModel::configure(
    const py::array_t<uint32_t, py::array::c_style>& fsel, long long pattern)
{
    if (fsel.ndim() != 1)
        throw py::value_error("fsel: expected a 1-D array");
    if (pattern < std::numeric_limits<int32_t>::min()
        || pattern > std::numeric_limits<int32_t>::max())
        throw py::value_error(
            "pattern=" + std::to_string(pattern) + " does not fit a 32-bit integer");
    std::size_t dims[1] = { static_cast<std::size_t>(fsel.shape(0)) };
    static const uint32_t empty = 0;
    uint32_t* data
        = fsel.size() > 0 ? const_cast<uint32_t*>(fsel.data()) : const_cast<uint32_t*>(&empty);
    kip_array_uint a
        = borrowed<kip_array_uint>(data, static_cast<std::size_t>(fsel.size()), dims, 1);
    kip_fir_v6_3_cnfg_packet packet;
    packet.chanpat = static_cast<int32_t>(pattern);
    packet.fsel = &a;
    return status(call([&] { return kip_fir_v6_3_config_send(model_, &packet); }));
}

py::tuple FirModel::reset()
{
    return status(call([&] { return kip_fir_v6_3_reset(model_); }));
}

} // namespace kip_py
