// Engine base class FFT and the engine interface FrameEngine.
#ifndef KFFT_ENGINE_BASE_H
#define KFFT_ENGINE_BASE_H

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "fft_config.h"
#include "fixed_raw.h"
#include "path_plan.h"
#include "twiddle_rom.h"

// Base of the engines and of their processing elements: widths and flags from FFT_CONFIG,
// the per-frame controls and results, and (engines) the frame memory with its whole-frame
// loading and reading.
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
    // The same when every sample times 2^(input_width - 1), after the engine's headroom
    // division, is an integer inside the memory word (for samples in [-1, 1): they lie on
    // the input_width grid); otherwise false, with the memory unspecified.
    bool load_frame_if_plain(const double* re, const double* im);
    // shift: the bins are multiplied by 2^shift as well (exact, |shift| <= 64).
    bool read_frame(double* re, double* im, int shift = 0) const;

    // Implementation of the stages (kfft::Path); Auto unless forced (tests). Integer also
    // takes the pipelined block floating point normalisation word by word. The plan follows
    // from the widths and the path, once; the rounding mode is asked per frame.
    using Path = kfft::Path;
    void force_path(Path p);
    static bool avx2_path_supported() { return kfft::cpu_has_avx2(); }
    // The plan of this engine's frames, and the stage implementation the last frame took
    // (Integer when its rounding mode was not to nearest).
    const kfft::PathPlan& plan() const { return plan_; }
    Path frame_path() const { return frame_path_; }

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
    // Exchanges the memory with another pair of arrays of 2^C_NFFT_MAX words.
    void swap_memory(std::unique_ptr<double[]>& re, std::unique_ptr<double[]>& im)
    {
        mem_re_.swap(re);
        mem_im_.swap(im);
    }
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
    Path path_ = Path::Auto;
    kfft::PathPlan plan_;
    Path frame_path_ = Path::Integer;

    // The plan for the requested path: the burst engines' rule (the pipelined engine has its
    // own). Engines set plan_ from it on construction.
    virtual kfft::PathPlan make_plan() const;
    // Whether this frame's stages run on the plan's doubles (the rounding mode is to nearest);
    // records the path taken.
    bool start_stages();

private:
    static int32_t position(Order order, int32_t n, int32_t nfft);
    bool load_plain(const double* re, const double* im);
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
    std::vector<int32_t> in_source_; // the sample at each memory position (in_perm_ inverted)
};

// The interface every engine gives the simulate call: the frame scaffolding of FFT plus the
// per-frame setter and the transform.
class FrameEngine : public FFT {
public:
    using FFT::FFT;
    // Takes the frame geometry of cfg (set by set_frame_geometry()); false, with no frame
    // set, for a length the engine does not accept.
    virtual bool set_frame(const FFT_CONFIG& cfg) = 0;
    // Transforms the loaded frame in place; false without a frame or for a twiddle table of
    // another length or width.
    virtual bool run(const TWIDDLE_ROM& rom) = 0;
};

#endif // KFFT_ENGINE_BASE_H
