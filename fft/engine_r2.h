// Radix-2 burst and lite engine (C_ARCH = 2 and 4) and its processing element.
#ifndef KFFT_ENGINE_R2_H
#define KFFT_ENGINE_R2_H

#include <cstdint>
#include <memory>
#include <vector>

#include "engine_base.h"

// Radix-2 decimation-in-time butterfly of the radix-2 burst and lite engines.
class R2_DIT_PE : public FFT {
public:
    explicit R2_DIT_PE(const FFT_CONFIG& cfg);
    ~R2_DIT_PE() override;

    int32_t pe_overflow() const { return pe_overflow_; }
    bool wide_products() const { return wide_; }

private:
    friend class R2_loop;
    // x: two operands (data format), w: the twiddle (twiddle format), shift 0..3, with the
    // product type and the rounding mode fixed. Writes Z0, Z1 (data format) and sets the
    // sticky overflow flag.
    template <typename Acc, bool Round>
    void butterfly_t(
        const kfft_raw::CRaw x[2], const kfft_raw::CRaw& w, int shift, kfft_raw::CRaw z[2]);

    int W_;
    int pw_;
    int dT_;
    int64_t K_;
    bool wide_;
    int32_t pe_overflow_ = 0;
};

// Radix-2 burst engine (C_ARCH = 2) and radix-2 lite burst engine (C_ARCH = 4).
class R2_loop : public FrameEngine {
public:
    explicit R2_loop(const FFT_CONFIG& cfg);
    ~R2_loop() override;

    // Input sample n at the bit reversal of n over nfft bits; bin k at k.
    bool set_frame(const FFT_CONFIG& cfg) override;
    bool run(const TWIDDLE_ROM& rom) override;

private:
    template <typename Acc> void dispatch(const TWIDDLE_ROM& rom, R2_DIT_PE& pe);
    template <typename Acc, bool Round, bool Bfp>
    void run_stages(const TWIDDLE_ROM& rom, R2_DIT_PE& pe);
    const double* fp_twiddles(const TWIDDLE_ROM& rom, bool forward);
    template <typename Acc, bool Round, bool Bfp>
    int64_t int_stage(R2_DIT_PE& pe, const double* sr, const double* si, double* dr, double* di,
        int t, int s, const TWIDDLE_ROM& rom);

    std::vector<double> fp_twiddles_[2]; // per direction (inverse, forward)
    int32_t fp_twiddles_nfft_[2] = { -1, -1 };
    std::unique_ptr<kfft_raw::CRaw[]> twiddles_;
    std::unique_ptr<double[]> alt_re_, alt_im_; // the other memory of the double stages
};

#endif // KFFT_ENGINE_R2_H
