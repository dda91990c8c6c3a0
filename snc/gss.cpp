#include "snc/gss.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "wire/utf.hpp"

namespace quib::snc {

using wire::err;

namespace {

// The libraries take non-const OID pointers; these are never written.
std::uint8_t g_name_type_bytes[] = {0x2B, 0x24, 0x03, 0x01, 0x26, 0x01};
std::uint8_t g_mechanism_bytes[] = {0x2B, 0x24, 0x03, 0x01, 0x25, 0x01};
gss::OidDesc g_name_type = {sizeof g_name_type_bytes, g_name_type_bytes};
gss::OidDesc g_mechanism = {sizeof g_mechanism_bytes, g_mechanism_bytes};

static_assert(sizeof g_name_type_bytes == kSncNameTypeOid.size());
static_assert(sizeof g_mechanism_bytes == kSncMechanismOid.size());

constexpr int kMaxStatusMessages = 8;

// The reason of a failed load: the loader's text, without the path it
// repeats in front ("{path}: cannot open shared object file: ...").
std::string load_error_reason(const std::string& path, int saved_errno) {
  const char* text = ::dlerror();
  if (text == nullptr || *text == '\0') return fmt::format("system error {}", saved_errno);
  std::string_view reason(text);
  const std::string prefix = path + ": ";
  if (reason.starts_with(prefix) && reason.size() > prefix.size())
    reason.remove_prefix(prefix.size());
  return std::string(reason);
}

template <class Fn>
Fn* symbol(void* handle, const char* name) {
  return reinterpret_cast<Fn*>(::dlsym(handle, name));
}

template <class Fn>
bool resolve(void* handle, const char* name, Fn*& out) {
  out = symbol<Fn>(handle, name);
  return out != nullptr;
}

// A buffer the library fills; released through gss_release_buffer when
// the scope ends, wiped first when it may hold message bytes.
class OutputBuffer {
 public:
  OutputBuffer(const GssApiLibrary& library, bool wipe) : library_(library), wipe_(wipe) {}
  ~OutputBuffer() { release(); }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  gss::BufferDesc* get() { return &desc_; }
  bool empty() const { return desc_.value == nullptr || desc_.length == 0; }
  wire::ByteView view() const {
    if (empty()) return {};
    return wire::ByteView(static_cast<const std::uint8_t*>(desc_.value), desc_.length);
  }
  wire::Bytes copy() const {
    const wire::ByteView v = view();
    return wire::Bytes(v.begin(), v.end());
  }
  void release() {
    if (desc_.value == nullptr) return;
    if (wipe_ && desc_.length > 0) wire::secure_wipe(desc_.value, desc_.length);
    gss::OM_uint32 minor = 0;
    (void)library_.release_buffer(&minor, &desc_);
    desc_ = {0, nullptr};
  }

