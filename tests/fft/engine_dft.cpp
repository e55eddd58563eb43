// Engine output against the exact DFT over lengths, modes, rounding and directions, for
// each architecture (radix-4 burst, radix-2 burst and lite, pipelined).
#include "fft_engine_harness.h"

using namespace fft_test;

namespace {

SweepOptions reduced()
{
    SweepOptions o;
    o.modes = { 0, 3, 4 };
    o.roundings = { 1 };
    o.full_scale_extra = false;
    return o;
}

template <class Traits> class EngineDft : public ::testing::Test {
};
using Engines = ::testing::Types<R4Traits, R2Traits, R22Traits>;
TYPED_TEST_SUITE(EngineDft, Engines);

} // namespace

TYPED_TEST(EngineDft, AllModesUpTo1024Points)
{
    for (int nfft = TypeParam::min_nfft(); nfft <= 10; ++nfft)
        sweep<TypeParam>(12, nfft, 16, 16, SweepOptions());
}

TYPED_TEST(EngineDft, LengthEqualToMaximum)
{
    const int m = TypeParam::min_nfft();
    for (int nfft = m; nfft <= m + 3; ++nfft)
        sweep<TypeParam>(nfft, nfft, 16, 16, SweepOptions());
}

TYPED_TEST(EngineDft, LargestLengthsReduced)
{
    sweep<TypeParam>(12, 11, 16, 16, reduced());
    sweep<TypeParam>(12, 12, 16, 16, reduced());
}

TYPED_TEST(EngineDft, WideWordsUseWideProducts)
{
    const int m = TypeParam::min_nfft();
    for (int nfft : { m, m + 1, 9 })
        sweep<TypeParam>(10, nfft, 34, 34, SweepOptions());
}

TYPED_TEST(EngineDft, NarrowTwiddles)
{
    const int m = TypeParam::min_nfft();
    for (int k = 0; k < 3; ++k)
        sweep<TypeParam>(m + 3, m + k, 20, 8 + k, SweepOptions());
}

TYPED_TEST(EngineDft, FloatingPointInterfaceWidths)
{
    // The floating-point interface runs the burst engines in block floating point and the
    // pipelined one unscaled, at its own input width.
    SweepOptions o;
    o.modes = { 3, 4 };
    o.roundings = { 0 };
    for (int nfft : { TypeParam::min_nfft(), 10 })
        sweep<TypeParam>(10, nfft, TypeParam::fp_input_width, 24, o);
}
