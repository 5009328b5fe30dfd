// The module definition and its exported entry point.
#include "startup.hpp"

namespace {

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(tqv::create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(tqv::exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tq_velmor",  // m_name
    nullptr,      // m_doc: the module has no docstring
    0,            // m_size: no per-module state; the records are process-wide
    nullptr,      // m_methods: the callables are bound by the exec step
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tq_velmor(void) { return PyModuleDef_Init(&definition); }
