// FIR -- the model object behind a kip_fir_v6_3 handle: validated configuration, widths,
// arithmetic mode, quantisation contexts, coefficient table, kernel bank and queues.
#ifndef KIP_FIR_FIR_H
#define KIP_FIR_FIR_H

#include <gmpxx.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ffp.h"
#include "fir_exceptions.h"
#include "fir_fields.h"
#include "fir_fifo.h"
#include "fir_filter.h"
#include "fir_owned_array.h"
#include "kip_array.h"
#include "klogger.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

// Configuration limits, shared by validation and by code that sizes tables from them; the
// field descriptions (fir_fields.h) are their one source.
constexpr uint32_t kFirMaxRate = kip_fir::field_max(kip_fir::F_INTERP_RATE);
constexpr uint32_t kFirMaxZeroPack = kip_fir::field_max(kip_fir::F_ZERO_PACK_FACTOR);
constexpr uint32_t kFirMaxWidth = kip_fir::field_max(kip_fir::F_DATA_WIDTH); // data, coefficients
constexpr uint32_t kFirMaxChannels = kip_fir::field_max(kip_fir::F_NUM_CHANNELS);
constexpr uint32_t kFirMaxPaths = kip_fir::field_max(kip_fir::F_NUM_PATHS);
constexpr int32_t kFirMaxFractMagnitude = kip_fir::kFieldMaxFract; // 2^f finite and non-zero
constexpr int32_t kFirDoubleMaxAccWidth = 52; // wider accumulators run on GMP integers
constexpr uint64_t kFirMaxSetTaps = kip_fir::kFieldMaxSetTaps; // one padded coefficient set
constexpr uint64_t kFirMaxTableTaps = kip_fir::kFieldMaxTableTaps; // all sets and kernels
static_assert(kip_fir::field_max(kip_fir::F_DECIM_RATE) == kFirMaxRate, "one rate limit");
static_assert(kip_fir::field_max(kip_fir::F_COEFF_WIDTH) == kFirMaxWidth, "one width limit");

// A queued coefficient reload: the set it replaces and the queue's private copy of the values
// (one dimension of num_coeffs elements), released with the entry.
struct FirReload {
    int32_t fsel;
    kip_fir::OwnedArray<kip_array_real> coeff;
};

// A queued configuration packet: the normalised pattern and the queue's own copy of the
// selectors (one dimension, one valid set number per element: num_channels of them with the
// by-channel method, else one). The copy is released with the entry.
struct FirCnfgEntry {
    kip_fir_v6_3_pattern chanpat;
    kip_fir::OwnedArray<kip_array_uint> fsel;
};

// Data members are public so that the exported layer and the tests can read them; only FIR
// methods change them. The two loggers are not owned.
class FIR {
public:
    // Validates *cfg, completes a private copy and builds the model; throws FIRException for
    // a refused configuration, FFPException or FirFilterException from the contexts and
    // kernels. The record is read during the call only; the loggers must be non-null and
    // outlive the model.
    FIR(const kip_fir_v6_3_config* cfg, KLogger* logger, KLogger* dbg_logger);
    virtual ~FIR();
    FIR(const FIR&) = delete;
    FIR& operator=(const FIR&) = delete;

    // Copies the completed configuration; name points to instance_name, coeff is null.
    int32_t get_config(kip_fir_v6_3_config& out) const;

    // ---- coefficients and reloads (fir_coeff.cpp)
    // Pads, scales, rounds and quantises `sets` sets of num_coeffs values read from `values`.
    std::vector<std::vector<double>> process_coeff(const double* values, unsigned int sets);
    // Checks a reload packet and queues a private copy of its coefficients: 0 queued or not
    // needed, 1 ignored (selector out of range; null coeff, coeff without dimensions).
    // Throws FIRException for a malformed array.
    int32_t reload_send(const kip_fir_v6_3_rld_packet& packet);
    // Replaces coeff_table[fsel] by every queued reload, front to back, emptying rld_queue.
    // Called at configuration points; kernels see the new sets only when selected again.
    void apply_reloads();
    // One coefficient scaled by coeff_scale, offset by just under half a code towards its sign
    // and quantised by coeff_ctx; not finite when it has no code in the coefficient format.
    double quantise_coeff(double c, double offset);
    [[noreturn]] static void refuse_coeff(double c, const std::string& where, std::size_t index);

