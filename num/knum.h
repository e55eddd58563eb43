// KNum -- two's complement or unsigned integer of 0 to 4096 bits carrying its own rounding
// and overflow modes; the integer part of every FFT datapath value (KFix).
//
// Representation: 16-bit digits held in 32-bit slots, least significant slot first, so that a
// digit product plus two digits never overflows a slot. Values of up to KNum::INLINE_WORDS
// slots (128 bits) keep their slots inside the object; only wider values use the heap.
//
// Thread safety: none needed; a value belongs to one holder.
#ifndef KFFT_KNUM_H
#define KFFT_KNUM_H

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <new>
#include <string>

// Forces inlining of the few-instruction accessors of the short paths.
#define KNUM_HOT inline __attribute__((always_inline))

#ifndef __SIZEOF_INT128__
#error "KNum needs a compiler with a 128-bit integer type for its short paths"
#endif

// Signedness.
enum : int32_t { UNSIGNED = 1, SIGNED = 2 };
// Quantisation: floor, half away from zero, half to even, half to even without rounding up
// into the largest positive code (KFix assignment only; elsewhere as CONVERGENT).
enum : int32_t { TRUNCATE = 1, ROUND = 2, CONVERGENT = 3, CONVERGENT_NOSAT = 4 };
// Overflow: keep the low bits, clamp to the format's range, or throw KNumException::Overflow.
enum : int32_t { WRAP = 1, SATURATE = 2, RAISE = 3 };

// Exceptions of the arithmetic. Plain classes (not std::exception); catch KNumException& for all.
class KNumException {
public:
    virtual ~KNumException() = default;
    virtual const char* what() const { return "KNumException"; }
    class IllegalIntArg;
    class Overflow;
    class UnimplementedSpec;
    class tooManyBits;
};

// Bad argument: a constant text and the offending number.
class KNumException::IllegalIntArg : public KNumException {
public:
    IllegalIntArg(const char* text_, int32_t value_)
        : text(text_)
        , value(value_)
    {
    }
    const char* what() const override { return text; }
    const char* text;
    int32_t value;
};

// Overflow under RAISE: a constant text and a direction (-1 negative source, +1 positive, 0
// where the operation does not tell).
class KNumException::Overflow : public KNumException {
public:
    Overflow(const char* text_, int32_t value_)
        : text(text_)
        , value(value_)
    {
    }
    const char* what() const override { return text; }
    const char* text;
    int32_t value;
};

// Re-formatting a boolean KFix.
class KNumException::UnimplementedSpec : public KNumException {
public:
    const char* what() const override { return "UnimplementedSpec"; }
};

// A width above 4096 bits (more than 256 slots).
class KNumException::tooManyBits : public KNumException {
public:
    const char* what() const override { return "tooManyBits"; }
};

// std::bad_exception with the text "bad exception": a negative width (fewer than one slot)
// or a type, quantisation or overflow mode outside its range.
class KNumBadException : public std::bad_exception {
public:
    const char* what() const noexcept override { return "bad exception"; }
};

// std::bad_alloc with the text "bad allocation": slot or scratch storage unavailable.
class KNumBadAlloc : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "bad allocation"; }
};

class KNum {
public:
    // The mode names also at class scope (KNum::SIGNED, KFix::ROUND, ...).
    static constexpr int32_t UNSIGNED = ::UNSIGNED, SIGNED = ::SIGNED;
    static constexpr int32_t TRUNCATE = ::TRUNCATE, ROUND = ::ROUND, CONVERGENT = ::CONVERGENT,
                             CONVERGENT_NOSAT = ::CONVERGENT_NOSAT;
    static constexpr int32_t WRAP = ::WRAP, SATURATE = ::SATURATE, RAISE = ::RAISE;

    static constexpr int32_t MAX_WIDTH = 4096;
    static constexpr int32_t MAX_WORDS = 256;
    static constexpr int32_t INLINE_WORDS = 8;

    // Format and value. Read freely; change only through the member functions (resize,
    // assignment, shifts), which keep the invariants:
    //  - every slot < 2^16, the top slot < 2^topbits;
    //  - nwords = 1 for width 0, else (width - 1) / 16 + 1; topbits = 0 for width 0, else
    //    width mod 16, or 16 when that is 0;
    //  - bit i of the value is bit i % 16 of digits[i / 16]; for SIGNED bit width-1 is the sign.
    int32_t width; // 0 .. 4096
    int32_t type; // UNSIGNED or SIGNED
    int32_t quant; // TRUNCATE, ROUND, CONVERGENT, CONVERGENT_NOSAT
    int32_t ovfl; // WRAP, SATURATE, RAISE
    int32_t nwords; // number of slots, 1 .. 256
    int32_t topbits; // bits used in the top slot, 0 .. 16
    uint32_t* digits; // owned: the inline slots below, or heap slots for wide values
    uint32_t status; // bit 0: the last conversion into this value (from another KFix format
                     // or from a double) overflowed; cleared at the start of each one (KFix
                     // conversions under WRAP make no overflow test)

