#include "platform/FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

namespace orsa::platform {

bool writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

namespace {

// "<name>.tmp-", followed by the writer's pid, "-" and a counter.
std::string tempPrefix(const std::filesystem::path& target) {
  return target.filename().string() + ".tmp-";
}

std::string folderOf(const std::filesystem::path& target) {
  return target.parent_path().empty() ? "." : target.parent_path().string();
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                         std::string* error) {
  static std::atomic<uint64_t> counter{0};
  const std::filesystem::path target(path);
  const std::string dir = folderOf(target);
  const std::string temp = dir + "/" + tempPrefix(target) + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  auto failed = [&](int err, bool created) {
    if (created) ::unlink(temp.c_str());
    if (error) *error = std::strerror(err);
    return false;
  };
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return failed(errno, false);
  // The content must be on disk before the name points at it, or a crash could leave a
  // complete-looking but empty file.
  if (!writeAll(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0) {
    int err = errno;
    ::close(fd);
    return failed(err, true);
  }
  if (::close(fd) != 0) return failed(errno, true);
  if (::rename(temp.c_str(), path.c_str()) != 0) return failed(errno, true);
  // The rename itself is only durable once the folder is.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

void removeStaleAtomicWriteTemporaries(const std::string& path) {
  const std::filesystem::path target(path);
  const std::string prefix = tempPrefix(target), dir = folderOf(target);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (name.substr(0, prefix.size()) != prefix) continue;
    std::string_view rest = name.substr(prefix.size());
    long pid = 0;
    auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
    bool alive = ec == std::errc() && pid > 0 &&
                 (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    if (!alive) ::unlink((dir + "/" + std::string(name)).c_str());
  }
  ::closedir(d);
}

}  // namespace orsa::platform