    // ---- configuration point (change-configuration handler of kernel [0][0])
    static int call_cnfg_sync(void* model);
    // When a configuration packet is queued: applies every queued reload, then exactly one
    // configuration packet (coefficient sets of every kernel, pattern change with kernel
    // reset). Returns 0. Runs inside kernel [0][0]'s run(), before it consumes its input.
    int32_t cnfg_sync();
    // True while a configuration point could change the model (configuration packets
    // waiting); false lets data_send feed each kernel its samples as one block.
    bool config_pending() const;

    // ---- input path (fir_input.cpp)
    // Whole frames: dim (num_paths, num_channels[, vectors]). Returns 0, or the data handler's
    // result when sink delivery calls it. Besides the stated checks, refuses (FIRException,
    // nothing fed) dimension storage short of dim_size and an array whose data_size or
    // data_capacity holds fewer samples than its dimensions imply. A failure part way through
    // a frame leaves chanCountIn at 0, so that later frames are accepted. With the advanced
    // sequence, a pattern changed inside the frame can address a sample the array does not
    // hold: refused with "Unable to read data for path: ..." rather than fed a stale value.
    int32_t data_send(const kip_array_real& in);
    // One channel position for every path: dim (num_paths); refuses (nothing fed) an array
    // whose data_size or data_capacity is below num_paths.
    int32_t data_send_chan(const kip_array_real& in);

    // ---- output path (fir_output.cpp); T is kip_array_real, _complex, _mpz or _mpz_complex.
    // Whole vectors, as many as out asks for and path 0 / channel 0 holds. Refuses
    // (FIRException, before the size warning, nothing removed) when another FIFO the frame
    // needs holds too few samples (single-channel input stopped part way through a frame), or
    // when a complex collection of a Hilbert model would find a delay line shorter than its
    // FIFO (kernel rates making more outputs than inputs).
    template <class T> int32_t data_get(T& out);
    // One channel position for every path: dim (num_paths) and data_capacity >= num_paths,
    // else refused with nothing taken. When the addressed channel has samples on path 0 but
    // another path (or Hilbert delay line) of it has none, refused too, the pattern entry
    // left in pattern_queue.
    template <class T> int32_t data_get_chan(T& out);
    // Removes one sample of (path, chan) and converts it to the output format. The FIFO (and
    // for the complex forms of a Hilbert model the delay line) must not be empty: an empty
    // one throws FIRException rather than being read.
    int32_t get_chan(double& value, int path, int chan);
    int32_t get_chan(kip_complex& value, int path, int chan);
    int32_t get_chan(mpz_ptr value, int path, int chan);
    int32_t get_chan(kip_mpz_complex& value, int path, int chan);
    // x rounded by dout_rnd to the output LSB (division by dout_scale); x is not changed.
    mpz_class dout_trim_mpz(const mpz_class& x);
    // get_chan into a local element, then the family's set_chan with CurrentPattern.
    template <class T> int32_t set_array_chan(T& out, int path, int chan, int index);

    // Complete output vectors waiting: samples in the FIFO of path 0 / channel 0, divided under
    // the advanced sequence by the slots channel 0 owns in CurrentPattern.
    int32_t output_vectors_waiting() const;

