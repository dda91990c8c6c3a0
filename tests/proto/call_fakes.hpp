// Test doubles for the call layer: a scripted transport that records what was
// sent and answers with prepared records, and builders for the containers a
// server sends back.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/session/open.hpp"
#include "proto/transport/transport.hpp"
#include "wire/container.hpp"
#include "wire/utf.hpp"

namespace quib::test {

using proto::ProtocolError;
using proto::ProtoResult;
using proto::ProtoStatus;
using proto::Received;
using proto::ReceiveKind;
using wire::Bytes;
using wire::ByteView;
using wire::RecordId;

// What the fake server does with each receive.
using Scripted = std::variant<Received, ProtocolError>;

class FakeTransport final : public proto::Transport {
 public:
  struct State {
    std::vector<Bytes> sent;
    std::deque<Scripted> script;
    std::optional<ProtocolError> send_error;
    int closes = 0;
    std::vector<std::optional<proto::Duration>> timeouts;
    // Runs at every receive, before the scripted answer is taken.
    std::function<void()> on_receive;
    int receives = 0;
    // The label of every receive, in order (the step names are constants).
    std::vector<std::string_view> labels;
    // The waits last given, and how many times they were given.
    std::shared_ptr<const proto::Waits> waits;
    int waits_set = 0;
  };

  explicit FakeTransport(std::shared_ptr<State> state) : state_(std::move(state)) {}

  ProtoStatus send_counted(ByteView data, std::uint64_t& counter) override {
    if (state_->send_error) return wire::err(*state_->send_error);
    state_->sent.emplace_back(data.begin(), data.end());
    counter += data.size();
    return wire::ok_unit;
  }
  ProtoStatus send(ByteView data) override {
    std::uint64_t n = 0;
    return send_counted(data, n);
  }
  ProtoResult<Received> receive(std::string_view label) override {
    ++state_->receives;
    state_->labels.push_back(label);
    if (state_->on_receive) state_->on_receive();
    if (state_->script.empty()) return wire::err(ProtocolError::closed_by_peer(label));
    Scripted next = std::move(state_->script.front());
    state_->script.pop_front();
    if (auto* e = std::get_if<ProtocolError>(&next)) return wire::err(std::move(*e));
    return std::get<Received>(std::move(next));
  }
  wire::Status<proto::IoError> set_timeout(std::optional<proto::Duration> t) override {
    state_->timeouts.push_back(t);
    return wire::ok_unit;
  }
  // Kept for the reading of a reply too, which asks them; the fake's
  // receives do not wait.
  void set_waits(std::shared_ptr<const proto::Waits> waits) override {
    state_->waits = std::move(waits);
    ++state_->waits_set;
  }
  const proto::Waits* waits() const override { return state_->waits.get(); }
  std::string conversation_id() const override { return "12345678"; }
  ProtoStatus close() override {
    ++state_->closes;
    return wire::ok_unit;
  }
  ProtoResult<std::optional<proto::CancelHandle>> cancel_handle() override {
    return std::optional<proto::CancelHandle>();
  }

 private:
  std::shared_ptr<State> state_;
};

// A connection over a fake transport, with its own cache unless one is given.
struct FakeSession {
  std::shared_ptr<FakeTransport::State> state = std::make_shared<FakeTransport::State>();
  std::shared_ptr<proto::MetadataCache> cache;
  proto::RfcConnection connection;

  explicit FakeSession(std::shared_ptr<proto::MetadataCache> shared = nullptr,
                       std::string system_id = "SIM")
      : cache(shared ? std::move(shared) : std::make_shared<proto::MetadataCache>()),
        connection(std::make_unique<FakeTransport>(state), cache, proto::SessionId{}) {
    connection.attributes().system_id = std::move(system_id);
  }

