#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orsa/IOrsaMirelo.h"
#include "orsa/OrsaSEIRecord.h"

class ResourceManager;

namespace orsa::tool {

// Plays the part of a host's RTC library for a prepared sample package: for every output frame
// an SEI payload that names an origin frame and its head rectangle, then a decoded head picture
// (BGRA, rows padded as decoders pad them) that differs from the package by a talking mouth.
// Both go to the engine's intake on a thread of the sender's own, at the SEI frame rate.
class SimulatedSender {
 public:
  struct HeadRect {
    int32_t x = 0, y = 0, width = 0, height = 0;
  };

  // What the sender needs of a package's manifest.json.
  struct Manifest {
    int32_t fps = 25;
    std::vector<HeadRect> frames;  // one head rectangle per origin frame, all of one size
  };

  // Reads manifest.json's text, checking every value it uses: types, ranges, head rectangles
  // inside the picture the manifest declares and all of one sane size. Nothing, with `error`
  // naming the first fault, when the manifest cannot drive a sender.
  static std::optional<Manifest> parseManifest(std::string_view text, std::string& error);

  // Reads the package's manifest and the head region of every origin frame from the prepared
  // package behind `resources`. Nothing, with `error` saying why, when they cannot be read.
  static std::unique_ptr<SimulatedSender> create(const ResourceManager& resources,
                                                 std::shared_ptr<IOrsaMirelo> engine,
                                                 std::string streamId, int32_t fps,
                                                 std::string& error);
  ~SimulatedSender();

  // Starts sending; stop() (or the destructor) ends the thread.
  void start();
  void stop();
  uint64_t framesSent() const { return framesSent_.load(); }
  int32_t fps() const { return fps_; }

  // The origin frame the k-th output frame shows: forward through the n frames, then back
  // (0, 1, .., n-1, n-2, .., 1, 0, 1, ...).
  static int32_t originIndexFor(uint64_t k, int32_t n);
  // The record of an origin frame with the head at `rect`.
  static OrsaSEIRecord seiRecord(int32_t fps, int32_t frameIndex, const HeadRect& rect);
  // Draws the mouth of output frame k on a BGRA head picture of width x height.
  static void drawMouth(uint8_t* bgra, int32_t width, int32_t height, size_t stride, uint64_t k,
                        int32_t fps);

 private:
  SimulatedSender() = default;
  void sendLoop();
  void sendOne(uint64_t k);

  std::shared_ptr<IOrsaMirelo> engine_;
  std::string streamId_;
  int32_t fps_ = 25;
  int32_t headWidth_ = 0, headHeight_ = 0;
  size_t stride_ = 0;
  std::vector<HeadRect> rects_;
  // Packed BGRA head regions, one per origin frame.
  std::vector<std::vector<uint8_t>> heads_;
  // The picture handed to the intake, reused: the engine copies what it keeps.
  std::vector<uint8_t> outgoing_;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> framesSent_{0};
  std::thread thread_;
};

}  // namespace orsa::tool
