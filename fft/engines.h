// FFT engines: the twiddle table, the engine base class and the three datapaths
// (radix-4 burst, radix-2 burst and lite, pipelined radix-2^2 streaming).
//
// Every register of the hardware datapath is modelled in the exact KFix format of the
// core (width, fraction bits, quantisation, overflow). The engines hold those registers
// as raw two's complement integers (see fixed_raw.h): every format they use is signed,
// WRAP-ping and narrow enough for a machine integer, so the raw model is bit-identical to
// KFix arithmetic and runs without any allocation per butterfly. KFix carries the values
// that cross the engine boundary: the twiddle table entries and the format templates.
//
// Driving an engine for one frame (the uniform interface of R4_loop, R2_loop and
// R22_pipeline; the three are distinct types, selected by C_ARCH):
//   1. set_frame(cfg)            per-frame setter: copies the frame geometry written by
//                                set_frame_geometry(); resets the input headroom to 32.
//   2. load_input(n, re, im)     for n = 0..N-1: one conditioned sample in input units
//                                (input_width bits, [-1, 1)). The engine divides it by the
//                                unscaled/block floating point headroom factor itself,
//                                stores it at its own position for sample n and updates the
//                                input headroom (burst engines).
//   3. set_direction(d)          1 forward, 0 inverse (any other non-zero value: forward).
//      set_scaling_schedule(p)   scaled mode: sum of scaling_sch[i] * 4^i (pack_schedule()).
//   4. run(rom)                  transforms the frame in place.
//   5. read_output(k, re, im)    for k = 0..N-1: bin k in natural order, exact, in the
//                                engine's data units (simulate applies the final
//                                2^(C_NFFT_MAX+1) factor of the unscaled modes itself).
//   6. block_exponent(), overflow()   the engine's raw results: the block exponent is the
//                                sum of the stage shifts for the burst engines (in the
//                                scaled mode the schedule's sum) and the normalisation
//                                shift of the pipelined engine in block floating point;
//                                simulate zeroes what its mode does not report.
// Constructors take FFT_CONFIG (from derive_fft_config()) and throw std::invalid_argument
// for widths no generics produce, std::bad_alloc when memory runs out.
// Out-of-range arguments are refused (false) without touching memory; run() refuses a
// frame that was not set successfully or a twiddle table of another size or width.
// Samples are stored as a KFix assignment into the word format would store them
// (TRUNCATE, WRAP; an infinity stores 0). A NaN sample stands for an invalid value: every
// bin of that frame then reads as NaN, as every bin depends on every sample.
#ifndef KFFT_ENGINES_H
#define KFFT_ENGINES_H

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "fft_config.h"
#include "fixed_raw.h"
#include "num.h"

// Quantised twiddle factors of the largest transform: a quarter wave plus one point, the
// other quadrants derived by symmetry.
class TWIDDLE_ROM {
public:
    // nfft_max 3..16, twiddle_width 8..34; other values throw std::invalid_argument.
    TWIDDLE_ROM(int32_t nfft_max, int32_t twiddle_width);
    virtual ~TWIDDLE_ROM();
    TWIDDLE_ROM(const TWIDDLE_ROM&) = delete;
    TWIDDLE_ROM& operator=(const TWIDDLE_ROM&) = delete;

    // exp(+j 2 pi i / 2^nfft_max) in the twiddle format (twiddle_width + 1 bits,
    // twiddle_width - 1 fraction bits); any i, taken modulo 2^nfft_max.
    KFixComplex lookup(uint64_t i) const;

    // The same value as raw integers of the twiddle format (value * 2^(twiddle_width-1)).
    kfft_raw::CRaw lookup_raw(uint64_t i) const
    {
        const uint64_t j = i & full_mask_;
        const bool h = (j >> (M_ - 1)) & 1;
        const bool q = (j >> (M_ - 2)) & 1;
        uint64_t m = j & quarter_mask_;
        if (q)
            m = (quarter_mask_ + 1) - m;
        const kfft_raw::CRaw& e = raw_[m];
        return kfft_raw::CRaw { q != h ? -e.re : e.re, h ? -e.im : e.im };
    }

