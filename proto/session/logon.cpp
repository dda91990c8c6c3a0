#include "proto/session/logon.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proto/base/unicode_case.hpp"
#include "proto/net/socket.hpp"
#include "wire/container.hpp"
#include "wire/logon_records.hpp"
#include "wire/scramble.hpp"
#include "wire/types.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

using wire::RecordId;

// The host-name file is read up to this many bytes; a host name is far shorter.
constexpr std::size_t kHostnameFileLimit = 4096;

std::optional<std::string> read_small_file(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return std::nullopt;
  std::string content(kHostnameFileLimit, '\0');
  const std::size_t n = std::fread(content.data(), 1, content.size(), f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  content.resize(n);
  return content;
}

void put_text(wire::ContainerWriter& w, RecordId id, std::string_view text) {
  w.put_record(id, wire::as_bytes(text));
}

// A record value read as text: the partner chooses UTF-16LE or UTF-8;
// trailing white space is dropped.
std::string record_text(wire::ByteView value) {
  const std::string text = wire::decode_text_field(value);
  return std::string(wire::trim_end_unicode(text));
}

std::string* attribute_slot(ConnectionAttributes& a, RecordId id) {
  switch (id) {
    case RecordId::SystemId:
      return &a.system_id;
    case RecordId::SystemName:
      return &a.system_name;
    case RecordId::SystemNumber:
      return &a.system_number;
    case RecordId::SystemHost:
      return &a.system_host;
    case RecordId::KernelRelease:
      return &a.kernel_release;
    case RecordId::SystemCodePage:
      return &a.system_code_page;
    default:
      return nullptr;
  }
}

}  // namespace

std::string logon_language(std::string_view lang) {
  if (lang.empty()) return "E";
  std::size_t pos = 0;
  const char32_t first = wire::next_utf8(lang, pos);
  std::string out;
  append_full_upper(out, first);
  return out;
}

std::string local_host_name(const char* hostname_file) {
  if (const char* env = std::getenv(kHostnameEnv); env != nullptr) {
    const std::string_view value(env);
    if (wire::is_valid_utf8(value)) return std::string(wire::trim_unicode(value));
  }
  const auto content = read_small_file(hostname_file);
  if (!content) return {};
  const std::string text = wire::utf8_lossy(wire::as_bytes(*content));
  return std::string(wire::trim_unicode(text));
}

std::string local_ip_text(std::string_view bind_ip, std::string_view probe_ip,
                          std::uint16_t probe_port, std::string_view fallback) {
  auto ip = udp_local_ip(bind_ip, probe_ip, probe_port);
  return ip ? std::move(*ip) : std::string(fallback);
}

std::string local_ipv4_text() {
  return local_ip_text("0.0.0.0", kIpv4Probe, kProbePort, kIpv4Fallback);
}

std::string local_ipv6_text() { return local_ip_text("::", kIpv6Probe, kProbePort, kIpv6Fallback); }

LocalIdentity discover_local_identity() {
  LocalIdentity local;
  local.host_name = local_host_name();
  local.ipv4 = local_ipv4_text();
  local.ipv6 = local_ipv6_text();
  return local;
}

ProtoResult<SecretBytes> build_ni_logon(const ConnectionParams& params, const SessionId& session_id,
                                        std::optional<LocalIdentity> local) {
  // Scrambling comes first: a password it refuses fails the logon before
  // anything else is done.
  auto scrambled = wire::scramble_password(params.passwd.bytes(), scramble_seed(session_id));
  if (!scrambled) {
    return wire::err(
        ProtocolError::logon_refused(kLogonStatusUnknown, scrambled.error().message()));
  }
  if (!local) local = discover_local_identity();
  const std::string language = logon_language(params.lang);

  // Room for every record, the end record and the trailer up front: the
  // buffer never moves, so no copy of the scrambled password is left in a
  // released allocation.
  constexpr std::size_t kRecordOverhead = 10;  // id, long length, closing id
  constexpr std::size_t kRecords = 20;
  const std::size_t variable = params.client.size() + params.user.size() +
                               scrambled->view().size() + language.size() + local->ipv4.size() +
                               local->ipv6.size() + local->host_name.size() +
                               params.program_name.size();
  wire::ContainerWriter w = wire::ContainerWriter::with_rfc_header();
  w.reserve(w.size() + kRecords * kRecordOverhead + 128 + variable + wire::kTrailerSize);
  w.put_record(RecordId::Start, wire::kLogonStart);
  w.put_record(RecordId::ProtocolVersion, wire::kProtocolVersion);
  w.put_record(RecordId::Capabilities, wire::kCapabilities);
  w.put_record(RecordId::SessionNonce, session_id);
  put_text(w, RecordId::Client, params.client);
  put_text(w, RecordId::User, params.user);
  w.put_record(RecordId::Password, scrambled->view());
  put_text(w, RecordId::Language, language);
  w.put_record(wire::kRecord0501, wire::kLogonFlag0501);
  put_text(w, RecordId::ClientAddress, local->ipv4);
  put_text(w, RecordId::PartnerSystem, local->ipv6);
  put_text(w, RecordId::ConnectionType, wire::kConnectionTypeExternal);
  put_text(w, RecordId::KernelRelease, wire::kKernelRelease);
  put_text(w, RecordId::KernelPatch, wire::kKernelRelease);
  put_text(w, RecordId::PartnerHost, local->host_name);
  put_text(w, RecordId::Destination, wire::kLogonDestination);
  put_text(w, RecordId::Program, params.program_name);
  w.put_record(wire::kRecord0502, {});
  put_text(w, RecordId::Kernel, wire::kKernelRelease);
  put_text(w, RecordId::Function, wire::kLogonFunction);

  auto finished = std::move(w).finish_container();
  if (!finished) return wire::err(std::move(finished).error());
  wire::Bytes message = std::move(finished).value();
  auto trailer = wire::message_trailer(message.size());
  if (!trailer) {
    wire::secure_wipe(message);
    return wire::err(std::move(trailer).error());
  }
  message.insert(message.end(), trailer->begin(), trailer->end());
  return SecretBytes(std::move(message));
}

