// get_path: a resource path, relative to a frozen bundle's folder or to the working directory.
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "callables.hpp"

namespace tqv {

Ref get_path(PyObject* module, PyObject* relative_path) {
    Globals g(module);
    Ref base;
    if (truthy(attr_or(g[names::sys].get(), names::frozen, Py_False))) {
        // base = getattr(sys, "_MEIPASS", os.path.dirname(sys.executable))
        Ref sys = g[names::sys];
        Ref dirname = g.os_path(names::dirname);
        Ref fallback = dirname(g[names::sys].attr(names::executable));
        base = attr_or(sys.get(), names::_MEIPASS, fallback.get());
    } else {
        // base = os.path.abspath(".")
        Ref abspath = g.os_path(names::abspath);
        base = abspath(text("."));
    }
    Ref join = g.os_path(names::join);
    return join(base, relative_path);
}

}  // namespace tqv
