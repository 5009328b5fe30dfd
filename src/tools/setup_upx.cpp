// setup_upx: make sure "upx.exe" lies in the workspace, downloading the release when needed.
#include "../core/except.hpp"
#include "../core/globals.hpp"
#include "../core/names.hpp"
#include "../core/records.hpp"
#include "../core/text.hpp"
#include "../host/constants.hpp"
#include "../module/callables.hpp"

namespace tqv {

namespace {

// try: os.remove(name)
// except BaseException: pass
void remove_quietly(const Globals& g, const char* name) {
    try {
        as_python_error([&] { g[names::os].attr(names::remove)(ustr(name)); });
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

// The digest the archive must have: TQ_VELMOR_UPX_SHA256 when set and not blank, else the official one.
Ref expected_digest(const Globals& g) {
    // wanted = os.environ.get("TQ_VELMOR_UPX_SHA256")
    Ref wanted = g[names::os].attr(names::environ_).attr(names::get)(text(host::upx_digest_variable));
    if (wanted.get() != Py_None) {
        Ref named = wanted.attr(names::strip)();
        if (truthy(named)) return named.attr(names::lower)();
    }
    return text(host::upx_archive_sha256);
}

// Whether "upx.zip" is the archive expected: its "upx.exe" is a program the build will run.
bool archive_is_genuine(const Globals& g) {
    Ref expected = expected_digest(g);
    // Imported here, not at start-up, so that the module's namespace holds no name for it.
    Ref hashlib = check(PyImport_ImportModule("hashlib"));
    Ref actual;
    // with open("upx.zip", "rb") as f: actual = hashlib.file_digest(f, "sha256").hexdigest()
    Ref archive_file = call(records.open, text("upx.zip"), text("rb"));
    with(archive_file.get(), [&](PyObject* f) {
        actual = hashlib.attr(names::file_digest)(f, text("sha256")).attr(names::hexdigest)();
    });
    return equals(actual.get(), expected.get());
}

// Extract the first member whose name ends in "upx.exe" as "upx.exe"; false when there is none.
bool extract_upx(const Globals& g) {
    bool extracted = false;
    Ref archive = g[names::zipfile].attr(names::ZipFile)(ustr("upx.zip"), ustr("r"));
    with(archive.get(), [&](PyObject* z) {
        Ref members = check(PyObject_GetIter(attr(z, names::namelist)().get()));
        Ref suffix = ustr("upx.exe");
        while (Ref f = Ref::steal(PyIter_Next(members.get()))) {
            if (!truthy(f.attr(names::endswith)(suffix))) continue;
            bool created = false;
            try {
                // with open("upx.exe", "wb") as dest: dest.write(z.read(f))
                Ref dest_file = call(records.open, ustr("upx.exe"), ustr("wb"));
                created = true;
                with(dest_file.get(), [&](PyObject* dest) {
                    Ref write = attr(dest, names::write);
                    write(attr(z, names::read)(f));
                });
            } catch (const PyError&) {
                // Never leave an empty or partial "upx.exe": a later run would accept it as present.
                if (created) {
                    Caught e = Caught::take();
                    remove_quietly(g, "upx.exe");
                    e.reraise();
                }
                throw;
            }
            extracted = true;
            break;
        }
        if (PyErr_Occurred()) throw PyError{};
    });
    return extracted;
}

}  // namespace

Ref setup_upx(PyObject* module) {
    Globals g(module);
    if (truthy(g.os_path(names::exists)(ustr("upx.exe")))) return boolean(true);
    bool ready = false;
    try {
        // Every failure, an interrupt included, only means "no UPX".
        as_python_error([&] {
            g[names::urllib].attr(names::request).attr(names::urlretrieve)(ustr(host::upx_archive_url), ustr("upx.zip"));
            // Nothing is extracted from an archive other than the one expected: "upx.zip" stays, as
            // after a failed extraction, and the build goes on without UPX.
            if (!archive_is_genuine(g)) return;
            ready = extract_upx(g);
            remove_quietly(g, "upx.zip");
        });
    } catch (const PyError&) {
        PyErr_Clear();
        return boolean(false);
    }
    return boolean(ready);
}

}  // namespace tqv
