#include "logging/OrsaLogReader.h"

#include <cstring>

#include "logging/OrsaLogger.h"

namespace {

// "[YYYY-MM-DD hh:mm:ss.mmm] [": 'd' is any decimal digit, every other byte stands for itself.
constexpr std::string_view kRecordHead = "[dddd-dd-dd dd:dd:dd.ddd] [";

bool startsRecord(const OrsaScrambler& scrambler, const char* line, size_t size) {
  if (size < kRecordHead.size()) return false;
  char head[kRecordHead.size()];
  std::memcpy(head, line, sizeof(head));
  scrambler.apply(head, sizeof(head));
  for (size_t i = 0; i < sizeof(head); ++i) {
    const bool ok =
        kRecordHead[i] == 'd' ? head[i] >= '0' && head[i] <= '9' : head[i] == kRecordHead[i];
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string orsaUnscrambleLog(std::string_view scrambled, std::string_view key) {
  const OrsaScrambler scrambler(key);
  std::string out(scrambled);
  size_t record = 0;
  auto closeRecord = [&](size_t end) { scrambler.apply(out.data() + record, end - record); };
  for (size_t pos = 0; pos < out.size();) {
    const size_t lf = scrambled.find('\n', pos);
    const size_t next = lf == std::string_view::npos ? scrambled.size() : lf + 1;
    if (pos > record && startsRecord(scrambler, scrambled.data() + pos, next - pos)) {
      closeRecord(pos);
      record = pos;
    }
    pos = next;
  }
  closeRecord(out.size());
  return out;
}
