#pragma once

// The version the download classes write into every task and item, and against which the
// store decides whether its schema needs migrating.
inline constexpr const char* kTRDownloaderVersion = "2.0.3";
// The name under which the library announces, inside the process, that an item finished or
// failed. A host hears the same through TRDownloadItemDelegate::downloadItemStatusChanged
// (status 4 or 5).
inline constexpr const char* kDownloadTaskFinishedNoti = "kDownloadTaskFinishedNoti";
// The user id that scopes items while none is set.
inline constexpr const char* kTRDefaultDownloadUid = "TRDownloadUID";
