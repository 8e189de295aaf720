#include "orsa/OrsaMireloConfig.h"

#include <fmt/format.h>

#include "orsa/OrsaConstants.h"

namespace {

const std::string& orEmpty(const std::optional<std::string>& v) {
  static const std::string empty;
  return v ? *v : empty;
}

}  // namespace

std::string OrsaMireloStream::string() const {
  return fmt::format(
      "Stream{{RoomId='{}', StreamId='{}', EncodeCode='{}', PackageUrl='{}', Platform='{}'}}",
      orEmpty(roomId_), orEmpty(streamId_), orEmpty(encodeCode_), orEmpty(packageUrl_),
      orEmpty(configId_));
}

OrsaMireloConfig::OrsaMireloConfig(const OrsaMireloConfig& other)
    : digitalHumanId_(other.digitalHumanId_), streams_(other.streams_) {
  std::lock_guard<std::mutex> lock(other.fitMutex_);
  fitStream_ = other.fitStream_;
}

OrsaMireloConfig& OrsaMireloConfig::operator=(const OrsaMireloConfig& other) {
  if (this == &other) return *this;
  digitalHumanId_ = other.digitalHumanId_;
  streams_ = other.streams_;
  std::shared_ptr<const OrsaMireloStream> fit;
  {
    std::lock_guard<std::mutex> lock(other.fitMutex_);
    fit = other.fitStream_;
  }
  std::lock_guard<std::mutex> lock(fitMutex_);
  fitStream_ = std::move(fit);
  return *this;
}

std::shared_ptr<const OrsaMireloStream> OrsaMireloConfig::getFitStream() const {
  std::lock_guard<std::mutex> lock(fitMutex_);
  if (fitStream_) return fitStream_;
  if (!streams_ || streams_->empty()) return nullptr;
  const OrsaMireloStream* chosen = &streams_->front();
  for (const auto& s : *streams_) {
    if (s.configId() && *s.configId() == STREAM_TYPE_MOBILE) {
      chosen = &s;
      break;
    }
  }
  // A copy, so that replacing the list later cannot pull the stream from under a reader.
  fitStream_ = std::make_shared<const OrsaMireloStream>(*chosen);
  return fitStream_;
}

bool OrsaMireloConfig::isValid() const {
  if (!digitalHumanId_) return false;
  auto fit = getFitStream();
  if (!fit) return false;
  if (!fit->roomId() || !fit->streamId()) return false;
  if (fit->configId() && *fit->configId() == STREAM_TYPE_MOBILE) {
    if (!fit->packageUrl() || fit->packageUrl()->empty()) return false;
  }
  return true;
}

std::string OrsaMireloConfig::string() const {
  std::string out = fmt::format("MireloConfig{{DigitalHumanId='{}'", orEmpty(digitalHumanId_));
  if (streams_) {
    for (size_t i = 0; i < streams_->size(); ++i) {
      out += fmt::format(", Streams[{}]={}", i, (*streams_)[i].string());
    }
  }
  out += "}";
  return out;
}
