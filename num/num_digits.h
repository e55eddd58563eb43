// num_digits -- kernels on (pointer, count) arrays of 16-bit digits in 32-bit slots, least
// significant first. They never allocate; carries are taken from bit 16. Outputs may alias
// inputs only where stated.
#ifndef KFFT_NUM_DIGITS_H
#define KFFT_NUM_DIGITS_H

#include <cstdint>

namespace num_digits {

using slot_t = uint32_t;
constexpr slot_t DMASK = 0xFFFFu;

// r = a + b + carry over n slots; returns the carry out. r may alias a or b.
inline slot_t add_n(slot_t* r, const slot_t* a, const slot_t* b, int n, slot_t carry = 0)
{
    for (int i = 0; i < n; ++i) {
        const slot_t s = a[i] + b[i] + carry;
        r[i] = s & DMASK;
        carry = s >> 16;
    }
    return carry;
}

// r = a - b - borrow over n slots; returns the borrow out. r may alias a or b.
inline slot_t sub_n(slot_t* r, const slot_t* a, const slot_t* b, int n, slot_t borrow = 0)
{
    for (int i = 0; i < n; ++i) {
        const slot_t s = a[i] - b[i] - borrow;
        r[i] = s & DMASK;
        borrow = (s >> 31) & 1u;
    }
    return borrow;
}

// r += 1 over n slots; returns the carry out.
inline slot_t incr_n(slot_t* r, int n)
{
    for (int i = 0; i < n; ++i) {
        if (r[i] != DMASK) {
            ++r[i];
            return 0;
        }
        r[i] = 0;
    }
    return 1;
}

// r -= 1 over n slots; returns the borrow out.
inline slot_t decr_n(slot_t* r, int n)
{
    for (int i = 0; i < n; ++i) {
        if (r[i] != 0) {
            --r[i];
            return 0;
        }
        r[i] = DMASK;
    }
    return 1;
}

// r = -a modulo 2^(16n). r may alias a.
inline void neg_n(slot_t* r, const slot_t* a, int n)
{
    for (int i = 0; i < n; ++i)
        r[i] = ~a[i] & DMASK;
    incr_n(r, n);
}

inline void not_n(slot_t* r, const slot_t* a, int n)
{
    for (int i = 0; i < n; ++i)
        r[i] = ~a[i] & DMASK;
}

inline void and_n(slot_t* r, const slot_t* a, const slot_t* b, int n)
{
    for (int i = 0; i < n; ++i)
        r[i] = a[i] & b[i];
}

inline void or_n(slot_t* r, const slot_t* a, const slot_t* b, int n)
{
    for (int i = 0; i < n; ++i)
        r[i] = a[i] | b[i];
}

inline void xor_n(slot_t* r, const slot_t* a, const slot_t* b, int n)
{
    for (int i = 0; i < n; ++i)
        r[i] = a[i] ^ b[i];
}

inline void copy_n(slot_t* r, const slot_t* a, int n)
{
    for (int i = 0; i < n; ++i)
        r[i] = a[i];
}

inline void fill_n(slot_t* r, slot_t v, int n)
{
    for (int i = 0; i < n; ++i)
        r[i] = v;
}

inline bool zero_n(const slot_t* a, int n)
{
    for (int i = 0; i < n; ++i)
        if (a[i])
            return false;
    return true;
}

// 0 when equal, else the difference of the first unequal slots from the top.
inline int32_t cmp_n(const slot_t* a, const slot_t* b, int n)
{
    for (int i = n - 1; i >= 0; --i)
        if (a[i] != b[i])
            return (int32_t)a[i] - (int32_t)b[i];
    return 0;
}

// r[0 .. an+bn) = a * b, schoolbook. r must not alias a or b.
inline void mul_n(slot_t* r, const slot_t* a, int an, const slot_t* b, int bn)
{
    for (int i = 0; i < an + bn; ++i)
        r[i] = 0;
    for (int i = 0; i < an; ++i) {
        const slot_t ai = a[i];
        if (!ai)
            continue;
        slot_t carry = 0;
        for (int j = 0; j < bn; ++j) {
            const slot_t t = ai * b[j] + r[i + j] + carry; // < 2^32
            r[i + j] = t & DMASK;
            carry = t >> 16;
        }
        r[i + bn] = carry;
    }
}

// a = a / d (d < 2^16) over n slots; returns the remainder.
inline slot_t divsmall_n(slot_t* a, int n, slot_t d)
{
    slot_t rem = 0;
    for (int i = n - 1; i >= 0; --i) {
        const slot_t cur = (rem << 16) | a[i];
        a[i] = cur / d;
        rem = cur % d;
    }
    return rem;
}

// a = a * m + add (m, add < 2^16) over n slots; returns the carry out.
inline slot_t mulsmall_n(slot_t* a, int n, slot_t m, slot_t add = 0)
{
    slot_t carry = add;
    for (int i = 0; i < n; ++i) {
        const slot_t t = a[i] * m + carry;
        a[i] = t & DMASK;
        carry = t >> 16;
    }
    return carry;
}

// Index of the highest set bit of a nonzero 16-bit digit.
inline int msb16(slot_t x) { return 31 - __builtin_clz(x); }

// A read-only view of a value: n slots, the top one holding topbits bits; beyond the top every
// bit reads as `fill` (0 or 1: the sign), below bit 0 every bit reads as 0.
struct View {
    const slot_t* d;
    int n;
    int topbits;
    int fill;

