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
    // Largest frame every engine is sized for.
    static constexpr int32_t kMaxPoints = 65536;

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
    void set_input_headroom(int32_t h) { input_headroom_ = h; }
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

    const KFix& data_format() const { return data_fmt_; }
    const KFix& twiddle_format() const { return twiddle_fmt_; }

    int32_t input_width() const { return input_width_; }
    int32_t data_width() const { return data_width_; }

protected:
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
    // Memory word format of the derived engine, and the factor that brings a sample in
    // input units to its word value (a power of two: the unscaled and block floating
    // point headroom of the engine divided out).
    void set_word_format(int width, int frac, int pre_shift);
    // A sample pair as memory words; a NaN marks the frame invalid (its bins read NaN).
    kfft_raw::CRaw store_sample(double re, double im)
    {
        if (re != re || im != im)
            invalid_ = true;
        return kfft_raw::CRaw { to_raw_scaled(re, load_scale_, word_w_),
            to_raw_scaled(im, load_scale_, word_w_) };
    }
    // The exact value of a memory word (NaN for an invalid frame).
    void read_word(const kfft_raw::CRaw& v, double& re, double& im) const
    {
        if (invalid_) {
            re = im = __builtin_nan("");
            return;
        }
        re = static_cast<double>(v.re) * read_scale_;
        im = static_cast<double>(v.im) * read_scale_;
    }
    // Starts a frame: geometry accepted or refused, input headroom 32, valid samples.
    void begin_frame(bool ok)
    {
        frame_ok_ = ok;
        input_headroom_ = 32;
        invalid_ = false;
    }
    // Starts a frame of cfg.npoints = 2^cfg.nfft points when min_nfft <= nfft <= C_NFFT_MAX;
    // otherwise marks the engine as having no frame. Returns whether the frame was taken.
    bool start_frame(const FFT_CONFIG& cfg, int32_t min_nfft)
    {
        const int32_t nfft = cfg.nfft;
        const bool ok
            = nfft >= min_nfft && nfft <= nfft_max_ && cfg.npoints == (int32_t(1) << nfft);
        if (ok) {
            nfft_ = nfft;
            npoints_ = cfg.npoints;
        }
        begin_frame(ok);
        return ok;
    }
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
    // bits (a floor, like the scratch register) is compared with the 8-bit bounds
    // b1 < b2 < b3; the class is the number of bounds it reaches.
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

    KFix bfp_scratch_; // 8 bits, 7 fraction bits: where stage results are classified
    KFix data_fmt_; // data_width bits, data_width - 1 fraction bits
    KFix twiddle_fmt_; // twiddle width + 1 bits, twiddle width - 1 fraction bits

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
    bool invalid_ = false;
    int word_w_ = 0;
    int word_f_ = 0;
    double load_scale_ = 1.0;
    double read_scale_ = 1.0;

    int32_t stage_ = 0;
    int32_t butterfly_ = 0;
    std::array<int32_t, 16> stage_shifts_ {};
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

    bool set_frame(const FFT_CONFIG& cfg);
    bool load_input(int32_t n, double re, double im);
    bool run(const TWIDDLE_ROM& rom);
    bool read_output(int32_t k, double& re, double& im) const;

    // Memory position of input sample n (base-4 digit reversal; for odd nfft the lowest
    // bit of n selects the half) and of output bin k (k itself).
    int32_t input_position(int32_t n) const;
    int32_t output_position(int32_t k) const { return k; }
    kfft_raw::CRaw word(int32_t p) const { return mem_[static_cast<size_t>(p) & 0xFFFF]; }

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R4_DIT_PE& pe);
    template <typename Acc, bool Round, bool Bfp>
    void run_stages(const TWIDDLE_ROM& rom, R4_DIT_PE& pe);

    std::unique_ptr<kfft_raw::CRaw[]> mem_; // 65,536 words, frame position order
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

    bool set_frame(const FFT_CONFIG& cfg);
    bool load_input(int32_t n, double re, double im);
    bool run(const TWIDDLE_ROM& rom);
    bool read_output(int32_t k, double& re, double& im) const;

    // Bit reversal of n over nfft bits; bins in natural order.
    int32_t input_position(int32_t n) const;
    int32_t output_position(int32_t k) const { return k; }
    kfft_raw::CRaw word(int32_t p) const { return mem_[static_cast<size_t>(p) & 0xFFFF]; }

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R2_DIT_PE& pe);
    template <typename Acc, bool Round, bool Bfp>
    void run_stages(const TWIDDLE_ROM& rom, R2_DIT_PE& pe);

    std::unique_ptr<kfft_raw::CRaw[]> mem_;
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

    bool set_frame(const FFT_CONFIG& cfg);
    bool load_input(int32_t n, double re, double im);
    bool run(const TWIDDLE_ROM& rom);
    bool read_output(int32_t k, double& re, double& im) const;

    // Natural order in; bin k at the bit reversal of k over nfft bits.
    int32_t input_position(int32_t n) const { return n; }
    int32_t output_position(int32_t k) const;
    int32_t internal_width() const { return P_; }
    kfft_raw::CRaw word(int32_t p) const { return mem_[static_cast<size_t>(p) & 0xFFFF]; }

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R22_DIF_PE& pe);
    template <typename Acc, bool Round> void run_stages(const TWIDDLE_ROM& rom, R22_DIF_PE& pe);
    void normalise();

    int P_;
    std::unique_ptr<kfft_raw::CRaw[]> mem_; // 65,536 words of P + 1 bits, P - 1 fraction
    std::unique_ptr<kfft_raw::CRaw[]> twiddles_; // one stage's twiddles, 4 per index
};

#endif // KFFT_ENGINES_H
