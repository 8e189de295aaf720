#pragma once

#include <cstdint>
#include <memory>

#include "orsa/OrsaView.h"

// The GPU work of one draw, as the preview view asks for it. The view decides when and with
// what; a realisation decides how. Every call comes from the drawing thread with the view's
// lock held, in the order: two textures (background, then head), viewport, buffers, draw.
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
  virtual void compositeAndDrawWithSubBuffer(const std::shared_ptr<Texture>& background,
                                             const std::shared_ptr<Texture>& head) = 0;
};
