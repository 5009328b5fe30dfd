// Binding positional and keyword arguments, with the exact TypeError texts of the rules.
#include "arguments.hpp"

#include "../core/error.hpp"

namespace tqv {

namespace {

PyObject* zero = nullptr;

// Each refusal sets the TypeError and returns false, so that a refused call costs what CPython's
// own refusal costs instead of a trip through the C++ unwinder.
bool refuse(const char* format, auto... args) {
    PyErr_Format(PyExc_TypeError, format, args...);
    return false;
}

bool wrong_positional_count(const Signature& sig, Py_ssize_t given) {
    const bool exact = sig.required == sig.count;
    const Py_ssize_t expected = given < sig.required ? sig.required : sig.count;
    const char* bound = exact ? "exactly" : given < sig.required ? "at least" : "at most";
    return refuse("%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.function, bound, expected,
                  expected == 1 ? "" : "s", given);
}

bool same_name(PyObject* key, PyObject* name) {
    return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

// Index of the parameter a keyword names, or -1.
int parameter_index(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.count; ++i)
        if (same_name(key, *sig.parameters[i].name)) return i;
    return -1;
}

PyObject* default_value(Default d) { return d == Default::zero ? zero : Py_None; }

}  // namespace

void create_default_values() {
    if (!zero) zero = PyLong_FromLong(0);
    if (!zero) throw PyError{};
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Arguments& bound) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bound = {};
    if (sig.count == 0) {
        // Keywords are refused before the positional count is looked at.
        if (nkw > 0) return refuse("%.200s() %s", sig.function, "takes no keyword arguments");
        if (nargs > 0) return refuse("%.200s() %s (%zd given)", sig.function, "takes no arguments", nargs);
        return true;
    }
    if (nargs > sig.count) return wrong_positional_count(sig, nargs);

    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    // A required parameter not given by position must come by keyword; else it counts as a
    // missing positional argument.
    for (int i = static_cast<int>(nargs); i < sig.required; ++i) {
        bool found = false;
        for (Py_ssize_t k = 0; k < nkw && !found; ++k)
            found = same_name(PyTuple_GET_ITEM(kwnames, k), *sig.parameters[i].name);
        if (!found) return wrong_positional_count(sig, nargs);
    }

    std::array<bool, max_parameters> by_keyword{};
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const int i = parameter_index(sig, key);
        if (i < 0 && !PyUnicode_Check(key)) return refuse("%.200s() keywords must be strings", sig.function);
        if (i < 0) return refuse("%s() got an unexpected keyword argument '%U'", sig.function, key);
        if (i < nargs || by_keyword[i])
            return refuse("%s() got multiple values for keyword argument '%U'", sig.function, key);
        by_keyword[i] = true;
        bound[i] = args[nargs + k];
    }

    for (int i = 0; i < sig.count; ++i)
        if (!bound[i]) bound[i] = default_value(sig.parameters[i].fallback);
    return true;
}

}  // namespace tqv
