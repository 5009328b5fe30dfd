// The nine public callables: their bodies (one file each) and their function objects.
#pragma once

#include "../core/ref.hpp"

namespace tqv {

// Bodies; `module` is the module whose namespace they read.
Ref get_path(PyObject* module, PyObject* relative_path);
Ref tq_refresh(PyObject* module, PyObject* status_msg, PyObject* progress);
Ref run_silent(PyObject* module, PyObject* cmd, PyObject* cwd, PyObject* env);
Ref validar_python(PyObject* module, PyObject* path);
Ref encontrar_python_real(PyObject* module);
Ref setup_upx(PyObject* module);
Ref cleanup(PyObject* module);
Ref arreglar_ruta_metadatos(PyObject* module, PyObject* repo_dir);
Ref main(PyObject* module);

// In binding order.
enum class Callable { get_path, tq_refresh, run_silent, validar_python, encontrar_python_real, setup_upx, cleanup,
                      arreglar_ruta_metadatos, main };

// A new built-in function object bound to `module`, and bind it under its name.
void define(PyObject* module, Callable which);

}  // namespace tqv
