// The notification rules shared by the window and the headless tools.
#include "bus/bus_notify.h"

#include "bus/bus_binding.h"
#include "frame/frame_record.h"

namespace bus {

bool IsAcceptedDelivery(std::uint32_t code) noexcept {
  return (code & kCodeRoute) != 0 && (code & kCodeDelivered) != 0 &&
         (code & kKindMask) == kKindFrames;
}

std::intptr_t OnBusNotify(bool paused, std::uintptr_t code, std::intptr_t handle,
                          const frame::ShowRecordContext& ctx) {
  if (paused) return 0;
  // Only the low 32 bits of the code word are defined; higher bits of wparam are not examined.
  if (!IsAcceptedDelivery(static_cast<std::uint32_t>(code))) return 0;
  std::uint32_t byte_count = 0;
  const void* block = Fetch(static_cast<std::uint32_t>(handle), &byte_count);
  if (block == nullptr) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(block);
  // Whole records only: a trailing part-record is never read.
  for (std::uint64_t offset = 0; offset + frame::kRecordSize <= byte_count;
       offset += frame::kRecordSize) {
    frame::ShowRecord(ctx, bytes + offset);
  }
  return 0;
}

}  // namespace bus
