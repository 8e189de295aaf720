#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "orsa/OrsaPicture.h"
#include "orsa/OrsaView.h"

// The GPU work of one view, as the preview view asks for it. The view decides when and with
// what; a realisation decides how. Per frame the calls come from the drawing thread with the
// view's lock held, in the order: the frame's binding, two textures (background, then head),
// viewport, buffers, the picture's frame, draw, and a flush when no frame waits behind it. The
// other calls may come from any thread.
class OrsaRenderBackend {
 public:
  // Pixel formats of the uploaded textures, numbered as the GPU interface numbers them.
  enum class PixelFormat : uint32_t { RGBA8Unorm = 70, BGRA8Unorm = 80 };

  // A texture the realisation created; the view only hands it back to compositeAndDraw.
  class Texture {
   public:
    virtual ~Texture() = default;
  };

  virtual ~OrsaRenderBackend() = default;

  // Copies width x height packed pixels (4 bytes each) into a texture before returning, so the
  // caller may reuse the bytes at once. Null when no texture could be made.
  virtual std::shared_ptr<Texture> createRGBATextureFromBuffer(const uint8_t* bytes, int32_t width,
                                                               int32_t height,
                                                               PixelFormat format) = 0;
  // layerSize in points, targetSize in pixels of the background frame.
  virtual void updateViewportForLayerSize(OrsaSize layerSize, OrsaSize targetSize) = 0;
  virtual void createBuffersWithWidth(int32_t width, int32_t height, int32_t subWidth,
                                      int32_t subHeight, OrsaRect rect) = 0;
  // The head view's fourth parameter buffer; `rect` in background pixels, `size` the background.
  virtual void createHeadSquareBufferWithRect(OrsaRect rect, OrsaSize size, float radiusRatio,
                                              float borderWeight) {}
  // True when a picture was presented; false when nothing could be drawn (no pipeline, no mask
  // yet, no drawable free).
  virtual bool compositeAndDrawWithSubBuffer(const std::shared_ptr<Texture>& background,
                                             const std::shared_ptr<Texture>& head) = 0;
  // Why no draw of this backend can ever present a picture (no pipeline could be built);
  // nothing while it can.
  virtual std::optional<std::string> failure() const { return std::nullopt; }

  // The drawing layer follows the view: its size in points and its pixels per point.
  virtual void layoutLayer(OrsaSize size, double contentsScale) {}
  // False, with the reason in `error`, when the mask did not load; the backend then has none.
  virtual bool loadMaskTexture(const std::string& path, std::string& error) { return true; }
  // Receives every picture presented from now on; an empty function stops the read-back. A
  // realisation may hand a picture over during the next draw, so the GPU is not waited for; the
  // picture presented last under the old sink reaches it before this returns.
  virtual void setPresentationSink(std::function<void(const OrsaPicture&)> sink) {}
  // Hands the picture presented last to the sink now if it has not had it yet, waiting for the
  // GPU as long as that takes.
  virtual void flushPresentation() {}
  // The frame the next draw shows, as its intake numbered and stamped it; its picture carries
  // both to the sink however late it is read back.
  virtual void setNextPictureFrame(uint64_t sequence, int64_t receiveTime) {}

  // Keeps the GPU bound to the calling thread while it lives, so the calls of one frame bind it
  // once rather than once each. Null where nothing needs binding.
  class FrameBinding {
   public:
    virtual ~FrameBinding() = default;
  };
  virtual std::unique_ptr<FrameBinding> bindForFrame() { return nullptr; }
  // Writes the picture presented last as a PNG file; false when there is none or on failure.
  virtual bool snapshot(const std::string& path) { return false; }
};
