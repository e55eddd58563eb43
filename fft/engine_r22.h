// Pipelined radix-2^2 streaming engine (C_ARCH = 3) and its processing element.
#ifndef KFFT_ENGINE_R22_H
#define KFFT_ENGINE_R22_H

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine_base.h"

// Radix-2^2 decimation-in-frequency butterfly pair of the pipelined engine.
class R22_DIF_PE : public FFT {
public:
    // P: internal width of the pipeline; direction of the frame.
    R22_DIF_PE(const FFT_CONFIG& cfg, int P, int direction);
    ~R22_DIF_PE() override;

    int32_t pe_overflow() const { return pe_overflow_; }
    bool wide_products() const { return wide_; }

private:
    friend class R22_pipeline;
    // The three kinds of butterfly pair the engine calls stage by stage, the product type
    // and the rounding mode fixed: a (upper) and b (lower) in the memory format (P + 1 bits,
    // P - 1 fraction bits), twiddles w1, w2, shift s; the two lanes in the stage output
    // format (P + 2 or P bits, P - 1 fraction).
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
    int dir_;
    bool scaled_; // scaling flag 1 and block floating point flag 0
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
class R22_pipeline : public FrameEngine {
public:
    explicit R22_pipeline(const FFT_CONFIG& cfg);
    ~R22_pipeline() override;

    // Input sample n at n; bin k at the bit reversal of k over nfft bits.
    bool set_frame(const FFT_CONFIG& cfg) override;
    bool run(const TWIDDLE_ROM& rom) override;
    int32_t internal_width() const { return P_; }
    // Twiddle products of stage t in the last frame: 1 whole, 2 operand split, 3 twiddle
    // split (double stages), 0 integer registers; -1 for a stage without twiddles.
    int32_t stage_parts(int32_t t) const { return (t >= 0 && t < 16) ? stage_parts_[t] : -1; }

private:
    kfft::PathPlan make_plan() const override;
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R22_DIF_PE& pe, bool fp);
    template <typename Acc, bool Round>
    void run_stages(const TWIDDLE_ROM& rom, R22_DIF_PE& pe, bool fp);
    // Block floating point normalisation; fast: on doubles (the word-by-word scan where the
    // largest magnitude is a power of two).
    void normalise(bool fast);
    // Writes a butterfly's two lanes to positions p and p + h, wrapped to the memory width.
    void store_pair(int32_t p, int32_t h, const kfft_raw::CRaw out[2]);

    const double* fp_twiddles(const TWIDDLE_ROM& rom, bool forward, int t, int split);

    int P_;
    std::unique_ptr<kfft_raw::CRaw[]> twiddles_; // one stage's twiddles, 4 per index
    std::unique_ptr<double[]> alt_re_, alt_im_; // the other memory of the double stages
    std::vector<double> fp_twiddles_[2]; // per direction (inverse, forward)
    int32_t fp_twiddles_nfft_[2] = { -1, -1 }; // frame length and split the tables hold
    std::array<int32_t, 16> stage_parts_ {};
};

#endif // KFFT_ENGINE_R22_H
