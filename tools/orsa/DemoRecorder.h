#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "render/OrsaRenderBackend.h"

namespace orsa::tool {

// Records what a view presents without slowing the view down: the presentation sink only
// copies the picture into one of a fixed number of slots (a picture that finds no free slot
// is not recorded, and counted), and a thread of the recorder's own encodes the slots into an
// H.264 file and keeps small copies for a contact sheet.
//
// A sink that may still be called after finish() (a drawing thread that did not stop in time)
// must hold the recorder by shared_ptr; pictures after finish() are counted, not recorded.
class DemoRecorder {
 public:
  struct Summary {
    uint64_t presented = 0;
    uint64_t recorded = 0;
    uint64_t notRecorded = 0;
    // Intake to presentation of every presented picture that carried its intake time, sorted.
    std::vector<int64_t> latencies;
    int64_t firstPresentation = 0, lastPresentation = 0;
    std::string error;  // why the video or the sheet could not be written
  };

  DemoRecorder(std::string videoPath, std::string sheetPath, int32_t fps, size_t slots = 8);
  ~DemoRecorder();
  DemoRecorder(const DemoRecorder&) = delete;
  DemoRecorder& operator=(const DemoRecorder&) = delete;

  // The presentation sink. Drawing thread; never blocks on the encoder.
  void onPicture(const OrsaPicture& picture);
  // Encodes what is queued, completes the video and writes the contact sheet.
  Summary finish();

  // The value at fraction q (0-1) of sorted values; 0 when there are none.
  static int64_t percentile(const std::vector<int64_t>& sorted, double q);

 private:
  struct Slot {
    std::vector<uint8_t> rgba;
    int32_t width = 0, height = 0;
  };
  struct Thumb {
    std::vector<uint8_t> rgba;
    int32_t width = 0, height = 0;
  };
  void encodeLoop();
  void encode(const Slot& slot);
  void addThumb(const Slot& slot);
  bool writeSheet();

  const std::string videoPath_, sheetPath_;
  const int32_t fps_;

  std::mutex lock_;
  std::condition_variable ready_;
  std::vector<Slot> slots_;
  std::vector<size_t> free_;
  std::deque<size_t> queued_;
  bool finishing_ = false;
  Summary summary_;

  // Encoder thread only.
  struct Encoder;
  std::unique_ptr<Encoder> encoder_;
  std::vector<Thumb> thumbs_;
  uint64_t thumbEvery_ = 1, encodedCount_ = 0;
  std::string error_;
  std::thread thread_;
};

}  // namespace orsa::tool
