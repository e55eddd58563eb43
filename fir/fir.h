// FIR -- the model object behind a kip_fir_v6_3 handle: validated configuration, widths,
// arithmetic mode, quantisation contexts, coefficient table, kernel bank and queues.
#ifndef KIP_FIR_FIR_H
#define KIP_FIR_FIR_H

#include <gmpxx.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ffp.h"
#include "fir_exceptions.h"
#include "klogger.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

// Configuration limits, shared by validation and by code that sizes tables from them.
constexpr uint32_t kFirMaxRate = 1024;
constexpr uint32_t kFirMaxZeroPack = 8;
constexpr uint32_t kFirMaxWidth = 49;  // data and coefficient widths
constexpr uint32_t kFirMaxChannels = 64;
constexpr uint32_t kFirMaxPaths = 16;
constexpr int32_t kFirMaxFractMagnitude = 1023;  // |coeff_fract_width|: 2^f finite and non-zero
constexpr int32_t kFirDoubleMaxAccWidth = 52;    // wider accumulators run on GMP integers

// Releases an array copy owned by a packet queue.
struct FirUintArrayDeleter {
    void operator()(kip_array_uint* a) const noexcept { kip_array_uint_destroy(a); }
};
using FirUintArrayPtr = std::unique_ptr<kip_array_uint, FirUintArrayDeleter>;

// A queued configuration packet: the normalised pattern and the queue's own copy of the
// selectors (one dimension, one valid set number per element: num_channels of them with the
// by-channel method, else one). The copy is released with the entry.
struct FirCnfgEntry {
    kip_fir_v6_3_pattern chanpat;
    FirUintArrayPtr fsel;
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

    KLogger* logger;      // message logger: warnings for the user, errors from the wrappers
    KLogger* dbg_logger;  // debug logger: notes and traces
    kip_fir_v6_3_config config{};  // completed copy; name and coeff are null
    std::string instance_name;
    FFPContext coeff_ctx;
    double coeff_scale = 1.0;  // applied to every coefficient before quantisation
    std::vector<std::vector<double>> coeff_table;  // quantised sets, index = fsel
    int32_t acc_width = 0;
    // Output sinks (at most one non-null) and the data handler; the arrays are the caller's.
    kip_array_real* data_sink = nullptr;
    kip_array_complex* data_sink_complex = nullptr;
    kip_array_mpz* data_sink_mpz = nullptr;
    kip_array_mpz_complex* data_sink_mpz_complex = nullptr;
    kip_fir_v6_3_data_handler data_handler = nullptr;
    void* data_handler_arg1 = nullptr;
    void* data_handler_arg2 = nullptr;
    std::deque<FirCnfgEntry> cnfg_queue;  // configuration packets waiting for a sync point
    FFPContext data_ctx;
    bool use_mpz = false;  // true: samples, kernels and accumulators are GMP integers
    // Kernel banks [path][channel] (double and GMP) follow here.
    int32_t chanCountIn = 0;   // next channel position of single-channel input
    int32_t chanCountOut = 0;  // next channel position of single-channel output
    kip_fir_v6_3_pattern CurrentPattern = KIP_FIR_V6_3_PATTERN_NONE;
    std::vector<std::vector<std::vector<double>>> dout_buffer;          // [path][channel] FIFO
    std::vector<std::vector<std::vector<mpz_class>>> dout_buffer_mpz;   // same, integer mode
    std::vector<std::vector<std::deque<double>>> hilbert_queue;         // [path][channel]
    double dout_scale = 1.0;  // accumulator LSB / output LSB
    RndMode dout_rnd = RND_NONE;
    FFPContext dout_ctx;  // output format, double mode only
    std::deque<kip_fir_v6_3_pattern> pattern_queue;  // pattern of each pending output sample

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

    // Checks and normalises a configuration packet and queues a private copy; returns 0
    // (queued, or ignored as unnecessary) or throws FIRException.
    int32_t config_send(const kip_fir_v6_3_cnfg_packet& packet);
    // A configuration point: when a configuration packet is queued, applies every queued
    // reload and then exactly one configuration packet. Returns 0.
    int32_t cnfg_sync();
    // Returns the data path to its state after construction; keeps reloads, the coefficient
    // table, sinks and handler; discards queued configuration packets. Returns 0.
    int32_t reset();

private:
    // Number of slots channel 0 owns in one repetition of CurrentPattern (advanced sequence).
    int32_t chan0_slots() const;

    static void validate(const kip_fir_v6_3_config& c);
    void compute_coeff_scale(const kip_fir_v6_3_config& c);
    void compute_acc_width(const kip_fir_v6_3_config& c);
    // Sizes the per-path, per-channel output FIFOs of the chosen arithmetic, empty.
    void init_output_buffers();
    void init_channel_pattern();
    // Fills each Hilbert delay line with its initial zeros (filter type 3 only).
    void init_hilbert_lines();
};

#endif  // KIP_FIR_FIR_H
