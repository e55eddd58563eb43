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
    // Output sinks and the data handler follow here once the output path is in place;
    // then the configuration and reload packet queues.
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

private:
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
