// The metadata store: keys, sharing of values, per-system separation and the
// process-wide instance.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "proto/call/structure.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/metadata/dictionary.hpp"
#include "proto/session/metadata_cache.hpp"

namespace quib::proto {
namespace {

std::shared_ptr<const FunctionDescription> desc(std::string name) {
  auto d = std::make_shared<FunctionDescription>();
  d->name = std::move(name);
  return d;
}

TEST(MetadataCache, FunctionDescriptionsAreStoredUnderTheNameAsGiven) {
  MetadataCache cache;
  cache.put_function_description("ABC", "RFC_PING", desc("RFC_PING"));
  ASSERT_NE(cache.get_function_description("ABC", "RFC_PING"), nullptr);
  EXPECT_EQ(cache.get_function_description("ABC", "RFC_PING")->name, "RFC_PING");
  // The callers upper-case before a look-up; the store itself does not.
  EXPECT_EQ(cache.get_function_description("ABC", "rfc_ping"), nullptr);
  // Non-ASCII letters are kept as they are.
  cache.put_function_description("ABC", "Z_\xC3\xA4", desc("Z_\xC3\xA4"));
  EXPECT_NE(cache.get_function_description("ABC", "Z_\xC3\xA4"), nullptr);
  EXPECT_EQ(cache.get_function_description("ABC", "Z_\xC3\x84"), nullptr);
}

TEST(MetadataCache, ForgetUpperCasesItsCopyAndIgnoresMissingNames) {
  MetadataCache cache;
  cache.put_function_description("ABC", "Z_TEST", desc("Z_TEST"));
  cache.put_function_description("ABC", "Z_OTHER", desc("Z_OTHER"));
  cache.forget_function_description("ABC", "z_missing");
  EXPECT_EQ(cache.function_count(), 2u);
  cache.forget_function_description("ABC", "z_Test");
  EXPECT_EQ(cache.get_function_description("ABC", "Z_TEST"), nullptr);
  EXPECT_NE(cache.get_function_description("ABC", "Z_OTHER"), nullptr);
  EXPECT_EQ(cache.function_count(), 1u);
}

TEST(MetadataCache, HandedOutValuesOutliveReplacementAndRemoval) {
  MetadataCache cache;
  cache.put_function_description("ABC", "F", desc("first"));
  auto held = cache.get_function_description("ABC", "F");
  cache.put_function_description("ABC", "F", desc("second"));
  EXPECT_EQ(held->name, "first");
  EXPECT_EQ(cache.get_function_description("ABC", "F")->name, "second");
  auto second = cache.get_function_description("ABC", "F");
  cache.forget_function_description("ABC", "F");
  EXPECT_EQ(second->name, "second");
  EXPECT_EQ(second.use_count(), 1);
}

TEST(MetadataCache, EntriesOfDifferentSystemsStayApart) {
  MetadataCache cache;
  cache.put_function_description("DEV", "Z_F", desc("dev"));
  cache.put_function_description("PRD", "Z_F", desc("prd"));
  EXPECT_EQ(cache.get_function_description("DEV", "Z_F")->name, "dev");
  EXPECT_EQ(cache.get_function_description("PRD", "Z_F")->name, "prd");
  EXPECT_EQ(cache.get_function_description("QAS", "Z_F"), nullptr);
  cache.forget_function_description("DEV", "Z_F");
  EXPECT_EQ(cache.get_function_description("DEV", "Z_F"), nullptr);
  EXPECT_NE(cache.get_function_description("PRD", "Z_F"), nullptr);

  // The split between system ID and name is part of the key.
  cache.put_element_decimals("AB", "C", 1);
  cache.put_element_decimals("A", "BC", 2);
  EXPECT_EQ(cache.get_element_decimals("AB", "C"), 1u);
  EXPECT_EQ(cache.get_element_decimals("A", "BC"), 2u);
  EXPECT_EQ(cache.get_element_decimals("", "ABC"), std::nullopt);
}

TEST(MetadataCache, NegativeAnswersAreCachedToo) {
  MetadataCache cache;
  EXPECT_EQ(cache.get_element_decimals("S", "NOPE"), std::nullopt);
  cache.put_element_decimals("S", "NOPE", 0);
  EXPECT_EQ(cache.get_element_decimals("S", "NOPE"), 0u);
  cache.put_element_decimals("S", "NOPE", 3);
  EXPECT_EQ(cache.get_element_decimals("S", "NOPE"), 3u);

  EXPECT_EQ(cache.get_table_type_line("S", "TT"), std::nullopt);
  cache.put_table_type_line("S", "TT", nullptr);  // DD40L had no line
  auto line = cache.get_table_type_line("S", "TT");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, nullptr);

