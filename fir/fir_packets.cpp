// FIR -- configuration packets, coefficient-set selection at configuration points, and the
// model reset.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "advchanpat.h"
#include "fir.h"
#include "kip_array.h"

int32_t FIR::config_send(const kip_fir_v6_3_cnfg_packet& packet)
{
    kip_fir_v6_3_pattern p = packet.chanpat;
    const uint32_t sets = static_cast<uint32_t>(config.coeff_sets);
    const uint32_t chans = static_cast<uint32_t>(config.num_channels);
    const bool by_channel = config.config_method == 1;

    if (config.chan_seq == 0 && sets == 1 && config.reloadable == 0) {
        logger->warn("Ignoring config packet as not required for model configuration");
        return 0;
    }

    // Nothing is read through a missing array.
    const kip_array_uint* fsel = packet.fsel;
    if (fsel == nullptr) {
        logger->warn("Config packet has no fsel array, ignoring packet");
        return 1;
    }

    if (config.chan_seq == 1 && !kip_fir::pattern_allowed(chans, p)) {
        logger->warn(
            "Channel pattern ID is invalid for specified number of channels, using default value");
        p = kip_fir::pattern_first(chans);
    }

    // A record with no usable dimension entries counts as holding no selectors.
    std::size_t n = 0;
    if (sets > 1) {
        if (fsel->dim_size > 1)
            throw FIRException("Expecting 1-D array for fsel");
        if (fsel->dim_size == 1 && kip_fir::array_dims_valid(*fsel))
            n = fsel->dim[0];
        if (n < chans && by_channel) {
            std::ostringstream os;
            os << "Insufficient fsel values specified, expecting" << chans;
            throw FIRException(os.str());
        }
    }

    // The selectors read below must lie within the caller's storage, whatever dim claims.
    const std::size_t count = by_channel ? chans : 1;
    if (kip_fir::array_readable(*fsel) < count) {
        std::ostringstream os;
        os << "fsel array holds fewer values than required: " << count;
        throw FIRException(os.str());
    }

    if (sets > 1) {
        if (n > chans && by_channel) {
            std::ostringstream os;
            os << "More fsel values specified than required, will use first " << chans;
            logger->warn(os);
        }
        if (n > 1 && !by_channel)
            logger->warn("Will only use the first fsel values specificed");
    }

    kip_fir::OwnedArray<kip_array_uint> copy(kip_array_uint_create());
    if (!copy || kip_fir::array_reserve_dim(*copy, 1) != 0)
        throw FIRException("Unable to reserve dimension for fsel");
    copy->dim_size = 1;
    copy->dim[0] = count;
    copy->data_size = count;
    if (kip_fir::array_reserve_data(*copy, count) != 0)
        throw FIRException("Unable to reserve data for fsel");

    const uint32_t last = sets - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t v = fsel->data[i];
        if (v <= last) {
            copy->data[i] = v;
        } else {
            std::ostringstream os;
            os << "fsel[" << i << "] : " << v
               << " is greater than maximum number of coeff_sets: " << last
               << ". Reseting to: " << last;
            logger->warn(os);
            copy->data[i] = last;
        }
    }

    cnfg_queue.push_back(FirCnfgEntry { p, std::move(copy) });
    return 0;
}

uint32_t FIR::queued_selector(const FirCnfgEntry& entry, std::size_t chan) const
{
    if (config.coeff_sets <= 1)
        return 0;
    return entry.fsel->data[config.config_method == 1 ? chan : 0];
}

namespace {

template <class Bank, class Op> void for_each_kernel(Bank& bank, Op op)
{
    for (std::size_t p = 0; p < bank.size(); ++p)
        for (std::size_t c = 0; c < bank[p].size(); ++c)
            op(bank[p][c], c);
}

} // namespace

bool FIR::config_pending() const { return !cnfg_queue.empty(); }

// Runs inside kernel [0][0]'s run(), before it reads its input: the kernels may be given new
// coefficients and reset here. Their history and phase survive a coefficient change.
int32_t FIR::cnfg_sync()
{
    if (cnfg_queue.empty())
        return 0;
    dbg_logger->note("Starting Sync...");
    apply_reloads();

    const FirCnfgEntry entry = std::move(cnfg_queue.front());
    cnfg_queue.pop_front();
    if (config.coeff_sets > 1)
        dbg_logger->note("Reading fsel values...\n");
    auto select = [&](auto& kernel, std::size_t chan) {
        kernel.setCoefficients(coeff_table[queued_selector(entry, chan)]);
    };
    if (use_mpz)
        for_each_kernel(filters_mpz, select);
    else
        for_each_kernel(filters, select);

    if (config.chan_seq == 1 && CurrentPattern != entry.chanpat) {
        if (dbg_logger->active()) {
            std::ostringstream os;
            os << "Updating CurrentPattern: " << CurrentPattern
               << " cnfg.chanpat: " << entry.chanpat;
            dbg_logger->note(os);
        }
        CurrentPattern = entry.chanpat;
        auto restart = [](auto& kernel, std::size_t) { kernel.reset(); };
        if (use_mpz)
            for_each_kernel(filters_mpz, restart);
        else
            for_each_kernel(filters, restart);
    }
    return 0;
}

int32_t FIR::reset()
{
    auto restart = [&](auto& kernel, std::size_t) {
        kernel.setCoefficients(coeff_table[0]);
        kernel.reset();
    };
    if (use_mpz)
        for_each_kernel(filters_mpz, restart);
    else
        for_each_kernel(filters, restart);
    for (auto& path : dout_buffer)
        for (auto& fifo : path)
            fifo.clear();
    for (auto& path : dout_buffer_mpz)
        for (auto& fifo : path)
            fifo.clear();
    init_hilbert_lines();

    cnfg_queue.clear(); // releases the selector copies
    chanCountIn = 0;
    chanCountOut = 0;
    CurrentPattern = config.chan_seq == 1 ? config.init_pattern : KIP_FIR_V6_3_PATTERN_NONE;
    pattern_queue.clear();
    return 0;
}
