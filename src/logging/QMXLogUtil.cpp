#include "logging/QMXLogUtil.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "logging/DHLogIO.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/HostInfo.h"

namespace {

constexpr const char* kLogSubdirectory = "Library/Caches/OrsaMirelo/logs";
constexpr const char* kCacheInfoFile = "OrsaMirelo.txt";
constexpr const char* kCacheInfoZone = "Asia/Shanghai";

void ensureDirectory(const std::string& dir) {
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) std::filesystem::create_directories(dir, ec);
}

// Offset from UTC of a zone without daylight saving, read from the POSIX rule at the end of
// its tz database file (for example "CST-8"). Asia/Shanghai has kept +08:00 since 1991.
long zoneOffsetSeconds(const char* zone) {
  long fallback = 8 * 3600;
  std::ifstream in(std::string("/usr/share/zoneinfo/") + zone, std::ios::binary);
  if (!in) return fallback;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < 3 || data.back() != '\n') return fallback;
  size_t start = data.rfind('\n', data.size() - 2);
  if (start == std::string::npos) return fallback;
  std::string rule = data.substr(start + 1, data.size() - start - 2);
  size_t i = 0;
  if (i < rule.size() && rule[i] == '<') {
    i = rule.find('>');
    if (i == std::string::npos) return fallback;
    ++i;
  } else {
    while (i < rule.size() && std::isalpha(static_cast<unsigned char>(rule[i]))) ++i;
  }
  if (i >= rule.size()) return fallback;
  int sign = 1;
  if (rule[i] == '+' || rule[i] == '-') sign = rule[i++] == '-' ? -1 : 1;
  long h = 0, m = 0, s = 0;
  if (std::sscanf(rule.c_str() + i, "%ld:%ld:%ld", &h, &m, &s) < 1) return fallback;
  // POSIX offsets count west of Greenwich, so "CST-8" is eight hours ahead of UTC.
  return -sign * (h * 3600 + m * 60 + s);
}

std::string cacheInfoDate() {
  static const long offset = zoneOffsetSeconds(kCacheInfoZone);
  using namespace std::chrono;
  auto now = system_clock::now().time_since_epoch();
  auto ms = duration_cast<milliseconds>(now).count();
  std::time_t t = static_cast<std::time_t>(ms / 1000) + offset;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace

QMXLogUtil& QMXLogUtil::sharedInstance() {
  // Never destroyed: lines may still come from other threads while the process exits.
  static QMXLogUtil* instance = new QMXLogUtil();
  return *instance;
}

QMXLogUtil::QMXLogUtil() {
  const std::string version = orsa::platform::HostInfo::get().shortVersion;
  logDirectory_ = orsa::platform::AppContainer::home() + "/" + kLogSubdirectory;
  ensureDirectory(logDirectory_);
  DHLogIO::init(version, logDirectory_);
}

std::string QMXLogUtil::lineText(std::string_view module, std::string_view message) {
  std::string text;
  text.reserve(module.size() + message.size() + 3);
  text.push_back('[');
  text.append(module);
  text.append("] ");
  text.append(message);
  return text;
}

std::string_view QMXLogUtil::fileName(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void QMXLogUtil::emit(int32_t level, std::string_view module, std::string_view file, int32_t line,
                      int32_t tag, const std::string& message, bool console) {
  const std::string text = lineText(module, message);
  if (console) orsa::platform::consoleWrite(text);
  const std::string name(fileName(file));
  DHLogIO::writeLog(static_cast<uint32_t>(tag), line, level, name.c_str(), text.c_str());
}

void QMXLogUtil::debugLine(std::string_view module, std::string_view file,
                           const std::string& message) {
  std::string text = "filter=";
  text.append(module).append(", file=").append(file).append(", msg=").append(message);
  orsa::platform::consoleWrite(text);
}

void QMXLogUtil::logTraceMsg(int32_t level, std::string_view msg) {
  if (level == QMXLogLevelInfo || level == QMXLogLevelWarning || level == QMXLogLevelError) {
    const std::string text(msg);
    DHLogIO::writeLog(static_cast<uint32_t>(kQMXLogMsgTag), 0, level, nullptr, text.c_str());
  } else {
    orsa::platform::consoleWrite("logTraceMsg:" + std::string(msg));
  }
}

void QMXLogUtil::logTreaceMsg(int32_t, std::string_view) {}

void QMXLogUtil::cacheInfo(const std::string& message) {
  orsa::platform::consoleWrite(message);
  ensureDirectory(logDirectory_);
  const std::string path = logDirectory_ + "/" + kCacheInfoFile;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string record = cacheInfoDate() + "\n" + message;
  const char* p = record.data();
  size_t left = record.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}