  EXPECT_EQ(cache.get_structure_layout("S", "ST"), nullptr);
}

TEST(MetadataCache, ProcessWideInstanceIsSharedPrivateOnesAreNot) {
  auto a = metadata_cache();
  auto b = metadata_cache();
  EXPECT_EQ(a.get(), b.get());
  a->put_function_description("P2TEST", "Z_SHARED", desc("Z_SHARED"));
  EXPECT_NE(b->get_function_description("P2TEST", "Z_SHARED"), nullptr);
  auto own = std::make_shared<MetadataCache>();
  EXPECT_EQ(own->get_function_description("P2TEST", "Z_SHARED"), nullptr);
  a->forget_function_description("P2TEST", "Z_SHARED");
}

TEST(MetadataCache, SeedsDifferBetweenMaps) {
  SeededHash h1, h2;
  EXPECT_NE(h1.seed(), h2.seed());
  SeededHash fixed(42);
  EXPECT_EQ(fixed(MetadataKey{"A", "B"}), fixed(MetadataKeyView{"A", "B"}));
  EXPECT_NE(fixed(MetadataKey{"AB", ""}), fixed(MetadataKey{"A", "B"}));
}

TEST(MetadataCache, ConcurrentReadersAndWritersOfEveryMap) {
  // Each map read, stored, replaced (and the descriptions forgotten) by
  // several threads at once: a store or a read made without the cache's
  // lock is a data race ThreadSanitizer reports, and can lose entries or
  // corrupt a map without it.
  MetadataCache cache;
  auto layout = std::make_shared<StructureLayout>();
  auto line = std::make_shared<TableTypeLine>(TableTypeLine{TableTypeLine::Named{"ZROW", "S"}});
  using Step = std::function<void(const std::string& name, int i)>;
  const Step steps[] = {
      [&](const std::string& name, int i) {
        cache.put_function_description("SYS", name, desc(name));
        if (auto got = cache.get_function_description("SYS", name)) {
          EXPECT_EQ(got->name, name);
        }
        if (i % 7 == 0) cache.forget_function_description("SYS", name);
      },
      [&](const std::string& name, int) {
        cache.put_structure_layout("SYS", name, layout);
        EXPECT_EQ(cache.get_structure_layout("SYS", name), layout);
      },
      [&](const std::string& name, int i) {
        cache.put_element_decimals("SYS", name, static_cast<std::uint32_t>(i % 5));
        auto got = cache.get_element_decimals("SYS", name);
        ASSERT_TRUE(got.has_value());
        EXPECT_LT(*got, 5u);
      },
      [&](const std::string& name, int i) {
        cache.put_table_type_line("SYS", name, i % 2 ? line : nullptr);
        EXPECT_TRUE(cache.get_table_type_line("SYS", name).has_value());
      },
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const Step& step = steps[t % 4];
      for (int i = 0; i < 2000; ++i) step("F" + std::to_string((i + t) % 50), i + t);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_LE(cache.function_count(), 50u);
  for (int i = 0; i < 50; ++i) {
    const std::string name = "F" + std::to_string(i);
    EXPECT_EQ(cache.get_structure_layout("SYS", name), layout);
    EXPECT_TRUE(cache.get_element_decimals("SYS", name).has_value());
    EXPECT_TRUE(cache.get_table_type_line("SYS", name).has_value());
  }
}

}  // namespace
}  // namespace quib::proto
