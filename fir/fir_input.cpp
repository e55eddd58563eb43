// FIR -- input path: whole frames and single channel positions into the kernel bank.
#include <cmath>
#include <sstream>

#include "advchanpat.h"
#include "fir.h"

namespace {

// Leaves chanCountIn at 0 however data_send ends, so that a failure part way through a frame
// does not block every later frame.
struct FrameInputScope {
    int32_t& count;
    ~FrameInputScope() { count = 0; }
};

// Integer of a double, truncated toward zero (as mpz_set_d); input codes fit 64 bits and take
// the short way. Samples are checked on entry, so a code is always finite; the test keeps GMP
// from ever being handed a NaN or an infinity.
inline void set_code(mpz_class& z, double code)
{
    if (code > -9.2e18 && code < 9.2e18)
        mpz_set_si(z.get_mpz_t(), static_cast<long>(code));
    else if (std::isfinite(code))
        mpz_set_d(z.get_mpz_t(), code);
    else
        throw FIRException("Input code is not finite");
}

// A sample has a code when it is finite and stays finite once scaled by 2^data_fract_width.
inline bool has_code(double sample, double scale) { return std::isfinite(sample * scale); }

[[noreturn]] void refuse_sample(
    double sample, std::size_t path, std::size_t chan, const std::size_t* vector)
{
    std::ostringstream os;
    os << "Data value " << sample << " at path: " << path << " chan: " << chan;
    if (vector)
        os << " vector: " << *vector;
    os << " cannot be quantised to the data format";
    throw FIRException(os.str());
}

} // namespace

std::size_t FIR::position_channel(std::size_t pos) const
{
    if (config.chan_seq != 1)
        return pos;
    const int32_t ch = kip_fir::pattern_channel(CurrentPattern, pos);
    if (ch < 0 || ch >= config.num_channels) {
        std::ostringstream os;
        os << "Channel pattern " << CurrentPattern << " has no channel at position " << pos;
        throw FIRException(os.str());
    }
    return static_cast<std::size_t>(ch);
}

int32_t FIR::output_vectors_waiting() const
{
    const std::size_t waiting = use_mpz ? dout_buffer_mpz[0][0].size() : dout_buffer[0][0].size();
    int32_t n = static_cast<int32_t>(waiting);
    if (config.chan_seq == 1) {
        const int32_t slots = kip_fir::pattern_rate(CurrentPattern, 0);
        if (slots < 1)
            throw FIRException("Channel pattern has no slot for channel 0");
        n = n / slots;
    }
    return n;
}

// Input quantisation: do_restrict(x * 2^f) * 2^-f with data_ctx (floor, wrap, no records).
// Codes already inside the data format only need the floor, done inline; everything else
// (wrap-around, infinities, NaN) goes through the context.
inline double FIR::quantise_input(double sample)
{
    data_ctx.messages.clear();
    const double v = sample * data_ctx.scale;
    if (v >= data_ctx.min_value && v < data_ctx.max_value + 1.0) {
        // |v| <= 2^48: the conversion truncates exactly; step down for negative fractions.
        double r = static_cast<double>(static_cast<int64_t>(v));
        if (r > v)
            r -= 1.0;
        return (r == 0 ? 0.0 : r) * data_ctx.unscale;
    }
    return data_ctx.do_restrict(v) * data_ctx.unscale;
}

// The integer mode runs the kernel on the code, q * 2^f truncated.
inline void FIR::feed(std::size_t path, std::size_t chan, double sample)
{
    const double q = quantise_input(sample);
    if (config.filter_type == 3)
        hilbert_queue[path][chan].push_back(q);
    if (use_mpz) {
        set_code(in_mpz, q * data_pow);
        filters_mpz[path][chan].run(in_mpz, dout_buffer_mpz[path][chan]);
    } else {
        filters[path][chan].run(q, dout_buffer[path][chan]);
    }
}

