// The colour theme class and how the screens read it.
#pragma once

#include "../core/globals.hpp"

namespace tqv {

// A new TQ_Theme class, as its class body defines it.
Ref make_theme_class();

// TQ_Theme.<name>, looked up through the module namespace at every read.
class Theme {
public:
    explicit Theme(const Globals& g) : g_(g) {}
    Ref operator[](PyObject* name) const;

private:
    const Globals& g_;
};

}  // namespace tqv
