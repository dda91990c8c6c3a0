// The assembler and the reader agree on every split of the same bytes. The
// first eight input bytes seed the split; the rest is the container, read
// whole by a reader and pushed in random pieces (empty ones included) into an
// assembler:
//   reader reaches the end        -> Complete exactly at the piece that holds
//                                    the end record's last byte, NeedMore or
//                                    NoData before it, Complete after it;
//   reader Truncated, MissingEnd
//   or BadHeader                  -> never Complete and never an error;
//   any other reader error        -> the same error, once the bytes reach it.
#include <algorithm>
#include <optional>

#include "fuzz/check.hpp"
#include "wire/container.hpp"

using namespace quib::wire;

namespace {

using quib::fuzz::check;

struct SplitMix {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

// Length of a piece: mostly tiny (to split headers and length fields), some
// larger.
std::size_t piece_length(SplitMix& rng) {
  const std::uint64_t r = rng.next();
  switch (r % 4) {
    case 0:
      return (r >> 8) % 4;
    case 1:
      return (r >> 8) % 17;
    case 2:
      return (r >> 8) % 300;
    default:
      return (r >> 8) % 70000;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  SplitMix rng{load_le64(data)};
  const ByteView bytes(data + 8, size - 8);

  // The whole-buffer verdict, and where the end record ends.
  std::optional<ContainerError> whole_error;
  std::size_t end_at = 0;
  std::size_t records = 0;
  if (auto reader = ContainerReader::create(bytes)) {
    auto all = reader->read_all_records();
    if (all) {
      end_at = reader->position();
      records = all->size();
    } else {
      whole_error = all.error();
    }
  } else {
    whole_error = reader.error();
  }
  const bool incomplete = whole_error && (whole_error->kind == ContainerErrorKind::Truncated ||
                                          whole_error->kind == ContainerErrorKind::MissingEnd ||
                                          whole_error->kind == ContainerErrorKind::BadHeader);

  ContainerAssembler a;
  std::size_t pushed = 0;
  bool completed = false;
  std::optional<ContainerError> assembler_error;
  while (pushed < bytes.size() || pushed == 0) {
    const std::size_t n = std::min(piece_length(rng), bytes.size() - pushed);
    auto status = a.push(bytes.subspan(pushed, n));
    pushed += n;
    if (!status) {
      assembler_error = status.error();
      break;
    }
    switch (*status) {
      case AssemblyStatus::NoData:
        check(pushed == 0);
        break;
      case AssemblyStatus::NeedMore:
        check(pushed > 0);
        check(whole_error || pushed < end_at);
        break;
      case AssemblyStatus::Complete:
        check(!whole_error && pushed >= end_at);
        if (!completed) check(pushed - n < end_at);  // not already complete before this piece
        completed = true;
        break;
    }
    if (bytes.empty()) break;
  }
  check(a.buffer().size() == pushed);
  check(std::equal(a.buffer().begin(), a.buffer().end(), bytes.begin()));

  if (!whole_error) {
    check(completed && !assembler_error);
    auto again = ContainerReader::create(a.buffer());
    check(again.ok());
    auto all = again->read_all_records();
    check(all.ok() && all->size() == records);
  } else if (incomplete) {
    check(!completed && !assembler_error);
  } else {
    check(assembler_error.has_value() && *assembler_error == *whole_error);
  }
  return 0;
}
