#pragma once

#include <spdlog/details/file_helper.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/formatter.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

// The file logger behind OrsaLoggerWrapper: spdlog's logger and sink machinery with this
// library's record (a tag per line), line format, numbered files, head-info line and
// scrambling.

inline constexpr std::string_view kOrsaLoggerName = "Orsalog";
inline constexpr const char* kOrsaLogScrambleKey = "vqe";
inline constexpr size_t kOrsaLogMaxFileSize = 20971520;  // 20 MiB
inline constexpr size_t kOrsaLogBackupFiles = 3;

// A record of OrsaLogger: spdlog's record plus the tag. Only OrsaLogger makes them; the
// formatter recognises them by the logger name's storage.
struct OrsaLogMsg : spdlog::details::log_msg {
  OrsaLogMsg(uint32_t tag, spdlog::level::level_enum level, const char* file, int32_t line,
             std::string_view message);
  uint32_t tag = 0;
};

// "[YYYY-MM-DD hh:mm:ss.mmm] [level] [thread] [tag] [file:line] message\n", local time; the
// location is "[]" when the line number is 0.
class OrsaLogFormatter final : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override;
  std::unique_ptr<spdlog::formatter> clone() const override;
  // The head-info line: the text at level info, tag 0, no location.
  void formatHeadInfo(const std::string& text, spdlog::memory_buf_t& dest);

 private:
  std::time_t cachedSecond_ = -1;
  char datePrefix_[32] = {};  // "[YYYY-MM-DD hh:mm:ss."
  size_t datePrefixLen_ = 0;
};

// XORs each byte with key[i % key.size()] unless the byte or the result would be 0x00 or
// 0x0A, so line feeds survive and applying it twice restores the text. Empty key: no change.
class OrsaScrambler {
 public:
  explicit OrsaScrambler(std::string_view key = {});
  void apply(char* data, size_t size) const;

 private:
  typedef unsigned char Stream __attribute__((vector_size(16)));
  Stream stream_[3] = {};  // the key repeated over 48 bytes
  size_t period_ = 0;      // 48 when the key repeats exactly in it, else 0 (byte by byte)
  bool empty_ = true;
  std::string key_;
};

void orsaScrambleLine(char* data, size_t size, std::string_view key);

// What the logger passes on to every sink besides lines.
class OrsaSinkExtras {
 public:
  virtual ~OrsaSinkExtras() = default;
  virtual void setEncryptKey(const std::string& key) = 0;
  virtual void setHeadinfo(const std::string& text) = 0;
};

// The library's console (standard error, never standard output: that belongs to the host),
// under the console's own level and switch; the logger sets it to pass errors, since warnings
// and info lines are echoed there as they are logged.
template <typename Mutex>
class OrsaConsoleSink final : public spdlog::sinks::base_sink<Mutex>, public OrsaSinkExtras {
 public:
  OrsaConsoleSink();
  void setEncryptKey(const std::string& key) override;
  void setHeadinfo(const std::string& text) override;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;

 private:
  OrsaLogFormatter formatter_;
  std::string key_;
};

// OrsaLog1.txt (current) ... OrsaLog4.txt (oldest), rotated by size, each record scrambled
// from its first byte (orsaUnscrambleLog reads the files back).
template <typename Mutex>
class OrsaRotatingFileSink final : public spdlog::sinks::base_sink<Mutex>, public OrsaSinkExtras {
 public:
  OrsaRotatingFileSink(const std::string& basePath, size_t maxSize, size_t backups);
  // File n of the base path split at its last dot: ".../OrsaLog" + n + ".txt".
  static std::string fileName(const std::string& basePath, size_t index);
  void setEncryptKey(const std::string& key) override;
  void setHeadinfo(const std::string& text) override;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;

 private:
  void rotate();
  void writeScrambled(spdlog::memory_buf_t& buf);

  std::string basePath_;
  size_t maxSize_;
  size_t backups_;
  size_t currentSize_ = 0;
  spdlog::details::file_helper file_;
  OrsaLogFormatter formatter_;
  OrsaScrambler scrambler_;
  std::string headinfo_;
};

using OrsaConsoleSinkMt = OrsaConsoleSink<std::mutex>;
using OrsaRotatingFileSinkMt = OrsaRotatingFileSink<std::mutex>;

class OrsaLogger final : public spdlog::logger {
 public:
  OrsaLogger(spdlog::sinks_init_list sinks);
  // A record below the logger's level is discarded; sinks filter by their own level.
  // file: NUL-terminated, "" for none.
  void write(uint32_t tag, int32_t level, const char* file, int32_t line, std::string_view message);
  void set_encrypt_key(const std::string& key);
  void set_headinfo(const std::string& text);
};
