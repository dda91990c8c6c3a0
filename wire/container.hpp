// RFC data containers (RFC_PRO): a flat sequence of tagged records closed by
// an end record, optionally preceded by a 12-byte EBCDIC header.
//
//   record: id u16 BE | length u16 BE (FF FF: then u32 BE) | value | id u16 BE
//   end:    FF FF 00 00 FF FF
//
// This file holds the record ids, the writer, the reader (views, never
// copies), the assembler that decides when a container arriving in pieces is
// complete, the message trailer, the "*ERR*" block parser and the recogniser
// of compressed table content. Pure format code: no I/O, no shared state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/bytes.hpp"
#include "wire/result.hpp"
#include "wire/table_compressed.hpp"

namespace quib::wire {

// ---------------------------------------------------------------- record ids

// The named record ids, one entry each: X(name, id). The enum and the names
// of record_id_name are both made from this one table.
#define QUIB_RECORD_IDS(X)        \
  X(Destination, 0x0006)          \
  X(ClientAddress, 0x0007)        \
  X(PartnerHost, 0x0008)          \
  X(Kernel, 0x000B)               \
  X(ConnectionType, 0x0011)       \
  X(KernelRelease, 0x0012)        \
  X(KernelPatch, 0x0013)          \
  X(SystemCodePage, 0x0016)       \
  X(PartnerSystem, 0x0018)        \
  X(Start, 0x0101)                \
  X(Function, 0x0102)             \
  X(ProtocolVersion, 0x0103)      \
  X(Capabilities, 0x0106)         \
  X(User, 0x0111)                 \
  X(Client, 0x0114)               \
  X(Language, 0x0115)             \
  X(Password, 0x0117)             \
  X(Program, 0x0130)              \
  X(SessionUser, 0x0150)          \
  X(SessionClient, 0x0151)        \
  X(SessionLanguage, 0x0152)      \
  X(LogonStatus, 0x0161)          \
  X(ParameterName, 0x0201)        \
  X(ParameterValue, 0x0203)       \
  X(RequestedOutput, 0x0205)      \
  X(TableName, 0x0301)            \
  X(TableHeader, 0x0302)          \
  X(TableContent, 0x0303)         \
  X(TableCompressed, 0x0304)      \
  X(TableCompressedChunk, 0x0305) \
  X(TableRowCount, 0x0330)        \
  X(TableSectionBegin, 0x0331)    \
  X(TableDeltaDelete, 0x0332)     \
  X(TableDeltaRowOp, 0x0333)      \
  X(TableDeltaRow, 0x0334)        \
  X(TableDeltaReplace, 0x0335)    \
  X(TableSectionEnd, 0x0336)      \
  X(AbapExceptionKey, 0x0401)     \
  X(AbapErrorMessage, 0x0402)     \
  X(AbapRuntimeId, 0x0403)        \
  X(AbapT100Text, 0x0404)         \
  X(AbapMessageV1, 0x0411)        \
  X(AbapMessageV2, 0x0412)        \
  X(AbapMessageV3, 0x0413)        \
  X(AbapMessageV4, 0x0414)        \
  X(AbapMessageClass, 0x0415)     \
  X(AbapMessageType, 0x0416)      \
  X(AbapMessageNumber, 0x0417)    \
  X(SystemId, 0x0450)             \
  X(SystemName, 0x0451)           \
  X(SystemNumber, 0x0452)         \
  X(SystemHost, 0x0453)           \
  X(SessionNonce, 0x0514)         \
  X(DeepSection, 0x3C02)          \
  X(DeepContent, 0x3C05)          \
  X(BasxmlVersion, 0x4000)        \
  X(BasxmlPayload, 0x4002)        \
  X(BasxmlEnd, 0x4004)            \
  X(End, 0xFFFF)

// The 16-bit identifier of a container record. Ids without a name are
// written as RecordId{0x0502}.
enum class RecordId : std::uint16_t {
#define QUIB_RECORD_ID_ENUMERATOR(name, id) name = id,
  QUIB_RECORD_IDS(QUIB_RECORD_ID_ENUMERATOR)
#undef QUIB_RECORD_ID_ENUMERATOR
};

inline constexpr std::uint16_t to_u16(RecordId id) { return static_cast<std::uint16_t>(id); }

// The name of a named id ("Function"), none for every other id.
std::optional<std::string_view> record_id_name(RecordId id);

// Text form for traces and messages: "Function(0x0102)" for a named id,
// "0x0502" for one without a name.
std::string record_id_text(RecordId id);

// ---------------------------------------------------------------- errors

enum class ContainerErrorKind : std::uint8_t {
  BadHeader,       // not an RFC_PRO message: bad EBCDIC header
  Truncated,       // offset
  TagMismatch,     // offset, opening_id, closing_id
  MissingEnd,      // no end record
  TooManyRecords,  // limit
  ValueTooLong,    // length: a value of 2^32 bytes or more
  MessageTooLong,  // length: a container too long for the trailer's u32
};

struct ContainerError {
  using Kind = ContainerErrorKind;

