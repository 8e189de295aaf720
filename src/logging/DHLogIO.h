#pragma once

#include <cstdint>
#include <string>

// File-logger entry points the logging facade hands its lines to.
namespace DHLogIO {

// Creates the file logger once per process (later calls do nothing).
void init(const std::string& version, const std::string& logDirectory);

// Each call works on its own copy of the message.
void writeLog(uint32_t tag, int32_t line, int32_t level, const char* file, const char* message);

// writeLog only when sampleNum is a multiple of 120.
void samplingLog(uint64_t sampleNum, uint32_t tag, int32_t line, int32_t level, const char* file,
                 const char* message);

}  // namespace DHLogIO
