#include "ext/rows.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "ext/errors.hpp"
#include "proto/call/reply.hpp"
#include "wire/ascii.hpp"
#include "wire/bytes.hpp"
#include "wire/utf.hpp"

namespace quib::ext {

using wire::AbapType;

namespace {

// Packed fields read directly: up to this many bytes and decimals (the text
// of such a number fits kPackedText); wider ones go through the codec.
constexpr std::size_t kMaxPackedBytes = 32;
constexpr std::uint32_t kMaxPackedDecimals = 31;
constexpr std::size_t kPackedText = wire::packed_text_size(kMaxPackedBytes, kMaxPackedDecimals);
// Packed fields of at most this many bytes are cached by their bytes.
constexpr std::size_t kCachedPackedBytes = 16;

// How often (in rows) a long table lets the interpreter attend to what is
// pending.
constexpr std::size_t kPauseEveryRows = 32;

// The most values a cache keeps: dates and times more (their columns share
// one cache, and a table of some years holds thousands of distinct days).
constexpr std::size_t kCacheMost = 4096;
constexpr std::size_t kDateCacheMost = 8192;
// A full cache that finds fewer than one value in kCacheWorthIt of those
// it is asked for (judged over as many lookups as it holds values) is
// switched off.
constexpr std::uint32_t kCacheWorthIt = 16;
constexpr std::size_t kFirstSlots = 64;
// Whole packed numbers of up to this many bytes (19 digits) are made from
// a 64-bit integer.
constexpr std::size_t kIntegerPackedBytes = 10;
// Texts of at most this many characters are cached by their characters;
// fields of at most kRawKeyBytes bytes by their bytes.
constexpr std::size_t kCachedChars = 15;
constexpr std::size_t kRawKeyBytes = 16;
constexpr unsigned kAsciiMax = 0x7F;
constexpr unsigned kLatin1Max = 0xFF;

bool is_ascii_space(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
// White space among the first 256 characters: the ASCII ones, U+0085, U+00A0.
bool is_latin1_space(unsigned char c) {
  return is_ascii_space(static_cast<char>(c)) || c == 0x85 || c == 0xA0;
}
bool is_surrogate(std::uint16_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// The slot of a key in a table of 2^(64 - shift) slots: the top bits of a
// product, which every bit of the key reaches (keys such as dates differ
// in their last characters only, which are the high bytes).
std::size_t slot_of(std::uint64_t lo, std::uint64_t hi, unsigned shift) {
  const std::uint64_t h = (lo ^ std::rotl(hi * 0x9E3779B97F4A7C15ull, 32)) * 0xD6E8FEB86659FD93ull;
  return static_cast<std::size_t>(h >> shift);
}

// The value of a packed byte's two digit nibbles (0 to 99), or 0xFF when
// a nibble is above 9.
constexpr auto kPackedPair = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    t[b] =
        (b >> 4) > 9 || (b & 15) > 9 ? 0xFF : static_cast<std::uint8_t>((b >> 4) * 10 + (b & 15));
  return t;
}();

// The magnitude of a packed number of up to kIntegerPackedBytes bytes, and
// whether its sign nibble is 0xD; nothing when a digit nibble is above 9.
std::optional<std::uint64_t> packed_magnitude(const std::uint8_t* p, std::size_t n,
                                              bool& negative) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const std::uint8_t pair = kPackedPair[p[i]];
    if (pair > 99) return std::nullopt;
    v = v * 100 + pair;
  }
  const unsigned last = p[n - 1] >> 4;
  if (last > 9) return std::nullopt;
  negative = (p[n - 1] & 0x0F) == 0x0D;
  return v * 10 + last;
}

// Up to 16 bytes as the two halves of a cache key.
void key_of(const std::uint8_t* p, std::size_t n, std::uint64_t& lo, std::uint64_t& hi) {
  std::uint8_t buf[16] = {};
  std::memcpy(buf, p, std::min<std::size_t>(n, sizeof buf));
  std::memcpy(&lo, buf, 8);
  std::memcpy(&hi, buf + 8, 8);
}

// Runs a function written in Python that does nothing. Entering it, the
// interpreter does what it does between the bytecodes of any Python loop:
// it hands the interpreter lock to a thread that has waited a switch
// interval for it, and runs pending signal handlers (whose exception, a
// KeyboardInterrupt for one, stops the table). False with the Python error
// set.
bool pause_for_the_interpreter(ModuleState& ms) {
  PyObject*& nothing = ms.pause_function;  // made once, kept in the state
  if (!nothing) {
    PyRef code(Py_CompileString("lambda: None", "<lomra>", Py_eval_input));
    PyRef globals(code ? PyDict_New() : nullptr);
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
      return false;
    nothing = PyEval_EvalCode(code.get(), globals.get(), globals.get());
    if (!nothing) return false;
  }
  PyRef r(PyObject_CallNoArgs(nothing));
  return static_cast<bool>(r);
}

}  // namespace

