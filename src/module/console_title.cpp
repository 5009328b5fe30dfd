// The console window title, set once at start-up.
#include "../core/except.hpp"
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../host/constants.hpp"
#include "startup.hpp"

namespace tqv {

void set_console_title(PyObject* module) {
    // try: ctypes.windll.kernel32.SetConsoleTitleW(title)
    // except BaseException: pass   -- a host without windll, even an interrupt
    try {
        as_python_error([&] {
            Ref kernel32 = Globals(module)[names::ctypes].attr(names::windll).attr(names::kernel32);
            Ref title = ustr(host::console_title);
            kernel32.attr(names::SetConsoleTitleW)(title);
        });
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

}  // namespace tqv
