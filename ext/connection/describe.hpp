// The dicts that describe a remote function and the session of a
// connection: what function_description() and connection_attributes()
// return.
#pragma once

#include <string_view>

#include "ext/py.hpp"
#include "proto/base/params.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/session/open.hpp"

namespace quib::ext {

// {"name": ..., "parameters": [{"name", "parameter_type", "direction",
// "nuc_length", "type_description"}, ...]}; null with the Python error set.
PyObject* description_to_py(const proto::FunctionDescription& d);

// The system and session identity of a logged-on session opened with
// `params`; null with the Python error set.
PyObject* attributes_to_py(const proto::ConnectionAttributes& a, std::string_view session_id,
                           const proto::ConnectionParams& params);

}  // namespace quib::ext
