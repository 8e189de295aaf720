#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/MediaReader.h"

namespace OrsaMirelo {

// Incremented once per extraction call; tells the calls of one process apart.
extern std::atomic<uint32_t> videoExtractCount;

// Decodes every frame of the first video track of videoPath and writes it as
// outputDir/NNNNNN.jpg (zero-based frame number, at least six digits). outputDir must exist.
// A ".cancel_flag" file in outputDir stops the extraction at its next checkpoint (every 16
// frames) and drops frames not yet written; it is removed when the call ends. A picture the
// decoder rejects is skipped and its number used up. True when the whole video was read,
// every frame read was written, and outputDir still exists.
bool extractVideoFramesToDirectory(const std::string& videoPath, const std::string& outputDir);

// Compresses frame as a 4:4:4 JPEG of quality 80 and writes it to path. True when the JPEG was
// produced (a failed write is only logged).
bool encodeSampleBufferToJpeg(std::unique_ptr<orsa::platform::MediaFrame> frame,
                              const std::string& path);

// Writes frame as a raw RGBA file: width and height as unsigned 32-bit little-endian values,
// then the rows, packed, with alpha 255.
bool saveRGBAToFile(std::unique_ptr<orsa::platform::MediaFrame> frame, const std::string& path);

// Knobs and observations of one extraction, for tuning and for tests; the plain call above
// uses the defaults.
struct ExtractOptions {
  // Threads compressing frames in parallel; 0 picks one per core. Files are still
  // written one at a time in frame order, so the outcome equals that of a single encoder.
  int encoders = 0;
  // Frames decoded but not yet written, at most; the reader waits when it is reached. 0 picks
  // twice the number of encoders, at least 4, as far as a fixed memory budget allows (and then
  // no more encoders than that).
  int maxFramesInFlight = 0;
  // Called on the writing side just before frame `index` is written or dropped.
  std::function<void(uint64_t index)> beforeCommit;
};

struct ExtractStats {
  uint64_t readCount = 0;
  uint64_t dispatchedCount = 0;
  uint64_t writtenCount = 0;
  uint64_t droppedCount = 0;
  // Frames that should have been written but could not be compressed or written.
  uint64_t failedCount = 0;
  int encoders = 0;
  int maxFramesInFlight = 0;
  // The highest number of frames held between reading and writing at any moment.
  int peakFramesInFlight = 0;
};

bool extractVideoFramesToDirectory(const std::string& videoPath, const std::string& outputDir,
                                   const ExtractOptions& options, ExtractStats* stats);

}  // namespace OrsaMirelo
