// DPI-C layer over the FIR model's C interface, imported by the SystemVerilog package
// kip_fir_dpi (kip_fir_dpi.sv). Words cross as two's complement integers; every failure is a
// status and a message string, never an exception or an abort.
#include <svdpi.h>

#include "kip_dpi_common.h"

#include <gmpxx.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tapforge_v6_3_bitacc_cmodel.h"

#define KIP_DPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Width of the packed word kip_fir_dpi_get_wide fills (bit [255:0] in the package).
constexpr int kWideBits = 256;

struct FirDpi {
    kip_fir_v6_3* model = nullptr;
    kip_fir_v6_3_config cfg {}; // completed configuration, as get_config returns it
    kip_array_real* in = nullptr; // one input vector: (paths, channels, 1)
    kip_array_mpz_complex* sink = nullptr; // refilled by every data_send
    std::size_t words = 1; // words per vector: paths * channels
    std::size_t staged = 0; // words of the current input vector taken so far
    std::deque<std::pair<mpz_class, mpz_class>> out; // output words (re, im), oldest first
    std::string message; // messages of the latest call, one per line

    ~FirDpi()
    {
        if (model != nullptr)
            kip_fir_v6_3_destroy(model);
        kip_array_real_destroy(in);
        kip_array_mpz_complex_destroy(sink);
    }
};

kip_dpi::Registry<FirDpi>& registry()
{
    static kip_dpi::Registry<FirDpi> models;
    return models;
}

const char* const kNotLive = "Not a live kip_fir_dpi handle: destroyed, never created, or another "
                             "layer's (a kip_fft_dpi handle)";

void append_line(std::string& to, const char* text) noexcept
{
    try {
        if (!to.empty())
            to += '\n';
        to += text;
    } catch (...) {
    }
}

void on_message(void* handle, int32_t, const char* text)
{
    append_line(*static_cast<std::string*>(handle), text);
}

using kip_dpi::set_create_message;
using kip_dpi::sv_index;

int sv_count(const svOpenArrayHandle a) { return a == nullptr ? 0 : svSize(a, 1); }

// A decimal integer: an optional sign and digits, without leading zeros, so that "010" or
// "0x10" are refused rather than read as octal or hexadecimal. False when it is not one or
// exceeds 64 bits.
bool parse_decimal(const std::string& t, long long& v)
{
    std::size_t i = t.empty() || (t[0] != '-' && t[0] != '+') ? 0 : 1;
    if (i == t.size() || (t[i] == '0' && i + 1 < t.size()))
        return false;
    for (std::size_t j = i; j < t.size(); ++j)
        if (t[j] < '0' || t[j] > '9')
            return false;
    char* stop = nullptr;
    errno = 0;
    v = std::strtoll(t.c_str(), &stop, 10);
    return errno == 0 && *stop == '\0';
}

// Applies "field=value" items separated by blanks or commas. Returns an empty string, or the
// reason the settings are refused. num_coeffs_given tells whether num_coeffs was among them.
std::string apply_settings(kip_fir_v6_3_config& cfg, const char* text, bool& num_coeffs_given)
{
    num_coeffs_given = false;
    const std::string s = text == nullptr ? std::string() : std::string(text);
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (std::isspace(static_cast<unsigned char>(s[pos])) || s[pos] == ',') {
            ++pos;
            continue;
        }
        std::size_t end = pos;
        while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end])) && s[end] != ',')
            ++end;
        const std::string item = s.substr(pos, end - pos);
        pos = end;
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos)
            return "Setting \"" + item + "\" is not of the form field=value";
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        long long v = 0;
        if (!parse_decimal(value, v) || v < INT32_MIN || v > INT32_MAX)
            return "Setting " + key + " needs a decimal 32-bit integer, not \"" + value
                + "\" (no leading zeros, no 0x prefix)";
        // The library knows the fields, their ranges and its messages for them.
        char why[KIP_FIR_V6_3_MSG_LEN];
        if (kip_fir_v6_3_config_set_field(
                &cfg, key.c_str(), static_cast<double>(v), why, sizeof why)
            != 0)
            return why;
        if (key == "num_coeffs")
            num_coeffs_given = true;
    }
    return std::string();
}

