#include "proto/call/reply.hpp"

#include <fmt/format.h>

#include <limits>
#include <unordered_map>

#include "proto/call/deltas.hpp"
#include "wire/compress.hpp"
#include "wire/saturating.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;
using wire::RecordId;

// ---------------------------------------------------------------- budget

std::uint64_t reply_budget_bytes(std::uint64_t received) {
  return wire::saturating_add(wire::saturating_mul(received, kReplyExpansionRatio),
                              kReplyExpansionAllowance);
}

std::string reply_budget_text(const wire::ExpansionBudget& budget) {
  return fmt::format(
      "the reply would make more than the {} bytes its size allows ({} per byte received and {} "
      "beside)",
      budget.total(), kReplyExpansionRatio, kReplyExpansionAllowance);
}

ProtocolError decoding_stopped() {
  return ProtocolError(
      IoError::custom(IoError::Interrupted, "interrupted: the reply's decoding was stopped"));
}

// ---------------------------------------------------------------- CallReply

const wire::RfcValue* CallReply::value(std::string_view name) const {
  for (const auto& [n, v] : values)
    if (n == name) return &v;
  return nullptr;
}

const ReplyTable* CallReply::table(std::string_view name) const {
  for (const auto& t : tables)
    if (t.name == name) return &t;
  return nullptr;
}

// ---------------------------------------------------------------- texts

std::string field_text(ByteView value) {
  std::string text = wire::decode_text_field(value);
  text.resize(wire::trim_end_unicode(text).size());
  return text;
}

std::string value_text(const wire::RfcValue& value) {
  using K = wire::RfcValue::Kind;
  switch (value.kind()) {
    case K::Text:
      return std::string(wire::trim_end_unicode(value.as_text()));
    case K::Int:
      return std::to_string(value.as_int());
    case K::Float:
      return wire::float_shortest_text(value.as_float());
    case K::Bytes: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string s;
      s.reserve(value.as_bytes().size() * 2);
      for (std::uint8_t b : value.as_bytes()) {
        s += kHex[b >> 4];
        s += kHex[b & 0xF];
      }
      return s;
    }
    case K::Undecoded: {
      const auto& u = value.as_undecoded();
      return fmt::format("<undecoded {}, {} bytes>", u.ty.display(), u.bytes.size());
    }
  }
  return {};
}

// ---------------------------------------------------------------- ABAP errors

std::optional<ProtocolError> abap_error_of(std::span<const wire::Record> records) {
  const wire::Record* key = nullptr;
  const wire::Record* message = nullptr;
  // Message class, type, number, V1..V4, in the order of AbapExceptionInfo.
  const wire::Record* attr[7] = {};
  for (const auto& r : records) {
    switch (r.id) {
      case RecordId::AbapExceptionKey:
        if (!key) key = &r;
        break;
      case RecordId::AbapErrorMessage:
      case RecordId::AbapT100Text:
        if (!message) message = &r;
        break;
      case RecordId::AbapMessageV1:
        if (!message) message = &r;
        if (!attr[3]) attr[3] = &r;
        break;
      case RecordId::AbapMessageV2:
        if (!attr[4]) attr[4] = &r;
        break;
      case RecordId::AbapMessageV3:
        if (!attr[5]) attr[5] = &r;
        break;
      case RecordId::AbapMessageV4:
        if (!attr[6]) attr[6] = &r;
        break;
      case RecordId::AbapMessageClass:
        if (!attr[0]) attr[0] = &r;
        break;
      case RecordId::AbapMessageType:
        if (!attr[1]) attr[1] = &r;
        break;
      case RecordId::AbapMessageNumber:
        if (!attr[2]) attr[2] = &r;
        break;
      default:
        break;
    }
  }
  if (!key && !message) return std::nullopt;
  auto trimmed = [](const wire::Record* r) {
    if (!r) return std::string();
    return std::string(wire::trim_unicode(wire::decode_text_field(r->value)));
  };
  ProtocolError::AbapExceptionInfo info;
  info.key = key ? field_text(key->value) : std::string();
  info.message = message ? field_text(message->value) : std::string("no diagnostic text");
  info.msg_class = trimmed(attr[0]);
  info.msg_type = trimmed(attr[1]);
  info.msg_number = trimmed(attr[2]);
  info.msg_v1 = trimmed(attr[3]);
  info.msg_v2 = trimmed(attr[4]);
  info.msg_v3 = trimmed(attr[5]);
  info.msg_v4 = trimmed(attr[6]);
  return ProtocolError::abap_exception(std::move(info));
}

