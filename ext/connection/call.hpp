// Connection.call: the description of the function and the row layouts of
// its structured parameters, the conversion of the arguments, the exchange
// (proto's choice of the classic or the basXML route), the result dict, and
// the call's own error handling: one more run after a gateway failure, the
// call time-out, cancel().
//
// Python values are converted before `inner` is taken for the exchange, and
// the result is built after it is released: Python code that a conversion
// runs can never wait on the session.
#pragma once

#include <string>

#include "ext/connection/session.hpp"
#include "ext/module_state.hpp"
#include "ext/py.hpp"

namespace quib::ext {

// call(name, params, options) as one operation `op` of the connection `s`,
// with `params` and `options` dicts the caller keeps alive. The options
// over the connection's defaults give the operation its deadline. The
// result dict, or null with the Python error set.
PyObject* call_function(ModuleState& ms, State& s, Operation& op, const std::string& name,
                        PyObject* params, PyObject* options);

}  // namespace quib::ext
