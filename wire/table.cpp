#include "wire/table.hpp"

#include <fmt/format.h>

#include "wire/quote.hpp"

namespace quib::wire {

namespace {

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;
constexpr char16_t kSpace = u' ';

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

// Writes `text` into units [start, start + len) of `row`, cut to the slot;
// the slot's other units keep what they held.
void write_slot(std::u16string& row, std::size_t start, std::size_t len, std::string_view text) {
  const std::u16string units = utf16_cut(text, len);
  row.replace(start, units.size(), units);
}

std::u16string counter_digits(std::uint32_t counter) {
  std::u16string out;
  for (char c : fmt::format("{:08}", counter)) out.push_back(static_cast<char16_t>(c));
  return out;
}

Status<UnitPayloadError> check_queue_name(std::string_view queue_name) {
  const std::size_t units = utf16_length(queue_name);
  if (units > kUnitQueueUnits) {
    UnitPayloadError e;
    e.kind = UnitPayloadError::Kind::QueueNameTooLong;
    e.queue_name = std::string(queue_name);
    e.value = units;
    return err(std::move(e));
  }
  return ok_unit;
}

}  // namespace

std::string TableHeaderError::message() const { return fmt::format("{}-byte table header", size); }

Result<ParsedTableHeader, TableHeaderError> parse_table_header(ByteView value) {
  if (value.size() < kTableHeaderWidthSize) return err(TableHeaderError{value.size()});
  ParsedTableHeader out;
  out.header.width = load_be32(value.data());
  if (value.size() >= kTableHeaderSize) {
    out.header.count = load_be32(value.data() + kTableHeaderWidthSize);
    out.complete = true;
  }
  return out;
}

std::array<std::uint8_t, kTableHeaderSize> table_header(const TableHeader& header) {
  std::array<std::uint8_t, kTableHeaderSize> out{};
  store_be32(out.data(), header.width);
  store_be32(out.data() + kTableHeaderWidthSize, header.count);
  return out;
}

std::u16string utf16_cut(std::string_view text, std::size_t max_units) {
  std::u16string units = utf8_to_utf16(text);
  if (units.size() > max_units) {
    std::size_t cut = max_units;
    // Cutting between the two halves of a pair would leave a lone surrogate.
    if (cut > 0 && is_high_surrogate(units[cut - 1])) --cut;
    units.resize(cut);
  }
  return units;
}

std::string TableSizeError::message() const {
  return fmt::format("table {} of {} does not fit the wire header's u32", what, value);
}

std::string CallContainerError::message() const {
  return std::visit([](const auto& e) { return e.message(); }, error);
}

std::string UnitPayloadError::message() const {
  switch (kind) {
    case Kind::QueueNameTooLong:
      return fmt::format("queue name {} has {} characters, more than the {} a queued unit allows",
                         debug_quote(queue_name), value, kUnitQueueUnits);
    case Kind::CounterTooLarge:
      return fmt::format("call counter {} has more than the {} digits a queued unit allows", value,
                         kUnitCounterDigits);
  }
  return {};
}

Bytes fixed_width_row(const TableArg& table, std::size_t row) {
  if (!table.is_text()) {
    const Bytes& src = std::get<TableArg::ByteRows>(table.rows)[row];
    Bytes out(src.begin(), src.begin() + static_cast<std::ptrdiff_t>(
                                             std::min<std::uint64_t>(src.size(), table.width)));
    out.resize(table.width, 0);
    return out;
  }
  const std::size_t units = table.width / 2;
  std::u16string text = utf16_cut(std::get<TableArg::TextRows>(table.rows)[row], units);
  text.resize(units, kSpace);
  return utf16_units_to_bytes(text);
}

std::vector<Bytes> fixed_width_rows(const TableArg& table) {
  std::vector<Bytes> out;
  out.reserve(table.row_count());
  for (std::size_t i = 0; i < table.row_count(); ++i) out.push_back(fixed_width_row(table, i));
  return out;
}

Status<TableSizeError> write_table_records(ContainerWriter& writer,
                                           std::span<const TableArg> tables) {
  std::uint32_t number = 0;
  for (const TableArg& t : tables) {
    ++number;
    if (t.width > kU32Max) return err(TableSizeError{std::string(kSizeWhatRowWidth), t.width});
    const std::uint64_t count = t.row_count();
    if (count > kU32Max) return err(TableSizeError{std::string(kSizeWhatRowCount), count});
    writer.put_record(RecordId::TableName, encode_utf16le(t.name));
    std::uint8_t n[4];
    store_be32(n, number);
    writer.put_record(RecordId::TableRowCount, ByteView(n, 4));
    const auto header = table_header(
        TableHeader{static_cast<std::uint32_t>(t.width), static_cast<std::uint32_t>(count)});
    writer.put_record(RecordId::TableHeader, header);
    // One row image at a time: a table is never held twice in memory.
    for (std::size_t i = 0; i < count; ++i)
      writer.put_record(RecordId::TableContent, fixed_width_row(t, i));
  }
  return ok_unit;
}

Result<Bytes, CallContainerError> encode_call_container(std::string_view function_name,
                                                        std::string_view kernel,
                                                        std::span<const CallParameter> parameters,
                                                        std::span<const TableArg> tables) {
  ContainerWriter writer;
  writer.put_record(kUnitCallFirstRecord, {});
  writer.put_record(RecordId::Kernel, encode_utf16le(kernel));
  writer.put_record(RecordId::Function, encode_utf16le(function_name));
  for (const auto& [name, value] : parameters) {
    writer.put_record(RecordId::ParameterName, encode_utf16le(name));
    writer.put_record(RecordId::ParameterValue, value);
  }
  if (auto st = write_table_records(writer, tables); !st)
    return err(CallContainerError{std::move(st).error()});
  auto bytes = std::move(writer).finish_container();
  if (!bytes) return err(CallContainerError{std::move(bytes).error()});
  return std::move(bytes).value();
}

Result<Bytes, UnitPayloadError> serialize_unit_call(std::string_view tid,
                                                    std::string_view queue_name, ByteView container,
                                                    std::uint32_t counter) {
  QUIB_CHECK(check_queue_name(queue_name));
  if (counter > kMaxUnitCounter) {
    UnitPayloadError e;
    e.kind = UnitPayloadError::Kind::CounterTooLarge;
    e.value = counter;
    return err(std::move(e));
  }
  std::u16string head(kUnitTidUnits + kUnitQueueUnits + kUnitCounterDigits, kSpace);
  write_slot(head, 0, kUnitTidUnits, tid);
  write_slot(head, kUnitTidUnits, kUnitQueueUnits, queue_name);
  head.replace(kUnitTidUnits + kUnitQueueUnits, kUnitCounterDigits, counter_digits(counter));
  Bytes out = utf16_units_to_bytes(head);
  out.reserve(kUnitDataHeaderSize + container.size());
  std::uint8_t n[4];
  store_be32(n, counter);
  out.insert(out.end(), n, n + 4);
  out.insert(out.end(), container.begin(), container.end());
  return out;
}

Result<Bytes, UnitPayloadError> build_unit_state_row(
    std::string_view tid, std::string_view queue_name, std::string_view function_name,
    std::string_view host_name, std::string_view program_name, std::uint32_t counter) {
  QUIB_CHECK(check_queue_name(queue_name));
  // Slots as (first unit, length in units).
  constexpr std::size_t kTid = 0, kQueue = 24, kCounter = 56, kCounterUnits = 16, kFunction = 72,
                        kFunctionUnits = 30, kZeros = 103, kZeroUnits = 14, kHost = 153,
                        kHostUnits = 58, kProgram = 211, kProgramUnits = 255, kNul = 466,
                        kNulUnits = 20;
  std::u16string row(kUnitStateRowUnits, kSpace);
  write_slot(row, kTid, kUnitTidUnits, tid);
  write_slot(row, kQueue, kUnitQueueUnits, queue_name);
  const std::u16string digits = counter_digits(counter);  // at most 10 units
  row.replace(kCounter, std::min(digits.size(), kCounterUnits), digits);
  write_slot(row, kFunction, kFunctionUnits, function_name);
  row.replace(kZeros, kZeroUnits, std::u16string(kZeroUnits, u'0'));
  write_slot(row, kHost, kHostUnits, host_name);
  write_slot(row, kProgram, kProgramUnits, program_name);
  row.replace(kNul, kNulUnits, std::u16string(kNulUnits, u'\0'));
  return utf16_units_to_bytes(row);
}

}  // namespace quib::wire