wire::Bytes build_wsrfc_logon(const ConnectionParams& params) {
  static constexpr std::uint8_t kZeroNonce[kSessionIdSize] = {};
  const std::string language = logon_language(params.lang);
  wire::ContainerWriter w;
  w.put_record(RecordId::Start, wire::kLogonStart);
  w.put_record(RecordId::ProtocolVersion, wire::kProtocolVersion);
  w.put_record(RecordId::Capabilities, wire::kCapabilities);
  w.put_record(RecordId::SessionNonce, kZeroNonce);
  put_text(w, RecordId::Client, params.client);
  w.put_record(wire::kRecord0163, {});
  put_text(w, RecordId::Language, language);
  w.put_record(wire::kRecord0501, wire::kLogonFlag0501);
  w.put_record(wire::kRecord0502, {});
  put_text(w, RecordId::Function, wire::kLogonFunction);
  // Every value here is far below the record format's limit.
  auto finished = std::move(w).finish_container();
  return finished ? std::move(finished).value() : wire::Bytes{};
}

ProtoStatus judge_logon_reply(wire::ByteView payload, ConnectionAttributes& attributes) {
  // A gateway that refuses the conversation answers with an error block
  // instead of a container; its text is what went wrong.
  if (auto block = wire::parse_err_block(payload))
    return wire::err(ProtocolError::gateway(std::move(block->message), std::move(block->origin)));
  auto reader = wire::ContainerReader::create(payload);
  if (!reader) return wire::err(container_error(reader.error(), payload));
  auto records = reader->read_all_records();
  if (!records) return wire::err(container_error(records.error(), payload));

  for (const wire::Record& r : *records) {
    if (std::string* slot = attribute_slot(attributes, r.id)) *slot = record_text(r.value);
  }

  const wire::Record* refusal = nullptr;
  const wire::Record* status = nullptr;
  for (const wire::Record& r : *records) {
    if (refusal == nullptr &&
        (r.id == RecordId::AbapExceptionKey || r.id == RecordId::AbapErrorMessage)) {
      refusal = &r;
    }
    if (status == nullptr && r.id == RecordId::LogonStatus) status = &r;
  }
  if (refusal == nullptr) return wire::ok_unit;
  const std::uint8_t code =
      status != nullptr && !status->value.empty() ? status->value[0] : kLogonStatusUnknown;
  return wire::err(ProtocolError::logon_refused(code, record_text(refusal->value)));
}

ProtoStatus logon_ni(RfcConnection& connection, const ConnectionParams& params) {
  {
    QUIB_TRY(SecretBytes message, build_ni_logon(params, connection.session_id()));
    QUIB_CHECK(connection.transport().send(message.bytes()));
  }  // the logon message is wiped here, right after it was sent
  QUIB_TRY(Received reply, connection.transport().receive(kStepLogon));
  if (reply.kind != ReceiveKind::DataRecord) {
    return wire::err(ProtocolError::unexpected_record(kStepLogon, "non-data control record"));
  }
  return judge_logon_reply(reply.data, connection.attributes());
}

ProtoStatus logon_wsrfc(RfcConnection& connection, const ConnectionParams& params) {
  const wire::Bytes message = build_wsrfc_logon(params);
  QUIB_CHECK(connection.transport().send(message));
  // The kind of the reply is not looked at on this transport.
  QUIB_TRY(Received reply, connection.transport().receive(kStepWsrfcLogon));
  return judge_logon_reply(reply.data, connection.attributes());
}

}  // namespace quib::proto