    int32_t nfft_max() const { return M_; }
    int32_t twiddle_width() const { return TW_; }
    int32_t entries() const { return static_cast<int32_t>(raw_.size()); }

private:
    int32_t M_;
    int32_t TW_;
    uint64_t full_mask_;
    uint64_t quarter_mask_;
    mutable KFixComplex result_; // result register of lookup()
    std::vector<KFixComplex> table_; // entries 0..2^(M-2)
    std::vector<kfft_raw::CRaw> raw_; // the same entries as raw integers
};

// Base of the engines and of their processing elements: widths and flags from FFT_CONFIG,
// the data and twiddle format templates, the per-frame controls and the per-frame results.
class FFT {
public:
    // Throws std::invalid_argument when the widths or C_NFFT_MAX lie outside what the
    // generics can produce (data_width 8..51, input_width 8..data_width, twiddle width
    // 8..34, C_NFFT_MAX 3..16).
    explicit FFT(const FFT_CONFIG& cfg);
    virtual ~FFT();
    FFT(const FFT&) = delete;
    FFT& operator=(const FFT&) = delete;

    // Per-frame controls.
    void set_direction(int32_t direction) { direction_ = direction; }
    void set_scaling_schedule(uint32_t packed) { scaling_sch_ = packed; }
    int32_t direction() const { return direction_; }
    uint32_t scaling_schedule() const { return scaling_sch_; }
    int32_t input_headroom() const { return input_headroom_; }

    // Per-frame results.
    int32_t block_exponent() const { return blk_exp_; }
    int32_t overflow() const { return overflow_; }
    // Right shift applied by stage t of the last frame (radix-4: per radix-4 stage, the
    // radix-2 stage last; radix-2: per stage; pipelined: per stage, 0 where none).
    int32_t stage_shift(int32_t t) const { return (t >= 0 && t < 16) ? stage_shifts_[t] : 0; }

    // Sum of scaling_sch[i] * 4^i over the first size elements (at most 16; values are
    // taken modulo 4).
    static uint32_t pack_schedule(const int32_t* scaling_sch, int32_t size);

    int32_t input_width() const { return input_width_; }
    int32_t data_width() const { return data_width_; }

    // Sample and bin transfer of a frame that was set (engines with memory only; false
    // otherwise or for an index outside the frame). One sample n = 0..N-1, in input units.
    bool load_input(int32_t n, double re, double im);
    bool read_output(int32_t k, double& re, double& im) const;
    // The whole frame: N samples, and N bins in natural order, as N single calls would.
    bool load_frame(const double* re, const double* im);
    bool read_frame(double* re, double* im) const;

    // Memory position of input sample n and of output bin k in the current frame.
    int32_t input_position(int32_t n) const;
    int32_t output_position(int32_t k) const;
    // Memory word at position p (wrapped to the memory size).
    kfft_raw::CRaw word(int32_t p) const;

protected:
    // Storage order of a frame in memory.
    enum class Order {
        Natural, // position n
        BitReversed, // bits of n reversed over nfft bits
        DigitReversed4, // radix-4 digits of n reversed; for odd nfft the lowest bit of n
                        // selects the half
    };

    // Stores x into a signed register of w bits with f fraction bits, TRUNCATE and WRAP,
    // as a KFix assignment from a double does. Non-finite values store 0.
    static int64_t to_raw(double x, int w, int f);
    // The same for x * scale with scale = 2^f, a power of two; quick for ordinary values.
    static int64_t to_raw_scaled(double x, double scale, int w)
    {
        const double v = x * scale;
        if (v > -0x1p62 && v < 0x1p62) { // false for NaN
            int64_t r = static_cast<int64_t>(v);
            if (static_cast<double>(r) > v)
                --r; // floor
            return kfft_raw::wrap(r, w);
        }
        return to_raw(x * scale, w, 0);
    }
    // Memory of 2^C_NFFT_MAX words of the given format; pre_shift is the unscaled and
    // block floating point headroom of the engine, divided out of every sample on loading.
    // track_headroom: the input headroom is kept up to date as samples arrive.
    void set_memory(int width, int frac, int pre_shift, Order in, Order out, bool track_headroom);

