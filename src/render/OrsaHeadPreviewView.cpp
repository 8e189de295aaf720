#include "orsa/OrsaHeadPreviewView.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include "render/OrsaPreviewViewCore.h"

namespace {

// The head view's draw: its own fragment function, a viewport over the whole view and the crop
// square as a fourth parameter buffer.
class HeadViewCore final : public OrsaPreviewViewCore {
 public:
  HeadViewCore(OrsaPreviewView& view, float radius)
      : OrsaPreviewViewCore(view), radiusRatio(radius) {}

  static HeadViewCore& of(OrsaHeadPreviewView& view) {
    return static_cast<HeadViewCore&>(OrsaPreviewViewCore::of(view));
  }
  static const HeadViewCore& of(const OrsaHeadPreviewView& view) {
    return static_cast<const HeadViewCore&>(OrsaPreviewViewCore::of(view));
  }

  mutable std::mutex cropLock;
  OrsaRect cropRect;
  std::atomic<float> radiusRatio;
  std::atomic<float> borderWeight{0.0f};

 protected:
  std::string getFragmentShaderFunctionName() const override {
    return "fragmentShaderCombine_AnimatedHead";
  }
  void updateViewportForLayerSize(OrsaRenderBackend& backend, OrsaSize layerSize,
                                  OrsaSize) override {
    // The whole view: the shader shows the crop square, not the background's aspect.
    OrsaPreviewViewCore::updateViewportForLayerSize(backend, layerSize, layerSize);
  }
  void createBuffersWithWidth(OrsaRenderBackend& backend, int32_t width, int32_t height,
                              int32_t subWidth, int32_t subHeight, OrsaRect rect) override {
    OrsaPreviewViewCore::createBuffersWithWidth(backend, width, height, subWidth, subHeight, rect);
    OrsaRect crop;
    {
      std::lock_guard<std::mutex> lock(cropLock);
      if (renderFrameCount() == 0) cropRect = OrsaHeadPreviewView::headSquare(width, height, rect);
      crop = cropRect;
    }
    backend.createHeadSquareBufferWithRect(
        crop, OrsaSize{static_cast<double>(width), static_cast<double>(height)}, radiusRatio.load(),
        borderWeight.load());
  }
};

}  // namespace

std::shared_ptr<OrsaHeadPreviewView> OrsaHeadPreviewView::create() {
  auto view = std::shared_ptr<OrsaHeadPreviewView>(new OrsaHeadPreviewView(OrsaRect{}));
  OrsaPreviewViewCore::install(view, std::make_unique<HeadViewCore>(*view, 1.0f), false);
  return view;
}

std::shared_ptr<OrsaHeadPreviewView> OrsaHeadPreviewView::create(OrsaRect frame) {
  auto view = std::shared_ptr<OrsaHeadPreviewView>(new OrsaHeadPreviewView(frame));
  OrsaPreviewViewCore::install(view, std::make_unique<HeadViewCore>(*view, 0.0f), true);
  return view;
}

void OrsaHeadPreviewView::updateRadiusRatio(float value) {
  HeadViewCore::of(*this).radiusRatio.store(std::clamp(value, 0.0f, 1.0f));
}

void OrsaHeadPreviewView::updateBorderWeight(float value) {
  HeadViewCore::of(*this).borderWeight.store(std::clamp(value, 0.0f, 1.0f));
}

OrsaRect OrsaHeadPreviewView::cropRect() const {
  const auto& core = HeadViewCore::of(*this);
  std::lock_guard<std::mutex> lock(core.cropLock);
  return core.cropRect;
}

void OrsaHeadPreviewView::setCropRect(OrsaRect rect) {
  auto& core = HeadViewCore::of(*this);
  std::lock_guard<std::mutex> lock(core.cropLock);
  core.cropRect = rect;
}

float OrsaHeadPreviewView::radiusRatio() const {
  return HeadViewCore::of(*this).radiusRatio.load();
}

void OrsaHeadPreviewView::setRadiusRatio(float value) {
  HeadViewCore::of(*this).radiusRatio.store(value);
}

float OrsaHeadPreviewView::borderWeight() const {
  return HeadViewCore::of(*this).borderWeight.load();
}

void OrsaHeadPreviewView::setBorderWeight(float value) {
  HeadViewCore::of(*this).borderWeight.store(value);
}

OrsaRect OrsaHeadPreviewView::headSquare(double width, double height, OrsaRect rect) {
  const auto cx = static_cast<int32_t>(rect.x + rect.width * 0.5);
  // The centre sits a fifth of the head's height below its top.
  const auto cy = static_cast<int32_t>(std::fma(rect.height, -0.3, rect.y + rect.height * 0.5));
  const int32_t half =
      std::min({cx, static_cast<int32_t>(width) - cx, cy, static_cast<int32_t>(height) - cy});
  const auto limit = static_cast<int32_t>(2 * std::min(rect.width, rect.height));
  const int32_t side = std::min(2 * half, limit);
  const double halfSide = side / 2.0;
  return OrsaRect{cx - halfSide, cy - halfSide, static_cast<double>(side),
                  static_cast<double>(side)};
}
