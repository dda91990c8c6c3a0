#include "proto/call/reply.hpp"

#include <fmt/format.h>

#include <limits>
#include <map>
#include <unordered_map>

#include "proto/metadata/describe.hpp"
#include "wire/compress.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;
using wire::RecordId;

// ---------------------------------------------------------------- RfcTable

ProtoResult<RfcTable> RfcTable::from_rows(std::uint64_t width, std::span<const Bytes> rows) {
  RfcTable t(width);
  std::uint64_t total = 0;
  if (width != 0 && !__builtin_mul_overflow(width, std::uint64_t{rows.size()}, &total) &&
      total <= std::numeric_limits<std::size_t>::max())
    t.bytes_.reserve(static_cast<std::size_t>(total));
  for (const auto& r : rows) QUIB_CHECK(t.push_row(r));
  return t;
}

ProtoStatus RfcTable::push_row(ByteView row) {
  if (width_ == 0) {
    if (row.empty()) return wire::ok_unit;
    width_ = row.size();
  }
  if (row.size() > width_)
    return wire::err(ProtocolError::unexpected_record(
        kStepTableRows,
        fmt::format("a {}-byte row in a table of {}-byte rows", row.size(), width_)));
  bytes_.insert(bytes_.end(), row.begin(), row.end());
  bytes_.resize(bytes_.size() + static_cast<std::size_t>(width_ - row.size()), 0);
  ++count_;
  return wire::ok_unit;
}

void RfcTable::assign(std::uint64_t width, std::uint64_t count, Bytes bytes) {
  width_ = width;
  count_ = count;
  bytes_ = std::move(bytes);
}

std::size_t RfcTable::chunk_count() const {
  const std::uint64_t w = width_ == 0 ? 1 : width_;
  return static_cast<std::size_t>(bytes_.size() / w);
}

