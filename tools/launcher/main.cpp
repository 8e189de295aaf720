// orsa: starts the program that serves the command. The full tool links the media stack
// (FFmpeg, GL, SDL), whose libraries take a quarter of a second to load; commands that need
// none of it (the downloads) run in a program of their own that starts in milliseconds.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool isLight(const char* command) {
  return std::strcmp(command, "download") == 0 || std::strcmp(command, "downloads") == 0;
}

// The command word: the first argument after the tool's own options.
const char* commandOf(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--home") == 0) {
      ++i;
    } else if (std::strncmp(argv[i], "--home=", 7) != 0 && std::strcmp(argv[i], "--verbose") != 0 &&
               std::strcmp(argv[i], "-v") != 0) {
      return argv[i];
    }
  }
  return "";
}

// Beside this program in a build tree, in libexec when installed.
std::string programPath(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  self[n] = '\0';
  std::string dir(self);
  dir.erase(dir.rfind('/'));
  for (const std::string& candidate :
       {dir + "/" + name, dir + "/../" ORSA_LIBEXEC_SUBDIR "/" + name}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return dir + "/" + name;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program =
      programPath(isLight(commandOf(argc, argv)) ? "orsa-download" : "orsa-tool");
  execv(program.c_str(), argv);
  std::fprintf(stderr, "orsa: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
  return 127;
}
