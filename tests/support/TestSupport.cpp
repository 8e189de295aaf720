#include "support/TestSupport.h"

#include "platform/Console.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

std::string consoleOf(const std::function<void()>& calls) {
  platform::consoleSetEnabled(true);
  testing::internal::CaptureStderr();
  calls();
  platform::consoleFlush();  // lines are written by a thread of their own
  platform::consoleSetEnabled(false);
  return testing::internal::GetCapturedStderr();
}

std::string orsaToolPath() {
  return ORSA_TOOL_PATH;
}

CommandResult runCommand(const std::string& commandLine, int timeoutSeconds) {
  TempDir tmp;
  auto outPath = tmp.path() / "out";
  auto errPath = tmp.path() / "err";
  std::string cmd = "timeout " + std::to_string(timeoutSeconds) + " sh -c '" +
                    [&] {
                      std::string q;
                      for (char c : commandLine) {
                        if (c == '\'')
                          q += "'\\''";
                        else
                          q += c;
                      }
                      return q;
                    }() +
                    "' >" + outPath.string() + " 2>" + errPath.string() + " </dev/null";
  int status = std::system(cmd.c_str());
  CommandResult r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  return r;
}

pid_t spawnChild(const std::string& name, const std::vector<std::string>& env,
                 const std::string& outPath, const std::string& errPath) {
  std::vector<std::string> vars;
  for (char** e = environ; *e; ++e) vars.emplace_back(*e);
  vars.push_back("ORSA_TEST_CHILD=" + name);
  vars.insert(vars.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  char* argv[] = {self.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!outPath.empty())
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  if (!errPath.empty())
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

CommandResult runChild(const std::string& name, const std::vector<std::string>& env,
                       int timeoutSeconds) {
  TempDir tmp;
  auto outPath = tmp.path() / "out";
  auto errPath = tmp.path() / "err";
  CommandResult r;
  pid_t pid = spawnChild(name, env, outPath.string(), errPath.string());
  if (pid < 0) return r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(2000);
  }
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  return r;
}

}  // namespace orsa::test
