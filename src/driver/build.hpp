// The build sequence behind `main`, and its two endings after the packaging step.
#pragma once

#include "../core/globals.hpp"

namespace tqv {

// Interpreter search to the final report; every error is left to the caller.
void build(const Globals& g);

// Whether `path` names a folder, asked beneath `os`; false when it cannot be examined.
bool is_folder(PyObject* path);

// The new executable moved into the workspace, the size report and its five-second pause.
void report_result(const Globals& g, PyObject* py, PyObject* src);

// The packaging step ended without an executable: say so and wait for Enter.
void report_missing_executable(const Globals& g);

}  // namespace tqv
