// The logon parameters of a Connection: the `params` dict (str to str) read
// into a ConnectionParams and its Route, with every check before any
// network activity, in a fixed order, each with its own message.
//
// The reading itself is plain C++: the environment and the files it needs
// come in through callbacks, so that the caller decides which lock is held
// while they are read.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/params.hpp"
#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::ext {

// The keys and values of `params`, looked up exactly (case-sensitive).
using ParamMap = std::map<std::string, std::string, std::less<>>;

struct ParsedParams {
  proto::ConnectionParams params;
  proto::Route route;
};

// The environment variable of the default SNC library.
inline constexpr const char* kSncLibEnv = "SNC_LIB";

// Credential files larger than this are refused unread: a certificate or a
// key is a few kilobytes.
inline constexpr std::size_t kMaxCredentialFile = 1 << 20;

// Reads an environment variable: nullopt when it is unset (or not UTF-8).
using EnvReader = std::function<std::optional<std::string>(const char* name)>;
// Reads a credential file for a parameter key; the error is the message.
using CredentialReader = std::function<wire::Result<wire::Bytes, std::string>(
    std::string_view key, std::string_view path)>;

// The value of `key` in `params`, or null.
const std::string* find_param(const ParamMap& params, std::string_view key);

// The logon identity of `params` (ashost, sysnr, client, user, passwd,
// lang) over the defaults.
proto::ConnectionParams logon_params(const ParamMap& params);

// Wipes the texts of a parameter map when dropped: it may hold a password.
class WipeParamsOnExit {
 public:
  explicit WipeParamsOnExit(ParamMap& params) : params_(params) {}
  ~WipeParamsOnExit();
  WipeParamsOnExit(const WipeParamsOnExit&) = delete;
  WipeParamsOnExit& operator=(const WipeParamsOnExit&) = delete;

 private:
  ParamMap& params_;
};

// `params` to the parameter set and its route. The error is the message of
// the ExternalRuntimeError (RFC_EXTERNAL_FAILURE) to raise.
wire::Result<ParsedParams, std::string> parse_connection_params(const ParamMap& params,
                                                                const EnvReader& env,
                                                                const CredentialReader& read);

// The process environment (getenv), valid UTF-8 only.
std::optional<std::string> process_env(const char* name);

// A TLS credential file: a regular file of at most kMaxCredentialFile bytes,
// not empty and not PEM. Blocking file I/O: the caller releases the
// interpreter lock around it. The buffer of a refused file is wiped, since a
// key file is a secret whatever its form.
wire::Result<wire::Bytes, std::string> read_tls_credential(std::string_view key,
                                                           std::string_view path);

}  // namespace quib::ext
