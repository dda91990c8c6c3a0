// Records of a registered server's exchange with its gateway, written out
// from the format for the tests of the wire records and of the session:
// inbound records as a gateway sends them, the records every reply
// container starts with, and the header a reply piece travels under.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tests/support/testutil.hpp"
#include "wire/appc.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/inbound_call.hpp"

namespace quib::test {

inline wire::ConversationId conv(std::string_view text) {
  wire::ConversationId id{};
  std::copy_n(text.begin(), id.size(), id.begin());
  return id;
}

// An inbound record as a gateway sends it: version 06, the request byte,
// bytes a reader ignores at 2..39, the conversation id at 40..47, the
// payload length at 56..59 (`declared`, else the payload's own), the
// last-record mark at 60..63 (four zeros: more records follow), then the
// payload.
inline wire::Bytes inbound_record(std::uint8_t request, std::string_view conversation,
                                  wire::ByteView payload, bool last = true,
                                  std::optional<std::uint32_t> declared = std::nullopt) {
  wire::Bytes r(80, 0);
  r[0] = 0x06;
  r[1] = request;
  for (std::size_t i = 2; i < 40; ++i) r[i] = static_cast<std::uint8_t>(0x5A ^ i);
  std::copy_n(conversation.begin(), 8, r.begin() + 40);
  wire::store_be32(r.data() + 56, declared.value_or(static_cast<std::uint32_t>(payload.size())));
  if (last) r[63] = 0x01;
  wire::append_bytes(r, payload);
  return r;
}

inline wire::Bytes announcement(std::string_view conversation) {
  return inbound_record(0xCF, conversation, {}, false);
}

// The container of an inbound call.
inline wire::Bytes call_container() {
  wire::ContainerWriter w;
  w.put_record(wire::RecordId::Function, wire::as_bytes("STFC_CONNECTION"));
  w.put_record(wire::RecordId::User, wire::as_bytes("TESTER"));
  w.put_record(wire::RecordId::Client, wire::as_bytes("001"));
  w.put_record(wire::kInboundSystemId, wire::as_bytes("QSI"));
  w.put_record(wire::RecordId::Program, wire::as_bytes("SAPLSIM"));
  w.put_record(wire::RecordId::RequestedOutput, wire::as_bytes("ECHOTEXT"));
  w.put_record(wire::RecordId::ParameterName, wire::as_bytes("REQUTEXT"));
  w.put_record(wire::RecordId::ParameterValue, wire::as_bytes("hello"));
  return std::move(w).finish_container().value();
}

// A container's records as (id, value) pairs, read with the container
// reader.
struct Rec {
  std::uint16_t id;
  wire::Bytes value;
  friend bool operator==(const Rec&, const Rec&) = default;
};

inline std::vector<Rec> records_of(wire::ByteView container) {
  auto reader = wire::ContainerReader::create(container);
  EXPECT_TRUE(reader.ok());
  if (!reader.ok()) return {};
  auto records = reader.value().read_all_records();
  EXPECT_TRUE(records.ok());
  std::vector<Rec> out;
  if (!records.ok()) return out;
  for (const auto& r : records.value())
    out.push_back({wire::to_u16(r.id), wire::Bytes(r.value.begin(), r.value.end())});
  return out;
}

// The header records every reply container starts with, for program ZPROG.
inline std::vector<Rec> reply_head() {
  return {{0x0101, unhex("0301010504010003")},
          {0x0103, unhex("00000E0B")},
          {0x0106, unhex("04010003000A0200000023")},
          {0x0007, U("127.0.0.1")},
          {0x0018, U("::1")},
          {0x0011, U("E")},
          {0x0012, U("753")},
          {0x0013, U("793 127.0.0.1")},
          {0x0130, U("ZPROG")}};
}

// The record that closes every reply container.
inline Rec close_record() { return {0x0667, wire::Bytes(8, 0)}; }

// The header of a reply piece: 06 08 07 00 FF FF, zeros, the conversation
// id at 40..47, the piece length at 48..51, FF FF 00 09 at 76..79 (05 at 79
// for an exception reply).
inline wire::Bytes expected_reply_header(std::string_view conversation, std::uint32_t length,
                                         bool exception) {
  wire::Bytes h(80, 0);
  const wire::Bytes lead = unhex("06080700FFFF0000");
  std::copy(lead.begin(), lead.end(), h.begin());
  std::copy_n(conversation.begin(), 8, h.begin() + 40);
  wire::store_be32(h.data() + 48, length);
  h[76] = 0xFF;
  h[77] = 0xFF;
  h[79] = exception ? 0x05 : 0x09;
  return h;
}

}  // namespace quib::test
