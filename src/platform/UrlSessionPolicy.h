#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/UrlSession.h"

// What the transfer service makes of what a server says: header texts, ranges, which answers a
// download may keep, which redirects it may follow, and which failures mean what. Pure
// functions, so the rules can be checked without a server.
namespace orsa::platform::policy {

bool equalsIgnoreCase(std::string_view a, std::string_view b);
std::optional<std::string> findHeader(const HeaderList& headers, std::string_view name);
std::string trim(std::string_view text);
// From Content-Disposition's filename, else the URL's last path component, else "Unknown".
std::string suggestedName(const HeaderList& headers, const std::string& url);

// "bytes N-M/T", "bytes N-M/*" or "bytes */T"; -1 for each part not given.
struct ContentRange {
  int64_t first = -1;
  int64_t last = -1;
  int64_t total = -1;
};
std::optional<ContentRange> parseContentRange(const std::string& text);

TransferError transferError(int64_t code, std::string description);
// The transfer error code for one of libcurl's result codes.
int64_t errorCodeForCurl(int curlCode);

// What a download asked for: the rest of its partial file from `offset` (0: the whole file)
// under the validator it sent as If-Range.
struct AskedFor {
  int64_t offset = 0;
  std::string entityTag;     // sent as If-Range when not empty
  std::string lastModified;  // sent as If-Range when there is no entity tag
  int64_t totalOnRecord = kTransferSizeUnknown;
};

// What a download does with the final response to its request.
struct Verdict {
  enum Kind {
    Fresh,         // the body is the whole file from its first byte
    Continue,      // the body continues the partial file at the offset asked for
    AlreadyWhole,  // the partial file was complete; the body is not needed
    StartOver,     // a continuation the partial file cannot take: drop it, ask for the whole file
    Refuse,        // part of a file nobody asked a part of: the transfer fails
  } kind = Fresh;
  int64_t expectedTotal = kTransferSizeUnknown;  // the whole file's size, -1 when unknown
  std::string why;                               // for StartOver and Refuse
};
Verdict judgeDownloadResponse(const AskedFor& asked, long status, const HeaderList& headers,
                              int64_t contentLength);

// A redirect from https never leads to plain http: the secure origin would hand the transfer
// to anyone on the path. Location may be relative (it then keeps the scheme).
bool redirectAllowed(std::string_view fromUrl, std::string_view location);

// Statuses and methods whose answers carry no body whatever their headers say.
bool answerHasBody(const std::string& method, long status);

}  // namespace orsa::platform::policy
