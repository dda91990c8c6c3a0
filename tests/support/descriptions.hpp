// Function descriptions and structure layouts written out by hand, for the
// suites, fuzz targets and benchmarks that hold the call layer against a
// fixed interface. No GoogleTest here, so that the fuzz targets and the
// benchmarks can use them too.
//
// Include it as "tests/support/descriptions.hpp" and take the names with
// using-declarations.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "proto/call/structure.hpp"
#include "proto/metadata/describe.hpp"
#include "wire/types.hpp"

namespace quib::test {

// One parameter of a function description.
inline proto::ParameterDescription param(std::string name, proto::ParamDirection direction,
                                         wire::AbapType type, std::uint32_t length,
                                         std::string type_name = "") {
  proto::ParameterDescription p;
  p.name = std::move(name);
  p.direction = direction;
  p.type = type;
  p.length = length;
  p.type_name = std::move(type_name);
  return p;
}

// One field of a structure layout.
inline proto::FieldLayout field(std::string name, wire::AbapType type, std::uint64_t offset,
                                std::uint64_t width, std::uint64_t decimals = 0,
                                std::string datatype = "", std::string rollname = "") {
  proto::FieldLayout f;
  f.name = std::move(name);
  f.abap_type = type;
  f.offset = offset;
  f.width = width;
  f.decimals = decimals;
  f.datatype = std::move(datatype);
  f.rollname = std::move(rollname);
  return f;
}

// A layout as the metadata cache shares it.
inline proto::StructureLayoutPtr layout(std::string name, std::vector<proto::FieldLayout> fields,
                                        std::uint64_t size) {
  auto l = std::make_shared<proto::StructureLayout>();
  l->name = std::move(name);
  l->fields = std::move(fields);
  l->size = size;
  return l;
}

}  // namespace quib::test
