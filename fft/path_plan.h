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
// Functions built for AVX2 and AVX-512F beside the baseline ones, chosen at run time.
#define KFFT_X86_DISPATCH 1
#endif

namespace kfft {

// Implementation of a frame's stages and whole-frame loops; every one gives the same bits.
// Auto: exact doubles where the widths allow, on the widest vectors the processor has (8 lanes
// with AVX-512F, else 4 with AVX2, else the portable loops), otherwise integers. The others force
// one (tests): Float, FloatAvx2 and FloatAvx512 still take integers for widths beyond exact
// doubles or a rounding mode other than to nearest; a vector path the processor lacks becomes the
// next narrower one (FloatAvx512 becomes FloatAvx2, then Float). The whole-frame loops (sample
// test, floating-point conditioning) follow the vector choice; Integer takes their portable
// versions.
enum class Path { Auto, Integer, Float, FloatAvx2, FloatAvx512 };

// Whether the processor runs AVX2, and AVX-512F: each asked once per process.
bool cpu_has_avx2();
bool cpu_has_avx512();

// The vector level the processor runs for a requested path: Float, FloatAvx2 or FloatAvx512
// (Auto: the widest there is; Integer and Float: Float).
Path vector_level(Path requested);

// Exactness bounds (W data width, TW twiddle width, P pipelined internal width, Bw the
// pipelined butterfly output width: P + 2 scaled, P otherwise; d the bits a product drops to
// the twiddled operand). Each bound is the largest value at which every intermediate is
// exact for every input; one more admits an input whose result is wrong (tests hold one).
namespace bounds {

    // Burst engines, twiddle products whole: with |x|, |y| <= 2^(W-1) and a table twiddle
    // (|g| + |h| <= sqrt(2) 2^(TW-1) (1 + 2^(1-TW))), |x g - y h| < 2^(W+TW-1.5) (1 + 2^-7)
    // stays below 2^52, where the sum less 1/2 is exact, for W + TW <= 53. At 54 it reaches
    // 2^52 near 45 degrees and the half is lost on a rounding tie.
    constexpr int kBurstProductBits = 53;
    // Pipelined engine, twiddle products whole: butterfly outputs |B| <= 2^(Bw-1) (larger
    // ones wrap, and the stage runs on integers), so Bw + TW <= 53 as above.
    constexpr int kPipelinedProductBits = 53;
    // The same bound on butterfly outputs measured at run time: a twiddled stage's inputs are
    // the outputs of a BF1 stage, whose largest magnitude A it measures (the memory bound 2^P
    // after a stage on integers), so |B| <= 2A; 2A <= 2^(kPipelinedProductBits - 1 - TW) gives
    // whole products whatever the plan's split. The truncated whole products add a constant
    // below 2^(TW+3) in magnitude instead of -1/2 (see the checks below): with |S| below
    // 2^51.6 the half-integer sum stays below 2^52, still exact.
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

    // Split twiddle products (kfft_fp::wide_split2(), wide_split(), operand_split()) for
    // operands of xb bits and any twiddle-format values of tw bits (|g|, |h| <= 2^(tw-1)):
    // - the partial sums of the upper parts, x g1 - y h1 (part of 2^s; 2^2s for the top of
    //   three parts; x1 g - y1 h for the operand split), are below 2^(xb+tw-1-s): exact
    //   integers up to 2^53 for xb + tw - s <= 54 (55 loses their last bit);
    constexpr int kSplitProductBits = 54;
    // - the last partial sum f0 = r 2^s + x g0 - y h0 (|r 2^s| <= 2^(d-1), |g0|, |h0| <=
    //   2^(s-1); x0 g - y0 h with |x0|, |y0| <= 2^(a-1) for the operand split) reaches 2^52,
    //   where f0 - 1/2 may round to f0, only by less than 2^(d-1), and the quotient by 2^d
    //   changes only for f0 = 2^(d-1) modulo 2^d, which lies beyond: xb + s <= 53 (a + tw
    //   for the operand split). At 54 f0 reaches 2^53 and the quotient goes wrong.
    constexpr int kSplitLowBits = 53;
    // - the upper part's quotient p 2^(s-d) (|p 2^(s-d)| <= 2^(xb+tw-1-d)) is rounded by
    //   kMagic, which needs |v| <= 2^51: xb + tw - d <= 52. At 53 a half-integer quotient
    //   below -2^51 comes back unrounded. This bound also keeps s <= d, and it bounds the
    //   words with products beyond exact doubles (whole products already need W, P <= 45):
    //   burst W <= 48 (d = TW - 4); only unscaled words exceed 34 bits, and their stage
    //   outputs |Y| < 2^(W+2) (larger ones wrap, and the stage runs on integers) keep Y - 1/2
    //   exact, with every radix-4 sum below 2^(W+4.4) <= 2^53; pipelined P <= 45 (d = TW - 7
    //   for P beyond 34), twiddled outputs below 2^(P+5) likewise.
    constexpr int kSplitQuotientBits = 52;

} // namespace bounds

// The stage implementation an engine takes for its frames, decided once from its widths and
// the requested path. Frames run on integers instead when the rounding mode is not to nearest.
struct PathPlan {
    Path stages = Path::Integer; // Integer, or the double stages' loops (the level of loops)
    Path loops = Path::Float; // whole-frame loops: Float (portable), FloatAvx2 or FloatAvx512
    // Twiddle products of the double stages: 1 whole; burst engines 2 (twiddle in two parts) or
    // 3 (in three); pipelined 2 (operand in two parts) or 3 (twiddle in three). 0 on integers.
    int parts = 0;
    int split = 0; // the split's part width s (kfft_fp::wide_twiddle()); 0 when whole
};

} // namespace kfft

#endif // KFFT_PATH_PLAN_H
