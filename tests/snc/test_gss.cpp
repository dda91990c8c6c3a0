// The GSS-API adapter: loading a library and its failures, the names,
// credentials, flags and steps it hands the library, the status texts of
// failures, and the release of everything it created, against a scripted
// fake library; then a whole context exchange with MIT Kerberos (through a
// shim that maps the SNC name type and mechanism), whose acceptor side and
// message protection are MIT's own.
#include <dlfcn.h>
#include <fmt/format.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gss/fake_gss.h"
#include "gss_fixture.hpp"
#include "snc/gss.hpp"

namespace quib::snc {
namespace {

using test::build_test_library;
using wire::Bytes;
using wire::ByteView;

constexpr std::uint32_t kFailure = 13u << 16;        // GSS_S_FAILURE
constexpr std::uint32_t kDefectiveToken = 9u << 16;  // GSS_S_DEFECTIVE_TOKEN
constexpr std::uint32_t kDuplicateToken = 1u << 1;   // a supplementary bit above 1
constexpr std::uint32_t kMinor = 7;

std::string library_or_fail(const test::BuiltLibrary& lib) {
  EXPECT_TRUE(lib.error.empty()) << lib.error;
  return lib.path;
}

std::string fake_path() { return library_or_fail(build_test_library("fake_gss", "fake_gss.c")); }

// The state block of a fake library (the same module the adapter loads).
fake_gss* fake_state(const std::string& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) return nullptr;
  auto* state = reinterpret_cast<fake_gss* (*)()>(::dlsym(h, "fake_gss_state"));
  auto* reset = reinterpret_cast<void (*)()>(::dlsym(h, "fake_gss_reset"));
  if (state == nullptr || reset == nullptr) return nullptr;
  reset();
  return state();
}

ContextOptions options(std::string library, std::string partner = "p:CN=partner",
                       std::string own = "", std::uint8_t level = 2) {
  return {std::move(library), std::move(own), std::move(partner), level};
}

// ---------------------------------------------------------------- loading

TEST(GssLoad, FailuresNameThePathAndTheReason) {
  const std::string nul_path("/opt/gss\0lib.so", 15);
  auto nul = load_gss_library(nul_path);
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error(), SncError::load_failed(nul_path, "path contains a NUL byte"));

  auto missing = load_gss_library("/nonexistent/libgss.so");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, SncError::LoadFailed);
  EXPECT_EQ(missing.error().text, "/nonexistent/libgss.so");
  // The loader's own text, without the path repeated in front of it.
  EXPECT_NE(missing.error().detail.find("No such file"), std::string::npos)
      << missing.error().detail;
  EXPECT_EQ(missing.error().message().rfind(
                "cannot load the GSS-API library /nonexistent/libgss.so: ", 0),
            0u)
      << missing.error().message();
  EXPECT_EQ(missing.error().detail.find("/nonexistent"), std::string::npos);

  // A file that is no shared library.
  const std::string source = test::source_path("tests/snc/gss/fake_gss.c");
  auto not_elf = load_gss_library(source);
  ASSERT_FALSE(not_elf.ok());
  EXPECT_EQ(not_elf.error().kind, SncError::LoadFailed);
  EXPECT_FALSE(not_elf.error().detail.empty());
}

TEST(GssLoad, MissingEntryPoints) {
  // The first required entry point that is missing is named: the C library
  // has none of them, so the first of all.
  auto libc = load_gss_library("libc.so.6");
  ASSERT_FALSE(libc.ok());
  EXPECT_EQ(libc.error(), SncError::missing_export("gss_import_name"));
  EXPECT_EQ(libc.error().message(), "the GSS-API library does not export gss_import_name");

  const std::string no_wrap =
      library_or_fail(build_test_library("fake_no_wrap", "fake_gss.c", {"-DFAKE_OMIT_WRAP"}));
  auto r = load_gss_library(no_wrap);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), SncError::missing_export("gss_wrap"));

  // gss_display_status and gss_initialize are optional.
  const std::string bare = library_or_fail(build_test_library(
      "fake_bare", "fake_gss.c", {"-DFAKE_OMIT_DISPLAY_STATUS", "-DFAKE_OMIT_INITIALIZE"}));
  auto ok = load_gss_library(bare);
  ASSERT_TRUE(ok.ok()) << ok.error().message();
  EXPECT_EQ(ok->display_status, nullptr);
  EXPECT_NE(ok->wrap, nullptr);
}

