// Records every message a FIR model hands to a kip_msg_handler, for exact comparison.
#ifndef KIP_TESTS_FIR_MESSAGE_LOG_H
#define KIP_TESTS_FIR_MESSAGE_LOG_H

#include <ostream>
#include <string>
#include <vector>

#include "tapforge_v6_3_bitacc_cmodel.h"

struct FirMessage {
    int32_t error;
    std::string text;
    bool operator==(const FirMessage& o) const { return error == o.error && text == o.text; }
};

inline std::ostream& operator<<(std::ostream& os, const FirMessage& m)
{
    return os << "{" << m.error << ", \"" << m.text << "\"}";
}

// Pass record_message as the handler and a FirMessageLog* as its handle.
struct FirMessageLog {
    std::vector<FirMessage> messages;
    static void record_message(void* handle, int32_t error, const char* text)
    {
        static_cast<FirMessageLog*>(handle)->messages.push_back({ error, text });
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> t;
        for (const auto& m : messages)
            t.push_back(m.text);
        return t;
    }
};

#endif // KIP_TESTS_FIR_MESSAGE_LOG_H
