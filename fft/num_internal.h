// num_internal -- helpers shared by the KNum and KFix implementations (and their tests): format
// checks, 128-bit short-path helpers and the exact kernels that write into a preformatted value.
#ifndef KFFT_NUM_INTERNAL_H
#define KFFT_NUM_INTERNAL_H

#include "knum.h"
#include "num_digits.h"

#include <string>
#include <vector>

namespace num_internal {

using i128 = __int128;
using u128 = unsigned __int128;

[[noreturn]] void throwBad();
// Returns w when 0 <= w <= 4096; a negative width throws KNumBadException, a larger one
// KNumException::tooManyBits.
int32_t checkWidth(int64_t w);
// Type 1..2, quant 1..4, ovfl 1..3, else KNumBadException.
void checkModes(int32_t type, int32_t quant, int32_t ovfl);

// Whether the exact value v fits a format of width w (w <= 128).
bool fits128(i128 v, int32_t w, bool isSigned);
// Bit patterns of the largest and smallest values of a format of width w <= 128.
u128 maxValue128(int32_t w, bool isSigned);
u128 minValue128(int32_t w, bool isSigned);

// View of a value's slots, extended beyond the top by its sign.
num_digits::View view(const KNum& v);
// Whether the value of v fits a format of width w and the given type.
bool fitsFormat(const KNum& v, int32_t w, int32_t type);
// buf[0 .. v.nwords) = |v|.
void magnitude(num_digits::slot_t* buf, const KNum& v);
// Rounding decision for dropped bits: hi = highest dropped bit, lower = any lower dropped bit,
// keptLow = lowest kept bit, neg = the value is negative.
bool roundUp(int32_t quant, bool neg, int hi, bool lower, int keptLow);
// floor(ax) modulo 2^width into v (ax finite, >= 0).
void storeIntegerPart(KNum& v, double ax);

// r = (a << -posA) +/- (b << -posB), operands sign-extended; r preformatted and wide enough
// for the exact result (posA, posB <= 0 shift left; positive positions take bits from there).
void addInto(KNum& r, const KNum& a, long posA, const KNum& b, long posB, bool subtract);
// r = a * b exactly; r preformatted and wide enough.
void mulInto(KNum& r, const KNum& a, const KNum& b);
// Magnitude division over n slots: q = a / b, rem = a % b (rem has n + 1 slots).
void divmodMag(num_digits::slot_t* q, num_digits::slot_t* rem, const num_digits::slot_t* a,
    const num_digits::slot_t* b, int n);

// Quantise the value s with binary point fs into t's format, t's binary point being f (KFix
// assignment). The short path takes s as an exact 128-bit value with its width.
void convert(KNum& t, int32_t f, const KNum& s, int32_t fs);
void convertSmall(KNum& t, int32_t f, i128 s, int32_t ws, int32_t fs);
void convertGeneric(KNum& t, int32_t f, const KNum& s, int32_t fs);

std::string magToBase(std::vector<num_digits::slot_t> mag, int32_t base);
std::string baseSuffix(int32_t base);

} // namespace num_internal

#endif // KFFT_NUM_INTERNAL_H
