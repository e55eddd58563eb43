// kfft::kGenerics -- the one description of the FFT generics, and the checks and policies
// that read it.
#include "api_generics.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "api_messages.h"

namespace kfft {

#define KFFT_GENERIC(field) #field, offsetof(kelvar_ip_kfft_v8_0_generics, field)

namespace {
    struct Row {
        const char* name;
        size_t offset;
        int32_t kind, lo, hi, def;
        const char* help;
        const char* rule;
    };

    // Ranges and defaults of the generics: create_state, get_default_generics and every front
    // end take them from here.
    constexpr Row kRows[kGenericCount] = {
        { KFFT_GENERIC(C_NFFT_MAX), KELVAR_IP_KFFT_V8_0_KIND_INT, 3, 16, 10,
            "log2 of the maximum transform length (2^C_NFFT_MAX points)",
            "at least 6 with C_ARCH 1; with C_HAS_NFFT 1 at least 4, and at least 7 with C_ARCH "
            "1" },
        { KFFT_GENERIC(C_ARCH), KELVAR_IP_KFFT_V8_0_KIND_CHOICE, 1, 4, 1,
            "architecture: 1 radix-4 burst I/O, 2 radix-2 burst I/O, 3 pipelined streaming I/O, "
            "4 radix-2 lite burst I/O",
            "1 needs C_NFFT_MAX of at least 6 (7 with C_HAS_NFFT 1)" },
        { KFFT_GENERIC(C_HAS_NFFT), KELVAR_IP_KFFT_V8_0_KIND_FLAG, 0, 1, 0,
            "1: transform length chosen per frame by nfft (3, or 6 with C_ARCH 1, up to "
            "C_NFFT_MAX); 0: always C_NFFT_MAX",
            "1 needs C_NFFT_MAX of at least 4 (7 with C_ARCH 1)" },
        { KFFT_GENERIC(C_USE_FLT_PT), KELVAR_IP_KFFT_V8_0_KIND_FLAG, 0, 1, 0,
            "1: single-precision floating-point input and output",
            "1 needs C_INPUT_WIDTH 32 and ignores C_HAS_SCALING, C_HAS_BFP and C_HAS_ROUNDING "
            "(C_ARCH 3 runs unscaled, the others in block floating point)" },
        { KFFT_GENERIC(C_INPUT_WIDTH), KELVAR_IP_KFFT_V8_0_KIND_INT, 8, 34, 16,
            "input sample width in bits (real and imaginary parts each, two's complement)",
            "32 when C_USE_FLT_PT is 1" },
        { KFFT_GENERIC(C_TWIDDLE_WIDTH), KELVAR_IP_KFFT_V8_0_KIND_INT, 8, 34, 16,
            "twiddle factor width in bits", "" },
        { KFFT_GENERIC(C_HAS_SCALING), KELVAR_IP_KFFT_V8_0_KIND_FLAG, 0, 1, 1,
            "1: scaled arithmetic (a scaling schedule per frame, or block floating point); 0: "
            "unscaled, full bit growth",
            "0 needs C_HAS_BFP 0; ignored when C_USE_FLT_PT is 1" },
        { KFFT_GENERIC(C_HAS_BFP), KELVAR_IP_KFFT_V8_0_KIND_FLAG, 0, 1, 0,
            "1: block floating point scaling (a block exponent per frame, no schedule)",
            "1 needs C_HAS_SCALING 1; ignored when C_USE_FLT_PT is 1" },
        { KFFT_GENERIC(C_HAS_ROUNDING), KELVAR_IP_KFFT_V8_0_KIND_FLAG, 0, 1, 0,
            "1: convergent rounding after scaling; 0: truncation",
            "ignored when C_USE_FLT_PT is 1" },
    };

    constexpr kelvar_ip_kfft_v8_0_generic_desc describe(const Row& r)
    {
        return { r.name, r.help, r.rule, static_cast<int32_t>(r.offset), r.kind, r.lo, r.hi, r.def,
            0 };
    }

