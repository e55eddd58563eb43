// KLogger -- prefixes FIR model messages with the instance name and level and hands them
// to the caller's message handler.
#ifndef KIP_FIR_KLOGGER_H
#define KIP_FIR_KLOGGER_H

#include <sstream>
#include <string>

#include "tapforge_v6_3_bitacc_cmodel.h"

class KLogger {
public:
    // handler may be null (every level is then silent); name is copied.
    KLogger(kip_msg_handler handler, void* handle, const std::string& name);
    virtual ~KLogger();

    // Each builds name + level word + text, passes it to the handler (error flag 1 for
    // errors, 0 otherwise) and returns it. Exceptions from the handler are not caught.
    virtual std::string error(const std::string& text);
    virtual std::string warn(const std::string& text);
    virtual std::string note(const std::string& text);
    // The stream's current contents, through the string form of the same level.
    virtual std::string error(const std::ostringstream& text);
    virtual std::string warn(const std::ostringstream& text);
    virtual std::string note(const std::ostringstream& text);

    // False when nothing would reach a caller: lets hot paths skip building trace text.
    bool active() const { return handler != nullptr; }

private:
    std::string emit(const char* level, int32_t is_error, const std::string& text);

    kip_msg_handler handler;
    void* handle;
    std::string name;
};

#endif // KIP_FIR_KLOGGER_H
