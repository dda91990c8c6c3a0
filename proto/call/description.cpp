#include "proto/call/description.hpp"

#include "wire/utf.hpp"

namespace quib::proto {

std::string_view ParamDirection::name() const {
  switch (kind) {
    case Import:
      return "Import";
    case Export:
      return "Export";
    case Changing:
      return "Changing";
    case Table:
      return "Table";
    case Exception:
      return "Exception";
    case Unknown:
      break;
  }
  return "Unknown";
}

std::size_t FunctionDescription::NameHash::operator()(std::string_view s) const {
  // FNV-1a over the upper-cased bytes.
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - ('a' - 'A'));
    h = (h ^ c) * 0x100000001b3ull;
  }
  return static_cast<std::size_t>(h);
}

bool FunctionDescription::NameEq::operator()(std::string_view a, std::string_view b) const {
  return wire::ascii_iequals(a, b);
}

void FunctionDescription::index_parameters() {
  index_.clear();
  index_.reserve(parameters.size());
  for (std::size_t i = 0; i < parameters.size(); ++i)
    index_.emplace(wire::ascii_upper(parameters[i].name), static_cast<std::uint32_t>(i));
  indexed_count_ = parameters.size();
  outputs_ = requested_outputs();
}

const ParameterDescription* FunctionDescription::find_parameter(std::string_view name) const {
  if (indexed_count_ != 0 && indexed_count_ == parameters.size()) {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : &parameters[it->second];
  }
  for (const auto& p : parameters)
    if (wire::ascii_iequals(p.name, name)) return &p;
  return nullptr;
}

std::vector<std::string> FunctionDescription::requested_outputs() const {
  std::vector<std::string> out;
  for (const auto& p : parameters) {
    const auto k = p.direction.kind;
    if (k == ParamDirection::Export || k == ParamDirection::Changing || k == ParamDirection::Table)
      out.push_back(p.name);
  }
  return out;
}

std::span<const std::string> FunctionDescription::requested_outputs(
    std::vector<std::string>& scratch) const {
  if (indexed_count_ != 0 && indexed_count_ == parameters.size()) return outputs_;
  scratch = requested_outputs();
  return scratch;
}

bool has_element_decimals(const ParameterDescription& parameter) {
  return parameter.type == wire::AbapType::Bcd && !parameter.type_name.empty();
}

}  // namespace quib::proto