RowReader::RowReader(ModuleState& ms, const proto::StructureLayout& layout, ReadFlags flags,
                     std::size_t image_size, bool many)
    : ms_(ms), layout_(layout), flags_(flags), image_size_(image_size), many_(many) {
  std::size_t widest_text = 0;
  for (const proto::FieldLayout& f : layout.fields) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(f.offset, f.width, &end) || (f.width != 0 && end > image_size))
      direct_ = false;
    if (f.width == 0) continue;
    PyObject* key = field_key(f);
    if (!key) {
      ok_ = false;
      return;
    }
    columns_.push_back(Column{&f, conversion_type(layout, f), key});
    if (!direct_) continue;
    Column& col = columns_.back();
    col.offset = static_cast<std::size_t>(f.offset);
    col.width = static_cast<std::size_t>(f.width);
    col.decimals = static_cast<std::uint32_t>(f.decimals);
    plan(col, f.abap_type);
    if (col.op == Op::Text || col.op == Op::TextRstrip || col.op == Op::Date || col.op == Op::Time)
      widest_text = std::max(widest_text, col.width / 2);
  }
  scratch_.resize(widest_text);
  if (many && direct_) {
    PyRef names(PyDict_New());
    if (!names) {
      ok_ = false;
      return;
    }
    for (const Column& c : columns_) {
      if (PyDict_SetItem(names.get(), c.key, Py_None) < 0) {
        ok_ = false;
        return;
      }
    }
    // dict.fromkeys of a dict sizes the new dict for that many keys, so the
    // rows copied from it hold no spare room.
    template_ = PyRef(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyDict_Type), "fromkeys",
                                          "O", names.get()));
    if (!template_) ok_ = false;
  }
}

void RowReader::plan(Column& col, AbapType own) {
  // The direct readers cover a field whose value converts by its own type.
  if (!(col.type == own)) return;
  const bool even = col.width % 2 == 0;
  bool cached = false;
  bool shared = false;
  switch (own.kind) {
    case AbapType::Char:
    case AbapType::Numc:
      if (even) col.op = flags_.rstrip ? Op::TextRstrip : Op::Text;
      cached = even;
      break;
    case AbapType::Date:
    case AbapType::Time:
      if (even) col.op = !flags_.dtime ? Op::Text : own == AbapType::Date ? Op::Date : Op::Time;
      cached = even;
      shared = true;
      break;
    case AbapType::Bcd:
      if (col.width <= kMaxPackedBytes && col.decimals <= kMaxPackedDecimals) col.op = Op::Bcd;
      cached = col.op == Op::Bcd && col.width <= kCachedPackedBytes;
      break;
    default: {
      // The binary numbers, each with the bytes it needs.
      struct Binary {
        AbapType::Kind kind;
        Op op;
        std::size_t bytes;
      };
      static constexpr Binary kBinary[] = {{AbapType::Int1, Op::Int1, 1},
                                           {AbapType::Int2, Op::Int2, 2},
                                           {AbapType::Int4, Op::Int4, 4},
                                           {AbapType::Int8, Op::Int8, 8},
                                           {AbapType::Float, Op::Float, 8}};
      for (const Binary& b : kBinary)
        if (b.kind == own.kind && col.width >= b.bytes) col.op = b.op;
      break;
    }
  }
  if (!cached || !many_) return;
  if (shared) {
    for (const SharedCache& sc : shared_caches_) {
      if (sc.op == col.op && sc.width == col.width) {
        col.cache = sc.cache;
        return;
      }
    }
  }
  col.cache = static_cast<int>(caches_.size());
  caches_.emplace_back(shared ? kDateCacheMost : kCacheMost);
  if (shared) shared_caches_.push_back(SharedCache{col.op, col.width, col.cache});
}

RowReader::~RowReader() {
  for (Column& c : columns_) Py_XDECREF(c.key);
}

PyObject* RowReader::read(const std::uint8_t* image) {
  if (!direct_) return reread(image);
  PyRef dict(template_ ? PyDict_Copy(template_.get()) : PyDict_New());
  if (!dict) return nullptr;
  for (Column& c : columns_) {
    PyObject* v = field(c, image + c.offset);
    if (!v) return reread(image);
    const int rc = PyDict_SetItem(dict.get(), c.key, v);
    Py_DECREF(v);
    if (rc < 0) return nullptr;
  }
  return dict.release();
}

