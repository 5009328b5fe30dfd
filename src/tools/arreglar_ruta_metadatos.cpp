// arreglar_ruta_metadatos: make the packaging script hand an absolute path to its version step.
#include "../core/except.hpp"
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/records.hpp"
#include "../core/text.hpp"
#include "../module/callables.hpp"

namespace tqv {

namespace {
constexpr const char* target = "set_version_info(final_file, version)";
constexpr const char* fix = "final_file = os.path.abspath(final_file); set_version_info(final_file, version)";
}  // namespace

Ref arreglar_ruta_metadatos(PyObject* module, PyObject* repo_dir) {
    Globals g(module);
    // bundler = os.path.join(repo_dir, "bundle", "pyinstaller.py")
    Ref bundler = g.os_path(names::join)(repo_dir, ustr("bundle"), ustr("pyinstaller.py"));
    if (!truthy(g.os_path(names::exists)(bundler))) return boolean(false);

    Ref utf8 = ustr("utf-8");
    Ref code;
    with(call(records.open, bundler, ustr("r"), kw(names::encoding, utf8)).get(),
         [&](PyObject* f) { code = attr(f, names::read)(); });

    Ref target_text = ustr(target);
    if (!check(PySequence_Contains(code.get(), target_text.get()))) return boolean(false);
    // Every occurrence; the fix keeps the call, so a second run prefixes it again.
    code = code.attr(names::replace)(target_text, ustr(fix));

    with(call(records.open, bundler, ustr("w"), kw(names::encoding, utf8)).get(),
         [&](PyObject* f) { attr(f, names::write)(code); });
    return boolean(true);
}

}  // namespace tqv