TEST(GssLoad, InitializeIsCalledOnceAtEveryLoad) {
  const std::string path = fake_path();
  fake_gss* st = fake_state(path);
  ASSERT_NE(st, nullptr);
  st->initialize_arg = 99;
  ASSERT_TRUE(load_gss_library(path).ok());
  EXPECT_EQ(st->initialize_calls, 1u);
  EXPECT_EQ(st->initialize_arg, 0u);  // a pointer to a 32-bit zero
  EXPECT_TRUE(st->initialize_reserved_null);
  auto again = load_gss_library(path);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(st->initialize_calls, 2u);
  EXPECT_NE(again->display_status, nullptr);
}

// ---------------------------------------------------------------- context

class FakeGss : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fake_path();
    ASSERT_FALSE(path_.empty());
    st_ = fake_state(path_);
    ASSERT_NE(st_, nullptr);
  }
  // Nothing the adapter was handed is still held.
  void expect_all_released() const {
    EXPECT_EQ(st_->live_names, 0);
    EXPECT_EQ(st_->live_creds, 0);
    EXPECT_EQ(st_->live_contexts, 0);
    EXPECT_EQ(st_->live_buffers, 0);
  }
  SncContext make(ContextOptions o) {
    auto c = SncContext::create(o);
    if (!c.ok()) ADD_FAILURE() << c.error().message();
    return std::move(c).value();
  }

  std::string path_;
  fake_gss* st_ = nullptr;
};

TEST_F(FakeGss, NamesAreImportedWithoutThePrefixAndTrimmed) {
  struct Case {
    std::string given;
    std::string imported;
  };
  const Case cases[] = {
      {"p:CN=x", "CN=x"},
      {"p:", ""},
      {"  CN=y, O=z \t", "CN=y, O=z"},
      {"P:CN=x", "P:CN=x"},
      {" p:CN=w", "p:CN=w"},
      {"p: CN=v ", "CN=v"},
      {"p", "p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    fake_state(path_);
    {
      SncContext ctx = make(options(path_, c.given, c.given));
      ASSERT_EQ(st_->import_calls, 2u);
      for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(std::string(st_->imported[i]), c.imported);
        EXPECT_EQ(st_->imported_len[i], c.imported.size());
        EXPECT_TRUE(st_->import_oid_is_snc[i]);
      }
    }
    expect_all_released();
  }
}

TEST_F(FakeGss, CredentialsAreAcquiredForTheOwnNameToInitiate) {
  {
    SncContext ctx = make(options(path_, "p:CN=partner", ""));
    EXPECT_EQ(st_->imported_len[1], 0u);  // an empty own name is an empty buffer
    EXPECT_EQ(st_->acquire_calls, 1u);
    EXPECT_EQ(st_->acquire_usage, 1);
    EXPECT_TRUE(st_->acquire_desired_is_second_name);
    EXPECT_EQ(st_->acquire_time, 0u);
    EXPECT_TRUE(st_->acquire_mechs_null);
    EXPECT_TRUE(st_->acquire_outputs_null);
    EXPECT_FALSE(ctx.established());
    EXPECT_FALSE(ctx.has_context_handle());
    EXPECT_EQ(st_->live_names, 2);
    EXPECT_EQ(st_->live_creds, 1);
  }
  // Dropping the context releases the credentials and both names.
  EXPECT_EQ(st_->release_cred_calls, 1u);
  EXPECT_EQ(st_->release_name_calls, 2u);
  EXPECT_EQ(st_->delete_calls, 0u);  // there was no context handle
  expect_all_released();
}

