#include "net/MireloDownloader.h"

#include <fmt/printf.h>

#include <filesystem>
#include <system_error>

#include "logging/LogRedact.h"
#include "logging/QMXLogUtil.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Digest.h"
#include "platform/UserDefaults.h"

namespace fs = std::filesystem;
namespace P = orsa::platform;

namespace {

constexpr const char* M = MireloDownloader::kModule;

// A package URL may carry a signature in its query: the console hears it masked, as the logs do.
void console(const std::string& line) {
  P::consoleWrite(orsaRedacted(line));
}

}  // namespace

std::shared_ptr<MireloDownloader> MireloDownloader::sharedInstance() {
  // Never destroyed: sessions still running at exit deliver their events to it.
  static const auto* instance =
      new std::shared_ptr<MireloDownloader>(std::make_shared<MireloDownloader>());
  return *instance;
}

MireloDownloader::MireloDownloader()
    : downloadDirectory_(P::AppContainer::cachesDirectory() + "/OrsaMirelo/download") {
  createDownloadDirectoryIfNeeded();
}

void MireloDownloader::download(const std::string& url, Completion completion, Progress progress) {
  ORSA_LOG_INFO(M, "download method called, url: %s", url);
  const std::string target = getDownloadTarget(url);
  if (isDownloaded(target)) {
    ORSA_LOG_INFO(M, "Already downloaded %s", url);
    if (progress) progress(1.0f);
    if (completion) completion(target);
    return;
  }
  {
    std::lock_guard lock(completionsMutex_);
    auto pending = completions_.find(target);
    if (pending != completions_.end()) {
      // The running transfer serves this request too: the first completion moves the file into
      // place before any later one hears of the target.
      pending->second = [first = std::move(pending->second), completion = std::move(completion),
                         target](const std::optional<std::string>& location) {
        first(location);
        if (completion) completion(location ? std::optional<std::string>(target) : std::nullopt);
      };
      if (progress) {
        auto stored = progressHandlers_.find(target);
        if (stored != progressHandlers_.end()) {
          stored->second = [first = std::move(stored->second),
                            second = std::move(progress)](float value) {
            first(value);
            second(value);
          };
        } else {
          progressHandlers_[target] = std::move(progress);
        }
      }
      return;
    }
    if (progress) progressHandlers_[target] = std::move(progress);
    completions_[target] = [weak = weak_from_this(), completion = std::move(completion),
                            target](const std::optional<std::string>& location) {
      if (!location) {
        if (completion) completion(std::nullopt);
        return;
      }
      moveFile(*location, target);
      if (auto self = weak.lock()) {
        self->syncSetUserDefaultObject(getFileSizeInFS(target),
                                       self->getFileSizeUserDefaultKey(target));
      }
      if (completion) completion(target);
    };
  }
  startDownload(url);
}

bool MireloDownloader::isDownloaded(const std::string& target) const {
  std::error_code ec;
  if (!fs::exists(target, ec)) return false;
  const auto recorded = syncGetUserDefaultObject(getFileSizeUserDefaultKey(target));
  return recorded && *recorded == getFileSizeInFS(target);
}

std::string MireloDownloader::getDownloadTarget(const std::string& url) const {
  const std::string target = targetFor(url);
  console(fmt::sprintf("URL: %s\nHash: %s", url, fs::path(target).filename().string()));
  return target;
}

std::string MireloDownloader::targetFor(const std::string& url) const {
  return (fs::path(downloadDirectory_) / P::Digest::sha256Hex(url)).string();
}

std::string MireloDownloader::getFileSizeUserDefaultKey(const std::string& target) const {
  return fmt::sprintf(kFileSizeKeyFormat, target);
}

uint64_t MireloDownloader::getFileSizeInFS(const std::string& target) {
  std::error_code ec;
  const auto size = fs::file_size(target, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

float MireloDownloader::getDownloadProgress(const std::string& target) const {
  std::lock_guard lock(progressMutex_);
  auto it = downloadProgress_.find(target);
  return it == downloadProgress_.end() ? 0.0f : it->second;
}

bool MireloDownloader::moveFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec == std::errc::cross_device_link) {
    // The transfer's temporary folder may sit on another file system than the caches.
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::remove(from, ec);
  }
  if (ec) {
    console(fmt::sprintf("Error moving file: %s", ec.message()));
    return false;
  }
  console(fmt::sprintf("File downloaded to: %s", to));
  return true;
}

