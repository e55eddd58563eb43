// FIR -- output path: conversion of kernel outputs to the output format and their collection
// into the four output array families.
#include <cmath>
#include <sstream>
#include <type_traits>

#include "advchanpat.h"
#include "fir.h"

namespace {

template <class T>
constexpr bool is_complex_family
    = std::is_same_v<T, kip_array_complex> || std::is_same_v<T, kip_array_mpz_complex>;

const char kDimMessage[]
    = "Incorrect data array dimension, expecting num_paths by num_channels (by number of vectors)";

// Integer of a double by truncation. Every value reaching here is finite (inputs and
// coefficients are checked when they come in, and the formats keep the accumulator within the
// double range); the test keeps GMP from ever being handed a NaN or an infinity.
void set_truncated(mpz_ptr z, double x)
{
    if (!std::isfinite(x))
        throw FIRException("Output value is not finite");
    mpz_set_d(z, x);
}

} // namespace

// ---------------------------------------------------------------- integer rounding

void FIR::trim_into(mpz_class& result, const mpz_class& x)
{
    if (dout_rnd == RND_NONE) {
        result = x;
        return;
    }
    if (mpz_sgn(dout_div.get_mpz_t()) == 0)
        throw FIRException("Output scaling is below one output least significant bit");
    mpz_ptr q = trim_q.get_mpz_t();
    mpz_ptr r = trim_r.get_mpz_t();
    int hi = 0, lo = 0; // r against +half and against -half, exactly
    if (dout_shift > 0) {
        // D = 2^k: shifts instead of a division, and half = 2^(k-1) as an integer.
        const mp_bitcnt_t k = static_cast<mp_bitcnt_t>(dout_shift);
        mpz_tdiv_r_2exp(r, x.get_mpz_t(), k);
        mpz_tdiv_q_2exp(q, x.get_mpz_t(), k);
        const int c = mpz_sgn(r) == 0 ? 0 : mpz_cmpabs(r, dout_half.get_mpz_t());
        hi = mpz_sgn(r) > 0 ? c : -1;
        lo = mpz_sgn(r) < 0 ? -c : 1;
    } else {
        mpz_tdiv_qr(q, r, x.get_mpz_t(), dout_div.get_mpz_t());
        const double half = 0.5 * dout_scale;
        hi = mpz_cmp_d(r, half);
        lo = mpz_cmp_d(r, -half);
    }
    if (mpz_sgn(r) != 0) {
        int adjust = 0;
        switch (dout_rnd) {
        case RND_DOWN:
            adjust = mpz_sgn(r) < 0 ? -1 : 0;
            break;
        case RND_HALF_TO_ZERO:
            adjust = lo < 0 ? -1 : hi > 0 ? 1 : 0;
            break;
        case RND_POSIX:
            adjust = lo <= 0 ? -1 : hi >= 0 ? 1 : 0;
            break;
        case RND_TO_EVEN:
        case RND_TO_ODD: {
            const bool keep_parity = (dout_rnd == RND_TO_EVEN) == (mpz_even_p(q) != 0);
            if (lo < 0)
                adjust = -1;
            else if (hi > 0)
                adjust = 1;
            else if (lo == 0)
                adjust = keep_parity ? 0 : -1;
            else if (hi == 0)
                adjust = keep_parity ? 0 : 1;
            break;
        }
        case RND_HALF_DOWN:
            adjust = lo <= 0 ? -1 : hi > 0 ? 1 : 0;
            break;
        case RND_HALF_UP:
            adjust = lo < 0 ? -1 : hi >= 0 ? 1 : 0;
            break;
        default:
            break;
        }
        if (adjust < 0)
            mpz_sub_ui(q, q, 1);
        else if (adjust > 0)
            mpz_add_ui(q, q, 1);
    }
    mpz_swap(result.get_mpz_t(), q);
}

mpz_class FIR::dout_trim_mpz(const mpz_class& x)
{
    mpz_class result;
    trim_into(result, x);
    return result;
}

// ---------------------------------------------------------------- per-sample conversion

// Double mode: do_restrict((raw / dout_scale) * 2^ofw) * 2^-ofw with dout_ctx. Full-precision
// values inside the output format pass do_restrict unchanged, so they skip the call.
inline double FIR::convert_output(double raw)
{
    dout_ctx.messages.clear();
    const double v = (raw / dout_scale) * dout_ctx.scale;
    if (dout_rnd == RND_NONE && v >= dout_ctx.min_value && v <= dout_ctx.max_value)
        return (v == 0 ? 0.0 : v) * dout_ctx.unscale;
    return dout_ctx.do_restrict(v) * dout_ctx.unscale;
}

