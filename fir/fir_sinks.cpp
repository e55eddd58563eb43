// FIR -- output sinks, the data handler and output sizing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "advchanpat.h"
#include "fir.h"
#include "kip_array.h"

namespace {

// Vectors carried by an input array: dim[2] of a 3-D array (all 64 bits, as data_send counts
// them), else 1.
template <class In> uint64_t input_vectors(const In& in)
{
    if (!kip_fir::array_dims_valid(in))
        throw FIRException("Unable to size output structure, invalid input array");
    return in.dim_size == 3 ? static_cast<uint64_t>(in.dim[2]) : 1u;
}

} // namespace

int32_t FIR::set_data_sink(kip_array_real* sink)
{
    if (config.filter_type == 3)
        throw FIRException("Hilbert filter type requires a complex data sink");
    data_sink = sink;
    data_sink_complex = nullptr;
    data_sink_mpz = nullptr;
    data_sink_mpz_complex = nullptr;
    return 0;
}

int32_t FIR::set_data_sink(kip_array_complex* sink)
{
    data_sink = nullptr;
    data_sink_complex = sink;
    data_sink_mpz = nullptr;
    data_sink_mpz_complex = nullptr;
    return 0;
}

int32_t FIR::set_data_sink(kip_array_mpz* sink)
{
    if (config.filter_type == 3)
        throw FIRException("Hilbert filter type requires a complex data sink");
    data_sink = nullptr;
    data_sink_complex = nullptr;
    data_sink_mpz = sink;
    data_sink_mpz_complex = nullptr;
    return 0;
}

int32_t FIR::set_data_sink(kip_array_mpz_complex* sink)
{
    data_sink = nullptr;
    data_sink_complex = nullptr;
    data_sink_mpz = nullptr;
    data_sink_mpz_complex = sink;
    return 0;
}

int32_t FIR::set_data_handler(kip_fir_v6_3_data_handler handler, void* arg1, void* arg2)
{
    data_handler = handler;
    data_handler_arg1 = arg1;
    data_handler_arg2 = arg2;
    return 0;
}

int32_t FIR::chan0_slots() const
{
    const int32_t m = kip_fir::pattern_rate(CurrentPattern, 0);
    if (m < 1)
        throw FIRException("Channel pattern ID is invalid for specified number of channels");
    return m;
}

// The vector count is computed in 128 bits: vectors * interp_rate cannot wrap, so a long input
// never yields a short (or, under the advanced sequence, negative) size.
template <class In, class Out> int32_t FIR::calc_size(const In& in, Out& out) const
{
    using u128 = unsigned __int128;
    const u128 vectors = input_vectors(in);
    const u128 interp = static_cast<uint32_t>(config.interp_rate);
    const u128 decim = static_cast<uint32_t>(config.decim_rate);
    u128 wide;
    if (config.chan_seq == 1) {
        const u128 m = static_cast<u128>(chan0_slots());
        wide = vectors * m * interp / decim / m;
    } else {
        wide = vectors * interp / decim;
    }
    const std::size_t frame_size = static_cast<std::size_t>(config.num_paths)
        * static_cast<std::size_t>(config.num_channels);
    if (wide > SIZE_MAX / frame_size)
        throw FIRException("Unable to size output structure, too many vectors");
    const uint64_t n = static_cast<uint64_t>(wide);

    const bool two_d = out.dim_size == 2;
    if (two_d && n > 1)
        throw FIRException("Unable to size output structure, require 3 dimensions");
    const std::size_t slots = two_d ? 2 : 3;
    if (out.dim == nullptr || out.dim_capacity < slots)
        throw FIRException("Unable to size output structure, insufficient dimension storage");

    const std::size_t frame = static_cast<std::size_t>(config.num_paths)
        * static_cast<std::size_t>(config.num_channels);
    out.dim[0] = static_cast<std::size_t>(config.num_paths);
    out.dim[1] = static_cast<std::size_t>(config.num_channels);
    if (!two_d)
        out.dim[2] = static_cast<std::size_t>(n);
    out.data_size = frame * static_cast<std::size_t>(n);
    return 0;
}

template int32_t FIR::calc_size(const kip_array_real&, kip_array_real&) const;
template int32_t FIR::calc_size(const kip_array_real&, kip_array_complex&) const;
template int32_t FIR::calc_size(const kip_array_real&, kip_array_mpz&) const;
template int32_t FIR::calc_size(const kip_array_real&, kip_array_mpz_complex&) const;

// The sink is the caller's: it is taken over for the delivery (owner cleared) and grown with
// the array functions; data_get then fills it exactly as a caller's collection would.
template <class Sink>
void FIR::fill_sink(Sink& sink, const char* name, const kip_array_real& in, int32_t n)
{
    sink.owner = 0;
    if (kip_fir::array_reserve_dim(sink, 3) != 0)
        throw FIRException(std::string("Unable to reserve dimension for ") + name);
    const std::size_t old_size = sink.data_size;
    sink.dim_size = 3;
    calc_size(in, sink);
    sink.dim[2] = static_cast<std::size_t>(n);
    const std::size_t size = sink.dim[0] * sink.dim[1] * sink.dim[2];
    if (kip_fir::array_reserve_data(sink, size) != 0) {
        sink.data_size = old_size < sink.data_capacity ? old_size : sink.data_capacity;
        throw FIRException(std::string("Unable to reserve data for ") + name);
    }
    sink.data_size = size;
    data_get(sink);
}

// At most one sink is installed. The handler is the last thing done: nothing of the model is
// read after it returns, so a handler may send packets to, or reset, the model that called it.
int32_t FIR::deliver_to_sinks(const kip_array_real& in, int32_t n)
{
    if (n < 0)
        n = 0;
    if (data_sink != nullptr) {
        fill_sink(*data_sink, "data_sink", in, n);
        if (data_handler != nullptr) {
            const kip_fir_v6_3_data_handler handler = data_handler;
            return handler(data_sink, data_handler_arg1, data_handler_arg2);
        }
    }
    if (data_sink_complex != nullptr)
        fill_sink(*data_sink_complex, "data_sink_complex", in, n);
    if (data_sink_mpz != nullptr)
        fill_sink(*data_sink_mpz, "data_sink_mpz", in, n);
    if (data_sink_mpz_complex != nullptr)
        fill_sink(*data_sink_mpz_complex, "data_sink_mpz_complex", in, n);
    return 0;
}
