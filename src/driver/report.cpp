// The two endings of a build whose packaging step returned: the size report, or no executable.
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../module/theme.hpp"
#include "build.hpp"

namespace tqv {

namespace {
constexpr long bytes_per_megabyte = 1048576;
constexpr long size_limit_megabytes = 25;
}  // namespace

void report_result(const Globals& g, PyObject* py, PyObject* src) {
    Theme theme(g);
    Ref dst = ustr("yt-dlp.exe");
    if (truthy(g.os_path(names::exists)(dst))) g[names::os].attr(names::remove)(dst);
    g[names::shutil].attr(names::move)(src, dst);
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
