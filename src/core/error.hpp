// The one C++ exception of the module, and the helpers that turn C-API failures into it.
#pragma once

#include <Python.h>

#include <cassert>
#include <new>
#include <type_traits>

namespace tqv {

// Thrown when a Python error is set; the boundary of every exported callable turns it back
// into "return NULL / -1".
struct PyError {
    PyError() noexcept { assert(PyErr_Occurred()); }
};

// Result of a C-API call that reports failure as a negative int.
inline int check(int rc) {
    if (rc < 0) throw PyError{};
    return rc;
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

// PyErr_Format and throw; the format is CPython's (%U, %zd, %.200s ...).
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw PyError{};
}

// `except type:` -- true (and the error cleared) when the pending error matches.
inline bool clear_if(PyObject* type) noexcept {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

// Run `body` at a C boundary: no C++ exception may unwind into CPython frames.
// A PyError becomes `failed` with its error left set; other C++ errors become Python ones.
template <class F>
auto boundary(F&& body, std::invoke_result_t<F> failed) noexcept -> std::invoke_result_t<F> {
    try {
        return body();
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tq_velmor: unexpected C++ exception");
    }
    return failed;
}

}  // namespace tqv