TEST_F(FakeGss, ProtectionLevelsGiveTheRequestFlagsAndWrapAlwaysAsksForConfidentiality) {
  const std::pair<std::uint8_t, std::uint32_t> levels[] = {{0, 0x0E}, {1, 0x2E}, {2, 0x3E}};
  for (const auto& [level, flags] : levels) {
    SCOPED_TRACE(static_cast<int>(level));
    fake_state(path_);
    SncContext ctx = make(options(path_, "p:CN=x", "", level));
    EXPECT_EQ(ctx.request_flags(), flags);
    ASSERT_TRUE(init_sec_context_step(ctx, std::nullopt).ok());
    EXPECT_EQ(st_->init_flags, flags);
    st_->wrap_conf_req = -1;
    st_->wrap_qop = 99;
    ASSERT_TRUE(wrap_message(ctx, wire::to_bytes(std::string_view("abc"))).ok());
    EXPECT_EQ(st_->wrap_conf_req, 1);
    EXPECT_EQ(st_->wrap_qop, 0u);
  }
}

TEST_F(FakeGss, StepsHandOverTokensUntilComplete) {
  st_->init_steps = 2;
  st_->init_major[0] = 1;  // continue needed, with a token
  st_->init_token_len[0] = 5;
  st_->init_major[1] = 0;  // complete, without a token
  SncContext ctx = make(options(path_));

  auto first = init_sec_context_step(ctx, std::nullopt);
  ASSERT_TRUE(first.ok()) << first.error().message();
  ASSERT_TRUE(first->has_value());
  EXPECT_EQ(**first, Bytes(5, 0xA0));
  EXPECT_FALSE(ctx.established());
  EXPECT_TRUE(ctx.has_context_handle());
  EXPECT_TRUE(st_->init_input_null[0]);
  EXPECT_TRUE(st_->init_mech_is_snc);
  EXPECT_TRUE(st_->init_target_is_first_name);
  EXPECT_TRUE(st_->init_cred_ok);
  EXPECT_TRUE(st_->init_bindings_null);
  EXPECT_EQ(st_->live_buffers, 0);  // the library's token buffer went back

  const Bytes acceptor = {0x33, 0x44, 0x55};
  auto second = init_sec_context_step(ctx, ByteView(acceptor));
  ASSERT_TRUE(second.ok());
  EXPECT_FALSE(second->has_value());
  EXPECT_TRUE(ctx.established());
  EXPECT_FALSE(st_->init_input_null[1]);
  EXPECT_EQ(st_->init_input_len[1], 3u);
  EXPECT_EQ(st_->init_input_first[1], 0x33);

  // A complete step that still yields a token hands it out and establishes.
  fake_state(path_);
  st_->init_steps = 1;
  st_->init_token_len[0] = 4;
  SncContext once = make(options(path_));
  auto only = init_sec_context_step(once, std::nullopt);
  ASSERT_TRUE(only.ok());
  EXPECT_EQ(only->value_or(Bytes{}), Bytes(4, 0xA0));
  EXPECT_TRUE(once.established());
}

TEST_F(FakeGss, FailedStepsCarryTheStatusTexts) {
  const std::uint32_t majors[] = {kFailure, kDuplicateToken};
  for (std::uint32_t major : majors) {
    SCOPED_TRACE(major);
    fake_state(path_);
    st_->init_steps = 1;
    st_->init_major[0] = major;
    st_->init_token_len[0] = 3;
    st_->init_error_token = 1;  // the failing step still hands out a token
    st_->minor_status = kMinor;
    {
      SncContext ctx = make(options(path_));
      auto r = init_sec_context_step(ctx, std::nullopt);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind, SncError::GssFailure);
      EXPECT_EQ(r.error().text, "gss_init_sec_context");
      EXPECT_EQ(r.error().major, major);
      EXPECT_EQ(r.error().minor, kMinor);
      EXPECT_EQ(r.error().detail,
                fmt::format("fake major 0x{:08x}; fake minor 7: \xEF\xBF\xBD second line", major));
      EXPECT_FALSE(ctx.established());
      EXPECT_EQ(st_->live_buffers, 0);
      EXPECT_TRUE(st_->display_mech_is_snc);
      EXPECT_EQ(st_->display_types_seen, (1 << 1) | (1 << 2));
    }
    expect_all_released();
  }
}

