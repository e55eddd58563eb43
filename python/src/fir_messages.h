// Messages of the FIR library collected during one call, and their hand-over to Python.
#ifndef KIP_PY_FIR_MESSAGES_H
#define KIP_PY_FIR_MESSAGES_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kip_py {

namespace py = pybind11;

struct Message {
    bool debug; // from the debug logger (create_dbg)
    int32_t error; // the library's error flag
    std::string text;
};
using Messages = std::vector<Message>;

// Receives the library's messages while the GIL is released; no Python call happens here.
struct Collector {
    Messages messages;

    static void on_message(void* handle, int32_t error, const char* text) noexcept
    {
        push(handle, false, error, text);
    }
    static void on_debug(void* handle, int32_t error, const char* text) noexcept
    {
        push(handle, true, error, text);
    }

private:
    static void push(void* handle, bool debug, int32_t error, const char* text) noexcept
    {
        try {
            static_cast<Collector*>(handle)->messages.push_back(
                { debug, error, text != nullptr ? text : "" });
        } catch (...) {
            // Out of memory while recording a message: the message is lost, the call goes on.
        }
    }
};

// UTF-8 text as a Python str; undecodable bytes become U+FFFD.
inline py::str decode(const std::string& s)
{
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (o == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// [(debug, error, text), ...]
inline py::list to_list(const Messages& messages)
{
    py::list out;
    for (const Message& m : messages)
        out.append(py::make_tuple(m.debug, m.error, decode(m.text)));
    return out;
}

} // namespace kip_py

#endif
