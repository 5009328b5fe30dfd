// The two endings of a build whose packaging step returned: the size report, or no executable.
#include "../core/except.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../module/theme.hpp"
#include "build.hpp"

namespace tqv {

namespace {
constexpr long bytes_per_megabyte = 1048576;
constexpr long size_limit_megabytes = 25;

// Runs `body`; true when it raised nothing (an ordinary error is swallowed, an interrupt is not).
template <class F>
bool quietly(F&& body) {
    try {
        as_python_error(body);
        return true;
    } catch (const PyError&) {
        if (!clear_if(PyExc_Exception)) throw;
        return false;
    }
}

// The new executable moved to `dst`. An earlier one there is set aside beside the new one, not
// removed, until the new one is in place: when the move fails (a virus scanner holding the fresh
// file), the earlier one is put back and the failure says where the new one stayed. Only a file is
// set aside: a folder of that name is not an earlier build, and removing it fails as it always did.
void put_in_place(const Globals& g, PyObject* src, PyObject* dst) {
    Ref aside = check(PyNumber_Add(src, text(".anterior").get()));  // inside the tree the cleanup removes
    bool had_earlier = false, set_aside = false;
    try {
        as_python_error([&] {
            if (truthy(g.os_path(names::exists)(dst))) {
                had_earlier = true;
                if (is_folder(dst)) g[names::os].attr(names::remove)(dst);
                g[names::os].attr(names::replace)(dst, aside);
                set_aside = true;
            }
            g[names::shutil].attr(names::move)(src, dst);
        });
    } catch (const PyError&) {
        Caught e = Caught::take();
        bool earlier_here = !set_aside;
        if (set_aside)
            earlier_here = quietly([&] { g[names::os].attr(names::replace)(aside, dst); });
        else if (!had_earlier)  // what a failed copy may have left is not a build
            quietly([&] {
                if (truthy(g.os_path(names::exists)(dst))) g[names::os].attr(names::remove)(dst);
            });
        if (!e.matches(PyExc_Exception)) e.reraise();  // an interrupt goes on as it came
        Handling handling(e);
        Ref earlier = !had_earlier   ? text(".")
                      : earlier_here ? text("; el anterior sigue en la carpeta.")
                                     : fstring({"; el anterior, en ", aside, "."});
        raise_new(PyExc_Exception, fstring({e.value(), "\nEl yt-dlp.exe nuevo se quedó en ", src, earlier}));
    }
}
}  // namespace

void report_result(const Globals& g, PyObject* py, PyObject* src) {
    Theme theme(g);
    Ref dst = ustr("yt-dlp.exe");
    put_in_place(g, src, dst.get());
    Ref size = check(PyNumber_TrueDivide(g.os_path(names::getsize)(dst).get(), integer(bytes_per_megabyte).get()));
    g[names::cleanup]();

    // Exactly 25 MB does not exceed the limit: green, with the EXCELENTE verdict.
    Ref limit = integer(size_limit_megabytes);
    auto over_limit = [&] { return check(PyObject_RichCompareBool(size.get(), limit.get(), Py_GT)) == 1; };
    Ref col = over_limit() ? theme[names::RED] : theme[names::GREEN];

    g[names::tq_refresh](fstring({"¡HECHO! Peso: ", col, fmt(size.get(), ".2f"), " MB", theme[names::RESET]}),
                         integer(100));
    print(fstring({"\n  ", theme[names::CYAN], "Estado:", theme[names::RESET], "    Compilación Oficial Exitosa"}));
    print(fstring({"  ", theme[names::GOLD], "Motor:", theme[names::RESET], "     ", g.os_path(names::basename)(py)}));
    print(fstring({"  ", theme[names::GOLD], "Tamaño:", theme[names::RESET], "    ", col, fmt(size.get(), ".2f"),
                   " MB", theme[names::RESET]}));
    if (over_limit())
        print(fstring({"\n  ", theme[names::RED], "⚠  ADVERTENCIA:", theme[names::RESET], " El archivo supera los 25MB."}));
    else
        print(fstring({"\n  ", theme[names::GREEN], "✔  EXCELENTE:", theme[names::RESET], " Apto para GitHub (<25MB)."}));
    g[names::time].attr(names::sleep)(integer(5));
}

void report_missing_executable(const Globals& g) {
    Theme theme(g);
    print(fstring({"\n ", theme[names::RED], "[ERROR] No se generó el EXE.", theme[names::RESET]}));
    input();
}

}  // namespace tqv
