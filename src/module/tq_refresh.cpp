// tq_refresh: redraw the console as the status screen (banner, phase, 35-cell bar).
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "callables.hpp"
#include "theme.hpp"

namespace tqv {

namespace {
constexpr long bar_cells = 35;
constexpr const char* rule = "===============================================================";  // 63
}  // namespace

Ref tq_refresh(PyObject* module, PyObject* status_msg, PyObject* progress) {
    Globals g(module);
    Theme theme(g);

    // os.system("cls" if os.name == "nt" else "clear")
    Ref system = g[names::os].attr(names::system);
    const bool windows = equals(g[names::os].attr(names::name).get(), text("nt").get());
    system(text(windows ? "cls" : "clear"));

    print(theme[names::BANNER]);
    print(fstring({theme[names::PURPLE], rule, theme[names::RESET], "\n"}));
    print(fstring({" ", theme[names::BOLD], theme[names::GOLD], "[ FASE ]:", theme[names::RESET], " ",
                   theme[names::CYAN], status_msg, theme[names::RESET], "\n"}));

    // filled = int(35 * progress // 100)
    Ref cells = integer(bar_cells);
    Ref scaled = check(PyNumber_Multiply(cells.get(), progress));
    Ref quotient = check(PyNumber_FloorDivide(scaled.get(), integer(100).get()));
    Ref filled = check(PyNumber_Long(quotient.get()));

    // bar = f"{GREEN}█{RESET}" * filled + f"{PURPLE}░{RESET}" * (35 - filled)
    Ref full_cell = fstring({theme[names::GREEN], "█", theme[names::RESET]});
    Ref full_run = check(PyNumber_Multiply(full_cell.get(), filled.get()));
    Ref empty_cell = fstring({theme[names::PURPLE], "░", theme[names::RESET]});
    Ref empty_count = check(PyNumber_Subtract(cells.get(), filled.get()));
    Ref empty_run = check(PyNumber_Multiply(empty_cell.get(), empty_count.get()));
    Ref bar = check(PyNumber_Add(full_run.get(), empty_run.get()));

    print(fstring({" ", bar, " ", theme[names::BOLD], progress, "%", theme[names::RESET], "\n"}));
    return none();
}

}  // namespace tqv
