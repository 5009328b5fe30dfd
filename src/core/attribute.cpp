// Attribute reads, with shortcuts for plain modules and classes that give the generic lookup's answer.
#include "dict_cache.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace tqv {

namespace {

enum Lookup { found = 1, absent = 0, failed = -1, undecided = 2 };

// Entries only for names ModuleType itself lacks; the type is immutable, so it stays so.
DictCache module_attributes;

// name on an exact module object, answered the way ModuleType's own lookup answers it: the
// type's attribute if it has one (left undecided: it may be a descriptor), else the module
// dict's entry, else the module's __getattr__, else absent. The shortcut skips making (and,
// in getattr with a default, throwing away) the AttributeError of a miss, which costs more than
// the lookup. A substitute that is not exactly a module (a proxy, a subclass that may override
// __getattribute__) is left to the generic lookup.
Lookup module_lookup(PyObject* obj, PyObject* name, PyObject** result) {
    if (!PyModule_CheckExact(obj) || !PyUnicode_CheckExact(name)) return undecided;
    PyObject* dict = PyModule_GetDict(obj);  // never NULL for a module object
    if (PyObject* value = module_attributes.find(dict, name)) {
        *result = Py_NewRef(value);
        return found;
    }
    if (_PyType_Lookup(Py_TYPE(obj), name)) return undecided;
    if (PyObject* value = PyDict_GetItemWithError(dict, name)) {
        module_attributes.remember(dict, name, value);
        *result = Py_NewRef(value);
        return found;
    }
    if (PyErr_Occurred()) return failed;
    PyObject* hook = PyDict_GetItemWithError(dict, names::__getattr__);
    if (!hook) return PyErr_Occurred() ? failed : absent;
    Ref held = Ref::borrow(hook);  // the call may rebind the module's __getattr__
    *result = PyObject_CallOneArg(hook, name);
    return *result ? found : failed;
}

// name on a class whose metaclass is exactly `type` (the theme class), answered as type's own
// lookup answers it when `type` itself has no such attribute and the class's attribute (found
// along its MRO) is no descriptor; everything else is left to the generic lookup.
Lookup class_lookup(PyObject* obj, PyObject* name, PyObject** result) {
    if (!Py_IS_TYPE(obj, &PyType_Type) || !PyUnicode_CheckExact(name)) return undecided;
    if (_PyType_Lookup(&PyType_Type, name)) return undecided;
    PyObject* value = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(obj), name);
    if (!value || Py_TYPE(value)->tp_descr_get) return undecided;
    *result = Py_NewRef(value);
    return found;
}

Lookup shortcut(PyObject* obj, PyObject* name, PyObject** result) {
    const Lookup answer = module_lookup(obj, name, result);
    return answer == undecided ? class_lookup(obj, name, result) : answer;
}

}  // namespace

Ref attr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    switch (shortcut(obj, name, &value)) {
        case found: return Ref::steal(value);
        case failed: throw PyError{};
        default: return check(PyObject_GetAttr(obj, name));  // also makes the AttributeError of a miss
    }
}

Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback) {
    PyObject* value = nullptr;
    int result = shortcut(obj, name, &value);
    // As getattr(obj, name, default) reads it: no AttributeError is made where the type's lookup
    // can say "absent" without one.
    if (result == undecided) result = _PyObject_LookupAttr(obj, name, &value);
    if (result == failed) {
        if (!clear_if(PyExc_AttributeError)) throw PyError{};  // a module __getattr__ said "absent"
        result = absent;
    }
    return result == found ? Ref::steal(value) : Ref::borrow(fallback);
}

}  // namespace tqv