    // Memory words as exact doubles (raw integers below 2^52 in magnitude), one array per
    // part, frame position order.
    double* mem_re() { return mem_re_.get(); }
    double* mem_im() { return mem_im_.get(); }
    kfft_raw::CRaw mem_word(int32_t p) const
    {
        return kfft_raw::CRaw { static_cast<int64_t>(mem_re_[p]),
            static_cast<int64_t>(mem_im_[p]) };
    }
    void set_mem_word(int32_t p, const kfft_raw::CRaw& v)
    {
        mem_re_[p] = static_cast<double>(v.re);
        mem_im_[p] = static_cast<double>(v.im);
    }

    // Starts a frame of cfg.npoints = 2^cfg.nfft points when min_nfft <= nfft <= C_NFFT_MAX
    // (and geometry_ok); otherwise marks the engine as having no frame. Returns whether the
    // frame was taken. The input headroom restarts at 32 and the frame is valid.
    bool start_frame(const FFT_CONFIG& cfg, int32_t min_nfft, bool geometry_ok = true);
    // A frame is set and the table was built for this engine's maximum length and width.
    bool ready_to_run(const TWIDDLE_ROM& rom) const
    {
        return frame_ok_ && rom.nfft_max() == nfft_max_ && rom.twiddle_width() == twiddle_width_;
    }

    // Redundant sign bits (0..3) directly below the sign of a w-bit word.
    static int32_t word_headroom(int64_t v, int w)
    {
        const uint64_t m = static_cast<uint64_t>(v ^ (v >> 63)); // sign bits become zeros
        if (m == 0)
            return 3;
        const int same = __builtin_clzll(m) - (64 - w) - 1;
        return same < 3 ? same : 3;
    }
    // Magnitude key of a raw word for block floating point classes: v for v >= 0 and
    // -v - 1 below, so that [-b, b) becomes key < b for every bound b.
    static int64_t class_key(int64_t v) { return v ^ (v >> 63); }
    // Class of the largest key of a stage: the value truncated to 8 bits with 7 fraction
    // bits (a floor) is compared with the 8-bit bounds b1 < b2 < b3; the class is the
    // number of bounds it reaches.
    static int32_t bfp_class(int64_t max_key, int w, int b1, int b2, int b3)
    {
        const int64_t code = max_key >> (w - 8);
        return code < b1 ? 0 : code < b2 ? 1 : code < b3 ? 2 : 3;
    }

    FFT_CONFIG cfg_; // copy of the configuration the engine was built from

    int32_t input_width_;
    int32_t data_width_;
    int32_t twiddle_width_;
    int32_t nfft_max_;
    int32_t rounding_;
    int32_t scaling_;
    int32_t bfp_;

    int32_t input_headroom_ = 0;
    int32_t direction_ = 1;
    int32_t blk_exp_ = 0;
    int32_t overflow_ = 0;
    uint32_t scaling_sch_ = 0;

    // Per-frame geometry.
    int32_t nfft_odd_ = 0;
    int32_t r4_addr_mask_ = 15;
    int32_t npoints_ = 64;
    int32_t nfft_ = 6;
    int32_t r4_points_ = 64;
    int32_t r4_stages_ = 3;
    bool frame_ok_ = false;
    bool invalid_ = false; // a NaN sample: every bin reads NaN
    std::array<int32_t, 16> stage_shifts_ {};

private:
    static int32_t position(Order order, int32_t n, int32_t nfft);
    void store(int32_t p, double re, double im);

    int word_w_ = 0;
    double load_scale_ = 1.0;
    double read_scale_ = 1.0;
    Order in_order_ = Order::Natural;
    Order out_order_ = Order::Natural;
    bool track_headroom_ = false;
    int32_t words_ = 0; // memory size, 2^C_NFFT_MAX (0: no memory)
    std::unique_ptr<double[]> mem_re_, mem_im_;
    // Memory positions of the samples and bins of frames of perm_nfft_ points.
    int32_t perm_nfft_ = -1;
    std::vector<int32_t> in_perm_, out_perm_;
};

