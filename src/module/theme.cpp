// TQ_Theme: the colour escape sequences and the banner that heads every screen.
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "theme.hpp"

namespace tqv {

namespace {
constexpr const char* banner_title = "    >> ONE CLICK YT-DLP BUILDER - ZELK DIGITAL - KORVANE << ";
constexpr const char* rule = "===============================================================";  // 63

void set(PyObject* ns, PyObject* name, const char* value) { check(PyDict_SetItem(ns, name, ustr(value).get())); }
PyObject* get(PyObject* ns, PyObject* name) { return PyDict_GetItemWithError(ns, name); }
}  // namespace

Ref make_theme_class() {
    // class TQ_Theme: -- the namespace as a class body fills it, in order
    Ref ns = check(PyDict_New());
    check(PyDict_SetItem(ns.get(), names::__module__, names::tq_velmor));
    check(PyDict_SetItem(ns.get(), names::__qualname__, names::TQ_Theme));
    set(ns.get(), names::CYAN, "\x1b[38;5;51m");
    set(ns.get(), names::PURPLE, "\x1b[38;5;141m");
    set(ns.get(), names::GREEN, "\x1b[38;5;82m");
    set(ns.get(), names::GOLD, "\x1b[38;5;220m");
    set(ns.get(), names::RED, "\x1b[38;5;196m");
    set(ns.get(), names::BOLD, "\x1b[1m");
    set(ns.get(), names::RESET, "\x1b[0m");
    // BANNER = f"\n{PURPLE}{'=' * 63}{RESET}\n{CYAN}{title}{RESET}"
    Ref banner = fstring({"\n", get(ns.get(), names::PURPLE), rule, get(ns.get(), names::RESET), "\n",
                          get(ns.get(), names::CYAN), banner_title, get(ns.get(), names::RESET)});
    check(PyDict_SetItem(ns.get(), names::BANNER, banner.get()));

    Ref bases = check(PyTuple_New(0));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), names::TQ_Theme, bases, ns);
}

}  // namespace tqv

namespace tqv {

Ref Theme::operator[](PyObject* name) const { return g_[names::TQ_Theme].attr(name); }

}  // namespace tqv
