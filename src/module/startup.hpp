// The module's start-up: the create and exec steps and the parts of the module body.
#pragma once

#include "../core/ref.hpp"

namespace tqv {

// Py_mod_create and Py_mod_exec.
PyObject* create_module(PyObject* spec, PyModuleDef* def);
int exec_module(PyObject* module);

// `import name` at module level: the value the statement binds (the top-level package for
// a dotted name). `top` is the first component of `full` (the same object when undotted).
Ref import_statement(PyObject* module, PyObject* full, PyObject* top);

// ctypes.windll.kernel32.SetConsoleTitleW(...), every failure ignored.
void set_console_title(PyObject* module);

}  // namespace tqv
