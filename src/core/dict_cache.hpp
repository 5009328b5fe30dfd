// Repeated reads of unchanged dicts, answered without a hash lookup.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

namespace tqv {

// Remembers dict[name] for an exact dict and an interned name, together with the dict's version
// tag (PEP 509: globally unique, changed by every modification, 3.11 keeps it). An entry answers
// only while the dict still carries that tag: then the dict is unchanged and still holds the
// value, so the answer is what a lookup would give, as for CPython's own LOAD_GLOBAL cache. Any
// rebinding (a substitute, a deletion) changes the tag and the next read looks up afresh. Values
// are borrowed from the dict; nothing here holds a reference. The GIL serialises access.
class DictCache {
public:
    // The remembered value, or nullptr when there is no valid entry.
    PyObject* find(PyObject* dict, PyObject* name) const noexcept {
        const Entry& e = slot(dict, name);
        // The address may now hold another object: its version is read only if it is a dict.
        const bool valid = e.dict == dict && e.name == name && PyDict_CheckExact(dict) && e.version == version(dict);
        return valid ? e.value : nullptr;
    }
    // Remember that dict[name] is value, as of the dict's current version.
    void remember(PyObject* dict, PyObject* name, PyObject* value) noexcept {
        if (PyDict_CheckExact(dict)) slot(dict, name) = {dict, name, version(dict), value};
    }

private:
    struct Entry {
        PyObject* dict = nullptr;
        PyObject* name = nullptr;
        std::uint64_t version = 0;
        PyObject* value = nullptr;
    };
    static std::uint64_t version(PyObject* dict) noexcept {
        return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    }
    Entry& slot(PyObject* dict, PyObject* name) const noexcept {
        const auto key = reinterpret_cast<std::uintptr_t>(name) ^ (reinterpret_cast<std::uintptr_t>(dict) >> 4);
        return entries_[(key >> 4) % entries_.size()];
    }
    mutable std::array<Entry, 64> entries_{};
};

}  // namespace tqv
