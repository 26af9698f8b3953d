#include "tran/socketcand/socketcand_protocol.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "tran/base/hex_text.h"

namespace tran {

namespace {

std::vector<std::string_view> SplitTokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() &&
           (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n')) {
      ++pos;
    }
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t' && text[pos] != '\r' &&
           text[pos] != '\n') {
      ++pos;
    }
    if (pos > start) tokens.push_back(text.substr(start, pos - start));
  }
  return tokens;
}

Command Bad(std::string reason) {
  Command command;
  command.kind = CommandKind::kBad;
  command.text = std::move(reason);
  return command;
}

Command ParseSend(const std::vector<std::string_view>& tokens) {
  if (tokens.size() < 3) return Bad("send needs an id and a length");
  const auto id = ParseIdToken(tokens[1]);
  if (!id) return Bad("bad id");
  const auto length = ParseHexToken(tokens[2], 2);
  if (!length || *length > frame::kMaxShownLength) return Bad("bad length");
  if (tokens.size() - 3 != *length) return Bad("length does not match the data");
  std::uint8_t data[frame::kMaxShownLength] = {};
  for (std::size_t i = 0; i < *length; ++i) {
    const auto byte = ParseHexToken(tokens[3 + i], 2);
    if (!byte) return Bad("bad data byte");
    data[i] = static_cast<std::uint8_t>(*byte);
  }
  Command command;
  command.kind = CommandKind::kSend;
  command.record =
      frame::MakeRecord(id->value, id->extended, data, static_cast<std::uint8_t>(*length), 0);
  return command;
}

void AppendTime(std::string& out, const timeval& time) {
  char text[48];
  const int n = std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(time.tv_sec),
                              static_cast<long long>(time.tv_usec));
  out.append(text, static_cast<std::size_t>(n));
}

void AppendId(std::string& out, const frame::DecodedRecord& rec) {
  if (rec.extended) {
    AppendHex(out, rec.identifier & frame::kMaxExtendedId, 8);
  } else {
    AppendHex(out, rec.identifier & frame::kMaxStandardId, 3);
  }
}

}  // namespace

bool MessageSplitter::Append(std::string_view bytes) {
  const std::size_t last_close = bytes.rfind('>');
  since_close_ = last_close == std::string_view::npos ? since_close_ + bytes.size()
                                                      : bytes.size() - last_close - 1;
  buffer_.append(bytes);
  return since_close_ <= kMaxPendingLine;
}

std::optional<std::string> MessageSplitter::Next() {
  const std::size_t close = buffer_.find('>');
  if (close == std::string::npos) {
    // Keep only a started message; bytes before its '<' are noise.
    const std::size_t open = buffer_.rfind('<');
    buffer_.erase(0, open == std::string::npos ? buffer_.size() : open);
    return std::nullopt;
  }
  // The message starts at the last '<' before the '>'; anything earlier is noise.
  const std::size_t open = buffer_.rfind('<', close);
  std::optional<std::string> inner;
  if (open != std::string::npos) inner = buffer_.substr(open + 1, close - open - 1);
  buffer_.erase(0, close + 1);
  if (!inner) return Next();
  return inner;
}

std::optional<ParsedId> ParseIdToken(std::string_view token) {
  const auto value = ParseHexToken(token, 8);
  if (!value || *value > frame::kMaxExtendedId) return std::nullopt;
  return ParsedId{*value, token.size() == 8 || *value > frame::kMaxStandardId};
}

Command ParseCommand(std::string_view inner) {
  const auto tokens = SplitTokens(inner);
  if (tokens.empty()) return Command{};
  const std::string_view verb = tokens[0];
  Command command;
  if (verb == "open") {
    if (tokens.size() != 2) return Bad("open needs one channel name");
    command.kind = CommandKind::kOpen;
    command.text = std::string(tokens[1]);
  } else if (verb == "rawmode") {
    command.kind = CommandKind::kRawmode;
  } else if (verb == "echo") {
    command.kind = CommandKind::kEcho;
  } else if (verb == "send") {
    return ParseSend(tokens);
  }
  return command;
}

namespace {

// "1700000000.000123" (or "12", "1.5") in microseconds; nullopt for anything else.
std::optional<std::int64_t> ParseTimeToken(std::string_view text) {
  const std::size_t dot = text.find('.');
  const std::string_view seconds = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  // Twelve digits of seconds reach far past any clock's date; nine of a fraction are ns.
  if (seconds.empty() || seconds.size() > 12 || fraction.size() > 9) return std::nullopt;
  if (dot != std::string_view::npos && fraction.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : seconds) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  std::int64_t micros = 0;
  for (std::size_t i = 0; i < 6; ++i) {
    const char c = i < fraction.size() ? fraction[i] : '0';
    if (c < '0' || c > '9') return std::nullopt;
    micros = micros * 10 + (c - '0');
  }
  for (std::size_t i = 6; i < fraction.size(); ++i) {
    if (fraction[i] < '0' || fraction[i] > '9') return std::nullopt;
  }
  return value * 1'000'000 + micros;
}

}  // namespace

std::optional<frame::FrameRecord> ParseFrameMessage(std::string_view inner,
                                                    std::optional<std::int64_t>* time_us) {
  const auto tokens = SplitTokens(inner);
  if (tokens.size() < 3 || tokens.size() > 4 || tokens[0] != "frame") return std::nullopt;
  const auto id = ParseIdToken(tokens[1]);
  if (!id) return std::nullopt;
  for (char c : tokens[2]) {
    if ((c < '0' || c > '9') && c != '.') return std::nullopt;
  }
  if (time_us) *time_us = ParseTimeToken(tokens[2]);
  const std::string_view hex = tokens.size() == 4 ? tokens[3] : std::string_view{};
  if (hex.size() % 2 != 0 || hex.size() > 2 * frame::kMaxShownLength) return std::nullopt;
  std::uint8_t data[frame::kMaxShownLength] = {};
  for (std::size_t i = 0; i < hex.size() / 2; ++i) {
    const auto byte = ParseHexToken(hex.substr(2 * i, 2), 2);
    if (!byte) return std::nullopt;
    data[i] = static_cast<std::uint8_t>(*byte);
  }
  return frame::MakeRecord(id->value, id->extended, data, static_cast<std::uint8_t>(hex.size() / 2),
                           0);
}

void AppendFrameMessage(std::string& out, const frame::FrameRecord& record, const timeval& time) {
  const frame::DecodedRecord rec = frame::DecodeRecord(record.data());
  out += "< frame ";
  AppendId(out, rec);
  out += ' ';
  AppendTime(out, time);
  out += ' ';
  for (std::uint8_t i = 0; i < rec.shown_length; ++i) AppendHex(out, rec.data[i], 2);
  out += " >";
}

std::string FormatFrameMessage(const frame::FrameRecord& record, const timeval& time) {
  std::string out;
  AppendFrameMessage(out, record, time);
  return out;
}

std::string FormatSendMessage(const frame::FrameRecord& record) {
  const frame::DecodedRecord rec = frame::DecodeRecord(record.data());
  std::string out = "< send ";
  AppendId(out, rec);
  out += ' ';
  AppendHex(out, rec.shown_length, 1);
  for (std::uint8_t i = 0; i < rec.shown_length; ++i) {
    out += ' ';
    AppendHex(out, rec.data[i], 2);
  }
  out += " >";
  return out;
}

}  // namespace tran
