#pragma once

#include <plist/plist.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UrlSessionResume.h"

using TRPlistPtr = orsa::platform::PlistPtr;

// Resume data of the transfer service: the repairs some service versions need before their
// resume data can start a new transfer, and a decoded view of it. Everything here works on
// bytes; resume data comes from disk and from the network stack, so bytes that are not what
// they claim to be give "no repair" (none) and never more work than their size warrants.
class TRResumeData {
 public:
  using Bytes = std::vector<uint8_t>;

  // The service version the switches read. The default is the first version whose resume data
  // needs no repair, so correctResumeData hands its input back unchanged.
  static constexpr std::string_view kDefaultSystemVersion = "11.2";
  // Reads the version text as its leading decimal number ("10.3.1" reads as 10.3; no number
  // reads as 0).
  static double versionValue(std::string_view text);
  static void setSystemVersion(std::string_view text);
  static double systemVersion();

  // Decoded view; fields stay empty (0, "", none) when the bytes are not a property-list map.
  explicit TRResumeData(const Bytes& resumeData);

  const std::string& downloadUrl() const { return downloadUrl_; }
  const std::string& tempName() const { return tempName_; }
  int64_t downloadSize() const { return downloadSize_; }
  // The archived requests' decoded root objects (the request's property map), or null.
  plist_t currentRequest() const { return currentRequest_.get(); }
  plist_t originalRequest() const { return originalRequest_.get(); }
  const std::string& resumeTag() const { return resumeTag_; }
  const std::string& resumeRange() const { return resumeRange_; }
  int64_t resumeInfoVersion() const { return resumeInfoVersion_; }
  // From an HTTP date text (the server's Last-Modified) or a date node.
  std::optional<std::chrono::system_clock::time_point> downloadDate() const {
    return downloadDate_;
  }

  // XML resume data without its byte-range entry; none when the bytes are not UTF-8 text. When
  // the entry's end cannot be found the data is returned unchanged: cutting there would leave a
  // document the service cannot read at all.
  static std::optional<Bytes> cleanResumeData(const Bytes& resumeData);
  // The resume data's map (a dict node), or null.
  static TRPlistPtr getResumeDictionary(const Bytes& resumeData);
  // The archived request with its misplaced properties and root key put where a decoder looks
  // for them, as a binary property list; an archive that already decodes is returned as given.
  static std::optional<Bytes> correctRequestData(const Bytes& requestData);
  // Resume data with both archived requests repaired, as an XML property list; the input
  // itself at versions that need no repair.
  static std::optional<Bytes> correctResumeData(const Bytes& resumeData);

  // The root object of a keyed archive stored under rootKey, decoded into plain property-list
  // nodes (dictionaries, arrays and strings of the archive become their node types; other
  // objects become a dict of their fields). Null when the bytes are no keyed archive, the key
  // is absent, or a reference dangles, loops or nests too deep.
  static TRPlistPtr decodeKeyedArchive(const Bytes& archive, const char* rootKey);

 private:
  std::string downloadUrl_;
  std::string tempName_;
  int64_t downloadSize_ = 0;
  TRPlistPtr currentRequest_;
  TRPlistPtr originalRequest_;
  std::string resumeTag_;
  std::string resumeRange_;
  int64_t resumeInfoVersion_ = 0;
  std::optional<std::chrono::system_clock::time_point> downloadDate_;
};
