// KFix -- fixed-point value: a KNum whose real value is its integer times 2^-binpt, with a
// shadow double and validity flags; KFixComplex -- a pair (re, im) of KFix.
//
// Arithmetic between values is exact and yields wider formats; precision and range are lost
// only when a value is assigned into an existing KFix (which keeps its format), re-formatted
// or shifted in place, by that value's quantisation and overflow modes.
//
// Assignment never changes the target's format: a default-constructed KFix has width 0 and
// holds 0 whatever is assigned to it. Give a register its format first (KFix::zero, a
// constructor with a format, copy construction or setFormat), then assign into it. The
// in-place forms (add, sub, mult, assignShifted) give the same results as assigning the exact
// operator results, without the temporaries; values of up to 128 bits never use the heap.
#ifndef KFFT_KFIX_H
#define KFFT_KFIX_H

#include "knum.h"
#include "num_small.h"

#include <iosfwd>
#include <string>

class KFix : public KNum {
public:
    int32_t binpt; // fraction bits; may be negative or exceed width
    double dbl; // shadow value: the same computation in double precision
    int32_t valid; // cleared by assigning NaN unless always_valid
    int32_t assigned; // the value holds a number; cleared by assigning NaN
    int32_t known; // the numeric value is known; toDouble needs valid and known
    int32_t always_valid; // validity cannot be lost
    int32_t is_bool; // boolean: width 1, binpt 0, UNSIGNED

    static constexpr int32_t NUM_TEMPS = 8;

