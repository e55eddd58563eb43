// Engine output against the exact DFT over lengths, modes, rounding and directions.
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

} // namespace

TEST(R22Dft, AllModesUpTo1024Points)
{
    for (int nfft = 3; nfft <= 10; ++nfft)
        sweep<R22Traits>(12, nfft, 16, 16, SweepOptions());
}

TEST(R22Dft, LengthEqualToMaximum)
{
    for (int nfft = 3; nfft <= 3 + 3; ++nfft)
        sweep<R22Traits>(nfft, nfft, 16, 16, SweepOptions());
}

TEST(R22Dft, LargestLengthsReduced)
{
    sweep<R22Traits>(12, 11, 16, 16, reduced());
    sweep<R22Traits>(12, 12, 16, 16, reduced());
}

TEST(R22Dft, WideWordsUseWideProducts)
{
    for (int nfft : { 3, 3 + 1, 9 })
        sweep<R22Traits>(10, nfft, 34, 34, SweepOptions());
}

TEST(R22Dft, NarrowTwiddles)
{
    for (int k = 0; k < 3; ++k)
        sweep<R22Traits>(6, 3 + k, 20, 8 + k, SweepOptions());
}

TEST(R22Dft, FloatingPointInterfaceWidths)
{
    // The floating-point interface runs this engine at 27-bit inputs (block floating
    // point for the burst engines, unscaled for the pipelined one).
    SweepOptions o;
    o.modes = { 3, 4 };
    o.roundings = { 0 };
    for (int nfft : { 3, 10 })
        sweep<R22Traits>(10, nfft, 27, 24, o);
}