  void reply(Bytes data, ReceiveKind kind = ReceiveKind::DataRecord) {
    state->script.push_back(Received{std::move(data), kind});
  }
  void fail(ProtocolError e) { state->script.push_back(std::move(e)); }
};

// Builds a reply container record by record.
class ReplyBuilder {
 public:
  ReplyBuilder& raw(RecordId id, ByteView value) {
    w_.put_record(id, value);
    return *this;
  }
  ReplyBuilder& raw(std::uint16_t id, ByteView value) { return raw(RecordId{id}, value); }
  ReplyBuilder& text(RecordId id, std::string_view text) {
    return raw(id, wire::encode_utf16le(text));
  }
  ReplyBuilder& value(std::string_view name, ByteView bytes) {
    text(RecordId::ParameterName, name);
    return raw(RecordId::ParameterValue, bytes);
  }
  ReplyBuilder& text_value(std::string_view name, std::string_view v) {
    return value(name, wire::encode_utf16le(v));
  }
  ReplyBuilder& table_header(std::uint32_t width, std::uint32_t count) {
    Bytes h;
    wire::append_be32(h, width);
    wire::append_be32(h, count);
    return raw(RecordId::TableHeader, h);
  }
  // TableName, TableHeader and one TableContent per row.
  ReplyBuilder& table(std::string_view name, std::uint32_t width, const std::vector<Bytes>& rows) {
    text(RecordId::TableName, name);
    table_header(width, static_cast<std::uint32_t>(rows.size()));
    for (const auto& r : rows) raw(RecordId::TableContent, r);
    return *this;
  }
  Bytes build() { return std::move(w_).finish_container().value(); }

 private:
  wire::ContainerWriter w_;
};

inline Bytes utf16(std::string_view s) { return wire::encode_utf16le(s); }

// The records of a request or reply (trailer, if any, ignored).
inline std::vector<std::pair<RecordId, Bytes>> records_of(ByteView container) {
  std::vector<std::pair<RecordId, Bytes>> out;
  auto reader = wire::ContainerReader::create(container);
  if (!reader) return out;
  auto all = reader->read_all_records();
  if (!all) return out;
  for (const auto& r : all.value()) out.emplace_back(r.id, Bytes(r.value.begin(), r.value.end()));
  return out;
}

// The value of the first record with the given id.
inline std::optional<Bytes> find_record(ByteView container, RecordId id) {
  for (auto& [rid, v] : records_of(container))
    if (rid == id) return v;
  return std::nullopt;
}

// One PARAMS row of RFC_GET_FUNCTION_INTERFACE: class letter, name, type
// name, field name (blank-padded UTF-16LE texts of 30 units), type letter and
// the u32 LE length at bytes 192..195; `width` bytes in all (at least 196).
inline Bytes params_row(char16_t direction, std::string_view name, char16_t type,
                        std::uint32_t length, std::string_view type_name = "",
                        std::string_view field_name = "", std::size_t width = 216) {
  Bytes row(width, 0);
  auto put_unit = [&row](std::size_t unit, char16_t u) {
    wire::store_le16(row.data() + 2 * unit, u);
  };
  auto put_text = [&](std::size_t first, std::string_view text) {
    const std::u16string units = wire::utf8_to_utf16(text);
    for (std::size_t i = 0; i < 30; ++i) put_unit(first + i, i < units.size() ? units[i] : u' ');
  };
  put_unit(0, direction);
  put_text(1, name);
  put_text(31, type_name);
  put_text(61, field_name);
  put_unit(91, type);
  wire::store_le32(row.data() + 192, length);
  return row;
}

// A reply of RFC_GET_FUNCTION_INTERFACE with the given PARAMS rows.
inline Bytes interface_reply(const std::vector<Bytes>& rows, std::string_view basxml = "",
                             std::uint32_t width = 216) {
  ReplyBuilder b;
  b.text_value("REMOTE_BASXML_SUPPORTED", basxml);
  b.table("PARAMS", width, rows);
  return b.build();
}

}  // namespace quib::test
