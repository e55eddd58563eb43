// KFix -- fixed-point value: a KNum whose real value is its integer times 2^-binpt, with a
// shadow double and validity flags; KFixComplex -- a pair (re, im) of KFix.
//
// Arithmetic between values is exact and yields wider formats; precision and range are lost
// only when a value is assigned into an existing KFix (which keeps its format), re-formatted
// or shifted in place, by that value's quantisation and overflow modes.
#ifndef KFFT_KFIX_H
#define KFFT_KFIX_H

#include "knum.h"

#include <iosfwd>
#include <string>

class KFix : public KNum {
public:
    int32_t binpt;        // fraction bits; may be negative or exceed width
    double dbl;           // shadow value: the same computation in double precision
    int32_t valid;        // cleared by assigning NaN unless always_valid
    int32_t assigned;     // the value holds a number; cleared by assigning NaN
    int32_t known;        // the numeric value is known; toDouble needs valid and known
    int32_t always_valid; // validity cannot be lost
    int32_t is_bool;      // boolean: width 1, binpt 0, UNSIGNED

    static constexpr int32_t NUM_TEMPS = 8;

    // Width 0, binpt 0, value and dbl 0.
    KFix();
    // Integer v with binpt f and automatic width: f + the automatic width of v (KNum), value
    // v (bits shifted left by f); dbl = v. For f < 0 the bits are v shifted right by -f,
    // rounded by quant, in max(f + automatic width, 1) bits (2 when SIGNED).
    KFix(int32_t v, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    // Integer v with explicit width w and binpt f: for f < 0 v is first shifted right
    // (arithmetically) by -f; the low bits of v fill the width (see KNum), then for f > 0 the
    // value is shifted left by f under ovfl. dbl = v.
    KFix(int32_t v, int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    // Double x quantised into the given format (see operator=(double)); dbl = x.
    KFix(double x, int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    // Double x in an automatic format: binpt = the fraction bits x needs (smallest k >= 0 with
    // x * 2^k an integer), width = automatic width of x * 2^binpt (KNum). NaN and infinities
    // give an invalid value of width 0.
    KFix(double x, int32_t type, int32_t quant, int32_t ovfl);
    // Integer KNum with binpt 0; dbl = its value.
    explicit KFix(const KNum& n);
    // '0'/'1' text (see KNum) with binpt f; dbl = its value.
    KFix(const char* bits, int32_t binpt, int32_t type);
    // Boolean: width 1, binpt 0, UNSIGNED, is_bool set.
    explicit KFix(bool b);
    explicit KFix(int32_t) = delete; // use KFix(v, binpt, type, quant, ovfl)
    explicit KFix(double) = delete;  // use KFix(x, type, quant, ovfl)
    // Copy of format, value, dbl and flags; scratch values are not copied.
    KFix(const KFix& src);
    KFix(KFix&& src) noexcept;
    // Copy re-formatted by setFormat.
    KFix(const KFix& src, int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    ~KFix();

    // Quantise src into this format (alignment of the binary points, rounding by this quant,
    // overflow by this ovfl, status bit 0 on overflow) and take src's dbl and flags. The
    // format never changes. Overflow under RAISE throws Overflow "during convert" (+-1) or, for
    // a round-up past the largest value, "Overflow on incr".
    KFix& operator=(const KFix& src);
    // KNum source with binpt 0.
    KFix& operator=(const KNum& src);
    // x * 2^binpt rounded by quant, overflow by ovfl (KNum assignment rules); dbl = x; flags
    // set. NaN: value 0, assigned and known cleared, valid cleared unless always_valid.
    KFix& operator=(double x);
    // 0 clears the value (dbl 0, flags set); other integers as doubles.
    KFix& operator=(int32_t v);
    // 1 or 0 in the lowest bit (the value's integer 1 or 0), dbl 1.0 or 0.0, flags set.
    KFix& operator=(bool b);

    // Re-quantise into a new format: widen, retype, shift by the change of binpt (rounding by
    // quant when bits are dropped, overflow by ovfl when bits are lost at the top), shrink,
    // retype; dbl unchanged. A boolean accepts only (1, 0, ...) and otherwise throws
    // KNumException::UnimplementedSpec.
    void setFormat(int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    // The format of a template: its five values, then its boolean and always_valid properties.
    void setFormat(const KFix& tmpl);
    // binpt += n and dbl *= 2^-n; the bits are unchanged (the value is divided by 2^n).
    void scale(int32_t n);

    // In-place, format kept: exact result assigned back into this format.
    KFix& operator+=(const KFix& b);
    KFix& operator-=(const KFix& b);
    KFix& operator*=(const KFix& b);
    // Remainder of the exact values with the sign of the dividend; zero divisor throws
    // IllegalIntArg("a", 0). dbl = fmod of the shadows.
    KFix& operator%=(const KFix& b);
    // Bits shifted right by n, rounded by quant (value divided by 2^n at this resolution);
    // dbl scaled. n < 0 shifts left.
    KFix& operator>>=(int32_t n);
    // Bits shifted left by n under ovfl; dbl scaled. n < 0 shifts right.
    KFix& operator<<=(int32_t n);

    // In-format operations: the exact result of the operands quantised into this format;
    // dbl and flags from the operands.
    void add(const KFix& a, const KFix& b);
    void sub(const KFix& a, const KFix& b);
    void neg(const KFix& a);
    void mult(const KFix& a, const KFix& b);
    // Bitwise on the two's complement bits aligned to a common format (booleans give 1 bit).
    void bitAnd(const KFix& a, const KFix& b);
    void bitOr(const KFix& a, const KFix& b);
    void bitXor(const KFix& a, const KFix& b);
    void bitNot(const KFix& a);
    // KNum negation in place (this format and modes), dbl negated.
    void negate();

    // Exact comparison: negative, zero or positive (validity ignored).
    static int32_t compare(const KFix& a, const KFix& b);

    // Value as a double (nearest, ties to even) when valid and known, else NaN.
    double toDouble() const;

    // "Bool", or "Fix_%d_%d%s" / "UFix_%d_%d%s" with width, binpt and "v" unless always_valid.
    std::string typeName() const;
    // "Unsigned " for unsigned values, then "KFix[width,binpt] '<bits>'" with a '.' before the
    // last binpt bits (sign bits pad when binpt > width); all 'X' when invalid or unknown.
    std::string toString() const;
    // Value in base 2..32 ("0123456789ABCDEFGHIJKLMNOPQRSTUV"): '-', integer digits, and for
    // binpt > 0 a '.' and fraction digits until the expansion ends, at most binpt of them
    // (truncated; exact in even bases); "<base%d>" appended unless base is 10. "X" when invalid
    // or unknown. Other bases throw IllegalIntArg("base", b).
    std::string toString(int32_t base) const;

    // Internal: sets the whole format (value 0, flags set, dbl 0) without re-quantising.
    void initFormat(int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);

private:
    KFix* temps[NUM_TEMPS]; // scratch values of the in-format operations

    KFix& scratch(int32_t i, int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    void setFlags(int32_t v, int32_t a, int32_t k);
    template <typename Op>
    void bitwiseOp(const KFix& a, const KFix& b, Op op);
    template <typename Exact>
    void inFormat(int64_t width, int64_t binpt, int32_t type, const KFix& a, const KFix* b, Exact exact);
};

// Full-precision operators; results of +, - and * and of negation use TRUNCATE and WRAP, the
// shifts keep a's modes; dbl from the operands' dbl, flags the conjunction of theirs.
//  a + b : SIGNED if either is; binpt max(fa, fb); width max(fa, fb) + max(wa - fa, wb - fb) + 1
//          (+1 if SIGNED)
//  a - b : SIGNED; binpt max(fa, fb); width max(fa, fb) + max(wa - fa, wb - fb) + 2
//  -a    : SIGNED; binpt fa; width wa + 1
//  a * b : SIGNED if either is; binpt fa + fb; width wa + wb (+1 if SIGNED)
//  a >> n: a's type; binpt fa + n; width wa + n (same bits: the value divided by 2^n)
//  a << n: a's type; binpt fa; width wa + n (the value multiplied by 2^n)
// (a >> n with n < 0 is a << -n and the reverse.) Widths above 4096 throw tooManyBits.
KFix operator+(const KFix& a, const KFix& b);
KFix operator-(const KFix& a, const KFix& b);
KFix operator-(const KFix& a);
KFix operator*(const KFix& a, const KFix& b);
KFix operator>>(const KFix& a, int32_t n);
KFix operator<<(const KFix& a, int32_t n);

// Exact comparisons; false whenever either operand lacks valid or known.
bool operator==(const KFix& a, const KFix& b);
bool operator!=(const KFix& a, const KFix& b);
bool operator<(const KFix& a, const KFix& b);
bool operator>(const KFix& a, const KFix& b);
bool operator<=(const KFix& a, const KFix& b);
bool operator>=(const KFix& a, const KFix& b);

// Writes toString().
std::ostream& operator<<(std::ostream& os, const KFix& v);

class KFixComplex {
public:
    KFix re;
    KFix im;

    KFixComplex();
    // Copies of the two values (formats included).
    KFixComplex(const KFix& re, const KFix& im);
    KFixComplex(const KFixComplex& src) = default;
    KFixComplex(KFixComplex&& src) noexcept = default;
    ~KFixComplex() = default;
    // Part by part: each part quantised into the target part's format.
    KFixComplex& operator=(const KFixComplex& src);
    // Both parts take the format of the template (KFix::setFormat(tmpl)).
    void setFormat(const KFix& tmpl);
    void setFormat(int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
};

// Exact operations with one common format for both parts, TRUNCATE and WRAP:
//  a + b: SIGNED if any part is; binpt = max binpt of the parts; width = binpt + max integer
//         bits + 1 (+1 if SIGNED)
//  a - b: SIGNED; binpt = max; width = binpt + max integer bits + 2
//  a * b: SIGNED; binpt = a.binpt + b.binpt; width = a.width + b.width + 2, taking the
//         format of the real parts (parts of differing formats use the larger fraction and
//         integer bits of each operand);
//         re = a.re * b.re - a.im * b.im, im = a.re * b.im + a.im * b.re
KFixComplex operator+(const KFixComplex& a, const KFixComplex& b);
KFixComplex operator-(const KFixComplex& a, const KFixComplex& b);
KFixComplex operator*(const KFixComplex& a, const KFixComplex& b);

#endif // KFFT_KFIX_H
