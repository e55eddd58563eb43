// knum.cpp -- KNum storage and formats, slot-wise operations, full-precision arithmetic and
// the rounding and overflow rules of resizing, shifting and assignment from doubles.
#include "knum.h"

#include "num_digits.h"
#include "num_internal.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <vector>

using namespace num_digits;
using namespace num_internal;

const uint32_t KNum::TOP_MASK[17] = { 0x0, 0x1, 0x3, 0x7, 0xF, 0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF,
    0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF };
const uint32_t KNum::TOP_SIGN[17] = { 0x0, 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100, 0x200,
    0x400, 0x800, 0x1000, 0x2000, 0x4000, 0x8000 };
const uint32_t KNum::TOP_CARRY[17] = { 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100, 0x200,
    0x400, 0x800, 0x1000, 0x2000, 0x4000, 0x8000, 0x10000 };

namespace num_internal {

void throwBad() { throw KNumBadException(); }

int32_t checkWidth(int64_t w)
{
    if (w < 0)
        throwBad();
    if (w > KNum::MAX_WIDTH)
        throw KNumException::tooManyBits();
    return (int32_t)w;
}

void checkModes(int32_t type, int32_t quant, int32_t ovfl)
{
    if (type != UNSIGNED && type != SIGNED)
        throwBad();
    if (quant < TRUNCATE || quant > CONVERGENT_NOSAT)
        throwBad();
    if (ovfl < WRAP || ovfl > RAISE)
        throwBad();
}

View view(const KNum& v) { return View { v.digits, v.nwords, v.topbits, v.sign() }; }

bool fitsFormat(const KNum& v, int32_t w, int32_t type)
{
    const int s = v.sign();
    if (type == UNSIGNED)
        return !s && view(v).msbDiff(0) < w;
    if (w == 0)
        return v.isZero();
    return view(v).msbDiff(s) < w - 1;
}

void magnitude(slot_t* buf, const KNum& v)
{
    copy_n(buf, v.digits, v.nwords);
    if (v.sign()) {
        buf[v.nwords - 1] |= DMASK & ~KNum::TOP_MASK[v.topbits];
        neg_n(buf, buf, v.nwords);
    }
}

} // namespace num_internal

// ---------------------------------------------------------------------------------------------
// Storage

void KNum::initFormat(int32_t w, int32_t t, int32_t q, int32_t o)
{
    digits = inl_;
    cap_ = INLINE_WORDS;
    width = 0;
    type = UNSIGNED;
    quant = TRUNCATE;
    ovfl = WRAP;
    nwords = 1;
    topbits = 0;
    status = 0;
    fill_n(inl_, 0, INLINE_WORDS); // the short paths read all inline slots
    setFormatRaw(w, t, q, o);
}

void KNum::setFormatSlow(int32_t w, int32_t t, int32_t q, int32_t o, bool keep)
{
    checkWidth(w);
    checkModes(t, q, o);
    const int32_t n = w < 1 ? 1 : (w - 1) / 16 + 1;
    if ((uint32_t)n > cap_) {
        uint32_t* nd = new (std::nothrow) uint32_t[n];
        if (!nd)
            throw KNumBadAlloc();
        if (keep)
            copy_n(nd, digits, nwords);
        if (digits != inl_)
            delete[] digits;
        digits = nd;
        cap_ = (uint32_t)n;
    }
    if (keep) {
        if (n > nwords)
            fill_n(digits + nwords, 0, n - nwords);
    } else {
        fill_n(digits, 0, n);
    }
    width = w;
    type = t;
    quant = q;
    ovfl = o;
    nwords = n;
    topbits = w == 0 ? 0 : (w % 16 ? w % 16 : 16);
}

void KNum::copyFrom(const KNum& src)
{
    setFormatRaw(src.width, src.type, src.quant, src.ovfl);
    copy_n(digits, src.digits, nwords);
    status = src.status;
}

void KNum::moveFrom(KNum& src) noexcept
{
    if (digits != inl_)
        delete[] digits;
    width = src.width;
    type = src.type;
    quant = src.quant;
    ovfl = src.ovfl;
    nwords = src.nwords;
    topbits = src.topbits;
    status = src.status;
    if (src.digits == src.inl_) {
        digits = inl_;
        cap_ = INLINE_WORDS;
        copy_n(inl_, src.inl_, INLINE_WORDS);
    } else {
        digits = src.digits;
        cap_ = src.cap_;
        src.digits = src.inl_;
        src.cap_ = INLINE_WORDS;
        src.width = 0;
        src.nwords = 1;
        src.topbits = 0;
        fill_n(src.inl_, 0, INLINE_WORDS);
    }
}

