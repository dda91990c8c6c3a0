#include "wire/container.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "wire/utf.hpp"

namespace quib::wire {

// ---------------------------------------------------------------- record ids

std::optional<std::string_view> record_id_name(RecordId id) {
  switch (id) {
#define QUIB_RECORD_ID_NAME(name, id) \
  case RecordId::name:                \
    return #name;
    QUIB_RECORD_IDS(QUIB_RECORD_ID_NAME)
#undef QUIB_RECORD_ID_NAME
  }
  return std::nullopt;
}

std::string record_id_text(RecordId id) {
  if (auto name = record_id_name(id)) return fmt::format("{}(0x{:04x})", *name, to_u16(id));
  return fmt::format("0x{:04x}", to_u16(id));
}

// ---------------------------------------------------------------- errors

std::string ContainerError::message() const {
  switch (kind) {
    case Kind::BadHeader:
      return "not an RFC_PRO message: bad EBCDIC header";
    case Kind::Truncated:
      return fmt::format("RFC_PRO field at offset {} is truncated", offset);
    case Kind::TagMismatch:
      return fmt::format(
          "RFC_PRO field at offset {} opened with tag 0x{:04x} but closed with 0x{:04x}", offset,
          opening_id, closing_id);
    case Kind::MissingEnd:
      return "RFC_PRO message ended without a 0xffff marker";
    case Kind::TooManyRecords:
      return fmt::format("RFC_PRO message contains more than {} fields", limit);
    case Kind::ValueTooLong:
      return fmt::format("RFC_PRO field value of {} bytes exceeds the maximum of {} bytes", length,
                         kMaxValueLength);
    case Kind::MessageTooLong:
      return fmt::format(
          "RFC_PRO message of {} bytes is too long for its trailer (at most {} bytes)", length,
          kMaxValueLength);
  }
  return "RFC_PRO error";
}

// ---------------------------------------------------------------- writer

namespace {

constexpr std::size_t kHeaderMarkSize = 3;    // D9 C6 C3 decides the header
constexpr std::size_t kMinHeaderedSize = 16;  // header plus one record's id and length
constexpr std::size_t kMinContainerSize = 4;  // one record's id and length
constexpr std::size_t kShortRecordHead = 4;   // id, u16 length
constexpr std::size_t kLongRecordHead = 8;    // id, FF FF, u32 length
constexpr std::size_t kClosingIdSize = 2;
constexpr std::uint16_t kMaxShortLength = 0xFFFE;
constexpr std::array<std::uint8_t, 4> kTrailerTag = {0x00, 0x00, 0x85, 0x00};

bool starts_with_header_mark(ByteView data) {
  return data.size() >= kHeaderMarkSize &&
         std::memcmp(data.data(), kRfcHeader.data(), kHeaderMarkSize) == 0;
}

}  // namespace

ContainerWriter::ContainerWriter() { buffer_.reserve(kWriterReserve); }

ContainerWriter ContainerWriter::with_rfc_header() {
  ContainerWriter w;
  w.buffer_.insert(w.buffer_.end(), kRfcHeader.begin(), kRfcHeader.end());
  return w;
}

void ContainerWriter::put_record(RecordId id, ByteView value) {
  const std::uint64_t n = value.size();
  if (n > kMaxValueLength) {
    if (!error_) error_ = ContainerError::value_too_long(n);
    return;
  }
  append_be16(buffer_, to_u16(id));
  if (n <= kMaxShortLength) {
    append_be16(buffer_, static_cast<std::uint16_t>(n));
  } else {
    append_be16(buffer_, kLongLengthEscape);
    append_be32(buffer_, static_cast<std::uint32_t>(n));
  }
  buffer_.insert(buffer_.end(), value.begin(), value.end());
  append_be16(buffer_, to_u16(id));
}

Result<Bytes, ContainerError> ContainerWriter::finish_container() && {
  if (error_) {
    ContainerError e = *error_;
    secure_wipe(buffer_);
    buffer_ = Bytes();
    return err(e);
  }
  buffer_.insert(buffer_.end(), kEndRecord.begin(), kEndRecord.end());
  return std::move(buffer_);
}

// ---------------------------------------------------------------- reader

Result<std::size_t, ContainerError> detect_rfc_header(ByteView data) {
  if (data.size() < kMinContainerSize) return err(ContainerError::bad_header());
  if (data.size() < kRfcHeaderSize || !starts_with_header_mark(data)) return std::size_t{0};
  if (data.size() < kMinHeaderedSize) return err(ContainerError::bad_header());
  return kRfcHeaderSize;
}

Result<ContainerReader, ContainerError> ContainerReader::create(ByteView data) {
  QUIB_TRY(std::size_t start, detect_rfc_header(data));
  return ContainerReader(data, start, 0);
}

Result<std::optional<Record>, ContainerError> ContainerReader::next_record() {
  if (done_) return std::optional<Record>{};
  const std::size_t len = data_.size();
  const std::size_t pos = pos_;
  if (pos == len) return err(ContainerError::missing_end());
  // Lengths are compared as what remains, so nothing can overflow.
  const std::size_t left = len - pos;
  if (left < kShortRecordHead) return err(ContainerError::truncated(pos));
  const std::uint8_t* p = data_.data() + pos;
  const std::uint16_t id = load_be16(p);
  const std::uint16_t length_field = load_be16(p + 2);
  std::uint64_t value_len = length_field;
  std::size_t head = kShortRecordHead;
  if (length_field == kLongLengthEscape) {
    if (left < kLongRecordHead) return err(ContainerError::truncated(pos));
    value_len = load_be32(p + 4);
    head = kLongRecordHead;
  }
  if (value_len + kClosingIdSize > left - head) return err(ContainerError::truncated(pos));
  const std::size_t vlen = static_cast<std::size_t>(value_len);
  const std::uint16_t closing = load_be16(p + head + vlen);
  if (closing != id) return err(ContainerError::tag_mismatch(pos, id, closing));
  if (++count_ > limit_) return err(ContainerError::too_many_records(limit_));
  pos_ = pos + head + vlen + kClosingIdSize;
  if (id == to_u16(RecordId::End)) {
    done_ = true;
    return std::optional<Record>{};
  }
  return std::optional<Record>{Record{static_cast<RecordId>(id), ByteView(p + head, vlen)}};
}

Result<std::vector<Record>, ContainerError> ContainerReader::read_all_records() {
  std::vector<Record> records;
  for (;;) {
    auto step = next_record();
    if (!step) return err(std::move(step).error());
    if (!step.value()) return records;
    records.push_back(*step.value());
  }
}

// ---------------------------------------------------------------- assembler

Result<AssemblyStatus, ContainerError> ContainerAssembler::push(ByteView piece) {
  buffer_.insert(buffer_.end(), piece.begin(), piece.end());
  return scan();
}

Result<AssemblyStatus, ContainerError> ContainerAssembler::push(Bytes&& piece) {
  if (buffer_.empty())
    buffer_ = std::move(piece);
  else
    buffer_.insert(buffer_.end(), piece.begin(), piece.end());
  return scan();
}

Result<AssemblyStatus, ContainerError> ContainerAssembler::scan() {
  if (complete_) return AssemblyStatus::Complete;
  if (buffer_.empty()) return AssemblyStatus::NoData;

  if (!header_decided_) {
    // The header is decided by its first three bytes. While the bytes so far
    // could still be the start of a header, or hold a header without the
    // first record's id and length, wait: reading them as records would
    // misread a header split across pieces.
    const std::size_t seen = std::min(buffer_.size(), kHeaderMarkSize);
    const bool header_prefix = std::memcmp(buffer_.data(), kRfcHeader.data(), seen) == 0;
    if (header_prefix && buffer_.size() < kMinHeaderedSize) return AssemblyStatus::NeedMore;
    header_decided_ = true;
    resume_ = header_prefix ? kRfcHeaderSize : 0;
    records_before_resume_ = 0;
  }

  // Records before the resume offset are known to be complete and count
  // towards the limit, as they would in a reader over the whole buffer.
  ContainerReader reader(buffer_, resume_, records_before_resume_);
  for (;;) {
    auto step = reader.next_record();
    if (!step) {
      const ContainerError& e = step.error();
      if (e.kind == ContainerErrorKind::Truncated || e.kind == ContainerErrorKind::MissingEnd) {
        resume_ = reader.position();
        records_before_resume_ = reader.record_count();
        return AssemblyStatus::NeedMore;
      }
      return err(std::move(step).error());
    }
    if (!step.value()) {
      resume_ = reader.position();
      records_before_resume_ = reader.record_count();
      complete_ = true;
      return AssemblyStatus::Complete;
    }
  }
}

// ---------------------------------------------------------------- trailer

Result<std::array<std::uint8_t, kTrailerSize>, ContainerError> message_trailer(
    std::uint64_t container_length) {
  if (container_length > kMaxValueLength)
    return err(ContainerError::message_too_long(container_length));
  std::array<std::uint8_t, kTrailerSize> t{};
  store_be32(t.data(), static_cast<std::uint32_t>(container_length));
  std::memcpy(t.data() + 4, kTrailerTag.data(), kTrailerTag.size());
  return t;
}

Status<ContainerError> append_message_trailer(Bytes& container) {
  QUIB_TRY(auto trailer, message_trailer(container.size()));
  container.insert(container.end(), trailer.begin(), trailer.end());
  return ok_unit;
}

// ---------------------------------------------------------------- *ERR* block

std::optional<ErrBlock> parse_err_block(ByteView data) {
  static constexpr std::string_view kMark = "*ERR*";
  const std::string_view text = as_chars(data);
  if (text.size() < kMark.size() + 1 || text.substr(0, kMark.size()) != kMark) return std::nullopt;

  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t nul = text.find('\0', start);
    const std::string_view raw =
        text.substr(start, nul == std::string_view::npos ? std::string_view::npos : nul - start);
    fields.emplace_back(trim_unicode(utf8_lossy(as_bytes(raw))));
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }

  ErrBlock block;
  if (fields.size() >= 3) block.message = fields[2];
  for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
    if (!it->empty() && *it != kMark) {
      block.origin = *it;
      break;
    }
  }
  return block;
}

// ---------------------------------------------------------------- compressed tables

std::optional<CompressedTableHeader> detect_compressed_table(ByteView value) {
  if (value.size() < kCompressedTablePrefixSize + kCompressedTableHeaderSize) return std::nullopt;
  for (const CompressedTablePrefixMark& m : kCompressedTablePrefixMarks)
    if (value[m.offset] != m.value) return std::nullopt;
  const ByteView chunk = compressed_table_chunk(value);
  auto header = parse_compressed_table_header(chunk);
  if (!header) return std::nullopt;
  const std::uint8_t algorithm = header.value().algorithm;
  if (algorithm != kCompressedTableAlgorithmByteLzc &&
      algorithm != kCompressedTableAlgorithmByteLzh)
    return std::nullopt;
  if (!std::equal(kCompressedTableMark.begin(), kCompressedTableMark.end(),
                  chunk.begin() + kCompressedTableMarkOffset))
    return std::nullopt;
  return header.value();
}

}  // namespace quib::wire
