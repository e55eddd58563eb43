// Helpers shared by the two DPI-C layers: the handle registry, creation messages and
// SystemVerilog open-array access.
#ifndef KIP_DPI_COMMON_H
#define KIP_DPI_COMMON_H

#include <svdpi.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>

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

// Live models of one layer by handle. A chandle is a token, not the model's address: tokens are
// a keyed bijective mix of a counter, so they are never reused, a destroyed or made-up handle is
// simply not found, and the other layer's handles (drawn with another random key) are refused
// too. Nothing behind a handle is read before it is found. Lookups share the model, so a model
// destroyed while another thread still runs a call on it lives until that call returns.
template <class Model> class Registry {
public:
    Registry()
    {
        std::uint64_t seed = static_cast<std::uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device rd;
            seed ^= (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
        } catch (...) {
            // No entropy source: the clock alone still separates the layers' keys.
        }
        key_ = seed | 1;
    }

    // Registers m and returns its handle. Throws std::bad_alloc.
    void* add(std::unique_ptr<Model> m)
    {
        std::shared_ptr<Model> shared(std::move(m));
        const std::lock_guard<std::mutex> lock(mutex_);
        std::uintptr_t h;
        do
            h = static_cast<std::uintptr_t>(mix(key_ + ++counter_ * 0x9e3779b97f4a7c15ULL));
        while (h == 0 || live_.count(h) != 0);
        live_.emplace(h, std::move(shared));
        return reinterpret_cast<void*>(h);
    }

    // The model behind h, or null when h is not a live handle of this layer.
    std::shared_ptr<Model> find(const void* h) const noexcept
    {
        if (h == nullptr)
            return nullptr;
        try {
            const std::lock_guard<std::mutex> lock(mutex_);
            const auto it = live_.find(reinterpret_cast<std::uintptr_t>(h));
            return it == live_.end() ? nullptr : it->second;
        } catch (...) {
            return nullptr;
        }
    }

    // Forgets h; false when it was not live. The model is freed outside the lock.
    bool erase(const void* h) noexcept
    {
        std::shared_ptr<Model> gone;
        try {
            const std::lock_guard<std::mutex> lock(mutex_);
            const auto it = live_.find(reinterpret_cast<std::uintptr_t>(h));
            if (it == live_.end())
                return false;
            gone = std::move(it->second);
            live_.erase(it);
        } catch (...) {
            return false;
        }
        return true;
    }

private:
    static std::uint64_t mix(std::uint64_t z)
    {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    mutable std::mutex mutex_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Model>> live_;
    std::uint64_t key_ = 1;
    std::uint64_t counter_ = 0;
};

} // namespace kip_dpi

#endif
