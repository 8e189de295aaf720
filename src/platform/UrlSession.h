#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Error.h"

// The transfer service: sessions of HTTP(S) transfers with delegates, download tasks that pause
// into resume data and continue from it, and background sessions whose transfers outlive the
// process in a journal. Built on libcurl's multi interface; nothing outside src/platform sees
// curl.
namespace orsa::platform {

using Bytes = std::vector<uint8_t>;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Transfer errors carry the NSURLErrorDomain domain and its codes, which the download classes
// compare and keep with their records (-1001 timed out, -1004 cannot connect, -1005 connection
// lost, -999 cancelled, -1011 bad server response, -3003 cannot write to file, ...).
inline constexpr const char* kUrlErrorDomain = "NSURLErrorDomain";
inline constexpr int64_t kUrlErrorCancelled = -999;
inline constexpr int64_t kUrlErrorBadURL = -1000;
inline constexpr int64_t kUrlErrorTimedOut = -1001;
inline constexpr int64_t kUrlErrorUnsupportedURL = -1002;
inline constexpr int64_t kUrlErrorCannotFindHost = -1003;
inline constexpr int64_t kUrlErrorCannotConnectToHost = -1004;
inline constexpr int64_t kUrlErrorNetworkConnectionLost = -1005;
inline constexpr int64_t kUrlErrorBadServerResponse = -1011;
inline constexpr int64_t kUrlErrorSecureConnectionFailed = -1200;
inline constexpr int64_t kUrlErrorCannotCreateFile = -3000;
inline constexpr int64_t kUrlErrorCannotWriteToFile = -3003;
inline constexpr int64_t kUrlErrorCannotResumeDownload = -3001;
// A redirect from https to plain http was refused.
inline constexpr int64_t kUrlErrorAppTransportSecurityRequiresSecureConnection = -1022;
// A data task's body went past UrlSessionConfiguration::maximumDataTaskBodyBytes.
inline constexpr int64_t kUrlErrorDataLengthExceedsMaximum = -1103;

// Errors of the service itself rather than of one transfer.
inline constexpr const char* kUrlSessionErrorDomain = "OrsaUrlSessionErrorDomain";
// Another process holds the background session identifier (UrlSession::tryMake).
inline constexpr int64_t kUrlSessionErrorIdentifierInUse = 1;
inline constexpr const char* kUrlSessionIdentifierInUseMessage =
    "the downloads of this home are in use by another process";

// NSURLSessionTaskPriorityDefault.
inline constexpr float kTaskPriorityDefault = 0.5f;
// NSURLSessionTransferSizeUnknown.
inline constexpr int64_t kTransferSizeUnknown = -1;

struct UrlRequest {
  std::string url;
  std::string method = "GET";
  HeaderList headers;
  Bytes body;
  // No byte for this long fails the transfer.
  std::chrono::milliseconds timeout{60000};

  // Case-insensitive header lookup.
  std::optional<std::string> header(std::string_view name) const;
  void setHeader(std::string name, std::string value);  // replaces, case-insensitively
};

struct UrlResponse {
  // False for responses that are not HTTP (file:// and other schemes).
  bool isHttp = true;
  std::string url;
  long statusCode = 0;
  // Header fields of the final response, in arrival order (the last response of a redirect
  // chain).
  HeaderList headers;
  // Content-Length of the body still to come (a 206 counts its range only); -1 when unknown.
  int64_t expectedContentLength = kTransferSizeUnknown;
  // From Content-Disposition's filename, else the URL's last path component, else "Unknown".
  std::string suggestedFilename;
  std::string mimeType;

