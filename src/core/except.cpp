// Caught errors, the handled-exception scope and context-manager lookup.
#include "except.hpp"

namespace tqv {

Caught Caught::take() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Caught e;
    e.type_ = Ref::steal(type);
    e.value_ = Ref::steal(value);
    e.traceback_ = Ref::steal(traceback);
    return e;
}

void Caught::reraise() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    throw PyError{};
}

bool Caught::matches_checked(PyObject* type) const {
    bool valid = PyExceptionClass_Check(type);
    if (PyTuple_Check(type)) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(type); ++i)
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(type, i));
    }
    if (!valid) raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return matches(type);
}

Handling::Handling(const Caught& e) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(e.value());
}

Handling::~Handling() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

void raise_new(PyObject* type, const Ref& message) {
    Ref instance = call(type, message);
    PyErr_SetObject(type, instance.get());
    throw PyError{};
}

Ref context_method(PyObject* manager, PyObject* name, const char* missing) {
    PyObject* method = PyObject_GetAttr(manager, name);
    if (method) return Ref::steal(method);
    if (!clear_if(PyExc_AttributeError)) throw PyError{};
    raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name, missing);
}

}  // namespace tqv