// ---------------------------------------------------------------- tables

namespace {

// Content that can be left compressed: its rows have a width and fit
// the address space, and no row so far failed the table.
bool can_leave_compressed(const ReplyTable& table) {
  std::uint64_t total = 0;
  return table.declared_width != 0 && !table.shape_error &&
         !__builtin_mul_overflow(table.declared_width, table.declared_count, &total) &&
         total <= std::numeric_limits<std::size_t>::max();
}

// Content of a table that may be compressed: expanded within the reply's
// budget, left compressed for the reader (`mode`), or kept as it came.
// Fails only when the budget's owner says stop.
ProtoStatus settle_content(ReplyTable& table, wire::ExpansionBudget& budget, TableContent mode) {
  Bytes content = std::move(table.content);
  table.content.clear();
  if (wire::detect_compressed_table(content)) {
    // A table declaring no rows keeps none: nothing to expand.
    if (table.declared_count == 0) return wire::ok_unit;
    if (mode == TableContent::LeftCompressed && can_leave_compressed(table)) {
      table.left_compressed = std::move(content);
      return wire::ok_unit;
    }
    auto expanded = wire::decompress_table_chunk(wire::compressed_table_chunk(content), budget);
    if (!expanded) {
      if (budget.stopped()) return wire::err(decoding_stopped());
      table.kept_compressed = std::move(content);
      return wire::ok_unit;
    }
    split_table_content(table, std::move(expanded).value());
    return wire::ok_unit;
  }
  split_table_content(table, std::move(content));
  return wire::ok_unit;
}

class ReplyWalk {
 public:
  ReplyWalk(const FunctionDescription* description, std::span<const wire::TableArg> sent,
            std::size_t reply_size, wire::ExpansionBudget& budget, TableContent content)
      : description_(description),
        deltas_(sent),
        reserve_budget_(reply_size),
        budget_(budget),
        content_(content) {}

  ProtoStatus record(const wire::Record& r) {
    if (!budget_.work(kRecordWork + r.value.size())) return wire::err(decoding_stopped());
    switch (r.id) {
      case RecordId::ParameterName:
        pending_name_ = field_text(r.value);
        has_pending_ = true;
        break;
      case RecordId::ParameterValue:
        if (has_pending_) parameter_value(r.value);
        break;
      case RecordId::TableName:
        close_table();
        current_.emplace();
        current_->name = field_text(r.value);
        break;
      case RecordId::TableHeader:
        table_header(r.value);
        break;
      case RecordId::TableContent:
        if (current_) {
          reserve_rows();
          QUIB_CHECK(push_plain_row(*current_, r.value));
        }
        break;
      case RecordId::TableCompressed:
      case RecordId::TableCompressedChunk:
        if (current_) QUIB_CHECK(compressed_piece(*current_, r.value));
        break;
      case RecordId::TableDeltaDelete:
      case RecordId::TableDeltaRowOp:
      case RecordId::TableDeltaReplace:
        close_table();
        [[fallthrough]];
      case RecordId::TableDeltaRow: {
        QUIB_TRY(auto start, deltas_.on_record(r.id, r.value));
        if (start) {
          current_.emplace();
          current_->name = std::move(*start);
        }
        break;
      }
      case RecordId::TableSectionEnd:
        close_table();
        break;
      case RecordId::DeepSection:
        QUIB_CHECK(deep_section());
        break;
      case RecordId::DeepContent:
        if (deep_open_) deep_ += wire::utf8_lossy(r.value);
        break;
      default:
        break;
    }
    return wire::ok_unit;
  }

  ProtoResult<CallReply> finish() && {
    close_table();
    QUIB_CHECK(deltas_.add_sent_tables(reply_.tables));
    for (auto& t : reply_.tables)
      if (!t.content.empty()) QUIB_CHECK(settle_content(t, budget_, content_));
    reply_.budget_left = budget_.left();
    return std::move(reply_);
  }