    // Zero in the given format (flags set, dbl 0).
    static KFix zero(int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl)
    {
        return KFix(RawFormat {}, width, binpt, type, quant, ovfl);
    }

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
    explicit KFix(double) = delete; // use KFix(x, type, quant, ovfl)
    // Copy of format, value, dbl and flags; scratch values are not copied.
    KFix(const KFix& src);
    KFix(KFix&& src) noexcept;
    // Copy re-formatted by setFormat.
    KFix(const KFix& src, int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    ~KFix()
    {
        if (temps)
            freeTemps();
    }

    // Quantise src into this format (alignment of the binary points, rounding by this quant,
    // overflow by this ovfl) and take src's dbl and flags (valid stays set when always_valid).
    // The format never changes. Status bit 0 is cleared, then set when the value or its
    // round-up overflows; under WRAP no overflow test is made and the low bits remain.
    // Overflow under RAISE throws Overflow "during convert" (-1 for a negative source, 1
    // otherwise) or, for a round-up past the largest value, "Overflow on incr" (0).
    // CONVERGENT_NOSAT does not round up into the largest signed code 0111...1 when this format
    // has no more integer bits than src.
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
    // *this = a >> n (n < 0: a << -n) without forming the shifted temporary.
    void assignShifted(const KFix& a, int32_t n);
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
    // Scratch values of the in-format operations: a block of NUM_TEMPS owned pointers,
    // allocated on first use (null until then), each value created on demand.
    KFix** temps;

    KFix(RawFormat, int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
        : KNum(RawFormat {}, w, t, q, o)
        , binpt(f)
        , dbl(0.0)
        , valid(1)
        , assigned(1)
        , known(1)
        , always_valid(0)
        , is_bool(0)
        , temps(nullptr)
    {
    }
    void freeTemps();
    KFix& scratch(
        int32_t i, int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);
    // Assignment semantics of the flags: validity is kept when always_valid.
    void setFlags(int32_t v, int32_t a, int32_t k)
    {
        valid = (v || always_valid) ? 1 : 0;
        assigned = a ? 1 : 0;
        known = k ? 1 : 0;
    }
    template <typename Op> void bitwiseOp(const KFix& a, const KFix& b, Op op);
    template <typename Exact>
    void inFormat(
        int64_t width, int64_t binpt, int32_t type, const KFix& a, const KFix* b, Exact exact);
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

// Exact comparisons (==, !=, <, >, <=, >=, defined below); false whenever either operand
// lacks valid or known.

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
    // Both parts zero in the given format.
    static KFixComplex zero(int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl)
    {
        return KFixComplex(Raw {}, width, binpt, type, quant, ovfl);
    }
    // Both parts take the format of the template (KFix::setFormat(tmpl)).
    void setFormat(const KFix& tmpl);
    void setFormat(int32_t width, int32_t binpt, int32_t type, int32_t quant, int32_t ovfl);

    // In-place forms of *this = a + b, a - b, a * b and of each part = part >> n: the same
    // results, without the exact temporaries.
    void add(const KFixComplex& a, const KFixComplex& b);
    void sub(const KFixComplex& a, const KFixComplex& b);
    void mult(const KFixComplex& a, const KFixComplex& b);
    void assignShifted(const KFixComplex& a, int32_t n);

private:
    // add (Sub false) and sub (Sub true).
    template <bool Sub> void addSub(const KFixComplex& a, const KFixComplex& b);

    struct Raw { };
    KFixComplex(Raw, int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
        : re(KFix::zero(w, f, t, q, o))
        , im(KFix::zero(w, f, t, q, o))
    {
    }
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

// ---------------------------------------------------------------------------------------------
// Inline short paths (values of at most 127 bits); wider values take the out-of-line kernels.

inline KFix& KFix::operator=(const KFix& src)
{
    if (this == &src)
        return *this;
    const int64_t d = (int64_t)src.binpt - binpt;
    if (quant == TRUNCATE && ovfl == WRAP && width <= 64 && src.width <= 63 && d >= 0 && d <= 63) {
        // The usual register transfer: floor and keep the low bits.
        status &= ~1u;
        set64((uint64_t)(src.get64() >> d));
    } else if (num_internal::convertible64(*this, binpt, src, src.binpt))
        num_internal::convert64(*this, binpt, src.get64(), src.width, src.binpt);
    else if (isSmall() && src.isSmall())
        num_internal::convertSmall(*this, binpt, src.get128(), src.width, src.binpt);
    else
        num_internal::convertGeneric(*this, binpt, src, src.binpt);
    valid = (src.valid || always_valid) ? 1 : 0;
    assigned = src.assigned;
    known = src.known;
    dbl = src.dbl;
    return *this;
}

namespace num_internal {

// r = a +/- b aligned to r's binary point (r preformatted for the exact result).
inline void sumInto(KFix& r, const KFix& a, const KFix& b, bool subtract)
{
    const int64_t sa = (int64_t)r.binpt - a.binpt, sb = (int64_t)r.binpt - b.binpt;
    if (r.width <= 63 && a.width <= 63 && b.width <= 63) {
        // sa, sb < r.width <= 63; the exact result fits 63 bits.
        const uint64_t x = (uint64_t)a.get64() << sa, y = (uint64_t)b.get64() << sb;
        r.set64(subtract ? x - y : x + y);
    } else if (r.width <= KNum::SMALL_WIDTH && a.isSmall() && b.isSmall()) {
        // sa, sb < r.width: the format holds every aligned operand.
        const u128 x = (u128)a.get128() << sa, y = (u128)b.get128() << sb;
        r.set128(subtract ? x - y : x + y);
    } else {
        addInto(r, a, -(long)sa, b, -(long)sb, subtract);
    }
}

inline void mulIntoFix(KFix& r, const KFix& a, const KFix& b)
{
    if (r.width <= KNum::SMALL_WIDTH && a.isSmall() && b.isSmall())
        r.set128((u128)a.get128() * (u128)b.get128());
    else
        mulInto(r, a, b);
}

inline int64_t intBits(const KFix& a) { return (int64_t)a.width - a.binpt; }

inline void conjFlags(KFix& r, const KFix& a, const KFix& b)
{
    r.valid = a.valid && b.valid;
    r.assigned = a.assigned && b.assigned;
    r.known = a.known && b.known;
}

inline KFix sumOrDiff(const KFix& a, const KFix& b, bool subtract)
{
    const int32_t t = (subtract || a.type == SIGNED || b.type == SIGNED) ? SIGNED : UNSIGNED;
    const int32_t f = a.binpt > b.binpt ? a.binpt : b.binpt;
    const int64_t ia = intBits(a), ib = intBits(b);
    const int64_t w = f + (ia > ib ? ia : ib) + (t == SIGNED ? 2 : 1);
    KFix r = KFix::zero(widthArg(w), f, t, TRUNCATE, WRAP);
    sumInto(r, a, b, subtract);
    r.dbl = subtract ? a.dbl - b.dbl : a.dbl + b.dbl;
    conjFlags(r, a, b);
    return r;
}

} // namespace num_internal

inline KFix operator+(const KFix& a, const KFix& b) { return num_internal::sumOrDiff(a, b, false); }

inline KFix operator-(const KFix& a, const KFix& b) { return num_internal::sumOrDiff(a, b, true); }

inline KFix operator*(const KFix& a, const KFix& b)
{
    const int32_t t = (a.type == SIGNED || b.type == SIGNED) ? SIGNED : UNSIGNED;
    KFix r = KFix::zero(num_internal::widthArg((int64_t)a.width + b.width + (t == SIGNED ? 1 : 0)),
        num_internal::binptArg((int64_t)a.binpt + b.binpt), t, TRUNCATE, WRAP);
    num_internal::mulIntoFix(r, a, b);
    r.dbl = a.dbl * b.dbl;
    num_internal::conjFlags(r, a, b);
    return r;
}

namespace num_internal {
KFix shiftWide(const KFix& a, int32_t n, bool right);
int32_t compareWide(const KFix& a, const KFix& b);
KFixComplex complexWide(const KFixComplex& a, const KFixComplex& b, int op);
} // namespace num_internal

namespace num_internal {

// a >> n (right) or a << n for 0 <= n and a.width + n <= 127.
inline KFix shiftSmall(const KFix& a, int32_t n, bool right)
{
    KFix r = KFix::zero(
        a.width + n, right ? binptArg((int64_t)a.binpt + n) : a.binpt, a.type, a.quant, a.ovfl);
    r.set128((u128)a.get128() << (right ? 0 : n));
    r.dbl = scale2(a.dbl, right ? -(int64_t)n : (int64_t)n);
    conjFlags(r, a, a);
    return r;
}

} // namespace num_internal

inline KFix operator>>(const KFix& a, int32_t n)
{
    if (n < 0 || !a.isSmall() || a.width + (int64_t)n > KNum::SMALL_WIDTH)
        return num_internal::shiftWide(a, n, true);
    return num_internal::shiftSmall(a, n, true);
}

inline KFix operator<<(const KFix& a, int32_t n)
{
    if (n < 0 || !a.isSmall() || a.width + (int64_t)n > KNum::SMALL_WIDTH)
        return num_internal::shiftWide(a, n, false);
    return num_internal::shiftSmall(a, n, false);
}

inline int32_t KFix::compare(const KFix& a, const KFix& b)
{
    const int32_t f = a.binpt > b.binpt ? a.binpt : b.binpt;
    const int64_t sa = (int64_t)f - a.binpt, sb = (int64_t)f - b.binpt;
    if (a.width + sa > SMALL_WIDTH || b.width + sb > SMALL_WIDTH)
        return num_internal::compareWide(a, b);
    const num_internal::i128 x = (num_internal::i128)((num_internal::u128)a.get128() << sa);
    const num_internal::i128 y = (num_internal::i128)((num_internal::u128)b.get128() << sb);
    return (int32_t)(x > y) - (int32_t)(x < y);
}

namespace num_internal {
inline bool comparable(const KFix& a, const KFix& b)
{
    return a.valid && a.known && b.valid && b.known;
}
} // namespace num_internal

inline bool operator==(const KFix& a, const KFix& b)
{
    return num_internal::comparable(a, b) && KFix::compare(a, b) == 0;
}
inline bool operator!=(const KFix& a, const KFix& b)
{
    return num_internal::comparable(a, b) && KFix::compare(a, b) != 0;
}
inline bool operator<(const KFix& a, const KFix& b)
{
    return num_internal::comparable(a, b) && KFix::compare(a, b) < 0;
}
inline bool operator>(const KFix& a, const KFix& b)
{
    return num_internal::comparable(a, b) && KFix::compare(a, b) > 0;
}
inline bool operator<=(const KFix& a, const KFix& b)
{
    return num_internal::comparable(a, b) && KFix::compare(a, b) <= 0;
}
inline bool operator>=(const KFix& a, const KFix& b)
{
    return num_internal::comparable(a, b) && KFix::compare(a, b) >= 0;
}

namespace num_internal {

inline bool sameFormat(const KFix& x, const KFix& y)
{
    return x.width == y.width && x.binpt == y.binpt && x.type == y.type;
}

// Sum or difference of complex values whose parts share one format per operand.
inline KFixComplex complexSumDiffSame(const KFixComplex& a, const KFixComplex& b, bool subtract)
{
    const int32_t t = (subtract || a.re.type == SIGNED || b.re.type == SIGNED) ? SIGNED : UNSIGNED;
    const int32_t f = a.re.binpt > b.re.binpt ? a.re.binpt : b.re.binpt;
    const int64_t ia = intBits(a.re), ib = intBits(b.re);
    const int32_t w = widthArg(f + (ia > ib ? ia : ib) + (t == SIGNED ? 2 : 1));
    KFixComplex r = KFixComplex::zero(w, f, t, TRUNCATE, WRAP);
    sumInto(r.re, a.re, b.re, subtract);
    sumInto(r.im, a.im, b.im, subtract);
    r.re.dbl = subtract ? a.re.dbl - b.re.dbl : a.re.dbl + b.re.dbl;
    r.im.dbl = subtract ? a.im.dbl - b.im.dbl : a.im.dbl + b.im.dbl;
    conjFlags(r.re, a.re, b.re);
    conjFlags(r.im, a.im, b.im);
    return r;
}

inline KFixComplex complexSumDiff(const KFixComplex& a, const KFixComplex& b, bool subtract)
{
    if (!sameFormat(a.re, a.im) || !sameFormat(b.re, b.im))
        return complexWide(a, b, subtract ? 1 : 0);
    return complexSumDiffSame(a, b, subtract);
}

// Product of complex values of at most 127-bit parts sharing one format per operand.
inline KFixComplex complexProductSmall(const KFixComplex& a, const KFixComplex& b)
{
    KFixComplex r = KFixComplex::zero(a.re.width + b.re.width + 2,
        binptArg((int64_t)a.re.binpt + b.re.binpt), SIGNED, TRUNCATE, WRAP);
    if (a.re.width + b.re.width <= 62) {
        const int64_t ar = a.re.get64(), ai = a.im.get64(), br = b.re.get64(), bi = b.im.get64();
        r.re.set64((uint64_t)(ar * br - ai * bi));
        r.im.set64((uint64_t)(ar * bi + ai * br));
    } else {
        const u128 ar = (u128)a.re.get128(), ai = (u128)a.im.get128();
        const u128 br = (u128)b.re.get128(), bi = (u128)b.im.get128();
        r.re.set128(ar * br - ai * bi);
        r.im.set128(ar * bi + ai * br);
    }
    r.re.dbl = a.re.dbl * b.re.dbl - a.im.dbl * b.im.dbl;
    r.im.dbl = a.re.dbl * b.im.dbl + a.im.dbl * b.re.dbl;
    const int32_t v = a.re.valid && a.im.valid && b.re.valid && b.im.valid;
    const int32_t as = a.re.assigned && a.im.assigned && b.re.assigned && b.im.assigned;
    const int32_t k = a.re.known && a.im.known && b.re.known && b.im.known;
    r.re.valid = r.im.valid = v;
    r.re.assigned = r.im.assigned = as;
    r.re.known = r.im.known = k;
    return r;
}

} // namespace num_internal

inline KFixComplex operator+(const KFixComplex& a, const KFixComplex& b)
{
    return num_internal::complexSumDiff(a, b, false);
}

inline KFixComplex operator-(const KFixComplex& a, const KFixComplex& b)
{
    return num_internal::complexSumDiff(a, b, true);
}

inline KFixComplex operator*(const KFixComplex& a, const KFixComplex& b)
{
    using namespace num_internal;
    if (!sameFormat(a.re, a.im) || !sameFormat(b.re, b.im) || !a.re.isSmall() || !b.re.isSmall()
        || a.re.width + b.re.width + 2 > KNum::SMALL_WIDTH)
        return complexWide(a, b, 2);
    return complexProductSmall(a, b);
}

inline void KFix::assignShifted(const KFix& a, int32_t n)
{
    if (n >= 0 && n <= 64 && isSmall() && a.width + n <= SMALL_WIDTH) {
        const int32_t v = a.valid, as = a.assigned, k = a.known;
        const double d = num_internal::scale2(a.dbl, -(int64_t)n);
        num_internal::convertExact(*this, binpt, a.get128(), a.width + n, a.binpt + n);
        dbl = d;
        setFlags(v, as, k);
        return;
    }
    *this = a >> n;
}

inline void KFixComplex::assignShifted(const KFixComplex& a, int32_t n)
{
    re.assignShifted(a.re, n);
    im.assignShifted(a.im, n);
}

template <bool Sub> inline void KFixComplex::addSub(const KFixComplex& a, const KFixComplex& b)
{
    using namespace num_internal;
    const auto exact = [&] { *this = Sub ? a - b : a + b; };
    if (!sameFormat(a.re, a.im) || !sameFormat(b.re, b.im) || !re.isSmall() || !im.isSmall()) {
        exact();
        return;
    }
    // A difference is signed; a sum is signed when either operand is.
    const bool is_signed = Sub || a.re.type == SIGNED || b.re.type == SIGNED;
    const int32_t f = a.re.binpt > b.re.binpt ? a.re.binpt : b.re.binpt;
    const int64_t ia = intBits(a.re), ib = intBits(b.re);
    const int64_t w = f + (ia > ib ? ia : ib) + (is_signed ? 2 : 1);
    if (w > KNum::SMALL_WIDTH || !a.re.isSmall() || !b.re.isSmall()) {
        exact();
        return;
    }
    const int64_t sa = (int64_t)f - a.re.binpt, sb = (int64_t)f - b.re.binpt;
    i128 xr, xi;
    if (w <= 63 && a.re.width <= 63 && b.re.width <= 63) {
        const uint64_t ar = (uint64_t)a.re.get64() << sa, br = (uint64_t)b.re.get64() << sb;
        const uint64_t ai = (uint64_t)a.im.get64() << sa, bi = (uint64_t)b.im.get64() << sb;
        xr = (int64_t)(Sub ? ar - br : ar + br);
        xi = (int64_t)(Sub ? ai - bi : ai + bi);
    } else {
        const u128 ar = (u128)a.re.get128() << sa, br = (u128)b.re.get128() << sb;
        const u128 ai = (u128)a.im.get128() << sa, bi = (u128)b.im.get128() << sb;
        xr = (i128)(Sub ? ar - br : ar + br);
        xi = (i128)(Sub ? ai - bi : ai + bi);
    }
    const double dr = Sub ? a.re.dbl - b.re.dbl : a.re.dbl + b.re.dbl;
    const double di = Sub ? a.im.dbl - b.im.dbl : a.im.dbl + b.im.dbl;
    const int32_t vr = a.re.valid && b.re.valid, ar = a.re.assigned && b.re.assigned,
                  kr = a.re.known && b.re.known;
    const int32_t vi = a.im.valid && b.im.valid, ai = a.im.assigned && b.im.assigned,
                  ki = a.im.known && b.im.known;
    convertExact(re, re.binpt, xr, (int32_t)w, f);
    convertExact(im, im.binpt, xi, (int32_t)w, f);
    re.dbl = dr;
    im.dbl = di;
    re.valid = (vr || re.always_valid) ? 1 : 0;
    re.assigned = ar;
    re.known = kr;
    im.valid = (vi || im.always_valid) ? 1 : 0;
    im.assigned = ai;
    im.known = ki;
}

inline void KFixComplex::add(const KFixComplex& a, const KFixComplex& b) { addSub<false>(a, b); }

inline void KFixComplex::sub(const KFixComplex& a, const KFixComplex& b) { addSub<true>(a, b); }

inline void KFixComplex::mult(const KFixComplex& a, const KFixComplex& b)
{
    using namespace num_internal;
    if (!sameFormat(a.re, a.im) || !sameFormat(b.re, b.im) || !re.isSmall() || !im.isSmall()
        || !a.re.isSmall() || !b.re.isSmall() || a.re.width + b.re.width + 2 > KNum::SMALL_WIDTH) {
        *this = a * b;
        return;
    }
    const int32_t w = a.re.width + b.re.width + 2;
    const int32_t f = binptArg((int64_t)a.re.binpt + b.re.binpt);
    i128 xr, xi;
    if (a.re.width + b.re.width <= 62) {
        const int64_t ar = a.re.get64(), ai = a.im.get64(), br = b.re.get64(), bi = b.im.get64();
        xr = ar * br - ai * bi;
        xi = ar * bi + ai * br;
    } else {
        const u128 ar = (u128)a.re.get128(), ai = (u128)a.im.get128();
        const u128 br = (u128)b.re.get128(), bi = (u128)b.im.get128();
        xr = (i128)(ar * br - ai * bi);
        xi = (i128)(ar * bi + ai * br);
    }
    const double dr = a.re.dbl * b.re.dbl - a.im.dbl * b.im.dbl;
    const double di = a.re.dbl * b.im.dbl + a.im.dbl * b.re.dbl;
    const int32_t v = a.re.valid && a.im.valid && b.re.valid && b.im.valid;
    const int32_t as = a.re.assigned && a.im.assigned && b.re.assigned && b.im.assigned;
    const int32_t k = a.re.known && a.im.known && b.re.known && b.im.known;
    convertExact(re, re.binpt, xr, w, f);
    convertExact(im, im.binpt, xi, w, f);
    re.dbl = dr;
    im.dbl = di;
    re.valid = (v || re.always_valid) ? 1 : 0;
    im.valid = (v || im.always_valid) ? 1 : 0;
    re.assigned = im.assigned = as;
    re.known = im.known = k;
}

inline KFixComplex& KFixComplex::operator=(const KFixComplex& src)
{
    re = src.re;
    im = src.im;
    return *this;
}

#endif // KFFT_KFIX_H