KNum::KNum(int32_t v, int32_t w, int32_t t, int32_t q, int32_t o)
{
    initFormat(w, t, q, o);
    const i128 val = t == SIGNED ? (i128)v : (i128)(uint32_t)v;
    const slot_t ext = (t == SIGNED && v < 0) ? DMASK : 0;
    for (int32_t i = 0; i < nwords; ++i)
        digits[i] = i < 3 ? (slot_t)((val >> (16 * i)) & DMASK) : ext;
    digits[nwords - 1] &= TOP_MASK[topbits];
}

static int32_t bitLength(uint64_t m) { return m ? 64 - __builtin_clzll(m) : 0; }

KNum::KNum(int32_t v, int32_t t, int32_t q, int32_t o)
{
    const uint64_t mag = v < 0 ? (uint64_t)(-(int64_t)v) : (uint64_t)v;
    initFormat(bitLength(mag) + ((v < 0 || t == SIGNED) ? 1 : 0), t, q, o);
    assign(v);
}

KNum::KNum(const char* bits, int32_t t)
{
    const size_t len = bits ? std::strlen(bits) : 0;
    initFormat(checkWidth((int64_t)len), t, TRUNCATE, WRAP);
    for (size_t i = 0; i < len; ++i)
        if (bits[len - 1 - i] != '0')
            digits[i >> 4] |= 1u << (i & 15);
}

KNum::KNum(const std::string& bits, int32_t t)
    : KNum(bits.c_str(), t)
{
}

KNum::KNum(double x, int32_t w, int32_t t, int32_t q, int32_t o)
{
    initFormat(w, t, q, o);
    assign(x);
}

KNum::KNum(double x, int32_t t, int32_t q, int32_t o)
{
    int32_t w = 1;
    if (std::isfinite(x)) {
        int e;
        const double m = std::frexp(std::fabs(x), &e);
        if (e >= 1) {
            if (x >= 0)
                w = e + (t == SIGNED ? 1 : 0);
            else
                w = m == 0.5 ? e : e + 1;
        }
    }
    initFormat(w, t, q, o);
    assign(x);
}

KNum::KNum(KNum&& src) noexcept
{
    digits = inl_;
    cap_ = INLINE_WORDS;
    moveFrom(src);
}

KNum::KNum(const KNum& src, int32_t w, int32_t t, int32_t q, int32_t o)
    : KNum(src)
{
    resize(w, t, q, o);
}

KNum& KNum::operator=(const KNum& src)
{
    if (this != &src)
        copyFrom(src);
    return *this;
}

KNum& KNum::operator=(KNum&& src) noexcept
{
    if (this != &src)
        moveFrom(src);
    return *this;
}

KNum& KNum::operator=(double x)
{
    assign(x);
    return *this;
}

