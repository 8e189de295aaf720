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

// The logging facade every part of the library writes through. Formats are printf-style
// ("%@" of the original texts is "%s" here and takes a string); arguments are checked by fmt,
// so a wrong argument type never reads garbage.
class QMXLogUtil {
 public:
  static QMXLogUtil& sharedInstance();

  template <typename... Args>
  void logTraceInfo(std::string_view module, std::string_view file, const char* func, int32_t line,
                    int32_t tag, std::string_view format, const Args&... args) {
    emit(QMXLogLevelInfo, module, file, line, tag, compose(format, args...), true);
  }

  template <typename... Args>
  void logTraceWarning(std::string_view module, std::string_view file, const char* func,
                       int32_t line, int32_t tag, std::string_view format, const Args&... args) {
    emit(QMXLogLevelWarning, module, file, line, tag, compose(format, args...), true);
  }

  template <typename... Args>
  void logTraceError(std::string_view module, std::string_view file, const char* func, int32_t line,
                     int32_t tag, std::string_view format, const Args&... args) {
    emit(QMXLogLevelError, module, file, line, tag, compose(format, args...), false);
  }

  // Per-frame paths: only sample numbers that are multiples of 120 produce output, and the
  // others cost no formatting at all.
  template <typename... Args>
  void logTraceSamp(std::string_view module, uint64_t sampleNum, std::string_view file,
                    const char* func, int32_t line, int32_t tag, std::string_view format,
                    const Args&... args) {
    if (sampleNum % kQMXLogSampleEvery != 0) return;
    emit(QMXLogLevelInfo, module, file, line, tag, compose(format, args...), true);
  }

  // Console only: "filter=<module>, file=<file>, msg=<message>".
  template <typename... Args>
  void logDebug(std::string_view module, std::string_view file, const char* func, int32_t line,
                int32_t tag, std::string_view format, const Args&... args) {
    debugLine(module, file, compose(format, args...));
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
  // The part of a path after its last "/".
  static std::string_view fileName(std::string_view path);

  template <typename... Args>
  static std::string format_message(std::string_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
      return std::string(format);
    } else {
      try {
        return fmt::sprintf(fmt::string_view(format.data(), format.size()), args...);
      } catch (const std::exception&) {
        // A format that does not fit its arguments still leaves a trace of the call.
        return std::string(format);
      }
    }
  }

 private:
  QMXLogUtil();

  template <typename... Args>
  static std::string compose(std::string_view format, const Args&... args) {
    return format_message(format, args...);
  }

  void emit(int32_t level, std::string_view module, std::string_view file, int32_t line,
            int32_t tag, const std::string& message, bool console);
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