PyObject* RowReader::reread(const std::uint8_t* image) {
  // The values of the dropped row may have gone with it.
  forget();
  PyErr_Clear();
  StructureReader reader(ms_, layout_, flags_);
  if (!reader.ok()) return nullptr;
  return reader.read(wire::ByteView(image, image_size_));
}

PyObject* RowReader::field(Column& c, const std::uint8_t* p) {
  switch (c.op) {
    case Op::Text:
      return text(c, p, false);
    case Op::TextRstrip:
      return text(c, p, true);
    case Op::Date:
      return date_or_time(c, p, true);
    case Op::Time:
      return date_or_time(c, p, false);
    case Op::Bcd:
      return packed(c, p);
    case Op::Int1:
      return PyLong_FromLong(p[0]);
    case Op::Int2:
      return PyLong_FromLong(static_cast<std::int16_t>(wire::load_le16(p)));
    case Op::Int4:
      return PyLong_FromLong(static_cast<std::int32_t>(wire::load_le32(p)));
    case Op::Int8:
      return PyLong_FromLongLong(static_cast<long long>(wire::load_le64(p)));
    case Op::Float: {
      const std::uint64_t bits = wire::load_le64(p);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return PyFloat_FromDouble(d);
    }
    case Op::General:
      break;
  }
  return general(c, p);
}

PyObject* RowReader::general(const Column& c, const std::uint8_t* p) {
  const proto::FieldLayout& f = *c.field;
  auto value = wire::decode_field_with_decimals(wire::ByteView(p, c.width), f.abap_type,
                                                static_cast<std::uint32_t>(f.decimals));
  if (!value) return nullptr;  // the row is read again, and that raises
  return value_to_py(ms_, f.name, c.type, value.value(), flags_);
}

unsigned RowReader::narrow(const std::uint8_t* p, std::size_t units) {
  char* out = scratch_.data();
  unsigned seen = 0;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint16_t u = wire::load_le16(p + 2 * i);
    seen |= u;
    out[i] = static_cast<char>(u);
  }
  return seen;
}

PyObject* RowReader::text(Column& c, const std::uint8_t* p, bool rstrip) {
  // A field of up to kRawKeyBytes bytes is looked up by its bytes before
  // anything is read from them; a longer one by its characters, once they
  // are narrowed and trimmed.
  const bool raw_key = c.cache >= 0 && c.width <= kRawKeyBytes;
  std::uint64_t lo = 0, hi = 0;
  if (raw_key) {
    key_of(p, c.width, lo, hi);
    if (PyObject* hit = cached(c, lo, hi)) return hit;
  }
  const std::size_t units = c.width / 2;
  const unsigned seen = narrow(p, units);
  if (seen <= kLatin1Max) {
    // One byte a character: the narrowed units are the text.
    const char* t = scratch_.data();
    std::size_t end = units;
    if (rstrip)
      while (end > 0 && is_latin1_space(static_cast<unsigned char>(t[end - 1]))) --end;
    const bool keyed = raw_key || (c.cache >= 0 && end <= kCachedChars);
    if (keyed && !raw_key) {
      key_of(reinterpret_cast<const std::uint8_t*>(t), end, lo, hi);
      hi |= std::uint64_t{end} << 56;
      if (PyObject* hit = cached(c, lo, hi)) return hit;
    }
    PyObject* obj = PyUnicode_DecodeLatin1(t, static_cast<Py_ssize_t>(end), nullptr);
    if (obj && keyed) keep(c, lo, hi, obj);
    return obj;
  }
  // Beyond Latin-1 the interpreter's UTF-16 decoder reads the units; a field
  // with a surrogate (paired or not) is left to the codec, whose handling
  // of unpaired ones is the reference.
  for (std::size_t i = 0; i < units; ++i)
    if (is_surrogate(wire::load_le16(p + 2 * i))) return general(c, p);
  std::size_t end = units;
  if (rstrip)
    while (end > 0 && wire::is_unicode_space(wire::load_le16(p + 2 * (end - 1)))) --end;
  int little_endian = -1;
  return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(2 * end),
                               nullptr, &little_endian);
}