// With no configuration packet waiting, every configuration point inside the frame leaves the
// model as it is, so the order in which kernels take their samples does not matter: each kernel
// takes its samples of a chunk of vectors as one block. Kernel [0][0] takes the last sample of
// each chunk on its own, so that its configuration-point flag ends as sample-by-sample feeding
// leaves it (set only when that last sample completed an output).
void FIR::feed_frame_blocks(const kip_array_real& in, std::size_t vectors)
{
    constexpr std::size_t kChunk = 512; // vectors per block
    const std::size_t np = static_cast<std::size_t>(config.num_paths);
    const std::size_t nc = static_cast<std::size_t>(config.num_channels);
    const bool hilbert = config.filter_type == 3;
    const double* data = in.data;

    // Slots of each channel within a vector, in increasing order (the pattern cannot change).
    std::vector<std::size_t>& slot_of = need_scratch; // reused: slots grouped by channel
    std::vector<uint32_t>& first = vector_count_scratch; // first[ch] .. first[ch + 1]
    slot_of.assign(nc, 0);
    first.assign(nc + 1, 0);
    for (std::size_t c = 0; c < nc; ++c)
        ++first[position_channel(c) + 1];
    for (std::size_t ch = 0; ch < nc; ++ch)
        first[ch + 1] += first[ch];
    {
        uint32_t at[kFirMaxChannels];
        for (std::size_t ch = 0; ch < nc; ++ch)
            at[ch] = first[ch];
        for (std::size_t c = 0; c < nc; ++c)
            slot_of[at[position_channel(c)]++] = c;
    }

    for (std::size_t v0 = 0; v0 < vectors; v0 += kChunk) {
        const std::size_t v1 = v0 + kChunk < vectors ? v0 + kChunk : vectors;
        for (std::size_t p = 0; p < np; ++p) {
            for (std::size_t ch = 0; ch < nc; ++ch) {
                const std::size_t s0 = first[ch], s1 = first[ch + 1];
                if (s0 == s1)
                    continue;
                const std::size_t n = (v1 - v0) * (s1 - s0);
                if (block_in.size() < n)
                    block_in.resize(n);
                std::size_t k = 0;
                for (std::size_t v = v0; v < v1; ++v)
                    for (std::size_t s = s0; s < s1; ++s)
                        block_in[k++] = quantise_input(
                            data[kip_fir::array_position(np, nc, p, slot_of[s], v)]);
                if (hilbert)
                    for (std::size_t i = 0; i < n; ++i)
                        hilbert_queue[p][ch].push_back(block_in[i]);
                const std::size_t head = (p == 0 && ch == 0) ? n - 1 : n;
                if (use_mpz) {
                    if (block_in_mpz.size() < n)
                        block_in_mpz.resize(n);
                    for (std::size_t i = 0; i < n; ++i)
                        set_code(block_in_mpz[i], block_in[i] * data_pow);
                    FirFilter<mpz_class, double>& kernel = filters_mpz[p][ch];
                    kernel.run(block_in_mpz.data(), head, dout_buffer_mpz[p][ch]);
                    if (head < n)
                        kernel.run(block_in_mpz[head], dout_buffer_mpz[p][ch]);
                } else {
                    FirFilter<double, double>& kernel = filters[p][ch];
                    kernel.run(block_in.data(), head, dout_buffer[p][ch]);
                    if (head < n)
                        kernel.run(block_in[head], dout_buffer[p][ch]);
                }
            }
        }
    }
}

