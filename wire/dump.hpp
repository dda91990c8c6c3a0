// Text renderings of containers and raw bytes for traces and error messages:
// a list of a container's records with readable values, and a hexadecimal
// dump around an offset. Pure functions; a password value is shown only by
// its length.
#pragma once

#include <cstddef>
#include <string>

#include "wire/bytes.hpp"

namespace quib::wire {

// Width to which a record id's text form is padded in describe_container.
inline constexpr std::size_t kDumpIdWidth = 26;
// Context (bytes each side of the mark) that error reports attach.
inline constexpr std::size_t kDumpContext = 48;

// One line per record ("  Function(0x0102)          \"RFC_PING\" (utf-16le)\n"),
// then "  !! {message}\n" when the walk fails. Bytes without a readable
// header render as hex_dump(bytes, 0, bytes.size()).
std::string describe_container(ByteView bytes);

// The lines of 16 bytes around `mark`, from the line holding mark - context
// to the byte at mark + context, with ">" before the marked byte. A mark at
// or past the end is clamped to the last byte.
std::string hex_dump(ByteView bytes, std::size_t mark, std::size_t context);

// One record value: "(empty)", quoted UTF-8, quoted UTF-16LE with the suffix
// " (utf-16le)", or "<{n} B> " and the first 16 bytes in hexadecimal.
std::string render_value(ByteView bytes);

}  // namespace quib::wire
