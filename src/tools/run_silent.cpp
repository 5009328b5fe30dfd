// run_silent: run a command with its output hidden; a non-zero exit becomes "Fallo en: ...".
#include "../core/except.hpp"
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../module/callables.hpp"

namespace tqv {

namespace {

// f"Fallo en: {label}\nDetalle: {error_msg}" from the caught CalledProcessError
Ref failure_text(PyObject* cmd, const Caught& e) {
    // error_msg = e.stderr if e.stderr else "Error desconocido"
    Ref error_msg = truthy(attr(e.value(), names::stderr_))
                        ? attr(e.value(), names::stderr_)
                        : ustr("Error desconocido");
    // label = cmd[0] if isinstance(cmd, list) else cmd
    Ref label = check(PyObject_IsInstance(cmd, reinterpret_cast<PyObject*>(&PyList_Type)))
                    ? check(PyObject_GetItem(cmd, integer(0).get()))
                    : Ref::borrow(cmd);
    return fstring({"Fallo en: ", label, "\nDetalle: ", error_msg});
}

}  // namespace

Ref run_silent(PyObject* module, PyObject* cmd, PyObject* cwd, PyObject* env) {
    Globals g(module);
    try {
        as_python_error([&] {
            Ref run = g[names::subprocess].attr(names::run);
            Ref devnull = g[names::subprocess].attr(names::DEVNULL);
            Ref pipe = g[names::subprocess].attr(names::PIPE);
            run(cmd, kw(names::cwd, cwd), kw(names::env, env), kw(names::check, Py_True), kw(names::stdout_, devnull),
                kw(names::stderr_, pipe), kw(names::text, Py_True));
        });
    } catch (const PyError&) {
        // except subprocess.CalledProcessError as e: raise Exception(...)
        Caught e = Caught::take();
        {
            Handling handling(e);
            Ref called_process_error = g[names::subprocess].attr(names::CalledProcessError);
            // Raised while e is handled, so e becomes its __context__.
            if (e.matches_checked(called_process_error.get())) raise_new(PyExc_Exception, failure_text(cmd, e));
        }
        e.reraise();
    }
    return none();
}

}  // namespace tqv