int32_t FIR::data_send(const kip_array_real& in)
{
    const std::size_t np = static_cast<std::size_t>(config.num_paths);
    const std::size_t nc = static_cast<std::size_t>(config.num_channels);
    if (chanCountIn != 0)
        throw FIRException("Channel postion non-zero, cannot send a packet");
    if (in.dim_size != 2 && in.dim_size != 3)
        throw FIRException(
            "Incorrect data array dimension, expecting num_paths by num_channels (by number of "
            "vectors)");
    if (!kip_fir::array_dims_valid(in))
        throw FIRException("Data array dimensions are not allocated");
    if (in.dim[0] != np || in.dim[1] != nc) {
        std::ostringstream os;
        os << "Incorrect data size, expecting num_paths: " << np << " by num_channels: " << nc;
        throw FIRException(os.str());
    }
    const std::size_t vectors = in.dim_size == 3 ? in.dim[2] : 1;
    std::size_t samples = 0;
    if (__builtin_mul_overflow(np * nc, vectors, &samples) || kip_fir::array_readable(in) < samples)
        throw FIRException("Data array holds fewer samples than its dimensions imply");
    // Every sample of the frame is checked before any is fed, so a refused frame changes
    // nothing. Pattern addressing reads within the same elements.
    const double scale = data_ctx.scale;
    for (std::size_t i = 0; i < samples; ++i) {
        if (!has_code(in.data[i], scale)) {
            const std::size_t v = i / (np * nc);
            refuse_sample(in.data[i], i % np, (i / np) % nc, &v);
        }
    }

    FrameInputScope scope { chanCountIn };
    if (!feed_by_sample && !config_pending()) {
        feed_frame_blocks(in, vectors);
    } else if (config.chan_seq != 1) {
        // Basic addressing: element (p, c, v) at data[p + c * np + v * np * nc], all present.
        const double* data = in.data;
        for (std::size_t v = 0; v < vectors; ++v) {
            for (std::size_t p = 0; p < np; ++p) {
                for (std::size_t c = 0; c < nc; ++c) {
                    chanCountIn = static_cast<int32_t>(c);
                    feed(p, c, data[kip_fir::array_position(np, nc, p, c, v)]);
                }
            }
        }
    } else {
        // Pattern addressing: each channel's samples in its slot order. The pattern may change
        // at a configuration point inside the frame; it is read again at every position.
        std::vector<uint32_t>& count = vector_count_scratch;
        count.assign(np * nc, 0);
        for (std::size_t v = 0; v < vectors; ++v) {
            for (std::size_t p = 0; p < np; ++p) {
                for (std::size_t c = 0; c < nc; ++c) {
                    chanCountIn = static_cast<int32_t>(c);
                    const std::size_t ch = position_channel(c);
                    uint32_t& k = count[p * nc + ch];
                    double sample = 0.0;
                    if (kip_fir::array_get_chan(in, sample, p, ch, k, CurrentPattern) != 0) {
                        std::ostringstream os;
                        os << "Unable to read data for path: " << p << " chan: " << ch
                           << " vector: " << k;
                        throw FIRException(os.str());
                    }
                    // A pattern changed inside the frame can reach past the checked elements.
                    if (!has_code(sample, scale)) {
                        const std::size_t vk = k;
                        refuse_sample(sample, p, ch, &vk);
                    }
                    feed(p, ch, sample);
                    ++k;
                }
            }
        }
    }
    chanCountIn = 0;
    const int32_t n = output_vectors_waiting();
    return deliver_to_sinks(in, n);
}

int32_t FIR::data_send_chan(const kip_array_real& in)
{
    const std::size_t np = static_cast<std::size_t>(config.num_paths);
    check_path_array(in);
    if (kip_fir::array_readable(in) < np)
        throw FIRException("Data array holds fewer than num_paths samples");
    for (std::size_t p = 0; p < np; ++p)
        if (!has_code(in.data[p], data_ctx.scale))
            refuse_sample(in.data[p], p, static_cast<std::size_t>(chanCountIn), nullptr);

    const bool trace = dbg_logger->active();
    const bool advanced = config.chan_seq == 1;
    std::size_t ch = static_cast<std::size_t>(chanCountIn);
    std::size_t start = 0;
    auto waiting = [&](std::size_t chan) {
        return use_mpz ? dout_buffer_mpz[0][chan].size() : dout_buffer[0][chan].size();
    };
    if (advanced) {
        ch = position_channel(ch);
        start = waiting(ch);
        if (trace) {
            std::ostringstream os;
            os << "Starting buffer size: " << start;
            dbg_logger->note(os);
        }
    }
    if (trace) {
        std::ostringstream os;
        os << "Push channel: " << ch;
        dbg_logger->note(os);
    }
    for (std::size_t p = 0; p < np; ++p)
        feed(p, ch, in.data[p]);
    if (advanced) {
        const std::size_t end = waiting(ch);
        if (trace) {
            std::ostringstream os;
            os << "End buffer size: " << end;
            dbg_logger->note(os);
        }
        for (std::size_t i = start; i < end; ++i) {
            if (trace) {
                std::ostringstream os;
                os << "Stored channel pattern: " << CurrentPattern;
                dbg_logger->note(os);
            }
            pattern_queue.push_back(CurrentPattern);
        }
    }
    if (++chanCountIn == config.num_channels)
        chanCountIn = 0;
    return 0;
}
