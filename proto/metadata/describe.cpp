#include "proto/metadata/describe.hpp"

#include <fmt/format.h>

#include "proto/call/reply.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/metadata/dictionary.hpp"
#include "proto/session/connection.hpp"
#include "proto/session/metadata_cache.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

using wire::AbapType;
using wire::ByteView;

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

namespace {

bool is_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDFFF; }

char16_t unit_at(ByteView row, std::size_t unit) {
  return static_cast<char16_t>(wire::load_le16(row.data() + 2 * unit));
}

// Code units [first, first + count) of a row as UTF-8 without trailing white
// space; every unpaired surrogate becomes U+FFFD.
std::string row_text(ByteView row, std::size_t first, std::size_t count) {
  std::u16string units(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) units[i] = unit_at(row, first + i);
  std::string text = wire::utf16_to_utf8(units);
  text.resize(wire::trim_end_unicode(text).size());
  return text;
}

// PARAMS row layout, in code units.
constexpr std::size_t kClassUnit = 0;
constexpr std::size_t kNameUnit = 1;
constexpr std::size_t kTypeNameUnit = 31;
constexpr std::size_t kFieldNameUnit = 61;
constexpr std::size_t kTextUnits = 30;
constexpr std::size_t kTypeLetterUnit = 91;
constexpr std::size_t kLengthOffset = 192;

}  // namespace

ParamDirection direction_from_unit(char16_t unit) {
  switch (unit) {
    case u'I':
      return ParamDirection::Import;
    case u'E':
      return ParamDirection::Export;
    case u'C':
      return ParamDirection::Changing;
    case u'T':
      return ParamDirection::Table;
    case u'X':
      return ParamDirection::Exception;
    default:
      return ParamDirection::unknown(is_surrogate(unit) ? char32_t{0xFFFD} : char32_t{unit});
  }
}

AbapType abap_type_from_unit(char16_t unit) {
  switch (unit) {
    case u'C':
      return AbapType::Char;
    case u'N':
      return AbapType::Numc;
    case u'D':
      return AbapType::Date;
    case u'T':
      return AbapType::Time;
    case u'P':
      return AbapType::Bcd;
    case u'F':
      return AbapType::Float;
    case u'b':
      return AbapType::Int1;
    case u's':
      return AbapType::Int2;
    case u'I':
      return AbapType::Int4;
    case u'8':
      return AbapType::Int8;
    case u'X':
      return AbapType::Byte;
    case u'g':
      return AbapType::String;
    case u'y':
      return AbapType::XString;
    case u'a':
      return AbapType::DecFloat16;
    case u'e':
      return AbapType::DecFloat34;
    case u'p':
      return AbapType::Utclong;
    case u'u':
      return AbapType::Structure;
    case u'v':
      return AbapType::DeepStructure;
    case u'h':
      return AbapType::Table;
    default:
      return AbapType::unknown(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
}

std::optional<ParameterDescription> decode_params_row(ByteView row) {
  if (row.size() < kParamsRowMinBytes) return std::nullopt;
  ParameterDescription p;
  p.direction = direction_from_unit(unit_at(row, kClassUnit));
  p.name = row_text(row, kNameUnit, kTextUnits);
  p.type_name = row_text(row, kTypeNameUnit, kTextUnits);
  p.field_name = row_text(row, kFieldNameUnit, kTextUnits);
  p.type = abap_type_from_unit(unit_at(row, kTypeLetterUnit));
  p.length = wire::load_le32(row.data() + kLengthOffset);
  return p;
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

ProtoResult<FunctionDescription> describe(std::string_view name, const CallReply& reply) {
  FunctionDescription d;
  d.name = std::string(name);
  if (const ReplyTable* params = reply.table(kParamsTable)) {
    QUIB_TRY(const RfcTable* rows, reply_table_rows(*params));
    const std::uint64_t width = rows->row_width() == 0 ? 1 : rows->row_width();
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(rows->chunk_count(), rows->row_count()));
    d.parameters.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      auto p = decode_params_row(rows->chunk(i));
      if (!p)
        return wire::err(ProtocolError::unexpected_record(
            kStepDescribe, fmt::format("PARAMS row {} of {} is too short to decode ({} bytes)", i,
                                       rows->row_count(), width)));
      d.parameters.push_back(std::move(*p));
    }
  }
  for (const auto& [pair_name, text] : reply.text_pairs) {
    if (wire::ascii_iequals(pair_name, kBasxmlSupportedExport)) {
      d.basxml_supported = wire::trim_unicode(text) == "X";
      break;
    }
  }
  d.index_parameters();
  return d;
}

ProtoResult<FunctionDescriptionPtr> function_description(RfcConnection& connection,
                                                         std::string_view name) {
  const std::string key = wire::ascii_upper(name);
  MetadataCache& cache = *connection.cache();
  const std::string system = connection.metadata_scope();
  if (auto hit = cache.get_function_description(system, key)) return hit;

  std::string funcname = key;
  const std::size_t chars = wire::utf16_length(funcname);
  if (chars < kFuncnameWidth) funcname.append(kFuncnameWidth - chars, ' ');
  const TextImport imports[] = {{std::string(kFuncnameImport), std::move(funcname)}};
  static const std::string kOutputs[] = {std::string(kBasxmlSupportedExport), "REMOTE_CALL",
                                         "UPDATE_TASK", std::string(kParamsTable),
                                         "RESUMABLE_EXCEPTIONS"};
  QUIB_TRY(CallReply reply,
           call_with_text_imports(connection, kGetFunctionInterface, imports, kOutputs));
  QUIB_TRY(FunctionDescription d, describe(key, reply));
  auto shared = std::make_shared<const FunctionDescription>(std::move(d));
  cache.put_function_description(system, key, shared);
  return FunctionDescriptionPtr(std::move(shared));
}

ProtoResult<std::uint32_t> element_description(RfcConnection& connection, std::string_view name) {
  const std::string key = wire::ascii_upper(name);
  MetadataCache& cache = *connection.cache();
  const std::string system = connection.metadata_scope();
  if (auto hit = cache.get_element_decimals(system, key)) return *hit;

  const TextImport imports[] = {{std::string(kFieldInfoTabname), key},
                                {std::string(kFieldInfoAllTypes), "X"}};
  auto reply = invoke_text(connection, kFieldInfoFunction, imports);
  std::uint32_t decimals = 0;
  if (!reply) {
    if (!reply.error().is(ProtocolError::AbapException)) return wire::err(std::move(reply).error());
  } else if (const wire::RfcValue* wa = reply->value(kDfiesWa)) {
    if (wa->is_bytes()) decimals = dfies_decimals(wa->as_bytes());
    if (wa->is_undecoded()) decimals = dfies_decimals(wa->as_undecoded().bytes);
  }
  cache.put_element_decimals(system, key, decimals);
  return decimals;
}

}  // namespace quib::proto
