// Structure images and table rows straight into Python dicts.
//
// A table of a million rows is the binding's heaviest conversion, so its
// rows are read here in one pass from their bytes: each field of a common
// kind (text, packed, integer, float, date, time) becomes its Python object
// directly from the image, without a field value in between; the field
// names are built once per layout and every row dict is a copy of a
// presized template holding them. Other kinds, and bytes the direct readers
// do not take (odd widths, unpaired surrogates, dates that are no dates),
// go through the field codec and value_to_py. A row that fails is read once
// more by StructureReader, so that the error raised is exactly the one the
// field-value conversion gives. The results equal StructureReader's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ext/convert.hpp"

namespace quib::ext {

class RowReader {
 public:
  // A reader of images of `image_size` bytes. `many` (a table of more than
  // one row) makes every row a copy of a presized dict of the field names
  // and keeps caches of the values read; neither pays for one image.
  RowReader(ModuleState& ms, const proto::StructureLayout& layout, ReadFlags flags,
            std::size_t image_size, bool many);
  ~RowReader();
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  // False with the Python error set when the names could not be built.
  bool ok() const { return ok_; }
  // One image of `image_size` bytes as a new dict, or null with the Python
  // error set. The dicts of one reader must stay alive until the reader is
  // dropped (their values may be handed out again).
  PyObject* read(const std::uint8_t* image);

 private:
  enum class Op : std::uint8_t {
    Text,
    TextRstrip,
    Date,
    Time,
    Bcd,
    Int1,
    Int2,
    Int4,
    Int8,
    Float,
    General
  };

  // A cache of immutable results (short texts, dates, times, packed
  // numbers) by the bytes they were made from: repeated values share one
  // object. The references are borrowed: every object in a cache sits in a
  // row that the table being read holds, and the caches are emptied
  // whenever a row is dropped.
  //
  // An open-addressing table that keeps every value it is given until it
  // holds `most` of them: a column that cycles through a few thousand
  // values finds each again however they are ordered. A cache that is full
  // and then finds fewer than one value in kCacheWorthIt of those it is
  // asked for, over as many lookups as it holds values, is switched off (a
  // column whose values hardly repeat).
  class ValueCache {
   public:
    explicit ValueCache(std::size_t most) : most_(most) {}
    // The object kept for the key, borrowed, or null.
    PyObject* find(std::uint64_t lo, std::uint64_t hi);
    void keep(std::uint64_t lo, std::uint64_t hi, PyObject* obj);
    void clear();

   private:
    struct Slot {
      std::uint64_t lo = 0, hi = 0;
      PyObject* obj = nullptr;  // null: an empty slot
    };
    void grow();

    std::vector<Slot> slots_;  // a power of two, at most half of them used
    unsigned shift_ = 64;      // 64 - log2 of the slot count
    std::size_t used_ = 0;
    std::size_t most_;
    // Lookups and hits since the cache filled up.
    std::uint32_t lookups_ = 0;
    std::uint32_t hits_ = 0;
    bool off_ = false;
  };

  struct Column {
    const proto::FieldLayout* field;
    wire::AbapType type;  // what the value converts by: the first field of that name
    PyObject* key;        // interned, owned
    std::size_t offset = 0;
    std::size_t width = 0;
    std::uint32_t decimals = 0;
    Op op = Op::General;
    int cache = -1;  // index into caches_, or none
    // The key and object of the column's previous cached value: a value
    // repeated from the row before (a table sorted by this column) is found
    // without a lookup. Borrowed like the caches' objects.
    std::uint64_t last_lo = 0, last_hi = 0;
    PyObject* last = nullptr;
  };

  // The direct reader of a column whose field has the type `own`, if any,
  // and its cache.
  void plan(Column& col, wire::AbapType own);
  PyObject* field(Column& c, const std::uint8_t* p);
  PyObject* general(const Column& c, const std::uint8_t* p);
  PyObject* text(Column& c, const std::uint8_t* p, bool rstrip);
  PyObject* date_or_time(Column& c, const std::uint8_t* p, bool date);
  PyObject* packed(Column& c, const std::uint8_t* p);
  // The field's UTF-16 code units cut to their low byte into scratch_; the
  // result is all units or-ed together (below 0x80: ASCII, below 0x100:
  // Latin-1, and the bytes are then the text).
  unsigned narrow(const std::uint8_t* p, std::size_t units);
  // The cached object of the column for the key (a new reference), or
  // null; keep() caches a new one.
  PyObject* cached(Column& c, std::uint64_t lo, std::uint64_t hi);
  void keep(Column& c, std::uint64_t lo, std::uint64_t hi, PyObject* obj);
  void forget();
  // The row read again by StructureReader, for its result or its error.
  PyObject* reread(const std::uint8_t* image);

  ModuleState& ms_;
  const proto::StructureLayout& layout_;
  ReadFlags flags_;
  std::size_t image_size_;
  // False when some field lies outside the image: every row then goes
  // through StructureReader, which raises the layout's error.
  bool direct_ = true;
  bool ok_ = true;
  bool many_ = false;
  std::vector<Column> columns_;
  std::vector<ValueCache> caches_;
  // The caches that the Date and the Time columns of one op and width
  // share: their values come from one domain.
  struct SharedCache {
    Op op;
    std::size_t width;
    int cache;
  };
  std::vector<SharedCache> shared_caches_;
  std::string scratch_;
  PyRef template_;
};

}  // namespace quib::ext
