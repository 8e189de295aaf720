#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/UrlSession.h"

// Fetches one file per URL into a fixed cache folder and answers later requests for the same
// URL from there. Requests for a URL that is already on its way join that transfer.
//
// Callback threads: a target that is already complete is answered on the caller's thread before
// download() returns; after a transfer the completion runs on that transfer's session queue;
// progress callbacks are posted to the main queue.
//
// The process-wide instance is sharedInstance(). Another instance (its own cache root, a test)
// must be made with std::make_shared: its sessions hold it as their delegate.
class MireloDownloader : public orsa::platform::UrlSessionDelegate,
                         public std::enable_shared_from_this<MireloDownloader> {
 public:
  // The target file, or nullopt when the transfer failed (transport error or an HTTP status
  // outside 200-299); nothing is kept for a failed transfer, so the next request fetches again.
  using Completion = std::function<void(const std::optional<std::string>& target)>;
  using Progress = std::function<void(float fraction)>;

  static constexpr const char* kModule = "MireloDownloader";
  static constexpr const char* kFileSizeKeyFormat = "OrsaMirelo.Downloader.fileSize:%s";

  static std::shared_ptr<MireloDownloader> sharedInstance();

  // Uses the app container's caches folder as it is now.
  MireloDownloader();
  MireloDownloader(const MireloDownloader&) = delete;
  MireloDownloader& operator=(const MireloDownloader&) = delete;

  void download(const std::string& url, Completion completion, Progress progress = nullptr);

  bool isDownloaded(const std::string& target) const;
  // The cache file of the URL; prints the URL and its hash to the console, which download()
  // does once per request.
  std::string getDownloadTarget(const std::string& url) const;
  std::string getFileSizeUserDefaultKey(const std::string& target) const;
  static uint64_t getFileSizeInFS(const std::string& target);
  float getDownloadProgress(const std::string& target) const;
  // Replaces whatever is at `to`; prints the outcome to the console.
  static bool moveFile(const std::string& from, const std::string& to);
  std::optional<uint64_t> syncGetUserDefaultObject(const std::string& key) const;
  void syncSetUserDefaultObject(uint64_t value, const std::string& key);
  static std::string extractLastComponentFromString(const std::string& text);
  void startDownload(const std::string& url);
  void createDownloadDirectoryIfNeeded();

  const std::string& downloadDirectory() const { return downloadDirectory_; }

  void didWriteData(orsa::platform::UrlSession& session,
                    orsa::platform::UrlSessionDownloadTask& task, int64_t bytesWritten,
                    int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
  void didFinishDownloadingToURL(orsa::platform::UrlSession& session,
                                 orsa::platform::UrlSessionDownloadTask& task,
                                 const std::string& location) override;
  void didComplete(orsa::platform::UrlSession& session, orsa::platform::UrlSessionTask& task,
                   const std::optional<orsa::platform::TransferError>& error) override;

 private:
  // Called with the transfer's temporary file, or nullopt when the transfer failed.
  using Pending = std::function<void(const std::optional<std::string>& location)>;

  // getDownloadTarget without the console line, for the transfer's events.
  std::string targetFor(const std::string& url) const;
  // Removes the target's pending completion and runs it outside the lock.
  void finishPending(const std::string& url, const std::optional<std::string>& location);

  std::string downloadDirectory_;
  // Guards completions_ and progressHandlers_.
  std::mutex completionsMutex_;
  std::unordered_map<std::string, Pending> completions_;
  std::unordered_map<std::string, Progress> progressHandlers_;
  mutable std::mutex userDefaultMutex_;
  mutable std::mutex progressMutex_;
  std::unordered_map<std::string, float> downloadProgress_;
};
