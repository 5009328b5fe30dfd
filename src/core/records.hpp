// Process-wide records. The module is one-per-process: these are plain statics, created
// during start-up and never torn down (no destructor here touches Python).
#pragma once

#include <Python.h>

#include <cstdint>

namespace tqv {

struct Records {
    PyObject* initialised_module = nullptr;  // strong; the module whose start-up ran or runs
    std::int64_t owning_interpreter = -1;    // -1: none yet
    // Built-ins captured once at start-up; later changes to `builtins` do not reach us.
    PyObject* print = nullptr;
    PyObject* open = nullptr;
    PyObject* input = nullptr;
};

inline Records records;

}  // namespace tqv
