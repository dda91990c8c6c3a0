#include "proto/metadata/describe.hpp"

#include <fmt/format.h>

#include "proto/call/exchange.hpp"
#include "proto/call/reply.hpp"
#include "proto/session/connection.hpp"
#include "proto/session/metadata_cache.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

using wire::AbapType;
using wire::ByteView;

namespace {

// Code units [first, first + count) of a row as UTF-8 without trailing white
// space; every unpaired surrogate becomes U+FFFD.
std::string row_text(ByteView row, std::size_t first, std::size_t count) {
  std::u16string units(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) units[i] = row_unit(row, first + i);
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

char16_t row_unit(ByteView row, std::size_t unit) {
  return static_cast<char16_t>(wire::load_le16(row.data() + 2 * unit));
}

char32_t unit_char(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF ? char32_t{0xFFFD} : char32_t{unit};
}

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
      return ParamDirection::unknown(unit_char(unit));
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
  p.direction = direction_from_unit(row_unit(row, kClassUnit));
  p.name = row_text(row, kNameUnit, kTextUnits);
  p.type_name = row_text(row, kTypeNameUnit, kTextUnits);
  p.field_name = row_text(row, kFieldNameUnit, kTextUnits);
  p.type = abap_type_from_unit(row_unit(row, kTypeLetterUnit));
  p.length = wire::load_le32(row.data() + kLengthOffset);
  return p;
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
  if (auto hit = cache.get_function_description(connection.metadata_scope(), key)) return hit;
  // A copy: the call below runs on the connection whose scope this is.
  const std::string system = connection.metadata_scope();

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

}  // namespace quib::proto