// Callers size their work so that no FIFO runs dry; the checks below keep a mistake from
// reading a slot that holds no sample.
namespace {
template <class Fifo> Fifo& nonempty(Fifo& fifo, std::size_t path, std::size_t chan)
{
    if (fifo.empty()) {
        std::ostringstream os;
        os << "No output sample waiting for path: " << path << " chan: " << chan;
        throw FIRException(os.str());
    }
    return fifo;
}
} // namespace

double FIR::pop_output_real(std::size_t path, std::size_t chan)
{
    if (use_mpz) {
        FirFifo<mpz_class>& fifo = nonempty(dout_buffer_mpz[path][chan], path, chan);
        trim_into(trim_out, fifo.front());
        fifo.pop_front();
        return mpz_get_d(trim_out.get_mpz_t()) / out_pow;
    }
    FirFifo<double>& fifo = nonempty(dout_buffer[path][chan], path, chan);
    const double raw = fifo.front();
    fifo.pop_front();
    return convert_output(raw);
}

void FIR::pop_output_mpz(mpz_ptr value, std::size_t path, std::size_t chan, bool scaled_note)
{
    if (use_mpz) {
        FirFifo<mpz_class>& fifo = nonempty(dout_buffer_mpz[path][chan], path, chan);
        trim_into(trim_out, fifo.front());
        fifo.pop_front();
        mpz_set(value, trim_out.get_mpz_t());
        return;
    }
    FirFifo<double>& fifo = nonempty(dout_buffer[path][chan], path, chan);
    const double raw = fifo.front();
    fifo.pop_front();
    const double r = convert_output(raw);
    const double scaled = r * out_pow;
    set_truncated(value, scaled);
    if (dbg_logger->active()) {
        std::ostringstream os;
        os << "Out raw: " << raw;
        dbg_logger->note(os);
        os.str("");
        os << "Out rounded: " << (scaled_note ? r : scaled);
        dbg_logger->note(os);
        if (scaled_note) {
            os.str("");
            os << "Out scaled: " << scaled;
            dbg_logger->note(os);
        }
    }
}

double FIR::pop_hilbert(std::size_t path, std::size_t chan)
{
    FirFifo<double>& line = hilbert_queue[path][chan];
    if (line.empty()) {
        std::ostringstream os;
        os << "No Hilbert input sample waiting for path: " << path << " chan: " << chan;
        throw FIRException(os.str());
    }
    const double h = line.front();
    line.pop_front();
    return h;
}

int32_t FIR::get_chan(double& value, int path, int chan)
{
    value = pop_output_real(static_cast<std::size_t>(path), static_cast<std::size_t>(chan));
    return 0;
}

int32_t FIR::get_chan(kip_complex& value, int path, int chan)
{
    const std::size_t p = static_cast<std::size_t>(path), c = static_cast<std::size_t>(chan);
    const double v = pop_output_real(p, c);
    if (config.filter_type == 3) {
        value.re = pop_hilbert(p, c);
        value.im = v;
    } else {
        value.re = v;
        value.im = 0.0;
    }
    return 0;
}

int32_t FIR::get_chan(mpz_ptr value, int path, int chan)
{
    pop_output_mpz(value, static_cast<std::size_t>(path), static_cast<std::size_t>(chan), true);
    return 0;
}

int32_t FIR::get_chan(kip_mpz_complex& value, int path, int chan)
{
    const std::size_t p = static_cast<std::size_t>(path), c = static_cast<std::size_t>(chan);
    if (config.filter_type == 3) {
        pop_output_mpz(value.im, p, c, false);
        set_truncated(value.re, pop_hilbert(p, c) * data_pow);
    } else {
        pop_output_mpz(value.re, p, c, false);
        mpz_set_ui(value.im, 0);
    }
    return 0;
}

template <class T> int32_t FIR::set_array_chan(T& out, int path, int chan, int index)
{
    const std::size_t p = static_cast<std::size_t>(path), c = static_cast<std::size_t>(chan);
    const std::size_t i = static_cast<std::size_t>(index);
    if constexpr (std::is_same_v<T, kip_array_real>) {
        double e = 0.0;
        get_chan(e, path, chan);
        return kip_fir::array_set_chan(out, e, p, c, i, CurrentPattern);
    } else if constexpr (std::is_same_v<T, kip_array_complex>) {
        kip_complex e { 0.0, 0.0 };
        get_chan(e, path, chan);
        return kip_fir::array_set_chan(out, e, p, c, i, CurrentPattern);
    } else if constexpr (std::is_same_v<T, kip_array_mpz>) {
        get_chan(elem_mpz.get(), path, chan);
        return kip_fir::array_set_chan(out, elem_mpz.get(), p, c, i, CurrentPattern);
    } else {
        get_chan(elem_mpz_complex.get(), path, chan);
        return kip_fir::array_set_chan(out, elem_mpz_complex.get(), p, c, i, CurrentPattern);
    }
}

