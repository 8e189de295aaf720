#include "utils/DataCodec.h"

#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "logging/QMXLogUtil.h"
#include "orsa/OrsaConstants.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/FileIO.h"

namespace OrsaMirelo {

std::atomic<uint32_t> videoExtractCount{0};

namespace {

namespace fs = std::filesystem;
using orsa::platform::MediaFrame;
using orsa::platform::MediaReader;
using FramePtr = std::unique_ptr<MediaFrame>;

constexpr int kJpegQuality = 80;
constexpr uint64_t kCheckpointEvery = 16;
// What frames waiting between reader and writer may hold together, and what one holds per
// pixel at most: the decoder's picture, its BGRA conversion and the compressed bytes.
constexpr int64_t kReadAheadBytes = int64_t{256} << 20;
constexpr int64_t kBytesPerFrameInFlight = 6;

// A TurboJPEG compressor, destroyed by whoever drops the last reference.
using TjHandle = std::shared_ptr<void>;

TjHandle makeCompressor() {
  tjhandle h = tjInitCompress();
  if (!h) return nullptr;
  return TjHandle(h, [](void* p) { tjDestroy(p); });
}

// Compressed bytes that TurboJPEG allocated; freed exactly once, here.
class JpegBuffer {
 public:
  JpegBuffer() = default;
  JpegBuffer(JpegBuffer&& o) noexcept : data_(o.data_), size_(o.size_) {
    o.data_ = nullptr;
    o.size_ = 0;
  }
  JpegBuffer& operator=(JpegBuffer&& o) noexcept {
    if (this != &o) {
      reset();
      data_ = o.data_;
      size_ = o.size_;
      o.data_ = nullptr;
      o.size_ = 0;
    }
    return *this;
  }
  ~JpegBuffer() { reset(); }
  void reset() {
    if (data_) tjFree(data_);
    data_ = nullptr;
    size_ = 0;
  }
  unsigned char** dataSlot() { return &data_; }
  unsigned long* sizeSlot() { return &size_; }
  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return data_ == nullptr; }

