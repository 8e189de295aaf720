#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "orsa/OrsaExport.h"
#include "orsa/OrsaPicture.h"
#include "orsa/OrsaView.h"
#include "orsa/QMXVideoFrameParam.h"

class OrsaPreviewViewCore;

// The view the digital human is drawn into. Create one with create(), hand it to
// IOrsaMirelo::attach (or add it to your own view tree) and read the pictures it presents through
// setPresentationSink or snapshot; the engine feeds it frames. It queues at most
// MAX_RENDER_QUEUE_SIZE frames (the oldest is dropped) and draws them one at a time on a thread of
// its own, paced by each frame's frame rate (one outside 1-120 paces at the last rate that was
// inside, or 25).
//
// A view cannot draw on a machine without a GL ES 3 context, without the library's shader file,
// or without a mask that loads; the engine then reports kOrsaErrorViewCannotDraw once to its
// delegate. A stopped view never draws again: attach a new one.
//
// The drawing thread holds the view weakly and strongly only for one cycle, so a view its
// owners let go of is destroyed within about a second and its thread ends.
class ORSA_EXPORT OrsaPreviewView : public OrsaView {
 public:
  // A view with an empty frame; give it one with setFrame before frames arrive.
  static std::shared_ptr<OrsaPreviewView> create();
  // A view of this frame, with the faster upload path for frames that change every time.
  static std::shared_ptr<OrsaPreviewView> create(OrsaRect frame);

  ~OrsaPreviewView() override;

  // One head picture for a view that a front end (OrsaMireloForAIAgent, OrsaMireloForWebDemo)
  // prepared: its SEI payload as the RTC library delivered it (see OrsaSEIRecord) and the
  // decoded picture, as IOrsaMirelo takes them. The background is looked up in the front end's
  // package on a worker thread and the frame queued. Returns false, keeping nothing, when the
  // payload or the picture is refused. Any thread; the bytes may be reused on return.
  bool drawFrame(std::span<const uint8_t> seiPayload, std::span<const uint8_t* const> data,
                 std::span<const uint32_t> dataLength, const QMXVideoFrameParam& param);

  // Draws one composite now, on the calling thread: `image` (RGBA, packed) as the background and
  // `subImage` (BGRA, packed) through the mask at `rect`, in background pixels. Only the part of
  // `rect` on the background is used; a rectangle with nothing on it (empty, turned over,
  // outside, not a number) is refused and not counted as a draw. Draws nothing before a mask
  // has loaded.
  void updateWithImageBuffer(const uint8_t* image, int32_t width, int32_t height,
                             const uint8_t* subImage, int32_t subWidth, int32_t subHeight,
                             OrsaRect rect);
  // Idempotent; any thread. Frames still queued are not drawn; the drawing thread ends within
  // one cycle.
  void stop();
  // stop(), then waits at most `timeout` for the drawing thread to end; true once it has. Call
  // it before your process ends, so no drawing thread outlives the GL driver. Not from a
  // presentation sink: that runs on the drawing thread itself.
  bool stopAndWait(std::chrono::milliseconds timeout);
  bool stopped() const;

  // The mask image (PNG) the head is blended through. The engine loads the one of its package;
  // call it yourself only when you draw with updateWithImageBuffer. Any thread.
  void loadMaskTexture(const std::string& path);
  // Receives every picture presented from now on, in order, on the drawing thread; pixels are
  // read back from the GPU only while a sink is set. While frames wait to be drawn, a picture
  // reaches the sink as the next one is drawn, so the drawing thread need not wait for the GPU.
  // An empty function removes the sink; the picture the old sink is still owed reaches it before
  // this returns, on the calling thread, and it is never called after that.
  void setPresentationSink(std::function<void(const OrsaPicture&)> sink);
  // Writes the picture presented last as a PNG file; false when nothing was presented yet.
  bool snapshot(const std::string& path);

  // Health counters, readable from any thread.
  // Frames taken off the queue to be drawn.
  uint64_t receivedFrameCount() const;
  // Draws attempted, including those that could not present a picture.
  uint64_t renderFrameCount() const;
  // Pictures actually presented.
  uint64_t presentedFrameCount() const;
  // Frames the full queue pushed out before they were drawn.
  uint64_t droppedFrameCount() const;
  // Numbered frames drawn after a frame that arrived later than them.
  uint64_t outOfOrderFrameCount() const;
  // Frames waiting to be drawn.
  size_t queuedFrameCount() const;

 protected:
  const char* className() const override { return "OrsaPreviewView"; }

 private:
  friend class OrsaPreviewViewCore;
  friend class OrsaHeadPreviewView;
  explicit OrsaPreviewView(OrsaRect frame);

  std::unique_ptr<OrsaPreviewViewCore> core_;
};