  std::optional<std::string> header(std::string_view name) const;  // case-insensitive
};

// A failure of a transfer. For download transfers that can be continued (the server announced
// an ETag or Last-Modified and bytes were received) resumeData holds the resume data, the
// error's NSURLSessionDownloadTaskResumeData entry.
struct TransferError : Error {
  std::optional<Bytes> resumeData;
};

enum class TransferState : int { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

class UrlSession;

// One transfer. Created suspended; resume() starts it. Thread-safe.
class UrlSessionTask {
 public:
  virtual ~UrlSessionTask() = default;
  // Unique within its session (and, for a background session, across processes that share the
  // session identifier).
  virtual uint64_t taskIdentifier() const = 0;
  virtual TransferState state() const = 0;
  virtual UrlRequest originalRequest() const = 0;
  // The request after redirects and resume headers.
  virtual UrlRequest currentRequest() const = 0;
  // None until the response headers arrived.
  virtual std::optional<UrlResponse> response() const = 0;
  virtual float priority() const = 0;
  virtual void setPriority(float priority) = 0;
  virtual int64_t countOfBytesReceived() const = 0;
  // -1 when unknown. For a resumed download this is the whole file's size.
  virtual int64_t countOfBytesExpectedToReceive() const = 0;
  virtual void resume() = 0;
  virtual void suspend() = 0;
  // Ends the transfer; its completion reports kUrlErrorCancelled (without resume data).
  virtual void cancel() = 0;
  virtual std::weak_ptr<UrlSession> session() const = 0;
};

class UrlSessionDownloadTask : public UrlSessionTask {
 public:
  // Ends the transfer and hands its resume data (none when it cannot be continued) to
  // completion, on the session's delegate queue. The transfer's didComplete follows and, as on
  // the platform, reports kUrlErrorCancelled carrying the same resume data (the downloader
  // stores resume data from there).
  virtual void cancelByProducingResumeData(
      std::function<void(std::optional<Bytes>)> completion) = 0;
};

// Events of a session's transfers, delivered one at a time, in order, on the delegate queue.
// Every transfer ends with exactly one didComplete.
class UrlSessionDelegate {
 public:
  virtual ~UrlSessionDelegate() = default;
  virtual void didWriteData(UrlSession& session, UrlSessionDownloadTask& task, int64_t bytesWritten,
                            int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {}
  // The finished file at location exists only until this call returns.
  virtual void didFinishDownloadingToURL(UrlSession& session, UrlSessionDownloadTask& task,
                                         const std::string& location) {}
  virtual void didComplete(UrlSession& session, UrlSessionTask& task,
                           const std::optional<TransferError>& error) {}
  // After invalidate*: no further events follow.
  virtual void didBecomeInvalid(UrlSession& session, const std::optional<Error>& error) {}
};

struct UrlSessionConfiguration {
  // Non-empty for a background session: its in-flight download transfers are journalled on
  // disk (under the container's Library) and found again, suspended, by the next session
  // created with the same identifier, in this process or a later one. One process at a time
  // owns an identifier (see UrlSession::tryMake); within it, one live session: invalidate the
  // old one first. A session made while another process owns the identifier, or while an
  // earlier one of this process lives, neither reads nor writes the journal (a console line
  // says so).
  std::string identifier;
  // Kept as a flag: Linux hosts have no cellular notion, and a host may still want to read it.
  bool allowsCellularAccess = true;
  std::chrono::milliseconds timeoutIntervalForRequest{60000};
  // Most transfers running at once per host.
  int httpMaximumConnectionsPerHost = 6;
  // A data task whose body would pass this many bytes ends with
  // kUrlErrorDataLengthExceedsMaximum (as soon as a Content-Length announces it, else when the
  // bytes arrive), so a hostile or mistaken answer cannot take the process's memory. 0: no limit.
  int64_t maximumDataTaskBodyBytes = int64_t{8} << 20;

