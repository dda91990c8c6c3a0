// The Throughput class as the other classes reach it.
#pragma once

#include <memory>

#include "ext/module_state.hpp"
#include "proto/base/throughput.hpp"

namespace quib::ext {

// The counters of an instance of the Throughput class of the module of
// `ms`; null when `obj` is not one.
std::shared_ptr<proto::ThroughputCounters> throughput_counters(const ModuleState& ms,
                                                               PyObject* obj);

}  // namespace quib::ext
