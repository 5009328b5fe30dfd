// Call-time global lookup.
#include "globals.hpp"

#include "dict_cache.hpp"
#include "names.hpp"

namespace tqv {

namespace {
// Borrowed item of a mapping, or nullptr when absent (errors other than a missing key throw).
PyObject* find(PyObject* mapping, PyObject* key, Ref& keep) {
    if (PyDict_Check(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (!v && PyErr_Occurred()) throw PyError{};
        return v;
    }
    PyObject* v = PyObject_GetItem(mapping, key);
    if (!v) {
        if (!clear_if(PyExc_KeyError)) throw PyError{};
        return nullptr;
    }
    keep = Ref::steal(v);
    return v;
}

DictCache module_names;  // hits in module namespaces
}  // namespace

Globals::Globals(PyObject* module) : dict_(PyModule_GetDict(module)) {
    if (!dict_) throw PyError{};
}

Ref Globals::operator[](PyObject* name) const {
    if (PyObject* v = module_names.find(dict_, name)) return Ref::borrow(v);
    Ref keep;
    if (PyObject* v = find(dict_, name, keep)) {
        module_names.remember(dict_, name, v);
        return Ref::borrow(v);
    }
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        if (PyObject* v = find(builtins, name, keep)) return Ref::borrow(v);
    }
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref Globals::os_path(PyObject* function) const {
    return (*this)[names::os].attr(names::path).attr(function);
}

void Globals::bind(PyObject* name, PyObject* value) const { check(PyDict_SetItem(dict_, name, value)); }

}  // namespace tqv
