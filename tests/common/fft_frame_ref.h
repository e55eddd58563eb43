// Whole-frame reference of the FFT model, written from the datapath description with KFix
// registers throughout: conditioning, the radix-4 burst, radix-2 burst (and lite) and
// pipelined radix-2^2 datapaths, block floating point and the result scaling. Slow and plain
// on purpose; it shares nothing with the engines beyond the KFix classes.
#ifndef KFFT_FFT_FRAME_REF_H
#define KFFT_FFT_FRAME_REF_H

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "kfft_v8_0_bitacc_cmodel.h"
#include "kfix.h"

namespace fft_ref {

// Signed register formats.
inline KFix reg(int32_t w, int32_t f, int32_t quant = TRUNCATE, int32_t ovfl = WRAP)
{
    return KFix::zero(w, f, SIGNED, quant, ovfl);
}
inline KFixComplex creg(int32_t w, int32_t f, int32_t quant = TRUNCATE, int32_t ovfl = WRAP)
{
    return KFixComplex::zero(w, f, SIGNED, quant, ovfl);
}

// A value whose raw integer in the (w, f) format is raw.
inline KFix raw_const(int64_t raw, int32_t w, int32_t f)
{
    KFix k = reg(w, f);
    k = std::ldexp(static_cast<double>(raw), -f);
    return k;
}

// Integer constant v (binpt 0, automatic width).
inline KFix int_const(int32_t v) { return KFix(v, 0, SIGNED, TRUNCATE, WRAP); }

// Constant 2^-k (k >= 0), exact.
inline KFix pow2_const(int32_t k)
{
    KFix c = reg(k + 2, k);
    c = std::ldexp(1.0, -k);
    return c;
}

// True when a part lies outside [-1, 1).
inline bool outside_unit(const KFix& v) { return v < int_const(-1) || v >= int_const(1); }

// Quarter-wave twiddle table for 2^M points at TW bits, built from cos/sin of the stated
// angle, with the symmetric lookup of the other quadrants.
class Twiddles {
public:
    Twiddles(int32_t M, int32_t TW)
        : M_(M)
        , TW_(TW)
    {
        const uint64_t quarter = uint64_t { 1 } << (M - 2);
        for (uint64_t k = 0; k <= quarter; ++k) {
            const double x = static_cast<double>(k) * 6.283185307179586 / std::ldexp(1.0, M);
            KFix c = reg(TW + 1, TW - 1, CONVERGENT, SATURATE);
            KFix s = reg(TW + 1, TW - 1, CONVERGENT, SATURATE);
            c = std::cos(x);
            s = std::sin(x);
            table_.emplace_back(c, s);
        }
    }

    int32_t entries() const { return static_cast<int32_t>(table_.size()); }
    const KFixComplex& entry(int32_t k) const { return table_[static_cast<size_t>(k)]; }

    // exp(+j 2 pi i / 2^M) in the engines' twiddle register format.
    KFixComplex lookup(uint64_t i) const
    {
        const uint64_t full = uint64_t { 1 } << M_;
        const uint64_t quarter = full >> 2;
        const uint64_t j = i % full;
        const bool H = (j >> (M_ - 1)) & 1;
        const bool Q = (j >> (M_ - 2)) & 1;
        uint64_t m = j % quarter;
        if (Q)
            m = quarter - m;
        const KFixComplex& e = table_[m];
        KFixComplex r = creg(TW_ + 1, TW_ - 1, TRUNCATE, SATURATE);
        if (Q != H)
            r.re = -e.re;
        else
            r.re = e.re;
        if (H)
            r.im = -e.im;
        else
            r.im = e.im;
        return r;
    }

private:
    int32_t M_, TW_;
    std::vector<KFixComplex> table_;
};

struct Result {
    std::vector<double> re, im;
    int32_t blk_exp = 0;
    int32_t overflow = 0;
    bool prequantised = true; // false: the samples were rounded to the input grid
    // Burst engines: per stage, the largest class key of the written results (see peak_key).
    std::vector<int32_t> stage_peak;
};

// What the engines see of one frame.
struct Frame {
    int32_t M, TW, W; // C_NFFT_MAX, twiddle width, data word width (burst) or P (pipelined)
    int32_t nfft;
    uint64_t N;
    int32_t rounding, scaling, bfp, direction;
    std::vector<int32_t> sch;
    const Twiddles* rom;
    std::vector<KFixComplex> mem; // frame memory by logical position
    int32_t h = 32; // input headroom (burst engines)
    int32_t blk_exp = 0;
    int32_t overflow = 0;
    std::vector<int32_t> stage_peak;

