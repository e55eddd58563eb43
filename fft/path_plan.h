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
