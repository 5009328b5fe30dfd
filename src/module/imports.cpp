// Module-level import statements.
#include "startup.hpp"

namespace tqv {

namespace {
// sys.modules[name] when it holds a module (None counts as absent), else an empty Ref.
Ref registered(PyObject* name) {
    PyObject* module = PyImport_GetModule(name);
    if (!module) {
        if (PyErr_Occurred()) throw PyError{};
        return {};
    }
    Ref held = Ref::steal(module);
    if (module == Py_None) return {};
    return held;
}
}  // namespace

Ref import_statement(PyObject* module, PyObject* full, PyObject* top) {
    if (Ref found = registered(full)) {
        if (full == top) return found;
        if (Ref package = registered(top)) return package;
    }
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) throw PyError{};
    Ref locals = check(PyDict_New());
    return check(PyImport_ImportModuleLevelObject(full, globals, locals.get(), nullptr, 0));
}

}  // namespace tqv
