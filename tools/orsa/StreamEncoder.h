#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "orsa/OrsaSEIRecord.h"

namespace orsa::tool {

// Encodes head pictures with libx264 (no B-frames, zero-latency tuning, a key frame every two
// seconds with its parameter sets) and puts each picture's record into its access unit as our
// SEI message, followed by the send time. The access units go out as RTP (RFC 6184) to
// rtp://HOST:PORT, losing a given share of the packets if asked, or into a recording (.mp4,
// .h264).
class StreamEncoder {
 public:
  struct Options {
    std::string to;       // rtp://HOST:PORT or a file path
    std::string sdpPath;  // RTP only; empty: the SDP goes to standard output
    int32_t fps = 25;
    int64_t bitrate = 1500000;
    double lossPercent = 0;
    uint64_t seed = 1;
    int32_t width = 0, height = 0;
  };

  // Nothing, with `error` saying why, when the encoder or the output cannot be opened.
  static std::unique_ptr<StreamEncoder> open(const Options& options, std::string& error);
  ~StreamEncoder();
  StreamEncoder(const StreamEncoder&) = delete;
  StreamEncoder& operator=(const StreamEncoder&) = delete;

  // One BGRA picture and its record; `sendTimeMs` (steady clock) travels in the SEI message.
  // False once the output has failed (error() says why).
  bool encode(const uint8_t* bgra, size_t stride, const OrsaSEIRecord& record, int64_t sendTimeMs);
  // Drains the encoder and completes the output.
  bool finish();

  const std::string& error() const;
  uint64_t framesEncoded() const;
  uint64_t packetsSent() const;
  uint64_t packetsDropped() const;
  bool isRtp() const;

  // The bytes of the SEI payload that follows our UUID: the record, then the send time as two
  // words (low, high).
  static std::vector<uint8_t> seiPayload(const OrsaSEIRecord& record, int64_t sendTimeMs);

 private:
  StreamEncoder() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orsa::tool