TEST_F(FakeGss, FailuresOfCreationReleaseWhatWasMade) {
  struct Case {
    const char* what;
    std::uint32_t fake_gss::*major;  // for the acquire step
    int import_index;                // for an import step, else -1
    std::string call;
    std::uint32_t names_released;
  };
  const Case cases[] = {
      {"partner import", nullptr, 0, "gss_import_name", 0},
      {"own import", nullptr, 1, "gss_import_name", 1},
      {"credentials", &fake_gss::acquire_major, -1, "gss_acquire_cred", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake_state(path_);
    st_->minor_status = kMinor;
    if (c.import_index >= 0) st_->import_major[c.import_index] = kFailure;
    if (c.major) st_->*c.major = kFailure;
    auto r = SncContext::create(options(path_));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, SncError::GssFailure);
    EXPECT_EQ(r.error().message(),
              c.call +
                  " failed: fake major 0x000d0000; fake minor 7: \xEF\xBF\xBD second line "
                  "(major 0x000d0000, minor 0x00000007)");
    EXPECT_EQ(st_->release_name_calls, c.names_released);
    expect_all_released();
  }
}

TEST_F(FakeGss, ExportWrapAndUnwrap) {
  st_->init_steps = 1;
  SncContext ctx = make(options(path_, "p:CN=partner, O=QSI"));
  ASSERT_TRUE(init_sec_context_step(ctx, std::nullopt).ok());

  auto exported = export_name(ctx);
  ASSERT_TRUE(exported.ok());
  EXPECT_EQ(*exported, wire::to_bytes(std::string_view("EXPORTED:CN=partner, O=QSI")));

  const Bytes plain = wire::to_bytes(std::string_view("logon container"));
  auto wrapped = wrap_message(ctx, plain);
  ASSERT_TRUE(wrapped.ok());
  ASSERT_EQ(wrapped->size(), plain.size() + 1);
  EXPECT_EQ((*wrapped)[0], 'W');
  EXPECT_EQ((*wrapped)[1], plain[0] ^ 0x5A);
  auto unwrapped = unwrap_message(ctx, *wrapped);
  ASSERT_TRUE(unwrapped.ok());
  EXPECT_EQ(*unwrapped, plain);
  EXPECT_EQ(st_->live_buffers, 0);

  // What the library refuses comes back as GssFailure of the call.
  auto bad = unwrap_message(ctx, plain);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text, "gss_unwrap");
  EXPECT_EQ(bad.error().major, kDefectiveToken);
  struct Case {
    std::uint32_t fake_gss::*major;
    std::string call;
  };
  for (const Case& c :
       {Case{&fake_gss::wrap_major, "gss_wrap"}, Case{&fake_gss::unwrap_major, "gss_unwrap"},
        Case{&fake_gss::export_major, "gss_export_name"}}) {
    SCOPED_TRACE(c.call);
    st_->*c.major = kFailure;
    auto r = c.call == "gss_wrap"     ? wrap_message(ctx, plain)
             : c.call == "gss_unwrap" ? unwrap_message(ctx, *wrapped)
                                      : export_name(ctx);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, c.call);
    EXPECT_EQ(r.error().major, kFailure);
    st_->*c.major = 0;
  }
}

TEST_F(FakeGss, ReleaseDeletesTheContextThenCredentialsThenNamesOnce) {
  st_->init_steps = 1;
  st_->init_major[0] = 1;
  SncContext ctx = make(options(path_));
  ASSERT_TRUE(init_sec_context_step(ctx, std::nullopt).ok());
  EXPECT_EQ(st_->live_contexts, 1);

  SncContext moved = std::move(ctx);
  release_context(ctx);  // the moved-from context holds nothing
  EXPECT_EQ(st_->delete_calls, 0u);
  EXPECT_EQ(st_->release_name_calls, 0u);

  release_context(moved);
  EXPECT_EQ(st_->delete_calls, 1u);
  EXPECT_EQ(st_->release_cred_calls, 1u);
  EXPECT_EQ(st_->release_name_calls, 2u);
  EXPECT_FALSE(moved.has_context_handle());
  EXPECT_FALSE(moved.established());
  expect_all_released();

  release_context(moved);  // a second release finds nothing to do
  EXPECT_EQ(st_->delete_calls, 1u);
  EXPECT_EQ(st_->release_cred_calls, 1u);
  EXPECT_EQ(st_->release_name_calls, 2u);
}

