// The method table: name, signature, docstring and body of each public callable.
#include "callables.hpp"

#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "arguments.hpp"

#include <utility>

namespace tqv {

namespace {

using Body = Ref (*)(PyObject* module, const Arguments& a);

struct Entry {
    Signature signature;
    // "name($module, ...)\n--\n\n" gives inspect.signature its parameters; what follows is __doc__.
    const char* doc;
    Body body;
};

constexpr Parameter required(PyObject* const* name) { return {name, Default::required}; }
constexpr Parameter defaults_to_none(PyObject* const* name) { return {name, Default::none}; }

const Entry entries[] = {
    {{"get_path", 1, 1, {required(&names::relative_path)}},
     "get_path($module, relative_path)\n--\n\n",
     [](PyObject* m, const Arguments& a) { return get_path(m, a[0]); }},
    {{"tq_refresh", 2, 1, {required(&names::status_msg), Parameter{&names::progress, Default::zero}}},
     "tq_refresh($module, status_msg, progress=0)\n--\n\n",
     [](PyObject* m, const Arguments& a) { return tq_refresh(m, a[0], a[1]); }},
    {{"run_silent", 3, 1, {required(&names::cmd), defaults_to_none(&names::cwd), defaults_to_none(&names::env)}},
     "run_silent($module, cmd, cwd=None, env=None)\n--\n\n",
     [](PyObject* m, const Arguments& a) { return run_silent(m, a[0], a[1], a[2]); }},
    {{"validar_python", 1, 1, {required(&names::path)}},
     "validar_python($module, path)\n--\n\n",
     [](PyObject* m, const Arguments& a) { return validar_python(m, a[0]); }},
    {{"encontrar_python_real", 0, 0, {}},
     "encontrar_python_real($module)\n--\n\n",
     [](PyObject* m, const Arguments&) { return encontrar_python_real(m); }},
    {{"setup_upx", 0, 0, {}}, "setup_upx($module)\n--\n\n", [](PyObject* m, const Arguments&) { return setup_upx(m); }},
    {{"cleanup", 0, 0, {}}, "cleanup($module)\n--\n\n", [](PyObject* m, const Arguments&) { return cleanup(m); }},
    {{"arreglar_ruta_metadatos", 1, 1, {required(&names::repo_dir)}},
     "arreglar_ruta_metadatos($module, repo_dir)\n--\n\n"
     "\n    Modifica bundle/pyinstaller.py para usar RUTAS ABSOLUTAS."
     "\n    IMPORTANTE: No inyectamos 'import os' porque ya existe globalmente.\n    ",
     [](PyObject* m, const Arguments& a) { return arreglar_ruta_metadatos(m, a[0]); }},
    {{"main", 0, 0, {}}, "main($module)\n--\n\n", [](PyObject* m, const Arguments&) { return main(m); }},
};
constexpr std::size_t count = std::size(entries);

// Every exported callable passes through here: arguments bound, C++ errors stopped.
template <std::size_t I>
PyObject* entry_point(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Entry& e = entries[I];
    Arguments a;
    if (!bind_arguments(e.signature, args, nargs, kwnames, a)) return nullptr;
    return boundary([&] { return e.body(module, a).release(); }, static_cast<PyObject*>(nullptr));
}

template <std::size_t... I>
auto make_method_table(std::index_sequence<I...>) {
    return std::array<PyMethodDef, count>{PyMethodDef{entries[I].signature.function,
                                                      reinterpret_cast<PyCFunction>(
                                                          reinterpret_cast<void (*)()>(entry_point<I>)),
                                                      METH_FASTCALL | METH_KEYWORDS, entries[I].doc}...};
}

// Function objects keep a pointer to their PyMethodDef: the table lives for the process.
std::array<PyMethodDef, count> method_table = make_method_table(std::make_index_sequence<count>{});

}  // namespace

void define(PyObject* module, Callable which) {
    PyMethodDef* def = &method_table[static_cast<std::size_t>(which)];
    // __module__ is the module's own name, also when it was loaded as "__main__".
    Ref function = check(PyCFunction_NewEx(def, module, names::tq_velmor));
    Ref name = check(PyUnicode_InternFromString(def->ml_name));
    Globals(module).bind(name.get(), function.get());
}

}  // namespace tqv
