// Every exported function and object of the FIR model library: argument checks and the
// exception boundary (model functions, array functions, copy traits, channel pattern tables,
// configuration description).
#include <cstring>
#include <memory>

#include "advchanpat_tables.h"
#include "fir.h"
#include "fir_fields.h"
#include "fir_guard.h"
#include "kip_array.h"
#include "klogger.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace {

const char kDefaultName[] = "tapforge_v6_3";

// Default coefficient set: 21 symmetric integer taps.
const double kip_fir_v6_3_default_coeff[21]
    = { 6, 0, -4, -3, 5, 6, -6, -13, 7, 44, 64, 44, 7, -13, -6, 6, 5, -3, -4, 0, 6 };

void report_creation_failure(kip_msg_handler handler, void* handle, const char* text) noexcept
{
    if (!handler)
        return;
    try {
        handler(handle, 1, text);
    } catch (...) {
    }
}

// No model exists yet when construction fails, so the text goes to the handler unprefixed.
kip_fir_v6_3* create_model(const kip_fir_v6_3_config* config, kip_msg_handler handler, void* handle,
    kip_msg_handler dbg_handler, void* dbg_handle) noexcept
{
    if (!config)
        return nullptr;
    try {
        if (!config->name)
            throw FIRException("Instance name must not be null");
        const std::string name(config->name);
        std::unique_ptr<KLogger> log(new KLogger(handler, handle, name));
        std::unique_ptr<KLogger> dbg(new KLogger(dbg_handler, dbg_handle, name));
        std::unique_ptr<FIR> fir(new FIR(config, log.get(), dbg.get()));
        log.release();
        dbg.release();
        return kip_fir_to_handle(fir.release());
    } catch (const std::runtime_error& e) {
        report_creation_failure(handler, handle, e.what());
    } catch (...) {
        report_creation_failure(handler, handle, "Uncaught exception in FIR model create");
    }
    return nullptr;
}

// Boundary of the array functions: their bodies do not throw; this is the safety net.
template <class Result, class Body> Result guarded(Result on_failure, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return on_failure;
    }
}

} // namespace

using kip_fir::array_free;
using kip_fir::array_get_chan;
using kip_fir::array_new;
using kip_fir::array_reserve_data;
using kip_fir::array_reserve_dim;
using kip_fir::array_set_chan;

KIP_FIR_EXTERN_C_BEGIN

KIP_FIR_API const char* kip_fir_v6_3_get_version(void) { return "6.3.1"; }

KIP_FIR_API int32_t kip_fir_v6_3_default_config(kip_fir_v6_3_config* config)
{
    if (!config)
        return 1;
    kip_fir::default_config(*config, kDefaultName, kip_fir_v6_3_default_coeff);
    return 0;
}

KIP_FIR_API kip_fir_v6_3* kip_fir_v6_3_create(
    const kip_fir_v6_3_config* config, kip_msg_handler handler, void* handle)
{
    return create_model(config, handler, handle, nullptr, nullptr);
}

KIP_FIR_API kip_fir_v6_3* kip_fir_v6_3_create_dbg(const kip_fir_v6_3_config* config,
    kip_msg_handler handler, void* handle, kip_msg_handler dbg_handler, void* dbg_handle)
{
    return create_model(config, handler, handle, dbg_handler, dbg_handle);
}

KIP_FIR_API int32_t kip_fir_v6_3_destroy(kip_fir_v6_3* model)
{
    if (!model)
        return 1;
    try {
        FIR* fir = kip_fir_from_handle(model);
        KLogger* log = fir->logger;
        KLogger* dbg = fir->dbg_logger;
        delete fir;
        delete log;
        delete dbg;
        return 0;
    } catch (...) {
        return 1;
    }
}

