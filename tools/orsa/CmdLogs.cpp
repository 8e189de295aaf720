// orsa logs read: the container's log files as text, oldest file first.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "logging/OrsaLogReader.h"
#include "logging/OrsaLogger.h"
#include "platform/AppContainer.h"

namespace {

int runLogs(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0] != "read") return orsa::tool::Usage{"logs", "logs read"}();
  const std::string dir = orsa::platform::AppContainer::home() + "/Library/Caches/OrsaMirelo/logs";
  const std::string base = dir + "/OrsaLog.txt";
  bool any = false;
  for (size_t n = kOrsaLogBackupFiles + 1; n >= 1; --n) {
    const std::string path = OrsaRotatingFileSinkMt::fileName(base, n);
    const auto raw = orsa::tool::readWholeFile(path);
    if (!raw) continue;
    any = true;
    const std::string text = orsaUnscrambleLog(*raw, kOrsaLogScrambleKey);
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  if (!any) {
    std::fprintf(stderr, "orsa: no log files in %s\n", dir.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

ORSA_TOOL_COMMAND("logs", "logs read", runLogs);
