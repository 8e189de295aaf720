#include "orsa/OrsaHeadPreviewView.h"

#include <algorithm>
#include <cmath>

#include "render/OrsaRenderBackend.h"

std::shared_ptr<OrsaHeadPreviewView> OrsaHeadPreviewView::create() {
  auto view = std::make_shared<OrsaHeadPreviewView>(Key{}, OrsaRect{});
  view->radiusRatio_.store(1.0f);
  view->borderWeight_.store(0.0f);
  view->finishConstruction(false);
  return view;
}

std::shared_ptr<OrsaHeadPreviewView> OrsaHeadPreviewView::create(OrsaRect frame) {
  auto view = std::make_shared<OrsaHeadPreviewView>(Key{}, frame);
  view->finishConstruction(true);
  return view;
}

void OrsaHeadPreviewView::updateRadiusRatio(float value) {
  radiusRatio_.store(std::clamp(value, 0.0f, 1.0f));
}

void OrsaHeadPreviewView::updateBorderWeight(float value) {
  borderWeight_.store(std::clamp(value, 0.0f, 1.0f));
}

OrsaRect OrsaHeadPreviewView::cropRect() const {
  std::lock_guard<std::mutex> lock(cropLock_);
  return cropRect_;
}

void OrsaHeadPreviewView::setCropRect(OrsaRect rect) {
  std::lock_guard<std::mutex> lock(cropLock_);
  cropRect_ = rect;
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

void OrsaHeadPreviewView::updateViewportForLayerSize(OrsaRenderBackend& backend, OrsaSize layerSize,
                                                     OrsaSize) {
  // The whole view: the shader shows the crop square, not the background's aspect.
  OrsaPreviewView::updateViewportForLayerSize(backend, layerSize, layerSize);
}

void OrsaHeadPreviewView::createBuffersWithWidth(OrsaRenderBackend& backend, int32_t width,
                                                 int32_t height, int32_t subWidth,
                                                 int32_t subHeight, OrsaRect rect) {
  OrsaPreviewView::createBuffersWithWidth(backend, width, height, subWidth, subHeight, rect);
  OrsaRect crop;
  {
    std::lock_guard<std::mutex> lock(cropLock_);
    if (renderFrameCount() == 0) cropRect_ = headSquare(width, height, rect);
    crop = cropRect_;
  }
  backend.createHeadSquareBufferWithRect(
      crop, OrsaSize{static_cast<double>(width), static_cast<double>(height)}, radiusRatio_.load(),
      borderWeight_.load());
}