// Radix-4 decimation-in-time butterfly of the radix-4 burst engine (also the radix-2
// butterflies of its last stage when nfft is odd).
class R4_DIT_PE : public FFT {
public:
    explicit R4_DIT_PE(const FFT_CONFIG& cfg);
    ~R4_DIT_PE() override;

    // x: four operands (data format), w: W1..W3 (twiddle format), shift 0..3.
    // Writes Z0..Z3 (data format) and sets the sticky overflow flag.
    void butterfly(const kfft_raw::CRaw x[4], const kfft_raw::CRaw w[3], bool radix2, int shift,
        kfft_raw::CRaw z[4]);

    int32_t pe_overflow() const { return pe_overflow_; }
    bool wide_products() const { return wide_; }

private:
    friend class R4_loop;
    // The butterfly with the product type and the rounding mode fixed (engine loop only).
    template <typename Acc, bool Round>
    void butterfly_t(const kfft_raw::CRaw x[4], const kfft_raw::CRaw w[3], bool radix2, int shift,
        kfft_raw::CRaw z[4]);

    int W_; // data width
    int pw_; // product width W + TW + 2 (fraction W + TW - 2)
    int dT_; // product to twiddled operand: TW - 4 fraction bits dropped
    int64_t K_; // rounding constant 2^(TW-5) - 1
    bool round_;
    bool wide_;
    int32_t pe_overflow_ = 0;
};

// Radix-4 burst engine (C_ARCH = 1).
class R4_loop : public FFT {
public:
    explicit R4_loop(const FFT_CONFIG& cfg);
    ~R4_loop() override;

    // Input sample n at the base-4 digit reversal of n (for odd nfft the lowest bit of n
    // selects the half); bin k at k.
    bool set_frame(const FFT_CONFIG& cfg);
    bool run(const TWIDDLE_ROM& rom);

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R4_DIT_PE& pe);
    template <typename Acc, bool Round, bool Bfp>
    void run_stages(const TWIDDLE_ROM& rom, R4_DIT_PE& pe);

    std::unique_ptr<kfft_raw::CRaw[]> twiddles_; // one stage's twiddles, 3 per index
};

// Radix-2 decimation-in-time butterfly of the radix-2 burst and lite engines.
class R2_DIT_PE : public FFT {
public:
    explicit R2_DIT_PE(const FFT_CONFIG& cfg);
    ~R2_DIT_PE() override;

    // x: two operands (data format), w: the twiddle (twiddle format), shift 0..3.
    // Writes Z0, Z1 (data format) and sets the sticky overflow flag.
    void butterfly(
        const kfft_raw::CRaw x[2], const kfft_raw::CRaw& w, int shift, kfft_raw::CRaw z[2]);

    int32_t pe_overflow() const { return pe_overflow_; }
    bool wide_products() const { return wide_; }

private:
    friend class R2_loop;
    // The butterfly with the product type and the rounding mode fixed (engine loop only).
    template <typename Acc, bool Round>
    void butterfly_t(
        const kfft_raw::CRaw x[2], const kfft_raw::CRaw& w, int shift, kfft_raw::CRaw z[2]);

    int W_;
    int pw_;
    int dT_;
    int64_t K_;
    bool round_;
    bool wide_;
    int32_t pe_overflow_ = 0;
};

// Radix-2 burst engine (C_ARCH = 2) and radix-2 lite burst engine (C_ARCH = 4).
class R2_loop : public FFT {
public:
    explicit R2_loop(const FFT_CONFIG& cfg);
    ~R2_loop() override;

    // Input sample n at the bit reversal of n over nfft bits; bin k at k.
    bool set_frame(const FFT_CONFIG& cfg);
    bool run(const TWIDDLE_ROM& rom);

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R2_DIT_PE& pe);
    template <typename Acc, bool Round, bool Bfp>
    void run_stages(const TWIDDLE_ROM& rom, R2_DIT_PE& pe);

    std::unique_ptr<kfft_raw::CRaw[]> twiddles_;
};

