// Module-level names read at the moment of use, as module code reads its globals.
#pragma once

#include "ref.hpp"

namespace tqv {

class Globals {
public:
    explicit Globals(PyObject* module);

    // The module dict, then the builtins, else NameError "name 'x' is not defined".
    Ref operator[](PyObject* name) const;
    // os.path.<function>, os looked up now
    Ref os_path(PyObject* function) const;
    // name = value in the module namespace
    void bind(PyObject* name, PyObject* value) const;
    PyObject* dict() const noexcept { return dict_; }

private:
    PyObject* dict_;  // borrowed: lives as long as the module
};

}  // namespace tqv
