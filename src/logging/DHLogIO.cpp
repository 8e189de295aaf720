#include "logging/DHLogIO.h"

#include "logging/OrsaLoggerWrapper.h"
#include "logging/QMXLogUtil.h"

namespace DHLogIO {

void init(const std::string& version, const std::string& logDirectory) {
  OrsaLoggerWrapper::getInstance().init(version, logDirectory);
}

void writeLog(uint32_t tag, int32_t line, int32_t level, const char* file, const char* message) {
  OrsaLoggerWrapper::getInstance().writeLog(tag, line, level,
                                            file ? std::string(file) : std::string(),
                                            message ? std::string(message) : std::string());
}

void samplingLog(uint64_t sampleNum, uint32_t tag, int32_t line, int32_t level, const char* file,
                 const char* message) {
  if (sampleNum % kQMXLogSampleEvery == 0) writeLog(tag, line, level, file, message);
}

}  // namespace DHLogIO
