// Python's `except ... as e:` and `with ... as x:` for C++ code.
#pragma once

#include "names.hpp"
#include "ref.hpp"

#include <new>

namespace tqv {

// The pending error taken out of the error indicator, as when an `except` clause starts.
class Caught {
public:
    static Caught take();                        // fetch and normalise the pending error
    PyObject* value() const noexcept { return value_.get(); }
    bool matches(PyObject* type) const { return PyErr_GivenExceptionMatches(value_.get(), type) != 0; }
    // `except <expr>:` with a class or tuple computed at run time; TypeError when it is neither.
    bool matches_checked(PyObject* type) const;
    [[noreturn]] void reraise();                 // put it back and throw

private:
    Ref type_, value_, traceback_;
};

// While alive, `e` is the exception being handled (sys.exception()), so an error raised
// meanwhile gets it as its implicit __context__, as inside an `except` block.
class Handling {
public:
    explicit Handling(const Caught& e);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;  // strong, may be NULL/None
};

// Turn any C++ exception escaping `body` into a pending Python error and throw PyError.
template <class F>
void as_python_error(F&& body) {
    try {
        body();
    } catch (const PyError&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw PyError{};
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tq_velmor: unexpected C++ exception");
        throw PyError{};
    }
}

// raise type(message): a new instance, chained to the exception being handled, if any.
[[noreturn]] void raise_new(PyObject* type, const Ref& message);

// The bound __enter__ or __exit__ of a context manager; TypeError as the `with` statement says it.
Ref context_method(PyObject* manager, PyObject* name, const char* missing);

// with manager as value: body(value)
template <class F>
void with(PyObject* manager, F&& body) {
    Ref enter = context_method(manager, names::__enter__, "");
    Ref exit = context_method(manager, names::__exit__, " (missed __exit__ method)");
    Ref value = call(enter.get());
    try {
        as_python_error([&] { body(value.get()); });
    } catch (const PyError&) {
        Caught e = Caught::take();
        bool suppress;
        {
            Handling handling(e);
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(e.value()));
            PyObject* tb = PyException_GetTraceback(e.value());
            Ref traceback = tb ? Ref::steal(tb) : Ref::borrow(Py_None);
            suppress = truthy(call(exit.get(), type, e.value(), traceback).get());
        }
        if (!suppress) e.reraise();
        return;
    }
    call(exit.get(), Py_None, Py_None, Py_None);
}

}  // namespace tqv