ByteView RfcTable::chunk(std::size_t i) const {
  const std::size_t w = static_cast<std::size_t>(width_ == 0 ? 1 : width_);
  return ByteView(bytes_).subspan(i * w, w);
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

// ---------------------------------------------------------------- sent tables

ProtoResult<ReplyTable> unchanged_sent_table(const wire::TableArg& sent) {
  ReplyTable t;
  t.name = sent.name;
  const std::vector<Bytes> rows = wire::fixed_width_rows(sent);
  QUIB_TRY(t.rows, RfcTable::from_rows(sent.width, rows));
  t.declared_width = sent.width;
  t.declared_count = rows.size();
  return t;
}

namespace {

// Delta operation codes.
constexpr std::uint32_t kDeltaAppend = 4;
constexpr std::uint32_t kDeltaDelete = 5;
constexpr std::uint32_t kDeltaInsert = 6;
constexpr std::uint32_t kDeltaUpdate = 7;
constexpr std::uint32_t kDeltaReplace = 10;
constexpr std::size_t kDeltaHeaderSize = 12;
// A delta row may be up to this many bytes short of its table's width.
constexpr std::uint64_t kDeltaRowSlack = 8;

ProtocolError delta_error(std::string detail) {
  return ProtocolError::unexpected_record(kStepTableDelta, std::move(detail));
}

// The working copy of one sent table that deltas change.
struct DeltaTable {
  std::string name;
  std::vector<Bytes> rows;
  std::uint64_t width = 0;
};

// Applies the delta records of a reply to copies of the tables the call
// sent, then adds every sent table to the reply: changed, or unchanged when
// no delta touched it and the server did not send it back under its name.
class DeltaApplier final : public TableDeltas {
 public:
  explicit DeltaApplier(std::span<const wire::TableArg> sent) : sent_(sent) {}

  ProtoResult<std::optional<std::string>> on_record(RecordId id, ByteView v) override {
    switch (id) {
      case RecordId::TableDeltaDelete:
        QUIB_CHECK(on_delete(v));
        break;
      case RecordId::TableDeltaRowOp:
        QUIB_CHECK(on_row_op(v));
        break;
      case RecordId::TableDeltaRow:
        QUIB_CHECK(on_row(v));
        break;
      case RecordId::TableDeltaReplace:
        return on_replace(v);
      default:
        break;
    }
    return std::optional<std::string>();
  }

  ProtoStatus add_sent_tables(std::vector<ReplyTable>& tables) override {
    if (pending_) return wire::err(delta_error("an operation with no row after it"));
    for (std::size_t i = 0; i < sent_.size(); ++i) {
      const wire::TableArg& s = sent_[i];
      auto it = map_.find(static_cast<std::uint32_t>(i + 1));
      if (it != map_.end()) {
        ReplyTable t;
        t.name = s.name;
        QUIB_TRY(t.rows, RfcTable::from_rows(it->second.width, it->second.rows));
        t.declared_width = it->second.width;
        t.declared_count = it->second.rows.size();
        tables.push_back(std::move(t));
        continue;
      }
      bool present = false;
      for (const auto& t : tables) present = present || t.name == s.name;
      if (present) continue;
      QUIB_TRY(ReplyTable t, unchanged_sent_table(s));
      tables.push_back(std::move(t));
    }
    return wire::ok_unit;
  }

 private:
  struct Header {
    std::uint32_t op, handle, row;
  };
  struct Pending {
    std::uint32_t op, handle, row;
  };

  static ProtoResult<Header> header(ByteView v) {
    if (v.size() < kDeltaHeaderSize)
      return wire::err(delta_error(fmt::format("{}-byte block header", v.size())));
    return Header{wire::load_be32(v.data()), wire::load_be32(v.data() + 4),
                  wire::load_be32(v.data() + 8)};
  }

  ProtocolError bad_handle(std::uint32_t handle) const {
    return delta_error(
        fmt::format("block for input table {}, but the call sent {}", handle, sent_.size()));
  }

  ProtoResult<DeltaTable*> find(std::uint32_t handle) {
    if (auto it = map_.find(handle); it != map_.end()) return &it->second;
    if (handle == 0 || handle > sent_.size()) return wire::err(bad_handle(handle));
    const wire::TableArg& s = sent_[handle - 1];
    DeltaTable t{s.name, wire::fixed_width_rows(s), s.width};
    return &map_.emplace(handle, std::move(t)).first->second;
  }

  ProtoStatus on_delete(ByteView v) {
    QUIB_TRY(const Header h, header(v));
    if (h.op != kDeltaDelete)
      return wire::err(
          delta_error(fmt::format("operation {} on a record that carries no row", h.op)));
    QUIB_TRY(DeltaTable * t, find(h.handle));
    if (h.row == 0 || h.row > t->rows.size())
      return wire::err(ProtocolError::delta_row_count(t->name, h.row, t->rows.size()));
    t->rows.erase(t->rows.begin() + (h.row - 1));
    return wire::ok_unit;
  }

  ProtoStatus on_row_op(ByteView v) {
    QUIB_TRY(const Header h, header(v));
    if (pending_) return wire::err(delta_error("a second operation before the first one's row"));
    if (h.op != kDeltaAppend && h.op != kDeltaInsert && h.op != kDeltaUpdate)
      return wire::err(
          delta_error(fmt::format("operation {} on a record that carries a row", h.op)));
    QUIB_CHECK(find(h.handle));
    pending_ = Pending{h.op, h.handle, h.row};
    return wire::ok_unit;
  }

  ProtoStatus on_row(ByteView v) {
    if (!pending_) return wire::err(delta_error("a row with no operation in front of it"));
    const Pending p = *pending_;
    QUIB_TRY(DeltaTable * t, find(p.handle));
    const std::uint64_t len = v.size();
    const std::uint64_t w = t->width;
    if (len > w || len + kDeltaRowSlack <= w)
      return wire::err(delta_error(
          fmt::format("a {}-byte row for {}, whose rows are {} bytes", len, t->name, w)));
    Bytes row(v.begin(), v.end());
    row.resize(static_cast<std::size_t>(w), 0);
    const std::uint64_t n = t->rows.size();
    const std::uint64_t i = p.row;
    bool in_range = false;
    switch (p.op) {
      case kDeltaAppend:
        in_range = i == n + 1;
        break;
      case kDeltaInsert:
        in_range = i >= 1 && i <= n + 1;
        break;
      default:  // update
        in_range = i >= 1 && i <= n;
        break;
    }
    if (!in_range) return wire::err(ProtocolError::delta_row_count(t->name, i, n));
    if (p.op == kDeltaUpdate)
      t->rows[i - 1] = std::move(row);
    else
      t->rows.insert(t->rows.begin() + static_cast<std::ptrdiff_t>(i - 1), std::move(row));
    pending_.reset();
    return wire::ok_unit;
  }

  ProtoResult<std::optional<std::string>> on_replace(ByteView v) {
    QUIB_TRY(const Header h, header(v));
    if (h.handle == 0 || h.handle > sent_.size()) return wire::err(bad_handle(h.handle));
    const wire::TableArg& s = sent_[h.handle - 1];
    if (h.op != kDeltaReplace)
      return wire::err(
          delta_error(fmt::format("unknown replace operation {} for {}", h.op, s.name)));
    return std::optional<std::string>(s.name);
  }

  std::span<const wire::TableArg> sent_;
  std::map<std::uint32_t, DeltaTable> map_;
  std::optional<Pending> pending_;
};

}  // namespace

std::unique_ptr<TableDeltas> make_table_deltas(std::span<const wire::TableArg> sent) {
  return std::make_unique<DeltaApplier>(sent);
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

ProtoResult<const RfcTable*> reply_table_rows(const ReplyTable& table) {
  if (!table.kept_compressed.empty())
    return wire::err(ProtocolError::compressed_table(table.name, table.kept_compressed.size()));
  if (table.shape_error)
    return wire::err(ProtocolError::table_shape(table.name, table.shape_error->size(),
                                                table.declared_width, table.declared_count));
  return &table.rows;
}

void split_table_content(ReplyTable& table, Bytes bytes) {
  const std::uint64_t w = table.declared_width;
  const std::uint64_t n = table.declared_count;
  if (n == 0) return;
  std::uint64_t total = 0;
  if (w == 0 || __builtin_mul_overflow(w, n, &total) || bytes.size() < total) {
    table.shape_error = std::move(bytes);
    return;
  }
  bytes.resize(static_cast<std::size_t>(total));
  table.rows.assign(w, n, std::move(bytes));
}

namespace {

// Content of a table that may be compressed: expanded, or kept as it came.
void settle_content(ReplyTable& table) {
  Bytes content = std::move(table.content);
  table.content.clear();
  if (wire::detect_compressed_table(content)) {
    // A table declaring no rows keeps none: nothing to expand.
    if (table.declared_count == 0) return;
    auto expanded = wire::decompress_table_chunk(ByteView(content).subspan(8));
    if (!expanded) {
      table.kept_compressed = std::move(content);
      return;
    }
    split_table_content(table, std::move(expanded).value());
    return;
  }
  split_table_content(table, std::move(content));
}

// Pushes one plain row unless the table already failed to fit its rows; a
// row wider than the table becomes the shape error and stops the table.
void push_plain_row(ReplyTable& table, ByteView row) {
  if (table.shape_error) return;
  if (!table.rows.push_row(row)) {
    table.shape_error = Bytes(row.begin(), row.end());
    return;
  }
  if (table.declared_width == 0) table.declared_width = table.rows.row_width();
}

class ReplyWalk {
 public:
  ReplyWalk(const FunctionDescription* description, std::span<const wire::TableArg> sent,
            std::size_t reply_size)
      : description_(description), deltas_(make_table_deltas(sent)), reserve_budget_(reply_size) {}

  ProtoStatus record(const wire::Record& r) {
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
          push_plain_row(*current_, r.value);
        }
        break;
      case RecordId::TableCompressed:
      case RecordId::TableCompressedChunk:
        if (current_) compressed_piece(*current_, r.value);
        break;
      case RecordId::TableDeltaDelete:
      case RecordId::TableDeltaRowOp:
      case RecordId::TableDeltaReplace:
        close_table();
        [[fallthrough]];
      case RecordId::TableDeltaRow: {
        QUIB_TRY(auto start, deltas_->on_record(r.id, r.value));
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
    QUIB_CHECK(deltas_->add_sent_tables(reply_.tables));
    for (auto& t : reply_.tables)
      if (!t.content.empty()) settle_content(t);
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
    if (!current_ || current_->declared_width != 0 || v.size() < 8) return;
    ReplyTable& t = *current_;
    t.declared_width = wire::load_be32(v.data());
    t.declared_count = wire::load_be32(v.data() + 4);
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

  void compressed_piece(ReplyTable& t, ByteView v) {
    if (t.content.empty() && !wire::detect_compressed_table(v) && t.declared_width != 0 &&
        v.size() <= t.declared_width) {
      reserve_rows();
      push_plain_row(t, v);
      return;
    }
    t.content.insert(t.content.end(), v.begin(), v.end());
  }

  ProtoStatus deep_section() {
    if (!deep_open_) {
      deep_open_ = true;
      deep_.clear();
      return wire::ok_unit;
    }
    deep_open_ = false;
    auto nodes = wire::parse_deep_xml(deep_);
    deep_.clear();
    if (!nodes) return wire::err(ProtocolError(std::move(nodes).error()));
    for (auto& n : nodes.value()) {
      reply_.deep_values.push_back(wire::deep_value_from_node(n));
      reply_.deep_nodes.push_back(std::move(n));
    }
    return wire::ok_unit;
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

  const FunctionDescription* description_;
  std::unique_ptr<TableDeltas> deltas_;
  std::uint64_t reserve_budget_;
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
                                            std::span<const wire::TableArg> sent_tables) {
  if (auto abap = abap_error_of(records)) return wire::err(std::move(*abap));
  std::size_t reply_size = 0;
  for (const auto& r : records) reply_size += r.value.size();
  ReplyWalk walk(description, sent_tables, reply_size);
  for (const auto& r : records) QUIB_CHECK(walk.record(r));
  return std::move(walk).finish();
}

// ---------------------------------------------------------------- decimals

ProtoStatus apply_bcd_decimals(RfcConnection& connection, const FunctionDescription& description,
                               CallReply& reply) {
  // The first text pair of each name, found once for all values.
  std::unordered_map<std::string_view, std::size_t> pair_of;
  bool pairs_indexed = false;
  for (auto& [name, value] : reply.values) {
    const ParameterDescription* p = description.find_parameter(name);
    if (!p || p->type != wire::AbapType::Bcd || p->type_name.empty() || !value.is_text()) continue;
    QUIB_TRY(const std::uint32_t decimals, element_description(connection, p->type_name));
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