    // Top-slot tables indexed by topbits: mask 2^k - 1, sign bit 2^(k-1), carry bit 2^k.
    static const uint32_t TOP_MASK[17];
    static const uint32_t TOP_SIGN[17];
    static const uint32_t TOP_CARRY[17];
    static constexpr uint32_t ZERO_SLOTS[INLINE_WORDS] = {};

    // Width 0, UNSIGNED, TRUNCATE, WRAP, one zero slot.
    KNum()
        : width(0)
        , type(UNSIGNED)
        , quant(TRUNCATE)
        , ovfl(WRAP)
        , nwords(1)
        , topbits(0)
        , digits(inl_)
        , status(0)
        , cap_(INLINE_WORDS)
    {
        __builtin_memcpy(inl_, ZERO_SLOTS, sizeof inl_);
    }
    // Bits of v in a value of the given format (no overflow check). For widths above 32 the
    // bits above bit 31 copy bit 31 for SIGNED and are zero for UNSIGNED.
    KNum(int32_t v, int32_t width, int32_t type, int32_t quant, int32_t ovfl);
    // Automatic width: bit length of |v| (0 for 0), plus one when v < 0 or type is SIGNED;
    // then v is assigned (a negative v into UNSIGNED follows ovfl as a double assignment does).
    KNum(int32_t v, int32_t type, int32_t quant = TRUNCATE, int32_t ovfl = WRAP);
    // From '0'/'1' text, most significant first; any character other than '0' counts as 1.
    // Width = length, TRUNCATE, WRAP. A null pointer gives width 0.
    KNum(const char* bits, int32_t type);
    KNum(const std::string& bits, int32_t type);
    // From a double into the given format (rounded by quant, overflow by ovfl, see assign).
    KNum(double x, int32_t width, int32_t type, int32_t quant, int32_t ovfl);
    // From a double with automatic width: with e the frexp exponent of |x|, width = 1 if e < 1,
    // else e (+1 if SIGNED) for x >= 0, and for x < 0 e when |x| is a power of two, else e + 1.
    KNum(double x, int32_t type, int32_t quant = TRUNCATE, int32_t ovfl = WRAP);
    KNum(const KNum& src)
        : KNum()
    {
        if (src.nwords <= INLINE_WORDS) {
            width = src.width;
            type = src.type;
            quant = src.quant;
            ovfl = src.ovfl;
            nwords = src.nwords;
            topbits = src.topbits;
            __builtin_memcpy(inl_, src.digits, sizeof inl_); // slots above nwords are scratch
        } else {
            setFormatRaw(src.width, src.type, src.quant, src.ovfl);
            for (int32_t i = 0; i < nwords; ++i)
                digits[i] = src.digits[i];
        }
        status = src.status;
    }
    KNum(KNum&& src) noexcept;
    // Copy resized into width and type (0 = unchanged for type, quant, ovfl); see resize.
    KNum(const KNum& src, int32_t width, int32_t type, int32_t quant = 0, int32_t ovfl = 0);
    ~KNum()
    {
        if (digits != inl_)
            delete[] digits;
    }

    // Copies format and value (a KNum takes the format of what it is assigned).
    KNum& operator=(const KNum& src);
    KNum& operator=(KNum&& src) noexcept;
    // Keep the format; value = x rounded by quant, overflow by ovfl; see assign(double).
    KNum& operator=(double x);
    KNum& operator=(int32_t v);

    // Value x rounded by quant into this format. Overflow (|x| too large for the width, a
    // negative x into UNSIGNED, or a round-up past the largest value) sets status bit 0 and
    // follows ovfl: WRAP keeps the low bits of the rounded value, SATURATE clamps, RAISE throws
    // Overflow "KNum-assign-from-double saturated", "KNum-assign-from-double, negative to
    // unsigned" or "on decreasing resize". NaN gives 0 and sets status bit 0; +-infinity is an
    // overflow in its direction (WRAP gives 0).
    void assign(double x);
    // As assign((double)v), except that 0 clears the slots directly.
    void assign(int32_t v);