    // The order of create_state's range checks: record order, except that C_USE_FLT_PT comes
    // last.
    constexpr int32_t kCheckOrder[kGenericCount] = { G_NFFT_MAX, G_ARCH, G_HAS_NFFT, G_INPUT_WIDTH,
        G_TWIDDLE_WIDTH, G_HAS_SCALING, G_HAS_BFP, G_HAS_ROUNDING, G_USE_FLT_PT };

    const char* const kCreate = "ERROR:kfft_v8_0:create_state called with ";

    // A caller's value as text: whole numbers in full, others with six significant digits.
    std::string value_text(double v)
    {
        MessageLine m;
        if (std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 1e18)
            m << static_cast<long long>(v);
        else
            m << v;
        return m.str();
    }

} // namespace

#undef KFFT_GENERIC

const kelvar_ip_kfft_v8_0_generic_desc kGenerics[kGenericCount] = { describe(kRows[0]),
    describe(kRows[1]), describe(kRows[2]), describe(kRows[3]), describe(kRows[4]),
    describe(kRows[5]), describe(kRows[6]), describe(kRows[7]), describe(kRows[8]) };

static_assert(offsetof(kelvar_ip_kfft_v8_0_generics, C_NFFT_MAX) == 0
        && offsetof(kelvar_ip_kfft_v8_0_generics, C_HAS_ROUNDING) == 32,
    "generics record layout");

const kelvar_ip_kfft_v8_0_generic_desc* find_generic(const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (const auto& d : kGenerics)
        if (std::strcmp(d.name, name) == 0)
            return &d;
    return nullptr;
}

int32_t& generic_field(kelvar_ip_kfft_v8_0_generics& g, const kelvar_ip_kfft_v8_0_generic_desc& d)
{
    return *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(&g) + d.offset);
}

int32_t generic_value(
    const kelvar_ip_kfft_v8_0_generics& g, const kelvar_ip_kfft_v8_0_generic_desc& d)
{
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&g) + d.offset, sizeof v);
    return v;
}

kelvar_ip_kfft_v8_0_generics default_generics()
{
    kelvar_ip_kfft_v8_0_generics g;
    for (const auto& d : kGenerics)
        generic_field(g, d) = d.default_value;
    return g;
}

int first_generics_fault(const kelvar_ip_kfft_v8_0_generics& g, std::string* line)
{
    for (int32_t k = 0; k < kGenericCount; ++k) {
        const auto& d = kGenerics[kCheckOrder[k]];
        const int32_t v = generic_value(g, d);
        if (v >= d.min_value && v <= d.max_value)
            continue;
        if (line)
            *line = (MessageLine()
                << kCreate << "invalid " << d.name << " generic: must be in the range "
                << d.min_value << " to " << d.max_value << ": Value is " << v)
                        .str();
        return k + 1;
    }
    const char* text = nullptr;
    int rule = 0;
    if (g.C_NFFT_MAX < 6 && g.C_ARCH == 1) {
        rule = 10;
        text = "C_NFFT_MAX < 6 (transform length less than 2^6 = 64) and C_ARCH = 1 (Radix-4, "
               "Burst I/O architecture): this architecture has a minimum transform length of 64, "
               "so C_NFFT_MAX must be 6 or greater.";
    } else if (g.C_NFFT_MAX == 3 && g.C_HAS_NFFT == 1) {
        rule = 11;
        text = "C_NFFT_MAX = 3 (transform length of 2^3 = 8) and C_HAS_NFFT = 1 (run-time "
               "configurable transform length): the minimum transform length of 8 cannot be "
               "run-time configurable as it cannot be reduced.";
    } else if (g.C_NFFT_MAX == 6 && g.C_ARCH == 1 && g.C_HAS_NFFT == 1) {
        rule = 12;
        text = "C_NFFT_MAX = 6 (transform length of 2^6 = 64) and C_HAS_NFFT = 1 (run-time "
               "configurable transform length) and C_ARCH = 1 (Radix-4, Burst I/O architecture): "
               "the minimum transform length of 64 in this architecture cannot be run-time "
               "configurable as it cannot be reduced.";
    } else if (g.C_HAS_SCALING == 0 && g.C_HAS_BFP == 1) {
        rule = 13;
        text = "C_HAS_SCALING = 0 (unscaled) and C_HAS_BFP = 1 (block floating point scaling): "
               "these contradict and do not specify a valid scaling option.";
    } else if (g.C_USE_FLT_PT == 1 && g.C_INPUT_WIDTH != 32) {
        rule = 14;
        text = "C_USE_FLT_PT = 1 and C_INPUT_WIDTH != 32: only IEEE single-precision data of 32 "
               "bits is supported.";
    }
    if (rule != 0 && line)
        *line = std::string(kCreate) + text;
    return rule;
}

