#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace orsa::test {

// A fresh temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// Path of the built orsa tool (empty when the tool is not built).
std::string orsaToolPath();

struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
// Runs a command line through /bin/sh with a time limit, capturing both streams.
CommandResult runCommand(const std::string& commandLine, int timeoutSeconds = 120);

}  // namespace orsa::test
