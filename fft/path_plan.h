// How a frame's stages run: the stage implementations, the bounds within which the exact-double
// stages reproduce the integer datapath, and the plan an engine keeps for its frames.
//
// The exact-double stages hold every register's raw integer in an IEEE double. A double holds
// every integer of magnitude up to 2^53; sums, differences and products of such values are exact
// while the result stays there; multiplying by a power of two is exact. Rounding to an integer
// adds and removes 1.5 * 2^52 (kfft_simd::kMagic), which needs |v| < 2^51 and the rounding mode
// to nearest (asked once per frame). The bounds below keep every intermediate inside those
// limits; each one's largest magnitude is given beside it.
#ifndef KFFT_PATH_PLAN_H
#define KFFT_PATH_PLAN_H

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Functions built for AVX2 beside the baseline ones, chosen at run time.
#define KFFT_X86_DISPATCH 1
#endif

namespace kfft {

// Implementation of a frame's stages and whole-frame loops; every one gives the same bits.
// Auto: exact doubles where the widths allow (AVX2 loops where the processor has it), else
// integers. The others force one (tests): Float and FloatAvx2 still take integers for widths
// beyond exact doubles or a rounding mode other than to nearest; FloatAvx2 becomes Float
// without AVX2. The whole-frame loops (sample test, floating-point conditioning) follow the
// vector choice; Integer takes their portable versions.
enum class Path { Auto, Integer, Float, FloatAvx2 };

// Whether the processor runs AVX2: asked once per process.
bool cpu_has_avx2();

// Exactness bounds (W data width, TW twiddle width, P pipelined internal width; d = TW - 4
// bits dropped from a product to the twiddled operand).
namespace bounds {

    // Burst engines, twiddle products whole: operands |x| <= 2^(W-1) and twiddles
    // |g|, |h| <= 2^(TW-1) with g^2 + h^2 <= 2^(2 TW - 2) give |x g - y h| < 2^(W+TW-1.5); with
    // W + TW <= 52 every product and the sum are below 2^51 and the sum less 1/2 is exact.
    // (53 would still be exact; at 54 the sum reaches 2^52, where the half is lost.)
    constexpr int kBurstProductBits = 52;
    // Burst engines, butterfly outputs: radix-4 outputs |Y| < 7 * 2^(W+2) (radix-2: 3 * 2^(W+2))
    // stay below 2^51 for the rounding with W <= 46. The split twiddle products need the same.
    constexpr int kBurstWordBits = 46;
    // Pipelined engine, registers: twiddled outputs (P + 8 bits) and the last-stage values
    // below 2^50 with P + 8 <= 50.
    constexpr int kPipelinedWordBits = 50 - 8;
    // Pipelined engine, twiddle products whole: butterfly outputs B of P + 2 bits times
    // twiddles of TW bits stay below 2^(P+TW) <= 2^48 with P + 2 + TW <= 50 (their sum below
    // 2^49, the quotient's operands below 2^50).
    constexpr int kPipelinedProductBits = 50;
    // Pipelined engine, whole twiddle products from the measured inputs: a twiddled stage's
    // inputs are the outputs of a BF1 stage, whose largest magnitude A it measures (the
    // memory bound 2^P after a stage on integers), so its butterfly outputs are
    // |x|, |y| <= 2A. With 2A <= 2^(52 - TW) the
    // products x g, y h stay below 2^51 and |S| = |x g - y h| <= 2A (|g| + |h|), where a
    // twiddle rounded from the unit circle has |g| + |h| <= sqrt(2) 2^(TW-1) + 1, so
    // |S| <= 2^51.5 + 2^(52-TW) < 2^51.6; S plus the rounding constant (a half-integer below
    // 2^(TW+3) in magnitude) stays below 2^52, where half-integers are exact, and the quotient
    // by 2^D (D >= 1) below 2^51 for the rounding. At 2^(53 - TW) the sum reaches 2^52.5.
    constexpr int kPipelinedOperandBits = 52;
    // Pipelined engine, the checks of a double stage: one running largest magnitude per stage
    // (every memory word |x| <= 2^P), against the largest value that neither wraps nor
    // overflows; beyond it the stage runs on integers, which also set the overflow flag (-2^k,
    // which would still fit, falls back too).
    //  - BF1, scaled, not last: the outputs O = B, within 2^P - 1 (memory word; B of P + 2
    //    bits holds a + b of two memory words).
    //  - BF1 and BF2 unscaled (block floating point, floating-point mode): B within
    //    2^(P-1) - 1 (register of P bits), O = B.
    //  - Last stage scaled: B within 2^(P-1+s) - 1, which is the overflow test of S; then
    //    |O| <= 2^(P-1) fits the memory word.
    //  - Twiddled stages: the twiddled outputs Tw within 2^(G+s) - 1 scaled (the overflow
    //    test; Tw of P + 8 bits and O = Tw >> (5 + s), |O| <= 2^(P-1), then fit) and within
    //    2^(P+5) - 1 unscaled (Tw of P + 6 bits; O = Tw >> 6 fits P bits). Truncated whole
    //    products give O = floor((S + K) / 2^D) in one rounding of v = (S + K) / 2^D - 1/2 +
    //    2^-(D+1), never 2^(P-1) - 1/2 itself: |v| <= 2^(P-1) - 1/2 keeps (S + K) / 2^D below
    //    2^(P-1) (exactly) and at least -2^(P-1), that is Tw inside the limit above, in both
    //    modes. Unscaled, B is checked against 2^(P-1) - 1 as well unless 2A is below it.

} // namespace bounds

// The stage implementation an engine takes for its frames, decided once from its widths and
// the requested path. Frames run on integers instead when the rounding mode is not to nearest.
struct PathPlan {
    Path stages = Path::Integer; // Integer, Float (portable loops) or FloatAvx2
    bool vector_loops = false; // whole-frame loops on AVX2
    // Twiddle products of the double stages: 1 whole; burst engines 2 (twiddle in two parts) or
    // 3 (in three); pipelined 2 (operand in two parts) or 3 (twiddle in three). 0 on integers.
    int parts = 0;
    int split = 0; // the split's part width s (kfft_fp::wide_twiddle()); 0 when whole
};

} // namespace kfft

#endif // KFFT_PATH_PLAN_H
