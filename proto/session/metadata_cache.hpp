// The metadata cache: function interfaces and dictionary types fetched from an
// ABAP system on first use and kept, so that later calls need no extra
// exchange with the server.
//
// Four maps under one reader-writer lock: function descriptions, structure
// layouts, data-element decimals and table-type lines. Every entry is keyed by
// the scope of the session that fetched it (where the caller connected: host
// or message server and group, route, client; and the system ID its logon
// reported, RfcConnection::metadata_scope) and by the ASCII upper-cased name.
// A description fetched from one destination never encodes or decodes a call
// to another one that shares the process-wide instance, whatever system ID a
// server claims. Each map hashes with its own random seed.
//
// The lock is held only inside each operation, never across a network call:
// callers look up, release, fetch, then insert. Values are shared: a value
// handed out stays valid after it has been replaced or forgotten.
//
// The cache belongs to the session (each RfcConnection holds one, and the
// message-server opener makes a fresh one at every open), so it lives in the
// session layer. It stores shared pointers to the types it names below and
// needs none of their definitions: it knows nothing of the lookups that
// fill it (proto/metadata).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quib::proto {

struct FunctionDescription;  // proto/call/description.hpp
struct StructureLayout;      // proto/call/structure.hpp
struct TableTypeLine;        // proto/metadata/dictionary.hpp: the DD40L line of a table type

// The key of every cache entry: the session's scope (held in `system_id`:
// the destination and the system ID the logon reply gave) and the
// upper-cased name.
struct MetadataKey {
  std::string system_id;
  std::string name;
  friend bool operator==(const MetadataKey&, const MetadataKey&) = default;
};

// A borrowed form of the key, for look-ups that allocate nothing.
struct MetadataKeyView {
  std::string_view system_id;
  std::string_view name;
};

struct MetadataKeyEqual {
  using is_transparent = void;
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    return std::string_view(a.system_id) == std::string_view(b.system_id) &&
           std::string_view(a.name) == std::string_view(b.name);
  }
};

// A keyed hash with a per-instance random seed.
class SeededHash {
 public:
  SeededHash();  // draws a fresh seed from the operating system's random source
  explicit SeededHash(std::uint64_t seed) : seed_(seed) {}
  using is_transparent = void;
  std::size_t operator()(const MetadataKey& key) const {
    return (*this)(MetadataKeyView{key.system_id, key.name});
  }
  std::size_t operator()(const MetadataKeyView& key) const;
  std::uint64_t seed() const { return seed_; }

 private:
  std::uint64_t seed_;
};

class MetadataCache {
 public:
  using FunctionPtr = std::shared_ptr<const FunctionDescription>;
  using LayoutPtr = std::shared_ptr<const StructureLayout>;
  // A stored table-type line: null records that DD40L had no line.
  using LinePtr = std::shared_ptr<const TableTypeLine>;

  // Empty maps, each with a fresh random seed.
  MetadataCache() = default;
  MetadataCache(const MetadataCache&) = delete;
  MetadataCache& operator=(const MetadataCache&) = delete;

  // Function descriptions. `name` must already be upper-cased by the caller.
  FunctionPtr get_function_description(std::string_view system_id, std::string_view name) const;
  void put_function_description(std::string_view system_id, std::string_view name,
                                FunctionPtr description);
  // Removes the entry if present; upper-cases a copy of `name` itself.
  void forget_function_description(std::string_view system_id, std::string_view name);

  // Structure layouts.
  LayoutPtr get_structure_layout(std::string_view system_id, std::string_view name) const;
  void put_structure_layout(std::string_view system_id, std::string_view name, LayoutPtr layout);

  // Data-element decimals: nullopt when the name is not present.
  std::optional<std::uint32_t> get_element_decimals(std::string_view system_id,
                                                    std::string_view name) const;
  void put_element_decimals(std::string_view system_id, std::string_view name,
                            std::uint32_t decimals);

  // Table-type lines: nullopt when the name is not present; a present entry
  // holds the stored line or null (no line).
  std::optional<LinePtr> get_table_type_line(std::string_view system_id,
                                             std::string_view name) const;
  void put_table_type_line(std::string_view system_id, std::string_view name, LinePtr line);

  // Number of cached function descriptions (all systems).
  std::size_t function_count() const;

 private:
  friend std::shared_ptr<MetadataCache> metadata_cache();
  // The at-fork handlers of the process-wide instance: a fork waits until
  // no thread is inside the maps, and the child gets the lock free (its
  // holder at the fork, the forking thread, has another thread id there).
  void hold_for_fork();
  void release_in_parent();
  void release_in_child();

  template <class V>
  using Map = std::unordered_map<MetadataKey, V, SeededHash, MetadataKeyEqual>;

  mutable std::shared_mutex lock_;
  Map<FunctionPtr> functions_;
  Map<LayoutPtr> layouts_;
  Map<std::uint32_t> decimals_;
  Map<LinePtr> lines_;
};

// A new shared reference to the process-wide instance (built on first use,
// never released). Sessions opened directly, through SAProuter or over
// WebSocket RFC share it; a session opened through a message server gets a
// fresh instance of its own (std::make_shared<MetadataCache>()) at every open.
// A child of fork() keeps the parent's entries and finds the lock free.
std::shared_ptr<MetadataCache> metadata_cache();

}  // namespace quib::proto
