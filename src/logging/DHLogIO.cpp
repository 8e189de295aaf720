#include "logging/DHLogIO.h"

#include "logging/OrsaLoggerWrapper.h"
#include "logging/QMXLogUtil.h"

namespace DHLogIO {

void init(const std::string& version, const std::string& logDirectory) {
  OrsaLoggerWrapper::getInstance().init(version, logDirectory);
}

void writeLog(uint32_t tag, int32_t line, int32_t level, const char* file, const char* message) {
  // The text belongs to this call (the facade formats every line into a buffer of its own);
  // the wrapper copies it only when it has to keep it.
  OrsaLoggerWrapper::getInstance().writeLog(
      tag, line, level, file ? file : "", message ? std::string_view(message) : std::string_view());
}

void samplingLog(uint64_t sampleNum, uint32_t tag, int32_t line, int32_t level, const char* file,
                 const char* message) {
  if (sampleNum % kQMXLogSampleEvery == 0) writeLog(tag, line, level, file, message);
}

}  // namespace DHLogIO
