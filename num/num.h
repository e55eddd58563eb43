// num -- the FFT library's arbitrary-width fixed-point arithmetic: KNum (multi-word integer
// with rounding and overflow modes), KFix (fixed-point value) and KFixComplex. Include this.
#ifndef KFFT_NUM_H
#define KFFT_NUM_H

#include "kfix.h"
#include "knum.h"

#endif // KFFT_NUM_H
