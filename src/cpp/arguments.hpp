// The one argument binder shared by every function of the module.
#pragma once

#include "names.hpp"

namespace quist {

// Binds a vectorcall (args, nargsf, kwnames) to the parameters of `f`,
// writing one borrowed pointer per parameter into `out`; parameters left
// out take their values from `defaults` (a tuple for the trailing
// parameters, or nullptr).  Raises the TypeError of the failing rule.
void bind_arguments(Func f, PyObject* defaults, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames, PyObject** out);

}  // namespace quist