    // Slot k with extension.
    slot_t slot(long k) const
    {
        if (k < 0)
            return 0;
        if (k < n - 1)
            return d[k];
        const slot_t ext = fill ? DMASK : 0;
        if (k == n - 1)
            return (d[k] | (ext & ~((1u << topbits) - 1u))) & DMASK;
        return ext;
    }
    // 16 bits starting at bit position pos.
    slot_t get16(long pos) const
    {
        const long k = pos >> 4; // floor
        const int s = (int)(pos & 15);
        const slot_t lo = slot(k);
        if (s == 0)
            return lo;
        return ((lo >> s) | (slot(k + 1) << (16 - s))) & DMASK;
    }
    int bit(long i) const
    {
        if (i < 0)
            return 0;
        return (int)((slot(i >> 4) >> (i & 15)) & 1u);
    }
    // Any bit set in positions [0, k).
    bool anyBelow(long k) const
    {
        if (k <= 0)
            return false;
        const long width = (long)(n - 1) * 16 + topbits;
        if (k > width && fill)
            return true;
        if (k > width)
            k = width;
        const long full = k >> 4;
        for (long i = 0; i < full; ++i)
            if (d[i])
                return true;
        const int rest = (int)(k & 15);
        return rest && (d[full] & ((1u << rest) - 1u));
    }
    // Highest position below the top whose bit differs from `b`, or -1.
    long msbDiff(int b) const
    {
        const slot_t x = b ? DMASK : 0;
        const slot_t top = (d[n - 1] ^ x) & ((1u << topbits) - 1u);
        if (top)
            return (long)(n - 1) * 16 + msb16(top);
        for (int i = n - 2; i >= 0; --i) {
            const slot_t y = (d[i] ^ x) & DMASK;
            if (y)
                return (long)i * 16 + msb16(y);
        }
        return -1;
    }
};

// r[0 .. rn) = bits of v from position pos upward (pos < 0 shifts zeros in from below).
inline void extract(slot_t* r, int rn, const View& v, long pos)
{
    if ((pos & 15) == 0) {
        const long k = pos >> 4;
        for (int j = 0; j < rn; ++j)
            r[j] = v.slot(k + j);
        return;
    }
    for (int j = 0; j < rn; ++j)
        r[j] = v.get16(pos + 16L * j);
}

} // namespace num_digits

#endif // KFFT_NUM_DIGITS_H