bool set_generic(kelvar_ip_kfft_v8_0_generics& g, const char* name, double value, std::string& why)
{
    const auto* d = find_generic(name);
    if (d == nullptr) {
        why = std::string("Unknown FFT generic '") + (name ? name : "") + "'";
        return false;
    }
    if (!(std::isfinite(value) && std::trunc(value) == value)) {
        why = (MessageLine() << "Invalid value " << value_text(value) << " for " << d->name
                             << ": must be an integer")
                  .str();
        return false;
    }
    if (value < d->min_value || value > d->max_value) {
        why = (MessageLine() << "Invalid value " << value_text(value) << " for " << d->name
                             << ": must be in the range " << d->min_value << " to " << d->max_value)
                  .str();
        return false;
    }
    generic_field(g, *d) = static_cast<int32_t>(value);
    return true;
}

int32_t effective_nfft(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft)
{
    if (g.C_HAS_NFFT != 1)
        return g.C_NFFT_MAX;
    return nfft >= min_nfft(g) && nfft <= g.C_NFFT_MAX ? nfft : 0;
}

int32_t frame_length(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft)
{
    if (first_generics_fault(g, nullptr) != 0)
        return 0;
    const int32_t n = effective_nfft(g, nfft);
    return n == 0 ? 0 : int32_t { 1 } << n;
}

int32_t stage_count(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft)
{
    if (first_generics_fault(g, nullptr) != 0)
        return 0;
    if (!(g.C_HAS_SCALING == 1 && g.C_HAS_BFP == 0 && g.C_USE_FLT_PT == 0))
        return 0;
    const int32_t n = effective_nfft(g, nfft);
    return g.C_ARCH == 1 || g.C_ARCH == 3 ? (n + 1) / 2 : n;
}

int32_t default_schedule(
    const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft, int32_t* sched, int32_t capacity)
{
    const int32_t count = stage_count(g, nfft);
    if (count == 0 || sched == nullptr || capacity <= 0)
        return count;
    const bool radix4_steps = g.C_ARCH == 1 || g.C_ARCH == 3;
    const bool odd = (effective_nfft(g, nfft) & 1) != 0;
    for (int32_t i = 0; i < count && i < capacity; ++i) {
        int32_t shift = radix4_steps ? 2 : 1; // full growth of a later step
        if (i == 0)
            shift = radix4_steps ? 3 : 2; // modulus up to 4 sqrt(2) or 2 sqrt(2) brought below 1
        else if (radix4_steps && odd && i == count - 1)
            shift = 1; // final radix-2 step
        sched[i] = shift;
    }
    return count;
}

int32_t output_width(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft)
{
    if (frame_length(g, nfft) == 0)
        return 0;
    if (g.C_USE_FLT_PT == 1)
        return 32;
    return g.C_HAS_SCALING == 1 ? g.C_INPUT_WIDTH : g.C_INPUT_WIDTH + g.C_NFFT_MAX + 1;
}

void copy_message(const std::string& text, char* msg, size_t len) noexcept
{
    if (msg == nullptr || len == 0)
        return;
    const size_t n = text.size() < len - 1 ? text.size() : len - 1;
    std::memcpy(msg, text.data(), n);
    msg[n] = '\0';
}

} // namespace kfft