    // Bit i; i < 0 gives 0, i >= width the sign (the top bit for SIGNED, 0 for UNSIGNED).
    int32_t getBit(int32_t i) const;
    // Throws IllegalIntArg("index", i) for i outside 0..width-1, ("val", v) for v not 0/1.
    void setBit(int32_t i, int32_t v);
    // 1 for a negative SIGNED value of nonzero width, else 0.
    int32_t sign() const;
    bool isZero() const;
    void clear(); // value 0, format unchanged

    // Slot-wise operations into *this (formats must agree, else IllegalIntArg with the texts
    // of the library and 0). r.add(p, q): r = p + q mod 2^width (r, p, q same type and width).
    void add(const KNum& p, const KNum& q);
    void sub(const KNum& p, const KNum& q);
    // r = |p| * |q| with p and q read as unsigned bit patterns; r.width = p.width + q.width.
    void unsigned_mult(const KNum& p, const KNum& q);
    // Slot-wise and, or, xor, not; p, q and r of one width.
    void bitAnd(const KNum& p, const KNum& q);
    void bitOr(const KNum& p, const KNum& q);
    void bitXor(const KNum& p, const KNum& q);
    void bitNot(const KNum& p);
    // Compares the slots of *this and p (same width and type) from the top: 0 when equal, else
    // the difference of the first unequal slots (positive when *this is larger).
    int32_t unsigned_comp(const KNum& p) const;

    // Signed comparison of exact values: negative, zero or positive.
    static int32_t compare(const KNum& p, const KNum& q);

    // Two's complement negation in place. A nonzero UNSIGNED value is negated only under WRAP
    // (SATURATE gives 0, RAISE throws Overflow "negating unsigned KNum"); otherwise complement
    // and increment, so the most negative value overflows like an increment.
    void negate();
    // Add / subtract one. Overflow (SIGNED crossing the largest / smallest value, UNSIGNED
    // carrying out / borrowing): WRAP wraps, SATURATE clamps, RAISE throws Overflow
    // "Overflow on incr" / "Overflow on decr" (direction 0).
    void incr();
    void decr();
    // Shift left by n bits (n < 0 shifts right). Unless WRAP, losing significant bits
    // overflows: SATURATE clamps by the sign (unshifted), RAISE throws "during left shift"
    // with -1/+1. Shifting by width or more under WRAP gives 0.
    void shiftLeft(int32_t n);
    // Shift right by n bits (n < 0 shifts left), rounding the dropped bits by quant:
    // TRUNCATE floor, ROUND half away from zero, CONVERGENT(_NOSAT) half to even. The same rule
    // holds when every bit is shifted out (bits above the top read as the sign), so e.g. an
    // unsigned 7 of 3 bits shifted by 3 is 1 under CONVERGENT and -128 of 8 bits shifted by 8
    // is -1 under ROUND (-0.5 away from zero). The result always fits.
    void shiftRight(int32_t n);
    // d > 0: largest value of the format; d < 0: smallest (-2^(width-1) or 0); d = 0: zero.
    void saturate(int32_t d);
    // Change the format. 0 for type, quant or ovfl keeps it. New quant and ovfl govern the
    // change: growing sign-extends; a negative value retyped to UNSIGNED saturates to 0, throws
    // "negative value retyped to unsigned" or keeps the bits; shrinking a value that does not
    // fit clamps, throws "on decreasing resize" or keeps the low bits; an UNSIGNED value with
    // its top bit set retyped to SIGNED saturates to the largest value, throws "on unsigned to
    // signed" (direction 1) or keeps the bits. Width outside 0..4096: KNumBadException /
    // tooManyBits; a mode outside its range: KNumBadException.
    void resize(int32_t width, int32_t type = 0, int32_t quant = 0, int32_t ovfl = 0);
    // Nearest double of the value (sums of 16-bit digits, each step rounded by the FPU).
    double toDouble() const;

    // In-place operators: compute the full-precision result and resize it back into this
    // format (this value's ovfl decides overflow).
    KNum& operator+=(const KNum& q);
    KNum& operator-=(const KNum& q);
    KNum& operator*=(const KNum& q);
    // Quotient rounded by quant on the magnitudes (TRUNCATE towards zero, ROUND half away from
    // zero, CONVERGENT half to even); zero divisor throws IllegalIntArg("a", 0).
    KNum& operator/=(const KNum& q);
    // Remainder with the sign of the dividend (|r| < |q|); zero divisor throws ("a", 0).
    KNum& operator%=(const KNum& q);
    KNum& operator&=(const KNum& q);
    KNum& operator|=(const KNum& q);
    KNum& operator^=(const KNum& q);
    KNum& operator<<=(int32_t n)
    {
        shiftLeft(n);
        return *this;
    }
    KNum& operator>>=(int32_t n)
    {
        shiftRight(n);
        return *this;
    }
    KNum& operator++()
    {
        incr();
        return *this;
    }
    KNum& operator--()
    {
        decr();
        return *this;
    }

