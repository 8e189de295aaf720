#pragma once

#include <GLES3/gl3.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "render/OrsaRenderBackend.h"
#include "render/gl/EglContext.h"

namespace orsa::gl {

// The numbers the draw uses, fixed by the view's design whatever GPU interface realises it.
struct Viewport {
  double originX = 0, originY = 0, width = 0, height = 0, znear = 0, zfar = 0;
  bool operator==(const Viewport&) const = default;
};

// The preview view's GPU side on GL ES 3 through a headless EGL context of its own.
//
// The drawing layer hands out drawables from a ring of three framebuffers; one is on screen
// (presented last) and a presented one stays in use until the GPU has finished it, so when the
// GPU falls behind nextDrawable gives none and the frame is skipped rather than waited for.
// Textures are taken from storage of the same size and format that earlier frames released,
// and filled with glTexSubImage2D, which is the GL way of "a new texture per frame"; storage
// whose last draw the GPU has not finished is left alone, since filling it would wait for that.
//
// With a sink set, each picture is copied into a pixel pack buffer on the GPU's timeline and
// handed to the sink during the next draw, once that one is on its way, or at a flush; the
// host's bytes come from one buffer reused for every picture. Without pack buffers the picture
// is read back at once.
class GlRenderBackend final : public OrsaRenderBackend {
 public:
  // initMetalENV, setupPipeline, setupVertexBuffer and, with `withTextureCache`,
  // setupTextureCache. Null, the reason logged and put in `error`, when there is no GL ES 3
  // context to be had. A backend whose pipeline could not be built says why in failure().
  static std::shared_ptr<GlRenderBackend> create(const std::string& fragmentFunctionName,
                                                 bool withTextureCache,
                                                 std::string* error = nullptr);
  ~GlRenderBackend() override;

  std::shared_ptr<Texture> createRGBATextureFromBuffer(const uint8_t* bytes, int32_t width,
                                                       int32_t height, PixelFormat format) override;
  void updateViewportForLayerSize(OrsaSize layerSize, OrsaSize targetSize) override;
  void createBuffersWithWidth(int32_t width, int32_t height, int32_t subWidth, int32_t subHeight,
                              OrsaRect rect) override;
  void createHeadSquareBufferWithRect(OrsaRect rect, OrsaSize size, float radiusRatio,
                                      float borderWeight) override;
  bool compositeAndDrawWithSubBuffer(const std::shared_ptr<Texture>& background,
                                     const std::shared_ptr<Texture>& head) override;
  std::optional<std::string> failure() const override;
  void layoutLayer(OrsaSize size, double contentsScale) override;
  bool loadMaskTexture(const std::string& path, std::string& error) override;
  void setPresentationSink(std::function<void(const OrsaPicture&)> sink) override;
  void flushPresentation() override;
  void setNextPictureFrame(uint64_t sequence, int64_t receiveTime) override;
  std::unique_ptr<FrameBinding> bindForFrame() override;
  bool snapshot(const std::string& path) override;

  // Alternative upload paths; the format is the GPU interface's number (70, 71, 80, 81).
  std::shared_ptr<Texture> createOptimizedRGBATextureFromBuffer(const uint8_t* bytes, int32_t width,
                                                                int32_t height, uint64_t format);
  std::shared_ptr<Texture> createOptimizedRGBATextureFromBufferV2(const uint8_t* bytes,
                                                                  int32_t width, int32_t height,
                                                                  uint64_t format);
  std::shared_ptr<Texture> createSharedMemoryRGBATextureFromBuffer(const uint8_t* bytes,
                                                                   int32_t width, int32_t height,
                                                                   uint64_t format);
  std::shared_ptr<Texture> createHighPerformanceRGBATextureFromBuffer(const uint8_t* bytes,
                                                                      int32_t width, int32_t height,
                                                                      uint64_t format);
  std::shared_ptr<Texture> getCachedTextureWithWidth(int32_t width, int32_t height,
                                                     uint64_t format);

  // What the next draw will use, for tests and tools.
  bool hasPipeline() const;
  bool hasMaskTexture() const;
  bool hasTextureCache() const;
  Viewport viewport() const;
  OrsaSize renderSize() const;
  std::array<float, 4> largeSizeBuffer() const;
  std::array<float, 4> subSizeBuffer() const;
  std::array<float, 4> subRectBuffer() const;
  std::optional<std::array<float, 6>> headInfoBuffer() const;
  size_t cachedTextureCount() const;
  // Frames that went through a whole render pass and were presented.
  uint64_t presentedFrameCount() const;
  // Whether pictures for the sink go through pixel pack buffers, a frame late; the other way,
  // reading back at once, can be chosen for comparison.
  bool readsBackAsynchronously() const;
  void setReadsBackAsynchronously(bool asynchronously);
  // Blocks until the GPU has finished everything submitted so far.
  void finish();
  const std::string& displayDescription() const { return context_->description(); }

  struct Private;  // GL objects, known to the .cpp only

 private:
  explicit GlRenderBackend(std::unique_ptr<EglContext> context);
  void setupPipeline(const std::string& fragmentFunctionName);
  void setupVertexBuffer();
  void setupTextureCache();

  std::unique_ptr<EglContext> context_;
  std::unique_ptr<Private> gl_;  // touched only inside an EglContext::Scope

  // Plain data, read by getters from any thread.
  mutable std::mutex dataLock_;
  Viewport viewport_;
  OrsaSize renderSize_;
  std::array<float, 4> largeSize_{}, subSize_{}, subRect_{};
  std::optional<std::array<float, 6>> headInfo_;
  OrsaSize layerSize_;
  double contentsScale_ = 1.0;
  uint64_t presented_ = 0;
  // Hosts poll it while frames are drawn; answering must not take the GL context.
  std::atomic<bool> hasMask_{false};
  // Why setupPipeline built no program; set once, during create.
  std::optional<std::string> pipelineError_;
  // Shared so that a draw takes it without copying the function.
  std::shared_ptr<const std::function<void(const OrsaPicture&)>> sink_;
  uint64_t nextSequence_ = 0;
  int64_t nextReceiveTime_ = 0;
};

}  // namespace orsa::gl