PyObject* RowReader::date_or_time(Column& c, const std::uint8_t* p, bool date) {
  // Looked up by the field's bytes first, as text() does; a wider field by
  // its digits.
  const bool raw_key = c.width <= kRawKeyBytes;
  std::uint64_t lo = 0, hi = 0;
  if (raw_key) {
    key_of(p, c.width, lo, hi);
    if (PyObject* hit = cached(c, lo, hi)) return hit;
  }
  if (narrow(p, c.width / 2) > kAsciiMax) return general(c, p);
  std::string_view t(scratch_.data(), c.width / 2);
  while (!t.empty() && is_ascii_space(t.back())) t.remove_suffix(1);
  while (!t.empty() && is_ascii_space(t.front())) t.remove_prefix(1);
  PyObject* obj = nullptr;
  // Blank, and the initial date (zeros only), are None.
  if (t.empty() || (date && t.find_first_not_of('0') == std::string_view::npos)) {
    obj = Py_None;
    Py_INCREF(obj);
  } else {
    const std::size_t digits = date ? kDateDigits : kTimeDigits;
    if (t.size() != digits || !wire::all_digits(t)) return general(c, p);
    if (!raw_key) {
      std::memcpy(&lo, t.data(), digits);
      if (PyObject* hit = cached(c, lo, 0)) return hit;
    }
    obj = date ? date_from_digits(ms_, t) : time_from_digits(ms_, t);
  }
  if (obj && (raw_key || obj != Py_None)) keep(c, lo, hi, obj);
  return obj;
}

PyObject* RowReader::packed(Column& c, const std::uint8_t* p) {
  const std::size_t n = c.width;
  std::uint64_t lo = 0, hi = 0;
  if (c.cache >= 0) {
    key_of(p, n, lo, hi);
    if (PyObject* hit = cached(c, lo, hi)) return hit;
  }
  if (c.decimals == 0 && n <= kIntegerPackedBytes) {
    // A whole number is made from its integer, which Decimal reads faster
    // than text; a negative zero keeps its sign only as text.
    bool negative = false;
    const auto magnitude = packed_magnitude(p, n, negative);
    if (!magnitude) return general(c, p);
    if ((*magnitude != 0 || !negative) &&
        *magnitude <= static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) {
      const long long v = static_cast<long long>(*magnitude);
      PyObject* obj = decimal_from_integer(ms_, negative ? -v : v);
      if (obj && c.cache >= 0) keep(c, lo, hi, obj);
      return obj;
    }
  }
  char digits[2 * kMaxPackedBytes];
  char text[kPackedText];
  const auto len = wire::unpack_bcd_into(wire::ByteView(p, n), c.decimals, digits, text);
  if (!len) return general(c, p);
  PyObject* obj = decimal_from_text(ms_, std::string_view(text, *len));
  if (obj && c.cache >= 0) keep(c, lo, hi, obj);
  return obj;
}

PyObject* RowReader::cached(Column& c, std::uint64_t lo, std::uint64_t hi) {
  if (c.cache < 0) return nullptr;
  PyObject* hit = nullptr;
  if (c.last && c.last_lo == lo && c.last_hi == hi) {
    hit = c.last;
  } else {
    hit = caches_[static_cast<std::size_t>(c.cache)].find(lo, hi);
    if (!hit) return nullptr;
    c.last_lo = lo;
    c.last_hi = hi;
    c.last = hit;
  }
  Py_INCREF(hit);
  return hit;
}

void RowReader::keep(Column& c, std::uint64_t lo, std::uint64_t hi, PyObject* obj) {
  if (c.cache < 0) return;
  caches_[static_cast<std::size_t>(c.cache)].keep(lo, hi, obj);
  c.last_lo = lo;
  c.last_hi = hi;
  c.last = obj;
}

void RowReader::forget() {
  for (ValueCache& c : caches_) c.clear();
  for (Column& c : columns_) c.last = nullptr;
}

PyObject* RowReader::ValueCache::find(std::uint64_t lo, std::uint64_t hi) {
  if (off_ || used_ == 0) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  PyObject* hit = nullptr;
  for (std::size_t i = slot_of(lo, hi, shift_);; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (!s.obj) break;
    if (s.lo == lo && s.hi == hi) {
      hit = s.obj;
      break;
    }
  }
  if (used_ == most_) {
    // Full: judged over as many lookups as it holds values, and again
    // after every such stretch.
    ++lookups_;
    if (hit) ++hits_;
    if (lookups_ == most_) {
      if (hits_ < most_ / kCacheWorthIt) {
        off_ = true;
        slots_ = {};
      }
      lookups_ = hits_ = 0;
    }
  }
  return hit;
}

