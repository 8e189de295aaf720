#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/TRDBValue.h"
#include "orsa/TRDownloadTypes.h"

// Accessors of the download classes, whose fields are all guarded by `mutex_`.
#define TR_GET(cls, type, name, member) \
  type cls::name() const {              \
    std::lock_guard lock(mutex_);       \
    return member;                      \
  }
#define TR_SET(cls, type, name, member) \
  void cls::name(type v) {              \
    std::lock_guard lock(mutex_);       \
    member = std::move(v);              \
  }

// Small functions every download class shares.
class TRDownloadUtils {
 public:
  // MD5 of the UTF-8 bytes (an empty text digests no bytes), 32 lower-case hex digits.
  static std::string md5ForString(std::string_view text);
  // "512B", "1.5KB", "1MB", "1GB": binary units, number text as numberStringFromDouble.
  static std::string fileSizeStringFromBytes(int64_t bytes);
  // x >= 0 with no, one or two decimals: the hundredths of the fraction decide how many.
  static std::string numberStringFromDouble(double x);
  // Free bytes of the file system holding the documents directory; 0 when unknown.
  static uint64_t fileSystemFreeSize();
  // 0 when the file is missing or unreadable.
  static int64_t fileSizeWithPath(const std::string& path);
  // Creates the directory and its parents; false when it is not a directory afterwards.
  static bool createPathIfNotExist(const std::string& path);
  // The URL of a transfer: its original request's, else its current request's. The transfer
  // service hands over the two URLs; an empty one stands for a missing request.
  static std::string urlStrWithDownloadTask(std::string_view originalRequestURL,
                                            std::string_view currentRequestURL);
  // Whole seconds since 1970, truncated.
  static uint64_t sec_timestamp();

  // True for a text that names one entry of a folder and nothing else: not empty, not "." or
  // "..", and free of "/", "\\", NUL and control characters. Uids, file types and file ids
  // become path components, so each must be one.
  static bool isSafeName(std::string_view name);
  // True when `path` lies strictly below the folder `root`, both resolved through every link
  // that exists and every "..".
  static bool isInside(const std::string& root, const std::string& path);
  // Deletes the file (or the empty folder) at `path` only when it lies inside `root`; a path
  // outside is refused and left alone. True when nothing is there any more.
  static bool removeInside(const std::string& root, const std::string& path);

  // Conversions between stored values and fields. An empty text or byte string is stored as
  // absent, so a field that was never set stays NULL in the store.
  static TRDBValue valueOf(const std::string& text);
  static TRDBValue valueOf(const std::vector<uint8_t>& bytes);
  static std::string textOf(const TRDBValue& value);  // numbers as their decimal text
  static int64_t integerOf(const TRDBValue& value);   // 0 unless a number
  static double doubleOf(const TRDBValue& value);     // 0 unless a number
  static std::vector<uint8_t> bytesOf(const TRDBValue& value);
};
