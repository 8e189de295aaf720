#include "utils/zip/VZZipArchive.h"

#include <fcntl.h>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <fmt/printf.h>

#include "platform/Console.h"
#include "platform/FileIO.h"
#include "utils/zip/ZipDestination.h"
#include "utils/zip/ZipEntryReader.h"
#include "utils/zip/ZipNameDecoder.h"

const char* const VZZipArchiveErrorDomain = "VZZipArchiveErrorDomain";

using orsa::platform::Error;
using orsa::platform::kPosixErrorDomain;
using namespace orsa::zip;

namespace {

// Large pieces keep the per-call overhead of reading and writing negligible next to
// inflating and CRC checking.
constexpr size_t kCopyBufferSize = 1 << 20;
constexpr size_t kLinkPiece = 4096;
// Deflate cannot expand data by more than about 1032:1, so an archive that writes more
// than this many times its own size is re-using or lying about its data.
constexpr uint64_t kMaxExpansionRatio = 1100;
constexpr uint64_t kExpansionFloor = 64ull << 20;

thread_local bool tDidUnzipInfoFormOverridden = true;

void console(const std::string& line) {
  orsa::platform::consoleWrite(line);
}

Error zipError(int64_t code, std::string description) {
  return Error{VZZipArchiveErrorDomain, code, std::move(description)};
}

Error posixError(int err) {
  return Error{kPosixErrorDomain, err, std::strerror(err)};
}

VZZipFileInfo toFileInfo(const unz_file_info64& fi) {
  VZZipFileInfo o;
  o.versionMadeBy = static_cast<uint32_t>(fi.version);
  o.flag = static_cast<uint32_t>(fi.flag);
  o.compressionMethod = static_cast<uint32_t>(fi.compression_method);
  o.dosDate = static_cast<uint32_t>(fi.dosDate);
  o.crc = static_cast<uint32_t>(fi.crc);
  o.compressedSize = fi.compressed_size;
  o.uncompressedSize = fi.uncompressed_size;
  o.fileNameLength = static_cast<uint32_t>(fi.size_filename);
  o.externalAttributes = static_cast<uint32_t>(fi.external_fa);
  return o;
}

struct UnzCloser {
  void operator()(void* z) const {
    if (z) unzClose(static_cast<unzFile>(z));
  }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

UnzHandle openArchive(const std::string& path) {
  return UnzHandle(unzOpen64(path.c_str()));
}

// Name of the current entry as raw bytes, read with the length its record gives.
bool currentEntry(unzFile z, unz_file_info64& fi, std::string& rawName) {
  if (unzGetCurrentFileInfo64(z, &fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
  rawName.assign(fi.size_filename, '\0');
  if (fi.size_filename == 0) return true;
  return unzGetCurrentFileInfo64(z, &fi, rawName.data(), static_cast<uLong>(rawName.size()),
                                 nullptr, 0, nullptr, 0) == UNZ_OK;
}

// The decoded names of every entry, in central-directory order, read in a walk of their own so
// that one legacy encoding can be chosen for the whole archive. Leaves the archive on its first
// entry. A record that cannot be read ends the walk early: the caller meets it again itself.
std::vector<std::string> archiveNames(unzFile z) {
  std::vector<RawEntryName> raw;
  for (int rc = unzGoToFirstFile(z); rc == UNZ_OK; rc = unzGoToNextFile(z)) {
    unz_file_info64 fi{};
    RawEntryName n;
    if (!currentEntry(z, fi, n.bytes)) break;
    n.utf8Flag = (fi.flag & kZipFlagUtf8Name) != 0;
    raw.push_back(std::move(n));
  }
  unzGoToFirstFile(z);
  return decodeEntryNames(raw);
}

// minizip cannot open an archive whose end record is its very first byte, which is what an
// archive without entries is (apart from an optional comment).
bool isEmptyArchive(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  unsigned char rec[22];
  if (::pread(fd.get(), rec, sizeof rec, 0) != static_cast<ssize_t>(sizeof rec)) return false;
  auto u16 = [&](int o) { return static_cast<unsigned>(rec[o] | rec[o + 1] << 8); };
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return false;
  return rec[0] == 'P' && rec[1] == 'K' && rec[2] == 5 && rec[3] == 6 && u16(8) == 0 &&
         u16(10) == 0 && static_cast<off_t>(22 + u16(20)) == st.st_size;
}

uint64_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t freeBytes(int dirFd) {
  struct statvfs vfs;
  if (::fstatvfs(dirFd, &vfs) != 0) return UINT64_MAX;
  auto blocks = ::geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail;
  return static_cast<uint64_t>(blocks) * vfs.f_frsize;
}

uint64_t satAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

struct timespec toTimespec(std::chrono::system_clock::time_point t) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += 1000000000;
    ts.tv_sec -= 1;
  }
  return ts;
}

bool setModificationDate(int fd, std::chrono::system_clock::time_point t) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = toTimespec(t);
  return ::futimens(fd, times) == 0;
}

bool hasZipExtension(const std::string& name) {
  auto dot = name.rfind('.');
  auto slash = name.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string ext = name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext == "zip";
}

struct UnzipOptions {
  bool preserveAttributes = true;
  bool overwrite = true;
  std::optional<std::string> symlinksValidWithin;
  int nestedZipLevel = 0;
  std::string password;
};

// One run over one archive.
class Unzipper {
 public:
  Unzipper(const std::string& path, const std::string& destination, const UnzipOptions& opts,
           VZZipArchiveDelegate* delegate, const VZZipProgressHandler& progress)
      : path_(path),
        destination_(destination),
        opts_(opts),
        delegate_(delegate),
        progress_(progress) {}