void RowReader::ValueCache::keep(std::uint64_t lo, std::uint64_t hi, PyObject* obj) {
  if (off_ || used_ == most_) return;
  if (2 * (used_ + 1) > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = slot_of(lo, hi, shift_);
  while (slots_[i].obj) {
    if (slots_[i].lo == lo && slots_[i].hi == hi) {
      slots_[i].obj = obj;
      return;
    }
    i = (i + 1) & mask;
  }
  slots_[i] = Slot{lo, hi, obj};
  ++used_;
}

void RowReader::ValueCache::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(std::max(kFirstSlots, 2 * old.size()), Slot{});
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (!s.obj) continue;
    std::size_t i = slot_of(s.lo, s.hi, shift_);
    while (slots_[i].obj) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void RowReader::ValueCache::clear() {
  std::fill(slots_.begin(), slots_.end(), Slot{});
  used_ = 0;
  lookups_ = hits_ = 0;
}

PyObject* structure_to_py(ModuleState& ms, const proto::StructureLayout& layout,
                          wire::ByteView image, ReadFlags flags) {
  RowReader reader(ms, layout, flags, image.size(), false);
  if (!reader.ok()) return nullptr;
  return reader.read(image.data());
}

namespace {

// The dicts of a table's rows as they are read. They are gathered outside
// any Python object and the list is made at the end: while other threads
// hold the interpreter lock, nothing of this table is reachable from
// Python.
class RowList {
 public:
  RowList(ModuleState& ms, const proto::StructureLayout& layout, ReadFlags flags, std::size_t width,
          std::size_t expected, const KeepConverting& keep_going)
      : ms_(ms),
        reader_(ms, layout, flags, width, expected > 1),
        width_(width),
        keep_going_(keep_going) {
    rows_.reserve(expected);
  }
  ~RowList() {
    for (PyObject* r : rows_) Py_DECREF(r);
  }
  RowList(const RowList&) = delete;
  RowList& operator=(const RowList&) = delete;

  bool ok() const { return reader_.ok(); }

  // Reads `n` rows of the width from `bytes`; false when a row failed (the
  // Python error set) or keep_going said stop (none set).
  bool read(const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* row = reader_.read(bytes + i * width_);
      if (!row) return false;
      rows_.push_back(row);
      // Other threads get the interpreter lock as they would from a Python
      // loop: once one has waited a switch interval for it.
      if (rows_.size() % kPauseEveryRows == 0) {
        if (keep_going_ && !keep_going_()) return false;
        if (!pause_for_the_interpreter(ms_)) return false;
      }
    }
    return true;
  }

  // The list of the rows read; null with the Python error set.
  PyObject* take() {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows_.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rows_.size(); ++i)
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), rows_[i]);  // steals
    rows_.clear();
    return list;
  }

 private:
  ModuleState& ms_;
  RowReader reader_;
  std::size_t width_;
  const KeepConverting& keep_going_;
  std::vector<PyObject*> rows_;
};

}  // namespace

PyObject* table_to_py(ModuleState& ms, const proto::StructureLayout& layout,
                      const proto::RfcTable& table, ReadFlags flags,
                      const KeepConverting& keep_going) {
  const std::size_t n =
      static_cast<std::size_t>(std::min<std::uint64_t>(table.chunk_count(), table.row_count()));
  const std::size_t width =
      static_cast<std::size_t>(table.row_width() == 0 ? 1 : table.row_width());
  RowList rows(ms, layout, flags, width, n, keep_going);
  if (!rows.ok() || !rows.read(table.bytes().data(), n)) return nullptr;
  return rows.take();
}

PyObject* left_compressed_table_to_py(ModuleState& ms, const proto::StructureLayout& layout,
                                      const proto::ReplyTable& table, std::uint64_t& budget_left,
                                      ReadFlags flags, const KeepConverting& keep_going) {
  const std::uint64_t width = std::max<std::uint64_t>(table.declared_width, 1);
  // The declared count is the peer's word: room for no more rows than the
  // expansion may make, and for a million at first.
  const std::uint64_t expected =
      std::min({table.declared_count, budget_left / width, std::uint64_t{1} << 20});
  RowList rows(ms, layout, flags, static_cast<std::size_t>(width),
               static_cast<std::size_t>(expected), keep_going);
  if (!rows.ok()) return nullptr;
  bool refused = false;
  auto status = proto::read_left_compressed_rows(
      table, budget_left, keep_going, [&](wire::ByteView bytes, std::uint64_t count) {
        refused = !rows.read(bytes.data(), static_cast<std::size_t>(count));
        return !refused;
      });
  // A row that failed has set the Python error; a stop (of the rows or of
  // the expansion) sets none.
  if (refused || PyErr_Occurred()) return nullptr;
  if (!status) {
    if (keep_going && !keep_going()) return nullptr;
    return raise_protocol_error(ms, status.error());
  }
  return rows.take();
}

}  // namespace quib::ext