TEST_F(FakeGss, MoveAssignmentReleasesTheTargetsObjectsFirst) {
  SncContext a = make(options(path_));
  SncContext b = make(options(path_));
  EXPECT_EQ(st_->live_creds, 2);
  a = std::move(b);
  EXPECT_EQ(st_->live_creds, 1);
  EXPECT_EQ(st_->live_names, 2);
}

// ---------------------------------------------------------------- status texts

TEST_F(FakeGss, StatusTexts) {
  auto lib = load_gss_library(path_);
  ASSERT_TRUE(lib.ok());

  // Several messages of one status are joined with ": ", each trimmed;
  // invalid UTF-8 is replaced.
  EXPECT_EQ(status_text(*lib, 7, 2), "fake minor 7: \xEF\xBF\xBD second line");
  EXPECT_EQ(status_text(*lib, 0x00090000, 1), "fake major 0x00090000");

  struct Case {
    int mode;
    std::optional<std::string> text;
    std::uint32_t calls;
  };
  const Case cases[] = {
      // A library that never ends its message context is asked 8 times.
      {FAKE_DISPLAY_ENDLESS, "again: again: again: again: again: again: again: again", 8},
      {FAKE_DISPLAY_FAIL, std::nullopt, 1},
      {FAKE_DISPLAY_BLANK, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    st_->display_calls = 0;
    st_->display_mode = c.mode;
    EXPECT_EQ(status_text(*lib, 7, 2), c.text);
    EXPECT_EQ(st_->display_calls, c.calls);
    EXPECT_EQ(st_->live_buffers, 0);  // every returned buffer went back
  }
}

TEST(GssStatus, WithoutDisplayStatusFailuresHaveTheBareForm) {
  const std::string bare = library_or_fail(build_test_library(
      "fake_bare", "fake_gss.c", {"-DFAKE_OMIT_DISPLAY_STATUS", "-DFAKE_OMIT_INITIALIZE"}));
  fake_gss* st = fake_state(bare);
  ASSERT_NE(st, nullptr);
  st->wrap_major = kFailure;
  st->minor_status = kMinor;
  auto ctx = SncContext::create(options(bare));
  ASSERT_TRUE(ctx.ok());
  EXPECT_EQ(status_text(ctx->library(), kFailure, 1), std::nullopt);
  auto r = wrap_message(*ctx, Bytes{1, 2});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "gss_wrap failed: major 0x000d0000, minor 0x00000007");
}

// ---------------------------------------------------------------- MIT Kerberos

// MIT's own entry points, for the acceptor side and as the oracle of the
// message protection.
struct Mit {
  void* handle = ::dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_LOCAL);
  template <class F>
  F* fn(const char* name) const {
    return handle ? reinterpret_cast<F*>(::dlsym(handle, name)) : nullptr;
  }
};

TEST(GssMit, StatusTextsOfTheRealLibrary) {
  auto lib = load_gss_library("libgssapi_krb5.so.2");
  ASSERT_TRUE(lib.ok()) << lib.error().message();
  ASSERT_NE(lib->display_status, nullptr);
  EXPECT_EQ(status_text(*lib, GSS_S_BAD_NAME, 1), "An invalid name was supplied");
  EXPECT_EQ(status_text(*lib, GSS_S_NO_CONTEXT, 1), "No context has been established");
  EXPECT_EQ(gss_failure(*lib, "gss_unwrap", GSS_S_DEFECTIVE_TOKEN, 0)
                .message()
                .rfind("gss_unwrap failed: Invalid token was supplied", 0),
            0u);
}