// Radix-2^2 decimation-in-frequency butterfly pair of the pipelined engine.
class R22_DIF_PE : public FFT {
public:
    // P: internal width of the pipeline; nfft and direction of the frame.
    R22_DIF_PE(const FFT_CONFIG& cfg, int P, int nfft, int direction);
    ~R22_DIF_PE() override;

    // a (upper) and b (lower) in the memory format (P + 1 bits, P - 1 fraction bits);
    // w1, w2 twiddles (used on odd, not-last stages); stage t, group g, shift s.
    // Writes the two lanes in the stage output format (P + 2 or P bits, P - 1 fraction).
    void butterfly(const kfft_raw::CRaw& a, const kfft_raw::CRaw& b, const kfft_raw::CRaw& w1,
        const kfft_raw::CRaw& w2, int t, int g, int s, kfft_raw::CRaw out[2]);

    int32_t pe_overflow() const { return pe_overflow_; }
    bool wide_products() const { return wide_; }

private:
    friend class R22_pipeline;
    // The pair with the product type and the rounding mode fixed, and the three kinds of
    // butterfly the engine calls stage by stage (engine loop only).
    template <typename Acc, bool Round>
    void butterfly_t(const kfft_raw::CRaw& a, const kfft_raw::CRaw& b, const kfft_raw::CRaw& w1,
        const kfft_raw::CRaw& w2, int t, int g, int s, kfft_raw::CRaw out[2]);
    void bf_sums(
        const kfft_raw::CRaw& a, const kfft_raw::CRaw& b, bool rotate, kfft_raw::CRaw B[2]) const;
    template <bool Round>
    void bf1(const kfft_raw::CRaw& a, const kfft_raw::CRaw& b, bool scale_last, int s,
        kfft_raw::CRaw out[2]);
    template <typename Acc, bool Round>
    void bf2_twiddle(const kfft_raw::CRaw& a, const kfft_raw::CRaw& b, bool rotate,
        const kfft_raw::CRaw& w1, const kfft_raw::CRaw& w2, int s, kfft_raw::CRaw out[2]);
    template <bool Round>
    void bf2_last(const kfft_raw::CRaw& a, const kfft_raw::CRaw& b, bool rotate, int s,
        kfft_raw::CRaw out[2]);

    int P_;
    int nfft_pe_;
    int dir_;
    bool scaled_; // scaling flag 1 and block floating point flag 0
    bool round_;
    int Bw_; // butterfly and stage output width (fraction P - 1)
    int Prw_; // product width (fraction P + TW - 2)
    int G_; // fraction bits of the twiddled outputs
    int Tww_; // width of the twiddled outputs
    int dTw_; // product to twiddled output: fraction bits dropped
    int64_t K_;
    int Lw_, Lf_; // last-stage intermediate format
    bool wide_;
    int32_t pe_overflow_ = 0;
};

// Pipelined streaming engine (C_ARCH = 3).
class R22_pipeline : public FFT {
public:
    explicit R22_pipeline(const FFT_CONFIG& cfg);
    ~R22_pipeline() override;

    // Input sample n at n; bin k at the bit reversal of k over nfft bits.
    bool set_frame(const FFT_CONFIG& cfg);
    bool run(const TWIDDLE_ROM& rom);
    int32_t internal_width() const { return P_; }

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R22_DIF_PE& pe);
    template <typename Acc, bool Round> void run_stages(const TWIDDLE_ROM& rom, R22_DIF_PE& pe);
    void normalise();
    // Writes a butterfly's two lanes to positions p and p + h, wrapped to the memory width.
    void store_pair(int32_t p, int32_t h, const kfft_raw::CRaw out[2]);

    int P_;
    std::unique_ptr<kfft_raw::CRaw[]> twiddles_; // one stage's twiddles, 4 per index
};

#endif // KFFT_ENGINES_H
