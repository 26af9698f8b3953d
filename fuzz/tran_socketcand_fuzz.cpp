// Fuzzes the socketcand server's input path: splitting a byte stream into messages and
// parsing each as a command. Invariants: the splitter never holds a line past its limit
// unnoticed, and every accepted send round-trips through its formatted form.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tran/socketcand/socketcand_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  tran::MessageSplitter splitter;
  // Feed in uneven pieces, as TCP would.
  std::size_t at = 0;
  for (std::size_t piece = 1; at < input.size(); piece = piece * 3 % 17 + 1) {
    const std::string_view chunk = input.substr(at, piece);
    at += chunk.size();
    const bool ok = splitter.Append(chunk);
    while (const auto message = splitter.Next()) {
      if (message->find_first_of("<>") != std::string::npos) std::abort();
      const tran::Command command = tran::ParseCommand(*message);
      if (command.kind == tran::CommandKind::kSend) {
        const auto rec = frame::DecodeRecord(command.record.data());
        if (rec.length_code > 8) std::abort();
        const std::string text = tran::FormatSendMessage(command.record);
        const tran::Command again = tran::ParseCommand(text.substr(1, text.size() - 2));
        if (again.kind != tran::CommandKind::kSend || again.record != command.record) std::abort();
      }
      if (command.kind == tran::CommandKind::kBad && command.text.empty()) std::abort();
    }
    if (!ok) break;  // the server drops such a peer
  }
  // The client side parser on the same bytes must not crash and must give sane records.
  if (const auto record = tran::ParseFrameMessage(input)) {
    if (frame::DecodeRecord(record->data()).length_code > 8) std::abort();
  }
  return 0;
}