KIP_FIR_API int32_t kip_fir_v6_3_get_config(kip_fir_v6_3* model, kip_fir_v6_3_config* config)
{
    if (!model || !config)
        return 1;
    return kip_fir_guard(model, "get_config", [&](FIR& fir) { return fir.get_config(*config); });
}

// ---------------------------------------------------------------- data path and reloads

KIP_FIR_API int32_t kip_fir_v6_3_data_send(kip_fir_v6_3* model, const kip_array_real* data)
{
    if (!model || !data)
        return 1;
    return kip_fir_guard(model, "data_send", [&](FIR& fir) { return fir.data_send(*data); });
}

KIP_FIR_API int32_t kip_fir_v6_3_data_send_channel(kip_fir_v6_3* model, const kip_array_real* data)
{
    if (!model || !data)
        return 1;
    return kip_fir_guard(model, "data_send", [&](FIR& fir) { return fir.data_send_chan(*data); });
}

KIP_FIR_API int32_t kip_fir_v6_3_data_send_handler(
    const kip_array_real* data, void* model, void* /*unused*/)
{
    if (!data || !model)
        return 1;
    return kip_fir_guard(static_cast<kip_fir_v6_3*>(model), "data_send",
        [&](FIR& fir) { return fir.data_send(*data); });
}

KIP_FIR_API int32_t kip_fir_v6_3_data_get(
    kip_fir_v6_3* model, kip_array_real* data, kip_array_complex* data_complex)
{
    if (!model || (!data && !data_complex))
        return 1;
    return kip_fir_guard(model, "data_get",
        [&](FIR& fir) { return data ? fir.data_get(*data) : fir.data_get(*data_complex); });
}

KIP_FIR_API int32_t kip_fir_v6_3_data_get_mpz(
    kip_fir_v6_3* model, kip_array_mpz* data, kip_array_mpz_complex* data_complex)
{
    if (!model || (!data && !data_complex))
        return 1;
    return kip_fir_guard(model, "data_get",
        [&](FIR& fir) { return data ? fir.data_get(*data) : fir.data_get(*data_complex); });
}

KIP_FIR_API int32_t kip_fir_v6_3_data_get_channel(
    kip_fir_v6_3* model, kip_array_real* data, kip_array_complex* data_complex)
{
    if (!model || (!data && !data_complex))
        return 1;
    return kip_fir_guard(model, "data_get", [&](FIR& fir) {
        return data ? fir.data_get_chan(*data) : fir.data_get_chan(*data_complex);
    });
}

KIP_FIR_API int32_t kip_fir_v6_3_data_get_channel_mpz(
    kip_fir_v6_3* model, kip_array_mpz* data, kip_array_mpz_complex* data_complex)
{
    if (!model || (!data && !data_complex))
        return 1;
    return kip_fir_guard(model, "data_get", [&](FIR& fir) {
        return data ? fir.data_get_chan(*data) : fir.data_get_chan(*data_complex);
    });
}

KIP_FIR_API int32_t kip_fir_v6_3_reload_send(
    kip_fir_v6_3* model, const kip_fir_v6_3_rld_packet* packet)
{
    if (!model || !packet)
        return 1;
    return kip_fir_guard(model, "reload_send", [&](FIR& fir) { return fir.reload_send(*packet); });
}

// ---------------------------------------------------------------- sinks, sizing, packets, reset

KIP_FIR_API int32_t kip_fir_v6_3_set_data_sink(
    kip_fir_v6_3* model, kip_array_real* real, kip_array_complex* complex)
{
    if (!model || (!real && !complex))
        return 1;
    return kip_fir_guard(model, "set_data_sink",
        [&](FIR& fir) { return real ? fir.set_data_sink(real) : fir.set_data_sink(complex); });
}

KIP_FIR_API int32_t kip_fir_v6_3_set_data_sink_mpz(
    kip_fir_v6_3* model, kip_array_mpz* mpz, kip_array_mpz_complex* mpz_complex)
{
    if (!model || (!mpz && !mpz_complex))
        return 1;
    return kip_fir_guard(model, "set_data_sink",
        [&](FIR& fir) { return mpz ? fir.set_data_sink(mpz) : fir.set_data_sink(mpz_complex); });
}

