#include "utils/zip/ZipDestination.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace orsa::zip {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::vector<std::string> splitComponents(std::string_view path) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) out.emplace_back(path.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

bool isWithin(const std::string& path, const std::string& root) {
  auto p = splitComponents(path);
  auto r = splitComponents(root);
  if (p.size() < r.size()) return false;
  for (size_t i = 0; i < r.size(); ++i)
    if (p[i] != r[i]) return false;
  return true;
}

std::string resolvePath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::path(path).lexically_normal();
  if (!p.is_absolute()) p = fs::current_path(ec) / p;
  // Longest existing prefix, resolved by the kernel, then the rest as text.
  fs::path existing = p.root_path();
  fs::path rest;
  bool missing = false;
  for (const auto& part : p.relative_path()) {
    if (missing) {
      if (part == "..") return {};
      rest /= part;
      continue;
    }
    fs::path next = existing / part;
    struct stat st;
    if (::lstat(next.c_str(), &st) == 0) {
      existing = next;
    } else {
      missing = true;
      rest /= part;
    }
  }
  char buf[PATH_MAX];
  if (!::realpath(existing.c_str(), buf)) return {};
  fs::path out(buf);
  if (!rest.empty()) out /= rest;
  return out.lexically_normal().string();
}

int ZipDestination::open(const std::string& destination) {
  std::error_code ec;
  std::filesystem::create_directories(destination, ec);
  UniqueFd fd(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno;
  char buf[PATH_MAX];
  if (!::realpath(destination.c_str(), buf)) return errno;
  realPath_ = buf;
  fd_ = std::move(fd);
  return 0;
}

ZipDestination::Walk ZipDestination::openDirectory(const std::vector<std::string>& components,
                                                   bool create) const {
  Walk w;
  w.dir = UniqueFd(::dup(fd_.get()));
  if (!w.dir) {
    w.error = errno;
    return w;
  }
  w.realPath = realPath_;
  std::string rel;
  for (const auto& c : components) {
    rel += rel.empty() ? c : "/" + c;
    if (create && ::mkdirat(w.dir.get(), c.c_str(), 0755) != 0 && errno != EEXIST) {
      if (!w.mkdirFailed) {
        w.mkdirFailed = true;
        w.error = errno;
      }
    }
    UniqueFd next(
        ::openat(w.dir.get(), c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next) {
      w.dir = std::move(next);
      w.realPath += "/" + c;
      continue;
    }
    int err = errno;
    struct stat st;
    if ((err == ELOOP || err == ENOTDIR) &&
        ::fstatat(w.dir.get(), c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      // A link already on disk: follow it only when it lands inside the destination.
      char target[PATH_MAX];
      ssize_t n = ::readlinkat(w.dir.get(), c.c_str(), target, sizeof target - 1);
      w.linkPath = rel;
      w.linkTarget = n >= 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
      char real[PATH_MAX];
      std::string linkFull = w.realPath + "/" + c;
      if (!::realpath(linkFull.c_str(), real) || !isWithin(real, realPath_)) {
        if (::realpath(linkFull.c_str(), real)) w.linkTarget = real;
        w.escapes = true;
        w.error = ELOOP;
        w.dir.reset();
        return w;
      }
      UniqueFd via(::open(real, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!via) {
        w.error = errno;
        w.dir.reset();
        return w;
      }
      w.dir = std::move(via);
      w.realPath = real;
      continue;
    }
    if (!w.mkdirFailed || w.error == 0) w.error = err;
    w.dir.reset();
    return w;
  }
  return w;
}

int removeAt(int dirFd, const char* name) {
  if (::unlinkat(dirFd, name, 0) == 0) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  UniqueFd sub(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!sub) return errno;
  int dupFd = ::dup(sub.get());
  if (dupFd < 0) return errno;
  DIR* d = ::fdopendir(dupFd);
  if (!d) {
    int e = errno;
    ::close(dupFd);
    return e;
  }
  int result = 0;
  while (struct dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (n == "." || n == "..") continue;
    int r = removeAt(sub.get(), e->d_name);
    if (r != 0 && result == 0) result = r;
  }
  ::closedir(d);
  if (result != 0) return result;
  if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0) return errno;
  return 0;
}

}  // namespace orsa::zip