  bool run();
  const std::optional<Error>& error() const { return error_; }

 private:
  enum class Step { Next, Stop };
  Step unzipEntry(unzFile z, int64_t index, std::string& fullPath, std::string& name);
  Step writeLink(ZipEntryReader& reader, const ZipDestination::Walk& parent,
                 const std::string& leaf, const std::string& name, const std::string& fullPath);
  Step writeFile(ZipEntryReader& reader, const unz_file_info64& fi,
                 const ZipDestination::Walk& parent, const std::string& leaf,
                 const std::string& name);
  void fail(Error e) {
    if (!error_) error_ = std::move(e);
    success_ = false;
  }
  void readError() {
    fail(zipError(VZZipArchiveErrorCodeFileContentNotReadable,
                  "failed to read contents of file entry"));
  }
  void escapeError(const std::string& name, const std::string& target) {
    std::string msg = fmt::sprintf("Symlink escapes target directory \"~%s -> %s\"", name, target);
    console(fmt::sprintf("[VZZipArchive] %s", msg));
    fail(zipError(VZZipArchiveErrorCodeSymlinkEscapesTargetDirectory, msg));
  }

  std::string path_;
  std::string destination_;
  UnzipOptions opts_;
  VZZipArchiveDelegate* delegate_;
  VZZipProgressHandler progress_;
  ZipDestination dest_;
  std::optional<Error> error_;
  bool success_ = true;
  uint64_t archiveSize_ = 0;
  uint64_t written_ = 0;
  // Grown on demand, left uninitialised: small archives never pay for a large buffer.
  std::unique_ptr<char[]> buffer_;
  size_t bufferSize_ = 0;
  std::map<std::string, std::chrono::system_clock::time_point> directoryDates_;
  std::vector<std::string> names_;  // decoded, by entry index
};

bool Unzipper::run() {
  UnzHandle zh = openArchive(path_);
  archiveSize_ = fileSize(path_);
  if (!zh && !isEmptyArchive(path_)) {
    fail(zipError(VZZipArchiveErrorCodeFailedOpenZipFile, "failed to open zip file"));
    return false;
  }
  unzFile z = zh.get();
  unz_global_info64 gi{};
  if (z) unzGetGlobalInfo64(z, &gi);
  VZZipGlobalInfo zipInfo{gi.number_entry, archiveSize_};
  int rc = z ? unzGoToFirstFile(z) : UNZ_END_OF_LIST_OF_FILE;
  bool empty = rc == UNZ_END_OF_LIST_OF_FILE;
  if (rc != UNZ_OK && !empty) {
    fail(zipError(VZZipArchiveErrorCodeFailedOpenFileInZip,
                  "failed to open first file in zip file"));
    return false;
  }
  if (!empty) names_ = archiveNames(z);
  if (int err = empty ? 0 : dest_.open(destination_); err != 0) {
    fail(posixError(err));
    return false;
  }
  if (delegate_) {
    delegate_->zipArchiveWillUnzipArchiveAtPath(path_, zipInfo);
    delegate_->zipArchiveProgressEvent(0, archiveSize_);
  }
  uint64_t compressedSoFar = 0;
  const auto total = static_cast<int64_t>(gi.number_entry);
  for (int64_t index = 0; !empty && success_; ++index) {
    unz_file_info64 fi{};
    if (unzGetCurrentFileInfo64(z, &fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      fail(zipError(VZZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file"));
      break;
    }
    VZZipFileInfo info = toFileInfo(fi);
    if (delegate_) {
      if (!delegate_->zipArchiveShouldUnzipFileAtIndex(index, total, path_, info)) {
        success_ = false;
        break;
      }
      delegate_->zipArchiveWillUnzipFileAtIndex(index, total, path_, info);
      compressedSoFar += fi.compressed_size;
      delegate_->zipArchiveProgressEvent(compressedSoFar, archiveSize_);
    }
    std::string fullPath, name;
    if (unzipEntry(z, index, fullPath, name) == Step::Stop) break;
    rc = unzGoToNextFile(z);
    if (delegate_) {
      tDidUnzipInfoFormOverridden = true;
      delegate_->zipArchiveDidUnzipFileAtIndex(index, total, path_, info);
      if (!tDidUnzipInfoFormOverridden)
        delegate_->zipArchiveDidUnzipFileAtIndex(index, total, path_, fullPath);
    }
    if (progress_) progress_(name, info, index, total);
    if (rc == UNZ_END_OF_LIST_OF_FILE) break;
    if (rc != UNZ_OK) {
      fail(zipError(VZZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file"));
      break;
    }
  }
  zh.reset();
  if (success_ && opts_.preserveAttributes) {
    for (const auto& [rel, date] : directoryDates_) {
      auto walk = dest_.openDirectory(splitComponents(rel), false);
      if (!walk.dir || !setModificationDate(walk.dir.get(), date))
        console(
            fmt::sprintf("[VZZipArchive] Error setting directory file modification date "
                         "attribute: %s",
                         std::strerror(walk.dir ? errno : walk.error)));
    }
  }
  if (success_ && delegate_)
    delegate_->zipArchiveDidUnzipArchiveAtPath(path_, zipInfo, destination_);
  if (delegate_) delegate_->zipArchiveProgressEvent(archiveSize_, archiveSize_);
  return success_;
}

// Unpacks the current entry; fullPath and name are handed to the callbacks that follow.
Unzipper::Step Unzipper::unzipEntry(unzFile z, int64_t index, std::string& fullPath,
                                    std::string& name) {
  unz_file_info64 fi{};
  std::string raw;
  if (!currentEntry(z, fi, raw)) {
    fail(zipError(VZZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file"));
    return Step::Stop;
  }
  ZipEntryReader reader;
  int rc = reader.open(z, fi, opts_.password);
  if (rc != UNZ_OK) {
    fail(zipError(VZZipArchiveErrorCodeFailedOpenFileInZip, "failed to open file in zip file"));
    return Step::Stop;
  }
  name = static_cast<size_t>(index) < names_.size()
             ? names_[static_cast<size_t>(index)]
             : VZZipArchive::_filenameStringWithCString(raw, static_cast<uint32_t>(fi.version),
                                                        static_cast<uint32_t>(fi.flag), raw.size());
  const unsigned host = static_cast<unsigned>(fi.version >> 8) & 0xff;
  if (host == 0 || host == 10) std::replace(name.begin(), name.end(), '\\', '/');
  fullPath = destination_ + "/" + name;
  if (VZZipArchive::_isResourceFork(name)) {
    reader.close();
    return Step::Next;
  }
  const uint32_t mode = static_cast<uint32_t>(fi.external_fa >> 16);
  const bool isLink = host == 3 && (mode & 0170000u) == 0120000u;
  const bool isDirectory = VZZipArchive::_isDirectory(name) && !isLink;
  std::string clean = VZZipArchive::_sanitizedPath(name);
  // A NUL cannot be part of a file name; what follows it would silently be cut off.
  if (clean.find('\0') != std::string::npos) clean.clear();
  if (clean.empty()) clean = std::to_string(index);
  std::vector<std::string> comps = splitComponents(clean);
  if (comps.empty()) comps.push_back(std::to_string(index));
  fullPath = destination_ + "/" + clean;

  if (opts_.preserveAttributes) {
    auto date = fi.dosDate ? VZZipArchive::_dateWithMSDOSFormat(static_cast<uint32_t>(fi.dosDate))
                           : std::chrono::system_clock::now();
    std::string rel;
    size_t ancestors = isDirectory ? comps.size() : comps.size() - 1;
    for (size_t i = 0; i < ancestors; ++i) {
      rel += (i ? "/" : "") + comps[i];
      auto [it, inserted] = directoryDates_.emplace(rel, date);
      if (!inserted && it->second < date) it->second = date;
    }
  }

  std::vector<std::string> parentComps(comps.begin(), comps.end() - (isDirectory ? 0 : 1));
  auto walk = dest_.openDirectory(parentComps, true);
  if (walk.escapes) {
    reader.close();
    escapeError(walk.linkPath, walk.linkTarget);
    return Step::Stop;
  }
  if (walk.mkdirFailed || !walk.dir) {
    if (walk.error == ENOSPC) {
      reader.close();
      fail(posixError(ENOSPC));
      return Step::Stop;
    }
    console(fmt::sprintf("[VZZipArchive] Error: %s", std::strerror(walk.error)));
  }
  if (!walk.dir) {
    reader.close();
    return Step::Next;
  }
  const std::string& leaf = comps.back();
  if (!isDirectory) {
    struct stat st;
    bool exists = ::fstatat(walk.dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !opts_.overwrite) {
      reader.close();
      return Step::Next;
    }
  }
  Step step = Step::Next;
  if (isLink)
    step = writeLink(reader, walk, leaf, name, fullPath);
  else if (!isDirectory)
    step = writeFile(reader, fi, walk, leaf, name);
  if (step == Step::Stop) {
    reader.close();
    return step;
  }
  rc = reader.close();
  if (rc == UNZ_CRCERROR) {
    fail(zipError(VZZipArchiveErrorCodeFileInfoNotLoadable, "crc check failed for file"));
    return Step::Stop;
  }
  return Step::Next;
}

Unzipper::Step Unzipper::writeLink(ZipEntryReader& reader, const ZipDestination::Walk& parent,
                                   const std::string& leaf, const std::string& name,
                                   const std::string& fullPath) {
  std::string target;
  char piece[kLinkPiece];
  for (;;) {
    int n = reader.read(piece, sizeof piece);
    if (n < 0) {
      readError();
      return Step::Stop;
    }
    if (n == 0) break;
    target.append(piece, static_cast<size_t>(n));
    if (target.size() > 65536) {  // no file system takes a link text that long
      readError();
      return Step::Stop;
    }
  }
  if (target.empty() || target.find('\0') != std::string::npos) {
    fail(posixError(EINVAL));
    return Step::Stop;
  }
  if (opts_.symlinksValidWithin) {
    std::string resolved = target.front() == '/' ? target : parent.realPath + "/" + target;
    if (VZZipArchive::_escapesTargetDirectory(resolved, *opts_.symlinksValidWithin)) {
      std::string shown = resolvePath(resolved);
      escapeError(name, shown.empty() ? resolved : shown);
      return Step::Stop;
    }
  }
  struct stat st;
  if (opts_.overwrite && ::fstatat(parent.dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (int err = removeAt(parent.dir.get(), leaf.c_str()); err != 0) {
      std::string msg = fmt::sprintf("Failed to delete existing symbolic link at \"%s\"", fullPath);
      console(fmt::sprintf("[VZZipArchive] %s", msg));
      fail(zipError(err, msg));
      return Step::Stop;
    }
  }
  if (::symlinkat(target.c_str(), parent.dir.get(), leaf.c_str()) != 0) {
    int err = errno;
    console(fmt::sprintf(
        "[VZZipArchive] Failed to create symbolic link at \"%s\" to \"%s\" - symlink() error "
        "code: %d",
        fullPath, target, err));
    fail(posixError(err));
    return Step::Stop;
  }
  return Step::Next;
}

Unzipper::Step Unzipper::writeFile(ZipEntryReader& reader, const unz_file_info64& fi,
                                   const ZipDestination::Walk& parent, const std::string& leaf,
                                   const std::string& name) {
  const size_t want =
      static_cast<size_t>(std::clamp<uint64_t>(fi.uncompressed_size, 4096, kCopyBufferSize));
  if (bufferSize_ < want) {
    buffer_.reset(new char[want]);
    bufferSize_ = want;
  }
  int n = reader.read(buffer_.get(), static_cast<unsigned>(bufferSize_));
  if (n < 0) {
    readError();
    return Step::Stop;
  }
  // Room for what the entry declares (less what an overwritten file gives back); a lying
  // entry cannot fill the disk before this is noticed.
  struct stat old;
  uint64_t reclaim = 0;
  if (::fstatat(parent.dir.get(), leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(old.st_mode))
    reclaim = static_cast<uint64_t>(old.st_blocks) * 512;
  if (fi.uncompressed_size > kCopyBufferSize &&
      fi.uncompressed_size > satAdd(freeBytes(parent.dir.get()), reclaim)) {
    console("[VZZipArchive] Failed to write file (check your free space)");
    fail(zipError(VZZipArchiveErrorCodeFailedToWriteFile,
                  "Failed to write file (check your free space)"));
    return Step::Stop;
  }
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd fd(::openat(parent.dir.get(), leaf.c_str(), flags, 0644));
  if (!fd && errno == ELOOP) {
    // A link stands where the file goes (overwrite is on, or the entry would have been
    // skipped): replace the link itself instead of writing through it.
    if (::unlinkat(parent.dir.get(), leaf.c_str(), 0) == 0)
      fd.reset(::openat(parent.dir.get(), leaf.c_str(), flags, 0644));
    else
      errno = ELOOP;
  }
  if (!fd) {
    int err = errno;
    if (err == EISDIR) return Step::Next;
    console(
        fmt::sprintf("[VZZipArchive] Failed to open file on unzipping.(%s)", std::strerror(err)));
    if (err == EMFILE || err == ENOSPC) {
      fail(posixError(err));
      return Step::Stop;
    }
    return Step::Next;
  }
  while (n > 0) {
    if (!orsa::platform::writeAll(fd.get(), buffer_.get(), static_cast<size_t>(n))) {
      console("[VZZipArchive] Failed to write file (check your free space)");
      fail(zipError(VZZipArchiveErrorCodeFailedToWriteFile,
                    "Failed to write file (check your free space)"));
      return Step::Stop;
    }
    written_ += static_cast<uint64_t>(n);
    if (written_ > kExpansionFloor && written_ / kMaxExpansionRatio > archiveSize_) {
      std::string msg = fmt::sprintf("Archive expands beyond %d times its size; stopped at \"%s\"",
                                     kMaxExpansionRatio, name);
      console(fmt::sprintf("[VZZipArchive] %s", msg));
      fail(zipError(VZZipArchiveErrorCodeExpansionLimitExceeded, msg));
      return Step::Stop;
    }
    n = reader.read(buffer_.get(), static_cast<unsigned>(bufferSize_));
  }
  if (n < 0) {
    readError();
    return Step::Stop;
  }
  if (opts_.preserveAttributes) {
    if (fi.dosDate != 0 && !setModificationDate(fd.get(), VZZipArchive::_dateWithMSDOSFormat(
                                                              static_cast<uint32_t>(fi.dosDate))))
      console(
          fmt::sprintf("[VZZipArchive] Failed to set attributes - whilst setting original "
                       "date: %s",
                       std::strerror(errno)));
    // Set-id and sticky bits from an archive are never honoured.
    mode_t perms = static_cast<mode_t>(((fi.external_fa >> 16) | 0600) & 0777);
    if (::fchmod(fd.get(), perms) != 0)
      console("[VZZipArchive] Failed to set attributes - whilst setting permissions");
  }
  fd.reset();
  if (opts_.nestedZipLevel > 0 && hasZipExtension(leaf)) {
    const std::string nested = parent.realPath + "/" + leaf;
    UnzipOptions inner = opts_;
    inner.nestedZipLevel = opts_.nestedZipLevel - 1;
    Unzipper sub(nested, parent.realPath, inner, nullptr, VZZipProgressHandler());
    if (sub.run()) ::unlinkat(parent.dir.get(), leaf.c_str(), 0);
  }
  return Step::Next;
}

bool unzipComplete(const std::string& path, const std::string& destination,
                   const UnzipOptions& opts, Error* error, VZZipArchiveDelegate* delegate,
                   const VZZipProgressHandler& progressHandler,
                   const VZZipCompletionHandler& completionHandler) {
  if (path.empty() || destination.empty()) {
    Error e = zipError(VZZipArchiveErrorCodeInvalidArguments, "received invalid argument(s)");
    if (error) *error = e;
    if (completionHandler) completionHandler(std::string(), false, e);
    return false;
  }
  Unzipper u(path, destination, opts, delegate, progressHandler);
  bool ok = u.run();
  if (error && u.error()) *error = *u.error();
  if (completionHandler) completionHandler(path, ok, u.error());
  return ok;
}

}  // namespace

void VZZipArchiveDelegate::zipArchiveDidUnzipFileAtIndex(int64_t, int64_t, const std::string&,
                                                         const VZZipFileInfo&) {
  tDidUnzipInfoFormOverridden = false;
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination) {
  return unzipFileAtPath(path, destination, static_cast<VZZipArchiveDelegate*>(nullptr));
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   VZZipArchiveDelegate* delegate) {
  return unzipFileAtPath(path, destination, true, true, std::string(), nullptr, delegate);
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool overwrite, const std::string& password, Error* error) {
  return unzipFileAtPath(path, destination, true, overwrite, password, error, nullptr);
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool overwrite, const std::string& password, Error* error,
                                   VZZipArchiveDelegate* delegate) {
  return unzipFileAtPath(path, destination, true, overwrite, password, error, delegate);
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool overwrite, const std::string& password,
                                   const VZZipProgressHandler& progressHandler,
                                   const VZZipCompletionHandler& completionHandler) {
  return unzipFileAtPath(path, destination, true, overwrite, password, nullptr, nullptr,
                         progressHandler, completionHandler);
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   const VZZipProgressHandler& progressHandler,
                                   const VZZipCompletionHandler& completionHandler) {
  return unzipFileAtPath(path, destination, true, true, std::string(), nullptr, nullptr,
                         progressHandler, completionHandler);
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool preserveAttributes, bool overwrite,
                                   const std::string& password, Error* error,
                                   VZZipArchiveDelegate* delegate) {
  return unzipFileAtPath(path, destination, preserveAttributes, overwrite, password, error,
                         delegate, VZZipProgressHandler(), VZZipCompletionHandler());
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool preserveAttributes, bool overwrite,
                                   const std::string& password, Error* error,
                                   VZZipArchiveDelegate* delegate,
                                   const VZZipProgressHandler& progressHandler,
                                   const VZZipCompletionHandler& completionHandler) {
  return unzipFileAtPath(path, destination, preserveAttributes, overwrite, 0, password, error,
                         delegate, progressHandler, completionHandler);
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool preserveAttributes, bool overwrite, int nestedZipLevel,
                                   const std::string& password, Error* error,
                                   VZZipArchiveDelegate* delegate,
                                   const VZZipProgressHandler& progressHandler,
                                   const VZZipCompletionHandler& completionHandler) {
  return unzipFileAtPath(path, destination, preserveAttributes, overwrite,
                         std::optional<std::string>(destination), nestedZipLevel, password, error,
                         delegate, progressHandler, completionHandler);
}

bool VZZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool preserveAttributes, bool overwrite,
                                   const std::optional<std::string>& symlinksValidWithin,
                                   int nestedZipLevel, const std::string& password, Error* error,
                                   VZZipArchiveDelegate* delegate,
                                   const VZZipProgressHandler& progressHandler,
                                   const VZZipCompletionHandler& completionHandler) {
  UnzipOptions opts;
  opts.preserveAttributes = preserveAttributes;
  opts.overwrite = overwrite;
  opts.symlinksValidWithin = symlinksValidWithin;
  opts.nestedZipLevel = nestedZipLevel;
  opts.password = password;
  return unzipComplete(path, destination, opts, error, delegate, progressHandler,
                       completionHandler);
}

bool VZZipArchive::isFilePasswordProtectedAtPath(const std::string& path) {
  // The flag alone answers: an entry that fails to open for another reason (damage, an
  // unknown method) says nothing about a password.
  UnzHandle zh = openArchive(path);
  if (!zh || unzGoToFirstFile(zh.get()) != UNZ_OK) return false;
  do {
    unz_file_info64 fi{};
    if (unzGetCurrentFileInfo64(zh.get(), &fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
      return false;
    if (fi.flag & 1u) return true;
  } while (unzGoToNextFile(zh.get()) == UNZ_OK);
  return false;
}

bool VZZipArchive::isPasswordValidForArchiveAtPath(const std::string& path, const std::string& pw,
                                                   Error* error) {
  UnzHandle zh = openArchive(path);
  if (!zh) {
    if (error) *error = zipError(VZZipArchiveErrorCodeFailedOpenZipFile, "failed to open zip file");
    return false;
  }
  unzFile z = zh.get();
  int rc = unzGoToFirstFile(z);
  if (rc == UNZ_END_OF_LIST_OF_FILE) return pw.empty();
  if (rc != UNZ_OK) {
    if (error)
      *error = zipError(VZZipArchiveErrorCodeFailedOpenFileInZip,
                        "failed to open first file in zip file");
    return false;
  }
  do {
    unz_file_info64 fi{};
    if (unzGetCurrentFileInfo64(z, &fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      if (error)
        *error =
            zipError(VZZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file");
      return false;
    }
    ZipEntryReader reader;
    if (reader.open(z, fi, pw) != UNZ_OK) {
      if (error)
        *error =
            zipError(VZZipArchiveErrorCodeFailedOpenFileInZip, "failed to open file in zip file");
      return false;
    }
    char probe[10];
    if (reader.read(probe, sizeof probe) < 0) {
      if (error)
        *error = zipError(VZZipArchiveErrorCodeFileContentNotReadable,
                          "failed to read contents of file entry");
      return false;
    }
    // The first encrypted entry that opens and reads settles it.
    if (fi.flag & 1u) return true;
  } while (unzGoToNextFile(z) == UNZ_OK);
  // Nothing is encrypted: only "no password" is right.
  return pw.empty();
}

uint64_t VZZipArchive::payloadSizeForArchiveAtPath(const std::string& path, Error* error) {
  auto entries = entriesOfArchiveAtPath(path, error);
  uint64_t total = 0;
  if (entries)
    for (const auto& e : *entries) total = satAdd(total, e.info.uncompressedSize);
  return total;
}

std::optional<std::vector<VZZipEntry>> VZZipArchive::entriesOfArchiveAtPath(const std::string& path,
                                                                            Error* error) {
  auto failed = [&](int64_t code, const char* description) {
    if (error) *error = zipError(code, description);
    return std::nullopt;
  };
  std::vector<VZZipEntry> out;
  UnzHandle zh = openArchive(path);
  if (!zh) {
    if (isEmptyArchive(path)) return out;
    return failed(VZZipArchiveErrorCodeFailedOpenZipFile, "failed to open zip file");
  }
  int rc = unzGoToFirstFile(zh.get());
  if (rc != UNZ_OK && rc != UNZ_END_OF_LIST_OF_FILE)
    return failed(VZZipArchiveErrorCodeFailedOpenFileInZip,
                  "failed to open first file in zip file");
  const std::vector<std::string> names =
      rc == UNZ_OK ? archiveNames(zh.get()) : std::vector<std::string>();
  for (; rc == UNZ_OK; rc = unzGoToNextFile(zh.get())) {
    unz_file_info64 fi{};
    std::string raw;
    if (!currentEntry(zh.get(), fi, raw))
      return failed(VZZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file");
    out.push_back(
        {out.size() < names.size() ? names[out.size()] : decodeEntryName(raw), toFileInfo(fi)});
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE)
    return failed(VZZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file");
  return out;
}

std::chrono::system_clock::time_point VZZipArchive::_dateWithMSDOSFormat(uint32_t d) {
  struct tm t {};
  t.tm_year = static_cast<int>((d >> 25) + 1980) - 1900;
  t.tm_mon = static_cast<int>((d >> 21) & 15) - 1;
  t.tm_mday = static_cast<int>((d >> 16) & 31);
  t.tm_hour = static_cast<int>((d >> 11) & 31);
  t.tm_min = static_cast<int>((d >> 5) & 63);
  t.tm_sec = static_cast<int>((d & 31) * 2);
  t.tm_isdst = -1;  // the local zone decides, as a calendar would
  // The zone rules are loaded once and shared; mktime updates them in place, so callers on
  // different threads take turns.
  static std::mutex calendarLock;
  time_t secs;
  {
    std::lock_guard<std::mutex> lock(calendarLock);
    secs = std::mktime(&t);
  }
  return std::chrono::system_clock::from_time_t(secs);
}

std::string VZZipArchive::_filenameStringWithCString(std::string_view bytes, uint32_t, uint32_t,
                                                     size_t size) {
  return decodeEntryName(bytes.substr(0, std::min(size, bytes.size())));
}

std::string VZZipArchive::_hexString(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

bool VZZipArchive::_isResourceFork(std::string_view path) {
  return path.substr(0, 9) == "__MACOSX/";
}

bool VZZipArchive::_isDirectory(std::string_view path) {
  return !path.empty() && path.back() == '/';
}

std::string VZZipArchive::_sanitizedPath(std::string_view path) {
  // Dot segments are resolved as in a URL path below a root: "." disappears and ".." removes
  // the segment before it but never climbs above the root. Empty segments and a trailing
  // "/" survive, as they would in a URL.
  std::string in = "/";
  in.append(path);
  std::vector<std::string> segs;
  size_t i = 1;
  bool trailing = false;
  while (i <= in.size()) {
    size_t j = in.find('/', i);
    if (j == std::string::npos) j = in.size();
    std::string seg = in.substr(i, j - i);
    bool last = j == in.size();
    if (seg == ".") {
      trailing = last;
    } else if (seg == "..") {
      if (!segs.empty()) segs.pop_back();
      trailing = last;
    } else {
      segs.push_back(std::move(seg));
      trailing = false;
    }
    i = j + 1;
  }
  std::string out;
  for (size_t k = 0; k < segs.size(); ++k) {
    if (k) out.push_back('/');
    out += segs[k];
  }
  if (trailing && !out.empty()) out.push_back('/');
  return out;
}

bool VZZipArchive::_escapesTargetDirectory(const std::string& target, const std::string& root) {
  if (root.empty()) return false;
  std::string r = resolvePath(root);
  auto rootComps = splitComponents(r);
  if (rootComps.empty()) return false;
  std::string t = resolvePath(target);
  // A target whose meaning depends on what is created later cannot be vetted now.
  if (t.empty()) return true;
  return !isWithin(t, r);
}