// ---------------------------------------------------------------- collection

// A collection sized by path 0 / channel 0 can find another FIFO short after single-channel
// input stopped part way through a frame, and a Hilbert kernel that makes more outputs than
// inputs empties its delay line; both are refused before anything is removed.
void FIR::require_output(const std::vector<std::size_t>& need, bool pairs) const
{
    const std::size_t np = static_cast<std::size_t>(config.num_paths);
    const std::size_t nc = static_cast<std::size_t>(config.num_channels);
    for (std::size_t p = 0; p < np; ++p) {
        for (std::size_t ch = 0; ch < nc; ++ch) {
            const std::size_t n = need[p * nc + ch];
            if (n == 0)
                continue;
            const std::size_t have
                = use_mpz ? dout_buffer_mpz[p][ch].size() : dout_buffer[p][ch].size();
            if (have < n) {
                std::ostringstream os;
                os << "Not enough output samples waiting for path: " << p << " chan: " << ch
                   << " (need " << n << ", have " << have << "), cannot get a packet";
                throw FIRException(os.str());
            }
            if (pairs && hilbert_queue[p][ch].size() < n) {
                std::ostringstream os;
                os << "Hilbert delay line of path: " << p << " chan: " << ch
                   << " holds fewer input samples than filter outputs waiting, cannot get a "
                      "complex packet";
                throw FIRException(os.str());
            }
        }
    }
}

template <class T> int32_t FIR::data_get(T& out)
{
    const std::size_t np = static_cast<std::size_t>(config.num_paths);
    const std::size_t nc = static_cast<std::size_t>(config.num_channels);
    if (chanCountOut != 0)
        throw FIRException("Channel postion non-zero, cannot get a packet");
    if (out.dim_size != 2 && out.dim_size != 3)
        throw FIRException(kDimMessage);
    if (!kip_fir::array_dims_valid(out))
        throw FIRException("Data array dimensions are not allocated");
    if (out.dim[0] > np || out.dim[1] > nc) {
        std::ostringstream os;
        os << "Incorrect data size, expecting num_paths: " << np << " by num_channels: " << nc;
        throw FIRException(os.str());
    }
    const std::size_t requested = out.dim_size == 3 ? out.dim[2] : 1;
    const int32_t available = output_vectors_waiting();
    const std::size_t act_vectors = requested < static_cast<std::size_t>(available)
        ? requested
        : static_cast<std::size_t>(available);

    if (act_vectors > 0) {
        std::vector<std::size_t>& need = need_scratch;
        need.assign(np * nc, 0);
        for (std::size_t c = 0; c < nc; ++c) {
            const std::size_t ch = position_channel(c);
            for (std::size_t p = 0; p < np; ++p)
                need[p * nc + ch] += act_vectors;
        }
        require_output(need, is_complex_family<T> && config.filter_type == 3);
    }

    // Basic addressing into an array of the model's shape with room for every vector: each
    // store succeeds. Otherwise every store is tried first, so that a refused collection
    // removes nothing and leaves the array (data_size within data_capacity) as it was.
    const std::size_t frame = np * nc;
    const bool in_place = config.chan_seq != 1 && out.data != nullptr && out.dim[0] == np
        && out.dim[1] == nc && act_vectors <= out.data_capacity / frame;
    if (act_vectors > 0 && !in_place) {
        std::vector<uint32_t>& count = vector_count_scratch;
        count.assign(np * nc, 0);
        for (std::size_t v = 0; v < act_vectors; ++v) {
            for (std::size_t p = 0; p < np; ++p) {
                for (std::size_t c = 0; c < nc; ++c) {
                    const std::size_t ch = position_channel(c);
                    uint32_t& k = count[p * nc + ch];
                    if (kip_fir::array_can_set(out, p, ch, k, CurrentPattern) != 0) {
                        std::ostringstream os;
                        os << "Unabled to set data for path: " << p << " chan: " << ch
                           << " vector: " << k;
                        throw FIRException(os.str());
                    }
                    ++k;
                }
            }
        }
    }

    if (requested > act_vectors) {
        logger->warn("Getting more vectors than available, reseting array size");
        if (out.dim_size == 3)
            out.dim[2] = act_vectors;
        out.data_size = act_vectors * out.dim[0] * out.dim[1];
    }
    const bool trace = dbg_logger->active();
    if (trace) {
        std::ostringstream os;
        os << "act_vectors: " << act_vectors;
        dbg_logger->note(os);
    }
    if (act_vectors == 0)
        return 0;

    // In place: the samples are written directly (same order) and the array's size is raised
    // once, as the accessor would raise it.
    if (!trace && in_place) {
        for (std::size_t v = 0; v < act_vectors; ++v)
            for (std::size_t p = 0; p < np; ++p)
                for (std::size_t c = 0; c < nc; ++c)
                    get_chan(out.data[kip_fir::array_position(np, nc, p, c, v)],
                        static_cast<int>(p), static_cast<int>(c));
        std::size_t used = frame;
        if (out.dim_size == 3 && __builtin_mul_overflow(frame, out.dim[2], &used))
            used = out.data_capacity;
        if (used > out.data_capacity)
            used = out.data_capacity;
        if (used > out.data_size)
            out.data_size = used;
        return 0;
    }

    std::vector<uint32_t>& count = vector_count_scratch;
    count.assign(np * nc, 0);
    for (std::size_t v = 0; v < act_vectors; ++v) {
        for (std::size_t p = 0; p < np; ++p) {
            for (std::size_t c = 0; c < nc; ++c) {
                const std::size_t ch = position_channel(c);
                uint32_t& k = count[p * nc + ch];
                if (trace) {
                    std::ostringstream os;
                    os << "Pulling path: " << p << " channel: " << ch << "i: " << k;
                    dbg_logger->note(os);
                }
                if (set_array_chan(
                        out, static_cast<int>(p), static_cast<int>(ch), static_cast<int>(k))
                    != 0) {
                    std::ostringstream os;
                    os << "Unabled to set data for path: " << p << " chan: " << ch
                       << " vector: " << k;
                    throw FIRException(os.str());
                }
                ++k;
            }
        }
    }
    return 0;
}

