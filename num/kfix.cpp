// kfix.cpp -- KFix construction, quantising assignment between formats, exact arithmetic,
// in-format operations, comparison, conversion and text; KFixComplex.
#include "kfix.h"

#include "num_digits.h"
#include "num_internal.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <ostream>
#include <vector>

using namespace num_digits;
using namespace num_internal;

namespace num_internal {

// Whether an increment of t overflows: t holds the largest value of its format (width 0: only
// an unsigned value overflows, a signed one never changes sign).
static bool atTop(const KNum& t, bool asSigned)
{
    if (t.width == 0)
        return !asSigned;
    const slot_t top = KNum::TOP_MASK[t.topbits] >> (asSigned ? 1 : 0);
    if (t.digits[t.nwords - 1] != top)
        return false;
    for (int32_t i = 0; i < t.nwords - 1; ++i)
        if (t.digits[i] != DMASK)
            return false;
    return true;
}

void convertGeneric(KNum& t, int32_t f, const KNum& s, int32_t fs)
{
    t.status &= ~1u;
    const View v = view(s);
    const int32_t w = t.width;
    const bool tSigned = t.type == SIGNED;
    const int64_t d = (int64_t)fs - f;
    const bool neg = v.fill != 0;
    bool ovf;
    if (s.isZero()) {
        ovf = false;
    } else if (tSigned) {
        if (w == 0) {
            ovf = d <= 0 || neg || v.msbDiff(0) >= d;
        } else {
            const int64_t p = d + w - 1;
            ovf = p < 0 || v.msbDiff(neg) >= p;
        }
    } else {
        const int64_t p = d + w;
        ovf = neg || p <= 0 || v.msbDiff(0) >= p;
    }
    bool inc = false;
    if (d >= 1 && t.quant != TRUNCATE)
        inc = roundUp(t.quant, neg, v.bit(d - 1), v.anyBelow(d - 1), v.bit(d));
    // Source and target may share slots only when they are the same value, handled by callers.
    extract(t.digits, t.nwords, v, d);
    t.digits[t.nwords - 1] &= KNum::TOP_MASK[t.topbits];
    if (inc && t.quant == CONVERGENT_NOSAT && w >= 1 && (int64_t)w - f <= (int64_t)s.width - fs
        && atTop(t, true))
        inc = false;
    if (inc && t.ovfl == WRAP) {
        incr_n(t.digits, t.nwords); // no overflow test under WRAP
        t.digits[t.nwords - 1] &= KNum::TOP_MASK[t.topbits];
        return;
    }
    if (t.ovfl == WRAP)
        return;
    if (inc) {
        if (atTop(t, tSigned)) {
            t.status |= 1u;
            if (t.ovfl == RAISE)
                throw KNumException::Overflow("Overflow on incr", 0);
        } else {
            incr_n(t.digits, t.nwords); // -1 + 1 carries out of the pattern
            t.digits[t.nwords - 1] &= KNum::TOP_MASK[t.topbits];
        }
    }
    if (ovf) {
        t.status |= 1u;
        if (t.ovfl == SATURATE)
            t.saturate(neg ? -1 : 1);
        else if (t.ovfl == RAISE)
            throw KNumException::Overflow("during convert", neg ? -1 : 1);
    }
}

void convert(KNum& t, int32_t f, const KNum& s, int32_t fs)
{
    if (convertible64(t, f, s, fs))
        convert64(t, f, s.get64(), s.width, fs);
    else if (t.isSmall() && s.isSmall())
        convertSmall(t, f, s.get128(), s.width, fs);
    else
        convertGeneric(t, f, s, fs);
}

} // namespace num_internal

double exactDouble(const KFix& a);

