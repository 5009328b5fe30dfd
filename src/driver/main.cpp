// main: the one-click build; any ordinary error ends in the "ERROR CRITICO:" screen.
#include "../core/except.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../module/callables.hpp"
#include "../module/theme.hpp"
#include "build.hpp"

namespace tqv {

Ref main(PyObject* module) {
    Globals g(module);
    try {
        as_python_error([&] { build(g); });
    } catch (const PyError&) {
        // except Exception as e: -- interrupts and exit requests go straight through
        Caught e = Caught::take();
        if (!e.matches(PyExc_Exception)) e.reraise();
        Handling handling(e);
        Theme theme(g);
        print(fstring({"\n", theme[names::RED], "ERROR CRITICO:", theme[names::RESET], " ", e.value()}));
        input();
    }
    return none();
}

}  // namespace tqv
