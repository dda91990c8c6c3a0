// ProtocolError: the one error type of the session and call layers. It wraps
// the error of each wire format unchanged, and names the exchange in which a
// failure happened with a step label.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "proto/base/io_error.hpp"
#include "snc/frame.hpp"
#include "wire/appc.hpp"
#include "wire/container.hpp"
#include "wire/deep.hpp"
#include "wire/ni.hpp"
#include "wire/server_error.hpp"
#include "wire/table.hpp"
#include "wire/types.hpp"

namespace quib::proto {

// Step labels: constant texts naming the exchange in which an error arose.
// Errors hold them by reference, so a label passed to any operation of this
// layer must have static storage (one of these, or a string literal).
inline constexpr std::string_view kStepRoutingHandshake = "routing handshake";
inline constexpr std::string_view kStepSaprouterRoute = "saprouter route";
inline constexpr std::string_view kStepAppcInitialize = "APPC initialize";
inline constexpr std::string_view kStepAppcAllocate = "APPC allocate";
inline constexpr std::string_view kStepSncHandshake = "SNC handshake";
inline constexpr std::string_view kStepLogon = "logon";
inline constexpr std::string_view kStepWsrfcOpen = "wsrfc open";
inline constexpr std::string_view kStepWsrfcUpgrade = "wsrfc upgrade";
inline constexpr std::string_view kStepWsrfcRecv = "wsrfc recv";
inline constexpr std::string_view kStepWsrfcLogon = "wsrfc logon";
inline constexpr std::string_view kStepFunctionCall = "function call";
inline constexpr std::string_view kStepMessageServer = "message server";
inline constexpr std::string_view kStepRegistrationHandshake = "registration handshake";
inline constexpr std::string_view kStepGatewayRegistration = "gateway registration";
inline constexpr std::string_view kStepInboundCallAnnouncement = "inbound call announcement";
inline constexpr std::string_view kStepInboundRequest = "inbound request";
inline constexpr std::string_view kStepInboundRequestContinuation = "inbound request continuation";
inline constexpr std::string_view kStepServerReply = "server reply";
inline constexpr std::string_view kStepApiCreateTid = "API_CREATE_TID";
inline constexpr std::string_view kStepTransactionId = "transaction id";
inline constexpr std::string_view kStepArfcDestShip = "ARFC_DEST_SHIP";
inline constexpr std::string_view kStepDescribe = "describe";
inline constexpr std::string_view kStepTableRows = "table rows";
inline constexpr std::string_view kStepTableDelta = "table delta";
inline constexpr std::string_view kStepDescribeStructure = "describe_structure";
inline constexpr std::string_view kStepDescribeElementField = "describe_element_field";
inline constexpr std::string_view kStepStructureDecode = "structure decode";
inline constexpr std::string_view kStepStructureEncode = "structure encode";
inline constexpr std::string_view kStepReadTable = "read_table";
inline constexpr std::string_view kStepInvokeWithTables = "invoke_with_tables";
inline constexpr std::string_view kStepBasxml = "basxml";

// The step label of a step of the registered server's exchange.
std::string_view server_step_label(wire::ServerStep step);

class ProtocolError {
 public:
  // The kinds, in their fixed order (the index of the payload).
  enum Kind : std::uint8_t {
    Io,
    Ni,
    Appc,
    Container,
    Value,
    Message,
    ClosedByPeer,
    UnexpectedRecord,
    LogonRefused,
    TableTooLarge,
    RegistrationRefused,
    Snc,
    AbapException,
    CompressedTable,
    TableShape,
    DeepValue,
    NothingToCancel,
    Cancelled,
    Gateway,
    DeltaRowCount,
    EmptyReply,
    Unsupported,
    ContainerDump,
    BasxmlReply,
    OutOfMemory,
  };
  static constexpr std::size_t kKindCount = 25;

