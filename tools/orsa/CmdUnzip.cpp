// orsa unzip ARCHIVE DEST [--no-overwrite] [--password P]
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "utils/zip/VZZipArchive.h"

namespace orsa::tool {
namespace {

// Archives smaller than this unpack too quickly for progress to matter.
constexpr uint64_t kProgressThreshold = 32ull << 20;

double mb(uint64_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

int runUnzip(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool overwrite = true;
  std::string password;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--no-overwrite") {
      overwrite = false;
    } else if (args[i] == "--password" && i + 1 < args.size()) {
      password = args[++i];
    } else if (args[i].rfind("--password=", 0) == 0) {
      password = args[i].substr(11);
    } else if (args[i].rfind("--", 0) == 0) {
      std::fprintf(stderr, "unzip: unknown option %s\n", args[i].c_str());
      return 2;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) {
    return Usage{"unzip", "unzip ARCHIVE DEST [--no-overwrite] [--password P]"}();
  }
  const std::string& archive = positional[0];
  const std::string& dest = positional[1];

  const uint64_t payload = VZZipArchive::payloadSizeForArchiveAtPath(archive, nullptr);
  const bool large = payload >= kProgressThreshold;
  const bool live = large && ::isatty(STDERR_FILENO);
  uint64_t done = 0;
  int64_t entries = 0;
  VZZipProgressHandler progress;
  if (large) {
    progress = [&](const std::string&, const VZZipFileInfo& info, int64_t n, int64_t total) {
      done += info.uncompressedSize;
      entries = n + 1;
      if (live) {
        std::fprintf(stderr, "\runzip: %lld/%lld entries, %.1f/%.1f MB",
                     static_cast<long long>(n + 1), static_cast<long long>(total), mb(done),
                     mb(payload));
        std::fflush(stderr);
      }
    };
  }

  orsa::platform::Error error;
  bool ok = VZZipArchive::unzipFileAtPath(archive, dest, true, overwrite, dest, 0, password, &error,
                                          nullptr, progress, nullptr);
  if (live) std::fprintf(stderr, "\n");
  if (!ok) {
    if (error.description.empty())
      std::fprintf(stderr, "-1 unzip stopped\n");
    else
      std::fprintf(stderr, "%lld %s\n", static_cast<long long>(error.code),
                   error.description.c_str());
    return 1;
  }
  if (large)
    std::fprintf(stderr, "unzip: %lld entries, %.1f MB into %s\n", static_cast<long long>(entries),
                 mb(done), dest.c_str());
  return 0;
}

}  // namespace
}  // namespace orsa::tool

ORSA_TOOL_COMMAND("unzip", "unzip ARCHIVE DEST [--no-overwrite] [--password P]",
                  orsa::tool::runUnzip);
