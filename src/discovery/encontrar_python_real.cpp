// encontrar_python_real: the interpreter that runs the build, searched in a fixed priority.
#include "../core/except.hpp"
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../host/constants.hpp"
#include "../module/callables.hpp"

#include <vector>

namespace tqv {

namespace {

using Candidates = std::vector<Ref>;

// bool(validar_python(path))
bool accepted(const Globals& g, PyObject* path) { return truthy(g[names::validar_python](path)); }

// Run `body`, discarding every exception it raises (interrupts included).
template <class F>
void ignoring_every_error(F&& body) {
    try {
        as_python_error(body);
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

// val, _ = pair
Ref first_of_two(PyObject* pair) {
    Ref iterator = Ref::steal(PyObject_GetIter(pair));
    if (!iterator) {
        if (!clear_if(PyExc_TypeError)) throw PyError{};
        raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
    }
    Ref items[3];
    int got = 0;
    for (; got < 3; ++got) {
        items[got] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[got]) break;
    }
    if (PyErr_Occurred()) throw PyError{};
    if (got < 2) raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
    if (got > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return std::move(items[0]);
}

// Folders named "Python3*" holding "python.exe", under the user's and the two common roots.
void scan_install_folders(const Globals& g, Candidates& candidatos) {
    Ref user_path = g.os_path(names::expanduser)(ustr("~"));
    Ref rutas_comunes[] = {g.os_path(names::join)(user_path, ustr(host::user_programs_root)),
                           ustr(host::program_files_root), ustr(host::drive_root)};
    for (const Ref& root : rutas_comunes) {
        if (!truthy(g.os_path(names::exists)(root))) continue;
        // for item in glob.glob(os.path.join(root, "Python3*")):
        Ref glob = g[names::glob].attr(names::glob);
        Ref items = check(PyObject_GetIter(glob(g.os_path(names::join)(root, ustr(host::install_folder_pattern))).get()));
        while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
            Ref exe = g.os_path(names::join)(item, ustr(host::interpreter_file));
            if (truthy(g.os_path(names::exists)(exe))) candidatos.push_back(std::move(exe));
        }
        if (PyErr_Occurred()) throw PyError{};
    }
}

// Every version subkey of one hive's PythonCore key, until the first OSError.
void scan_hive(const Globals& g, PyObject* hive, Candidates& candidatos) {
    Ref key = g[names::winreg].attr(names::OpenKey)(hive, ustr(host::python_core_key));
    for (long i = 0;; ++i) {
        try {
            as_python_error([&] {
                Ref ver = g[names::winreg].attr(names::EnumKey)(key, integer(i));
                Ref path_key = g[names::winreg].attr(names::OpenKey)(key, fstring({ver, host::install_path_subkey}));
                Ref val = first_of_two(g[names::winreg].attr(names::QueryValueEx)(path_key, ustr("")).get());
                Ref exe = g.os_path(names::join)(val, ustr(host::interpreter_file));
                if (accepted(g, exe.get())) candidatos.push_back(std::move(exe));
            });
        } catch (const PyError&) {
            if (clear_if(PyExc_OSError)) return;  // past the last subkey, or a broken install
            throw;
        }
    }
}

void scan_registry(const Globals& g, Candidates& candidatos) {
    ignoring_every_error([&] {
        Ref hives[] = {g[names::winreg].attr(names::HKEY_CURRENT_USER),
                       g[names::winreg].attr(names::HKEY_LOCAL_MACHINE)};
        for (const Ref& hive : hives) ignoring_every_error([&] { scan_hive(g, hive.get(), candidatos); });
    });
}

}  // namespace

Ref encontrar_python_real(PyObject* module) {
    Globals g(module);
    if (!truthy(attr_or(g[names::sys].get(), names::frozen, Py_False))) {
        // validar_python is looked up before sys.executable is read, as the call reads.
        Ref validar = g[names::validar_python];
        if (truthy(validar(g[names::sys].attr(names::executable)))) return g[names::sys].attr(names::executable);
    }

    Candidates candidatos;
    scan_install_folders(g, candidatos);
    scan_registry(g, candidatos);
    for (const Ref& py : candidatos)
        if (accepted(g, py.get())) return Ref::borrow(py.get());

    Ref python_path = g[names::shutil].attr(names::which)(ustr("python"));
    if (truthy(python_path) && accepted(g, python_path.get())) return python_path;

    raise_new(PyExc_Exception, fstring({"No se encontró Python instalado. Instálalo desde ", host::python_download_site}));
}

}  // namespace tqv
