// Pieces shared by the kip_fir and kip_fft MEX gateways: failures raised after the library call
// has returned, and the registry that turns live models into checked uint64 handles.
#ifndef KIP_MEX_COMMON_H
#define KIP_MEX_COMMON_H

#include "mex.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace kip_mex {

struct Failure {
    const char* id;
    std::string text;
};

[[noreturn]] inline void fail(const char* id, std::string text)
{
    throw Failure { id, std::move(text) };
}

// Raised at the end of every call. Static storage: nothing here leaks when an error or a warning
// turned into an error leaves the MEX function without unwinding.
inline std::vector<std::string> g_warnings; // raised as kip:<lib>:warning (the model's own)
// Warnings of the front end's conversion policy, each with its own identifier.
inline std::vector<std::pair<std::string, std::string>> g_policy_warnings; // (id, text)

inline void warn(const char* id, std::string text)
{
    g_policy_warnings.emplace_back(id, std::move(text));
}
inline char g_error_id[64];
inline char g_error_text[4096];
inline bool g_has_error = false;

inline void set_error(const char* id, const std::string& text)
{
    std::snprintf(g_error_id, sizeof g_error_id, "%s", id);
    std::snprintf(g_error_text, sizeof g_error_text, "%s", text.c_str());
    g_has_error = true;
}

// The elements of a real numeric or logical array as doubles (exact for every 32-bit value);
// false, with v unspecified, for any other class.
inline bool to_doubles(const mxArray* a, std::vector<double>& v)
{
    const size_t n = mxGetNumberOfElements(a);
    v.resize(n);
    const void* raw = mxGetData(a);
    for (size_t i = 0; i < n; ++i) {
        switch (mxGetClassID(a)) {
        case mxDOUBLE_CLASS:
            v[i] = static_cast<const double*>(raw)[i];
            break;
        case mxLOGICAL_CLASS:
            v[i] = static_cast<const mxLogical*>(raw)[i];
            break;
        case mxSINGLE_CLASS:
            v[i] = static_cast<const float*>(raw)[i];
            break;
        case mxINT8_CLASS:
            v[i] = static_cast<const int8_t*>(raw)[i];
            break;
        case mxUINT8_CLASS:
            v[i] = static_cast<const uint8_t*>(raw)[i];
            break;
        case mxINT16_CLASS:
            v[i] = static_cast<const int16_t*>(raw)[i];
            break;
        case mxUINT16_CLASS:
            v[i] = static_cast<const uint16_t*>(raw)[i];
            break;
        case mxINT32_CLASS:
            v[i] = static_cast<const int32_t*>(raw)[i];
            break;
        case mxUINT32_CLASS:
            v[i] = static_cast<const uint32_t*>(raw)[i];
            break;
        case mxINT64_CLASS:
            v[i] = static_cast<double>(static_cast<const int64_t*>(raw)[i]);
            break;
        case mxUINT64_CLASS:
            v[i] = static_cast<double>(static_cast<const uint64_t*>(raw)[i]);
            break;
        default:
            return false;
        }
    }
    return true;
}

// Live models by handle. Handles are a keyed splitmix64 finaliser of a counter: a bijection, so
// distinct counters give distinct handles, and handles of an earlier load of the MEX (after
// `clear`) are not recognised by chance.
template <class Model> class Registry {
public:
    Registry(const char* id, const char* what)
        : id_(id)
        , what_(what)
    {
    }

    uint64_t add(std::unique_ptr<Model> m)
    {
        if (key_ == 0) {
            std::random_device rd;
            key_ = (static_cast<uint64_t>(rd()) << 32) ^ rd()
                ^ static_cast<uint64_t>(
                    std::chrono::steady_clock::now().time_since_epoch().count());
            key_ |= 1;
        }
        uint64_t h;
        do
            h = mix(key_ + ++counter_ * 0x9e3779b97f4a7c15ULL);
        while (h == 0 || models_.count(h) != 0);
        models_.emplace(h, std::move(m));
        return h;
    }

    // The model behind a handle argument; fails with the registry's identifier otherwise.
    Model& get(const mxArray* a) const
    {
        auto it = models_.find(value(a));
        if (it == models_.end())
            fail(id_,
                std::string("not a live ") + what_ + " handle (destroyed, cleared with 'clear "
                    + what_ + "', or never created)");
        return *it->second;
    }

    void erase(const mxArray* a)
    {
        get(a);
        models_.erase(value(a));
    }

    void clear() { models_.clear(); }

    // The live handles as a uint64 column.
    mxArray* handles() const
    {
        mxArray* a = mxCreateNumericMatrix(models_.size(), 1, mxUINT64_CLASS, mxREAL);
        uint64_t* p = static_cast<uint64_t*>(mxGetData(a));
        for (const auto& kv : models_)
            *p++ = kv.first;
        return a;
    }

private:
    static uint64_t mix(uint64_t z)
    {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    uint64_t value(const mxArray* a) const
    {
        if (!mxIsUint64(a) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
            fail(id_,
                std::string("a ") + what_ + " handle is a uint64 scalar from " + what_
                    + "('create')");
        return *static_cast<const uint64_t*>(mxGetData(a));
    }

    const char* id_;
    const char* what_;
    std::map<uint64_t, std::unique_ptr<Model>> models_;
    uint64_t key_ = 0;
    uint64_t counter_ = 0;
};

// Body of a gateway's mexFunction: registers at_exit once, runs dispatch, then raises the
// collected warnings and error with identifiers "kip:<lib>:...". Raising comes last, when every
// C++ temporary of the call is gone: the mex raise functions may leave without unwinding.
template <class Dispatch> void run_gateway(const char* lib, void (*at_exit)(), Dispatch&& dispatch)
{
    static bool at_exit_registered = false;
    if (!at_exit_registered) {
        mexAtExit(at_exit);
        at_exit_registered = true;
    }
    g_warnings.clear();
    g_policy_warnings.clear();
    g_has_error = false;
    char id[64];
    try {
        dispatch();
    } catch (const Failure& f) {
        set_error(f.id, f.text);
    } catch (const std::bad_alloc&) {
        std::snprintf(id, sizeof id, "kip:%s:outOfMemory", lib);
        set_error(id, "out of memory");
    } catch (const std::exception& e) {
        std::snprintf(id, sizeof id, "kip:%s:internal", lib);
        set_error(id, e.what());
    }
    std::snprintf(id, sizeof id, "kip:%s:warning", lib);
    for (size_t i = 0; i < g_warnings.size(); ++i)
        mexWarnMsgIdAndTxt(id, "%s", g_warnings[i].c_str());
    for (size_t i = 0; i < g_policy_warnings.size(); ++i)
        mexWarnMsgIdAndTxt(
            g_policy_warnings[i].first.c_str(), "%s", g_policy_warnings[i].second.c_str());
    if (g_has_error) {
        g_has_error = false;
        mexErrMsgIdAndTxt(g_error_id, "%s", g_error_text);
    }
}

} // namespace kip_mex

#endif
