// Interned strings for every attribute, global and keyword name the module uses.
// Created once at start-up and kept for the life of the process.
#pragma once

#include <Python.h>

// X(identifier) -- the text is the identifier itself.
#define TQV_NAMES(X)                                                                            \
    /* modules and module-level names */                                                       \
    X(sys) X(os) X(subprocess) X(shutil) X(urllib) X(zipfile) X(glob) X(ctypes) X(time)         \
    X(winreg) X(TQ_Theme) X(get_path) X(tq_refresh) X(run_silent) X(validar_python)            \
    X(encontrar_python_real) X(setup_upx) X(cleanup) X(arreglar_ruta_metadatos) X(main)         \
    X(print) X(open) X(input) X(__name__) X(__module__) X(__qualname__)                         \
    X(__getattr__)                                                                             \
    /* module spec */                                                                          \
    X(name) X(loader) X(origin) X(parent) X(submodule_search_locations) X(__loader__)           \
    X(__file__) X(__package__) X(__path__)                                                      \
    /* theme */                                                                                \
    X(CYAN) X(PURPLE) X(GREEN) X(GOLD) X(RED) X(BOLD) X(RESET) X(BANNER)                        \
    /* parameters */                                                                           \
    X(relative_path) X(status_msg) X(progress) X(cmd) X(cwd) X(env) X(path) X(repo_dir)         \
    /* os, os.path, sys */                                                                     \
    X(system) X(frozen) X(_MEIPASS) X(executable) X(dirname) X(abspath) X(join) X(exists)       \
    X(remove) X(expanduser) X(copy) X(stat) X(st_mode) X(getcwd) X(pathsep) X(getsize) X(basename)     \
    /* subprocess */                                                                           \
    X(run) X(DEVNULL) X(PIPE) X(CalledProcessError) X(check) X(text)       \
    X(capture_output) X(timeout) X(returncode)                                                 \
    /* downloads, archives, files */                                                           \
    X(request) X(urlretrieve) X(ZipFile) X(namelist) X(read) X(write) X(endswith) X(extractall) \
    X(encoding) X(replace) X(rmtree) X(ignore_errors) X(move) X(sleep) X(which)               \
    X(__enter__) X(__exit__)                                                                   \
    /* the archive's digest */                                                                 \
    X(get) X(strip) X(lower) X(file_digest) X(hexdigest)                                       \
    /* registry and console title */                                                           \
    X(OpenKey) X(EnumKey) X(QueryValueEx) X(HKEY_CURRENT_USER) X(HKEY_LOCAL_MACHINE)           \
    X(windll) X(kernel32) X(SetConsoleTitleW) X(tq_velmor)

// Y(identifier, text) -- for names that C headers may define as macros (stdout on mingw-w64).
#define TQV_RENAMED(Y) Y(stdout_, "stdout") Y(stderr_, "stderr") Y(environ_, "environ")

namespace tqv::names {
#define TQV_DECLARE(id, ...) extern PyObject* id;
TQV_NAMES(TQV_DECLARE)
TQV_RENAMED(TQV_DECLARE)
#undef TQV_DECLARE
}  // namespace tqv::names

namespace tqv {
// Interns the table; a no-op after the first success.
void intern_names();
}  // namespace tqv