  // Payloads of the kinds that do not wrap a wire error.
  struct MessageInfo {
    std::string text;
    friend bool operator==(const MessageInfo&, const MessageInfo&) = default;
  };
  struct ClosedByPeerInfo {
    std::string_view label;
    friend bool operator==(const ClosedByPeerInfo&, const ClosedByPeerInfo&) = default;
  };
  struct UnexpectedRecordInfo {
    std::string_view label;
    std::string detail;
    friend bool operator==(const UnexpectedRecordInfo&, const UnexpectedRecordInfo&) = default;
  };
  struct LogonRefusedInfo {
    std::uint8_t status = 0xFF;
    std::string text;
    friend bool operator==(const LogonRefusedInfo&, const LogonRefusedInfo&) = default;
  };
  struct RegistrationRefusedInfo {
    std::string program_id;
    std::string text;
    friend bool operator==(const RegistrationRefusedInfo&,
                           const RegistrationRefusedInfo&) = default;
  };
  struct SncInfo {
    std::string text;
    friend bool operator==(const SncInfo&, const SncInfo&) = default;
  };
  struct AbapExceptionInfo {
    std::string key;
    std::string message;
    std::string msg_class;
    std::string msg_type;
    std::string msg_number;
    std::string msg_v1;
    std::string msg_v2;
    std::string msg_v3;
    std::string msg_v4;
    friend bool operator==(const AbapExceptionInfo&, const AbapExceptionInfo&) = default;
  };
  struct CompressedTableInfo {
    std::string table;
    std::uint64_t bytes = 0;
    friend bool operator==(const CompressedTableInfo&, const CompressedTableInfo&) = default;
  };
  struct TableShapeInfo {
    std::string table;
    std::uint64_t content_bytes = 0;
    std::uint64_t row_width = 0;
    std::uint64_t row_count = 0;
    friend bool operator==(const TableShapeInfo&, const TableShapeInfo&) = default;
  };
  struct NothingToCancelInfo {
    friend bool operator==(const NothingToCancelInfo&, const NothingToCancelInfo&) = default;
  };
  struct CancelledInfo {
    friend bool operator==(const CancelledInfo&, const CancelledInfo&) = default;
  };
  struct GatewayInfo {
    std::string message;
    std::string origin;  // may be empty
    friend bool operator==(const GatewayInfo&, const GatewayInfo&) = default;
  };
  struct DeltaRowCountInfo {
    std::string table;
    std::uint64_t declared = 0;
    std::uint64_t reconstructed = 0;
    friend bool operator==(const DeltaRowCountInfo&, const DeltaRowCountInfo&) = default;
  };
  struct EmptyReplyInfo {
    std::string_view label;
    friend bool operator==(const EmptyReplyInfo&, const EmptyReplyInfo&) = default;
  };
  struct UnsupportedInfo {
    std::string_view label;
    std::string detail;
    friend bool operator==(const UnsupportedInfo&, const UnsupportedInfo&) = default;
  };
  struct ContainerDumpInfo {
    wire::ContainerError error;
    std::string dump;
    friend bool operator==(const ContainerDumpInfo&, const ContainerDumpInfo&) = default;
  };
  // A basXML reply that does not inflate or does not parse.
  struct BasxmlReplyInfo {
    std::string detail;
    friend bool operator==(const BasxmlReplyInfo&, const BasxmlReplyInfo&) = default;
  };
  // An allocation failed while a reply was read; the conversation is intact.
  struct OutOfMemoryInfo {
    std::string_view label;
    friend bool operator==(const OutOfMemoryInfo&, const OutOfMemoryInfo&) = default;
  };

  // One alternative per kind, in kind order.
  using Payload =
      std::variant<IoError, wire::NiError, wire::AppcError, wire::ContainerError, wire::ValueError,
                   MessageInfo, ClosedByPeerInfo, UnexpectedRecordInfo, LogonRefusedInfo,
                   wire::TableSizeError, RegistrationRefusedInfo, SncInfo, AbapExceptionInfo,
                   CompressedTableInfo, TableShapeInfo, wire::DeepError, NothingToCancelInfo,
                   CancelledInfo, GatewayInfo, DeltaRowCountInfo, EmptyReplyInfo, UnsupportedInfo,
                   ContainerDumpInfo, BasxmlReplyInfo, OutOfMemoryInfo>;
  static_assert(std::variant_size_v<Payload> == kKindCount);

  template <class T, class V>
  struct is_alternative;
  template <class T, class... Ts>
  struct is_alternative<T, std::variant<Ts...>>
      : std::bool_constant<(std::is_same_v<T, Ts> || ...)> {};
  template <class T>
  static constexpr bool is_payload_v = is_alternative<T, Payload>::value;

