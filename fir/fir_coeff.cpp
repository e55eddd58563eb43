// FIR -- coefficient quantisation and coefficient reload packets.
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>

#include "fir.h"

double FIR::quantise_coeff(double c, double offset)
{
    const double x = c * coeff_scale + (c < 0 ? -offset : offset);
    coeff_ctx.messages.clear();
    return coeff_ctx.do_restrict(x * coeff_ctx.scale) * coeff_ctx.unscale;
}

void FIR::refuse_coeff(double c, const std::string& where, std::size_t index)
{
    std::ostringstream os;
    os << "Coefficient value " << c << " " << where << ", index " << index
       << " cannot be quantised to the coefficient format";
    throw FIRException(os.str());
}

// Each coefficient is scaled, offset by just under half a code towards its own sign and then
// truncated towards zero by coeff_ctx: round to nearest with halves going towards zero.
std::vector<std::vector<double>> FIR::process_coeff(const double* values, unsigned int sets)
{
    const size_t taps = static_cast<size_t>(config.num_coeffs);
    const size_t zpf = static_cast<size_t>(config.zero_pack_factor);
    const size_t padding = static_cast<size_t>(config.coeff_padding) * zpf;
    const bool packed = config.filter_type == 4 && zpf != 1;
    const double offset = 0.49999999999 / std::pow(2.0, coeff_ctx.frac);
    const bool trace = dbg_logger->active();

    std::vector<std::vector<double>> out(sets);
    std::ostringstream os; // one stream for every note: building a stream costs more than a note
    size_t k = 0;
    for (unsigned int s = 0; s < sets; ++s) {
        std::vector<double>& set = out[s];
        set.reserve(padding + taps * (packed ? zpf : 1));
        set.assign(padding, 0.0);
        for (size_t i = 0; i < taps; ++i) {
            const double c = values[k++];
            const double q = quantise_coeff(c, offset);
            if (!std::isfinite(q))
                refuse_coeff(c, "of set " + std::to_string(s), i);
            set.push_back(q);
            if (trace) {
                os.str("");
                os << " Coeff[" << i << "] : " << q;
                dbg_logger->note(os);
            }
            if (packed)
                set.insert(set.end(), zpf - 1, 0.0);
        }
    }
    return out;
}

int32_t FIR::reload_send(const kip_fir_v6_3_rld_packet& packet)
{
    if (config.reloadable == 0) {
        logger->warn("Ignoring reload packet as not required for model configuration");
        return 0;
    }
    const uint32_t fsel = static_cast<uint32_t>(packet.fsel);
    const uint32_t sets = static_cast<uint32_t>(config.coeff_sets);
    if (sets > 1 && fsel > sets - 1) {
        std::ostringstream os;
        os << "Invalid reload fsel, " << fsel << ", ignoring packet";
        logger->warn(os);
        return 1;
    }
    // Nothing is read through a missing array or missing dimensions.
    const kip_array_real* coeff = packet.coeff;
    if (coeff == nullptr) {
        logger->warn("Reload packet has no coeff array, ignoring packet");
        return 1;
    }
    if (coeff->dim_size == 0 || !kip_fir::array_dims_valid(*coeff)) {
        logger->warn("Reload coeff array has no dimensions, ignoring packet");
        return 1;
    }
    if (coeff->dim_size > 1)
        throw FIRException("Expecting 1-D array for coeff");

    const size_t taps = static_cast<size_t>(config.num_coeffs);
    const size_t n = coeff->dim[0];
    if (n < taps) {
        std::ostringstream os;
        os << "Insufficient coeff values specified, expecting" << taps;
        throw FIRException(os.str());
    }
    if (kip_fir::array_readable(*coeff) < taps)
        throw FIRException("Coeff array holds fewer values than its dimension states");
    for (size_t i = 0; i < taps; ++i)
        if (!std::isfinite(coeff->data[i]))
            throw FIRException("Coefficient values must be finite");
    // Refused now rather than when applied: a set without codes would leave the model without
    // usable coefficients (and set 0 could never be selected again by a reset).
    const double offset = 0.49999999999 / std::pow(2.0, coeff_ctx.frac);
    for (size_t i = 0; i < taps; ++i)
        if (!std::isfinite(quantise_coeff(coeff->data[i], offset)))
            refuse_coeff(coeff->data[i],
                "of reload packet for set " + std::to_string(sets > 1 ? fsel : 0), i);
    if (n > taps) {
        std::ostringstream os;
        os << "More coeff values specified than required, will use first " << taps;
        logger->warn(os);
    }

    kip_fir::OwnedArray<kip_array_real> copy = kip_fir::make_owned_array<kip_array_real>();
    if (kip_fir::array_reserve_dim(*copy, 1) != 0)
        throw FIRException("Unable to reserve dimension for coeff");
    copy->dim_size = 1;
    copy->dim[0] = taps;
    copy->data_size = taps;
    if (kip_fir::array_reserve_data(*copy, taps) != 0)
        throw FIRException("Unable to reserve data for coeff");
    std::memcpy(copy->data, coeff->data, taps * sizeof(double));

    rld_queue.push_back(FirReload { sets > 1 ? packet.fsel : 0, std::move(copy) });
    return 0;
}

void FIR::apply_reloads()
{
    while (!rld_queue.empty()) {
        FirReload& r = rld_queue.front();
        std::vector<std::vector<double>> set = process_coeff(r.coeff->data, 1);
        coeff_table[static_cast<size_t>(r.fsel)] = std::move(set[0]);
        rld_queue.pop_front();
    }
}
