#pragma once

#include <fmt/printf.h>

#include <cstdint>
#include <string>
#include <string_view>

// Log levels as the log file names them.
enum QMXLogLevel : int32_t {
  QMXLogLevelTrace = 0,
  QMXLogLevelDebug = 1,
  QMXLogLevelInfo = 2,
  QMXLogLevelWarning = 3,
  QMXLogLevelError = 4,
  QMXLogLevelCritical = 5,
  QMXLogLevelOff = 6,
};

// The tag every library call site passes.
inline constexpr int32_t kQMXLogTag = 1215;
// The tag of lines that arrive through logTraceMsg.
inline constexpr int32_t kQMXLogMsgTag = 2025;
// Only every this-many-th sampled line is written.
inline constexpr uint64_t kQMXLogSampleEvery = 120;

// The logging facade every part of the library writes through. Formats are printf-style, and
// "%s" takes any string (std::string, string_view or C string); arguments are checked by fmt,
// so a wrong argument type never reads garbage.
class QMXLogUtil {
 public:
  static QMXLogUtil& sharedInstance();

  template <typename... Args>
  void logTraceInfo(std::string_view module, const char* file, const char* func, int32_t line,
                    int32_t tag, std::string_view format, const Args&... args) {
    emit(QMXLogLevelInfo, module, file, line, tag, true, format, fmt::make_printf_args(args...));
  }

  template <typename... Args>
  void logTraceWarning(std::string_view module, const char* file, const char* func, int32_t line,
                       int32_t tag, std::string_view format, const Args&... args) {
    emit(QMXLogLevelWarning, module, file, line, tag, true, format, fmt::make_printf_args(args...));
  }

  template <typename... Args>
  void logTraceError(std::string_view module, const char* file, const char* func, int32_t line,
                     int32_t tag, std::string_view format, const Args&... args) {
    emit(QMXLogLevelError, module, file, line, tag, false, format, fmt::make_printf_args(args...));
  }

  // Per-frame paths: only sample numbers that are multiples of 120 produce output, and the
  // others cost no formatting at all.
  template <typename... Args>
  void logTraceSamp(std::string_view module, uint64_t sampleNum, const char* file, const char* func,
                    int32_t line, int32_t tag, std::string_view format, const Args&... args) {
    if (sampleNum % kQMXLogSampleEvery != 0) return;
    emit(QMXLogLevelInfo, module, file, line, tag, true, format, fmt::make_printf_args(args...));
  }

  // Console only: "filter=<module>, file=<file>, msg=<message>".
  template <typename... Args>
  void logDebug(std::string_view module, std::string_view file, const char* func, int32_t line,
                int32_t tag, std::string_view format, const Args&... args) {
    debugLine(module, file, format_message(format, args...));
  }

  // Levels 2, 3, 4 go to the log file as they are (tag 2025, no location); any other level is
  // echoed to the console as "logTraceMsg:<msg>".
  void logTraceMsg(int32_t level, std::string_view msg);
  // Accepted and ignored.
  void logTreaceMsg(int32_t level, std::string_view msg);

  // Console, plus a dated record appended to "OrsaMirelo.txt" in the log directory.
  template <typename... Args>
  void logTraceCacheInfo(std::string_view file, const char* func, int32_t line, int32_t tag,
                         std::string_view format, const Args&... args) {
    cacheInfo(format_message(format, args...));
  }

  const std::string& logDirectory() const { return logDirectory_; }

  // The message text of a trace call: "[" module "] " formatted message.
  static std::string lineText(std::string_view module, std::string_view message);
  // The part of a path after its last "/" (a suffix of the argument, so still NUL-terminated).
  static const char* fileName(const char* path);

  // Appends format applied to args, printf-style, exactly as fmt::sprintf would.
  static void appendFormatted(fmt::memory_buffer& out, std::string_view format,
                              fmt::printf_args args);

  template <typename... Args>
  static std::string format_message(std::string_view format, const Args&... args) {
    fmt::memory_buffer buf;
    appendFormatted(buf, format, fmt::make_printf_args(args...));
    return fmt::to_string(buf);
  }

 private:
  QMXLogUtil();

  // Formats into one buffer on the stack ("[" module "] " message) and hands it on without
  // further copies: this runs for every line of every thread.
  void emit(int32_t level, std::string_view module, const char* file, int32_t line, int32_t tag,
            bool console, std::string_view format, fmt::printf_args args);
  void debugLine(std::string_view module, std::string_view file, const std::string& message);
  void cacheInfo(const std::string& message);

  std::string logDirectory_;
};

#define ORSA_LOG_INFO(module, ...)                                                              \
  ::QMXLogUtil::sharedInstance().logTraceInfo(module, __FILE__, __func__, __LINE__, kQMXLogTag, \
                                              __VA_ARGS__)
#define ORSA_LOG_WARN(module, ...)                                                                 \
  ::QMXLogUtil::sharedInstance().logTraceWarning(module, __FILE__, __func__, __LINE__, kQMXLogTag, \
                                                 __VA_ARGS__)
#define ORSA_LOG_ERROR(module, ...)                                                              \
  ::QMXLogUtil::sharedInstance().logTraceError(module, __FILE__, __func__, __LINE__, kQMXLogTag, \
                                               __VA_ARGS__)
#define ORSA_LOG_SAMP(module, sampleNum, ...)                                                  \
  ::QMXLogUtil::sharedInstance().logTraceSamp(module, sampleNum, __FILE__, __func__, __LINE__, \
                                              kQMXLogTag, __VA_ARGS__)
#define ORSA_LOG_DEBUG(module, ...)                                                         \
  ::QMXLogUtil::sharedInstance().logDebug(module, __FILE__, __func__, __LINE__, kQMXLogTag, \
                                          __VA_ARGS__)
#define ORSA_LOG_CACHE_INFO(...)                                                             \
  ::QMXLogUtil::sharedInstance().logTraceCacheInfo(__FILE__, __func__, __LINE__, kQMXLogTag, \
                                                   __VA_ARGS__)