KIP_FIR_API int32_t kip_fir_v6_3_set_data_handler(
    kip_fir_v6_3* model, kip_fir_v6_3_data_handler handler, void* arg1, void* arg2)
{
    if (!model)
        return 1;
    return kip_fir_guard(model, "set_data_handler",
        [&](FIR& fir) { return fir.set_data_handler(handler, arg1, arg2); });
}

KIP_FIR_API int32_t kip_fir_v6_3_calc_size(
    kip_fir_v6_3* model, const kip_array_real* in, kip_array_real* real, kip_array_complex* complex)
{
    if (!model || !in || (!real && !complex))
        return 1;
    return kip_fir_guard(model, "calc_size",
        [&](FIR& fir) { return real ? fir.calc_size(*in, *real) : fir.calc_size(*in, *complex); });
}

KIP_FIR_API int32_t kip_fir_v6_3_calc_size_mpz(kip_fir_v6_3* model, const kip_array_real* in,
    kip_array_mpz* mpz, kip_array_mpz_complex* mpz_complex)
{
    if (!model || !in || (!mpz && !mpz_complex))
        return 1;
    return kip_fir_guard(model, "calc_size", [&](FIR& fir) {
        return mpz ? fir.calc_size(*in, *mpz) : fir.calc_size(*in, *mpz_complex);
    });
}

KIP_FIR_API int32_t kip_fir_v6_3_config_send(
    kip_fir_v6_3* model, const kip_fir_v6_3_cnfg_packet* packet)
{
    if (!model || !packet)
        return 1;
    return kip_fir_guard(model, "config_send", [&](FIR& fir) { return fir.config_send(*packet); });
}

KIP_FIR_API int32_t kip_fir_v6_3_reset(kip_fir_v6_3* model)
{
    if (!model)
        return 1;
    return kip_fir_guard(model, "reset", [&](FIR& fir) { return fir.reset(); });
}

// ---------------------------------------------------------------- description and policies
// These never reach a model's handler; a refusal's text goes to the caller's buffer. Building
// a text can fail only for want of memory, which gives the refusal without text.

KIP_FIR_API int32_t kip_fir_v6_3_field_count(void) { return kip_fir::F_COUNT; }

KIP_FIR_API const kip_fir_v6_3_field_desc* kip_fir_v6_3_field_at(int32_t i)
{
    return i >= 0 && i < kip_fir::F_COUNT ? &kip_fir::kFieldDescs[i] : nullptr;
}

KIP_FIR_API const kip_fir_v6_3_field_desc* kip_fir_v6_3_field_find(const char* name)
{
    return kip_fir::find_field(name);
}

KIP_FIR_API int32_t kip_fir_v6_3_config_set_field(
    kip_fir_v6_3_config* config, const char* name, double value, char* msg, size_t msg_len)
{
    kip_fir::copy_message(std::string(), msg, msg_len);
    try {
        std::string why = "Null configuration record or field name";
        if (config && name && kip_fir::set_field(*config, name, value, why))
            return 0;
        kip_fir::copy_message(why, msg, msg_len);
    } catch (...) {
    }
    return 1;
}

KIP_FIR_API int32_t kip_fir_v6_3_config_get_field(
    const kip_fir_v6_3_config* config, const char* name, int32_t* value, char* msg, size_t msg_len)
{
    kip_fir::copy_message(std::string(), msg, msg_len);
    try {
        std::string why = "Null configuration record, field name or value";
        if (config && name && value && kip_fir::get_field(*config, name, *value, why))
            return 0;
        kip_fir::copy_message(why, msg, msg_len);
    } catch (...) {
    }
    return 1;
}

