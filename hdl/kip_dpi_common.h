// Helpers shared by the two DPI-C layers: creation messages and SystemVerilog open-array access.
#ifndef KIP_DPI_COMMON_H
#define KIP_DPI_COMMON_H

#include <svdpi.h>

#include <string>

namespace kip_dpi {

// Writes text into *msg through a buffer that lives until the next create on this thread.
inline void set_create_message(const char** msg, const std::string& text) noexcept
{
    static thread_local std::string buffer;
    try {
        buffer = text;
    } catch (...) {
        buffer.clear();
    }
    if (msg != nullptr)
        *msg = buffer.c_str();
}

// SystemVerilog order of an open array: leftmost element first.
inline int sv_index(const svOpenArrayHandle a, int i)
{
    const int left = svLeft(a, 1);
    return left <= svRight(a, 1) ? left + i : left - i;
}

} // namespace kip_dpi

#endif