    // '0'/'1' text of width characters, most significant first ("" for width 0).
    std::string toString() const;
    // Digits in base 2..32 ("0123456789ABCDEFGHIJKLMNOPQRSTUV"), a leading '-' for negative
    // values, followed by "<base%d>" unless base is 10. Other bases: IllegalIntArg("base", b).
    std::string toString(int32_t base) const;
    // "Num_%d" (SIGNED) or "UNum_%d" with the width.
    std::string typeName() const;

    // Short paths: values of at most SMALL_WIDTH bits are read and written as 128-bit integers.
    static constexpr int32_t SMALL_WIDTH = 127;
    bool isSmall() const { return width <= SMALL_WIDTH; }
    // Exact value (sign-extended for SIGNED); requires isSmall(). Reads a fixed number of
    // slots (every value has at least INLINE_WORDS, all initialised) and masks by the width.
    KNUM_HOT __int128 get128() const
    {
        if (width <= 64) {
            const int64_t v = get64();
            return type == UNSIGNED ? (__int128)(uint64_t)v : (__int128)v;
        }
        const uint32_t* d = digits;
        const unsigned __int128 lo
            = (uint64_t)d[0] | (uint64_t)d[1] << 16 | (uint64_t)d[2] << 32 | (uint64_t)d[3] << 48;
        const unsigned __int128 hi
            = (uint64_t)d[4] | (uint64_t)d[5] << 16 | (uint64_t)d[6] << 32 | (uint64_t)d[7] << 48;
        const int s = 128 - width;
        const unsigned __int128 v = ((hi << 64) | lo) << s;
        return type == SIGNED ? (__int128)v >> s : (__int128)(v >> s);
    }
    // Exact value of a value of at most 64 bits (at most 63 when UNSIGNED).
    KNUM_HOT int64_t get64() const
    {
        if (width == 0)
            return 0;
        const uint32_t* d = digits;
        const uint64_t raw
            = (uint64_t)d[0] | (uint64_t)d[1] << 16 | (uint64_t)d[2] << 32 | (uint64_t)d[3] << 48;
        const int s = 64 - width;
        const uint64_t v = raw << s;
        return type == SIGNED ? (int64_t)v >> s : (int64_t)(v >> s);
    }
    // Stores the low width bits of v; requires width <= 64. Slots above nwords are scratch.
    KNUM_HOT void set64(uint64_t v)
    {
        v &= width >= 64 ? ~0ull : (1ull << width) - 1;
        uint32_t* d = digits;
        d[0] = (uint32_t)(v & 0xFFFFu);
        d[1] = (uint32_t)((v >> 16) & 0xFFFFu);
        d[2] = (uint32_t)((v >> 32) & 0xFFFFu);
        d[3] = (uint32_t)(v >> 48);
    }
    // Stores the low width bits of v; requires width <= 128.
    KNUM_HOT void set128(unsigned __int128 v)
    {
        if (width <= 64) {
            set64((uint64_t)v);
            return;
        }
        v &= width >= 128 ? ~(unsigned __int128)0 : ((unsigned __int128)1 << width) - 1;
        const uint64_t l = (uint64_t)v, h = (uint64_t)(v >> 64);
        uint32_t* d = digits;
        d[0] = (uint32_t)(l & 0xFFFFu);
        d[1] = (uint32_t)((l >> 16) & 0xFFFFu);
        d[2] = (uint32_t)((l >> 32) & 0xFFFFu);
        d[3] = (uint32_t)(l >> 48);
        d[4] = (uint32_t)(h & 0xFFFFu);
        d[5] = (uint32_t)((h >> 16) & 0xFFFFu);
        d[6] = (uint32_t)((h >> 32) & 0xFFFFu);
        d[7] = (uint32_t)(h >> 48);
    }