std::optional<uint64_t> MireloDownloader::syncGetUserDefaultObject(const std::string& key) const {
  const std::string bare = extractLastComponentFromString(key);
  std::lock_guard lock(userDefaultMutex_);
  auto defaults = P::UserDefaults::standardUserDefaults();
  if (!defaults->hasKey(bare)) return std::nullopt;
  return static_cast<uint64_t>(defaults->integerForKey(bare));
}

void MireloDownloader::syncSetUserDefaultObject(uint64_t value, const std::string& key) {
  const std::string bare = extractLastComponentFromString(key);
  std::lock_guard lock(userDefaultMutex_);
  auto defaults = P::UserDefaults::standardUserDefaults();
  defaults->setInteger(static_cast<int64_t>(value), bare);
  defaults->synchronize();
}

std::string MireloDownloader::extractLastComponentFromString(const std::string& text) {
  const auto slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

void MireloDownloader::startDownload(const std::string& url) {
  // A session per transfer, told to go away once the transfer ends, so none pile up.
  auto session = P::UrlSession::make(P::UrlSessionConfiguration::defaultConfiguration(),
                                     shared_from_this(), nullptr);
  auto task = session->downloadTaskWithURL(url);
  ORSA_LOG_INFO(M, "Start downloading %s", url);
  task->resume();
  session->finishTasksAndInvalidate();
}

void MireloDownloader::createDownloadDirectoryIfNeeded() {
  const std::string path = fs::path(downloadDirectory_).lexically_normal().string();
  console(fmt::sprintf("Checking directory exists: %s", path));
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    console(fmt::sprintf("Directory already exists at: %s", path));
    return;
  }
  console("Directory does not exist or is not a directory, creating...");
  fs::create_directories(path, ec);
  if (ec) {
    console(fmt::sprintf("Error creating download directory: %s", ec.message()));
    return;
  }
  console(fmt::sprintf("Directory created successfully at: %s", path));
  std::error_code check;
  const bool exists = fs::exists(path, check);
  const bool isDirectory = fs::is_directory(path, check);
  console(fmt::sprintf("Directory verification - exists: %d, isDirectory: %d", exists ? 1 : 0,
                       isDirectory ? 1 : 0));
}

void MireloDownloader::didWriteData(P::UrlSession&, P::UrlSessionDownloadTask& task, int64_t,
                                    int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
  if (totalBytesExpectedToWrite == P::kTransferSizeUnknown || totalBytesExpectedToWrite <= 0) {
    return;
  }
  const float value =
      static_cast<float>(totalBytesWritten) / static_cast<float>(totalBytesExpectedToWrite);
  const std::string target = targetFor(task.originalRequest().url);
  {
    std::lock_guard lock(progressMutex_);
    downloadProgress_[target] = value;
  }
  Progress handler;
  {
    // A joining request may replace the handler while this event runs.
    std::lock_guard lock(completionsMutex_);
    auto it = progressHandlers_.find(target);
    if (it != progressHandlers_.end()) handler = it->second;
  }
  if (handler) P::mainQueue()->async([handler = std::move(handler), value] { handler(value); });
}

void MireloDownloader::didFinishDownloadingToURL(P::UrlSession&, P::UrlSessionDownloadTask& task,
                                                 const std::string& location) {
  const auto response = task.response();
  const bool ok = response && (!response->isHttp ||
                               (response->statusCode >= 200 && response->statusCode <= 299));
  if (!ok) {
    ORSA_LOG_ERROR(M, "Download failed, url: %s, status: %d", task.originalRequest().url,
                   response ? static_cast<int>(response->statusCode) : 0);
  }
  finishPending(task.originalRequest().url,
                ok ? std::optional<std::string>(location) : std::nullopt);
}

void MireloDownloader::didComplete(P::UrlSession&, P::UrlSessionTask& task,
                                   const std::optional<P::TransferError>& error) {
  // A transfer that ends without error has already been answered by its finished file; one
  // that fails produces no file, so its waiting requests hear of it here.
  if (!error) return;
  ORSA_LOG_ERROR(M, "Download failed, url: %s, error: %s (%d)", task.originalRequest().url,
                 error->description, static_cast<int>(error->code));
  finishPending(task.originalRequest().url, std::nullopt);
}

void MireloDownloader::finishPending(const std::string& url,
                                     const std::optional<std::string>& location) {
  const std::string target = targetFor(url);
  Pending pending;
  {
    std::lock_guard lock(completionsMutex_);
    auto it = completions_.find(target);
    if (it == completions_.end()) return;
    pending = std::move(it->second);
    completions_.erase(it);
  }
  pending(location);
}