  Kind kind = Kind::BadHeader;
  std::uint64_t offset = 0;      // Truncated, TagMismatch: the record's first byte
  std::uint16_t opening_id = 0;  // TagMismatch
  std::uint16_t closing_id = 0;  // TagMismatch
  std::uint64_t limit = 0;       // TooManyRecords
  std::uint64_t length = 0;      // ValueTooLong, MessageTooLong

  static ContainerError bad_header() { return {Kind::BadHeader}; }
  static ContainerError truncated(std::uint64_t offset) { return {Kind::Truncated, offset}; }
  static ContainerError tag_mismatch(std::uint64_t offset, std::uint16_t opening,
                                     std::uint16_t closing) {
    return {Kind::TagMismatch, offset, opening, closing};
  }
  static ContainerError missing_end() { return {Kind::MissingEnd}; }
  static ContainerError too_many_records(std::uint64_t limit) {
    return {Kind::TooManyRecords, 0, 0, 0, limit};
  }
  static ContainerError value_too_long(std::uint64_t length) {
    return {Kind::ValueTooLong, 0, 0, 0, 0, length};
  }
  static ContainerError message_too_long(std::uint64_t length) {
    return {Kind::MessageTooLong, 0, 0, 0, 0, length};
  }

  // True for the kinds that carry the offset of the offending record
  // (Truncated, TagMismatch): callers attach a hex dump around it.
  bool has_offset() const { return kind == Kind::Truncated || kind == Kind::TagMismatch; }

  std::string message() const;

  friend bool operator==(const ContainerError&, const ContainerError&) = default;
};

// ---------------------------------------------------------------- constants

// D9 C6 C3 is "RFC" in EBCDIC, then nine EBCDIC zeros.
inline constexpr std::array<std::uint8_t, 12> kRfcHeader = {0xD9, 0xC6, 0xC3, 0xF0, 0xF0, 0xF0,
                                                            0xF0, 0xF0, 0xF0, 0xF0, 0xF0, 0xF0};
inline constexpr std::size_t kRfcHeaderSize = kRfcHeader.size();
inline constexpr std::array<std::uint8_t, 6> kEndRecord = {0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF};
// Length field value that announces a u32 length after it.
inline constexpr std::uint16_t kLongLengthEscape = 0xFFFF;
inline constexpr std::uint64_t kMaxValueLength = 0xFFFFFFFFu;
// Records accepted per container, the end record included.
inline constexpr std::uint64_t kRecordLimit = 100000;
inline constexpr std::size_t kWriterReserve = 256;
inline constexpr std::size_t kTrailerSize = 8;

// ---------------------------------------------------------------- writer

class ContainerWriter {
 public:
  // An empty writer (256 bytes reserved).
  ContainerWriter();
  static ContainerWriter create() { return ContainerWriter(); }
  // A writer whose buffer starts with the 12 EBCDIC header bytes.
  static ContainerWriter with_rfc_header();

  // Appends one record. Never fails at the call: a value of 2^32 bytes or
  // more is not written and sets the deferred error (the first one stays).
  void put_record(RecordId id, ByteView value);

  // Appends the end record and returns the bytes, or the deferred error
  // (the bytes are then wiped and discarded).
  Result<Bytes, ContainerError> finish_container() &&;

  // Makes room for `n` bytes in all, so that a container holding a secret
  // can be written without the buffer moving (and leaving a copy behind).
  void reserve(std::size_t n) { buffer_.reserve(n); }

