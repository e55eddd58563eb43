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

int32_t FIR::config_send(const kip_fir_v6_3_cnfg_packet& packet) {
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
        if (fsel->dim_size > 1) throw FIRException("Expecting 1-D array for fsel");
        if (fsel->dim_size == 1 && kip_fir::array_dims_valid(*fsel)) n = fsel->dim[0];
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
        if (n > 1 && !by_channel) logger->warn("Will only use the first fsel values specificed");
    }

    FirUintArrayPtr copy(kip_array_uint_create());
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

    cnfg_queue.push_back(FirCnfgEntry{p, std::move(copy)});
    return 0;
}