    // Sets width, type, quant and ovfl and sizes the slots for them; the value becomes 0
    // unless keep is set, in which case the low slots are kept (unmasked: the caller fixes
    // them). Checks the width and the modes.
    void setFormatRaw(int32_t w, int32_t t, int32_t q, int32_t o, bool keep = false)
    {
        if (!keep && (uint32_t)w <= (uint32_t)(16 * INLINE_WORDS) && (uint32_t)(t - 1) < 2u
            && (uint32_t)(q - 1) < 4u && (uint32_t)(o - 1) < 3u) {
            // At most INLINE_WORDS slots, which both the inline and any heap slots have; a
            // fixed count avoids a variable-length memset.
            const int32_t n = w < 1 ? 1 : ((w - 1) >> 4) + 1;
            __builtin_memcpy(digits, ZERO_SLOTS, sizeof ZERO_SLOTS);
            width = w;
            type = t;
            quant = q;
            ovfl = o;
            nwords = n;
            topbits = w == 0 ? 0 : ((w - 1) & 15) + 1;
            return;
        }
        setFormatSlow(w, t, q, o, keep);
    }

protected:
    struct RawFormat { };
    // Zero in the given format (checked as setFormatRaw does).
    KNum(RawFormat, int32_t w, int32_t t, int32_t q, int32_t o)
        : width(w)
        , type(t)
        , quant(q)
        , ovfl(o)
        , nwords(w < 1 ? 1 : ((w - 1) >> 4) + 1)
        , topbits(w <= 0 ? 0 : ((w - 1) & 15) + 1)
        , digits(inl_)
        , status(0)
        , cap_(INLINE_WORDS)
    {
        __builtin_memcpy(inl_, ZERO_SLOTS, sizeof inl_);
        if (!((uint32_t)w <= (uint32_t)(16 * INLINE_WORDS) && (uint32_t)(t - 1) < 2u
                && (uint32_t)(q - 1) < 4u && (uint32_t)(o - 1) < 3u)) {
            width = 0;
            type = UNSIGNED;
            quant = TRUNCATE;
            ovfl = WRAP;
            nwords = 1;
            topbits = 0;
            setFormatSlow(w, t, q, o, false);
        }
    }

private:
    uint32_t cap_; // slots available at digits
    uint32_t inl_[INLINE_WORDS];

    void setFormatSlow(int32_t w, int32_t t, int32_t q, int32_t o, bool keep);
    void initFormat(int32_t width, int32_t type, int32_t quant, int32_t ovfl);
    void copyFrom(const KNum& src);
    void moveFrom(KNum& src) noexcept;
    void incrDecr(bool up);
    void shiftLeftOverflow(bool negative);
};

// Full-precision operators: exact results in a new format.
//  p + q : SIGNED if either is; width max(p.w, q.w) + 1 (+1 if SIGNED); max quant, RAISE
//  p - q : SIGNED; max(p.w, q.w) + 2; max quant, RAISE
//  p * q : SIGNED if either is; p.w + q.w (+1 if SIGNED); max quant, RAISE
//  p / q : SIGNED if either is; p.w + q.w (+1 if SIGNED); max quant, RAISE
//  p % q : SIGNED; p.w (+1 if p is UNSIGNED); TRUNCATE, WRAP
//  p & q, p | q, p ^ q : p's format; q first resized to p's width as SIGNED, TRUNCATE, WRAP
//  -p    : SIGNED; p.w + 1; p's quant, RAISE
// Results wider than 4096 bits throw tooManyBits.
KNum operator+(const KNum& p, const KNum& q);
KNum operator-(const KNum& p, const KNum& q);
KNum operator*(const KNum& p, const KNum& q);
KNum operator/(const KNum& p, const KNum& q);
KNum operator%(const KNum& p, const KNum& q);
KNum operator&(const KNum& p, const KNum& q);
KNum operator|(const KNum& p, const KNum& q);
KNum operator^(const KNum& p, const KNum& q);
KNum operator-(const KNum& p);

inline bool operator==(const KNum& p, const KNum& q) { return KNum::compare(p, q) == 0; }
inline bool operator!=(const KNum& p, const KNum& q) { return KNum::compare(p, q) != 0; }
inline bool operator<(const KNum& p, const KNum& q) { return KNum::compare(p, q) < 0; }
inline bool operator>(const KNum& p, const KNum& q) { return KNum::compare(p, q) > 0; }
inline bool operator<=(const KNum& p, const KNum& q) { return KNum::compare(p, q) <= 0; }
inline bool operator>=(const KNum& p, const KNum& q) { return KNum::compare(p, q) >= 0; }

// Writes toString().
std::ostream& operator<<(std::ostream& os, const KNum& v);

#endif // KFFT_KNUM_H
