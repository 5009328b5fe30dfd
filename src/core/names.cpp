// The interned name table.
#include "names.hpp"

#include "error.hpp"

namespace tqv::names {
#define TQV_DEFINE(id, ...) PyObject* id = nullptr;
TQV_NAMES(TQV_DEFINE)
TQV_RENAMED(TQV_DEFINE)
#undef TQV_DEFINE
}  // namespace tqv::names

namespace tqv {

namespace {
struct Entry {
    PyObject** slot;
    const char* text;
};
#define TQV_ENTRY(id) {&names::id, #id},
#define TQV_RENAMED_ENTRY(id, text) {&names::id, text},
const Entry table[] = {TQV_NAMES(TQV_ENTRY) TQV_RENAMED(TQV_RENAMED_ENTRY)};
#undef TQV_RENAMED_ENTRY
#undef TQV_ENTRY
}  // namespace

void intern_names() {
    for (const Entry& e : table) {
        if (*e.slot) continue;
        *e.slot = PyUnicode_InternFromString(e.text);
        if (!*e.slot) throw PyError{};
    }
}

}  // namespace tqv
