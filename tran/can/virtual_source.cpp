// The virtual bus: a frame transmitted on it is on the bus, so every transmission is accepted
// and the bridge's echo delivers it to every bus and socketcand client.
#include "tran/can/virtual_source.h"

namespace tran {

namespace {

class VirtualSource final : public CanSource {
 public:
  bool Start(zelk::EventLoop&, ReceiveFn, std::string*) override { return true; }
  void Stop() override {}
  std::size_t Transmit(std::span<const frame::FrameRecord> records, std::uint64_t) override {
    return records.size();
  }
  SourceCounters Counters() const override { return {}; }
  std::string LogName() const override { return "vcan0"; }
};

}  // namespace

std::unique_ptr<CanSource> MakeVirtualSource() { return std::make_unique<VirtualSource>(); }

}  // namespace tran
