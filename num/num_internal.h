// num_internal -- helpers shared by the KNum and KFix implementations (and their tests): format
// checks, 128-bit short-path helpers and the exact kernels that write into a preformatted value.
#ifndef KFFT_NUM_INTERNAL_H
#define KFFT_NUM_INTERNAL_H

#include "knum.h"
#include "num_digits.h"
#include "num_small.h"

#include <string>
#include <vector>

namespace num_internal {

// Returns w when 0 <= w <= 4096; a negative width throws KNumBadException, a larger one
// KNumException::tooManyBits.
int32_t checkWidth(int64_t w);
// Type 1..2, quant 1..4, ovfl 1..3, else KNumBadException.
void checkModes(int32_t type, int32_t quant, int32_t ovfl);

// View of a value's slots, extended beyond the top by its sign.
num_digits::View view(const KNum& v);
// Whether the value of v fits a format of width w and the given type.
bool fitsFormat(const KNum& v, int32_t w, int32_t type);
// buf[0 .. v.nwords) = |v|.
void magnitude(num_digits::slot_t* buf, const KNum& v);
// floor(ax) modulo 2^width into v (ax finite, >= 0).
void storeIntegerPart(KNum& v, double ax);

// Magnitude division over n slots: q = a / b, rem = a % b (rem has n + 1 slots).
void divmodMag(num_digits::slot_t* q, num_digits::slot_t* rem, const num_digits::slot_t* a,
    const num_digits::slot_t* b, int n);

// Quantise the value s with binary point fs into t's format, t's binary point being f (KFix
// assignment). The short path takes s as an exact 128-bit value with its width.
void convert(KNum& t, int32_t f, const KNum& s, int32_t fs);

std::string magToBase(std::vector<num_digits::slot_t> mag, int32_t base);
std::string baseSuffix(int32_t base);

} // namespace num_internal

#endif // KFFT_NUM_INTERNAL_H
