#include "proto/transport/snc_channel.hpp"

#include <utility>

namespace quib::proto {

wire::Result<SncInitiator::Step, snc::SncError> GssSncInitiator::init_sec_context_step(
    std::optional<wire::ByteView> input) {
  QUIB_TRY(std::optional<wire::Bytes> token, snc::init_sec_context_step(*context_, input));
  return Step{std::move(token), context_->established()};
}

wire::Result<wire::Bytes, snc::SncError> GssSncInitiator::export_name() {
  return snc::export_name(*context_);
}

std::unique_ptr<SncChannel> GssSncInitiator::into_channel() {
  if (!context_) return nullptr;
  auto channel = std::make_unique<GssSncChannel>(std::move(*context_));
  context_.reset();
  return channel;
}

wire::Result<wire::Bytes, snc::SncError> GssSncChannel::wrap_message(wire::ByteView plain) {
  return snc::wrap_message(context_, plain);
}

wire::Result<wire::Bytes, snc::SncError> GssSncChannel::unwrap_message(wire::ByteView wrapped) {
  return snc::unwrap_message(context_, wrapped);
}

snc::ContextOptions snc_context_options(const SncOptions& options) {
  return {options.library_path, options.own_name, options.partner_name, options.protection_level};
}

ProtoResult<std::unique_ptr<GssSncInitiator>> open_snc_initiator(const SncOptions& options) {
  QUIB_TRY(snc::SncContext context, snc::SncContext::create(snc_context_options(options)));
  return std::make_unique<GssSncInitiator>(std::move(context));
}

}  // namespace quib::proto
