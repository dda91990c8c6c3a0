// Dictionary rows: arbitrary bytes cut into DFIES rows (the row width taken
// from the first two bytes), and the rest read as LINES_DESCR deep XML, then
// turned into layouts. Whatever the rows claim, building the layout must not
// crash or allocate by their widths, the fields kept must be a subset of the
// rows in increasing dictionary offset, and the recomputed offsets must be
// aligned, in order and inside the size (all saturating at 2^64 - 1). The
// row-text helpers (numbers, delimited rows, DD40L lines) are checked on the
// same bytes.
#include <cstdlib>
#include <string>

#include "proto/invoke/lookups.hpp"
#include "wire/utf.hpp"

using namespace quib;

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

void check_layout(std::vector<proto::DictionaryField> fields) {
  const std::size_t rows = fields.size();
  for (const auto& f : fields)
    if (f.field.name.empty() || f.field.name.front() == '.') std::abort();  // skipped rows stay out
  std::vector<proto::FieldLayout> kept = proto::normalise_fields(std::move(fields));
  if (kept.size() > rows) std::abort();
  for (std::size_t i = 1; i < kept.size(); ++i)
    if (kept[i].offset <= kept[i - 1].offset) std::abort();  // dictionary offsets increase

  const std::uint64_t size = proto::compute_layout(kept);
  std::uint64_t running = 0, largest = 1;
  for (const auto& f : kept) {
    const std::uint64_t a = proto::field_alignment(f);
    if (a == 0 || (a & (a - 1)) != 0) std::abort();
    largest = std::max(largest, a);
    if (f.offset < running) std::abort();
    if (f.offset != kMax && f.offset % a != 0) std::abort();
    std::uint64_t end = 0;
    running = __builtin_add_overflow(f.offset, f.width, &end) ? kMax : end;
  }
  if (size < running) std::abort();
  if (size != kMax && size % largest != 0) std::abort();
}

// The reference reading of a dictionary number.
std::uint64_t reference_number(std::string_view t) {
  t = wire::trim_unicode(t);
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  if (t.empty()) return 0;
  unsigned __int128 v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > kMax) return 0;
  }
  return static_cast<std::uint64_t>(v);
}

void check_texts(std::string_view text) {
  if (proto::dictionary_number(text) != reference_number(text)) std::abort();
  for (char32_t delimiter : {U'|', U'\u00A7', U'\uFFFD'}) {
    const proto::DelimitedRow row = proto::split_delimited_row(std::string(text), delimiter);
    if (row.ends.empty() || row.ends.back() != row.text.size()) std::abort();
    std::string d;
    wire::append_utf8(d, delimiter);
    for (std::size_t k = 0; k < row.field_count(); ++k) {
      if (k > 0 && row.ends[k] < row.ends[k - 1]) std::abort();
      // Only valid UTF-8 decodes character by character into the same
      // delimiter bytes; invalid bytes may hide nothing.
      if (wire::is_valid_utf8(row.text) && row.field(k, delimiter).find(d) != std::string::npos)
        std::abort();
    }
    // A DD40L line names a row type or a data type, never an empty one.
    if (auto line = proto::table_type_line_of(row)) {
      if (const auto* n = std::get_if<proto::TableTypeLine::Named>(&line->line))
        if (n->rowtype.empty()) std::abort();
      if (const auto* e = std::get_if<proto::TableTypeLine::Elementary>(&line->line))
        if (e->datatype.empty()) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Rows of 380 to 635 bytes: at the minimum of 190 code units and beyond.
  const std::size_t width = 380 + data[0];
  const std::size_t row_count = data[1] % 8;
  const wire::ByteView rest(data + 2, size - 2);

  std::vector<proto::DictionaryField> fields;
  std::size_t used = 0;
  for (std::size_t r = 0; r < row_count && used < rest.size(); ++r) {
    const wire::ByteView row = rest.subspan(used, std::min(width, rest.size() - used));
    used += row.size();
    auto unnamed = proto::parse_dfies_row(row, false);
    auto named = proto::parse_dfies_row(row, true);
    if (named && (!unnamed || !(*named == *unnamed))) std::abort();
    if (row.size() < 2 * proto::kDfiesMinUnits && unnamed) std::abort();
    if (named) fields.push_back(std::move(*named));
    (void)proto::dfies_decimals(row);
  }
  check_layout(fields);

  const std::string text(reinterpret_cast<const char*>(rest.data()) + used, rest.size() - used);
  auto nodes = wire::parse_deep_xml(text);
  if (nodes) check_layout(proto::fields_from_lines_descr(*nodes));
  check_texts(text.substr(0, 256));
  return 0;
}