template <class T> int32_t FIR::data_get_chan(T& out)
{
    const std::size_t np = static_cast<std::size_t>(config.num_paths);
    check_path_array(out);
    if (kip_fir::array_writable(out) < np)
        throw FIRException("Data array has fewer than num_paths elements reserved");

    // The pattern entry is looked at first and removed once the call goes ahead (also when
    // the channel has nothing waiting), so that a refused call leaves the queue as it was.
    std::size_t ch = static_cast<std::size_t>(chanCountOut);
    bool take_pattern = false;
    if (config.chan_seq == 1) {
        if (pattern_queue.empty()) {
            dbg_logger->error(
                "No channel pattern in queue, will use the channel sequence number!!!!");
        } else {
            const int32_t c = kip_fir::pattern_channel(pattern_queue.front(), ch);
            if (c < 0 || c >= config.num_channels) {
                std::ostringstream os;
                os << "Channel pattern " << pattern_queue.front() << " has no channel at position "
                   << ch;
                throw FIRException(os.str());
            }
            ch = static_cast<std::size_t>(c);
            take_pattern = true;
        }
    }
    const bool trace = dbg_logger->active();
    if (trace) {
        std::ostringstream os;
        os << "Pull channel: " << ch;
        dbg_logger->note(os);
    }
    const std::size_t waiting = use_mpz ? dout_buffer_mpz[0][ch].size() : dout_buffer[0][ch].size();
    if (waiting == 0) {
        if (take_pattern)
            pattern_queue.pop_front();
        out.data_size = 0;
        return 0;
    }
    std::vector<std::size_t>& need = need_scratch;
    need.assign(np * static_cast<std::size_t>(config.num_channels), 0);
    for (std::size_t p = 0; p < np; ++p)
        need[p * static_cast<std::size_t>(config.num_channels) + ch] = 1;
    require_output(need, is_complex_family<T> && config.filter_type == 3);
    if (take_pattern)
        pattern_queue.pop_front();

    out.data_size = np;
    for (std::size_t p = 0; p < np; ++p)
        get_chan(out.data[p], static_cast<int>(p), static_cast<int>(ch));
    if (++chanCountOut == config.num_channels)
        chanCountOut = 0;
    if (trace) {
        std::ostringstream os;
        os << "chanCountOut: " << chanCountOut;
        dbg_logger->note(os);
    }
    return 0;
}

#define KIP_FIR_OUTPUT_FAMILY(T)                                                                   \
    template int32_t FIR::data_get<T>(T&);                                                         \
    template int32_t FIR::data_get_chan<T>(T&);                                                    \
    template int32_t FIR::set_array_chan<T>(T&, int, int, int);
KIP_FIR_OUTPUT_FAMILY(kip_array_real)
KIP_FIR_OUTPUT_FAMILY(kip_array_complex)
KIP_FIR_OUTPUT_FAMILY(kip_array_mpz)
KIP_FIR_OUTPUT_FAMILY(kip_array_mpz_complex)
#undef KIP_FIR_OUTPUT_FAMILY
