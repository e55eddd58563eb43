// Checked access to the exported channel pattern tables (kip_fir_v6_3_pattern_min, _max, _seq,
// _map). Every function tests its arguments before indexing a table, so callers may pass
// pattern numbers and channels taken straight from packets or configuration records.
#ifndef KIP_FIR_ADVCHANPAT_H
#define KIP_FIR_ADVCHANPAT_H

#include <cstddef>
#include <cstdint>

#include "kip_fir_v6_3_arrays.h"

namespace kip_fir {

constexpr int32_t kPatternCount = KIP_FIR_V6_3_PATTERN_COUNT; // patterns 0 to 173
constexpr int32_t kPatternNone = KIP_FIR_V6_3_PATTERN_NONE; // basic channel sequence
constexpr int32_t kPatternMaxSlots = KIP_FIR_V6_3_PATTERN_MAX_SLOTS; // largest N, map channels
constexpr int32_t kPatternMapItems = KIP_FIR_V6_3_PATTERN_MAP_ITEMS; // rate + up to 16 slots

// True for a pattern number that selects a table row (0 to 173); false for 175 and the rest.
constexpr bool pattern_is_row(int32_t pattern) noexcept
{
    return pattern >= 0 && pattern < kPatternCount;
}

// First and last pattern number for a frame of n slots, or -1 when no pattern has n slots
// (including n above 64).
int32_t pattern_first(std::size_t n) noexcept;
int32_t pattern_last(std::size_t n) noexcept;

// True when pattern lies in [first, last] for a frame of n slots. Never true for 175.
bool pattern_allowed(std::size_t n, int32_t pattern) noexcept;

// Channel owning slot `slot` of `pattern`; -1 when the pattern is not a row, the slot is 64 or
// more, or the slot lies beyond the pattern's frame.
int32_t pattern_channel(int32_t pattern, std::size_t slot) noexcept;

// Map row (17 items) of channel `chan` in `pattern`, or null when the pattern is not a row,
// chan is 64 or more, or the pattern does not use the channel. Items 1 to row[0] are the
// channel's slots in increasing order; items beyond row[0] are not the channel's.
const int32_t* pattern_map_row(int32_t pattern, std::size_t chan) noexcept;

// Slots per frame owned by `chan` in `pattern` (map item 0); -1 when pattern_map_row is null.
int32_t pattern_rate(int32_t pattern, std::size_t chan) noexcept;

} // namespace kip_fir

#endif // KIP_FIR_ADVCHANPAT_H
