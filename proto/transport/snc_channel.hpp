// SNC over the NI transport: the GSS-API context of the SNC adapter behind
// the two interfaces the session set-up and the transport use, the context
// exchange as an initiator and, once established, the message channel.
#pragma once

#include <memory>
#include <optional>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/session/setup.hpp"
#include "proto/transport/ni_transport.hpp"
#include "snc/gss.hpp"

namespace quib::proto {

// An SncContext being established, driven by the handshake.
class GssSncInitiator final : public SncInitiator {
 public:
  explicit GssSncInitiator(snc::SncContext context) : context_(std::move(context)) {}

  wire::Result<Step, snc::SncError> init_sec_context_step(
      std::optional<wire::ByteView> input) override;
  wire::Result<wire::Bytes, snc::SncError> export_name() override;
  // Hands the context over to a channel; the initiator holds nothing after.
  std::unique_ptr<SncChannel> into_channel() override;

 private:
  std::optional<snc::SncContext> context_;
};

// An established SncContext wrapping and unwrapping the transport's
// messages; dropping the channel releases the context.
class GssSncChannel final : public SncChannel {
 public:
  explicit GssSncChannel(snc::SncContext context) : context_(std::move(context)) {}

  wire::Result<wire::Bytes, snc::SncError> wrap_message(wire::ByteView plain) override;
  wire::Result<wire::Bytes, snc::SncError> unwrap_message(wire::ByteView wrapped) override;

 private:
  snc::SncContext context_;
};

// The adapter's view of the parameter set's SNC options.
snc::ContextOptions snc_context_options(const SncOptions& options);

// A new context from the options (library loaded, names imported,
// credentials acquired) ready for the handshake; failures are Snc.
ProtoResult<std::unique_ptr<GssSncInitiator>> open_snc_initiator(const SncOptions& options);

// The SNC context exchange with a context made from the options; on success
// the established context is installed in the transport, on any failure it
// is released.
ProtoStatus snc_handshake(NiTransport& transport, const SncOptions& options);

}  // namespace quib::proto