void* create(const char* name, const svOpenArrayHandle coeff, const char* settings,
    const char** msg) noexcept
{
    try {
        std::unique_ptr<FirDpi> dpi(new FirDpi);
        kip_fir_v6_3_config cfg;
        kip_fir_v6_3_default_config(&cfg);
        const std::string instance = name == nullptr || *name == '\0' ? cfg.name : name;
        cfg.name = instance.c_str();
        bool num_coeffs_given = false;
        std::string error = apply_settings(cfg, settings, num_coeffs_given);
        if (!error.empty()) {
            set_create_message(msg, error);
            return nullptr;
        }
        // An empty coefficient array keeps the library's default set, as in every other front
        // end; the default is one set, so settings that ask for more need their own taps.
        const int n = sv_count(coeff);
        const bool default_taps = n == 0 && !num_coeffs_given && cfg.coeff_sets == 1;
        std::vector<double> values(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            values[static_cast<std::size_t>(i)]
                = *static_cast<const double*>(svGetArrElemPtr1(coeff, sv_index(coeff, i)));
        if (!default_taps) {
            if (!num_coeffs_given && cfg.coeff_sets > 0)
                cfg.num_coeffs = n / cfg.coeff_sets;
            if (n == 0 || cfg.num_coeffs < 1 || cfg.coeff_sets < 1
                || static_cast<long long>(cfg.num_coeffs) * cfg.coeff_sets != n) {
                set_create_message(msg,
                    "The coefficient array holds " + std::to_string(n)
                        + " values; num_coeffs * coeff_sets must equal that count and be at least "
                          "1 (or leave it empty, without num_coeffs, for the default set)");
                return nullptr;
            }
            cfg.coeff = values.data();
        }
        dpi->model = kip_fir_v6_3_create(&cfg, on_message, &dpi->message);
        if (dpi->model == nullptr) {
            set_create_message(
                msg, dpi->message.empty() ? "The configuration was refused" : dpi->message);
            return nullptr;
        }
        kip_fir_v6_3_get_config(dpi->model, &dpi->cfg);
        dpi->words = static_cast<std::size_t>(dpi->cfg.num_paths)
            * static_cast<std::size_t>(dpi->cfg.num_channels);
        dpi->in = kip_array_real_create();
        dpi->sink = kip_array_mpz_complex_create();
        if (dpi->in == nullptr || dpi->sink == nullptr
            || kip_array_real_reserve_dim(dpi->in, 3) != 0
            || kip_array_real_reserve_data(dpi->in, dpi->words) != 0) {
            set_create_message(msg, "Out of memory");
            return nullptr;
        }
        dpi->in->dim_size = 3;
        dpi->in->dim[0] = static_cast<std::size_t>(dpi->cfg.num_paths);
        dpi->in->dim[1] = static_cast<std::size_t>(dpi->cfg.num_channels);
        dpi->in->dim[2] = 1;
        dpi->in->data_size = dpi->words;
        if (kip_fir_v6_3_set_data_sink_mpz(dpi->model, nullptr, dpi->sink) != 0) {
            set_create_message(msg, dpi->message);
            return nullptr;
        }
        // Settings the model ignores are accepted with a note, in msg and in the first message.
        char notes[KIP_FIR_V6_3_MSG_LEN];
        dpi->message = kip_fir_v6_3_config_check(&cfg, notes, sizeof notes) > 0 ? notes : "";
        const std::string warnings = dpi->message;
        void* h = registry().add(std::move(dpi));
        set_create_message(msg, warnings);
        return h;
    } catch (...) {
        set_create_message(msg, "Out of memory");
        return nullptr;
    }
}

// Takes the output vectors the last data_send left in the sink.
void collect(FirDpi& dpi)
{
    const kip_array_mpz_complex& s = *dpi.sink;
    for (std::size_t i = 0; i < s.data_size; ++i)
        dpi.out.emplace_back(mpz_class(s.data[i].re), mpz_class(s.data[i].im));
}

// The word the model takes for x: x itself when it fits data_width bits, else x wrapped modulo
// 2^data_width as the model wraps every input code (done here on the integer, exact for every
// 64-bit word).
long long wrap_word(long long x, int width)
{
    if (width >= 64 || width < 1)
        return x;
    const unsigned long long mask = (1ULL << width) - 1;
    const unsigned long long u = static_cast<unsigned long long>(x) & mask;
    const unsigned long long sign = 1ULL << (width - 1);
    return static_cast<long long>(u ^ sign) - static_cast<long long>(sign);
}

// Sends n words (word(i) gives word i), a vector to the model each time one is complete. Words
// outside the data format are wrapped as the model does, with one warning for the call naming
// their count and the first index.
template <class Word> int send_words(FirDpi& dpi, int n, Word&& word)
{
    const int w = dpi.cfg.data_width;
    bool wrapped = false;
    std::vector<double> all; // every word of the call, once one does not fit
    for (int i = 0; i < n; ++i) {
        const long long x = word(i);
        const long long y = wrap_word(x, w);
        if (y != x && !wrapped) {
            wrapped = true;
            all.reserve(static_cast<std::size_t>(n));
            for (int j = 0; j < i; ++j)
                all.push_back(static_cast<double>(word(j)));
        }
        if (wrapped)
            all.push_back(static_cast<double>(x));
        // |y| < 2^(data_width - 1): exact in a double, and so is the power-of-two scaling.
        dpi.in->data[dpi.staged++] = std::ldexp(static_cast<double>(y), -dpi.cfg.data_fract_width);
        if (dpi.staged < dpi.words)
            continue;
        dpi.staged = 0;
        if (kip_fir_v6_3_data_send(dpi.model, dpi.in) != 0)
            return 1;
        collect(dpi);
    }
    if (wrapped) {
        // Words are whole codes: the library's check counts the ones outside the format.
        kip_fir_v6_3_config words_cfg = dpi.cfg;
        words_cfg.data_fract_width = 0;
        kip_fir_v6_3_input_report report {};
        char text[KIP_FIR_V6_3_MSG_LEN];
        if (kip_fir_v6_3_input_check(&words_cfg, all.data(), all.size(), &report, text, sizeof text)
                == 0
            && text[0] != '\0')
            append_line(dpi.message, text);
    }
    return 0;
}

bool is_hilbert(const FirDpi& dpi) { return dpi.cfg.filter_type == 3; }

int refuse(FirDpi& dpi, const std::string& text)
{
    append_line(dpi.message, text.c_str());
    return 1;
}

int no_output(FirDpi& dpi) { return refuse(dpi, "No output word is waiting"); }

// Stores v as a 64-bit word, or refuses when it does not fit.
int to_int64(FirDpi& dpi, const mpz_class& v, long long* y)
{
    if (!mpz_fits_slong_p(v.get_mpz_t()))
        return refuse(
            dpi, "Output word " + v.get_str() + " does not fit 64 bits: use kip_fir_dpi_get_wide");
    *y = mpz_get_si(v.get_mpz_t());
    return 0;
}

// Runs body on the model behind h: 1 without touching anything when h is not live.
template <class Body> int guarded(void* h, Body&& body) noexcept
{
    const std::shared_ptr<FirDpi> model = registry().find(h);
    if (!model)
        return 1;
    FirDpi& dpi = *model;
    dpi.message.clear();
    try {
        return body(dpi);
    } catch (...) {
        append_line(dpi.message, "Out of memory");
        return 1;
    }
}

int null_output(FirDpi& dpi, const char* what)
{
    return refuse(dpi, std::string("Null output pointer for ") + what);
}

} // namespace

