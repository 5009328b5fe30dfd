// The argument rules shared by every public callable.
#pragma once

#include <Python.h>

#include <array>

namespace tqv {

constexpr int max_parameters = 3;

enum class Default { required, none, zero };

struct Parameter {
    PyObject* const* name;  // an interned name, filled in at start-up
    Default fallback;
};

struct Signature {
    const char* function;  // for messages
    int count;             // parameters, all positional-or-keyword
    int required;          // the first `required` parameters have no default
    std::array<Parameter, max_parameters> parameters;
};

// Borrowed values, one per parameter, defaults filled in.
using Arguments = std::array<PyObject*, max_parameters>;

// Binds a vectorcall's arguments to the signature into `bound`; false with the TypeError set
// when the call breaks the rules (no C++ exception: a refusal is an ordinary outcome).
[[nodiscard]] bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  Arguments& bound) noexcept;

// The integer 0 used as a default; created at start-up.
void create_default_values();

}  // namespace tqv
