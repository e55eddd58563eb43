// Radix-4 burst engine (C_ARCH = 1) and its processing element.
#ifndef KFFT_ENGINE_R4_H
#define KFFT_ENGINE_R4_H

#include <cstdint>
#include <memory>
#include <vector>

#include "engine_base.h"

// Radix-4 decimation-in-time butterfly of the radix-4 burst engine (also the radix-2
// butterflies of its last stage when nfft is odd).
class R4_DIT_PE : public FFT {
public:
    explicit R4_DIT_PE(const FFT_CONFIG& cfg);
    ~R4_DIT_PE() override;

    int32_t pe_overflow() const { return pe_overflow_; }
    bool wide_products() const { return wide_; }

private:
    friend class R4_loop;
    // x: four operands (data format), w: W1..W3 (twiddle format), shift 0..3, with the
    // product type and the rounding mode fixed. Writes Z0..Z3 (data format) and sets the
    // sticky overflow flag.
    template <typename Acc, bool Round>
    void butterfly_t(const kfft_raw::CRaw x[4], const kfft_raw::CRaw w[3], bool radix2, int shift,
        kfft_raw::CRaw z[4]);

    int W_; // data width
    int pw_; // product width W + TW + 2 (fraction W + TW - 2)
    int dT_; // product to twiddled operand: TW - 4 fraction bits dropped
    int64_t K_; // rounding constant 2^(TW-5) - 1
    bool wide_;
    int32_t pe_overflow_ = 0;
};

// Radix-4 burst engine (C_ARCH = 1).
class R4_loop : public FrameEngine {
public:
    explicit R4_loop(const FFT_CONFIG& cfg);
    ~R4_loop() override;

    // Input sample n at the base-4 digit reversal of n (for odd nfft the lowest bit of n
    // selects the half); bin k at k.
    bool set_frame(const FFT_CONFIG& cfg) override;
    bool run(const TWIDDLE_ROM& rom) override;

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R4_DIT_PE& pe);
    template <typename Acc, bool Round, bool Bfp>
    void run_stages(const TWIDDLE_ROM& rom, R4_DIT_PE& pe);
    const double* fp_twiddles(const TWIDDLE_ROM& rom, bool forward);
    template <typename Acc, bool Round, bool Bfp>
    int64_t int_stage(R4_DIT_PE& pe, const double* sr, const double* si, double* dr, double* di,
        int t, int s, const kfft_raw::CRaw* tw, const TWIDDLE_ROM& rom);

    std::unique_ptr<kfft_raw::CRaw[]> twiddles_; // one stage's twiddles, 3 per index
    // Twiddles of the double stages per direction (inverse, forward) and the frame length
    // they were built for (-1: none).
    std::vector<double> fp_twiddles_[2];
    int32_t fp_twiddles_nfft_[2] = { -1, -1 };
    std::unique_ptr<double[]> alt_re_, alt_im_; // the other memory of the double stages
};

#endif // KFFT_ENGINE_R4_H
