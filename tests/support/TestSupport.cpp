#include "support/TestSupport.h"

#include "platform/AppContainer.h"
#include "platform/Console.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace orsa::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orsa-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TempHome::TempHome() {
  platform::AppContainer::setRoot(str());
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Quick to notice a condition that comes soon, without spinning through a long wait.
  using std::chrono::milliseconds;
  for (milliseconds pause(1); !done(); pause = std::min(pause * 2, milliseconds(10))) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(pause);
  }
  return true;
}

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
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

pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& outPath, const std::string& errPath) {
  std::vector<std::string> vars, args = argv;
  for (char** e = environ; *e; ++e) vars.emplace_back(*e);
  vars.insert(vars.end(), env.begin(), env.end());
  std::vector<char*> envp, argp;
  for (auto& v : vars) envp.push_back(v.data());
  for (auto& a : args) argp.push_back(a.data());
  envp.push_back(nullptr);
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (!outPath.empty()) posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), flags, 0600);
  if (!errPath.empty()) posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), flags, 0600);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

CommandResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         int timeoutSeconds) {
  TempDir tmp;
  const auto outPath = tmp.path() / "out", errPath = tmp.path() / "err";
  CommandResult r;
  pid_t pid = spawnProgram(argv, env, outPath.string(), errPath.string());
  if (pid < 0) return r;
  int status = 0;
  if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; },
                 std::chrono::seconds(timeoutSeconds))) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  return r;
}

CommandResult runOrsa(const std::string& home, std::vector<std::string> args) {
  args.insert(args.begin(), {orsaToolPath(), "--home", home});
  return runProgram(args);
}

static std::vector<std::string> childEnv(const std::string& name, std::vector<std::string> env) {
  env.push_back("ORSA_TEST_CHILD=" + name);
  return env;
}

static std::string self() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

pid_t spawnChild(const std::string& name, const std::vector<std::string>& env,
                 const std::string& outPath, const std::string& errPath) {
  return spawnProgram({self()}, childEnv(name, env), outPath, errPath);
}

CommandResult runChild(const std::string& name, const std::vector<std::string>& env,
                       int timeoutSeconds) {
  return runProgram({self()}, childEnv(name, env), timeoutSeconds);
}

}  // namespace orsa::test
