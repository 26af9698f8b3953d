// Shared pieces of the window tests: a private bus with an in-process hub that records what
// clients post, and record builders.
#pragma once

#include <QByteArray>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "bus/bus_binding.h"
#include "frame/frame_record.h"
#include "frame/receive_log.h"
#include "hub/hub.h"

namespace app_test {

struct PostedBlock {
  std::uint32_t code;
  std::vector<std::uint8_t> bytes;
};

// A hub on a fresh socket path, exported as PELMO_BUS so the bus library finds it.
class TestBus {
 public:
  TestBus() : path_(dir_.filePath(QStringLiteral("bus")).toStdString()) {
    qputenv("PELMO_BUS", QByteArray::fromStdString(path_));
    hub_ = std::make_unique<pelmo::Hub>(pelmo::HubOptions{path_, 4096});
    hub_->SetPostObserver([this](std::uint32_t code, std::span<const std::uint8_t> block) {
      const std::lock_guard<std::mutex> lock(mutex_);
      posted_.push_back({code, {block.begin(), block.end()}});
    });
    std::string error;
    started_ = hub_->Start(&error) == pelmo::HubStart::kStarted;
    if (!started_) qWarning("hub did not start: %s", error.c_str());
  }
  ~TestBus() { hub_->Stop(); }

  bool Started() const { return started_; }
  const std::string& Path() const { return path_; }
  std::uint64_t Clients() const { return hub_->Stats().clients; }

  // Delivers records as one block, the way the companion does.
  void Deliver(const std::vector<frame::FrameRecord>& records) {
    std::vector<std::uint8_t> block;
    for (const auto& r : records) block.insert(block.end(), r.begin(), r.end());
    hub_->Deliver(bus::kBridgeDeliveryCode, block);
  }

  std::vector<PostedBlock> Posted() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
  }

 private:
  QTemporaryDir dir_;
  std::string path_;
  std::unique_ptr<pelmo::Hub> hub_;
  bool started_ = false;
  mutable std::mutex mutex_;
  std::vector<PostedBlock> posted_;
};

inline frame::FrameRecord Std(std::uint32_t id, std::vector<std::uint8_t> data, std::uint16_t ts) {
  return frame::MakeRecord(id, false, data.data(), static_cast<std::uint8_t>(data.size()), ts);
}
inline frame::FrameRecord Ext(std::uint32_t id, std::vector<std::uint8_t> data, std::uint16_t ts) {
  return frame::MakeRecord(id, true, data.data(), static_cast<std::uint8_t>(data.size()), ts);
}

// Resets the process-wide pending text and last timestamp between tests.
inline void ResetReceiveLog() {
  frame::PendingText().clear();
  frame::LastTimestamp() = 0;
}

}  // namespace app_test
