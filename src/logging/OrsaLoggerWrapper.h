#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class OrsaLogger;

// Process-wide owner of the file logger. Lines that arrive before the logger exists wait in
// the pending list and are written, in order, ahead of the next line once it does.
class OrsaLoggerWrapper {
 public:
  static OrsaLoggerWrapper& getInstance();

  // Creates the logger (console sink, plus the rotating scrambled file sink when the log
  // directory is writable). A second call does nothing.
  void init(const std::string& version, const std::string& logDirectory);

  // file: NUL-terminated name, "" when there is none.
  void writeLog(uint32_t tag, int32_t line, int32_t level, const char* file,
                std::string_view message);

  // For tests and tools: whether the logger exists and whether it has a file.
  bool hasLogger() const;
  bool hasFileSink() const;
  // Writes buffered file output through to the file (tools and tests that read the file).
  void flush();

  // The process uses getInstance(); separate instances exist for tests and tools.
  OrsaLoggerWrapper();
  ~OrsaLoggerWrapper();

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<OrsaLogger> logger_;
  bool fileSink_ = false;
  // Kept as records, not as ";"-joined text: a message holding ";" or a line without a file
  // name must survive the wait like any other.
  struct PendingLine {
    uint32_t tag;
    int32_t line;
    int32_t level;
    std::string file;
    std::string message;
  };
  std::vector<PendingLine> pending_;
};
