#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orsa/OrsaExport.h"

// One stream in which the digital human is published. A field is std::nullopt when its key
// was absent from the start configuration (or did not hold a string).
class ORSA_EXPORT OrsaMireloStream {
 public:
  using Field = std::optional<std::string>;

  const Field& roomId() const { return roomId_; }
  void setRoomId(Field v) { roomId_ = std::move(v); }
  const Field& streamId() const { return streamId_; }
  void setStreamId(Field v) { streamId_ = std::move(v); }
  const Field& encodeCode() const { return encodeCode_; }
  void setEncodeCode(Field v) { encodeCode_ = std::move(v); }
  // The resource package of the digital human. The compositing runtime looks for it at
  // <home>/tmp/<the URL's last path component, percent escapes decoded>, or at
  // <home>/tmp/<DigitalHumanId>.zip when the URL has no usable last component, and downloads the
  // URL to that place when no file is there. A host that fetched the package itself puts it
  // there before starting.
  const Field& packageUrl() const { return packageUrl_; }
  void setPackageUrl(Field v) { packageUrl_ = std::move(v); }
  // The stream's platform: "mobile" (STREAM_TYPE_MOBILE) selects the runtime that composites
  // the head over the package's frames; anything else is treated like "web", whose runtime
  // draws nothing itself.
  const Field& configId() const { return configId_; }
  void setConfigId(Field v) { configId_ = std::move(v); }

  // One line for logs; absent fields print as empty strings.
  std::string string() const;

  bool operator==(const OrsaMireloStream&) const = default;

 private:
  Field roomId_;
  Field streamId_;
  Field encodeCode_;
  Field packageUrl_;
  Field configId_;
};

// The decoded start configuration.
//
// The fit stream is chosen on first use and kept from then on, so the runtime keeps talking
// to the same stream even if the list is replaced later. The choice is guarded, so the host's
// RTC thread and the main thread may both ask for it.
class ORSA_EXPORT OrsaMireloConfig {
 public:
  using Streams = std::vector<OrsaMireloStream>;

  OrsaMireloConfig() = default;
  OrsaMireloConfig(const OrsaMireloConfig& other);
  OrsaMireloConfig& operator=(const OrsaMireloConfig& other);

  const std::optional<std::string>& digitalHumanId() const { return digitalHumanId_; }
  void setDigitalHumanId(std::optional<std::string> v) { digitalHumanId_ = std::move(v); }

  // std::nullopt when "Streams" was absent or not an array; empty when the array held no
  // objects.
  const std::optional<Streams>& streams() const { return streams_; }
  void setStreams(std::optional<Streams> v) { streams_ = std::move(v); }

  // The stream this device uses: the first "mobile" stream, else the first stream. Null when
  // there are no streams (and then nothing is remembered).
  std::shared_ptr<const OrsaMireloStream> getFitStream() const;

  bool isValid() const;

  // One line for logs.
  std::string string() const;

 private:
  std::optional<std::string> digitalHumanId_;
  std::optional<Streams> streams_;
  mutable std::mutex fitMutex_;
  mutable std::shared_ptr<const OrsaMireloStream> fitStream_;
};
