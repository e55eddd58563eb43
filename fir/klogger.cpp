// KLogger -- message formatting and delivery to the caller's handler.
#include "klogger.h"

KLogger::KLogger(kip_msg_handler handler_, void* handle_, const std::string& name_)
    : handler(handler_)
    , handle(handle_)
    , name(name_)
{
}

KLogger::~KLogger() = default;

std::string KLogger::emit(const char* level, int32_t is_error, const std::string& text)
{
    std::string msg = name + level + text;
    if (handler)
        handler(handle, is_error, msg.c_str());
    return msg;
}

std::string KLogger::error(const std::string& text) { return emit(" ERROR: ", 1, text); }
std::string KLogger::warn(const std::string& text) { return emit(" WARNING: ", 0, text); }
std::string KLogger::note(const std::string& text) { return emit(" NOTE: ", 0, text); }

std::string KLogger::error(const std::ostringstream& text) { return error(text.str()); }
std::string KLogger::warn(const std::ostringstream& text) { return warn(text.str()); }
std::string KLogger::note(const std::ostringstream& text) { return note(text.str()); }
