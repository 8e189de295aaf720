#include "logging/QMXLogUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <type_traits>

#include "logging/DHLogIO.h"
#include "logging/LogRedact.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/FileIO.h"
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

// The usual conversions of the library's log formats (%s, %d, %u, %ld, %lld, %llu, %zu, %%
// without flags, width or precision), formatted without fmt's general printf machinery, which
// costs more than the rest of a log line together. Returns false, having appended nothing
// that counts, for anything else; the caller then formats the whole line with fmt.
struct FastArg {
  enum Kind { None, Signed, Unsigned, Text } kind = None;
  bool wide = false;  // wider than int: printf without a length keeps the argument's size
  long long s = 0;
  unsigned long long u = 0;
  std::string_view text;

  template <typename T>
  void operator()(T v) {
    if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, char>) {
      kind = None;  // printf converts these in ways the fast path does not mirror
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      kind = Signed;
      wide = sizeof(T) > sizeof(int);
      s = static_cast<long long>(v);
    } else if constexpr (std::is_integral_v<T>) {
      kind = Unsigned;
      wide = sizeof(T) > sizeof(int);
      u = static_cast<unsigned long long>(v);
    } else if constexpr (std::is_same_v<T, const char*>) {
      kind = v ? Text : None;
      if (v) text = v;
    } else if constexpr (std::is_same_v<T, fmt::basic_string_view<char>>) {
      kind = Text;
      text = std::string_view(v.data(), v.size());
    } else {
      kind = None;
    }
  }
};

template <typename T>
inline void appendInt(fmt::memory_buffer& out, T v) {
  fmt::format_int f(v);
  out.append(f.data(), f.data() + f.size());
}

bool fastPrintf(fmt::memory_buffer& out, std::string_view format, const fmt::printf_args& args) {
  int next = 0;
  const char* p = format.data();
  const char* end = p + format.size();
  while (p < end) {
    const char* pct = static_cast<const char*>(std::memchr(p, '%', static_cast<size_t>(end - p)));
    if (!pct) {
      out.append(p, end);
      return true;
    }
    out.append(p, pct);
    p = pct + 1;
    if (p >= end) return false;
    if (*p == '%') {
      out.push_back('%');
      ++p;
      continue;
    }
    enum Length { Int, Long, LongLong, Size } length = Int;
    if (*p == 'l') {
      ++p;
      length = Long;
      if (p < end && *p == 'l') {
        ++p;
        length = LongLong;
      }
    } else if (*p == 'z') {
      ++p;
      length = Size;
    }
    if (p >= end) return false;
    const char conv = *p++;
    FastArg a;
    auto arg = args.get(next++);
    if (!arg) return false;
    fmt::visit_format_arg(a, arg);
    if (conv == 's' && length == Int) {
      if (a.kind != FastArg::Text) return false;
      out.append(a.text);
    } else if (conv == 'd' || conv == 'i' || conv == 'u') {
      if (a.kind != FastArg::Signed && a.kind != FastArg::Unsigned) return false;
      const unsigned long long raw =
          a.kind == FastArg::Signed ? static_cast<unsigned long long>(a.s) : a.u;
      // The conversion decides signedness; the length, or else the argument, decides size.
      if (length == Int && a.wide) length = LongLong;
      if (conv == 'u') {
        switch (length) {
          case Int:
            appendInt(out, static_cast<unsigned>(raw));
            break;
          case Long:
            appendInt(out, static_cast<unsigned long>(raw));
            break;
          case LongLong:
            appendInt(out, raw);
            break;
          case Size:
            appendInt(out, static_cast<size_t>(raw));
            break;
        }
      } else {
        switch (length) {
          case Int:
            appendInt(out, static_cast<int>(raw));
            break;
          case Long:
            appendInt(out, static_cast<long>(raw));
            break;
          case LongLong:
            appendInt(out, static_cast<long long>(raw));
            break;
          case Size:
            appendInt(out, static_cast<long long>(raw));
            break;
        }
      }
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

void QMXLogUtil::appendFormatted(fmt::memory_buffer& out, std::string_view format,
                                 fmt::printf_args args) {
  const size_t start = out.size();
  if (fastPrintf(out, format, args)) return;
  out.resize(start);
  try {
    fmt::detail::vprintf(out, fmt::string_view(format.data(), format.size()), args);
  } catch (const std::exception&) {
    // A format that does not fit its arguments still leaves a trace of the call.
    out.resize(start);
    out.append(format);
  }
}

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

const char* QMXLogUtil::fileName(const char* path) {
  if (!path) return "";
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void QMXLogUtil::emit(int32_t level, std::string_view module, const char* file, int32_t line,
                      int32_t tag, bool console, std::string_view format, fmt::printf_args args) {
  fmt::memory_buffer text;
  text.push_back('[');
  text.append(module);
  text.append(std::string_view("] "));
  appendFormatted(text, format, args);
  // Every line passes here on its way to the console and the file: no credential gets past.
  std::string masked;
  if (orsaRedactSecrets(std::string_view(text.data(), text.size()), masked)) {
    if (console) orsa::platform::consoleWrite(masked, level);
    DHLogIO::writeLog(static_cast<uint32_t>(tag), line, level, fileName(file), masked.c_str());
    return;
  }
  if (console) orsa::platform::consoleWrite(std::string_view(text.data(), text.size()), level);
  text.push_back('\0');
  DHLogIO::writeLog(static_cast<uint32_t>(tag), line, level, fileName(file), text.data());
}

void QMXLogUtil::debugLine(std::string_view module, std::string_view file,
                           const std::string& message) {
  std::string text = "filter=";
  text.append(module).append(", file=").append(file).append(", msg=").append(message);
  orsa::platform::consoleWrite(orsaRedacted(text), orsa::platform::kConsoleDebug);
}

void QMXLogUtil::logTraceMsg(int32_t level, std::string_view msg) {
  if (level == QMXLogLevelInfo || level == QMXLogLevelWarning || level == QMXLogLevelError) {
    const std::string text = orsaRedacted(msg);
    DHLogIO::writeLog(static_cast<uint32_t>(kQMXLogMsgTag), 0, level, nullptr, text.c_str());
  } else {
    orsa::platform::consoleWrite("logTraceMsg:" + orsaRedacted(msg), orsa::platform::kConsoleDebug);
  }
}

void QMXLogUtil::logTreaceMsg(int32_t, std::string_view) {}

void QMXLogUtil::cacheInfo(const std::string& raw) {
  const std::string message = orsaRedacted(raw);
  orsa::platform::consoleWrite(message);
  ensureDirectory(logDirectory_);
  const std::string path = logDirectory_ + "/" + kCacheInfoFile;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)::fchmod(fd, 0600);  // one an older version made readable to all
  std::string record = cacheInfoDate() + "\n" + message;
  (void)orsa::platform::writeAll(fd, record);  // logging reports nothing back
  ::close(fd);
}
