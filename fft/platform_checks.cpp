// Platform assumptions that bit accuracy rests on, checked at compile time.
#include <climits>
#include <cstdint>
#include <limits>

static_assert(std::numeric_limits<double>::is_iec559, "IEEE-754 binary64 doubles required");
static_assert(std::numeric_limits<double>::digits == 53, "53-bit double significand required");
static_assert(std::numeric_limits<float>::is_iec559, "IEEE-754 binary32 floats required");
static_assert((-8 >> 1) == -4, "arithmetic right shift of signed integers required");
static_assert(
    CHAR_BIT == 8 && sizeof(int32_t) == 4 && sizeof(void*) == 8, "LP64 platform required");