class GssKerberos : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { realm_ = new test::Krb5Realm(); }
  static void TearDownTestSuite() {
    delete realm_;
    realm_ = nullptr;
  }
  void SetUp() override {
    if (!realm_->skip_reason().empty()) GTEST_SKIP() << realm_->skip_reason();
    ASSERT_TRUE(realm_->ready()) << realm_->error();
    shim_ = library_or_fail(build_test_library("krb5_shim", "krb5_shim.c", {"-ldl"}));
    ASSERT_FALSE(shim_.empty());
    ASSERT_NE(mit_.handle, nullptr);
  }

  // The acceptor's credentials from the service keytab.
  gss_cred_id_t acceptor_cred() {
    auto import = mit_.fn<decltype(::gss_import_name)>("gss_import_name");
    auto acquire_from = mit_.fn<decltype(::gss_acquire_cred_from)>("gss_acquire_cred_from");
    const std::string service = realm_->service_name();
    gss_buffer_desc text = {service.size(), const_cast<char*>(service.data())};
    gss_name_t name = GSS_C_NO_NAME;
    OM_uint32 minor = 0;
    gss_OID_desc hostbased = {10, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x01\x04")};
    EXPECT_EQ(import(&minor, &text, &hostbased, &name), GSS_S_COMPLETE);
    const std::string keytab = realm_->service_keytab();
    gss_key_value_element_desc element = {"keytab", keytab.c_str()};
    gss_key_value_set_desc store = {1, &element};
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    EXPECT_EQ(acquire_from(&minor, name, 0, GSS_C_NO_OID_SET, GSS_C_ACCEPT, &store, &cred, nullptr,
                           nullptr),
              GSS_S_COMPLETE);
    mit_.fn<decltype(::gss_release_name)>("gss_release_name")(&minor, &name);
    return cred;
  }

  // Runs the exchange: our steps against MIT's acceptor. The acceptor's
  // context is returned in `acceptor`.
  void establish(SncContext& ctx, gss_ctx_id_t& acceptor, gss_cred_id_t cred) {
    auto accept = mit_.fn<decltype(::gss_accept_sec_context)>("gss_accept_sec_context");
    auto release = mit_.fn<decltype(::gss_release_buffer)>("gss_release_buffer");
    std::optional<Bytes> reply;
    for (int round = 0; round < 4 && !ctx.established(); ++round) {
      std::optional<ByteView> input;
      if (reply) input = ByteView(*reply);
      auto token = init_sec_context_step(ctx, input);
      ASSERT_TRUE(token.ok()) << token.error().message();
      if (!token->has_value()) break;
      gss_buffer_desc in = {(*token)->size(), (*token)->data()};
      gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
      OM_uint32 minor = 0;
      const OM_uint32 major = accept(&minor, &acceptor, cred, &in, GSS_C_NO_CHANNEL_BINDINGS,
                                     nullptr, nullptr, &out, nullptr, nullptr, nullptr);
      ASSERT_LE(major, GSS_S_CONTINUE_NEEDED) << std::hex << major << " " << minor;
      reply = Bytes(static_cast<std::uint8_t*>(out.value),
                    static_cast<std::uint8_t*>(out.value) + out.length);
      release(&minor, &out);
    }
    EXPECT_TRUE(ctx.established());
  }

  static test::Krb5Realm* realm_;
  std::string shim_;
  Mit mit_;
};
test::Krb5Realm* GssKerberos::realm_ = nullptr;

