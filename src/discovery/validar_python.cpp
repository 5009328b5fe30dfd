// validar_python: does a path name a working interpreter (not a launcher stub)?
#include "../core/except.hpp"
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../host/constants.hpp"
#include "../module/callables.hpp"

namespace tqv {

Ref validar_python(PyObject* module, PyObject* path) {
    Globals g(module);
    if (!truthy(path)) return boolean(false);
    if (!truthy(g.os_path(names::exists)(path))) return boolean(false);
    if (check(PySequence_Contains(path, text(host::launcher_stub_marker).get()))) return boolean(false);
    try {
        // Any failure of the run, a time-out or an interrupt included, means "not usable".
        bool works = false;
        as_python_error([&] {
            // subprocess.run([path, "--version"], capture_output=True, text=True, timeout=5).returncode == 0
            Ref run = g[names::subprocess].attr(names::run);
            Ref result = run(list_of({path, text("--version").get()}), kw(names::capture_output, Py_True), kw(names::text, Py_True),
                             kw(names::timeout, integer(5)));
            works = equals(result.attr(names::returncode).get(), integer(0).get());
        });
        return boolean(works);
    } catch (const PyError&) {
        PyErr_Clear();
        return boolean(false);
    }
}

}  // namespace tqv