  const Bytes& bytes() const { return buffer_; }
  std::size_t size() const { return buffer_.size(); }
  const std::optional<ContainerError>& deferred_error() const { return error_; }

 private:
  Bytes buffer_;
  std::optional<ContainerError> error_;
};

// ---------------------------------------------------------------- reader

// One record: its id and its value as a view into the reader's data.
struct Record {
  RecordId id{};
  ByteView value{};
};

// Length of the header that `data` starts with (12 or 0), or BadHeader:
// fewer than 4 bytes; or 12 bytes or more beginning D9 C6 C3 but fewer than 16.
Result<std::size_t, ContainerError> detect_rfc_header(ByteView data);

class ContainerReader {
 public:
  static Result<ContainerReader, ContainerError> create(ByteView data);

  // One step of the walk: a record, end (nullopt) or an error. After the end
  // record every further call returns end again.
  Result<std::optional<Record>, ContainerError> next_record();

  // Every record up to the end record (excluded), in wire order. Bytes after
  // the end record are ignored.
  Result<std::vector<Record>, ContainerError> read_all_records();

  ByteView data() const { return data_; }
  std::size_t total_length() const { return data_.size(); }
  std::size_t position() const { return pos_; }
  std::uint64_t record_count() const { return count_; }
  std::uint64_t record_limit() const { return limit_; }
  bool done() const { return done_; }

 private:
  friend class ContainerAssembler;
  ContainerReader(ByteView data, std::size_t pos, std::uint64_t count)
      : data_(data), pos_(pos), count_(count) {}

  ByteView data_;
  std::size_t pos_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t limit_ = kRecordLimit;
  bool done_ = false;
};

// ---------------------------------------------------------------- assembler

enum class AssemblyStatus : std::uint8_t {
  Complete,  // the end record has been read
  NeedMore,  // the bytes stop inside the header, inside a record or before the end record
  NoData,    // no byte has been pushed yet
};

// The receive-side buffer of one reply. Each push rescans only from the first
// record not yet known to be complete, and counts records over the whole
// container, so it reaches the same verdict as a ContainerReader over the
// same bytes, however they were split.
class ContainerAssembler {
 public:
  ContainerAssembler() = default;

  Result<AssemblyStatus, ContainerError> push(ByteView piece);
  // The same; the first non-empty piece's storage is adopted rather than
  // copied (a reply that arrives in one frame is never copied).
  Result<AssemblyStatus, ContainerError> push(Bytes&& piece);

  // Every byte pushed so far (the reply once Complete).
  const Bytes& buffer() const { return buffer_; }
  ByteView bytes() const { return buffer_; }
  Bytes take_buffer() && { return std::move(buffer_); }

  bool header_decided() const { return header_decided_; }
  std::size_t resume_offset() const { return resume_; }
  bool complete() const { return complete_; }

 private:
  Result<AssemblyStatus, ContainerError> scan();

  bool header_decided_ = false;
  std::size_t resume_ = 0;
  Bytes buffer_;
  std::uint64_t records_before_resume_ = 0;
  bool complete_ = false;
};

// ---------------------------------------------------------------- trailer

// The 8 bytes that follow a container on the wire: its length as u32 BE, then
// 00 00 85 00. A length above 2^32 - 1 is refused with MessageTooLong.
Result<std::array<std::uint8_t, kTrailerSize>, ContainerError> message_trailer(
    std::uint64_t container_length);

// Appends the trailer for the whole of `container`; on error nothing is
// appended.
Status<ContainerError> append_message_trailer(Bytes& container);

// ---------------------------------------------------------------- *ERR* block

struct ErrBlock {
  std::string message;
  std::string origin;
  friend bool operator==(const ErrBlock&, const ErrBlock&) = default;
};

// A partner's "*ERR*" text block (NUL-separated UTF-8 fields), none when the
// bytes are not one.
std::optional<ErrBlock> parse_err_block(ByteView data);

// ---------------------------------------------------------------- compressed tables

// Recognises compressed table content (its layout: wire/table_compressed.hpp):
// at least the prefix and the head, the prefix's marks, the algorithm byte
// 0x11 or 0x12 and the head's 1F 9D. The result is the head.
std::optional<CompressedTableHeader> detect_compressed_table(ByteView value);

}  // namespace quib::wire
