#include "support/TestSupport.h"

#include <sys/wait.h>

#include <fstream>
#include <random>
#include <sstream>

namespace orsa::test {

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (int i = 0; i < 100; ++i) {
    auto p = base / ("orsa-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string orsaToolPath() { return ORSA_TOOL_PATH; }

CommandResult runCommand(const std::string& commandLine, int timeoutSeconds) {
  TempDir tmp;
  auto outPath = tmp.path() / "out";
  auto errPath = tmp.path() / "err";
  std::string cmd = "timeout " + std::to_string(timeoutSeconds) + " sh -c '" + [&] {
    std::string q;
    for (char c : commandLine) {
      if (c == '\'')
        q += "'\\''";
      else
        q += c;
    }
    return q;
  }() + "' >" + outPath.string() + " 2>" + errPath.string() + " </dev/null";
  int status = std::system(cmd.c_str());
  CommandResult r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  return r;
}

}  // namespace orsa::test
