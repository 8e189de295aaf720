#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The version the download classes write into every task and item, and against which the
// store decides whether its schema needs migrating.
inline constexpr const char* kTRDownloaderVersion = "2.0.3";
// Posted (with the item as its object) when an item finishes or fails.
inline constexpr const char* kDownloadTaskFinishedNoti = "kDownloadTaskFinishedNoti";
// The user id that scopes items while none is set.
inline constexpr const char* kTRDefaultDownloadUid = "TRDownloadUID";

// One stored value as the download store sees it: absent, text, integer, real or bytes.
using TRDBValue = std::variant<std::monostate, std::string, int64_t, double, std::vector<uint8_t>>;
// One stored row: column name to value; absent values leave their column out.
using TRDBRow = std::map<std::string, TRDBValue>;

struct TRProgress;
class TRDownloadTask;
namespace orsa::platform {
struct Error;
}

// The downloader's callbacks as an item hands them out. The downloader declares the same
// aliases; the compiler refuses the pair should they ever differ.
using TRProgressHandler =
    std::function<void(const TRProgress& progress, const std::shared_ptr<TRDownloadTask>& task)>;
using TRCompletionHandler = std::function<void(const std::optional<std::string>& localPath,
                                               const std::optional<orsa::platform::Error>& error)>;