 private:
  unsigned char* data_ = nullptr;
  unsigned long size_ = 0;
};

// Compresses straight from the frame's BGRA rows with their own stride; the alpha byte is
// ignored (BGRX source).
bool compressFrame(void* handle, MediaFrame& frame, JpegBuffer& out) {
  const uint8_t* base = frame.lockBaseAddress();
  if (!base) {
    ORSA_LOG_ERROR(FILTER_NAME, "JPEG compression failed: %s", "the frame has no pixels");
    return false;
  }
  out.reset();
  int rc = tjCompress2(handle, base, frame.width(), static_cast<int>(frame.bytesPerRow()),
                       frame.height(), TJPF_BGRX, out.dataSlot(), out.sizeSlot(), TJSAMP_444,
                       kJpegQuality, TJFLAG_ACCURATEDCT);
  if (rc != 0) {
    ORSA_LOG_ERROR(FILTER_NAME, "JPEG compression failed: %s", std::string(tjGetErrorStr2(handle)));
    out.reset();
    return false;
  }
  return true;
}

// Writes bytes as the file at path (replacing one that is there). A write that fails half-way
// removes what it wrote, so a reader never meets a truncated picture.
bool writeNewFile(const std::string& path, const void* data, size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = orsa::platform::writeAll(fd, data, size);
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

bool writeJpeg(const std::string& path, const JpegBuffer& jpeg) {
  if (writeNewFile(path, jpeg.data(), jpeg.size())) return true;
  orsa::platform::consoleWrite(fmt::sprintf("Failed to write file: %s", path),
                               orsa::platform::kConsoleWarning);
  return false;
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Compresses frames on one or more serial queues and writes them one at a time in the order
// they were read. Frames wait between reader and writer in a window of bounded size: the
// reader blocks when the window is full, so decoding faster than encoding cannot pile up
// frames in memory.
//
// Whatever the number of encoders, each frame's fate (written or dropped because of the stop
// marker or a vanished directory) is decided at its turn in frame order, just before it would
// be written. So the set of files on disk is at every moment a prefix of the frames read,
// exactly as with a single encoder: a process killed mid-way leaves no holes, and frames after
// a stop marker appeared are never written.
class EncodePipeline {
 public:
  EncodePipeline(std::string outputDir, std::string markerPath, const ExtractOptions& options,
                 int encoders, int window)
      : outputDir_(std::move(outputDir)),
        markerPath_(std::move(markerPath)),
        beforeCommit_(options.beforeCommit),
        window_(window),
        slots_(window) {
    for (int i = 0; i < encoders; ++i) {
      workers_.push_back(std::make_unique<Worker>());
      workers_.back()->queue = orsa::platform::makeSerialQueue("com.orsamirelo.datacodec.encoding");
    }
  }

  // Queues one frame. Blocks while the window is full.
  void dispatch(uint64_t index, std::string framePath, FramePtr frame) {
    slots_.wait();
    uint64_t seq = dispatched_++;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++inFlight_;
      peakInFlight_ = std::max(peakInFlight_, inFlight_);
    }
    Worker* worker = workers_[seq % workers_.size()].get();
    // std::function needs a copyable callable; the frame travels in a shared holder.
    auto held = std::make_shared<FramePtr>(std::move(frame));
    worker->queue->async([this, worker, seq, index, path = std::move(framePath), held]() mutable {
      encode(*worker, seq, index, std::move(path), std::move(*held));
    });
  }

  // Waits until every dispatched frame was written or dropped, then until the encoding tasks
  // have returned, so the pipeline may be destroyed.
  void waitAll() {
    for (uint64_t i = 0; i < dispatched_; ++i) done_.wait();
    for (auto& w : workers_) w->queue->sync([] {});
  }

  uint64_t dispatched() const { return dispatched_; }
  void fillStats(ExtractStats& stats) {
    std::lock_guard<std::mutex> lock(mutex_);
    stats.writtenCount = written_;
    stats.droppedCount = dropped_;
    stats.failedCount = failed_;
    stats.encoders = static_cast<int>(workers_.size());
    stats.maxFramesInFlight = window_;
    stats.peakFramesInFlight = peakInFlight_;
  }

 private:
  struct Worker {
    std::shared_ptr<orsa::platform::DispatchQueue> queue;
    TjHandle compressor;  // used only by tasks of `queue`, one at a time
    bool initFailed = false;
  };

  enum class Outcome { Written, Dropped, Failed };

  struct Pending {
    uint64_t index = 0;
    std::string path;
    FramePtr frame;       // kept only while not yet compressed
    JpegBuffer jpeg;      // empty when not compressed
    bool failed = false;  // compression was tried and failed
  };

  bool shouldWrite() const { return !pathExists(markerPath_) && pathExists(outputDir_); }

  void* compressor(Worker& w) {
    if (!w.compressor && !w.initFailed) {
      w.compressor = makeCompressor();
      if (!w.compressor) {
        w.initFailed = true;
        orsa::platform::consoleWrite(
            fmt::sprintf("TurboJPEG init failed: %s", std::string(tjGetErrorStr())),
            orsa::platform::kConsoleWarning);
      }
    }
    return w.compressor.get();
  }

  void encode(Worker& w, uint64_t seq, uint64_t index, std::string path, FramePtr frame) {
    Pending p;
    p.index = index;
    p.path = std::move(path);
    // Skip the costly part for frames that will most likely be dropped; the decision itself
    // is taken again at the frame's turn.
    if (shouldWrite()) {
      void* h = compressor(w);
      if (!h || !compressFrame(h, *frame, p.jpeg)) p.failed = true;
      frame.reset();
    } else {
      p.frame = std::move(frame);
    }
    deposit(w, seq, std::move(p));
  }

  // Hands a finished frame over for writing. The first thread to find the next frame in order
  // ready writes it and any that follow, so files are written one at a time, in order.
  void deposit(Worker& w, uint64_t seq, Pending p) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.emplace(seq, std::move(p));
    if (committing_) return;
    committing_ = true;
    while (true) {
      auto it = ready_.find(nextCommit_);
      if (it == ready_.end()) break;
      Pending next = std::move(it->second);
      ready_.erase(it);
      lock.unlock();
      Outcome outcome = commit(w, next);
      next = Pending();  // frees the frame and the JPEG before the window reopens
      lock.lock();
      ++nextCommit_;
      --inFlight_;
      if (outcome == Outcome::Written)
        ++written_;
      else if (outcome == Outcome::Dropped)
        ++dropped_;
      else
        ++failed_;
      slots_.signal();
      done_.signal();
    }
    committing_ = false;
  }

  // A frame that should have been written but was not is a failure, not a drop: its file
  // would be missing from a store that looks complete.
  Outcome commit(Worker& w, Pending& p) {
    if (beforeCommit_) beforeCommit_(p.index);
    if (!shouldWrite()) return Outcome::Dropped;
    if (p.jpeg.empty() && !p.failed && p.frame) {
      void* h = compressor(w);
      if (!h || !compressFrame(h, *p.frame, p.jpeg)) p.failed = true;
    }
    if (p.failed || p.jpeg.empty()) return Outcome::Failed;
    return writeJpeg(p.path, p.jpeg) ? Outcome::Written : Outcome::Failed;
  }

  const std::string outputDir_;
  const std::string markerPath_;
  const std::function<void(uint64_t)> beforeCommit_;
  const int window_;
  std::vector<std::unique_ptr<Worker>> workers_;
  orsa::platform::Semaphore slots_;
  orsa::platform::Semaphore done_;
  uint64_t dispatched_ = 0;  // reader thread only

  std::mutex mutex_;
  std::map<uint64_t, Pending> ready_;
  uint64_t nextCommit_ = 0;
  bool committing_ = false;
  int inFlight_ = 0;
  int peakInFlight_ = 0;
  uint64_t written_ = 0;
  uint64_t dropped_ = 0;
  uint64_t failed_ = 0;
};

int defaultEncoders() {
  unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<int>(cores);
}

std::string frameFileName(uint64_t index) {
  return fmt::sprintf("%06llu.jpg", static_cast<unsigned long long>(index));
}

}  // namespace

