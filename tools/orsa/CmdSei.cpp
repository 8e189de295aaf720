// orsa sei parse HEX: parses one SEI payload, given as hexadecimal text exactly as it arrives
// (emulation-prevention bytes included), and prints the record the library would store.
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "render/OrsaFrameData.h"

namespace orsa::tool {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex digits in pairs; whitespace between pairs is allowed so dumps can be pasted as they are.
std::optional<std::vector<uint8_t>> parseHex(const std::string& text, std::string& error) {
  std::vector<uint8_t> out;
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (high >= 0) {
        error = "odd number of hex digits before position " + std::to_string(i);
        return std::nullopt;
      }
      continue;
    }
    const int v = hexValue(c);
    if (v < 0) {
      error = "not a hex digit at position " + std::to_string(i);
      return std::nullopt;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) {
    error = "odd number of hex digits";
    return std::nullopt;
  }
  return out;
}

int runSei(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0] != "parse") return Usage{"sei", "sei parse HEX"}();
  std::string error;
  auto payload = parseHex(args[1], error);
  if (!payload) return Failure{"sei"}("bad hex: " + error);
  // The quiet parse: stdout carries the record line only, whatever the logger echoes.
  std::array<int64_t, OrsaFrameData::kSEIFieldCount> f{};
  const auto status = OrsaFrameData::decodeSEI(payload->data(), payload->size(), f);
  if (status != OrsaFrameData::SEIStatus::Ok) {
    std::fprintf(stderr, "%s\n", OrsaFrameData::seiStatusText(status));
    return 1;
  }
  OrsaFrameData frame;
  frame.setFps(f[0]);
  frame.setType(f[1]);
  frame.setStartIndex(f[2]);
  frame.setEndIndex(f[3]);
  frame.setFrameIndex(f[4]);
  frame.setLeft(f[5]);
  frame.setTop(f[6]);
  frame.setRight(f[7]);
  frame.setBottom(f[8]);
  std::printf(
      "fps=%lld type=%lld startIndex=%lld endIndex=%lld frameIndex=%lld left=%lld top=%lld "
      "right=%lld bottom=%lld\n",
      static_cast<long long>(frame.fps()), static_cast<long long>(frame.type()),
      static_cast<long long>(frame.startIndex()), static_cast<long long>(frame.endIndex()),
      static_cast<long long>(frame.frameIndex()), static_cast<long long>(frame.left()),
      static_cast<long long>(frame.top()), static_cast<long long>(frame.right()),
      static_cast<long long>(frame.bottom()));
  return 0;
}

}  // namespace

ORSA_TOOL_COMMAND("sei", "sei parse HEX", runSei);

}  // namespace orsa::tool