 private:
  void parameter_value(ByteView bytes) {
    wire::AbapType ty = wire::AbapType::Char;
    if (description_)
      if (const auto* p = description_->find_parameter(pending_name_)) ty = p->type;
    auto decoded = wire::decode_field_value(bytes, ty);
    wire::RfcValue v = decoded ? std::move(decoded).value()
                               : wire::RfcValue::undecoded(ty, Bytes(bytes.begin(), bytes.end()));
    reply_.text_pairs.emplace_back(pending_name_, value_text(v));
    reply_.values.emplace_back(std::move(pending_name_), std::move(v));
    pending_name_.clear();
    has_pending_ = false;
  }

  void table_header(ByteView v) {
    if (!current_ || current_->declared_width != 0) return;
    // The row count is needed too: a header without it is ignored.
    auto header = wire::parse_table_header(v);
    if (!header || !header.value().complete) return;
    ReplyTable& t = *current_;
    t.declared_width = header.value().header.width;
    t.declared_count = header.value().header.count;
    if (t.declared_width > kMaxDeclaredRowWidth) {
      t.shape_error.emplace();
      return;
    }
    if (t.rows.row_count() == 0) {
      t.rows = RfcTable(t.declared_width);
      std::uint64_t want = 0;
      if (!__builtin_mul_overflow(t.declared_width, t.declared_count, &want))
        pending_reserve_ = want;
    }
  }

  ProtoStatus compressed_piece(ReplyTable& t, ByteView v) {
    if (t.content.empty() && !wire::detect_compressed_table(v) && t.declared_width != 0 &&
        v.size() <= t.declared_width) {
      reserve_rows();
      return push_plain_row(t, v);
    }
    t.content.insert(t.content.end(), v.begin(), v.end());
    return wire::ok_unit;
  }

  // Pushes one plain row unless the table already failed to fit its rows; a
  // row wider than the table becomes the shape error and stops the table.
  // A short row is padded to the table's width: the padding, a few bytes of
  // record that stand for up to kMaxDeclaredRowWidth, is taken from the
  // budget first.
  ProtoStatus push_plain_row(ReplyTable& table, ByteView row) {
    if (table.shape_error) return wire::ok_unit;
    if (row.size() <= table.rows.row_width() && !budget_.take(table.rows.row_width()))
      return budget_error();
    if (!table.rows.push_row(row)) {
      table.shape_error = Bytes(row.begin(), row.end());
      return wire::ok_unit;
    }
    if (table.declared_width == 0) table.declared_width = table.rows.row_width();
    return wire::ok_unit;
  }

  ProtoStatus deep_section() {
    if (!deep_open_) {
      deep_open_ = true;
      deep_.clear();
      return wire::ok_unit;
    }
    deep_open_ = false;
    auto nodes = wire::parse_deep_xml(deep_, budget_);
    deep_.clear();
    if (!nodes) {
      if (nodes.error().kind() == wire::DeepError::Kind::Stopped) return budget_error();
      return wire::err(ProtocolError(std::move(nodes).error()));
    }
    for (auto& n : nodes.value()) {
      // The flattened value copies at most what the node holds.
      if (!budget_.take(wire::deep_tree_cost(n))) return budget_error();
      reply_.deep_values.push_back(wire::deep_value_from_node(n));
      reply_.deep_nodes.push_back(std::move(n));
    }
    return wire::ok_unit;
  }

  ProtoStatus budget_error() const {
    if (budget_.stopped()) return wire::err(decoding_stopped());
    return wire::err(ProtocolError::text_message(reply_budget_text(budget_)));
  }

  // Room for the declared rows once the first row arrives (rows that come as
  // bulk content need none), but all tables together never reserve more
  // than the reply's values hold: the counts come from the peer.
  void reserve_rows() {
    if (pending_reserve_ == 0) return;
    const std::uint64_t want = std::min(pending_reserve_, reserve_budget_);
    pending_reserve_ = 0;
    reserve_budget_ -= want;
    current_->rows.reserve_bytes(static_cast<std::size_t>(want));
  }

  void close_table() {
    pending_reserve_ = 0;
    if (!current_) return;
    reply_.tables.push_back(std::move(*current_));
    current_.reset();
  }

