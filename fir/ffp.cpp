// FFPContext -- fixed-point formats, rounding and overflow of doubles, warning records.
#include "ffp.h"

#include <cmath>
#include <cstdio>

const char* const rnd_desc[12] = { "-RND_NONE", "-RND_CHECK", "-RND_TO_ZERO", "-RND_TO_INF",
    "-RND_DOWN", "-RND_UP", "-RND_TO_EVEN", "-RND_TO_ODD", "-RND_POSIX", "-RND_HALF_DOWN",
    "-RND_HALF_UP", "-RND_HALF_TO_ZERO" };

const char* const ovf_desc[4] = { "-OVF_NONE", "-OVF_CHECK", "-OVF_WRAP", "-OVF_CLIP" };

namespace {

std::string format_g(double x)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", x);
    return buf;
}

std::string format_name(int sign, int width, int frac)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%cFIX_%d_%d", sign == SIGN_SIGNED ? 'I' : 'U', width, frac);
    return buf;
}

} // namespace

FFPContext::FFPContext(int w, int f, RndMode rnd, OvfMode ovf, SignMode sign, WarnMode warn)
{
    setFormat(w, f, sign);
    setRoundingMode(rnd);
    setOverflowMode(ovf);
    setWarnMode(warn);
}

FFPContext::~FFPContext() = default;

void FFPContext::setFormat(int w, int f, SignMode sign)
{
    width = w;
    if (w < 1 || w > 53)
        throw FFPException("Bad format specified (" + format_name(sign, w, f) + ")");
    // Only two's complement and plain binary exist; the description letter and the range
    // would disagree for any other value.
    if (sign != SIGN_SIGNED && sign != SIGN_UNSIGNED)
        throw FFPException("Bad sign mode specified");
    frac = f;
    sign_mode = sign;
    if (sign != SIGN_UNSIGNED) {
        max_value = std::pow(2.0, w - 1) - 1.0;
        min_value = -std::pow(2.0, w - 1);
        modulus = -2.0 * min_value;
    } else {
        max_value = std::pow(2.0, w) - 1.0;
        min_value = 0.0;
        modulus = max_value + 1.0;
    }
    scale = std::pow(2.0, f);
    unscale = std::pow(2.0, -f);
}

void FFPContext::setRoundingMode(RndMode mode)
{
    rnd_mode = mode;
    if (static_cast<uint32_t>(mode) > RND_HALF_TO_ZERO)
        throw FFPException("Bad rounding mode specified");
}

void FFPContext::setOverflowMode(OvfMode mode)
{
    ovf_mode = mode;
    if (static_cast<uint32_t>(mode) > OVF_CLIP)
        throw FFPException("Bad overflow mode specified");
}

std::string FFPContext::describe(bool full) const
{
    std::string s = format_name(sign_mode, width, frac);
    if (full) {
        // A failed setter leaves its bad value stored; describe it without reading past the tables.
        uint32_t r = static_cast<uint32_t>(rnd_mode), o = static_cast<uint32_t>(ovf_mode);
        s += r < 12 ? rnd_desc[r] : "-RND_INVALID";
        s += o < 4 ? ovf_desc[o] : "-OVF_INVALID";
    }
    return s;
}

// Precondition: f = v - i is the non-zero fractional part of v, i its integer part.
double FFPContext::round_fraction(double v, double i, double f) const
{
    switch (rnd_mode) {
    case RND_CHECK:
        return v;
    case RND_TO_ZERO:
        return i;
    case RND_TO_INF:
        return f < 0 ? i - 1 : i + 1;
    case RND_DOWN:
        return f < 0 ? i - 1 : i;
    case RND_UP:
        return f < 0 ? i : i + 1;
    default:
        break;
    }
    // Round-to-nearest modes differ only at the two ties.
    if (f < -0.5)
        return i - 1;
    if (f > 0.5)
        return i + 1;
    if (f != -0.5 && f != 0.5)
        return i;
    const bool neg = f < 0;
    switch (rnd_mode) {
    case RND_TO_EVEN:
        return neg ? 2 * std::floor(i / 2) : 2 * std::ceil(i / 2);
    case RND_TO_ODD:
        return neg ? 2 * std::ceil(i / 2) - 1 : 2 * std::floor(i / 2) + 1;
    case RND_POSIX:
        return neg ? i - 1 : i + 1;
    case RND_HALF_DOWN:
        return neg ? i - 1 : i;
    case RND_HALF_UP:
        return neg ? i : i + 1;
    case RND_HALF_TO_ZERO:
        return i;
    default:
        return v; // an invalid stored mode leaves the value as it is
    }
}

// Precondition: r is outside [min_value, max_value].
double FFPContext::wrap(double r) const
{
    if (sign_mode != SIGN_UNSIGNED) {
        double t = std::fmod(r, modulus);
        if (r > max_value)
            return t > max_value ? t - modulus : t;
        return t < min_value ? t + modulus : t;
    }
    if (r > max_value)
        return std::fmod(r, modulus);
    return max_value + std::fmod(r + 1, modulus);
}

double FFPContext::do_restrict(double v)
{
    double r = v;
    if (rnd_mode != RND_NONE) {
        double i;
        double f = std::modf(v, &i);
        if (f != 0) {
            r = round_fraction(v, i, f);
            if (warn_mode & WARN_PRECISION)
                record_precision(v, r);
        }
    }
    if (ovf_mode != OVF_NONE && (r > max_value || r < min_value)) {
        double r_new;
        switch (ovf_mode) {
        case OVF_WRAP:
            r_new = wrap(r);
            break;
        case OVF_CLIP:
            r_new = r > max_value ? max_value : min_value;
            break;
        default:
            r_new = r;
            break; // OVF_CHECK, or an invalid stored mode
        }
        if (warn_mode & WARN_OVERFLOW)
            record_overflow(r, r_new);
        r = r_new;
    }
    return r == 0 ? 0.0 : r;
}

double FFPContext::do_tofix(double x, double lo, double hi)
{
    double s = x * scale;
    if ((warn_mode & WARN_CONVERT) && (s > hi || s < lo))
        record(
            "to_fix: " + format_g(x) + " (" + describe(false) + ") exceeded range of target type",
            WARN_CONVERT);
    return do_restrict(s);
}

double FFPContext::do_fromfix(double c, bool flag)
{
    if (flag)
        record("from_fix: input had more precision than target type " + describe(false)
                + " (became " + format_g(c) + ")",
            WARN_CONVERT);
    return do_restrict(c) * unscale;
}

void FFPContext::record_precision(double v, double r)
{
    std::string text = format_g(v * unscale) + " too precise for " + describe(false);
    if (rnd_mode == RND_CHECK)
        text += " (was not rounded)";
    else
        text += " (rounded to " + format_g(r * unscale) + ")";
    record(text, WARN_PRECISION);
}

void FFPContext::record_overflow(double r, double r_new)
{
    std::string text = format_g(r * unscale) + " too large for " + describe(false);
    if (ovf_mode == OVF_CHECK)
        text += " (overflow disabled)";
    else
        text += " (overflowed to " + format_g(r_new * unscale) + ")";
    record(text, WARN_OVERFLOW);
}

void FFPContext::record(const std::string& text, WarnMode kind)
{
    if (!messages.empty())
        messages += '\n';
    messages += text;
    if (warn_mode & WARN_ONCE)
        warn_mode = static_cast<WarnMode>(warn_mode & ~kind);
    if (warn_mode & WARN_THROW)
        throw FFPException(messages);
}

std::ostream& operator<<(std::ostream& os, const FFPContext& ctx)
{
    return os << ctx.describe(true);
}
