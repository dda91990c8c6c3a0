// The registered server's readers of received bytes. The first input byte
// picks what the rest is:
//   0  frames (each a 2-byte big-endian length and its bytes) pushed into
//      the inbound reassembly: it completes, or fails once and for all with
//      an error of the records, and never holds more payload than its limit;
//   1  a request payload, cut into records at points taken from its first
//      bytes: the reassembly gives back exactly the payload and decodes it
//      as the payload read at once does;
//   2  a registration answer: a kept announcement is one, a refusal names
//      the program ID and comes from an "*ERR*" behind the header;
//   3  what a gateway sends on a socket, read by the session's receive_call
//      until the stream ends: every call consumes input and the end is an
//      error of the session's reading kinds.
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.hpp"
#include "proto/server/registered_server.hpp"
#include "wire/inbound_call.hpp"
#include "wire/server.hpp"

using namespace quib;
using fuzz::check;
using proto::ProtocolError;
using wire::ServerRecordError;

namespace {

constexpr std::uint64_t kLimit = 4096;

wire::Bytes record(std::uint8_t request, wire::ByteView payload, bool last) {
  wire::Bytes r(80, 0);
  r[0] = 0x06;
  r[1] = request;
  std::fill(r.begin() + 40, r.begin() + 48, '7');
  wire::store_be32(r.data() + 56, static_cast<std::uint32_t>(payload.size()));
  if (last) r[63] = 1;
  wire::append_bytes(r, payload);
  return r;
}

using Decoded = wire::Result<wire::InboundCall, ServerRecordError>;

bool same_outcome(const Decoded& a, const Decoded& b) {
  if (a.ok() != b.ok()) return false;
  return a.ok() ? a.value() == b.value() : a.error() == b.error();
}

// An error of the records themselves, which the session reports as an
// unexpected record.
bool is_record_error(const ServerRecordError& e) {
  switch (e.kind) {
    case ServerRecordError::ShortRecord:
    case ServerRecordError::WrongRequest:
    case ServerRecordError::ContinuationDue:
    case ServerRecordError::OtherConversation:
    case ServerRecordError::ShortPayload:
    case ServerRecordError::RequestTooLarge:
    case ServerRecordError::RecordAfterLast:
      return ProtocolError(e).is(ProtocolError::UnexpectedRecord);
    default:
      return false;
  }
}

void frames(wire::ByteView in) {
  wire::InboundAssembler a(kLimit);
  std::size_t pos = 0;
  while (pos + 2 <= in.size()) {
    const std::size_t n =
        std::min<std::size_t>(wire::load_be16(in.data() + pos), in.size() - pos - 2);
    const wire::ByteView frame = in.subspan(pos + 2, n);
    pos += 2 + n;
    const auto before = a.stage();
    auto pushed = a.push(frame);
    check(a.payload().size() <= kLimit);
    if (!pushed) {
      check(is_record_error(pushed.error()));
      return;
    }
    check(before != wire::InboundAssembler::Stage::Complete);
    if (a.complete()) {
      check(same_outcome(a.decode(), wire::decode_inbound_request(a.payload())));
      return;
    }
  }
}

void reassembly(wire::ByteView in) {
  if (in.empty()) return;
  const std::size_t cuts = std::min<std::size_t>(in[0] % 8, in.size() - 1);
  std::vector<std::size_t> points;
  for (std::size_t i = 0; i < cuts; ++i) points.push_back(in[1 + i]);
  const wire::ByteView payload = in.subspan(1 + cuts);
  std::vector<std::size_t> at = {0};
  for (std::size_t p : points) at.push_back(std::min(at.back() + p, payload.size()));
  at.push_back(payload.size());

  wire::InboundAssembler a;
  wire::Bytes ann(80, 0);
  ann[0] = 0x06;
  ann[1] = 0xCF;
  std::fill(ann.begin() + 40, ann.begin() + 48, '7');
  check(a.push(ann).ok());
  for (std::size_t i = 0; i + 1 < at.size(); ++i) {
    const bool last = i + 2 == at.size();
    check(
        a.push(record(i == 0 ? 0x03 : 0x09, payload.subspan(at[i], at[i + 1] - at[i]), last)).ok());
    check(a.complete() == last);
  }
  check(wire::Bytes(payload.begin(), payload.end()) == a.payload());
  const Decoded decoded = a.decode();
  check(same_outcome(decoded, wire::decode_inbound_request(payload)));
  if (!decoded) check(ProtocolError(decoded.error()).is(ProtocolError::Container));
}

void answer(wire::ByteView in) {
  auto v = wire::judge_registration_answer("ZFUZZ", in);
  const bool announces = in.size() >= 80 && in[1] == 0xCF;
  if (v.ok()) {
    if (v.value()) {
      check(announces);
      check(*v.value() == wire::Bytes(in.begin(), in.end()));
    }
    return;
  }
  check(!announces && in.size() > 80);
  const ProtocolError e(v.error());
  if (v.error().kind == ServerRecordError::Refused) {
    check(v.error().program_id == "ZFUZZ");
    check(wire::as_chars(in.subspan(80)).find("*ERR*") != std::string_view::npos);
    const auto* r = e.get<ProtocolError::RegistrationRefusedInfo>();
    check(r != nullptr && r->program_id == "ZFUZZ" && r->text == v.error().text);
    return;
  }
  check(v.error().kind == ServerRecordError::UnclearAnswer);
  check(e.is(ProtocolError::UnexpectedRecord));
}

void socket_stream(wire::ByteView in) {
  // The whole input must fit the socket buffer, as nobody reads concurrently.
  if (in.size() > 60000) return;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
  proto::Socket peer(fds[1]);
  {
    proto::RegisteredServer server(proto::Socket(fds[0]), "ZFUZZ");
    if (!peer.send_all(in).ok()) return;
    ::shutdown(peer.fd(), SHUT_WR);
    for (std::size_t calls = 0;; ++calls) {
      check(calls <= in.size());  // every call consumes input
      auto call = server.receive_call();
      if (call) continue;
      using K = ProtocolError::Kind;
      const K k = call.error().kind();
      check(k == K::ClosedByPeer || k == K::UnexpectedRecord || k == K::Container || k == K::Ni);
      // A frame over the limit stays where it is: it is reported again on
      // every read, so the stream ends here too.
      if (k == K::ClosedByPeer || k == K::Ni) break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const wire::ByteView in(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      frames(in);
      break;
    case 1:
      reassembly(in);
      break;
    case 2:
      answer(in);
      break;
    default:
      socket_stream(in);
      break;
  }
  return 0;
}