bool extractVideoFramesToDirectory(const std::string& videoPath, const std::string& outputDir) {
  return extractVideoFramesToDirectory(videoPath, outputDir, ExtractOptions{}, nullptr);
}

bool extractVideoFramesToDirectory(const std::string& videoPath, const std::string& outputDir,
                                   const ExtractOptions& options, ExtractStats* stats) {
  auto reader = MediaReader::openFirstVideoTrack(videoPath);
  if (!reader) {
    orsa::platform::consoleWrite(fmt::sprintf("No video track found in %s", videoPath),
                                 orsa::platform::kConsoleWarning);
    return false;
  }
  if (!reader->addOutput(orsa::platform::kMediaPixelFormatBGRA)) {
    orsa::platform::consoleWrite(fmt::sprintf("Reader init failed: %s", reader->error()),
                                 orsa::platform::kConsoleWarning);
    return false;
  }
  if (!reader->startReading()) {
    orsa::platform::consoleWrite(fmt::sprintf("Start reading failed: %s", reader->error()),
                                 orsa::platform::kConsoleWarning);
    return false;
  }
  // Tells concurrent calls apart in traces; the wait itself uses an anonymous semaphore, since
  // a named one whose name holds "/" cannot be created here.
  videoExtractCount.fetch_add(1);

  int encoders = options.encoders > 0 ? options.encoders : defaultEncoders();
  int window = options.maxFramesInFlight;
  if (window <= 0) {
    // Frames between reader and writer are what the read-ahead costs in memory: twice the
    // encoders keeps them all busy, the byte budget keeps a many-core machine from holding
    // hundreds of big pictures. Encoders beyond the window would only wait.
    const int64_t frameBytes = std::max<int64_t>(
        1, int64_t{reader->width()} * int64_t{reader->height()} * kBytesPerFrameInFlight);
    const int64_t affordable = std::max<int64_t>(4, kReadAheadBytes / frameBytes);
    window = static_cast<int>(std::min<int64_t>(std::max(4, 2 * encoders), affordable));
    if (options.encoders <= 0) encoders = std::min(encoders, window);
  }
  const std::string markerPath = (fs::path(outputDir) / ".cancel_flag").string();
  auto pipeline =
      std::make_unique<EncodePipeline>(outputDir, markerPath, options, encoders, window);

  uint64_t readCount = 0;
  while (reader->status() == MediaReader::Status::Reading) {
    if (readCount % kCheckpointEvery == kCheckpointEvery - 1) {
      ORSA_LOG_INFO(FILTER_NAME, "Extracting frame %llu",
                    static_cast<unsigned long long>(readCount));
      if (!pathExists(outputDir)) {
        ORSA_LOG_INFO(FILTER_NAME, "Output directory removed, cancelling extraction");
        break;
      }
      if (pathExists(markerPath)) {
        ORSA_LOG_INFO(FILTER_NAME, "Cancel flag detected, stopping extraction");
        break;
      }
    }
    std::string framePath = (fs::path(outputDir) / frameFileName(readCount)).string();
    FramePtr frame = reader->copyNextSampleBuffer();
    uint64_t index = readCount++;
    if (!frame) {
      // Every video ends this way: the read that finds nothing is what tells the reader it is
      // over. Only a frame missing while the reader still reads is worth an error.
      if (reader->status() == MediaReader::Status::Reading) {
        ORSA_LOG_ERROR(FILTER_NAME, "Invalid frame occured, index: %llu",
                       static_cast<unsigned long long>(readCount));
      } else {
        ORSA_LOG_INFO(FILTER_NAME, "Invalid frame occured, index: %llu",
                      static_cast<unsigned long long>(readCount));
      }
      continue;
    }
    pipeline->dispatch(index, std::move(framePath), std::move(frame));
  }

  pipeline->waitAll();
  std::error_code ec;
  fs::remove(markerPath, ec);
  uint64_t dispatched = pipeline->dispatched();
  ORSA_LOG_INFO(FILTER_NAME, "Extract %llu frames, encode %llu frames",
                static_cast<unsigned long long>(readCount),
                static_cast<unsigned long long>(dispatched));
  ExtractStats outcome;
  pipeline->fillStats(outcome);
  outcome.readCount = readCount;
  outcome.dispatchedCount = dispatched;
  if (outcome.failedCount > 0)
    ORSA_LOG_ERROR(FILTER_NAME, "Failed to write %llu frames",
                   static_cast<unsigned long long>(outcome.failedCount));
  if (stats) *stats = outcome;
  return reader->status() == MediaReader::Status::Completed && pathExists(outputDir) &&
         outcome.failedCount == 0;
}

