// The build sequence: interpreter, cleanup, UPX, source, dependencies, lazy extractors, packaging.
#include "build.hpp"

#include "../core/except.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../host/constants.hpp"

namespace tqv {

namespace {

#ifdef _WIN32
constexpr const char* native_os_module = "nt";
#else
constexpr const char* native_os_module = "posix";
#endif
constexpr long file_type_mask = 0170000, folder_type = 0040000;  // S_IFMT, S_IFDIR: the same on both

constexpr const char* dependencies[] = {"mutagen", "pycryptodomex", "websockets", "brotli",
                                        "certifi", "requests",      "pyinstaller"};

void refresh(const Globals& g, const char* status_msg, long progress) {
    g[names::tq_refresh](ustr(status_msg), integer(progress));
}

// env["PATH"] = os.getcwd() + os.pathsep + env["PATH"]
void put_workspace_first_on_path(const Globals& g, PyObject* env) {
    // Separate statements: the two lookups of `os` happen in the order Python evaluates them.
    Ref cwd = g[names::os].attr(names::getcwd)();
    Ref pathsep = g[names::os].attr(names::pathsep);
    Ref head = check(PyNumber_Add(cwd.get(), pathsep.get()));
    Ref key = ustr("PATH");
    Ref old = check(PyObject_GetItem(env, key.get()));  // KeyError when there is no PATH
    Ref value = check(PyNumber_Add(head.get(), old.get()));
    check(PyObject_SetItem(env, key.get(), value.get()));
}

// [py, "-m", "pip", "install"] + deps + ["--disable-pip-version-check"]
Ref pip_install_command(PyObject* py) {
    Ref deps = check(PyList_New(0));
    for (const char* name : dependencies) check(PyList_Append(deps.get(), ustr(name).get()));
    Ref head = list_of({py, ustr("-m").get(), ustr("pip").get(), ustr("install").get()});
    Ref with_deps = check(PyNumber_Add(head.get(), deps.get()));
    return check(PyNumber_Add(with_deps.get(), list_of({ustr("--disable-pip-version-check").get()}).get()));
}

}  // namespace

// Whether `path` names a folder. A packaging run that leaves a folder named "yt-dlp.exe" has
// produced no executable: moving the folder in would replace the previous build and report it as
// a success of 0.00 MB. Asked of the platform module beneath `os` (posix/nt), so the calls a
// normal build makes through `os` stay as they are; a path that cannot be examined counts as "not
// a folder".
bool is_folder(PyObject* path) {
    if (!PyUnicode_Check(path)) return false;
    try {
        // Taken from the module registry, where `os` put it: no import hook sees this lookup.
        PyObject* found = PyImport_GetModule(ustr(native_os_module).get());
        if (!found) {
            if (PyErr_Occurred()) throw PyError{};
            return false;
        }
        Ref platform = Ref::steal(found);
        Ref status = attr(platform.get(), names::stat)(path);
        Ref mode = check(PyNumber_Long(status.attr(names::st_mode).get()));
        const long bits = PyLong_AsLong(mode.get());
        if (bits == -1 && PyErr_Occurred()) throw PyError{};
        return (bits & file_type_mask) == folder_type;
    } catch (const PyError&) {
        if (!clear_if(PyExc_Exception)) throw;  // an interrupt still ends the build
        return false;
    }
}

void build(const Globals& g) {
    Ref py = g[names::encontrar_python_real]();
    g[names::cleanup]();

    refresh(g, "Cargando motor UPX...", 10);
    Ref has_upx = g[names::setup_upx]();
    Ref env = g[names::os].attr(names::environ_).attr(names::copy)();
    if (truthy(has_upx)) put_workspace_first_on_path(g, env.get());

    refresh(g, "Descargando código oficial...", 25);
    g[names::urllib].attr(names::request).attr(names::urlretrieve)(ustr(host::source_archive_url), ustr("source.zip"));
    with(g[names::zipfile].attr(names::ZipFile)(ustr("source.zip"), ustr("r")).get(),
         [&](PyObject* z) { attr(z, names::extractall)(ustr(".")); });
    Ref repo = g.os_path(names::abspath)(ustr("yt-dlp-master"));
    g[names::arreglar_ruta_metadatos](repo);

    refresh(g, "Instalando dependencias...", 45);
    g[names::run_silent](pip_install_command(py.get()));

    refresh(g, "Optimizando (Lazy Extractors)...", 60);
    g[names::run_silent](list_of({py.get(), ustr("devscripts/make_lazy_extractors.py").get()}), kw(names::cwd, repo));

    refresh(g, "Compilando Binario Oficial...", 80);
    g[names::run_silent](list_of({py.get(), ustr("-m").get(), ustr("bundle.pyinstaller").get()}), kw(names::cwd, repo),
                         kw(names::env, env));

    refresh(g, "Finalizando...", 95);
    Ref src = g.os_path(names::join)(repo, ustr("dist"), ustr("yt-dlp.exe"));
    if (truthy(g.os_path(names::exists)(src)) && !is_folder(src.get()))
        report_result(g, py.get(), src.get());
    else
        report_missing_executable(g);
}

}  // namespace tqv
