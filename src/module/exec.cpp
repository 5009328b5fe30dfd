// Exec step: the re-initialisation rule, then the module body in order.
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/records.hpp"
#include "../core/text.hpp"
#include "callables.hpp"
#include "startup.hpp"
#include "theme.hpp"

namespace tqv {

namespace {

void warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    Ref text = check(PyUnicode_FromFormat("compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                          PY_MAJOR_VERSION, PY_MINOR_VERSION, "tq_velmor", "does not match", major,
                                          minor));
    const char* message = PyUnicode_AsUTF8(text.get());
    if (!message) throw PyError{};
    check(PyErr_WarnEx(nullptr, message, 1));
}

// Also reachable as "tq_velmor" when loaded under another name, such as "__main__".
// True when the entry was added here.
bool register_module(PyObject* module) {
    PyObject* registry = PyImport_GetModuleDict();
    if (check(PySequence_Contains(registry, names::tq_velmor))) return false;
    check(PyObject_SetItem(registry, names::tq_velmor, module));
    return true;
}

// Take back the entry register_module added, so that a later import starts afresh instead of
// finding a half-started module. The import system drops the entry under the loading name itself.
void unregister_module(PyObject* module) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* registry = PyImport_GetModuleDict();
    PyObject* entry = PyObject_GetItem(registry, names::tq_velmor);
    if (entry == module && PyObject_DelItem(registry, names::tq_velmor) < 0) PyErr_Clear();
    if (!entry) PyErr_Clear();
    Py_XDECREF(entry);
    PyErr_Restore(type, value, traceback);
}

void capture(PyObject* builtins, PyObject* name, PyObject*& slot) {
    PyObject* value = PyDict_GetItemWithError(builtins, name);
    if (!value) {
        if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyError{};
    }
    Py_XSETREF(slot, Py_NewRef(value));
}

void capture_builtins() {
    Ref builtins_module = check(PyImport_ImportModule("builtins"));
    PyObject* builtins = PyModule_GetDict(builtins_module.get());
    if (!builtins) throw PyError{};
    capture(builtins, names::print, records.print);
    capture(builtins, names::open, records.open);
    capture(builtins, names::input, records.input);
}

void import_and_bind(PyObject* module, PyObject* name) {
    Globals(module).bind(name, import_statement(module, name, name).get());
}

void run_body(PyObject* module) {
    Globals g(module);
    import_and_bind(module, names::sys);
    import_and_bind(module, names::os);
    define(module, Callable::get_path);

    for (PyObject* name : {names::os, names::sys, names::subprocess, names::shutil})
        import_and_bind(module, name);
    Ref urllib_request = ustr("urllib.request");
    g.bind(names::urllib, import_statement(module, urllib_request.get(), names::urllib).get());
    for (PyObject* name : {names::zipfile, names::glob, names::ctypes, names::time, names::winreg})
        import_and_bind(module, name);

    set_console_title(module);
    g.bind(names::TQ_Theme, make_theme_class().get());

    for (Callable c : {Callable::tq_refresh, Callable::run_silent, Callable::validar_python,
                       Callable::encontrar_python_real, Callable::setup_upx, Callable::cleanup,
                       Callable::arreglar_ruta_metadatos, Callable::main})
        define(module, c);

    // if __name__ == "__main__": main()
    Ref main_name = ustr("__main__");
    if (equals(g[names::__name__].get(), main_name.get())) g[names::main]();
}

}  // namespace

int exec_module(PyObject* module) {
    return boundary(
        [&] {
            if (records.initialised_module) {
                // A second import after leaving sys.modules, or a reload: nothing runs again.
                if (records.initialised_module == module) return 0;
                raise(PyExc_RuntimeError,
                      "Module 'tq_velmor' has already been imported. Re-initialisation is not supported.");
            }
            records.initialised_module = Py_NewRef(module);
            bool registered = false;
            try {
                warn_on_version_mismatch();
                registered = register_module(module);
                capture_builtins();
                run_body(module);
            } catch (...) {
                // A failed start-up leaves nothing behind: the next import starts afresh.
                if (registered) unregister_module(module);
                Py_CLEAR(records.initialised_module);
                throw;
            }
            return 0;
        },
        -1);
}

}  // namespace tqv
