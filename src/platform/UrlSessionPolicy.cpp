#include "platform/UrlSessionPolicy.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <fmt/format.h>

namespace orsa::platform::policy {
namespace {

constexpr int64_t kUrlErrorUnknown = -1;
constexpr int64_t kUrlErrorTooManyRedirects = -1007;

// The scheme of an absolute URL, lowercased; empty for a relative reference.
std::string schemeOf(std::string_view url) {
  const size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 ||
      !std::isalpha(static_cast<unsigned char>(url.front()))) {
    return "";
  }
  std::string scheme;
  for (char c : url.substr(0, colon)) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return "";
    scheme += static_cast<char>(std::tolower(u));
  }
  return scheme;
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::string> findHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return value;
  }
  return std::nullopt;
}

std::string trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

std::string suggestedName(const HeaderList& headers, const std::string& url) {
  if (auto disposition = findHeader(headers, "Content-Disposition")) {
    const size_t at = disposition->find("filename=");
    if (at != std::string::npos) {
      std::string name = trim(std::string_view(*disposition).substr(at + 9));
      name = name.substr(0, name.find(';'));
      if (name.size() >= 2 && name.front() == '"') name = name.substr(1, name.find('"', 1) - 1);
      name = name.substr(name.find_last_of('/') + 1);
      if (!name.empty()) return name;
    }
  }
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    const size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "" : path.substr(slash);
  }
  std::string last = path.substr(path.find_last_of('/') + 1);
  return last.empty() ? "Unknown" : last;
}

std::optional<ContentRange> parseContentRange(const std::string& text) {
  long long first = 0, last = 0, total = 0;
  char star = 0;
  if (std::sscanf(text.c_str(), "bytes %lld-%lld/%lld", &first, &last, &total) == 3) {
    return ContentRange{first, last, total};
  }
  if (std::sscanf(text.c_str(), "bytes %lld-%lld/%c", &first, &last, &star) == 3 && star == '*') {
    return ContentRange{first, last, -1};
  }
  if (std::sscanf(text.c_str(), "bytes */%lld", &total) == 1) return ContentRange{-1, -1, total};
  return std::nullopt;
}

TransferError transferError(int64_t code, std::string description) {
  TransferError error;
  error.domain = kUrlErrorDomain;
  error.code = code;
  error.description = std::move(description);
  return error;
}

int64_t errorCodeForCurl(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OPERATION_TIMEDOUT:
      return kUrlErrorTimedOut;
    case CURLE_COULDNT_CONNECT:
      return kUrlErrorCannotConnectToHost;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return kUrlErrorNetworkConnectionLost;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kUrlErrorCannotFindHost;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kUrlErrorSecureConnectionFailed;
    case CURLE_WRITE_ERROR:
      return kUrlErrorCannotWriteToFile;
    case CURLE_URL_MALFORMAT:
      return kUrlErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kUrlErrorUnsupportedURL;
    case CURLE_TOO_MANY_REDIRECTS:
      return kUrlErrorTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY:
      return kUrlErrorBadServerResponse;
    default:
      return kUrlErrorUnknown;
  }
}

Verdict judgeDownloadResponse(const AskedFor& asked, long status, const HeaderList& headers,
                              int64_t contentLength) {
  const auto rangeText = findHeader(headers, "Content-Range");
  // Every part of an absent or unreadable range is -1, which no check below accepts.
  const ContentRange range =
      (rangeText ? parseContentRange(*rangeText) : std::nullopt).value_or(ContentRange{});
  const std::string shownRange = rangeText.value_or("(none)");
  if (asked.offset > 0 && status == 206) {
    const auto tag = findHeader(headers, "ETag");
    const auto modified = findHeader(headers, "Last-Modified");
    std::string why;
    if (range.first != asked.offset) {
      why = fmt::format("the server answered the continuation at {} with range {}", asked.offset,
                        shownRange);
    } else if (!asked.entityTag.empty() && tag != asked.entityTag) {
      why = fmt::format("the server continued entity tag {} under {}", asked.entityTag,
                        tag.value_or("none"));
    } else if (asked.entityTag.empty() && modified && *modified != asked.lastModified) {
      why = fmt::format("the server continued the version of {} with one of {}", asked.lastModified,
                        *modified);
    } else if (range.total >= 0 && asked.totalOnRecord >= 0 && range.total != asked.totalOnRecord) {
      why = fmt::format("the server continued a file of {} bytes as one of {}", asked.totalOnRecord,
                        range.total);
    }
    if (!why.empty()) return {Verdict::StartOver, kTransferSizeUnknown, why};
    const int64_t total = range.total >= 0     ? range.total
                          : contentLength >= 0 ? asked.offset + contentLength
                                               : kTransferSizeUnknown;
    return {Verdict::Continue, total, ""};
  }
  if (asked.offset > 0 && status == 416 &&
      (range.total == asked.offset || asked.totalOnRecord == asked.offset)) {
    return {Verdict::AlreadyWhole, asked.offset, ""};
  }
  if (asked.offset == 0 && status == 206) {
    // Some servers answer every request with 206; one that covers the whole file is the file.
    if (range.first == 0 && range.total > 0 && range.last + 1 == range.total &&
        (contentLength < 0 || contentLength == range.total)) {
      return {Verdict::Fresh, range.total, ""};
    }
    return {Verdict::Refuse, kTransferSizeUnknown,
            fmt::format("the server answered a request for the whole file with the part {}",
                        shownRange)};
  }
  return {Verdict::Fresh, contentLength, ""};
}

bool redirectAllowed(std::string_view fromUrl, std::string_view location) {
  if (schemeOf(fromUrl) != "https") return true;
  const std::string to = schemeOf(trim(location));
  return to.empty() || to == "https";
}

bool answerHasBody(const std::string& method, long status) {
  return method != "HEAD" && status / 100 != 1 && status != 204 && status != 304;
}

}  // namespace orsa::platform::policy