  // The wrapped errors convert implicitly, so `err(wire_error)` returns from
  // a function whose result carries a ProtocolError.
  ProtocolError(IoError e) : payload_(std::move(e)) {}
  ProtocolError(wire::NiError e) : payload_(std::move(e)) {}
  ProtocolError(wire::AppcError e) : payload_(std::move(e)) {}
  ProtocolError(wire::ContainerError e) : payload_(std::move(e)) {}
  ProtocolError(wire::ValueError e) : payload_(std::move(e)) {}
  ProtocolError(wire::TableSizeError e) : payload_(std::move(e)) {}
  ProtocolError(wire::DeepError e) : payload_(std::move(e)) {}
  // An SncError is kept as its display text only.
  ProtocolError(const snc::SncError& e) : payload_(SncInfo{e.message()}) {}
  // An error of the registered server's formats keeps the kind it reports
  // as: Container and RegistrationRefused as themselves, every other one as
  // UnexpectedRecord under the label of its step.
  ProtocolError(wire::ServerRecordError e);
  // Any payload type itself (exactly one of the alternatives).
  template <class Info, std::enable_if_t<is_payload_v<std::decay_t<Info>>, int> = 0>
  ProtocolError(Info&& info) : payload_(std::forward<Info>(info)) {}

  static ProtocolError text_message(std::string text) { return MessageInfo{std::move(text)}; }
  static ProtocolError closed_by_peer(std::string_view label) { return ClosedByPeerInfo{label}; }
  static ProtocolError unexpected_record(std::string_view label, std::string detail) {
    return UnexpectedRecordInfo{label, std::move(detail)};
  }
  static ProtocolError logon_refused(std::uint8_t status, std::string text) {
    return LogonRefusedInfo{status, std::move(text)};
  }
  static ProtocolError registration_refused(std::string program_id, std::string text) {
    return RegistrationRefusedInfo{std::move(program_id), std::move(text)};
  }
  static ProtocolError snc(std::string text) { return SncInfo{std::move(text)}; }
  static ProtocolError abap_exception(AbapExceptionInfo info) {
    return ProtocolError(std::move(info));
  }
  static ProtocolError compressed_table(std::string table, std::uint64_t bytes) {
    return CompressedTableInfo{std::move(table), bytes};
  }
  static ProtocolError table_shape(std::string table, std::uint64_t content_bytes,
                                   std::uint64_t row_width, std::uint64_t row_count) {
    return TableShapeInfo{std::move(table), content_bytes, row_width, row_count};
  }
  static ProtocolError nothing_to_cancel() { return NothingToCancelInfo{}; }
  static ProtocolError cancelled() { return CancelledInfo{}; }
  static ProtocolError gateway(std::string message, std::string origin) {
    return GatewayInfo{std::move(message), std::move(origin)};
  }
  static ProtocolError delta_row_count(std::string table, std::uint64_t declared,
                                       std::uint64_t reconstructed) {
    return DeltaRowCountInfo{std::move(table), declared, reconstructed};
  }
  static ProtocolError empty_reply(std::string_view label) { return EmptyReplyInfo{label}; }
  static ProtocolError unsupported(std::string_view label, std::string detail) {
    return UnsupportedInfo{label, std::move(detail)};
  }
  static ProtocolError container_dump(wire::ContainerError error, std::string dump) {
    return ContainerDumpInfo{std::move(error), std::move(dump)};
  }
  static ProtocolError basxml_reply(std::string detail) {
    return BasxmlReplyInfo{std::move(detail)};
  }
  static ProtocolError out_of_memory(std::string_view label) { return OutOfMemoryInfo{label}; }

  Kind kind() const { return static_cast<Kind>(payload_.index()); }
  bool is(Kind k) const { return kind() == k; }
  const Payload& payload() const { return payload_; }

  // The payload as T, or null when the error is of another kind.
  template <class T>
  const T* get() const {
    return std::get_if<T>(&payload_);
  }

  // An Io error of the kind "timed out" or "would block": a socket time-out,
  // which callers treat as silence rather than as a broken connection.
  bool is_timeout() const;

  // The display text.
  std::string message() const;

  // The kind's name ("Io", "ClosedByPeer", ...).
  static std::string_view kind_name(Kind kind);

  friend bool operator==(const ProtocolError&, const ProtocolError&) = default;

 private:
  Payload payload_;
};

// A container error of received bytes: ContainerDump with a hex dump of the
// bytes around the offending record when the error has an offset, else the
// Container error itself.
ProtocolError container_error(wire::ContainerError error, wire::ByteView bytes);

template <class T>
using ProtoResult = wire::Result<T, ProtocolError>;
using ProtoStatus = wire::Status<ProtocolError>;

}  // namespace quib::proto