KIP_FIR_API int32_t kip_fir_v6_3_config_check(
    const kip_fir_v6_3_config* config, char* msg, size_t msg_len)
{
    kip_fir::copy_message(std::string(), msg, msg_len);
    if (!config)
        return -1;
    try {
        std::string notes;
        const int32_t n = kip_fir::config_notes(*config, notes);
        kip_fir::copy_message(notes, msg, msg_len);
        return n;
    } catch (...) {
        return -1;
    }
}

KIP_FIR_API int32_t kip_fir_v6_3_input_check(const kip_fir_v6_3_config* config, const double* data,
    size_t count, kip_fir_v6_3_input_report* report, char* msg, size_t msg_len)
{
    kip_fir::copy_message(std::string(), msg, msg_len);
    try {
        std::string text = "Null configuration record or report";
        if (config && report && kip_fir::input_check(*config, data, count, *report, text)) {
            kip_fir::copy_message(text, msg, msg_len);
            return 0;
        }
        kip_fir::copy_message(text, msg, msg_len);
    } catch (...) {
    }
    return 1;
}

// ---------------------------------------------------------------- array functions
// Lifecycle functions of one family under the versioned names, and their short-name twins.
#define KIP_ARRAY_LIFECYCLE(family)                                                                \
    KIP_FIR_API kip_array_##family* kip_fir_v6_3_kip_array_##family##_create(void)                 \
    {                                                                                              \
        return guarded<kip_array_##family*>(                                                       \
            nullptr, [] { return array_new<kip_array_##family>(); });                              \
    }                                                                                              \
    KIP_FIR_API int kip_fir_v6_3_kip_array_##family##_reserve_data(                                \
        kip_array_##family* array, size_t max_nelem)                                               \
    {                                                                                              \
        return guarded(1, [&] { return array ? array_reserve_data(*array, max_nelem) : 1; });      \
    }                                                                                              \
    KIP_FIR_API int kip_fir_v6_3_kip_array_##family##_reserve_dim(                                 \
        kip_array_##family* array, size_t max_ndim)                                                \
    {                                                                                              \
        return guarded(1, [&] { return array ? array_reserve_dim(*array, max_ndim) : 1; });        \
    }                                                                                              \
    KIP_FIR_API kip_array_##family* kip_fir_v6_3_kip_array_##family##_destroy(                     \
        kip_array_##family* array)                                                                 \
    {                                                                                              \
        return guarded(array, [&] { return array_free(array); });                                  \
    }                                                                                              \
    KIP_FIR_API kip_array_##family* kip_array_##family##_create(void)                              \
    {                                                                                              \
        return kip_fir_v6_3_kip_array_##family##_create();                                         \
    }                                                                                              \
    KIP_FIR_API int kip_array_##family##_reserve_data(kip_array_##family* array, size_t max_nelem) \
    {                                                                                              \
        return kip_fir_v6_3_kip_array_##family##_reserve_data(array, max_nelem);                   \
    }                                                                                              \
    KIP_FIR_API int kip_array_##family##_reserve_dim(kip_array_##family* array, size_t max_ndim)   \
    {                                                                                              \
        return kip_fir_v6_3_kip_array_##family##_reserve_dim(array, max_ndim);                     \
    }                                                                                              \
    KIP_FIR_API kip_array_##family* kip_array_##family##_destroy(kip_array_##family* array)        \
    {                                                                                              \
        return kip_fir_v6_3_kip_array_##family##_destroy(array);                                   \
    }

KIP_ARRAY_LIFECYCLE(real)
KIP_ARRAY_LIFECYCLE(complex)
KIP_ARRAY_LIFECYCLE(uint)
KIP_ARRAY_LIFECYCLE(mpz)
KIP_ARRAY_LIFECYCLE(mpz_complex)

#undef KIP_ARRAY_LIFECYCLE

KIP_FIR_API int kip_array_real_get_chan(const kip_array_real* array, double* value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(1, [&] {
        return array && value ? array_get_chan(*array, *value, path, chan, index, pattern) : 1;
    });
}

KIP_FIR_API int kip_array_real_set_chan(kip_array_real* array, double value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(
        1, [&] { return array ? array_set_chan(*array, value, path, chan, index, pattern) : 1; });
}

KIP_FIR_API int kip_array_complex_get_chan(const kip_array_complex* array, kip_complex* value,
    size_t path, size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(1, [&] {
        return array && value ? array_get_chan(*array, *value, path, chan, index, pattern) : 1;
    });
}

KIP_FIR_API int kip_array_complex_set_chan(kip_array_complex* array, kip_complex value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(
        1, [&] { return array ? array_set_chan(*array, value, path, chan, index, pattern) : 1; });
}

KIP_FIR_API int kip_array_mpz_get_chan(const kip_array_mpz* array, mpz_t value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(1, [&] {
        return array
            ? array_get_chan(*array, static_cast<mpz_ptr>(value), path, chan, index, pattern)
            : 1;
    });
}

KIP_FIR_API int kip_array_mpz_set_chan(kip_array_mpz* array, const mpz_t value, size_t path,
    size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(1, [&] {
        return array
            ? array_set_chan(*array, static_cast<mpz_srcptr>(value), path, chan, index, pattern)
            : 1;
    });
}

KIP_FIR_API int kip_array_mpz_complex_get_chan(const kip_array_mpz_complex* array,
    kip_mpz_complex* value, size_t path, size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(1, [&] {
        return array && value ? array_get_chan(*array, *value, path, chan, index, pattern) : 1;
    });
}

KIP_FIR_API int kip_array_mpz_complex_set_chan(kip_array_mpz_complex* array, kip_mpz_complex value,
    size_t path, size_t chan, size_t index, kip_fir_v6_3_pattern pattern)
{
    return guarded(1, [&] {
        return array ? array_set_chan(
                   *array, static_cast<const kip_mpz_complex&>(value), path, chan, index, pattern)
                     : 1;
    });
}

// ---------------------------------------------------------------- exported data
// Copy traits of the five array families.
const int32_t kip_type_trait_real = KIP_TYPE_TRAIT_PLAIN;
const int32_t kip_type_trait_complex = KIP_TYPE_TRAIT_PLAIN;
const int32_t kip_type_trait_uint = KIP_TYPE_TRAIT_PLAIN;
const int32_t kip_type_trait_mpz = KIP_TYPE_TRAIT_MPZ;
const int32_t kip_type_trait_mpz_complex = KIP_TYPE_TRAIT_MPZ_PAIR;

// Channel pattern tables: constant-initialised copies of the tables advchanpat_tables.h
// computes at compile time.
const int32_t kip_fir_v6_3_pattern_min[KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1]
    = { KIP_REP64(KIP_MIN_ITEM, 0) kip_fir_pattern_tables::kTables.min[64] };
const int32_t kip_fir_v6_3_pattern_max[KIP_FIR_V6_3_PATTERN_MAX_SLOTS + 1]
    = { KIP_REP64(KIP_MAX_ITEM, 0) kip_fir_pattern_tables::kTables.max[64] };
const int32_t kip_fir_v6_3_pattern_seq[KIP_FIR_V6_3_PATTERN_COUNT][KIP_FIR_V6_3_PATTERN_MAX_SLOTS]
    = { KIP_ALL_PATTERNS(KIP_SEQ_ROW) };
const int32_t kip_fir_v6_3_pattern_map[KIP_FIR_V6_3_PATTERN_COUNT][KIP_FIR_V6_3_PATTERN_MAX_SLOTS]
                                      [KIP_FIR_V6_3_PATTERN_MAP_ITEMS]
    = { KIP_ALL_PATTERNS(KIP_MAP_PATTERN) };

KIP_FIR_EXTERN_C_END