TEST_F(GssKerberos, ContextWithKerberosProtectsMessagesBothWays) {
  for (const std::string& own : {std::string(), "p:" + realm_->client_name()}) {
    SCOPED_TRACE(own);
    auto created = SncContext::create(options(shim_, "p:" + realm_->service_name(), own, 2));
    ASSERT_TRUE(created.ok()) << created.error().message();
    SncContext ctx = std::move(created).value();
    gss_cred_id_t cred = acceptor_cred();
    gss_ctx_id_t acceptor = GSS_C_NO_CONTEXT;
    establish(ctx, acceptor, cred);
    ASSERT_TRUE(ctx.established());

    OM_uint32 minor = 0;
    auto mit_wrap = mit_.fn<decltype(::gss_wrap)>("gss_wrap");
    auto mit_unwrap = mit_.fn<decltype(::gss_unwrap)>("gss_unwrap");
    auto release = mit_.fn<decltype(::gss_release_buffer)>("gss_release_buffer");

    // Ours to MIT: confidential, and what MIT unwraps is what we wrapped.
    const Bytes plain = wire::to_bytes(std::string_view("a logon with a password in it"));
    auto wrapped = wrap_message(ctx, plain);
    ASSERT_TRUE(wrapped.ok()) << wrapped.error().message();
    EXPECT_EQ(std::search(wrapped->begin(), wrapped->end(), plain.begin(), plain.end()),
              wrapped->end());
    gss_buffer_desc in = {wrapped->size(), wrapped->data()};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    int conf = 0;
    ASSERT_EQ(mit_unwrap(&minor, acceptor, &in, &out, &conf, nullptr), GSS_S_COMPLETE);
    EXPECT_EQ(Bytes(static_cast<std::uint8_t*>(out.value),
                    static_cast<std::uint8_t*>(out.value) + out.length),
              plain);
    EXPECT_EQ(conf, 1);
    release(&minor, &out);

    // MIT to ours.
    const Bytes reply = wire::to_bytes(std::string_view("the reply"));
    gss_buffer_desc rin = {reply.size(), const_cast<std::uint8_t*>(reply.data())};
    gss_buffer_desc rout = GSS_C_EMPTY_BUFFER;
    ASSERT_EQ(mit_wrap(&minor, acceptor, 1, GSS_C_QOP_DEFAULT, &rin, &conf, &rout), GSS_S_COMPLETE);
    auto unwrapped =
        unwrap_message(ctx, ByteView(static_cast<std::uint8_t*>(rout.value), rout.length));
    release(&minor, &rout);
    ASSERT_TRUE(unwrapped.ok()) << unwrapped.error().message();
    EXPECT_EQ(*unwrapped, reply);

    // A token changed in transit is refused with MIT's texts.
    Bytes tampered = *wrapped;
    tampered.back() ^= 1;
    auto refused = unwrap_message(ctx, tampered);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().text, "gss_unwrap");
    EXPECT_FALSE(refused.error().detail.empty());

    mit_.fn<decltype(::gss_delete_sec_context)>("gss_delete_sec_context")(&minor, &acceptor,
                                                                          nullptr);
    mit_.fn<decltype(::gss_release_cred)>("gss_release_cred")(&minor, &cred);
  }
}

TEST_F(GssKerberos, ExportedPartnerNameImportsAsTheServicePrincipal) {
  auto ctx = SncContext::create(options(shim_, "p: " + realm_->service_name() + " "));
  ASSERT_TRUE(ctx.ok()) << ctx.error().message();
  auto exported = export_name(*ctx);
  ASSERT_TRUE(exported.ok()) << exported.error().message();
  EXPECT_EQ((*exported)[0], 0x04);
  EXPECT_EQ((*exported)[1], 0x01);

  auto import = mit_.fn<decltype(::gss_import_name)>("gss_import_name");
  auto display = mit_.fn<decltype(::gss_display_name)>("gss_display_name");
  gss_buffer_desc in = {exported->size(), exported->data()};
  gss_name_t name = GSS_C_NO_NAME;
  OM_uint32 minor = 0;
  gss_OID_desc export_type = {6, const_cast<char*>("\x2b\x06\x01\x05\x06\x04")};
  ASSERT_EQ(import(&minor, &in, &export_type, &name), GSS_S_COMPLETE);
  gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
  ASSERT_EQ(display(&minor, name, &text, nullptr), GSS_S_COMPLETE);
  EXPECT_EQ(std::string(static_cast<char*>(text.value), text.length),
            realm_->setting("service_principal"));
  mit_.fn<decltype(::gss_release_buffer)>("gss_release_buffer")(&minor, &text);
  mit_.fn<decltype(::gss_release_name)>("gss_release_name")(&minor, &name);
}

TEST_F(GssKerberos, KerberosFailuresCarryItsTexts) {
  // A service the realm does not know: the first step fails.
  auto unknown = SncContext::create(options(shim_, "p:nobody@localhost"));
  ASSERT_TRUE(unknown.ok()) << unknown.error().message();
  auto step = init_sec_context_step(*unknown, std::nullopt);
  ASSERT_FALSE(step.ok());
  EXPECT_EQ(step.error().text, "gss_init_sec_context");
  EXPECT_NE(step.error().message().find("not found in Kerberos database"), std::string::npos)
      << step.error().message();

  // An own name without credentials in the cache.
  auto stranger =
      SncContext::create(options(shim_, "p:" + realm_->service_name(), "p:stranger@localhost"));
  ASSERT_FALSE(stranger.ok());
  EXPECT_EQ(stranger.error().text, "gss_acquire_cred");
  EXPECT_EQ(stranger.error().message().rfind("gss_acquire_cred failed: ", 0), 0u);
  EXPECT_NE(stranger.error().major, 0u);
}

}  // namespace
}  // namespace quib::snc