KIP_DPI_EXPORT void* kip_fir_dpi_create(const char* name, const svOpenArrayHandle coeff,
    int filter_type, int interp_rate, int decim_rate, int data_width, int data_fract_width,
    int coeff_width, int coeff_fract_width, int output_rounding, int output_width, int num_channels,
    int num_paths, const char** msg)
{
    try {
        std::string s = "filter_type=" + std::to_string(filter_type) + " interp_rate="
            + std::to_string(interp_rate) + " decim_rate=" + std::to_string(decim_rate)
            + " data_width=" + std::to_string(data_width) + " data_fract_width="
            + std::to_string(data_fract_width) + " coeff_width=" + std::to_string(coeff_width)
            + " coeff_fract_width=" + std::to_string(coeff_fract_width) + " output_rounding="
            + std::to_string(output_rounding) + " num_channels=" + std::to_string(num_channels)
            + " num_paths=" + std::to_string(num_paths);
        // 0: not given (only rounded outputs have a width of their own).
        if (output_width != 0)
            s += " output_width=" + std::to_string(output_width);
        if (interp_rate > 1 && decim_rate > 1)
            s += " rate_change=1";
        return create(name, coeff, s.c_str(), msg);
    } catch (...) {
        set_create_message(msg, "Out of memory");
        return nullptr;
    }
}

KIP_DPI_EXPORT void* kip_fir_dpi_create_ex(
    const char* name, const svOpenArrayHandle coeff, const char* settings, const char** msg)
{
    return create(name, coeff, settings, msg);
}

KIP_DPI_EXPORT void kip_fir_dpi_destroy(void* h) { registry().erase(h); }

KIP_DPI_EXPORT const char* kip_fir_dpi_message(void* h)
{
    if (h == nullptr)
        return "Null model handle";
    const std::shared_ptr<FirDpi> model = registry().find(h);
    return model ? model->message.c_str() : kNotLive;
}

KIP_DPI_EXPORT int kip_fir_dpi_output_width(void* h)
{
    const std::shared_ptr<FirDpi> model = registry().find(h);
    return model ? model->cfg.output_width : 0;
}

KIP_DPI_EXPORT int kip_fir_dpi_output_fract_width(void* h)
{
    const std::shared_ptr<FirDpi> model = registry().find(h);
    return model ? model->cfg.output_fract_width : 0;
}

KIP_DPI_EXPORT int kip_fir_dpi_send(void* h, long long x)
{
    return guarded(h, [&](FirDpi& dpi) { return send_words(dpi, 1, [x](int) { return x; }); });
}