 private:
  const GssApiLibrary& library_;
  bool wipe_;
  gss::BufferDesc desc_ = {0, nullptr};
};

gss::BufferDesc input_buffer(wire::ByteView data) {
  return {data.size(), const_cast<std::uint8_t*>(data.data())};
}

wire::Result<gss::Name, SncError> import_snc_name(const GssApiLibrary& library,
                                                  std::string_view text) {
  std::string name(snc_name_for_import(text));
  gss::BufferDesc buffer = {name.size(), name.data()};
  gss::Name out = nullptr;
  gss::OM_uint32 minor = 0;
  const gss::OM_uint32 major = library.import_name(&minor, &buffer, &g_name_type, &out);
  if (major != gss::kComplete) return err(gss_failure(library, "gss_import_name", major, minor));
  return out;
}

}  // namespace

// ---------------------------------------------------------------- library

wire::Result<GssApiLibrary, SncError> load_gss_library(std::string_view path) {
  const std::string p(path);
  if (path.find('\0') != std::string_view::npos) {
    return err(SncError::load_failed(p, std::string(kNulInPath)));
  }
  (void)::dlerror();
  errno = 0;
  // Never closed: the library stays loaded for the life of the process.
  void* handle = ::dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return err(SncError::load_failed(p, load_error_reason(p, errno)));

  GssApiLibrary lib;
  struct Required {
    const char* name;
    bool found;
  };
  const Required required[] = {
      {"gss_import_name", resolve(handle, "gss_import_name", lib.import_name)},
      {"gss_init_sec_context", resolve(handle, "gss_init_sec_context", lib.init_sec_context)},
      {"gss_wrap", resolve(handle, "gss_wrap", lib.wrap)},
      {"gss_unwrap", resolve(handle, "gss_unwrap", lib.unwrap)},
      {"gss_release_buffer", resolve(handle, "gss_release_buffer", lib.release_buffer)},
      {"gss_release_name", resolve(handle, "gss_release_name", lib.release_name)},
      {"gss_delete_sec_context", resolve(handle, "gss_delete_sec_context", lib.delete_sec_context)},
      {"gss_acquire_cred", resolve(handle, "gss_acquire_cred", lib.acquire_cred)},
      {"gss_release_cred", resolve(handle, "gss_release_cred", lib.release_cred)},
      {"gss_export_name", resolve(handle, "gss_export_name", lib.export_name)},
  };
  for (const Required& r : required) {
    if (!r.found) return err(SncError::missing_export(r.name));
  }
  lib.display_status = symbol<gss::DisplayStatusFn>(handle, "gss_display_status");
  if (auto* initialize = symbol<gss::InitializeFn>(handle, "gss_initialize")) {
    gss::OM_uint32 zero = 0;
    (void)initialize(&zero, nullptr);
  }
  return lib;
}

std::optional<std::string> status_text(const GssApiLibrary& library, std::uint32_t value,
                                       int status_type) {
  if (library.display_status == nullptr) return std::nullopt;
  std::vector<std::string> kept;
  gss::OM_uint32 message_context = 0;
  for (int call = 0; call < kMaxStatusMessages; ++call) {
    OutputBuffer text(library, false);
    gss::OM_uint32 minor = 0;
    const gss::OM_uint32 major = library.display_status(&minor, value, status_type, &g_mechanism,
                                                        &message_context, text.get());
    if (major != gss::kComplete) break;
    if (!text.empty()) {
      const std::string message = wire::utf8_lossy(text.view());
      const std::string_view trimmed = wire::trim_unicode(message);
      if (!trimmed.empty()) kept.emplace_back(trimmed);
    }
    if (message_context == 0) break;
  }
  if (kept.empty()) return std::nullopt;
  std::string joined = kept.front();
  for (std::size_t i = 1; i < kept.size(); ++i) joined += ": " + kept[i];
  return joined;
}

SncError gss_failure(const GssApiLibrary& library, std::string_view call, std::uint32_t major,
                     std::uint32_t minor) {
  const std::optional<std::string> major_text = status_text(library, major, gss::kGssCode);
  const std::optional<std::string> minor_text = status_text(library, minor, gss::kMechCode);
  std::string text;
  if (major_text) text = *major_text;
  if (minor_text) text += (text.empty() ? "" : "; ") + *minor_text;
  return SncError::gss_failure(std::string(call), major, minor, std::move(text));
}

// ---------------------------------------------------------------- context

std::uint32_t request_flags_for(std::uint8_t protection_level) {
  constexpr std::uint32_t base = gss::kMutualFlag | gss::kReplayFlag | gss::kSequenceFlag;
  switch (protection_level) {
    case 0:
      return base;
    case 1:
      return base | gss::kIntegFlag;
    default:
      return base | gss::kIntegFlag | gss::kConfFlag;
  }
}

std::string_view snc_name_for_import(std::string_view name) {
  if (name.starts_with("p:")) name.remove_prefix(2);
  return wire::trim_unicode(name);
}

wire::Result<SncContext, SncError> SncContext::create(const ContextOptions& options) {
  QUIB_TRY(const GssApiLibrary library, load_gss_library(options.library_path));
  return create(library, options);
}

wire::Result<SncContext, SncError> SncContext::create(const GssApiLibrary& library,
                                                      const ContextOptions& options) {
  // Whatever is stored in `context` is released when it goes out of scope
  // on a failure: the partner name when the own name fails, both names when
  // the credentials fail.
  SncContext context(library);
  context.flags_ = request_flags_for(options.protection_level);
  QUIB_TRY(context.partner_, import_snc_name(library, options.partner_name));
  QUIB_TRY(context.own_, import_snc_name(library, options.own_name));
  gss::Cred cred = nullptr;
  gss::OM_uint32 minor = 0;
  const gss::OM_uint32 major = library.acquire_cred(&minor, context.own_, 0, nullptr,
                                                    gss::kInitiate, &cred, nullptr, nullptr);
  if (major != gss::kComplete) return err(gss_failure(library, "gss_acquire_cred", major, minor));
  context.cred_ = cred;
  return context;
}

SncContext::~SncContext() { release_context(*this); }

SncContext::SncContext(SncContext&& other) noexcept : gss_(other.gss_) { take(other); }

SncContext& SncContext::operator=(SncContext&& other) noexcept {
  if (this != &other) {
    release_context(*this);
    gss_ = other.gss_;
    take(other);
  }
  return *this;
}

void SncContext::take(SncContext& other) noexcept {
  context_ = std::exchange(other.context_, nullptr);
  partner_ = std::exchange(other.partner_, nullptr);
  own_ = std::exchange(other.own_, nullptr);
  cred_ = std::exchange(other.cred_, nullptr);
  flags_ = other.flags_;
  established_ = std::exchange(other.established_, false);
}

wire::Result<std::optional<wire::Bytes>, SncError> init_sec_context_step(
    SncContext& context, std::optional<wire::ByteView> input) {
  const GssApiLibrary& lib = context.gss_;
  gss::BufferDesc input_desc = {0, nullptr};
  if (input) input_desc = input_buffer(*input);
  OutputBuffer output(lib, false);
  gss::OM_uint32 minor = 0;
  gss::OM_uint32 returned_flags = 0;
  const gss::OM_uint32 major = lib.init_sec_context(
      &minor, context.cred_, &context.context_, context.partner_, &g_mechanism, context.flags_, 0,
      nullptr, input ? &input_desc : nullptr, nullptr, output.get(), &returned_flags, nullptr);
  if (major > gss::kContinueNeeded) {
    return err(gss_failure(lib, "gss_init_sec_context", major, minor));
  }
  std::optional<wire::Bytes> token;
  if (!output.empty()) token = output.copy();
  context.established_ = major == gss::kComplete;
  return token;
}

wire::Result<wire::Bytes, SncError> export_name(const SncContext& context) {
  const GssApiLibrary& lib = context.gss_;
  OutputBuffer output(lib, false);
  gss::OM_uint32 minor = 0;
  const gss::OM_uint32 major = lib.export_name(&minor, context.partner_, output.get());
  if (major != gss::kComplete) return err(gss_failure(lib, "gss_export_name", major, minor));
  return output.copy();
}

wire::Result<wire::Bytes, SncError> wrap_message(SncContext& context, wire::ByteView data) {
  const GssApiLibrary& lib = context.gss_;
  gss::BufferDesc input = input_buffer(data);
  // Without confidentiality in the context the token may carry the message
  // in clear: it is wiped before the library gets it back.
  OutputBuffer output(lib, true);
  gss::OM_uint32 minor = 0;
  int conf_state = 0;
  const gss::OM_uint32 major =
      lib.wrap(&minor, context.context_, 1, 0, &input, &conf_state, output.get());
  if (major != gss::kComplete) return err(gss_failure(lib, "gss_wrap", major, minor));
  return output.copy();
}

wire::Result<wire::Bytes, SncError> unwrap_message(SncContext& context, wire::ByteView data) {
  const GssApiLibrary& lib = context.gss_;
  gss::BufferDesc input = input_buffer(data);
  OutputBuffer output(lib, true);
  gss::OM_uint32 minor = 0;
  int conf_state = 0;
  gss::OM_uint32 qop_state = 0;
  const gss::OM_uint32 major =
      lib.unwrap(&minor, context.context_, &input, output.get(), &conf_state, &qop_state);
  if (major != gss::kComplete) return err(gss_failure(lib, "gss_unwrap", major, minor));
  return output.copy();
}

void release_context(SncContext& context) noexcept {
  const GssApiLibrary& lib = context.gss_;
  gss::OM_uint32 minor = 0;
  if (context.context_ != nullptr) {
    (void)lib.delete_sec_context(&minor, &context.context_, nullptr);
    context.context_ = nullptr;
  }
  if (context.cred_ != nullptr) {
    (void)lib.release_cred(&minor, &context.cred_);
    context.cred_ = nullptr;
  }
  if (context.partner_ != nullptr) {
    (void)lib.release_name(&minor, &context.partner_);
    context.partner_ = nullptr;
  }
  if (context.own_ != nullptr) {
    (void)lib.release_name(&minor, &context.own_);
    context.own_ = nullptr;
  }
  context.established_ = false;
}

}  // namespace quib::snc
