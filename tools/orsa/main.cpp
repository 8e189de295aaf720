// orsa: the project's command-line front door.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Command.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/HostInfo.h"

namespace orsa::tool {
namespace {

struct Entry {
  std::string usage;
  CommandFn fn;
};

std::map<std::string, Entry>& registry() {
  static std::map<std::string, Entry> r;
  return r;
}

void printUsage(FILE* out) {
  std::fprintf(out, "usage: orsa [--home DIR] [--verbose] COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto& [name, e] : registry()) std::fprintf(out, "  %s\n", e.usage.c_str());
  std::fprintf(out,
               "\n--home DIR (or ORSA_HOME) selects the app container that holds the cache,\n"
               "preferences and logs. --verbose echoes the library's log lines on standard\n"
               "error; they are always in the log files (see 'orsa logs read').\n");
}

}  // namespace

CommandRegistrar::CommandRegistrar(const char* name, const char* usage, CommandFn fn) {
  registry()[name] = Entry{usage, fn};
}

const char* toolVersion() {
  return ORSA_LIBRARY_VERSION;
}

}  // namespace orsa::tool

int main(int argc, char** argv) {
  using namespace orsa::tool;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string home;
  bool verbose = false;
  while (!args.empty()) {
    if (args[0] == "--home" && args.size() >= 2) {
      home = args[1];
      args.erase(args.begin(), args.begin() + 2);
    } else if (args[0].rfind("--home=", 0) == 0) {
      home = args[0].substr(7);
      args.erase(args.begin());
    } else if (args[0] == "--verbose" || args[0] == "-v") {
      verbose = true;
      args.erase(args.begin());
    } else if (args[0] == "--help" || args[0] == "-h") {
      printUsage(stdout);
      return 0;
    } else if (args[0] == "--version") {
      std::printf("orsa %s\n", toolVersion());
      return 0;
    } else {
      break;
    }
  }
  if (!home.empty()) orsa::platform::AppContainer::setRoot(home);
  // Standard output carries results (a configuration string, a parsed record); the library's
  // log echo goes to standard error with --verbose, every line of it, and every line always
  // reaches the log files.
  orsa::platform::consoleSetEnabled(verbose);
  if (verbose) orsa::platform::consoleSetLevel(orsa::platform::kConsoleDebug);
  orsa::platform::HostInfo::setShortVersion(toolVersion());
  orsa::platform::HostInfo::setBundleIdentifier("orsa.tool");

  if (args.empty()) {
    printUsage(stderr);
    return 2;
  }
  auto it = registry().find(args[0]);
  if (it == registry().end()) {
    std::fprintf(stderr, "orsa: unknown command '%s'\n\n", args[0].c_str());
    printUsage(stderr);
    return 2;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  return it->second.fn(rest);
}
