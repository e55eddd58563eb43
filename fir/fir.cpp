// FIR -- model construction: validation, widths, arithmetic mode and quantisation contexts.
#include "fir.h"

#include <cmath>
#include <sstream>

#include "advchanpat.h"

namespace {

uint32_t gcd(uint32_t a, uint32_t b)
{
    while (b != 0) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

bool is_advanced_channel_count(uint32_t n)
{
    switch (n) {
    case 4:
    case 6:
    case 8:
    case 12:
    case 16:
    case 24:
    case 32:
    case 48:
    case 64:
        return true;
    default:
        return false;
    }
}

// ceil(log2(x)) as the hardware's width calculator computes it: ln(x) / ln(2.0), rounded up.
// For some powers of two (2^29, 2^31, ...) the quotient lies just above the integer and the
// result is one bit more than the exact logarithm; widths follow the quotient.
int32_t ceil_log2_quotient(double x)
{
    if (!(x > 0) || !std::isfinite(x))
        throw FIRException("Cannot derive the accumulator width from the coefficients");
    return static_cast<int32_t>(std::ceil(std::log(x) / std::log(2.0)));
}

// Format every context holds until construction sets the real one.
FFPContext provisional_format()
{
    return FFPContext(32, 0, RND_DOWN, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
}

const RndMode kOutputRounding[8] = { RND_NONE, RND_DOWN, RND_HALF_TO_ZERO, RND_POSIX, RND_TO_EVEN,
    RND_TO_ODD, RND_HALF_DOWN, RND_HALF_UP };

} // namespace

FIR::FIR(const kip_fir_v6_3_config* cfg, KLogger* logger_, KLogger* dbg_logger_)
    : logger(logger_)
    , dbg_logger(dbg_logger_)
    , coeff_ctx(provisional_format())
    , data_ctx(provisional_format())
    , dout_ctx(provisional_format())
{
    if (!cfg || !logger || !dbg_logger)
        throw FIRException("Invalid model construction arguments");
    if (!cfg->name)
        throw FIRException("Instance name must not be null");
    validate(*cfg);
    dbg_logger->note("Passed basic checks");

    config = *cfg;
    config.name = nullptr;
    config.coeff = nullptr;
    instance_name = cfg->name;

    // Rates the filter type does not use are forced to 1 in the copy.
    switch (config.filter_type) {
    case 1:
        if (config.rate_change == 0)
            config.decim_rate = 1;
        config.zero_pack_factor = 1;
        break;
    case 2:
        if (config.rate_change == 0)
            config.interp_rate = 1;
        config.zero_pack_factor = 1;
        break;
    case 4:
        config.interp_rate = 1;
        config.decim_rate = 1;
        break;
    default: // single rate, Hilbert
        config.interp_rate = 1;
        config.decim_rate = 1;
        config.zero_pack_factor = 1;
        break;
    }

    compute_coeff_scale(*cfg);
    compute_acc_width(*cfg);

    if (config.output_rounding == 0)
        config.output_width = acc_width;
    else if (static_cast<uint32_t>(config.output_width) > static_cast<uint32_t>(acc_width))
        throw FIRException("Invalid output width");
    {
        std::ostringstream os;
        os << "Calculated accumulator width: " << acc_width;
        dbg_logger->note(os);
    }

    // All terms are bounded (|coeff_fract_width| <= 1023, acc_width <= 1073), so int32 holds them.
    const int32_t fract_sum = config.coeff_fract_width + config.data_fract_width;
    const int32_t out_fract = fract_sum - (acc_width - config.output_width);
    config.output_fract_width = out_fract > 0 ? out_fract : 0;
    if (config.output_fract_width > kip_fir::field_max(kip_fir::F_OUTPUT_FRACT_WIDTH)) {
        std::ostringstream os;
        os << "Invalid output fractional width " << config.output_fract_width << " (at most "
           << kip_fir::field_max(kip_fir::F_OUTPUT_FRACT_WIDTH) << ")";
        throw FIRException(os.str());
    }
    {
        std::ostringstream os;
        os << "Output fract width: " << config.output_fract_width;
        dbg_logger->note(os);
    }

    use_mpz = acc_width > kFirDoubleMaxAccWidth;
    // Double mode holds real values: the accumulator's top bit, 2^(acc_width - 1 - fractions),
    // must stay within the double range.
    if (!use_mpz && acc_width - 1 - fract_sum > 1023) {
        std::ostringstream os;
        os << "Coefficient and data fractional widths put the accumulator outside the double "
              "range (2^"
           << acc_width - 1 - fract_sum << ")";
        throw FIRException(os.str());
    }
    if (!use_mpz) {
        coeff_ctx = FFPContext(config.coeff_width, config.coeff_fract_width, RND_TO_ZERO, OVF_WRAP,
            SIGN_SIGNED, WARN_NONE);
        dout_scale = 1.0;
        if (config.output_fract_width == 0)
            dout_scale = std::pow(2.0, acc_width - config.output_width - fract_sum);
    } else {
        logger->warn("Model will use MPZ data type");
        if (config.coeff_fract_width != 0 || config.data_fract_width != 0)
            logger->warn(
                "Model inputs have fractional bits. Data and Coefficients will be scaled by "
                "fractional width to use integer representation. Output will be integer only, "
                "use configuration.output_fract_width to interpret output");
        coeff_scale = coeff_scale * std::pow(2.0, config.coeff_fract_width);
        coeff_ctx
            = FFPContext(config.coeff_width, 0, RND_TO_ZERO, OVF_WRAP, SIGN_SIGNED, WARN_NONE);
        dout_scale = std::pow(2.0, acc_width - config.output_width);
    }
    {
        std::ostringstream os;
        os << "Coefficient scaling: " << coeff_scale;
        dbg_logger->note(os);
    }
    {
        std::ostringstream os;
        os << "Dout scaling: " << dout_scale;
        dbg_logger->note(os);
    }

    build_kernel_bank(*cfg);
    init_output_buffers();

    data_ctx = FFPContext(
        config.data_width, config.data_fract_width, RND_DOWN, OVF_WRAP, SIGN_SIGNED, WARN_ONCE);

    dout_rnd = kOutputRounding[config.output_rounding];
    // The integer mode rounds by itself, but a rounded output needs at least one bit there too;
    // it is refused with the text the output format gives in double mode.
    if (use_mpz && config.output_width < 1)
        FFPContext(config.output_width, config.output_fract_width, dout_rnd, OVF_WRAP, SIGN_SIGNED,
            WARN_NONE);
    if (!use_mpz)
        dout_ctx = FFPContext(config.output_width, config.output_fract_width, dout_rnd, OVF_WRAP,
            SIGN_SIGNED, WARN_OVERFLOW);

    init_channel_pattern();
    chanCountIn = 0;
    chanCountOut = 0;
    init_hilbert_lines();

    data_pow = std::pow(2.0, config.data_fract_width);
    out_pow = std::pow(2.0, config.output_fract_width);
    // Integer mode divides by dout_scale as an integer (truncated); a scale beyond the double
    // range leaves it 0, which the output path refuses.
    if (use_mpz && std::isfinite(dout_scale))
        mpz_set_d(dout_div.get_mpz_t(), dout_scale);
    if (mpz_cmp_ui(dout_div.get_mpz_t(), 2) >= 0 && mpz_popcount(dout_div.get_mpz_t()) == 1) {
        dout_shift = static_cast<int>(mpz_scan1(dout_div.get_mpz_t(), 0));
        dout_half = dout_div >> 1;
    }
    need_scratch.assign(
        static_cast<size_t>(config.num_paths) * static_cast<size_t>(config.num_channels), 0);
}

// Queued packets release their private copies (coefficients, selectors) with their queues.
FIR::~FIR() = default;

// Quantised coefficient table, kernel rates and the kernel bank: every kernel is a copy of one
// prototype built from set 0. Kernel rates come from the caller's record as given.
void FIR::build_kernel_bank(const kip_fir_v6_3_config& caller)
{
    coeff_table = process_coeff(caller.coeff, static_cast<unsigned int>(caller.coeff_sets));

    int L = 1, M = 1;
    if (caller.rate_change == 1) {
        L = caller.interp_rate;
        M = caller.decim_rate;
    } else if (caller.filter_type == 1) {
        L = caller.interp_rate;
    } else if (caller.filter_type == 2) {
        M = caller.decim_rate;
    }

    const size_t paths = static_cast<size_t>(config.num_paths);
    const size_t chans = static_cast<size_t>(config.num_channels);
    filters.clear();
    filters_mpz.clear();
    if (use_mpz) {
        // Each kernel is built rather than copied: a copy would copy-construct every GMP
        // integer of the zeroed history (one allocation each), a new kernel leaves them unset.
        filters_mpz.resize(paths);
        for (auto& row : filters_mpz) {
            row.reserve(chans);
            for (size_t c = 0; c < chans; ++c)
                row.emplace_back(coeff_table[0], L, M);
        }
        filters_mpz[0][0].set_change_config_handler(&FIR::call_cnfg_sync, this);
    } else {
        const FirFilter<double, double> proto(coeff_table[0], L, M);
        filters.assign(paths, std::vector<FirFilter<double, double>>(chans, proto));
        filters[0][0].set_change_config_handler(&FIR::call_cnfg_sync, this);
    }
}

int FIR::call_cnfg_sync(void* model) { return static_cast<FIR*>(model)->cnfg_sync(); }

int32_t FIR::get_config(kip_fir_v6_3_config& out) const
{
    out = config;
    out.name = instance_name.c_str();
    return 0;
}

// The first failing check throws; the order is part of the interface. Ranges come from the
// field descriptions; each is compared as an unsigned number, so a negative value fails too.
void FIR::validate(const kip_fir_v6_3_config& c)
{
    using namespace kip_fir;
    auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
    if (u(c.filter_type) > u(field_max(F_FILTER_TYPE)))
        throw FIRException("Invalid filter type");
    if (u(c.rate_change) > u(field_max(F_RATE_CHANGE)))
        throw FIRException("Invalid rate change type");
    if (u(c.interp_rate) > kFirMaxRate)
        throw FIRException("Invalid interpolation rate");
    if (u(c.decim_rate) > kFirMaxRate)
        throw FIRException("Invalid decimation rate");
    if (c.rate_change == 1 && gcd(u(c.interp_rate), u(c.decim_rate)) > 1)
        throw FIRException(
            "Interpolation and decimation rates must have no common factors greater than 1");
    if (u(c.zero_pack_factor) > kFirMaxZeroPack)
        throw FIRException("Invalid zero packing factor");
    if (u(c.is_halfband) > u(field_max(F_IS_HALFBAND)))
        throw FIRException("Invalid value for is_halfband");
    if (u(c.reloadable) > u(field_max(F_RELOADABLE)))
        throw FIRException("Invalid value for reloadable");
    if (u(c.quantization) > u(field_max(F_QUANTIZATION)))
        throw FIRException("Invalid quantization type");
    if (u(c.coeff_width) > kFirMaxWidth)
        throw FIRException("Invalid coefficient width");
    if (u(c.chan_seq) > u(field_max(F_CHAN_SEQ)))
        throw FIRException("Invalid channel sequence type");
    if (u(c.num_channels) > kFirMaxChannels)
        throw FIRException("Invalid number of channels");
    if (c.chan_seq == 1 && !is_advanced_channel_count(u(c.num_channels)))
        throw FIRException("Invalid number of channels");
    if (u(c.num_paths) > kFirMaxPaths)
        throw FIRException("Invalid number of paths");
    if (u(c.data_width) > kFirMaxWidth)
        throw FIRException("Invalid data width");
    if (u(c.data_width) < u(c.data_fract_width))
        throw FIRException("Data fractional width must be less than or equal to the data width");
    if (u(c.output_rounding) > u(field_max(F_OUTPUT_ROUNDING)))
        throw FIRException("Invalid output rounding type");
    if (u(c.config_method) > u(field_max(F_CONFIG_METHOD)))
        throw FIRException("Invalid configuration method");

    // Values that pass the checks above but would leave the model without kernels, phases or
    // coefficients, or make its width arithmetic meaningless.
    if (c.num_channels < field_min(F_NUM_CHANNELS))
        throw FIRException("Number of channels must be at least 1");
    if (c.num_paths < field_min(F_NUM_PATHS))
        throw FIRException("Number of paths must be at least 1");
    // A zero rate or packing factor is refused only where something reads it: the filter type
    // keeps it, the kernel takes it (rate_change 1), or, for interp_rate, the accumulator width
    // of a model that is not reloadable sums over its phases. Elsewhere it is normalised to 1.
    if (c.interp_rate == 0 && (c.filter_type == 1 || c.rate_change == 1 || c.reloadable == 0))
        throw FIRException("Invalid Filter rate");
    if (c.decim_rate == 0 && (c.filter_type == 2 || c.rate_change == 1))
        throw FIRException("Invalid Filter rate");
    if (c.zero_pack_factor == 0 && c.filter_type == 4)
        throw FIRException("Zero packing factor must be at least 1");
    if (c.num_coeffs < field_min(F_NUM_COEFFS))
        throw FIRException("Number of coefficients must be at least 1");
    if (c.coeff_sets < field_min(F_COEFF_SETS))
        throw FIRException("Number of coefficient sets must be at least 1");
    if (c.coeff_padding < field_min(F_COEFF_PADDING))
        throw FIRException("Coefficient padding must not be negative");
    check_table_size(c);
    if (c.coeff_fract_width > field_max(F_COEFF_FRACT_WIDTH)
        || c.coeff_fract_width < field_min(F_COEFF_FRACT_WIDTH))
        throw FIRException("Invalid coefficient fractional width");
    if (!c.coeff)
        throw FIRException("Coefficient pointer must not be null");
    const size_t total = static_cast<size_t>(c.num_coeffs) * static_cast<size_t>(c.coeff_sets);
    for (size_t k = 0; k < total; ++k)
        if (!std::isfinite(c.coeff[k]))
            throw FIRException("Coefficient values must be finite");
}

// Every kernel and every coefficient set holds a padded set: refuse sizes that would exhaust
// memory before anything is allocated.
void FIR::check_table_size(const kip_fir_v6_3_config& c)
{
    const uint64_t zpf = c.filter_type == 4 ? static_cast<uint32_t>(c.zero_pack_factor) : 1;
    const uint64_t padding = static_cast<uint64_t>(c.coeff_padding) * zpf;
    const uint64_t taps = static_cast<uint64_t>(c.num_coeffs) * zpf;
    const uint64_t set_len = padding + taps;
    if (set_len > kFirMaxSetTaps) {
        std::ostringstream os;
        if (taps > kFirMaxSetTaps)
            os << "Invalid num_coeffs " << c.num_coeffs << ": a coefficient set of " << taps;
        else
            os << "Invalid coeff_padding " << c.coeff_padding << ": a padded coefficient set of "
               << set_len;
        os << " taps exceeds the limit of " << kFirMaxSetTaps << " taps";
        throw FIRException(os.str());
    }
    const uint64_t tables = static_cast<uint64_t>(c.coeff_sets)
        + static_cast<uint64_t>(c.num_paths) * static_cast<uint64_t>(c.num_channels);
    if (tables * set_len > kFirMaxTableTaps) {
        std::ostringstream os;
        os << "Coefficient tables too large: (coeff_sets + num_paths * num_channels) * " << set_len
           << " taps exceeds the limit of " << kFirMaxTableTaps;
        throw FIRException(os.str());
    }
}

// With quantization 2 the coefficients are scaled so that the value of largest magnitude
// reaches the most negative or most positive code of the coefficient format exactly.
void FIR::compute_coeff_scale(const kip_fir_v6_3_config& c)
{
    coeff_scale = 1.0;
    if (c.quantization != 2)
        return;
    const size_t total = static_cast<size_t>(c.num_coeffs) * static_cast<size_t>(c.coeff_sets);
    double max = c.coeff[0], min = c.coeff[0];
    for (size_t k = 1; k < total; ++k) {
        if (c.coeff[k] > max)
            max = c.coeff[k];
        if (c.coeff[k] < min)
            min = c.coeff[k];
    }
    const double top = std::pow(2.0, c.coeff_width - 1);
    const double frac_scale = std::pow(2.0, c.coeff_fract_width);
    if (-min > max)
        coeff_scale = top / frac_scale / std::fabs(min);
    else
        coeff_scale = (top - 1) / frac_scale / std::fabs(max);
    if (!std::isfinite(coeff_scale))
        throw FIRException("Unable to scale coefficients to maximise dynamic range");
}

// Uses the caller's interp_rate as given, before normalisation.
void FIR::compute_acc_width(const kip_fir_v6_3_config& c)
{
    const uint32_t rate = static_cast<uint32_t>(c.interp_rate);
    if (c.reloadable == 1) {
        uint32_t n = static_cast<uint32_t>(c.num_coeffs);
        if (c.filter_type == 3)
            n = (n + 1) / 2;
        else if (c.is_halfband == 1)
            n = (n + 1) / 2 + 1;
        if (rate > 1)
            n = c.is_halfband == 1 ? n - 1 : (n + rate - 1) / rate;
        acc_width = c.coeff_width + c.data_width + ceil_log2_quotient(n);
    } else {
        const size_t taps = static_cast<size_t>(c.num_coeffs);
        const double frac_scale = std::pow(2.0, c.coeff_fract_width);
        double maximum = 0.0;
        // The note repeats the running maximum after every phase: its text is formatted
        // again only when the maximum changes.
        const bool trace = dbg_logger->active();
        std::string note;
        for (size_t s = 0; s < static_cast<size_t>(c.coeff_sets); ++s) {
            for (size_t p = 0; p < rate; ++p) {
                double sum = 0.0;
                for (size_t i = s * taps + p; i < (s + 1) * taps; i += rate)
                    sum += std::fabs(c.coeff[i] * coeff_scale * frac_scale);
                const bool changed = sum > maximum || note.empty();
                if (sum > maximum)
                    maximum = sum;
                if (trace) {
                    if (changed) {
                        std::ostringstream os;
                        os << "Max coeff sum: " << maximum;
                        note = os.str();
                    }
                    dbg_logger->note(note);
                }
            }
        }
        acc_width = c.data_width + ceil_log2_quotient(maximum);
    }
    if (acc_width < 1)
        throw FIRException("Cannot derive the accumulator width from the coefficients");
}

void FIR::init_output_buffers()
{
    const size_t paths = static_cast<size_t>(config.num_paths);
    const size_t chans = static_cast<size_t>(config.num_channels);
    dout_buffer.clear();
    dout_buffer_mpz.clear();
    if (use_mpz)
        dout_buffer_mpz.assign(paths, std::vector<FirFifo<mpz_class>>(chans));
    else
        dout_buffer.assign(paths, std::vector<FirFifo<double>>(chans));
}

// The advanced sequence starts with init_pattern, replaced (with a warning) by the first
// pattern for num_channels when outside that range.
void FIR::init_channel_pattern()
{
    if (config.chan_seq != 1) {
        CurrentPattern = KIP_FIR_V6_3_PATTERN_NONE;
        return;
    }
    const size_t n = static_cast<size_t>(config.num_channels);
    if (!kip_fir::pattern_allowed(n, config.init_pattern)) {
        logger->warn(
            "Channel pattern ID is invalid for specified number of channels, using default value");
        config.init_pattern = kip_fir::pattern_first(n);
    }
    CurrentPattern = config.init_pattern;
}

void FIR::init_hilbert_lines()
{
    hilbert_queue.clear();
    if (config.filter_type != 3)
        return;
    const size_t delay = (static_cast<size_t>(config.num_coeffs) + 1) / 2 - 1
        + static_cast<size_t>(config.coeff_padding);
    FirFifo<double> line(delay);
    for (size_t i = 0; i < delay; ++i)
        line.push_back(0.0);
    hilbert_queue.assign(static_cast<size_t>(config.num_paths),
        std::vector<FirFifo<double>>(static_cast<size_t>(config.num_channels), line));
}
