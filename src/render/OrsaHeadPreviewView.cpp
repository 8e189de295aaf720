#include "orsa/OrsaHeadPreviewView.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>

#include "render/OrsaPreviewViewCore.h"

namespace {

// Truncated toward zero into the 32-bit range, saturating; NaN gives 0. A plain cast of a
// double outside the range is undefined.
int64_t truncateTo32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (v <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  return static_cast<int64_t>(v);
}

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
  // Set by the first draw whose placement gave a square of at least one pixel.
  bool cropFixed = false;
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
      if (!cropFixed) {
        cropRect = OrsaHeadPreviewView::headSquare(width, height, rect);
        cropFixed = cropRect.width >= 1;
      }
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
  // Everything is kept in 64 bits, which hold any sum or difference of 32-bit values, so no
  // placement a sender or a host can give overflows.
  const int64_t cx = truncateTo32(rect.x + rect.width * 0.5);
  // The centre sits a fifth of the head's height below its top.
  const int64_t cy = truncateTo32(std::fma(rect.height, -0.3, rect.y + rect.height * 0.5));
  const int64_t w = truncateTo32(width), h = truncateTo32(height);
  const int64_t half = std::min({cx, w - cx, cy, h - cy});
  const int64_t limit = truncateTo32(2 * std::min(rect.width, rect.height));
  const int64_t side = std::max<int64_t>(0, std::min(2 * half, limit));
  const double halfSide = static_cast<double>(side) / 2.0;
  return OrsaRect{static_cast<double>(cx) - halfSide, static_cast<double>(cy) - halfSide,
                  static_cast<double>(side), static_cast<double>(side)};
}
