// SNC over the NI transport: the two interfaces the session set-up and the
// transport use (a context being established as an initiator, and once
// established the message channel), and the GSS-API context of the SNC
// adapter behind them.
#pragma once

#include <memory>
#include <optional>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "snc/gss.hpp"
#include "wire/bytes.hpp"

namespace quib::proto {

// What the transport needs of an established SNC security context: wrapping
// and unwrapping messages. Dropping the channel releases the context.
class SncChannel {
 public:
  virtual ~SncChannel() = default;
  virtual wire::Result<wire::Bytes, snc::SncError> wrap_message(wire::ByteView plain) = 0;
  virtual wire::Result<wire::Bytes, snc::SncError> unwrap_message(wire::ByteView wrapped) = 0;
};

// What the handshake needs of a GSS-API security context being established.
class SncInitiator {
 public:
  struct Step {
    std::optional<wire::Bytes> token;  // the output token, none when the step made none
    bool complete = false;             // the context is established
  };

  virtual ~SncInitiator() = default;
  // One init_sec_context step with the acceptor's previous token (none in
  // the first exchange).
  virtual wire::Result<Step, snc::SncError> init_sec_context_step(
      std::optional<wire::ByteView> input) = 0;
  // The exported form of the partner name (the first frame's announcement).
  virtual wire::Result<wire::Bytes, snc::SncError> export_name() = 0;
  // The established context as the transport's SNC channel.
  virtual std::unique_ptr<SncChannel> into_channel() = 0;
};

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

}  // namespace quib::proto