KNum& KNum::operator=(int32_t v)
{
    assign(v);
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Queries

int32_t KNum::sign() const
{
    if (type != SIGNED || width == 0)
        return 0;
    return (int32_t)((digits[nwords - 1] >> (topbits - 1)) & 1u);
}

int32_t KNum::getBit(int32_t i) const
{
    if (i < 0)
        return 0;
    if (i >= width)
        return sign();
    return (int32_t)((digits[i >> 4] >> (i & 15)) & 1u);
}

void KNum::setBit(int32_t i, int32_t v)
{
    if (i < 0 || i >= width)
        throw KNumException::IllegalIntArg("index", i);
    if (v != 0 && v != 1)
        throw KNumException::IllegalIntArg("val", v);
    if (v)
        digits[i >> 4] |= 1u << (i & 15);
    else
        digits[i >> 4] &= ~(1u << (i & 15));
}

bool KNum::isZero() const { return zero_n(digits, nwords); }

void KNum::clear() { fill_n(digits, 0, nwords); }

// ---------------------------------------------------------------------------------------------
// Slot-wise operations

void KNum::add(const KNum& p, const KNum& q)
{
    if (p.type != q.type || p.width != q.width || type != p.type || width != p.width)
        throw KNumException::IllegalIntArg("KNum::add(p, q) must havethe same type and width", 0);
    add_n(digits, p.digits, q.digits, nwords);
    digits[nwords - 1] &= TOP_MASK[topbits];
}

void KNum::sub(const KNum& p, const KNum& q)
{
    if (p.type != q.type || p.width != q.width || type != p.type || width != p.width)
        throw KNumException::IllegalIntArg("KNum::sub(p, q) must havethe same type and width", 0);
    sub_n(digits, p.digits, q.digits, nwords);
    digits[nwords - 1] &= TOP_MASK[topbits];
}

void KNum::unsigned_mult(const KNum& p, const KNum& q)
{
    if (width != p.width + q.width)
        throw KNumException::IllegalIntArg(
            "KNum::unsigned_mult(p, q) yields result in container of wrong width", 0);
    slot_t prod[2 * MAX_WORDS + 2];
    mul_n(prod, p.digits, p.nwords, q.digits, q.nwords);
    copy_n(digits, prod, nwords);
    digits[nwords - 1] &= TOP_MASK[topbits];
}

void KNum::bitAnd(const KNum& p, const KNum& q)
{
    if (p.width != q.width)
        throw KNumException::IllegalIntArg(
            "KNum::bitAnd(p, q) q and q must have the same width", 0);
    if (width != p.width)
        throw KNumException::IllegalIntArg("KNum::bitAnd(p, q) resultmust have the same width", 0);
    and_n(digits, p.digits, q.digits, nwords);
}

void KNum::bitOr(const KNum& p, const KNum& q)
{
    if (p.width != q.width)
        throw KNumException::IllegalIntArg("KNum::bitOr(p, q) q and q must have the same width", 0);
    if (width != p.width)
        throw KNumException::IllegalIntArg("KNum::bitOr(p, q) resultmust have the same width", 0);
    or_n(digits, p.digits, q.digits, nwords);
}

void KNum::bitXor(const KNum& p, const KNum& q)
{
    if (p.width != q.width)
        throw KNumException::IllegalIntArg(
            "KNum::bitXor(p, q) q and q must have the same width", 0);
    if (width != p.width)
        throw KNumException::IllegalIntArg("KNum::bitXor(p, q) resultmust have the same width", 0);
    xor_n(digits, p.digits, q.digits, nwords);
}

void KNum::bitNot(const KNum& p)
{
    if (width != p.width)
        throw KNumException::IllegalIntArg("KNum::bitNot(p) resultmust have the same width", 0);
    not_n(digits, p.digits, nwords);
    digits[nwords - 1] &= TOP_MASK[topbits];
}

int32_t KNum::unsigned_comp(const KNum& p) const
{
    if (width != p.width || type != p.type)
        throw KNumException::IllegalIntArg(
            "KNum::unsigned_comp(p) must have the same width and type", 0);
    return cmp_n(digits, p.digits, nwords);
}

int32_t KNum::compare(const KNum& p, const KNum& q)
{
    if (p.isSmall() && q.isSmall()) {
        const i128 a = p.get128(), b = q.get128();
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    const int sp = p.sign(), sq = q.sign();
    if (sp != sq)
        return sp ? -1 : 1;
    const View vp = view(p), vq = view(q);
    const int n = p.nwords > q.nwords ? p.nwords : q.nwords;
    for (int k = n - 1; k >= 0; --k) {
        const slot_t a = vp.slot(k), b = vq.slot(k);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Unary operations

void KNum::saturate(int32_t d)
{
    clear();
    if (d == 0 || width == 0)
        return;
    if (d > 0) {
        fill_n(digits, DMASK, nwords);
        digits[nwords - 1] &= TOP_MASK[topbits];
        if (type == SIGNED)
            digits[nwords - 1] &= ~TOP_SIGN[topbits];
    } else if (type == SIGNED) {
        digits[nwords - 1] = TOP_SIGN[topbits];
    }
}

void KNum::incrDecr(bool up)
{
    const bool isSigned = type == SIGNED;
    bool overflow;
    if (isSmall()) {
        const u128 v = (u128)get128();
        // A SIGNED value of width 0 never changes sign, so it never overflows.
        overflow = width == 0
            ? !isSigned
            : v == (up ? maxValue128(width, isSigned) : minValue128(width, isSigned));
        if (!overflow || ovfl == WRAP) {
            set128(up ? v + 1 : v - 1);
            return;
        }
    } else {
        const int s0 = sign();
        const slot_t c = up ? incr_n(digits, nwords) : decr_n(digits, nwords);
        const slot_t top = digits[nwords - 1];
        digits[nwords - 1] &= TOP_MASK[topbits];
        if (isSigned)
            overflow = up ? (s0 == 0 && sign() == 1) : (s0 == 1 && sign() == 0);
        else
            overflow = c || (top & ~TOP_MASK[topbits]);
        if (!overflow || ovfl == WRAP)
            return;
    }
    if (ovfl == SATURATE)
        saturate(up ? 1 : -1);
    else
        throw KNumException::Overflow(up ? "Overflow on incr" : "Overflow on decr", 0);
}

void KNum::incr() { incrDecr(true); }

void KNum::decr() { incrDecr(false); }

void KNum::negate()
{
    if (type == UNSIGNED && ovfl != WRAP) {
        if (isZero())
            return;
        if (ovfl == SATURATE) {
            clear();
            return;
        }
        throw KNumException::Overflow("negating unsigned KNum", 0);
    }
    not_n(digits, digits, nwords);
    digits[nwords - 1] &= TOP_MASK[topbits];
    incr();
}

void KNum::shiftLeftOverflow(bool negative)
{
    if (ovfl == SATURATE)
        saturate(negative ? -1 : 1);
    else if (ovfl == RAISE)
        throw KNumException::Overflow("during left shift", negative ? -1 : 1);
    else
        throwBad();
}

void KNum::shiftLeft(int32_t n)
{
    if (n < 0) {
        shiftRight(n == INT32_MIN ? INT32_MAX : -n);
        return;
    }
    if (n == 0)
        return;
    const bool neg = sign() != 0;
    if (n >= width) {
        if (ovfl == WRAP)
            clear();
        else if (!isZero())
            shiftLeftOverflow(neg);
        return;
    }
    if (isSmall()) {
        const i128 v = get128();
        if (ovfl != WRAP && !fits128(v, width - n, type == SIGNED)) {
            shiftLeftOverflow(neg);
            return;
        }
        set128((u128)v << n);
        return;
    }
    if (ovfl != WRAP) {
        const long m = view(*this).msbDiff(neg ? 1 : 0);
        const bool ov = type == SIGNED ? m >= width - n - 1 : m >= width - n;
        if (ov) {
            shiftLeftOverflow(neg);
            return;
        }
    }
    slot_t tmp[MAX_WORDS];
    extract(tmp, nwords, view(*this), -(long)n);
    copy_n(digits, tmp, nwords);
    digits[nwords - 1] &= TOP_MASK[topbits];
}

void KNum::shiftRight(int32_t n)
{
    if (n < 0) {
        shiftLeft(n == INT32_MIN ? INT32_MAX : -n);
        return;
    }
    if (n == 0)
        return;
    const View v = view(*this);
    const bool neg = v.fill != 0;
    const bool inc = roundUp(quant, neg, v.bit(n - 1), v.anyBelow(n - 1), v.bit(n));
    if (n >= width) {
        // Every bit is dropped: the kept part is the sign.
        if (neg && !inc) {
            fill_n(digits, DMASK, nwords);
            digits[nwords - 1] &= TOP_MASK[topbits];
        } else {
            clear();
            if (inc && !neg)
                digits[0] = 1;
        }
        return;
    }
    if (isSmall()) {
        set128((u128)((get128() >> n) + (inc ? 1 : 0)));
        return;
    }
    slot_t tmp[MAX_WORDS];
    extract(tmp, nwords, v, n);
    copy_n(digits, tmp, nwords);
    digits[nwords - 1] &= TOP_MASK[topbits];
    // The kept part is below 2^(width-1-n) in magnitude, so the round-up cannot overflow.
    if (inc) {
        incr_n(digits, nwords);
        digits[nwords - 1] &= TOP_MASK[topbits];
    }
}

void KNum::resize(int32_t w, int32_t t, int32_t q, int32_t o)
{
    checkWidth(w);
    if (t == 0)
        t = type;
    if (q == 0)
        q = quant;
    if (o == 0)
        o = ovfl;
    checkModes(t, q, o);
    quant = q;
    ovfl = o;
    if (isSmall() && w <= SMALL_WIDTH) {
        i128 v = get128();
        if (o != WRAP) {
            bool curSigned = type == SIGNED;
            if (curSigned && t == UNSIGNED) {
                if (v < 0) {
                    if (o == RAISE)
                        throw KNumException::Overflow("negative value retyped to unsigned", 0);
                    v = 0;
                }
                curSigned = false;
            }
            if (w < width && !fits128(v, w, curSigned)) {
                if (o == RAISE)
                    throw KNumException::Overflow("on decreasing resize", 0);
                v = (i128)(v < 0 ? minValue128(w, curSigned) : maxValue128(w, curSigned));
            }
            if (!curSigned && t == SIGNED && w > 0 && (((u128)v >> (w - 1)) & 1)) {
                if (o == RAISE)
                    throw KNumException::Overflow("on unsigned to signed", 1);
                v = (i128)maxValue128(w, true);
            }
        }
        setFormatRaw(w, t, q, o);
        set128((u128)v);
        return;
    }
    // Grow, sign-extending.
    if (w > width) {
        const int s = sign();
        const int32_t oldn = nwords, oldtop = topbits;
        setFormatRaw(w, type, q, o, true);
        if (s) {
            digits[oldn - 1] |= DMASK & ~TOP_MASK[oldtop];
            fill_n(digits + oldn, DMASK, nwords - oldn);
            digits[nwords - 1] &= TOP_MASK[topbits];
        }
    }
    if (type == SIGNED && t == UNSIGNED) {
        if (sign() && o != WRAP) {
            if (o == RAISE)
                throw KNumException::Overflow("negative value retyped to unsigned", 0);
            clear();
        }
        type = UNSIGNED;
    }
    if (w < width) {
        const bool neg = sign() != 0;
        const bool ov = !fitsFormat(*this, w, type);
        setFormatRaw(w, type, q, o, true);
        digits[nwords - 1] &= TOP_MASK[topbits];
        if (ov && o != WRAP) {
            if (o == RAISE)
                throw KNumException::Overflow("on decreasing resize", 0);
            saturate(neg ? -1 : 1);
        }
    }
    if (type == UNSIGNED && t == SIGNED) {
        const bool top = width > 0 && getBit(width - 1);
        type = SIGNED;
        if (top && o != WRAP) {
            if (o == RAISE)
                throw KNumException::Overflow("on unsigned to signed", 1);
            saturate(1);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Conversions with doubles

double KNum::toDouble() const
{
    if (width <= 64) {
        const i128 v = get128();
        return type == SIGNED ? (double)(int64_t)v : (double)(uint64_t)v;
    }
    slot_t mag[MAX_WORDS + 1];
    const bool neg = sign() != 0;
    magnitude(mag, *this);
    int top = nwords - 1;
    while (top > 0 && mag[top] == 0)
        --top;
    const double step = 1.0 / 65536.0;
    double x = 0.0;
    for (int i = 0; i < top; ++i)
        x = (x + (double)mag[i]) * step;
    x = x + (double)mag[top];
    x = std::ldexp(x, 16 * top);
    return neg ? -x : x;
}

namespace num_internal {

// Stores floor(ax) modulo 2^width into v (ax finite, >= 0).
void storeIntegerPart(KNum& v, double ax)
{
    v.clear();
    if (ax < 1.0)
        return;
    int e;
    const double m = std::frexp(ax, &e);
    const uint64_t mant = (uint64_t)std::ldexp(m, 53); // ax = mant * 2^(e-53)
    const long shift = (long)e - 53;
    for (int32_t i = 0; i < v.nwords; ++i) {
        const long p = 16L * i - shift; // bit of mant that lands on bit 0 of slot i
        slot_t chunk;
        if (p >= 64 || p <= -16)
            chunk = 0;
        else if (p >= 0)
            chunk = (slot_t)((mant >> p) & DMASK);
        else
            chunk = (slot_t)((mant << -p) & DMASK);
        v.digits[i] = chunk;
    }
    v.digits[v.nwords - 1] &= KNum::TOP_MASK[v.topbits];
}

} // namespace num_internal

// Adds dir (+1 or -1) through the full-precision sum and a resize back into this format; an
// overflow also sets status bit 0.
static void addOneResized(KNum& v, int dir)
{
    const KNum one(1, 16, SIGNED, TRUNCATE, WRAP);
    KNum r = dir > 0 ? v + one : v - one;
    if (!fitsFormat(r, v.width, v.type))
        v.status |= 1u;
    const uint32_t st = v.status;
    r.resize(v.width, v.type, v.quant, v.ovfl);
    v = std::move(r);
    v.status = st;
}

void KNum::assign(double x)
{
    status &= ~1u;
    if (std::isnan(x)) {
        clear();
        status |= 1u;
        return;
    }
    if (std::isinf(x)) {
        status |= 1u;
        if (ovfl == SATURATE)
            saturate(x > 0 ? 1 : -1);
        else if (ovfl == RAISE)
            throw KNumException::Overflow("KNum-assign-from-double saturated", 0);
        else
            clear();
        return;
    }
    int e;
    const double m = std::frexp(x, &e);
    if (type == SIGNED && width == e && m == -0.5) {
        saturate(-1);
        return;
    }
    if (type == SIGNED)
        ++e;
    if (e > width) {
        status |= 1u;
        if (ovfl == SATURATE) {
            saturate(x > 0 ? 1 : -1);
            return;
        }
        if (ovfl == RAISE)
            throw KNumException::Overflow("KNum-assign-from-double saturated", 0);
    }
    const bool neg = x < 0;
    if (neg && type == UNSIGNED) {
        status |= 1u;
        if (ovfl == SATURATE) {
            clear();
            return;
        }
        if (ovfl == RAISE)
            throw KNumException::Overflow("KNum-assign-from-double, negative to unsigned", 0);
    }
    const double ax = std::fabs(x);
    double ip;
    const double f = std::modf(ax, &ip);
    bool up = false;
    if (quant == ROUND)
        up = f >= 0.5;
    else if (quant == CONVERGENT || quant == CONVERGENT_NOSAT)
        up = f > 0.5 || (f == 0.5 && std::fmod(ip, 2.0) == 1.0);
    const bool floorFlag = quant == TRUNCATE && neg && f > 0;

    if (width <= 64 && ax < 18446744073709551616.0) {
        // Short path: the same steps on a 64-bit integer.
        const uint64_t mag = (uint64_t)ip;
        const bool isSigned = type == SIGNED;
        u128 v = neg ? (u128)0 - mag : (u128)mag;
        const u128 mask = width == 0 ? 0 : (((u128)1 << width) - 1);
        v &= mask;
        const int dir = neg ? ((up || floorFlag) ? -1 : 0) : (up ? 1 : 0);
        if (dir == 0) {
            set128(v);
            return;
        }
        // v now holds the wrapped integer part; add dir and resize as the generic path does.
        const int sh = 128 - (width ? width : 1);
        const i128 exact = (isSigned ? (i128)(v << sh) >> sh : (i128)v) + dir;
        if (fits128(exact, width, isSigned)) {
            set128((u128)exact);
            return;
        }
        status |= 1u;
        if (ovfl == WRAP) {
            set128((u128)exact);
        } else if (isSigned || exact >= 0) {
            if (ovfl == RAISE)
                throw KNumException::Overflow("on decreasing resize", 0);
            saturate(exact < 0 ? -1 : 1);
        } else {
            if (ovfl == RAISE)
                throw KNumException::Overflow("negative value retyped to unsigned", 0);
            clear();
        }
        return;
    }
    storeIntegerPart(*this, ax);
    if (!neg) {
        if (up)
            addOneResized(*this, 1);
    } else {
        negate();
        if (up || floorFlag)
            addOneResized(*this, -1);
    }
}

void KNum::assign(int32_t v)
{
    if (v == 0) {
        status &= ~1u;
        clear();
        return;
    }
    assign((double)v);
}

// ---------------------------------------------------------------------------------------------
// Full-precision operators

namespace num_internal {

// r = a + b (or a - b), both sign-extended into r's slots; r preformatted and wide enough.
void addInto(KNum& r, const KNum& a, long posA, const KNum& b, long posB, bool subtract)
{
    if (r.isSmall() && a.isSmall() && b.isSmall() && posA <= 0 && posB <= 0 && posA > -128
        && posB > -128) {
        const u128 x = (u128)a.get128() << -posA;
        const u128 y = (u128)b.get128() << -posB;
        r.set128(subtract ? x - y : x + y);
        return;
    }
    slot_t tb[KNum::MAX_WORDS];
    extract(r.digits, r.nwords, view(a), posA);
    extract(tb, r.nwords, view(b), posB);
    if (subtract)
        sub_n(r.digits, r.digits, tb, r.nwords);
    else
        add_n(r.digits, r.digits, tb, r.nwords);
    r.digits[r.nwords - 1] &= KNum::TOP_MASK[r.topbits];
}

// r = a * b exactly; r preformatted with width >= the product's.
void mulInto(KNum& r, const KNum& a, const KNum& b)
{
    if (r.width <= KNum::SMALL_WIDTH && a.isSmall() && b.isSmall()) {
        r.set128((u128)a.get128() * (u128)b.get128());
        return;
    }
    slot_t ma[KNum::MAX_WORDS], mb[KNum::MAX_WORDS], prod[2 * KNum::MAX_WORDS + 2];
    magnitude(ma, a);
    magnitude(mb, b);
    const int pn = a.nwords + b.nwords;
    mul_n(prod, ma, a.nwords, mb, b.nwords);
    prod[pn] = 0;
    fill_n(prod + pn + 1, 0, r.nwords > pn + 1 ? r.nwords - pn - 1 : 0);
    const int n = r.nwords > pn + 1 ? r.nwords : pn + 1;
    if (a.sign() != b.sign())
        neg_n(prod, prod, n);
    copy_n(r.digits, prod, r.nwords);
    r.digits[r.nwords - 1] &= KNum::TOP_MASK[r.topbits];
}

} // namespace num_internal

static int32_t maxQuant(const KNum& p, const KNum& q)
{
    return p.quant > q.quant ? p.quant : q.quant;
}

KNum operator+(const KNum& p, const KNum& q)
{
    const int32_t t = (p.type == SIGNED || q.type == SIGNED) ? SIGNED : UNSIGNED;
    const int64_t w = (int64_t)(p.width > q.width ? p.width : q.width) + 1 + (t == SIGNED ? 1 : 0);
    KNum r;
    r.setFormatRaw(checkWidth(w), t, maxQuant(p, q), RAISE);
    addInto(r, p, 0, q, 0, false);
    return r;
}

KNum operator-(const KNum& p, const KNum& q)
{
    const int64_t w = (int64_t)(p.width > q.width ? p.width : q.width) + 2;
    KNum r;
    r.setFormatRaw(checkWidth(w), SIGNED, maxQuant(p, q), RAISE);
    addInto(r, p, 0, q, 0, true);
    return r;
}

KNum operator*(const KNum& p, const KNum& q)
{
    const int32_t t = (p.type == SIGNED || q.type == SIGNED) ? SIGNED : UNSIGNED;
    const int64_t w = (int64_t)p.width + q.width + (t == SIGNED ? 1 : 0);
    KNum r;
    r.setFormatRaw(checkWidth(w), t, maxQuant(p, q), RAISE);
    mulInto(r, p, q);
    return r;
}

KNum operator-(const KNum& p)
{
    const KNum zero;
    KNum r;
    r.setFormatRaw(checkWidth((int64_t)p.width + 1), SIGNED, p.quant, RAISE);
    addInto(r, zero, 0, p, 0, true);
    return r;
}

namespace num_internal {

// Quotient and remainder of magnitudes: q = a / b, rem = a % b (b nonzero). Slot counts:
// a and q n slots, b and rem n slots.
void divmodMag(slot_t* q, slot_t* rem, const slot_t* a, const slot_t* b, int n)
{
    fill_n(q, 0, n);
    fill_n(rem, 0, n + 1);
    slot_t bb[KNum::MAX_WORDS + 2];
    copy_n(bb, b, n);
    bb[n] = 0;
    long top = (long)n * 16 - 1;
    while (top >= 0 && !((a[top >> 4] >> (top & 15)) & 1u))
        --top;
    for (long i = top; i >= 0; --i) {
        // rem = rem * 2 + bit i of a
        slot_t carry = (a[i >> 4] >> (i & 15)) & 1u;
        for (int k = 0; k <= n; ++k) {
            const slot_t t = (rem[k] << 1) | carry;
            rem[k] = t & DMASK;
            carry = t >> 16;
        }
        if (cmp_n(rem, bb, n + 1) >= 0) {
            sub_n(rem, rem, bb, n + 1);
            q[i >> 4] |= 1u << (i & 15);
        }
    }
}

} // namespace num_internal

namespace {

// Rounded quotient (divide) or remainder of p by q as an exact value in `out`, formatted
// (p.width + 2, SIGNED); throws for a zero divisor.
void divRem(KNum& out, const KNum& p, const KNum& q, bool remainder)
{
    if (q.isZero())
        throw KNumException::IllegalIntArg("a", 0);
    const bool np = p.sign() != 0, nq = q.sign() != 0;
    out.setFormatRaw(checkWidth((int64_t)p.width + 2), SIGNED, p.quant, WRAP);
    if (out.isSmall() && q.isSmall()) {
        const i128 a = p.get128(), b = q.get128();
        const u128 ma = np ? (u128)0 - (u128)a : (u128)a;
        const u128 mb = nq ? (u128)0 - (u128)b : (u128)b;
        u128 qq = ma / mb;
        const u128 rr = ma % mb;
        if (remainder) {
            out.set128(np ? (u128)0 - rr : rr);
            return;
        }
        bool up = false;
        if (p.quant == ROUND)
            up = 2 * rr >= mb;
        else if (p.quant == CONVERGENT || p.quant == CONVERGENT_NOSAT)
            up = 2 * rr > mb || (2 * rr == mb && (qq & 1));
        qq += up ? 1 : 0;
        out.set128(np != nq ? (u128)0 - qq : qq);
        return;
    }
    const int n = (p.nwords > q.nwords ? p.nwords : q.nwords) + 1;
    slot_t ma[KNum::MAX_WORDS + 2], mb[KNum::MAX_WORDS + 2], qq[KNum::MAX_WORDS + 2],
        rr[KNum::MAX_WORDS + 3];
    fill_n(ma, 0, n);
    fill_n(mb, 0, n);
    magnitude(ma, p);
    magnitude(mb, q);
    divmodMag(qq, rr, ma, mb, n);
    slot_t* res = qq;
    if (remainder) {
        res = rr;
    } else {
        // Compare 2r with b.
        slot_t r2[KNum::MAX_WORDS + 3];
        copy_n(r2, rr, n + 1);
        mulsmall_n(r2, n + 1, 2);
        mb[n] = 0;
        const int32_t c = cmp_n(r2, mb, n + 1);
        bool up = false;
        if (p.quant == ROUND)
            up = c >= 0;
        else if (p.quant == CONVERGENT || p.quant == CONVERGENT_NOSAT)
            up = c > 0 || (c == 0 && (qq[0] & 1u));
        if (up)
            incr_n(qq, n);
    }
    const bool negRes = remainder ? np : (np != nq);
    if (negRes)
        neg_n(res, res, n);
    View v { res, n, 16, negRes ? 1 : 0 };
    extract(out.digits, out.nwords, v, 0);
    out.digits[out.nwords - 1] &= KNum::TOP_MASK[out.topbits];
}

} // namespace

KNum& KNum::operator/=(const KNum& q)
{
    KNum r;
    divRem(r, *this, q, false);
    const uint32_t st = status;
    r.resize(width, type, quant, ovfl);
    *this = std::move(r);
    status = st;
    return *this;
}

KNum& KNum::operator%=(const KNum& q)
{
    KNum r;
    divRem(r, *this, q, true);
    const uint32_t st = status;
    r.resize(width, type, quant, ovfl);
    *this = std::move(r);
    status = st;
    return *this;
}

KNum operator/(const KNum& p, const KNum& q)
{
    const int32_t t = (p.type == SIGNED || q.type == SIGNED) ? SIGNED : UNSIGNED;
    const int64_t w = (int64_t)p.width + q.width + (t == SIGNED ? 1 : 0);
    KNum r(p, checkWidth(w), t, maxQuant(p, q), RAISE);
    r /= q;
    return r;
}

KNum operator%(const KNum& p, const KNum& q)
{
    KNum r;
    divRem(r, p, q, true);
    r.resize(p.width + (p.type == UNSIGNED ? 1 : 0), SIGNED, TRUNCATE, WRAP);
    return r;
}

namespace {

template <typename Op> KNum bitwise(const KNum& p, const KNum& q, Op op)
{
    const KNum qq(q, p.width, SIGNED, TRUNCATE, WRAP);
    KNum r(p);
    op(r.digits, p.digits, qq.digits, r.nwords);
    r.digits[r.nwords - 1] &= KNum::TOP_MASK[r.topbits];
    return r;
}

} // namespace

KNum operator&(const KNum& p, const KNum& q) { return bitwise(p, q, and_n); }
KNum operator|(const KNum& p, const KNum& q) { return bitwise(p, q, or_n); }
KNum operator^(const KNum& p, const KNum& q) { return bitwise(p, q, xor_n); }

namespace {

// Resizes the full-precision result r back into v's format, keeping v's status.
KNum& resizeBack(KNum& v, KNum&& r)
{
    const uint32_t st = v.status;
    r.resize(v.width, v.type, v.quant, v.ovfl);
    v = std::move(r);
    v.status = st;
    return v;
}

} // namespace

KNum& KNum::operator+=(const KNum& q) { return resizeBack(*this, *this + q); }
KNum& KNum::operator-=(const KNum& q) { return resizeBack(*this, *this - q); }
KNum& KNum::operator*=(const KNum& q) { return resizeBack(*this, *this * q); }
KNum& KNum::operator&=(const KNum& q) { return *this = *this & q; }
KNum& KNum::operator|=(const KNum& q) { return *this = *this | q; }
KNum& KNum::operator^=(const KNum& q) { return *this = *this ^ q; }

// ---------------------------------------------------------------------------------------------
// Text

std::string KNum::toString() const
{
    std::string s((size_t)width, '0');
    for (int32_t i = 0; i < width; ++i)
        if ((digits[i >> 4] >> (i & 15)) & 1u)
            s[(size_t)(width - 1 - i)] = '1';
    return s;
}

namespace num_internal {

static const char DIGITS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

std::string magToBase(std::vector<slot_t> mag, int32_t base)
{
    std::string out;
    int n = (int)mag.size();
    while (n > 0 && mag[n - 1] == 0)
        --n;
    if (n == 0)
        return "0";
    while (n > 0) {
        out.push_back(DIGITS[divsmall_n(mag.data(), n, (slot_t)base)]);
        while (n > 0 && mag[n - 1] == 0)
            --n;
    }
    return std::string(out.rbegin(), out.rend());
}

std::string baseSuffix(int32_t base)
{
    if (base == 10)
        return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "<base%d>", base);
    return buf;
}

} // namespace num_internal

std::string KNum::toString(int32_t base) const
{
    if (base < 2 || base > 32)
        throw KNumException::IllegalIntArg("base", base);
    std::vector<slot_t> mag((size_t)nwords);
    magnitude(mag.data(), *this);
    return (sign() ? "-" : "") + magToBase(mag, base) + baseSuffix(base);
}

std::string KNum::typeName() const
{
    char buf[32];
    std::snprintf(buf, sizeof buf, type == SIGNED ? "Num_%d" : "UNum_%d", width);
    return buf;
}

std::ostream& operator<<(std::ostream& os, const KNum& v) { return os << v.toString(); }