    // ---- sinks, data handler and output sizing (fir_sinks.cpp)
    // Installs the sink of the overload's family and removes the other three (a null pointer
    // removes every sink). The real and GMP integer forms throw FIRException on a Hilbert
    // model, leaving the sinks as they were. Return 0.
    int32_t set_data_sink(kip_array_real* sink);
    int32_t set_data_sink(kip_array_complex* sink);
    int32_t set_data_sink(kip_array_mpz* sink);
    int32_t set_data_sink(kip_array_mpz_complex* sink);
    // Installs (null: removes) the handler called after the real sink is filled. Returns 0.
    int32_t set_data_handler(kip_fir_v6_3_data_handler handler, void* arg1, void* arg2);
    // Writes into out the shape the output of `in` needs (dim[0..1], dim[2] unless out is
    // 2-D, data_size); reserves nothing. Instantiated with In = kip_array_real and the four
    // output families. Throws FIRException when a 2-D out would need several vectors or when
    // out's dim storage is too small for what would be written.
    template <class In, class Out> int32_t calc_size(const In& in, Out& out) const;

    // ---- configuration packets and reset (fir_packets.cpp)
    // Checks and normalises a configuration packet and queues a private copy; returns 0
    // (queued, or ignored as unnecessary) or throws FIRException.
    int32_t config_send(const kip_fir_v6_3_cnfg_packet& packet);
    // Returns the data path to its state after construction; keeps reloads, the coefficient
    // table, sinks and handler; discards queued configuration packets. Returns 0.
    int32_t reset();

    KLogger* logger; // message logger: warnings for the user, errors from the wrappers
    KLogger* dbg_logger; // debug logger: notes and traces
    kip_fir_v6_3_config config {}; // completed copy; name and coeff are null
    std::string instance_name;
    FFPContext coeff_ctx;
    double coeff_scale = 1.0; // applied to every coefficient before quantisation
    std::vector<std::vector<double>> coeff_table; // quantised sets, index = fsel
    int32_t acc_width = 0;
    // Output sinks (at most one non-null) and the data handler; the arrays are the caller's.
    kip_array_real* data_sink = nullptr;
    kip_array_complex* data_sink_complex = nullptr;
    kip_array_mpz* data_sink_mpz = nullptr;
    kip_array_mpz_complex* data_sink_mpz_complex = nullptr;
    kip_fir_v6_3_data_handler data_handler = nullptr;
    void* data_handler_arg1 = nullptr;
    void* data_handler_arg2 = nullptr;
    std::deque<FirCnfgEntry> cnfg_queue; // configuration packets waiting for a sync point
    std::deque<FirReload> rld_queue; // reloads waiting for the next configuration point
    FFPContext data_ctx;
    bool use_mpz = false; // true: samples, kernels and accumulators are GMP integers
    // Kernel bank [path][channel]; only the bank of the chosen arithmetic is filled. The kernel
    // [0][0] carries the change-configuration handler (call_cnfg_sync with this model).
    std::vector<std::vector<FirFilter<double, double>>> filters;
    std::vector<std::vector<FirFilter<mpz_class, double>>> filters_mpz;
    int32_t chanCountIn = 0; // next channel position of single-channel input
    int32_t chanCountOut = 0; // next channel position of single-channel output
    kip_fir_v6_3_pattern CurrentPattern = KIP_FIR_V6_3_PATTERN_NONE;
    std::vector<std::vector<FirFifo<double>>> dout_buffer; // [path][channel] FIFO
    std::vector<std::vector<FirFifo<mpz_class>>> dout_buffer_mpz; // same, integer mode
    std::vector<std::vector<FirFifo<double>>> hilbert_queue; // [path][channel]
    double dout_scale = 1.0; // accumulator LSB / output LSB
    RndMode dout_rnd = RND_NONE;
    FFPContext dout_ctx; // output format, double mode only
    FirFifo<kip_fir_v6_3_pattern> pattern_queue; // pattern of each pending output sample
    // Tests: feed whole frames sample by sample even when no configuration point can change
    // anything (the block feeding gives the same results).
    bool feed_by_sample = false;

private:
    // Construction steps: quantised coefficient table, kernel bank (rates from the caller's
    // record) and the change-configuration handler.
    void build_kernel_bank(const kip_fir_v6_3_config& caller);
    // Quantises one input sample with data_ctx and feeds it to kernel (path, chan); keeps the
    // real value in the Hilbert delay line.
    void feed(std::size_t path, std::size_t chan, double sample);
    void feed_frame_blocks(const kip_array_real& in, std::size_t vectors);
    double quantise_input(double sample);
    // End of data_send: fills the installed data sink with n output vectors and calls the data
    // handler for a real sink; returns the handler's result, else 0.
    int32_t deliver_to_sinks(const kip_array_real& in, int32_t n);
    // Throws unless `a` is a 1-D array of num_paths elements with its dimension stored (the
    // shape of single-channel input and output).
    template <class A> void check_path_array(const A& a) const
    {
        const std::size_t np = static_cast<std::size_t>(config.num_paths);
        if (a.dim_size != 1)
            throw FIRException("Incorrect data array dimension, expected 1-D array of num_paths");
        if (!kip_fir::array_dims_valid(a))
            throw FIRException("Data array dimensions are not allocated");
        if (a.dim[0] != np)
            throw FIRException("Incorrect data size, expecting num_paths: " + std::to_string(np));
    }
    // Channel served by position `pos` of a frame under the current pattern (pos itself under
    // the basic sequence); throws when the pattern has no channel there.
    std::size_t position_channel(std::size_t pos) const;
    // Throws unless each FIFO a collection takes from holds need[path * NC + chan] samples
    // (and each Hilbert delay line as many, when `pairs`).
    void require_output(const std::vector<std::size_t>& need, bool pairs) const;
    void trim_into(mpz_class& result, const mpz_class& x);
    // Removes the front sample of (path, chan) and converts it: the output as a real number,
    // or as an integer in units of the output LSB (trace: the GMP forms' debug notes).
    double pop_output_real(std::size_t path, std::size_t chan);
    double convert_output(double raw);
    void pop_output_mpz(mpz_ptr value, std::size_t path, std::size_t chan, bool scaled_note);
    double pop_hilbert(std::size_t path, std::size_t chan);
    // Number of slots channel 0 owns in one repetition of CurrentPattern (advanced sequence).
    int32_t chan0_slots() const;
    // Coefficient set channel `chan` takes from a queued configuration packet.
    uint32_t queued_selector(const FirCnfgEntry& entry, std::size_t chan) const;
    // Fills one installed sink with n output vectors shaped for `in`; name is the member's name.
    template <class Sink>
    void fill_sink(Sink& sink, const char* name, const kip_array_real& in, int32_t n);