namespace {

int32_t shiftClamp(int64_t n)
{
    if (n > INT32_MAX)
        return INT32_MAX;
    if (n < -INT32_MAX)
        return -INT32_MAX;
    return (int32_t)n;
}

// Bits of a from position pos upward, sign-extended, into r (preformatted).
void copyBits(KNum& r, const KNum& a, long pos)
{
    if (r.width <= KNum::SMALL_WIDTH && a.isSmall() && pos <= 0 && pos > -128) {
        r.set128((u128)a.get128() << -pos);
        return;
    }
    extract(r.digits, r.nwords, view(a), pos);
    r.digits[r.nwords - 1] &= KNum::TOP_MASK[r.topbits];
}

// Whether shiftLeft(n) keeps every significant bit.
bool leftShiftFits(const KNum& v, int64_t n)
{
    if (v.isZero() || n <= 0)
        return true;
    if (n >= v.width)
        return false;
    const long m = view(v).msbDiff(v.sign());
    return v.type == SIGNED ? m < v.width - n - 1 : m < v.width - n;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction

void KFix::initFormat(int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
{
    setFormatRaw(w, t, q, o);
    binpt = f;
    dbl = 0.0;
    valid = assigned = known = 1;
    always_valid = is_bool = 0;
}

KFix::KFix()
    : KNum()
    , binpt(0)
    , dbl(0.0)
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(0)
    , temps(nullptr)
{
}

KFix::KFix(int32_t v, int32_t f, int32_t t, int32_t q, int32_t o)
    : KNum(v, t, q, o)
    , binpt(f)
    , dbl((double)v)
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(0)
    , temps(nullptr)
{
    const int64_t aw = width;
    if (f >= 0) {
        resize(checkWidth(aw + f));
        shiftLeft(f);
    } else {
        shiftRight(shiftClamp(-(int64_t)f));
        int64_t nw = aw + f;
        const int64_t least = t == SIGNED ? 2 : 1;
        resize(checkWidth(nw < least ? least : nw));
    }
}

KFix::KFix(int32_t v, int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
    : KNum(f < 0 ? (v >> (f < -31 ? 31 : -f)) : v, w, t, q, o)
    , binpt(f)
    , dbl((double)v)
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(0)
    , temps(nullptr)
{
    if (f > 0)
        shiftLeft(f);
}

KFix::KFix(double x, int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
    : KNum()
    , binpt(0)
    , dbl(0.0)
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(0)
    , temps(nullptr)
{
    initFormat(w, f, t, q, o);
    *this = x;
}

KFix::KFix(double x, int32_t t, int32_t q, int32_t o)
    : KNum()
    , binpt(0)
    , dbl(0.0)
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(0)
    , temps(nullptr)
{
    if (!std::isfinite(x)) {
        initFormat(0, 0, t, q, o);
        dbl = x;
        valid = assigned = known = 0;
        return;
    }
    int32_t k = 0;
    if (x != 0.0) {
        int e;
        const double m = std::frexp(std::fabs(x), &e);
        const uint64_t mant = (uint64_t)std::ldexp(m, 53);
        const int64_t p = (int64_t)e - 53 + __builtin_ctzll(mant);
        k = p < 0 ? (int32_t)-p : 0;
    }
    KNum::operator=(KNum(std::ldexp(x, k), t, q, o));
    binpt = k;
    dbl = x;
}

KFix::KFix(const KNum& n)
    : KNum(n)
    , binpt(0)
    , dbl(n.toDouble())
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(0)
    , temps(nullptr)
{
}

KFix::KFix(const char* bits, int32_t f, int32_t t)
    : KNum(bits, t)
    , binpt(f)
    , dbl(0.0)
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(0)
    , temps(nullptr)
{
    dbl = toDouble();
}

KFix::KFix(bool b)
    : KNum(b ? 1 : 0, 1, UNSIGNED, TRUNCATE, WRAP)
    , binpt(0)
    , dbl(b ? 1.0 : 0.0)
    , valid(1)
    , assigned(1)
    , known(1)
    , always_valid(0)
    , is_bool(1)
    , temps(nullptr)
{
}

KFix::KFix(const KFix& src)
    : KNum(src)
    , binpt(src.binpt)
    , dbl(src.dbl)
    , valid(src.valid)
    , assigned(src.assigned)
    , known(src.known)
    , always_valid(src.always_valid)
    , is_bool(src.is_bool)
    , temps(nullptr)
{
}

KFix::KFix(KFix&& src) noexcept
    : KNum(std::move(src))
    , binpt(src.binpt)
    , dbl(src.dbl)
    , valid(src.valid)
    , assigned(src.assigned)
    , known(src.known)
    , always_valid(src.always_valid)
    , is_bool(src.is_bool)
    , temps(nullptr)
{
    temps = src.temps;
    src.temps = nullptr;
}

KFix::KFix(const KFix& src, int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
    : KFix(src)
{
    setFormat(w, f, t, q, o);
}

void KFix::freeTemps()
{
    for (int i = 0; i < NUM_TEMPS; ++i)
        delete temps[i];
    delete[] temps;
    temps = nullptr;
}

KFix& KFix::scratch(int32_t i, int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
{
    if (i < 0 || i >= NUM_TEMPS)
        i = 0;
    if (!temps) {
        temps = new (std::nothrow) KFix*[NUM_TEMPS]();
        if (!temps)
            throw KNumBadAlloc();
    }
    KFix*& s = temps[i];
    if (s && s->width != w) {
        delete s;
        s = nullptr;
    }
    if (!s) {
        try {
            s = new KFix();
            s->initFormat(w, f, t, q, o);
        } catch (const std::bad_alloc&) {
            delete s;
            s = nullptr;
            throw KNumBadAlloc();
        }
    } else {
        checkModes(t, q, o);
        s->binpt = f;
        s->type = t;
        s->quant = q;
        s->ovfl = o;
    }
    return *s;
}

// ---------------------------------------------------------------------------------------------
// Assignment

KFix& KFix::operator=(const KNum& src)
{
    const KFix tmp(src);
    return *this = tmp;
}

KFix& KFix::operator=(double x)
{
    if (std::isnan(x)) {
        clear();
        dbl = x;
        setFlags(0, 0, 0);
        return *this;
    }
    int e = 0;
    if (std::isfinite(x))
        std::frexp(x, &e);
    if (std::isfinite(x) && width >= 54 && (int64_t)e + binpt >= 1024) {
        KNum::assign(std::ldexp(x, 54 - e));
        const int64_t sh = (int64_t)binpt + e - 54;
        if (!leftShiftFits(*this, sh))
            status |= 1u;
        shiftLeft(shiftClamp(sh));
    } else {
        double y = std::ldexp(x, binpt);
        if (x != 0.0 && std::isfinite(x) && std::fabs(y) < DBL_MIN)
            y = std::copysign(0.25, x); // below half a unit: rounds like any tiny value
        KNum::assign(y);
    }
    dbl = x;
    valid = assigned = known = 1;
    return *this;
}

KFix& KFix::operator=(int32_t v)
{
    if (v != 0)
        return *this = (double)v;
    status &= ~1u;
    clear();
    dbl = 0.0;
    valid = assigned = known = 1;
    return *this;
}

KFix& KFix::operator=(bool b)
{
    clear();
    digits[0] = b ? 1u : 0u;
    digits[nwords - 1] &= TOP_MASK[topbits];
    dbl = b ? 1.0 : 0.0;
    valid = assigned = known = 1;
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Formats

void KFix::setFormat(int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
{
    if (is_bool) {
        if (w != 1 || f != 0)
            throw KNumException::UnimplementedSpec();
        return;
    }
    checkWidth(w);
    checkModes(t, q, o);
    quant = q;
    ovfl = o;
    if (w > width)
        resize(w);
    if (type == SIGNED && t == UNSIGNED && f >= binpt)
        resize(width, UNSIGNED);
    shiftLeft(shiftClamp((int64_t)f - binpt));
    binpt = f;
    if (type == SIGNED && t == UNSIGNED)
        resize(width, UNSIGNED);
    if (w < width)
        resize(w);
    if (t == SIGNED && type == UNSIGNED)
        resize(width, SIGNED);
}

void KFix::setFormat(const KFix& tmpl)
{
    if (&tmpl == this)
        return;
    setFormat(tmpl.width, tmpl.binpt, tmpl.type, tmpl.quant, tmpl.ovfl);
    if (tmpl.is_bool && tmpl.width == 1 && tmpl.binpt == 0 && tmpl.type == UNSIGNED) {
        if (!valid) {
            clear();
            dbl = 0.0;
            valid = assigned = known = 1;
        }
        is_bool = 1;
    }
    if (tmpl.always_valid) {
        if (!valid) {
            valid = 1;
            known = 0;
        }
        always_valid = 1;
    }
}

void KFix::scale(int32_t n)
{
    binpt = binptArg((int64_t)binpt + n);
    dbl = scale2(dbl, -(int64_t)n);
}

// ---------------------------------------------------------------------------------------------
// Full-precision operators

namespace {

void conj(KFix& r, const KFix& a, const KFix& b)
{
    r.valid = a.valid && b.valid;
    r.assigned = a.assigned && b.assigned;
    r.known = a.known && b.known;
}

struct SumFormat {
    int32_t width, binpt, type;
};

SumFormat sumFormat(const KFix& a, const KFix& b, bool subtract)
{
    const int32_t t = (subtract || a.type == SIGNED || b.type == SIGNED) ? SIGNED : UNSIGNED;
    const int64_t f = a.binpt > b.binpt ? a.binpt : b.binpt;
    const int64_t ia = intBits(a), ib = intBits(b);
    const int64_t w = f + (ia > ib ? ia : ib) + (subtract ? 2 : (t == SIGNED ? 2 : 1));
    return { checkWidth(w), (int32_t)f, t };
}

SumFormat productFormat(const KFix& a, const KFix& b)
{
    const int32_t t = (a.type == SIGNED || b.type == SIGNED) ? SIGNED : UNSIGNED;
    return { checkWidth((int64_t)a.width + b.width + (t == SIGNED ? 1 : 0)),
        binptArg((int64_t)a.binpt + b.binpt), t };
}

} // namespace

KFix operator-(const KFix& a)
{
    KFix r;
    r.initFormat(checkWidth((int64_t)a.width + 1), a.binpt, SIGNED, TRUNCATE, WRAP);
    const KNum zero;
    addInto(r, zero, 0, a, 0, true);
    r.dbl = -a.dbl;
    conj(r, a, a);
    return r;
}

KFix num_internal::shiftWide(const KFix& a, int32_t n, bool right)
{
    if (n < 0) {
        n = n == INT32_MIN ? INT32_MAX : -n;
        right = !right;
    }
    const int32_t w = checkWidth((int64_t)a.width + n); // too many bits before any binpt limit
    KFix r
        = KFix::zero(w, right ? binptArg((int64_t)a.binpt + n) : a.binpt, a.type, a.quant, a.ovfl);
    copyBits(r, a, right ? 0 : -(long)n);
    r.dbl = scale2(a.dbl, right ? -(int64_t)n : (int64_t)n);
    conj(r, a, a);
    return r;
}

// ---------------------------------------------------------------------------------------------
// In-format operations

// Forms the exact result of `exact` (format width, binpt, type) and quantises it into this
// value. exactSmall computes it as a 128-bit integer, exactWide into a preformatted value.
template <typename Exact>
void KFix::inFormat(int64_t w64, int64_t f64, int32_t t, const KFix& a, const KFix* b, Exact exact)
{
    const int32_t w = checkWidth(w64);
    const int32_t f = binptArg(f64);
    if (w <= SMALL_WIDTH && isSmall() && a.isSmall() && (!b || b->isSmall())) {
        convertExact(*this, binpt, exact.small(w, f), w, f);
        return;
    }
    const bool direct = width == w && binpt == f && type == t && quant == TRUNCATE && ovfl == WRAP
        && &a != this && b != this;
    if (direct) {
        exact.wide(*this);
        status &= ~1u;
    } else if (w <= 16 * INLINE_WORDS) {
        KFix r = KFix::zero(w, f, t, TRUNCATE, WRAP); // fits the inline slots: no heap
        exact.wide(r);
        convertGeneric(*this, binpt, r, f);
    } else {
        KFix& r = scratch(2, w, f, t, TRUNCATE, WRAP);
        exact.wide(r);
        convertGeneric(*this, binpt, r, f);
    }
}

namespace {

struct AddExact {
    const KFix& a;
    const KFix& b;
    bool subtract;
    i128 small(int32_t w, int32_t f) const
    {
        if (w <= 63 && a.width <= 63 && b.width <= 63) { // shifts below w: exact in 64 bits
            const uint64_t x = (uint64_t)a.get64() << (f - a.binpt);
            const uint64_t y = (uint64_t)b.get64() << (f - b.binpt);
            const uint64_t r = subtract ? x - y : x + y;
            return (i128)(int64_t)r;
        }
        const u128 x = (u128)a.get128() << (f - a.binpt);
        const u128 y = (u128)b.get128() << (f - b.binpt);
        return (i128)(subtract ? x - y : x + y);
    }
    void wide(KFix& r) const { sumInto(r, a, b, subtract); }
};

struct MulExact {
    const KFix& a;
    const KFix& b;
    i128 small(int32_t, int32_t) const { return (i128)((u128)a.get128() * (u128)b.get128()); }
    void wide(KFix& r) const { mulInto(r, a, b); }
};

struct NegExact {
    const KFix& a;
    i128 small(int32_t, int32_t) const { return (i128)((u128)0 - (u128)a.get128()); }
    void wide(KFix& r) const
    {
        const KNum zero;
        addInto(r, zero, 0, a, 0, true);
    }
};

template <typename Op> struct BitExact {
    const KFix& a;
    const KFix* b; // null: complement of a
    Op op;
    i128 small(int32_t, int32_t f) const
    {
        const u128 x = (u128)a.get128() << (f - a.binpt);
        if (!b) {
            if (a.width == 0)
                return 0;
            u128 r = ~x;
            if (a.type == UNSIGNED)
                r &= a.width == 0 ? 0 : (((u128)1 << a.width) - 1);
            return (i128)r;
        }
        const u128 y = (u128)b->get128() << (f - b->binpt);
        slot_t xs[8], ys[8], rs[8];
        for (int i = 0; i < 8; ++i) {
            xs[i] = (slot_t)(x >> (16 * i)) & DMASK;
            ys[i] = (slot_t)(y >> (16 * i)) & DMASK;
        }
        op(rs, xs, ys, 8);
        u128 r = 0;
        for (int i = 7; i >= 0; --i)
            r = (r << 16) | rs[i];
        return (i128)r;
    }
    void wide(KFix& r) const
    {
        if (!b) {
            copyBits(r, a, 0);
            not_n(r.digits, r.digits, r.nwords);
        } else {
            slot_t tmp[KNum::MAX_WORDS];
            extract(r.digits, r.nwords, view(a), -((long)r.binpt - a.binpt));
            extract(tmp, r.nwords, view(*b), -((long)r.binpt - b->binpt));
            op(r.digits, r.digits, tmp, r.nwords);
        }
        r.digits[r.nwords - 1] &= KNum::TOP_MASK[r.topbits];
    }
};

} // namespace

void KFix::add(const KFix& a, const KFix& b)
{
    const SumFormat sf = sumFormat(a, b, false);
    const double d = a.dbl + b.dbl;
    const int32_t v = a.valid && b.valid, as = a.assigned && b.assigned, k = a.known && b.known;
    inFormat(sf.width, sf.binpt, sf.type, a, &b, AddExact { a, b, false });
    dbl = d;
    setFlags(v, as, k);
}

void KFix::sub(const KFix& a, const KFix& b)
{
    const SumFormat sf = sumFormat(a, b, true);
    const double d = a.dbl - b.dbl;
    const int32_t v = a.valid && b.valid, as = a.assigned && b.assigned, k = a.known && b.known;
    inFormat(sf.width, sf.binpt, sf.type, a, &b, AddExact { a, b, true });
    dbl = d;
    setFlags(v, as, k);
}

void KFix::neg(const KFix& a)
{
    const double d = -a.dbl;
    const int32_t v = a.valid, as = a.assigned, k = a.known;
    inFormat((int64_t)a.width + 1, a.binpt, SIGNED, a, nullptr, NegExact { a });
    dbl = d;
    setFlags(v, as, k);
}

void KFix::mult(const KFix& a, const KFix& b)
{
    const SumFormat pf = productFormat(a, b);
    const double d = a.dbl * b.dbl;
    const int32_t v = a.valid && b.valid, as = a.assigned && b.assigned, k = a.known && b.known;
    inFormat(pf.width, pf.binpt, pf.type, a, &b, MulExact { a, b });
    dbl = d;
    setFlags(v, as, k);
}

template <typename Op> void KFix::bitwiseOp(const KFix& a, const KFix& b, Op op)
{
    const int32_t t = (a.type == SIGNED || b.type == SIGNED) ? SIGNED : UNSIGNED;
    const int64_t f = a.binpt > b.binpt ? a.binpt : b.binpt;
    const int64_t ia = intBits(a), ib = intBits(b);
    const bool mixed = a.type != b.type;
    const int64_t w = f + (ia > ib ? ia : ib) + (mixed ? 1 : 0);
    const int32_t v = a.valid && b.valid, as = a.assigned && b.assigned, k = a.known && b.known;
    inFormat(w < 0 ? 0 : w, f, t, a, &b, BitExact<Op> { a, &b, op });
    dbl = exactDouble(*this);
    setFlags(v, as, k);
}

void KFix::bitAnd(const KFix& a, const KFix& b) { bitwiseOp(a, b, and_n); }
void KFix::bitOr(const KFix& a, const KFix& b) { bitwiseOp(a, b, or_n); }
void KFix::bitXor(const KFix& a, const KFix& b) { bitwiseOp(a, b, xor_n); }

void KFix::bitNot(const KFix& a)
{
    const int32_t v = a.valid, as = a.assigned, k = a.known;
    inFormat(
        a.width, a.binpt, a.type, a, nullptr, BitExact<decltype(&and_n)> { a, nullptr, and_n });
    dbl = exactDouble(*this);
    setFlags(v, as, k);
}

void KFix::negate()
{
    KNum::negate();
    dbl = -dbl;
}

KFix& KFix::operator+=(const KFix& b)
{
    add(*this, b);
    return *this;
}

KFix& KFix::operator-=(const KFix& b)
{
    sub(*this, b);
    return *this;
}

KFix& KFix::operator*=(const KFix& b)
{
    mult(*this, b);
    return *this;
}

KFix& KFix::operator%=(const KFix& b)
{
    const int64_t f = binpt > b.binpt ? binpt : b.binpt;
    KNum x(static_cast<const KNum&>(*this), checkWidth(width + (f - binpt)), 0, TRUNCATE, WRAP);
    x.shiftLeft(shiftClamp(f - binpt));
    KNum y(static_cast<const KNum&>(b), checkWidth(b.width + (f - b.binpt)), 0, TRUNCATE, WRAP);
    y.shiftLeft(shiftClamp(f - b.binpt));
    KFix r(x % y);
    r.binpt = (int32_t)f;
    r.dbl = std::fmod(dbl, b.dbl);
    conj(r, *this, b);
    return *this = r;
}

KFix& KFix::operator>>=(int32_t n)
{
    shiftRight(n);
    dbl = scale2(dbl, -(int64_t)n);
    return *this;
}

KFix& KFix::operator<<=(int32_t n)
{
    shiftLeft(n);
    dbl = scale2(dbl, n);
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Comparison and conversion

int32_t num_internal::compareWide(const KFix& a, const KFix& b)
{
    const int64_t f = a.binpt > b.binpt ? a.binpt : b.binpt;
    const int64_t sa = f - a.binpt, sb = f - b.binpt;
    if (a.width + sa <= KNum::SMALL_WIDTH && b.width + sb <= KNum::SMALL_WIDTH) {
        const i128 x = (i128)((u128)a.get128() << sa);
        const i128 y = (i128)((u128)b.get128() << sb);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    const int na = a.sign(), nb = b.sign();
    if (na != nb)
        return na ? -1 : 1;
    const View va = view(a), vb = view(b);
    const int64_t bits = (a.width + sa > b.width + sb ? a.width + sa : b.width + sb);
    for (int64_t k = bits >> 4; k >= 0; --k) {
        const slot_t x = va.get16(16 * k - sa), y = vb.get16(16 * k - sb);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

// Nearest double (ties to even) of the bits times 2^-binpt, whatever the flags.
double exactDouble(const KFix& a)
{
    if (a.width <= 64) {
        const i128 v = a.get128();
        const double x = a.type == SIGNED ? (double)(int64_t)v : (double)(uint64_t)v;
        return std::ldexp(x, -a.binpt);
    }
    slot_t mag[KNum::MAX_WORDS];
    magnitude(mag, a);
    int top = a.nwords - 1;
    while (top >= 0 && mag[top] == 0)
        --top;
    if (top < 0)
        return 0.0;
    const long p = 16L * top + msb16(mag[top]); // highest set bit
    // The 64 bits from p down, every lower bit folded into a sticky bit.
    const View v { mag, a.nwords, 16, 0 };
    uint64_t hi = 0;
    for (int j = 3; j >= 0; --j)
        hi = (hi << 16) | v.get16(p - 63 + 16L * j);
    if (v.anyBelow(p - 63))
        hi |= 1u;
    const double x = std::ldexp((double)hi, (int)(p - 63 - a.binpt));
    return a.sign() ? -x : x;
}

double KFix::toDouble() const
{
    if (!valid || !known)
        return std::numeric_limits<double>::quiet_NaN();
    return exactDouble(*this);
}

// ---------------------------------------------------------------------------------------------
// Text

std::string KFix::typeName() const
{
    if (is_bool)
        return "Bool";
    char buf[64];
    std::snprintf(buf, sizeof buf, type == SIGNED ? "Fix_%d_%d%s" : "UFix_%d_%d%s", width, binpt,
        always_valid ? "" : "v");
    return buf;
}

std::string KFix::toString() const
{
    const bool shown = valid && known;
    std::string bits = shown ? KNum::toString() : std::string((size_t)width, 'X');
    if (binpt > 0) {
        if (binpt <= width) {
            bits.insert(bits.size() - (size_t)binpt, ".");
        } else {
            const char pad = shown ? (sign() ? '1' : '0') : 'X';
            bits = "." + std::string((size_t)(binpt - width), pad) + bits;
        }
    }
    char head[64];
    std::snprintf(head, sizeof head, "KFix[%d,%d] '", width, binpt);
    return (type == UNSIGNED ? std::string("Unsigned ") : std::string()) + head + bits + "'";
}

std::string KFix::toString(int32_t base) const
{
    if (base < 2 || base > 32)
        throw KNumException::IllegalIntArg("base", base);
    if (!valid || !known)
        return "X";
    // Magnitude scaled to a non-negative binary point: value = mag * 2^-fb.
    const int64_t fb = binpt > 0 ? binpt : 0;
    const int64_t bits = width + 1 + (binpt < 0 ? -(int64_t)binpt : 0);
    std::vector<slot_t> mag((size_t)(bits / 16 + 2), 0);
    {
        std::vector<slot_t> m((size_t)nwords);
        magnitude(m.data(), *this);
        const View v { m.data(), nwords, 16, 0 };
        const long pos = binpt < 0 ? (long)binpt : 0;
        extract(mag.data(), (int)mag.size(), v, pos);
    }
    // Integer part = mag >> fb, fraction = mag mod 2^fb.
    const View mv { mag.data(), (int)mag.size(), 16, 0 };
    std::vector<slot_t> ip(mag.size(), 0);
    extract(ip.data(), (int)ip.size(), mv, (long)fb);
    std::string out = (sign() ? "-" : "") + magToBase(ip, base);
    if (fb > 0) {
        // Fraction digits until the expansion ends, at most fb of them (truncated).
        const int fn = (int)(fb / 16 + 2);
        std::vector<slot_t> fr((size_t)fn, 0);
        for (int64_t i = 0; i < fb; ++i)
            if (mv.bit(i))
                fr[(size_t)(i >> 4)] |= 1u << (i & 15);
        out += ".";
        for (int64_t i = 0; i < fb; ++i) {
            mulsmall_n(fr.data(), fn, (slot_t)base);
            const View fv { fr.data(), fn, 16, 0 };
            slot_t digit = 0;
            for (int b = 0; b < 5; ++b)
                digit |= (slot_t)fv.bit(fb + b) << b;
            out.push_back("0123456789ABCDEFGHIJKLMNOPQRSTUV"[digit]);
            for (int b = 0; b < 5; ++b) {
                const int64_t pos = fb + b;
                fr[(size_t)(pos >> 4)] &= ~(1u << (pos & 15));
            }
            if (zero_n(fr.data(), fn))
                break;
        }
    }
    return out + baseSuffix(base);
}

std::ostream& operator<<(std::ostream& os, const KFix& v) { return os << v.toString(); }

// ---------------------------------------------------------------------------------------------
// KFixComplex

KFixComplex::KFixComplex()
    : re()
    , im()
{
}

KFixComplex::KFixComplex(const KFix& r, const KFix& i)
    : re(r)
    , im(i)
{
}

void KFixComplex::setFormat(const KFix& tmpl)
{
    re.setFormat(tmpl);
    im.setFormat(tmpl);
}

void KFixComplex::setFormat(int32_t w, int32_t f, int32_t t, int32_t q, int32_t o)
{
    re.setFormat(w, f, t, q, o);
    im.setFormat(w, f, t, q, o);
}

namespace {

template <typename T> T max4(T a, T b, T c, T d)
{
    const T x = a > b ? a : b, y = c > d ? c : d;
    return x > y ? x : y;
}

KFixComplex sumDiff(const KFixComplex& a, const KFixComplex& b, bool subtract)
{
    const bool anySigned
        = a.re.type == SIGNED || a.im.type == SIGNED || b.re.type == SIGNED || b.im.type == SIGNED;
    const int32_t t = (subtract || anySigned) ? SIGNED : UNSIGNED;
    const int64_t f = max4<int64_t>(a.re.binpt, a.im.binpt, b.re.binpt, b.im.binpt);
    const int64_t i = max4(intBits(a.re), intBits(a.im), intBits(b.re), intBits(b.im));
    const int32_t w = checkWidth(f + i + (subtract ? 2 : (t == SIGNED ? 2 : 1)));
    KFixComplex r;
    r.re.initFormat(w, (int32_t)f, t, TRUNCATE, WRAP);
    r.im.initFormat(w, (int32_t)f, t, TRUNCATE, WRAP);
    sumInto(r.re, a.re, b.re, subtract);
    sumInto(r.im, a.im, b.im, subtract);
    r.re.dbl = subtract ? a.re.dbl - b.re.dbl : a.re.dbl + b.re.dbl;
    r.im.dbl = subtract ? a.im.dbl - b.im.dbl : a.im.dbl + b.im.dbl;
    conj(r.re, a.re, b.re);
    conj(r.im, a.im, b.im);
    return r;
}

KFixComplex product(const KFixComplex& a, const KFixComplex& b);

} // namespace

KFixComplex num_internal::complexWide(const KFixComplex& a, const KFixComplex& b, int op)
{
    return op == 2 ? product(a, b) : sumDiff(a, b, op == 1);
}

namespace {

KFixComplex product(const KFixComplex& a, const KFixComplex& b)
{
    const int64_t fa = a.re.binpt > a.im.binpt ? a.re.binpt : a.im.binpt;
    const int64_t fb = b.re.binpt > b.im.binpt ? b.re.binpt : b.im.binpt;
    const int64_t ia = intBits(a.re) > intBits(a.im) ? intBits(a.re) : intBits(a.im);
    const int64_t ib = intBits(b.re) > intBits(b.im) ? intBits(b.re) : intBits(b.im);
    const int32_t f = binptArg(fa + fb);
    const int32_t w = checkWidth(fa + fb + ia + ib + 2);
    KFixComplex r;
    r.re.initFormat(w, f, SIGNED, TRUNCATE, WRAP);
    r.im.initFormat(w, f, SIGNED, TRUNCATE, WRAP);
    if (w <= KNum::SMALL_WIDTH && a.re.isSmall() && a.im.isSmall() && b.re.isSmall()
        && b.im.isSmall()) {
        const u128 ar = (u128)a.re.get128(), ai = (u128)a.im.get128();
        const u128 br = (u128)b.re.get128(), bi = (u128)b.im.get128();
        const int s1 = f - a.re.binpt - b.re.binpt, s2 = f - a.im.binpt - b.im.binpt;
        const int s3 = f - a.re.binpt - b.im.binpt, s4 = f - a.im.binpt - b.re.binpt;
        r.re.set128(((ar * br) << s1) - ((ai * bi) << s2));
        r.im.set128(((ar * bi) << s3) + ((ai * br) << s4));
    } else {
        const KNum p1 = a.re * b.re, p2 = a.im * b.im, p3 = a.re * b.im, p4 = a.im * b.re;
        addInto(r.re, p1, -((long)f - a.re.binpt - b.re.binpt), p2,
            -((long)f - a.im.binpt - b.im.binpt), true);
        addInto(r.im, p3, -((long)f - a.re.binpt - b.im.binpt), p4,
            -((long)f - a.im.binpt - b.re.binpt), false);
    }
    r.re.dbl = a.re.dbl * b.re.dbl - a.im.dbl * b.im.dbl;
    r.im.dbl = a.re.dbl * b.im.dbl + a.im.dbl * b.re.dbl;
    const bool v = a.re.valid && a.im.valid && b.re.valid && b.im.valid;
    const bool as = a.re.assigned && a.im.assigned && b.re.assigned && b.im.assigned;
    const bool k = a.re.known && a.im.known && b.re.known && b.im.known;
    r.re.valid = r.im.valid = v;
    r.re.assigned = r.im.assigned = as;
    r.re.known = r.im.known = k;
    return r;
}

} // namespace