    int32_t out_quant() const { return rounding ? CONVERGENT_NOSAT : TRUNCATE; }
    // Index for direction 1 is reflected: the forward kernel.
    uint64_t dir_index(uint64_t i) const
    {
        const uint64_t full = uint64_t { 1 } << M;
        return direction == 1 ? (full - i % full) % full : i;
    }
};

// Redundant sign bits (0..3) directly below the sign of a (W, W-1) word.
inline int32_t headroom(const KFix& v)
{
    int32_t h = 0;
    while (h < 3 && v >= -pow2_const(h + 1) && v < pow2_const(h + 1))
        ++h;
    return h;
}

// Class of a written result part for block floating point: bounds are 8-bit codes on the
// value truncated to 7 fraction bits.
inline int32_t bfp_class(const KFix& v, const int32_t* bounds, int32_t nbounds)
{
    KFix t = reg(8, 7);
    t = v;
    int32_t c = 0;
    while (c < nbounds) {
        const KFix b = raw_const(bounds[c], 8, 7);
        if (t >= -b && t < b)
            break;
        ++c;
    }
    return c;
}

// Trace only: the 8-bit truncated code c of a value as a key, c for c >= 0 and -c - 1 below,
// so that a value is inside class bound B exactly when its key is below B.
inline int32_t peak_key(const KFix& v)
{
    KFix t = reg(8, 7);
    t = v;
    const int32_t c = static_cast<int32_t>(std::ldexp(t.toDouble(), 7));
    return c >= 0 ? c : -c - 1;
}

inline uint64_t digit_reverse4(uint64_t n, int32_t digits)
{
    uint64_t r = 0;
    for (int32_t d = 0; d < digits; ++d) {
        r = r * 4 + (n & 3);
        n >>= 2;
    }
    return r;
}

inline uint64_t bit_reverse(uint64_t n, int32_t bits)
{
    uint64_t r = 0;
    for (int32_t d = 0; d < bits; ++d) {
        r = r * 2 + (n & 1);
        n >>= 1;
    }
    return r;
}

// ---- radix-4 burst -------------------------------------------------------------------------

inline uint64_t r4_input_position(uint64_t n, int32_t nfft)
{
    const int32_t R = nfft / 2;
    if (nfft & 1)
        return (n % 2) * (uint64_t { 1 } << (nfft - 1)) + digit_reverse4(n / 2, R);
    return digit_reverse4(n, R);
}

inline void run_r4(Frame& f)
{
    const int32_t W = f.W, TW = f.TW;
    const int32_t R = f.nfft / 2, odd = f.nfft & 1;
    const uint64_t N = f.N, F = (uint64_t { 1 } << f.M) / N;
    const KFix K = raw_const((int64_t { 1 } << (TW - 5)) - 1, W + TW + 2, W + TW - 2);
    static const int32_t bounds[3] = { 24, 48, 97 };
    int32_t shift_reg = std::max(2 - f.h, 0);
    int32_t pe_overflow = 0;
    for (int32_t t = 0; t < R + odd; ++t) {
        int32_t s = 0;
        if (f.scaling == 1 && f.bfp == 0)
            s = f.sch[static_cast<size_t>(t)];
        else if (f.scaling == 1)
            s = shift_reg;
        f.blk_exp += s;
        shift_reg = 0;
        const bool radix2 = t == R;
        f.stage_peak.push_back(0);
        for (uint64_t b = 0; b < N / 4; ++b) {
            uint64_t pos[4], idx[4];
            if (!radix2) {
                const uint64_t L = uint64_t { 1 } << (2 * t);
                const uint64_t k = b % L, g = b / L;
                uint64_t e = k * (uint64_t { 1 } << (2 * (R - 1 - t)));
                if (odd)
                    e *= 2;
                idx[1] = F * e;
                idx[2] = 2 * idx[1];
                idx[3] = 3 * idx[1];
                for (int q = 0; q < 4; ++q)
                    pos[q] = g * 4 * L + q * L + k;
            } else {
                const uint64_t e = 2 * b - (b % 2);
                idx[1] = F * e;
                idx[2] = 0;
                idx[3] = F * (e + 2);
                pos[0] = e;
                pos[1] = e + N / 2;
                pos[2] = e + 2;
                pos[3] = e + 2 + N / 2;
            }
            KFixComplex x[4] = { f.mem[pos[0]], f.mem[pos[1]], f.mem[pos[2]], f.mem[pos[3]] };
            KFixComplex T[4] = { creg(W + 4, W + 2), creg(W + 4, W + 2), creg(W + 4, W + 2),
                creg(W + 4, W + 2) };
            for (int q = 1; q < 4; ++q) {
                KFixComplex w = f.rom->lookup(f.dir_index(idx[q]));
                KFixComplex P = creg(W + TW + 2, W + TW - 2);
                P = x[q] * w;
                P.re = P.re + K;
                P.im = P.im + K;
                T[q] = P;
            }
            KFixComplex A = creg(W + 6, W + 2), B = A, U = A, V = A;
            if (!radix2) {
                A = x[0] + T[2];
                U = x[0] - T[2];
                B = T[1] + T[3];
                const KFixComplex d = T[1] - T[3];
                V.re = d.im;
                V.im = -d.re;
            } else {
                A = x[0];
                B = T[1];
                U = T[2];
                V = T[3];
            }
            KFixComplex Y[4] = { creg(W + 9, W + 5), creg(W + 9, W + 5), creg(W + 9, W + 5),
                creg(W + 9, W + 5) };
            Y[0] = A + B;
            Y[2] = A - B;
            Y[1] = U + V;
            Y[3] = U - V;
            const KFixComplex zfmt = creg(W, W - 1, f.out_quant());
            KFixComplex Z[4] = { zfmt, zfmt, zfmt, zfmt };
            for (int q = 0; q < 4; ++q) {
                KFixComplex S = creg(W + 9, W + 5);
                S.re = Y[q].re >> s;
                S.im = Y[q].im >> s;
                Z[q] = S;
                if (outside_unit(S.re) || outside_unit(S.im))
                    pe_overflow = 1;
            }
            int order[4] = { 0, 1, 2, 3 };
            if (radix2) {
                order[1] = 2;
                order[2] = 1;
            } else if (f.direction == 0) {
                order[1] = 3;
                order[3] = 1;
            }
            for (int q = 0; q < 4; ++q) {
                const KFixComplex& z = Z[order[q]];
                f.mem[pos[q]] = z;
                shift_reg = std::max(shift_reg, bfp_class(f.mem[pos[q]].re, bounds, 3));
                shift_reg = std::max(shift_reg, bfp_class(f.mem[pos[q]].im, bounds, 3));
                f.stage_peak.back() = std::max({ f.stage_peak.back(), peak_key(f.mem[pos[q]].re),
                    peak_key(f.mem[pos[q]].im) });
            }
        }
        f.overflow = pe_overflow;
    }
}

// ---- radix-2 burst and lite ----------------------------------------------------------------

inline void run_r2(Frame& f)
{
    const int32_t W = f.W, TW = f.TW;
    const uint64_t N = f.N, F = (uint64_t { 1 } << f.M) / N;
    const KFix K = raw_const((int64_t { 1 } << (TW - 5)) - 1, W + TW + 2, W + TW - 2);
    static const int32_t bounds[2] = { 53, 106 };
    int32_t shift_reg = std::max(1 - f.h, 0);
    int32_t pe_overflow = 0;
    for (int32_t t = 0; t < f.nfft; ++t) {
        int32_t s = 0;
        if (f.scaling == 1 && f.bfp == 0)
            s = f.sch[static_cast<size_t>(t)];
        else if (f.scaling == 1)
            s = shift_reg;
        f.blk_exp += s;
        shift_reg = 0;
        const uint64_t L = uint64_t { 1 } << t;
        f.stage_peak.push_back(0);
        for (uint64_t b = 0; b < N / 2; ++b) {
            const uint64_t k = b % L, g = b / L;
            const uint64_t p0 = g * 2 * L + k, p1 = p0 + L;
            const uint64_t i = F * k * (uint64_t { 1 } << (f.nfft - 1 - t));
            const KFixComplex w = f.rom->lookup(f.dir_index(i));
            const KFixComplex x0 = f.mem[p0], x1 = f.mem[p1];
            KFixComplex P = creg(W + TW + 2, W + TW - 2);
            P = x1 * w;
            P.re = P.re + K;
            P.im = P.im + K;
            KFixComplex T = creg(W + 4, W + 2);
            T = P;
            KFixComplex Y0 = creg(W + 5, W + 2), Y1 = creg(W + 5, W + 2);
            Y0 = x0 + T;
            Y1 = x0 - T;
            const KFixComplex zfmt = creg(W, W - 1, f.out_quant());
            KFixComplex Z[2] = { zfmt, zfmt };
            const KFixComplex* Y[2] = { &Y0, &Y1 };
            for (int q = 0; q < 2; ++q) {
                KFixComplex S = creg(W + 8, W + 5);
                S.re = Y[q]->re >> s;
                S.im = Y[q]->im >> s;
                Z[q] = S;
                if (outside_unit(S.re) || outside_unit(S.im))
                    pe_overflow = 1;
            }
            f.mem[p0] = Z[0];
            f.mem[p1] = Z[1];
            for (uint64_t p : { p0, p1 }) {
                shift_reg = std::max(shift_reg, bfp_class(f.mem[p].re, bounds, 2));
                shift_reg = std::max(shift_reg, bfp_class(f.mem[p].im, bounds, 2));
                f.stage_peak.back() = std::max(
                    { f.stage_peak.back(), peak_key(f.mem[p].re), peak_key(f.mem[p].im) });
            }
        }
    }
    f.overflow = pe_overflow;
}

// ---- pipelined radix-2^2 -------------------------------------------------------------------

inline void run_r22(Frame& f)
{
    const int32_t P = f.W, TW = f.TW, M = f.M;
    const uint64_t N = f.N, F = (uint64_t { 1 } << M) / N;
    const bool scaled = f.scaling == 1 && f.bfp == 0;
    const int32_t G = scaled ? P + 4 : P + 5;
    const int32_t bw = scaled ? P + 2 : P; // butterfly output and stage output widths
    const int32_t prw = scaled ? P + TW + 3 : P + TW + 1;
    const int32_t tww = scaled ? P + 8 : P + 6;
    const KFix K = raw_const((int64_t { 1 } << (scaled ? TW - 7 : TW - 8)) - 1, prw, P + TW - 2);
    int32_t pe_overflow = 0;
    f.blk_exp = 0;
    for (int32_t t = 0; t < f.nfft; ++t) {
        const uint64_t h = N >> (t + 1);
        const bool last = t == f.nfft - 1;
        int32_t s = 0;
        if (t & 1)
            s = f.sch.empty() ? 0 : f.sch[static_cast<size_t>(t / 2)];
        else if (last)
            s = f.sch.empty() ? 0 : (f.sch[static_cast<size_t>(t / 2)] & 1);
        for (uint64_t j = 0; j < N / 2; ++j) {
            const uint64_t g = j / h, r = j % h;
            const uint64_t p = 2 * h * g + r;
            const KFixComplex a = f.mem[p], b = f.mem[p + h];
            KFixComplex B[2] = { creg(bw, P - 1), creg(bw, P - 1) };
            KFixComplex O[2] = { creg(bw, P - 1, f.out_quant()), creg(bw, P - 1, f.out_quant()) };
            if ((t & 1) == 0) {
                B[0] = a + b;
                B[1] = a - b;
                for (int q = 0; q < 2; ++q) {
                    if (last && scaled) {
                        KFixComplex S = creg(P + 11, P + 7);
                        S.re = B[q].re >> s;
                        S.im = B[q].im >> s;
                        if (outside_unit(S.re) || outside_unit(S.im))
                            pe_overflow = 1;
                        O[q] = S;
                    } else {
                        O[q] = B[q];
                    }
                }
            } else {
                if (g % 2 == 0) {
                    B[0] = a + b;
                    B[1] = a - b;
                } else if (f.direction == 1) {
                    B[0].re = a.re + b.im;
                    B[0].im = a.im - b.re;
                    B[1].re = a.re - b.im;
                    B[1].im = a.im + b.re;
                } else {
                    B[0].re = a.re - b.im;
                    B[0].im = a.im + b.re;
                    B[1].re = a.re + b.im;
                    B[1].im = a.im - b.re;
                }
                if (!last) {
                    const uint64_t step = (uint64_t { 1 } << (t - 1)) * F;
                    const uint64_t i1 = (g % 2) * r * step, i2 = ((g % 2) + 2) * r * step;
                    const KFixComplex w[2]
                        = { f.rom->lookup(f.dir_index(i1)), f.rom->lookup(f.dir_index(i2)) };
                    for (int q = 0; q < 2; ++q) {
                        KFixComplex Pr = creg(prw, P + TW - 2);
                        Pr = B[q] * w[q];
                        Pr.re = Pr.re + K;
                        Pr.im = Pr.im + K;
                        KFixComplex Tw = creg(tww, G);
                        Tw = Pr;
                        if (scaled) {
                            KFixComplex S = creg(P + 11, P + 7);
                            S.re = Tw.re >> s;
                            S.im = Tw.im >> s;
                            if (outside_unit(S.re) || outside_unit(S.im))
                                pe_overflow = 1;
                            O[q] = S;
                        } else {
                            O[q] = Tw;
                        }
                    }
                } else {
                    for (int q = 0; q < 2; ++q) {
                        if (scaled) {
                            KFixComplex S = creg(P + 5, P + 2);
                            S.re = B[q].re >> s;
                            S.im = B[q].im >> s;
                            if (outside_unit(S.re) || outside_unit(S.im))
                                pe_overflow = 1;
                            KFixComplex Lr = (M % 2 == 0) ? creg(P + 4, P + 1) : creg(P + 5, P + 2);
                            Lr = S;
                            O[q] = Lr;
                        } else {
                            O[q] = B[q];
                        }
                    }
                }
            }
            f.mem[p] = O[0];
            f.mem[p + h] = O[1];
        }
        f.overflow = pe_overflow;
    }
    if (f.scaling == 1 && f.bfp == 1) {
        // Largest magnitude in input units, first one met on ties, imaginary part preferred
        // within a word.
        KFix m = reg(P + 1, P - 1);
        KFix mabs = reg(P + 2, P - 1);
        for (uint64_t p = 0; p < N; ++p) {
            const KFix& re = f.mem[p].re;
            const KFix& im = f.mem[p].im;
            KFix are = reg(P + 2, P - 1), aim = reg(P + 2, P - 1);
            are = re < int_const(0) ? -re : re;
            aim = im < int_const(0) ? -im : im;
            const bool take_im = !(aim < are);
            if ((take_im ? aim : are) > mabs) {
                m = take_im ? im : re;
                mabs = take_im ? aim : are;
            }
        }
        // m in input units is m * 2^(M+1): count halvings to bring it into [-1, 1).
        KFix lo = reg(P + 2, P - 1), hi = reg(P + 2, P - 1);
        lo = -std::ldexp(1.0, -(M + 1));
        hi = std::ldexp(1.0, -(M + 1));
        int32_t e = 0;
        KFix v = reg(P + 2 + 64, P - 1 + 64);
        v = m;
        while (v < lo || v >= hi) {
            v.scale(1);
            ++e;
        }
        f.blk_exp = e;
        for (uint64_t p = 0; p < N; ++p) {
            KFixComplex q = creg(P + 1, P - 1);
            q.re = f.mem[p].re >> e;
            q.im = f.mem[p].im >> e;
            f.mem[p] = q;
        }
    }
}

// ---- simulate ------------------------------------------------------------------------------

// Rounds x to the w-bit grid, ties to even, keeping the result inside [-1, 1).
inline double round_to_grid(double x, int32_t w)
{
    const double s = std::ldexp(1.0, w - 1);
    const double y = s * x;
    double r = std::nearbyint(y);
    if (r >= s)
        r = std::floor(y);
    else if (r < -s)
        r = std::ceil(y);
    return r / s;
}

// The engine's view of the configuration: widths and flags after the floating-point overrides.
struct EngineConfig {
    int32_t arch, M, TW, input_width, data_width, rounding, scaling, bfp;
};

// Loads conditioned samples (input units, on the input_width grid) into the engine of the
// configuration, runs it and reads the bins in natural order, exact, in engine units
// (without the final 2^(M+1) of the unscaled datapaths). Sets the engine's raw block
// exponent, overflow flag and stage peaks in res.
inline void run_engine(const EngineConfig& e, int32_t nfft, const std::vector<double>& a,
    const std::vector<double>& b, const std::vector<int32_t>& sch, int32_t direction, Result& res)
{
    const uint64_t N = uint64_t { 1 } << nfft;
    const Twiddles rom(e.M, e.TW);
    Frame f;
    f.M = e.M;
    f.TW = e.TW;
    f.nfft = nfft;
    f.N = N;
    f.rounding = e.rounding;
    f.scaling = e.scaling;
    f.bfp = e.bfp;
    f.direction = direction;
    f.rom = &rom;
    if (f.scaling == 1 && f.bfp == 0)
        f.sch = sch;

    const bool pipelined = e.arch == 3;
    int32_t prescale = 0;
    if (pipelined) {
        f.W = (f.scaling == 1 && f.bfp == 1) ? e.input_width + e.M + 1 : e.data_width;
        if (!(f.scaling == 1 && f.bfp == 0))
            prescale = f.W - e.input_width;
        f.mem.assign(N, creg(f.W + 1, f.W - 1));
    } else {
        f.W = e.data_width;
        if (f.scaling == 0)
            prescale = e.data_width - e.input_width;
        f.mem.assign(N, creg(f.W, f.W - 1));
    }
    for (uint64_t n = 0; n < N; ++n) {
        KFixComplex v = f.mem[0];
        v.re = std::ldexp(a[n], -prescale);
        v.im = std::ldexp(b[n], -prescale);
        uint64_t p = n;
        if (e.arch == 1)
            p = r4_input_position(n, nfft);
        else if (!pipelined)
            p = bit_reverse(n, nfft);
        f.mem[p] = v;
        if (!pipelined)
            f.h = std::min(f.h, std::min(headroom(v.re), headroom(v.im)));
    }

    if (e.arch == 1)
        run_r4(f);
    else if (pipelined)
        run_r22(f);
    else
        run_r2(f);

    res.re.resize(N);
    res.im.resize(N);
    for (uint64_t k = 0; k < N; ++k) {
        const KFixComplex& v = f.mem[pipelined ? bit_reverse(k, nfft) : k];
        res.re[k] = v.re.toDouble();
        res.im[k] = v.im.toDouble();
    }
    res.blk_exp = f.blk_exp;
    res.overflow = f.overflow;
    res.stage_peak = f.stage_peak;
}

// The model's results are those of rounding to nearest whatever rounding mode its caller runs
// in: the whole-frame references compute in that mode too (nearbyint, the conversions to single
// precision, the logarithm), restoring the caller's mode afterwards.
class ToNearest {
public:
    ToNearest()
        : caller_(std::fegetround())
    {
        std::fesetround(FE_TONEAREST);
    }
    ~ToNearest() { std::fesetround(caller_); }
    ToNearest(const ToNearest&) = delete;
    ToNearest& operator=(const ToNearest&) = delete;

private:
    int caller_;
};

// Fixed-point frame through the whole model: validated inputs assumed (samples in [-1, 1),
// schedule legal). nfft is the effective length.
inline Result simulate(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft, const double* xre,
    const double* xim, const std::vector<int32_t>& sch, int32_t direction)
{
    const ToNearest nearest;
    if (g.C_USE_FLT_PT != 0)
        throw std::invalid_argument("fixed-point reference: use simulate_float");
    const int32_t M = g.C_NFFT_MAX, IW = g.C_INPUT_WIDTH;
    const EngineConfig e { g.C_ARCH, M, g.C_TWIDDLE_WIDTH, IW, IW + (M + 1) * (1 - g.C_HAS_SCALING),
        g.C_HAS_ROUNDING, g.C_HAS_SCALING, g.C_HAS_BFP };
    const uint64_t N = uint64_t { 1 } << nfft;
    Result res;

    std::vector<double> a(xre, xre + N), b(xim, xim + N);
    const double s = std::ldexp(1.0, IW - 1);
    for (uint64_t i = 0; i < N && res.prequantised; ++i)
        if (std::floor(s * a[i]) != s * a[i] || std::floor(s * b[i]) != s * b[i])
            res.prequantised = false;
    if (!res.prequantised)
        for (uint64_t i = 0; i < N; ++i) {
            a[i] = round_to_grid(a[i], e.input_width);
            b[i] = round_to_grid(b[i], e.input_width);
        }

    run_engine(e, nfft, a, b, sch, direction, res);

    if (e.scaling == 0 || (e.arch == 3 && e.bfp == 1))
        for (uint64_t k = 0; k < N; ++k) {
            res.re[k] = std::ldexp(res.re[k], M + 1);
            res.im[k] = std::ldexp(res.im[k], M + 1);
        }
    if (e.scaling == 0) {
        res.blk_exp = 0;
        res.overflow = 0;
    } else if (e.bfp == 0) {
        res.blk_exp = 0;
    } else {
        res.overflow = 0;
    }
    return res;
}

// ---- floating-point interface --------------------------------------------------------------

constexpr double kFloatMax = 3.4028234663852886e38;

inline bool single_denormal(double x)
{
    return std::fpclassify(static_cast<float>(x)) == FP_SUBNORMAL;
}

// x * 2^e (e may be negative) in single precision, in steps of at most 2^62.
inline float scale_single(float x, int32_t e)
{
    for (int32_t r = e < 0 ? -e : e; r > 0; r -= std::min(r, 62)) {
        const float step = std::ldexp(1.0f, std::min(r, 62));
        x = e < 0 ? x / step : x * step;
    }
    return x;
}

// The same in double precision.
inline double scale_double(double x, int32_t e)
{
    for (int32_t r = e < 0 ? -e : e; r > 0; r -= std::min(r, 62)) {
        const double step = std::ldexp(1.0, std::min(r, 62));
        x = e < 0 ? x / step : x * step;
    }
    return x;
}

// Binary exponent by the decimal logarithm, as the model takes it.
inline int32_t log_exponent(double v)
{
    return static_cast<int32_t>(std::floor(std::log10(v) / std::log10(2.0)));
}

// y rounded to 24 significant bits, ties to even, the exponent taken by log_exponent.
inline double single_significance(double y)
{
    if (y == 0.0)
        return y;
    const int32_t e = log_exponent(std::fabs(y));
    const double m = std::pow(2.0, -1 - e);
    const double r = std::nearbyint(std::fabs(y) * m * 16777216.0) / 16777216.0 / m;
    return y < 0 ? -r : r;
}

// Floating-point frame through the whole model (C_USE_FLT_PT = 1). xre and xim are the
// caller's arrays: single-precision denormals are set to zero in them, as the model does.
inline Result simulate_float(const kelvar_ip_kfft_v8_0_generics& g, int32_t nfft, double* xre,
    double* xim, int32_t direction)
{
    const ToNearest nearest;
    const int32_t M = g.C_NFFT_MAX, arch = g.C_ARCH;
    const int32_t iw = arch == 1 ? 29 : arch == 3 ? 27 : 28;
    const bool pipelined = arch == 3;
    const EngineConfig e { arch, M, g.C_TWIDDLE_WIDTH, iw, pipelined ? 27 + M + 1 : iw, 0,
        pipelined ? 0 : 1, pipelined ? 0 : 1 };
    const uint64_t N = uint64_t { 1 } << nfft;
    Result res;

    // Denormals, invalid samples and the largest magnitude.
    bool invalid = false;
    double peak = 0.0;
    const auto scan = [&](double& x) {
        if (single_denormal(x))
            x = 0.0;
        const float fx = static_cast<float>(x);
        const double mag = static_cast<double>(static_cast<float>(fx > 0 ? x : -x));
        if (mag > peak)
            peak = mag;
        if (std::isnan(fx) || std::isinf(fx))
            invalid = true;
    };
    for (uint64_t i = 0; i < N; ++i) {
        scan(xre[i]);
        scan(xim[i]);
    }
    res.re.assign(N, 0.0);
    res.im.assign(N, 0.0);
    if (invalid) {
        const double nan = std::nan("");
        res.re.assign(N, nan);
        res.im.assign(N, nan);
        return res;
    }
    const int32_t E = peak > 0 ? log_exponent(peak) + 1 : 0;
    const auto condition = [&](double x) {
        const double y = static_cast<double>(scale_single(static_cast<float>(x), -E));
        const double s = std::ldexp(1.0, iw - 1);
        return std::nearbyint(s * y) / s;
    };
    std::vector<double> a(N), b(N);
    for (uint64_t i = 0; i < N; ++i) {
        a[i] = condition(xre[i]);
        b[i] = condition(xim[i]);
    }

    run_engine(e, nfft, a, b, {}, direction, res);

    // The engine's overflow flag stands; bins beyond the single-precision range raise it.
    const int32_t T = pipelined ? M + E + 1 : E + res.blk_exp;
    for (uint64_t k = 0; k < N; ++k) {
        for (double* v : { &res.re[k], &res.im[k] }) {
            *v = scale_double(single_significance(*v), T);
            if (std::fabs(*v) > kFloatMax) {
                *v = static_cast<double>(static_cast<float>(*v));
                res.overflow = 1;
            }
        }
    }
    res.blk_exp = 0;
    return res;
}

} // namespace fft_ref

#endif