KIP_DPI_EXPORT int kip_fir_dpi_send_frame(void* h, const svOpenArrayHandle x)
{
    return guarded(h, [&](FirDpi& dpi) {
        return send_words(dpi, sv_count(x), [x](int i) {
            return *static_cast<const long long*>(svGetArrElemPtr1(x, sv_index(x, i)));
        });
    });
}

KIP_DPI_EXPORT int kip_fir_dpi_available(void* h)
{
    const std::shared_ptr<FirDpi> model = registry().find(h);
    if (!model)
        return 0;
    const std::size_t n = model->out.size();
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

// The getters write 0 to their (non-null) outputs first: a refused call leaves zeros there.

KIP_DPI_EXPORT int kip_fir_dpi_get(void* h, long long* y)
{
    if (y != nullptr)
        *y = 0;
    return guarded(h, [&](FirDpi& dpi) {
        if (y == nullptr)
            return null_output(dpi, "y");
        if (is_hilbert(dpi))
            return refuse(dpi, "A Hilbert filter's output is complex: use kip_fir_dpi_get_complex");
        if (dpi.out.empty())
            return no_output(dpi);
        if (to_int64(dpi, dpi.out.front().first, y) != 0)
            return 1;
        dpi.out.pop_front();
        return 0;
    });
}

KIP_DPI_EXPORT int kip_fir_dpi_get_complex(void* h, long long* re, long long* im)
{
    if (re != nullptr)
        *re = 0;
    if (im != nullptr)
        *im = 0;
    return guarded(h, [&](FirDpi& dpi) {
        if (re == nullptr || im == nullptr)
            return null_output(dpi, re == nullptr ? "re" : "im");
        if (dpi.out.empty())
            return no_output(dpi);
        if (to_int64(dpi, dpi.out.front().first, re) != 0
            || to_int64(dpi, dpi.out.front().second, im) != 0) {
            *re = 0;
            return 1;
        }
        dpi.out.pop_front();
        return 0;
    });
}

KIP_DPI_EXPORT int kip_fir_dpi_get_frame(void* h, const svOpenArrayHandle y)
{
    for (int i = 0; i < sv_count(y); ++i)
        *static_cast<long long*>(svGetArrElemPtr1(y, sv_index(y, i))) = 0;
    return guarded(h, [&](FirDpi& dpi) {
        if (y == nullptr)
            return null_output(dpi, "y");
        if (is_hilbert(dpi))
            return refuse(dpi, "A Hilbert filter's output is complex: use kip_fir_dpi_get_complex");
        const std::size_t n = static_cast<std::size_t>(sv_count(y));
        if (n > dpi.out.size())
            return refuse(dpi,
                "The array takes " + std::to_string(n) + " output words but "
                    + std::to_string(dpi.out.size()) + " are waiting");
        std::vector<long long> words(n);
        for (std::size_t i = 0; i < n; ++i)
            if (to_int64(dpi, dpi.out[i].first, &words[i]) != 0)
                return 1;
        for (std::size_t i = 0; i < n; ++i) {
            *static_cast<long long*>(svGetArrElemPtr1(y, sv_index(y, static_cast<int>(i))))
                = words[i];
            dpi.out.pop_front();
        }
        return 0;
    });
}

KIP_DPI_EXPORT int kip_fir_dpi_get_wide(void* h, svBitVecVal* y)
{
    if (y != nullptr)
        for (int i = 0; i < kWideBits / 32; ++i)
            y[i] = 0;
    return guarded(h, [&](FirDpi& dpi) {
        if (y == nullptr)
            return null_output(dpi, "y");
        if (is_hilbert(dpi))
            return refuse(dpi, "A Hilbert filter's output is complex: use kip_fir_dpi_get_complex");
        if (dpi.out.empty())
            return no_output(dpi);
        const mpz_class& v = dpi.out.front().first;
        const mpz_class limit = mpz_class(1) << (kWideBits - 1);
        if (v < -limit || v >= limit)
            return refuse(dpi,
                "Output word " + v.get_str() + " does not fit " + std::to_string(kWideBits)
                    + " bits");
        mpz_class word = v;
        if (word < 0)
            word += mpz_class(1) << kWideBits;
        uint32_t limbs[kWideBits / 32] = {};
        std::size_t count = 0;
        mpz_export(limbs, &count, -1, sizeof(uint32_t), 0, 0, word.get_mpz_t());
        for (int i = 0; i < kWideBits / 32; ++i)
            y[i] = limbs[i];
        dpi.out.pop_front();
        return 0;
    });
}

KIP_DPI_EXPORT int kip_fir_dpi_reset(void* h)
{
    return guarded(h, [&](FirDpi& dpi) {
        dpi.out.clear();
        dpi.staged = 0;
        return kip_fir_v6_3_reset(dpi.model) == 0 ? 0 : 1;
    });
}
