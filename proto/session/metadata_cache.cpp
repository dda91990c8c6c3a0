#include "proto/session/metadata_cache.hpp"

#include <pthread.h>

#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <shared_mutex>

#include "wire/utf.hpp"

namespace quib::proto {

namespace {

std::uint64_t random_seed() {
  std::random_device rd;
  return (std::uint64_t{rd()} << 32) ^ std::uint64_t{rd()};
}

// The finaliser of SplitMix64: every input bit affects every output bit.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

std::uint64_t absorb(std::uint64_t h, std::string_view s) {
  // The length goes in first, so that ("AB", "C") and ("A", "BC") differ.
  h = mix(h ^ (s.size() + 0x9e3779b97f4a7c15ull));
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = mix(h ^ w);
  }
  std::uint64_t tail = 0;
  if (s.size() > i) std::memcpy(&tail, s.data() + i, s.size() - i);
  return mix(h ^ tail ^ (std::uint64_t{s.size() - i} << 56));
}

// The entry under (system_id, name), read with the lock shared; nothing when
// there is none.
template <class Map>
std::optional<typename Map::mapped_type> find_shared(std::shared_mutex& lock, const Map& map,
                                                     std::string_view system_id,
                                                     std::string_view name) {
  std::shared_lock guard(lock);
  auto it = map.find(MetadataKeyView{system_id, name});
  if (it == map.end()) return std::nullopt;
  return it->second;
}

// Stores `value` under (system_id, name). A value it replaces is released
// only after the lock: its destructor runs outside the critical section.
template <class Map>
void put_replacing(std::shared_mutex& lock, Map& map, std::string_view system_id,
                   std::string_view name, typename Map::mapped_type value) {
  typename Map::mapped_type replaced;
  std::unique_lock guard(lock);
  auto [it, inserted] =
      map.try_emplace(MetadataKey{std::string(system_id), std::string(name)}, value);
  if (!inserted) {
    replaced = std::move(it->second);
    it->second = std::move(value);
  }
}

}  // namespace

SeededHash::SeededHash() : seed_(random_seed()) {}

std::size_t SeededHash::operator()(const MetadataKeyView& key) const {
  return static_cast<std::size_t>(absorb(absorb(seed_, key.system_id), key.name));
}

MetadataCache::FunctionPtr MetadataCache::get_function_description(std::string_view system_id,
                                                                   std::string_view name) const {
  return find_shared(lock_, functions_, system_id, name).value_or(nullptr);
}

void MetadataCache::put_function_description(std::string_view system_id, std::string_view name,
                                             FunctionPtr description) {
  put_replacing(lock_, functions_, system_id, name, std::move(description));
}

void MetadataCache::forget_function_description(std::string_view system_id, std::string_view name) {
  const std::string key = wire::ascii_upper(name);
  FunctionPtr dropped;
  std::unique_lock guard(lock_);
  auto it = functions_.find(MetadataKeyView{system_id, key});
  if (it != functions_.end()) {
    dropped = std::move(it->second);
    functions_.erase(it);
  }
}

MetadataCache::LayoutPtr MetadataCache::get_structure_layout(std::string_view system_id,
                                                             std::string_view name) const {
  return find_shared(lock_, layouts_, system_id, name).value_or(nullptr);
}

void MetadataCache::put_structure_layout(std::string_view system_id, std::string_view name,
                                         LayoutPtr layout) {
  put_replacing(lock_, layouts_, system_id, name, std::move(layout));
}

std::optional<std::uint32_t> MetadataCache::get_element_decimals(std::string_view system_id,
                                                                 std::string_view name) const {
  return find_shared(lock_, decimals_, system_id, name);
}

void MetadataCache::put_element_decimals(std::string_view system_id, std::string_view name,
                                         std::uint32_t decimals) {
  std::unique_lock guard(lock_);
  decimals_.insert_or_assign(MetadataKey{std::string(system_id), std::string(name)}, decimals);
}

std::optional<MetadataCache::LinePtr> MetadataCache::get_table_type_line(
    std::string_view system_id, std::string_view name) const {
  return find_shared(lock_, lines_, system_id, name);
}

void MetadataCache::put_table_type_line(std::string_view system_id, std::string_view name,
                                        LinePtr line) {
  put_replacing(lock_, lines_, system_id, name, std::move(line));
}

std::size_t MetadataCache::function_count() const {
  std::shared_lock guard(lock_);
  return functions_.size();
}

void MetadataCache::hold_for_fork() { lock_.lock(); }

void MetadataCache::release_in_parent() { lock_.unlock(); }

void MetadataCache::release_in_child() {
  // A reader-writer lock knows its writer by thread id, which the forking
  // thread changed in the child: unlocking would count as a reader's
  // unlock. Nobody else can hold it here, so a new, free lock takes its
  // place (the old one needs no destruction).
  new (&lock_) std::shared_mutex;
}

std::shared_ptr<MetadataCache> metadata_cache() {
  // Built once, never released: the instance outlives every connection.
  static MetadataCache* process_wide = nullptr;
  static std::shared_ptr<MetadataCache>* const instance = [] {
    auto* p = new std::shared_ptr<MetadataCache>(std::make_shared<MetadataCache>());
    process_wide = p->get();
    ::pthread_atfork([] { process_wide->hold_for_fork(); },
                     [] { process_wide->release_in_parent(); },
                     [] { process_wide->release_in_child(); });
    return p;
  }();
  return *instance;
}

}  // namespace quib::proto
