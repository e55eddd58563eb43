// FFPContext -- one fixed-point format with rounding, overflow and warning policy,
// and the quantisation of doubles into it.
#ifndef KIP_FIR_FFP_H
#define KIP_FIR_FFP_H

#include <cstdint>
#include <ostream>
#include <string>

#include "fir_exceptions.h"

// Rounding of a value with a fractional part to an integer code.
enum RndMode : int32_t {
    RND_NONE = 0, // no rounding: the value is kept as it is
    RND_CHECK = 1, // kept as it is, but a precision warning may be recorded
    RND_TO_ZERO = 2, // truncation
    RND_TO_INF = 3, // away from zero
    RND_DOWN = 4, // floor
    RND_UP = 5, // ceiling
    RND_TO_EVEN = 6, // nearest, ties to the even code
    RND_TO_ODD = 7, // nearest, ties to the odd code
    RND_POSIX = 8, // nearest, ties away from zero
    RND_HALF_DOWN = 9, // nearest, ties towards minus infinity
    RND_HALF_UP = 10, // nearest, ties towards plus infinity
    RND_HALF_TO_ZERO = 11 // nearest, ties towards zero
};

// Treatment of a rounded code outside the format's range.
enum OvfMode : int32_t {
    OVF_NONE = 0, // no range check at all
    OVF_CHECK = 1, // kept as it is, but an overflow warning may be recorded
    OVF_WRAP = 2, // two's complement (signed) or modulo 2^width (unsigned) wrap-around
    OVF_CLIP = 3 // saturation to the nearest bound
};

enum SignMode : int32_t { SIGN_SIGNED = 0, SIGN_UNSIGNED = 1 };

// Warning policy: a set of bits.
enum WarnMode : int32_t {
    WARN_NONE = 0,
    WARN_ONCE = 1, // after a record of a kind, clear that kind's bit
    WARN_THROW = 2, // after a record, throw FFPException with all accumulated text
    WARN_OVERFLOW = 4, // record overflows in do_restrict
    WARN_PRECISION = 8, // record rounded fractional values in do_restrict
    WARN_CONVERT = 16 // record range warnings of do_tofix, precision warnings of do_fromfix
};

inline WarnMode operator|(WarnMode a, WarnMode b)
{
    return static_cast<WarnMode>(static_cast<int32_t>(a) | static_cast<int32_t>(b));
}

// Description suffixes indexed by mode value.
extern const char* const rnd_desc[12];
extern const char* const ovf_desc[4];

class FFPContext {
public:
    // Calls setFormat, setRoundingMode, setOverflowMode, setWarnMode in this order; a
    // failing setter's FFPException leaves the constructor.
    FFPContext(int width, int frac, RndMode rnd, OvfMode ovf, SignMode sign, WarnMode warn);
    virtual ~FFPContext();
    FFPContext(const FFPContext&) = default;
    FFPContext& operator=(const FFPContext&) = default;

    // width 1 to 53; sign 0 or 1. On a bad width only `width` is changed; on a bad sign mode
    // nothing is changed. Both throw FFPException.
    void setFormat(int width, int frac, SignMode sign);
    // Mode stored first; throws FFPException if outside 0..11 / 0..3 (compared unsigned).
    void setRoundingMode(RndMode mode);
    void setOverflowMode(OvfMode mode);
    void setWarnMode(WarnMode mode) { warn_mode = mode; }

    int getWidth() const { return width; }
    int getFrac() const { return frac; }
    RndMode getRoundingMode() const { return rnd_mode; }
    OvfMode getOverflowMode() const { return ovf_mode; }
    SignMode getSignMode() const { return sign_mode; }
    WarnMode getWarnMode() const { return warn_mode; }

    // "IFIX_16_15", with full also the mode suffixes: "IFIX_16_15-RND_TO_EVEN-OVF_WRAP".
    std::string describe(bool full) const;

    // Rounds v (integer-code units) by rnd_mode, then treats overflow by ovf_mode.
    // Never returns negative zero. Allocates only when a warning record is made. Records
    // under RND_CHECK end in " (was not rounded)", under OVF_CHECK in " (overflow disabled)".
    double do_restrict(double v);
    // do_restrict(x * scale); records a range warning when the scaled value is outside
    // [lo, hi] and WARN_CONVERT is set.
    double do_tofix(double x, double lo, double hi);
    // do_restrict(c) * unscale; records a precision warning when flag is true.
    double do_fromfix(double c, bool flag);

    int32_t width = 0;
    int32_t frac = 0;
    RndMode rnd_mode = RND_NONE;
    OvfMode ovf_mode = OVF_NONE;
    SignMode sign_mode = SIGN_SIGNED;
    WarnMode warn_mode = WARN_NONE;
    double scale = 1.0; // 2^frac
    double unscale = 1.0; // 2^-frac
    double max_value = 0.0; // largest integer code
    double min_value = 0.0; // smallest integer code
    std::string messages; // accumulated warning records, "\n"-separated; cleared by the user

private:
    double round_fraction(double v, double i, double f) const;
    double wrap(double r) const;
    void record_precision(double v, double r);
    void record_overflow(double r, double r_new);
    void record(const std::string& text, WarnMode kind);

    double modulus = 0.0; // 2^width, the wrap-around period
};

std::ostream& operator<<(std::ostream& os, const FFPContext& ctx);

#endif // KIP_FIR_FFP_H
