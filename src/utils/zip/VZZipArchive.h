#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"

// Domain of every error the zip facade creates itself.
extern const char* const VZZipArchiveErrorDomain;

enum VZZipArchiveErrorCode : int64_t {
  VZZipArchiveErrorCodeFailedOpenZipFile = -1,
  VZZipArchiveErrorCodeFailedOpenFileInZip = -2,
  VZZipArchiveErrorCodeFileInfoNotLoadable = -3,
  VZZipArchiveErrorCodeFileContentNotReadable = -4,
  VZZipArchiveErrorCodeFailedToWriteFile = -5,
  VZZipArchiveErrorCodeInvalidArguments = -6,
  VZZipArchiveErrorCodeSymlinkEscapesTargetDirectory = -7,
  // The archive expands far beyond what deflate can honestly produce (overlapping or
  // lying entries): stopped before it fills the disk.
  VZZipArchiveErrorCodeExpansionLimitExceeded = -8,
};

// Archive-wide information handed to the observer.
struct VZZipGlobalInfo {
  uint64_t numberOfEntries = 0;
  uint64_t archiveFileSize = 0;
};

// One entry's central directory record.
struct VZZipFileInfo {
  uint32_t versionMadeBy = 0;  // host system in the high byte
  uint32_t flag = 0;           // bit 0: encrypted
  uint32_t compressionMethod = 0;
  uint32_t dosDate = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint32_t fileNameLength = 0;
  uint32_t externalAttributes = 0;
};

// One entry of an archive as its central directory lists it, the name decoded.
struct VZZipEntry {
  std::string name;
  VZZipFileInfo info;
};

// Observer of an unpacking. Every operation is optional: the defaults do nothing (and
// zipArchiveShouldUnzipFileAtIndex lets every entry through).
class VZZipArchiveDelegate {
 public:
  virtual ~VZZipArchiveDelegate() = default;
  virtual void zipArchiveWillUnzipArchiveAtPath(const std::string& path,
                                                const VZZipGlobalInfo& zipInfo) {}
  virtual void zipArchiveProgressEvent(uint64_t loaded, uint64_t total) {}
  virtual bool zipArchiveShouldUnzipFileAtIndex(int64_t fileIndex, int64_t totalFiles,
                                                const std::string& archivePath,
                                                const VZZipFileInfo& fileInfo) {
    return true;
  }
  virtual void zipArchiveWillUnzipFileAtIndex(int64_t fileIndex, int64_t totalFiles,
                                              const std::string& archivePath,
                                              const VZZipFileInfo& fileInfo) {}
  // Preferred form: when a delegate overrides it, the path form below is not called.
  virtual void zipArchiveDidUnzipFileAtIndex(int64_t fileIndex, int64_t totalFiles,
                                             const std::string& archivePath,
                                             const VZZipFileInfo& fileInfo);
  virtual void zipArchiveDidUnzipFileAtIndex(int64_t fileIndex, int64_t totalFiles,
                                             const std::string& archivePath,
                                             const std::string& unzippedFilePath) {}
  virtual void zipArchiveDidUnzipArchiveAtPath(const std::string& path,
                                               const VZZipGlobalInfo& zipInfo,
                                               const std::string& unzippedPath) {}
};

// Called after each entry: entry name, its record, its index, the entry count.
using VZZipProgressHandler = std::function<void(
    const std::string& entry, const VZZipFileInfo& zipInfo, int64_t entryNumber, int64_t total)>;
// Called once at the end: archive path (empty when the arguments were invalid), success,
// the first error (absent on success).
using VZZipCompletionHandler = std::function<void(
    const std::string& path, bool succeeded, const std::optional<orsa::platform::Error>& error)>;

// The zip facade: stateless class operations that unpack an archive into a directory.
// Safe to call from any thread.
//
// Entry names never place anything outside the destination: "." and ".." segments are
// resolved without climbing above it, and every path is walked component by component
// without following links that were not vetted to stay inside the destination. Links in
// the archive must resolve inside the links root (by default the destination).
class VZZipArchive {
 public:
  using Error = orsa::platform::Error;

  // Unpacking family: each shorter form fills in defaults (attributes preserved, overwrite
  // on, no password, links confined to the destination, no nested unpacking).
  static bool unzipFileAtPath(const std::string& path, const std::string& destination);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              VZZipArchiveDelegate* delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::string& password, Error* error);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::string& password, Error* error,
                              VZZipArchiveDelegate* delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::string& password,
                              const VZZipProgressHandler& progressHandler,
                              const VZZipCompletionHandler& completionHandler);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              const VZZipProgressHandler& progressHandler,
                              const VZZipCompletionHandler& completionHandler);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool preserveAttributes, bool overwrite, const std::string& password,
                              Error* error, VZZipArchiveDelegate* delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool preserveAttributes, bool overwrite, const std::string& password,
                              Error* error, VZZipArchiveDelegate* delegate,
                              const VZZipProgressHandler& progressHandler,
                              const VZZipCompletionHandler& completionHandler);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool preserveAttributes, bool overwrite, int nestedZipLevel,
                              const std::string& password, Error* error,
                              VZZipArchiveDelegate* delegate,
                              const VZZipProgressHandler& progressHandler,
                              const VZZipCompletionHandler& completionHandler);
  // The complete operation. symlinksValidWithin: links must resolve inside it (nullopt:
  // links may point anywhere, though nothing is ever written through such a link).
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool preserveAttributes, bool overwrite,
                              const std::optional<std::string>& symlinksValidWithin,
                              int nestedZipLevel, const std::string& password, Error* error,
                              VZZipArchiveDelegate* delegate,
                              const VZZipProgressHandler& progressHandler,
                              const VZZipCompletionHandler& completionHandler);

  static bool isFilePasswordProtectedAtPath(const std::string& path);
  static bool isPasswordValidForArchiveAtPath(const std::string& path, const std::string& pw,
                                              Error* error);
  // Sum of the uncompressed sizes the entries declare; 0 with an error when unreadable.
  static uint64_t payloadSizeForArchiveAtPath(const std::string& path, Error* error);
  // Every entry in central-directory order, names of any length; nothing (with an error)
  // when the archive or one of its records cannot be read.
  static std::optional<std::vector<VZZipEntry>> entriesOfArchiveAtPath(const std::string& path,
                                                                       Error* error);

  // Support operations.
  static std::chrono::system_clock::time_point _dateWithMSDOSFormat(uint32_t msdosDateTime);
  static std::string _filenameStringWithCString(std::string_view bytes, uint32_t versionMadeBy,
                                                uint32_t generalPurposeFlag, size_t size);
  static std::string _hexString(std::string_view bytes);
  static bool _isResourceFork(std::string_view path);
  static bool _isDirectory(std::string_view path);
  static std::string _sanitizedPath(std::string_view path);
  static bool _escapesTargetDirectory(const std::string& target, const std::string& root);
};
