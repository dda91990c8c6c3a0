#include "proto/base/error.hpp"

#include <fmt/format.h>

#include <array>
#include <utility>

#include "wire/dump.hpp"

namespace quib::proto {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

constexpr std::array<std::string_view, ProtocolError::kKindCount> kKindNames = {
    "Io",
    "Ni",
    "Appc",
    "Container",
    "Value",
    "Message",
    "ClosedByPeer",
    "UnexpectedRecord",
    "LogonRefused",
    "TableTooLarge",
    "RegistrationRefused",
    "Snc",
    "AbapException",
    "CompressedTable",
    "TableShape",
    "DeepValue",
    "NothingToCancel",
    "Cancelled",
    "Gateway",
    "DeltaRowCount",
    "EmptyReply",
    "Unsupported",
    "ContainerDump",
    "BasxmlReply",
    "OutOfMemory",
};

}  // namespace

std::string_view server_step_label(wire::ServerStep step) {
  switch (step) {
    case wire::ServerStep::Registration:
      return kStepGatewayRegistration;
    case wire::ServerStep::Announcement:
      return kStepInboundCallAnnouncement;
    case wire::ServerStep::Request:
      return kStepInboundRequest;
    case wire::ServerStep::Continuation:
      return kStepInboundRequestContinuation;
    case wire::ServerStep::Reply:
      break;
  }
  return kStepServerReply;
}

namespace {

ProtocolError::Payload server_record_payload(wire::ServerRecordError e) {
  switch (e.kind) {
    case wire::ServerRecordError::Container:
      return std::move(e.container);
    case wire::ServerRecordError::Refused:
      return ProtocolError::RegistrationRefusedInfo{std::move(e.program_id), std::move(e.text)};
    default:
      break;
  }
  return ProtocolError::UnexpectedRecordInfo{server_step_label(e.step), e.message()};
}

}  // namespace

ProtocolError::ProtocolError(wire::ServerRecordError e)
    : payload_(server_record_payload(std::move(e))) {}

std::string_view ProtocolError::kind_name(Kind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kKindNames.size() ? kKindNames[i] : std::string_view("Unknown");
}

bool ProtocolError::is_timeout() const {
  const IoError* io = get<IoError>();
  return io != nullptr && io->is_timeout();
}

std::string ProtocolError::message() const {
  return std::visit(
      Overloaded{
          [](const IoError& e) { return fmt::format("I/O error: {}", e.message()); },
          [](const wire::NiError& e) { return e.message(); },
          [](const wire::AppcError& e) { return e.message(); },
          [](const wire::ContainerError& e) { return e.message(); },
          [](const wire::ValueError& e) { return e.message(); },
          [](const MessageInfo& m) { return m.text; },
          [](const ClosedByPeerInfo& c) {
            return fmt::format("connection closed by peer during {}", c.label);
          },
          [](const UnexpectedRecordInfo& u) {
            return fmt::format("unexpected record during {}: {}", u.label, u.detail);
          },
          [](const LogonRefusedInfo& l) {
            if (l.text.empty()) {
              return fmt::format("logon refused by the server (status 0x{:02x})", l.status);
            }
            return fmt::format("logon refused by the server (status 0x{:02x}): {}", l.status,
                               l.text);
          },
          [](const wire::TableSizeError& e) { return e.message(); },
          [](const RegistrationRefusedInfo& r) {
            return fmt::format(
                "the gateway refused program ID {}: {} (usually a missing reginfo "
                "entry)",
                r.program_id, r.text);
          },
          [](const SncInfo& s) { return fmt::format("SNC: {}", s.text); },
          [](const AbapExceptionInfo& a) {
            return fmt::format("ABAP exception {}: {}", a.key, a.message);
          },
          [](const CompressedTableInfo& c) {
            return fmt::format("table {} arrived compressed ({} bytes) and could not be expanded",
                               c.table, c.bytes);
          },
          [](const TableShapeInfo& t) {
            return fmt::format(
                "table {}: {} bytes of content match neither the declared row width {} nor {} "
                "rows",
                t.table, t.content_bytes, t.row_width, t.row_count);
          },
          [](const wire::DeepError& e) {
            return fmt::format("deep value section: {}", e.message());
          },
          [](const NothingToCancelInfo&) {
            return std::string("the conversation has ended; there is nothing to cancel");
          },
          [](const CancelledInfo&) {
            return std::string("the call was cancelled; the conversation is closed");
          },
          [](const GatewayInfo& g) {
            if (g.origin.empty()) return fmt::format("gateway: {}", g.message);
            return fmt::format("gateway: {} (from {})", g.message, g.origin);
          },
          [](const DeltaRowCountInfo& d) {
            return fmt::format(
                "table {} came back as a delta declaring {} rows, but reconstructed to {}", d.table,
                d.declared, d.reconstructed);
          },
          [](const EmptyReplyInfo& e) {
            return fmt::format(
                "the server returned an empty reply during {}: the request was malformed (a "
                "wrong length in the 8-byte trailer, an EBCDIC header on a continuation record, "
                "or a missing SNC partner announcement/trailer), not rejected on the merits -- "
                "the fault is in our encoder or session state, not in reply parsing",
                e.label);
          },
          [](const UnsupportedInfo& u) {
            return fmt::format("{} is not supported: {}", u.label, u.detail);
          },
          [](const ContainerDumpInfo& c) {
            return fmt::format("{}\n{}", c.error.message(), c.dump);
          },
          [](const BasxmlReplyInfo& b) {
            return fmt::format("invalid basXML reply: {}", b.detail);
          },
          [](const OutOfMemoryInfo& o) { return fmt::format("out of memory during {}", o.label); },
      },
      payload_);
}

ProtocolError container_error(wire::ContainerError error, wire::ByteView bytes) {
  if (error.has_offset()) {
    std::string dump =
        wire::hex_dump(bytes, static_cast<std::size_t>(error.offset), wire::kDumpContext);
    return ProtocolError::container_dump(std::move(error), std::move(dump));
  }
  return ProtocolError(std::move(error));
}

}  // namespace quib::proto
