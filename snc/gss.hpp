// The GSS-API adapter of SNC: a GSS-API (version 2) library loaded at run
// time by path, the two SNC names imported, initiator credentials acquired,
// gss_init_sec_context stepped, the partner name exported, messages wrapped
// and unwrapped, status codes turned into text, and every GSS object the
// adapter created released again.
//
// No GSS-API header is used: the few C types and entry points the adapter
// calls are declared below after the C bindings of RFC 2744.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "snc/frame.hpp"
#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::snc {

// ---------------------------------------------------------------- C bindings

namespace gss {

using OM_uint32 = std::uint32_t;

// gss_buffer_desc: a length and a pointer to the bytes.
struct BufferDesc {
  std::size_t length;
  void* value;
};

// gss_OID_desc: a 32-bit length and a pointer to the DER body.
struct OidDesc {
  OM_uint32 length;
  void* elements;
};

// gss_OID_set_desc (only ever passed as a null pointer).
struct OidSetDesc {
  std::size_t count;
  OidDesc* elements;
};

// Opaque handles; "none" is the null handle.
struct NameStruct;
struct CtxStruct;
struct CredStruct;
struct ChannelBindingsStruct;
using Name = NameStruct*;
using Ctx = CtxStruct*;
using Cred = CredStruct*;
using ChannelBindings = ChannelBindingsStruct*;

inline constexpr OM_uint32 kComplete = 0;
inline constexpr OM_uint32 kContinueNeeded = 1;
inline constexpr int kInitiate = 1;  // gss_cred_usage_t GSS_C_INITIATE
inline constexpr int kGssCode = 1;   // status type GSS_C_GSS_CODE
inline constexpr int kMechCode = 2;  // status type GSS_C_MECH_CODE

inline constexpr OM_uint32 kMutualFlag = 2;
inline constexpr OM_uint32 kReplayFlag = 4;
inline constexpr OM_uint32 kSequenceFlag = 8;
inline constexpr OM_uint32 kConfFlag = 16;
inline constexpr OM_uint32 kIntegFlag = 32;

extern "C" {
typedef OM_uint32 ImportNameFn(OM_uint32* minor, BufferDesc* name, OidDesc* name_type,
                               Name* output);
typedef OM_uint32 InitSecContextFn(OM_uint32* minor, Cred cred, Ctx* context, Name target,
                                   OidDesc* mech, OM_uint32 req_flags, OM_uint32 time_req,
                                   ChannelBindings bindings, BufferDesc* input,
                                   OidDesc** actual_mech, BufferDesc* output, OM_uint32* ret_flags,
                                   OM_uint32* time_rec);
typedef OM_uint32 WrapFn(OM_uint32* minor, Ctx context, int conf_req, OM_uint32 qop_req,
                         BufferDesc* input, int* conf_state, BufferDesc* output);
typedef OM_uint32 UnwrapFn(OM_uint32* minor, Ctx context, BufferDesc* input, BufferDesc* output,
                           int* conf_state, OM_uint32* qop_state);
typedef OM_uint32 ReleaseBufferFn(OM_uint32* minor, BufferDesc* buffer);
typedef OM_uint32 ReleaseNameFn(OM_uint32* minor, Name* name);
typedef OM_uint32 DeleteSecContextFn(OM_uint32* minor, Ctx* context, BufferDesc* output);
typedef OM_uint32 AcquireCredFn(OM_uint32* minor, Name desired_name, OM_uint32 time_req,
                                OidSetDesc* desired_mechs, int cred_usage, Cred* output,
                                OidSetDesc** actual_mechs, OM_uint32* time_rec);
typedef OM_uint32 ReleaseCredFn(OM_uint32* minor, Cred* cred);
typedef OM_uint32 ExportNameFn(OM_uint32* minor, Name name, BufferDesc* exported);
typedef OM_uint32 DisplayStatusFn(OM_uint32* minor, OM_uint32 status, int status_type,
                                  OidDesc* mech, OM_uint32* message_context, BufferDesc* text);
typedef OM_uint32 InitializeFn(OM_uint32* arg, void* reserved);
}

}  // namespace gss

// DER bodies of the object identifiers the adapter passes.
// 1.3.36.3.1.38.1, the SNC name type of gss_import_name.
inline constexpr std::array<std::uint8_t, 6> kSncNameTypeOid = {0x2B, 0x24, 0x03, 0x01, 0x26, 0x01};
// 1.3.36.3.1.37.1, the mechanism of gss_init_sec_context and gss_display_status.
inline constexpr std::array<std::uint8_t, 6> kSncMechanismOid = {0x2B, 0x24, 0x03,
                                                                 0x01, 0x25, 0x01};

// ---------------------------------------------------------------- library