    static void validate(const kip_fir_v6_3_config& c);
    static void check_table_size(const kip_fir_v6_3_config& c);
    void compute_coeff_scale(const kip_fir_v6_3_config& c);
    void compute_acc_width(const kip_fir_v6_3_config& c);
    // Sizes the per-path, per-channel output FIFOs of the chosen arithmetic, empty.
    void init_output_buffers();
    void init_channel_pattern();
    // Fills each Hilbert delay line with its initial zeros (filter type 3 only).
    void init_hilbert_lines();

    // Working values of the per-sample paths, kept so that they allocate nothing in steady
    // state; fixed after construction unless noted.
    double data_pow = 1.0; // 2^data_fract_width
    double out_pow = 1.0; // 2^output_fract_width
    mpz_class dout_div; // dout_scale as an integer (integer mode)
    int dout_shift = 0; // k when dout_div is 2^k with k >= 1, else 0
    mpz_class dout_half; // 2^(k-1) for that k
    mpz_class in_mpz; // scratch: integer input sample
    mpz_class trim_q, trim_r, trim_out; // scratch: dout rounding
    kip_fir::ArrayElement<kip_array_mpz> elem_mpz; // scratch: set_array_chan
    kip_fir::ArrayElement<kip_array_mpz_complex> elem_mpz_complex;
    std::vector<std::size_t> need_scratch; // scratch: per-FIFO sample counts of a collection
    std::vector<uint32_t> vector_count_scratch; // scratch: data_send's per-channel counters
    std::vector<double> block_in; // scratch: one kernel's quantised input block
    std::vector<mpz_class> block_in_mpz; // the same as integers (integer mode)
};

#endif // KIP_FIR_FIR_H
