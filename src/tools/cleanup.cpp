// cleanup: remove the build's leftovers from the workspace; removal problems are ignored.
#include "../core/except.hpp"
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/text.hpp"
#include "../module/callables.hpp"

namespace tqv {

namespace {

constexpr const char* folders[] = {"build", "dist", "yt-dlp-master", "devscripts", "yt_dlp", "bundle"};
constexpr const char* files[] = {"source.zip", "upx.zip", "upx.exe", "yt-dlp.spec"};

// if os.path.exists(name):
//     try: remove(name)
//     except BaseException: pass
template <class Remove>
void remove_if_present(const Globals& g, const char* name, Remove remove) {
    Ref path = text(name);
    if (!truthy(g.os_path(names::exists)(path))) return;
    try {
        as_python_error([&] { remove(path); });
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

}  // namespace

Ref cleanup(PyObject* module) {
    Globals g(module);
    for (const char* c : folders)
        remove_if_present(g, c, [&](const Ref& path) {
            g[names::shutil].attr(names::rmtree)(path, kw(names::ignore_errors, Py_True));
        });
    for (const char* f : files)
        remove_if_present(g, f, [&](const Ref& path) { g[names::os].attr(names::remove)(path); });
    return none();
}

}  // namespace tqv