// The resolved entry points. All but display_status are required;
// gss_initialize is called once at load and not kept.
struct GssApiLibrary {
  gss::ImportNameFn* import_name = nullptr;
  gss::InitSecContextFn* init_sec_context = nullptr;
  gss::WrapFn* wrap = nullptr;
  gss::UnwrapFn* unwrap = nullptr;
  gss::ReleaseBufferFn* release_buffer = nullptr;
  gss::ReleaseNameFn* release_name = nullptr;
  gss::DeleteSecContextFn* delete_sec_context = nullptr;
  gss::AcquireCredFn* acquire_cred = nullptr;
  gss::ReleaseCredFn* release_cred = nullptr;
  gss::ExportNameFn* export_name = nullptr;
  gss::DisplayStatusFn* display_status = nullptr;  // optional
};

// The reason of LoadFailed for a path with an embedded NUL.
inline constexpr std::string_view kNulInPath = "path contains a NUL byte";

// Loads the library by its path (it is never unloaded; loading it again
// hands back the module already loaded) and resolves its entry points.
// LoadFailed carries the system's text for a failed load (the dynamic
// loader's message without the repeated path, or "system error {errno}");
// MissingExport names the first required entry point that is missing.
wire::Result<GssApiLibrary, SncError> load_gss_library(std::string_view path);

// The messages gss_display_status gives for one status value, joined with
// ": " (at most 8 calls); none without gss_display_status or without text.
std::optional<std::string> status_text(const GssApiLibrary& library, std::uint32_t value,
                                       int status_type);

// GssFailure of `call`, with the texts of the major (GSS code) and minor
// (mechanism code) statuses joined with "; ".
SncError gss_failure(const GssApiLibrary& library, std::string_view call, std::uint32_t major,
                     std::uint32_t minor);

// ---------------------------------------------------------------- context

// What a context is made from: the library, the two SNC names and the
// protection level (0 authentication, 1 integrity, 2 privacy).
struct ContextOptions {
  std::string library_path;
  std::string own_name;  // empty when none was given
  std::string partner_name;
  std::uint8_t protection_level = 2;
};

// The request flags of a protection level: 0x0E (mutual authentication,
// replay detection, sequence checking), 0x2E with integrity, 0x3E with
// confidentiality as well. Levels above 2 ask for what 2 asks for.
std::uint32_t request_flags_for(std::uint8_t protection_level);

// An SNC name as it is imported: a leading "p:" dropped, then white space
// trimmed at both ends.
std::string_view snc_name_for_import(std::string_view name);

// A GSS-API security context being established or established: created
// with its names imported and credentials held, then stepped until the
// library reports it complete. Dropping it releases every GSS object held.
class SncContext {
 public:
  // Loads the options' library, then as below.
  static wire::Result<SncContext, SncError> create(const ContextOptions& options);
  // Imports the partner name and the own name and acquires initiator
  // credentials for the own name; what was made before a failure is
  // released again.
  static wire::Result<SncContext, SncError> create(const GssApiLibrary& library,
                                                   const ContextOptions& options);

  ~SncContext();
  SncContext(SncContext&& other) noexcept;
  SncContext& operator=(SncContext&& other) noexcept;
  SncContext(const SncContext&) = delete;
  SncContext& operator=(const SncContext&) = delete;

  const GssApiLibrary& library() const { return gss_; }
  std::uint32_t request_flags() const { return flags_; }
  bool established() const { return established_; }
  // Whether gss_init_sec_context has set a context handle.
  bool has_context_handle() const { return context_ != nullptr; }

 private:
  explicit SncContext(const GssApiLibrary& library) : gss_(library) {}
  void take(SncContext& other) noexcept;

  friend wire::Result<std::optional<wire::Bytes>, SncError> init_sec_context_step(
      SncContext& context, std::optional<wire::ByteView> input);
  friend wire::Result<wire::Bytes, SncError> export_name(const SncContext& context);
  friend wire::Result<wire::Bytes, SncError> wrap_message(SncContext& context, wire::ByteView data);
  friend wire::Result<wire::Bytes, SncError> unwrap_message(SncContext& context,
                                                            wire::ByteView data);
  friend void release_context(SncContext& context) noexcept;

  GssApiLibrary gss_;
  gss::Ctx context_ = nullptr;
  gss::Name partner_ = nullptr;
  gss::Name own_ = nullptr;
  gss::Cred cred_ = nullptr;
  std::uint32_t flags_ = 0;
  bool established_ = false;
};

// One gss_init_sec_context step with the acceptor's previous token (none
// in the first step): the output token, none when the library made none.
// The context counts as established exactly when the step returned complete.
wire::Result<std::optional<wire::Bytes>, SncError> init_sec_context_step(
    SncContext& context, std::optional<wire::ByteView> input);

// The exported form of the partner name.
wire::Result<wire::Bytes, SncError> export_name(const SncContext& context);

// gss_wrap with confidentiality requested and the mechanism's default QoP,
// whatever the protection level (which acts through the request flags).
wire::Result<wire::Bytes, SncError> wrap_message(SncContext& context, wire::ByteView data);

wire::Result<wire::Bytes, SncError> unwrap_message(SncContext& context, wire::ByteView data);

// Deletes the security context, then releases the credentials, the partner
// name and the own name, each only when held; afterwards nothing is held.
// Results are ignored.
void release_context(SncContext& context) noexcept;

}  // namespace quib::snc
