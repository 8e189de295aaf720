#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Plist.h"
#include "platform/UrlSession.h"

namespace orsa::platform {

// Keys of resume data, as the download records store it.
inline constexpr const char* kResumeDownloadUrlKey = "NSURLSessionDownloadURL";
inline constexpr const char* kResumeTempFileNameKey = "NSURLSessionResumeInfoTempFileName";
inline constexpr const char* kResumeBytesReceivedKey = "NSURLSessionResumeBytesReceived";
inline constexpr const char* kResumeEntityTagKey = "NSURLSessionResumeEntityTag";
inline constexpr const char* kResumeServerDateKey = "NSURLSessionResumeServerDownloadDate";
inline constexpr const char* kResumeInfoVersionKey = "NSURLSessionResumeInfoVersion";
inline constexpr const char* kResumeOriginalRequestKey = "NSURLSessionResumeOriginalRequest";
inline constexpr const char* kResumeCurrentRequestKey = "NSURLSessionResumeCurrentRequest";
inline constexpr const char* kResumeByteRangeKey = "NSURLSessionResumeByteRange";

// What a partial download needs to continue: the request, the partial file in the container's
// temporary directory, how much of it is good and the validators the server gave. Written as
// resume data (an XML property list under the keys above) and as a journal entry.
struct UrlSessionResume {
  uint64_t taskIdentifier = 0;  // journal entries only
  UrlRequest originalRequest;
  UrlRequest currentRequest;
  std::string tempFileName;  // a plain file name, never a path
  int64_t bytesReceived = 0;
  int64_t totalBytes = kTransferSizeUnknown;
  std::string entityTag;
  std::string lastModified;

  // The validator that goes into If-Range: a continuation without one could splice two
  // versions of the resource.
  const std::string& validator() const { return entityTag.empty() ? lastModified : entityTag; }

  Bytes toResumeData() const;
  // None when the bytes are not resume data this service wrote (or could have written): no URL,
  // no usable temporary file name, or not a property-list map within the size limits.
  static std::optional<UrlSessionResume> fromResumeData(const Bytes& bytes);

  // The same map as a node (the caller frees it), and back.
  plist_t toNode() const;
  static std::optional<UrlSessionResume> fromNode(plist_t node);

  // Parses an XML property list with the limits hostile bytes need: bounded size and nesting,
  // no NUL (libplist aborts on one). Binary lists are refused; nothing here writes them.
  static plist_t parseXml(const char* data, size_t size);
  static Bytes toXml(plist_t node);
  // The request as a keyed archive (an NSKeyedArchiver-style object graph), the form the
  // resume data's request entries take and the repair rules expect.
  static Bytes archiveRequest(const UrlRequest& request);
};

}  // namespace orsa::platform
