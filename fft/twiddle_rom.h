// Quantised twiddle table of the FFT engines.
#ifndef KFFT_TWIDDLE_ROM_H
#define KFFT_TWIDDLE_ROM_H

#include <cstdint>
#include <vector>

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
    std::vector<kfft_raw::CRaw> raw_; // entries 0..2^(M-2) as raw integers of the format
};

#endif // KFFT_TWIDDLE_ROM_H
