// kip_fir_guard -- the exception boundary around every exported function that takes a model.
#ifndef KIP_FIR_GUARD_H
#define KIP_FIR_GUARD_H

#include <cstdint>
#include <stdexcept>
#include <string>

#include "fir.h"

inline FIR* kip_fir_from_handle(kip_fir_v6_3* model) { return reinterpret_cast<FIR*>(model); }
inline kip_fir_v6_3* kip_fir_to_handle(FIR* fir) { return reinterpret_cast<kip_fir_v6_3*>(fir); }

// Reports text as an error through the model's message logger. A handler that throws must
// not carry its exception across the C boundary, so anything it throws is dropped.
inline void kip_fir_report_error(FIR& fir, const char* text) noexcept
{
    try {
        fir.logger->error(text);
    } catch (...) {
    }
}

// Runs body(fir) and returns its status. A std::runtime_error becomes one error message with
// its text, anything else "Uncaught exception in FIR model <op>"; both return 1.
// Precondition: model is non-null (the caller's null checks come first).
template <typename Body>
int32_t kip_fir_guard(kip_fir_v6_3* model, const char* op, Body&& body) noexcept
{
    FIR& fir = *kip_fir_from_handle(model);
    try {
        return body(fir);
    } catch (const std::runtime_error& e) {
        kip_fir_report_error(fir, e.what());
    } catch (...) {
        try {
            const std::string text = std::string("Uncaught exception in FIR model ") + op;
            kip_fir_report_error(fir, text.c_str());
        } catch (...) {
        }
    }
    return 1;
}

#endif // KIP_FIR_GUARD_H