  // Work a record counts beside its bytes.
  static constexpr std::uint64_t kRecordWork = 16;

  const FunctionDescription* description_;
  TableDeltas deltas_;
  std::uint64_t reserve_budget_;
  wire::ExpansionBudget& budget_;
  TableContent content_;
  std::uint64_t pending_reserve_ = 0;
  CallReply reply_;
  std::string pending_name_;
  bool has_pending_ = false;
  std::optional<ReplyTable> current_;
  bool deep_open_ = false;
  std::string deep_;
};

}  // namespace

ProtoResult<CallReply> decode_classic_reply(std::span<const wire::Record> records,
                                            const FunctionDescription* description,
                                            std::span<const wire::TableArg> sent_tables,
                                            wire::ExpansionBudget& budget, TableContent content) {
  if (auto abap = abap_error_of(records)) return wire::err(std::move(*abap));
  std::size_t reply_size = 0;
  for (const auto& r : records) reply_size += r.value.size();
  ReplyWalk walk(description, sent_tables, reply_size, budget, content);
  for (const auto& r : records) QUIB_CHECK(walk.record(r));
  return std::move(walk).finish();
}

ProtoResult<CallReply> decode_classic_reply(std::span<const wire::Record> records,
                                            const FunctionDescription* description,
                                            std::span<const wire::TableArg> sent_tables) {
  wire::ExpansionBudget unlimited;
  return decode_classic_reply(records, description, sent_tables, unlimited);
}

ProtoStatus read_left_compressed_rows(const ReplyTable& table, std::uint64_t& budget_left,
                                      const wire::ExpansionBudget::KeepGoing& keep_going,
                                      const RowsSink& rows) {
  const std::uint64_t width = table.declared_width;
  std::uint64_t left = table.declared_count;
  if (table.left_compressed.size() < wire::kCompressedTablePrefixSize || width == 0)
    return wire::err(ProtocolError::compressed_table(table.name, table.left_compressed.size()));
  wire::ExpansionBudget budget(budget_left, keep_going);
  bool refused = false;
  auto sink = [&](ByteView offered, std::size_t& taken) {
    // Bytes beyond the declared rows are made (the stream must still be
    // sound) but are no rows.
    const std::uint64_t n = std::min<std::uint64_t>(offered.size() / width, left);
    taken = left == 0 ? offered.size() : static_cast<std::size_t>(n * width);
    if (n == 0) return true;
    if (!rows(offered.first(taken), n)) {
      refused = true;
      return false;
    }
    left -= n;
    return true;
  };
  auto made = wire::decompress_table_chunk_to(wire::compressed_table_chunk(table.left_compressed),
                                              budget, kRowWindow, sink);
  budget_left = budget.left();
  if (refused || budget.stopped()) return wire::err(decoding_stopped());
  if (!made)
    return wire::err(ProtocolError::compressed_table(table.name, table.left_compressed.size()));
  if (left != 0)
    return wire::err(
        ProtocolError::table_shape(table.name, *made, table.declared_width, table.declared_count));
  return wire::ok_unit;
}

// ---------------------------------------------------------------- decimals

ProtoStatus apply_bcd_decimals(const FunctionDescription& description, CallReply& reply,
                               const DecimalsLookup& decimals_of) {
  // The first text pair of each name, found once for all values.
  std::unordered_map<std::string_view, std::size_t> pair_of;
  bool pairs_indexed = false;
  for (auto& [name, value] : reply.values) {
    const ParameterDescription* p = description.find_parameter(name);
    if (!p || !has_element_decimals(*p) || !value.is_text()) continue;
    QUIB_TRY(const std::uint32_t decimals, decimals_of(p->type_name));
    if (decimals == 0) continue;
    value.as_text() = wire::insert_decimal_point(value.as_text(), decimals);
    if (!pairs_indexed) {
      pair_of.reserve(reply.text_pairs.size());
      for (std::size_t i = 0; i < reply.text_pairs.size(); ++i)
        pair_of.emplace(reply.text_pairs[i].first, i);
      pairs_indexed = true;
    }
    if (auto it = pair_of.find(name); it != pair_of.end())
      reply.text_pairs[it->second].second = value.as_text();
  }
  return wire::ok_unit;
}

}  // namespace quib::proto
