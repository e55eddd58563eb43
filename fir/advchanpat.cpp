// Checked access to the channel pattern tables (the tables themselves are computed in
// advchanpat_tables.h and exported from tapforge_v6_3_bitacc_cmodel.cpp).
#include "advchanpat.h"

namespace {
constexpr int kSlots = KIP_FIR_V6_3_PATTERN_MAX_SLOTS;
} // namespace

namespace kip_fir {

int32_t pattern_first(std::size_t n) noexcept
{
    return n <= static_cast<std::size_t>(kSlots) ? kip_fir_v6_3_pattern_min[n] : -1;
}

int32_t pattern_last(std::size_t n) noexcept
{
    return n <= static_cast<std::size_t>(kSlots) ? kip_fir_v6_3_pattern_max[n] : -1;
}

bool pattern_allowed(std::size_t n, int32_t pattern) noexcept
{
    const int32_t first = pattern_first(n);
    return first >= 0 && pattern >= first && pattern <= pattern_last(n);
}

int32_t pattern_channel(int32_t pattern, std::size_t slot) noexcept
{
    if (!pattern_is_row(pattern) || slot >= static_cast<std::size_t>(kSlots))
        return -1;
    return kip_fir_v6_3_pattern_seq[pattern][slot];
}

const int32_t* pattern_map_row(int32_t pattern, std::size_t chan) noexcept
{
    if (!pattern_is_row(pattern) || chan >= static_cast<std::size_t>(kSlots))
        return nullptr;
    const int32_t* row = kip_fir_v6_3_pattern_map[pattern][chan];
    return row[0] > 0 ? row : nullptr;
}

int32_t pattern_rate(int32_t pattern, std::size_t chan) noexcept
{
    const int32_t* row = pattern_map_row(pattern, chan);
    return row ? row[0] : -1;
}

} // namespace kip_fir