  static UrlSessionConfiguration defaultConfiguration() { return {}; }
  static UrlSessionConfiguration background(std::string identifier) {
    UrlSessionConfiguration c;
    c.identifier = std::move(identifier);
    return c;
  }
};

using DataCompletion =
    std::function<void(const std::optional<Bytes>& data, const std::optional<UrlResponse>& response,
                       const std::optional<TransferError>& error)>;

class UrlSession : public std::enable_shared_from_this<UrlSession> {
 public:
  // delegateQueue null: the session makes a serial queue of its own for its events. The
  // session keeps its delegate until it becomes invalid.
  static std::shared_ptr<UrlSession> make(UrlSessionConfiguration configuration,
                                          std::shared_ptr<UrlSessionDelegate> delegate,
                                          std::shared_ptr<DispatchQueue> delegateQueue);
  // As make, but a background session whose identifier another process owns is not made:
  // null, and *error (when given) is {kUrlSessionErrorDomain, kUrlSessionErrorIdentifierInUse,
  // kUrlSessionIdentifierInUseMessage}. Answers at once; never waits for the other process.
  static std::shared_ptr<UrlSession> tryMake(UrlSessionConfiguration configuration,
                                             std::shared_ptr<UrlSessionDelegate> delegate,
                                             std::shared_ptr<DispatchQueue> delegateQueue,
                                             Error* error = nullptr);
  // Claims a background identifier for this process without making a session, so a caller can
  // refuse before it touches anything else of the home: the error above when another process
  // owns it, none when this process does now (an empty identifier needs no claim). The claim is
  // an advisory lock (flock) on "<identifier>.lock" beside the transfer journal in
  // <home>/Library/OrsaTransfers; it is kept until the process ends (so a session rebuilt after
  // the old one is invalidated finds it still held) and the system drops it when the process
  // dies, however it dies. The home is the container's at the time of the call.
  static std::optional<Error> claimBackgroundIdentifier(const std::string& identifier);
  // The process-wide default session without a delegate: data transfers with completion
  // callbacks, delivered on a background serial queue.
  static std::shared_ptr<UrlSession> shared();

  virtual ~UrlSession() = default;
  virtual const UrlSessionConfiguration& configuration() const = 0;

  // The body goes to a partial file in the container's temporary directory. An answer
  // without a Content-Length (chunked, or ended by closing) finishes with whatever came:
  // the expected size stays kTransferSizeUnknown and countOfBytesReceived is the file's size.
  // A header block or a body cut short (a closed connection, even one curl calls a clean end)
  // fails with kUrlErrorNetworkConnectionLost, carrying resume data when the server can
  // continue; a 206 to a request that asked for no range fails with kUrlErrorBadServerResponse
  // unless its range is the whole file.
  virtual std::shared_ptr<UrlSessionDownloadTask> downloadTaskWithRequest(UrlRequest request) = 0;
  virtual std::shared_ptr<UrlSessionDownloadTask> downloadTaskWithURL(const std::string& url) = 0;
  // A transfer that continues from resume data: it asks for the rest with Range and If-Range
  // (the ETag, else Last-Modified) and appends only a 206 whose range starts where the partial
  // file ends, under the validator sent (and, where both are known, for a file of the size on
  // record). Any other 206 drops the partial file and the whole file is asked for once more,
  // without a range; a 200 starts the file over (its length is the new expected size); a 416
  // for a partial file already as long as the size on record finishes it, with a response of
  // status 200. Throws std::invalid_argument when the bytes are not resume data
  // this service can continue from (no URL, no partial file or one shorter than recorded, a
  // file name that is a path); a partial file longer than recorded is cut to its size.
  virtual std::shared_ptr<UrlSessionDownloadTask> downloadTaskWithResumeData(
      const Bytes& resumeData) = 0;
  // The body is collected in memory, up to the configuration's maximumDataTaskBodyBytes;
  // completion runs on the delegate queue instead of the delegate's didComplete.
  virtual std::shared_ptr<UrlSessionTask> dataTaskWithRequest(UrlRequest request,
                                                              DataCompletion completion) = 0;

  // Transfers not yet completed, including those found again in a background session's
  // journal (suspended, with their partial files).
  virtual std::vector<std::shared_ptr<UrlSessionTask>> allTasks() const = 0;

  // Cancels every transfer, then reports didBecomeInvalid. A background session's journal
  // keeps the cancelled transfers' partial files only as resume data handed out before.
  virtual void invalidateAndCancel() = 0;
  // Lets running transfers finish, then reports didBecomeInvalid.
  virtual void finishTasksAndInvalidate() = 0;
};

}  // namespace orsa::platform
