#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace orsa::platform {

void consoleWrite(std::string_view line) {
  // One write(2) per line keeps lines from different threads whole.
  std::string buf;
  buf.reserve(line.size() + 1);
  buf.append(line);
  buf.push_back('\n');
  const char* p = buf.data();
  size_t left = buf.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace orsa::platform
