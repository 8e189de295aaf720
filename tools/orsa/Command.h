#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace orsa::tool {

// A subcommand of the orsa tool. Each lives in a file of its own and registers itself, so
// adding one touches nothing else. Returns the process exit code.
using CommandFn = int (*)(const std::vector<std::string>& args);

struct CommandRegistrar {
  CommandRegistrar(const char* name, const char* usage, CommandFn fn);
};

// The tool's own version (also the host version its log lines carry).
const char* toolVersion();

// How every command reports on standard error. Each command file holds its own, named after
// the command: `constexpr Usage usage{"config", kUsage};`, then `return usage("why");`.
//
// A misuse: "orsa NAME: WHY" and then "usage: orsa TEXT"; exit code 2. Without a why, the usage
// line alone.
struct Usage {
  const char* command;
  const char* text;
  int operator()(const std::string& why) const {
    std::fprintf(stderr, "orsa %s: %s\n", command, why.c_str());
    return (*this)();
  }
  int operator()() const {
    std::fprintf(stderr, "usage: orsa %s\n", text);
    return 2;
  }
};

// A failure: "orsa NAME: WHY"; exit code 1.
struct Failure {
  const char* command;
  int operator()(const std::string& why) const {
    std::fprintf(stderr, "orsa %s: %s\n", command, why.c_str());
    return 1;
  }
};

// A whole file's bytes; nothing when it cannot be opened.
inline std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "WxH@SCALE" (a layer in points and its pixels per point), syntax only: each command bounds
// the numbers itself.
inline bool parseLayer(const std::string& text, double& width, double& height, double& scale) {
  char tail = 0;
  return std::sscanf(text.c_str(), "%lfx%lf@%lf%c", &width, &height, &scale, &tail) == 3;
}

}  // namespace orsa::tool

#define ORSA_TOOL_COMMAND_CONCAT2(a, b) a##b
#define ORSA_TOOL_COMMAND_CONCAT(a, b) ORSA_TOOL_COMMAND_CONCAT2(a, b)
// ORSA_TOOL_COMMAND("config", "config encode ... | config decode STRING", runConfig);
#define ORSA_TOOL_COMMAND(name, usage, fn)                                                    \
  static ::orsa::tool::CommandRegistrar ORSA_TOOL_COMMAND_CONCAT(orsaToolCommand_, __LINE__)( \
      name, usage, fn)
