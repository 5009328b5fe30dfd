// Create step: one interpreter per process, one module object per successful start-up.
#include "../core/names.hpp"
#include "../core/records.hpp"
#include "arguments.hpp"
#include "startup.hpp"

namespace tqv {

namespace {

// module.__dict__[target] = spec.<source>; a missing spec attribute is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* source, PyObject* module_dict, PyObject* target,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttr(spec, source);
    if (!value) {
        if (clear_if(PyExc_AttributeError)) return;
        throw PyError{};
    }
    Ref held = Ref::steal(value);
    if (skip_none && value == Py_None) return;
    check(PyDict_SetItem(module_dict, target, value));
}

Ref create(PyObject* spec) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) throw PyError{};
    if (records.owning_interpreter == -1) {
        records.owning_interpreter = id;
    } else if (records.owning_interpreter != id) {
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    }
    // Only now is it safe to make objects: they belong to the owning interpreter.
    intern_names();
    create_default_values();

    if (records.initialised_module) return Ref::borrow(records.initialised_module);

    Ref name = check(PyObject_GetAttr(spec, names::name));
    Ref module = check(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    copy_spec_attribute(spec, names::loader, dict, names::__loader__, false);
    copy_spec_attribute(spec, names::origin, dict, names::__file__, false);
    copy_spec_attribute(spec, names::parent, dict, names::__package__, false);
    copy_spec_attribute(spec, names::submodule_search_locations, dict, names::__path__, true);
    return module;
}

}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    return boundary([&] { return create(spec).release(); }, static_cast<PyObject*>(nullptr));
}

}  // namespace tqv
