#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "orsa/IOrsaMirelo.h"
#include "orsa/OrsaPicture.h"

namespace orsa::tool {

// Plays a host's RTC library for a real H.264 stream: receives it from an SDP (RTP over UDP)
// or reads a recording, and for every access unit hands the engine our SEI payload as it
// stands in the bitstream, escapes included, and then the decoded picture (BGRA, decoder
// strides). A picture goes over only when it is sure to belong to its record: its SEI is ours
// and whole, it decoded without errors, nothing was lost since the last clean key frame, and
// the frame index drawn into its corner matches the record.
class StreamReceiver {
 public:
  struct Limits {
    int64_t firstPacketMs = 30000;  // waiting for the stream to begin
    int64_t idleMs = 1000;          // once it has begun: silence that ends it
    int64_t totalMs = 0;            // 0: until the stream ends
  };

  // Opens `input` (an .sdp file, or an .mp4 / .h264 recording) with nothing but the file, UDP
  // and RTP protocols and the SDP, H.264 and MP4 demuxers, and finds its H.264 video. Nothing,
  // with `error` saying why, for anything else.
  static std::unique_ptr<StreamReceiver> open(const std::string& input, const Limits& limits,
                                              std::string& error);
  ~StreamReceiver();
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;

  // Starts receiving into the engine on a thread of the receiver's own. A live stream is
  // opened again here; false, with `error`, when that fails.
  bool start(std::shared_ptr<IOrsaMirelo> engine, std::string streamId, std::string& error);
  void stop();
  bool finished() const { return finished_.load(); }
  // Once finished: why it ended, in a line for people, and whether that was a failure (nothing
  // received, or the input could not be read).
  std::string endLine() const;
  bool failed() const;
  bool isLive() const { return live_; }
  // The records' frame rate; 0 before the first record.
  int32_t fps() const { return fps_.load(); }

  // The view's presentation sink calls this for every presented picture (its drawing thread).
  void onPresented(const OrsaPicture& picture);
  // Adds the receiver's figures to the demo's statistics.
  void addStats(nlohmann::json& stats) const;

 private:
  StreamReceiver() = default;
  struct Impl;
  void run();

  std::unique_ptr<Impl> impl_;
  bool live_ = false;
  std::atomic<bool> stopping_{false}, finished_{false};
  std::atomic<int32_t> fps_{0};
  std::thread thread_;

  // Send times of the pictures handed over, by the engine's frame number (1, 2, ...), and the
  // latencies of those presented. Guarded: the drawing thread reads what the receiver writes.
  mutable std::mutex lock_;
  std::vector<int64_t> sendTimes_;
  std::vector<int64_t> glassToGlass_;
};

}  // namespace orsa::tool
