#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orsa::zip {

// An open file descriptor, closed with the object.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Splits a relative path into its non-empty components.
std::vector<std::string> splitComponents(std::string_view path);

// True when `path` (canonical) lies at or below `root` (canonical), compared by components.
bool isWithin(const std::string& path, const std::string& root);

// Canonical form of a path that may not exist yet: the existing prefix with every link
// resolved, the rest normalised lexically. Empty when a ".." follows a missing component,
// since what it means depends on what is created there later.
std::string resolvePath(const std::string& path);

// The destination directory of an unpacking. Every path below it is opened component by
// component relative to directory descriptors, never following a link unless the link
// resolves inside the destination, so no entry can be written outside it.
class ZipDestination {
 public:
  struct Walk {
    UniqueFd dir;          // the deepest directory, open
    std::string realPath;  // its canonical path
    int error = 0;         // errno of the first failure
    bool escapes = false;  // a link on the way leads outside the destination
    std::string linkPath;  // that link (relative to the destination)
    std::string linkTarget;
    bool mkdirFailed = false;  // a directory could not be created (error holds why)
  };

  // Creates the destination (with intermediate levels) and opens it; errno on failure.
  int open(const std::string& destination);
  const std::string& realPath() const { return realPath_; }
  int fd() const { return fd_.get(); }

  // Opens the directory made of `components`, creating missing levels when `create`.
  Walk openDirectory(const std::vector<std::string>& components, bool create) const;

 private:
  UniqueFd fd_;
  std::string realPath_;
};

// Removes `name` in `dirFd` (a whole tree for a directory) without following links.
int removeAt(int dirFd, const char* name);

}  // namespace orsa::zip
