// Exception classes of the FIR model: each carries only its message text.
#ifndef KIP_FIR_EXCEPTIONS_H
#define KIP_FIR_EXCEPTIONS_H

#include <stdexcept>
#include <string>

// Thrown by the FIR model: construction, validation, packets and the data path.
class FIRException : public std::runtime_error {
public:
    explicit FIRException(const std::string& what)
        : std::runtime_error(what)
    {
    }
};

// Thrown by the polyphase filter kernel.
class FirFilterException : public std::runtime_error {
public:
    explicit FirFilterException(const std::string& what)
        : std::runtime_error(what)
    {
    }
};

// Thrown by the fixed-point quantisation context.
class FFPException : public std::runtime_error {
public:
    explicit FFPException(const std::string& what)
        : std::runtime_error(what)
    {
    }
};

#endif // KIP_FIR_EXCEPTIONS_H