bool encodeSampleBufferToJpeg(std::unique_ptr<MediaFrame> frame, const std::string& path) {
  TjHandle handle = makeCompressor();
  if (!handle) {
    orsa::platform::consoleWrite(
        fmt::sprintf("TurboJPEG init failed: %s", std::string(tjGetErrorStr())),
        orsa::platform::kConsoleWarning);
    return false;
  }
  if (!frame) {
    ORSA_LOG_ERROR(FILTER_NAME, "JPEG compression failed: %s", "no frame");
    return false;
  }
  JpegBuffer jpeg;
  if (!compressFrame(handle.get(), *frame, jpeg)) return false;
  writeJpeg(path, jpeg);
  return true;
}

bool saveRGBAToFile(std::unique_ptr<MediaFrame> frame, const std::string& path) {
  if (!frame) return false;
  const uint8_t* base = frame->lockBaseAddress();
  if (!base) return false;
  const size_t w = static_cast<size_t>(frame->width());
  const size_t h = static_cast<size_t>(frame->height());
  const size_t stride = frame->bytesPerRow();
  std::vector<uint8_t> out(8 + w * h * 4);
  auto put32 = [&](size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
    out[at + 2] = static_cast<uint8_t>(v >> 16);
    out[at + 3] = static_cast<uint8_t>(v >> 24);
  };
  put32(0, static_cast<uint32_t>(w));
  put32(4, static_cast<uint32_t>(h));
  uint8_t* dst = out.data() + 8;
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* src = base + y * stride;
    for (size_t x = 0; x < w; ++x, src += 4, dst += 4) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
      dst[3] = 255;
    }
  }
  return writeNewFile(path, out.data(), out.size());
}

}  // namespace OrsaMirelo
