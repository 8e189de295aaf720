#include "logging/OrsaLoggerWrapper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "logging/OrsaLogger.h"

OrsaLoggerWrapper& OrsaLoggerWrapper::getInstance() {
  // Never destroyed: threads may still log while the process exits, and exit() flushes the
  // file's stdio buffer anyway.
  static OrsaLoggerWrapper* instance = new OrsaLoggerWrapper();
  return *instance;
}

OrsaLoggerWrapper::OrsaLoggerWrapper() = default;
OrsaLoggerWrapper::~OrsaLoggerWrapper() = default;

void OrsaLoggerWrapper::init(const std::string& version, const std::string& logDirectory) {
  std::lock_guard lock(mutex_);
  if (logger_) return;
  auto console = std::make_shared<OrsaConsoleSinkMt>();
  console->set_level(spdlog::level::err);

  const std::string path = logDirectory + "/OrsaLog.txt";
  // The probe: a directory we cannot write to leaves us with the console alone.
  const int probeFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool probe = probeFd >= 0;
  std::shared_ptr<OrsaRotatingFileSinkMt> file;
  if (probe) {
    try {
      file =
          std::make_shared<OrsaRotatingFileSinkMt>(path, kOrsaLogMaxFileSize, kOrsaLogBackupFiles);
    } catch (const std::exception&) {
      file.reset();
    }
  }
  logger_ = file ? std::make_shared<OrsaLogger>(spdlog::sinks_init_list{console, file})
                 : std::make_shared<OrsaLogger>(spdlog::sinks_init_list{console});
  fileSink_ = static_cast<bool>(file);
  logger_->set_encrypt_key(kOrsaLogScrambleKey);
  logger_->set_level(spdlog::level::debug);
  if (!version.empty()) logger_->set_headinfo(version);
  if (probe) ::close(probeFd);
}

void OrsaLoggerWrapper::writeLog(uint32_t tag, int32_t line, int32_t level, const char* file,
                                 std::string_view message) {
  if (!file) file = "";
  std::lock_guard lock(mutex_);
  if (logger_) {
    if (!pending_.empty()) {
      for (const auto& p : pending_)
        logger_->write(p.tag, p.level, p.file.c_str(), p.line, p.message);
      pending_.clear();
    }
    logger_->write(tag, level, file, line, message);
    return;
  }
  pending_.push_back(PendingLine{tag, line, level, file, std::string(message)});
}

bool OrsaLoggerWrapper::hasLogger() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(logger_);
}

bool OrsaLoggerWrapper::hasFileSink() const {
  std::lock_guard lock(mutex_);
  return fileSink_;
}

void OrsaLoggerWrapper::flush() {
  std::lock_guard lock(mutex_);
  if (logger_) logger_->flush();
}
