#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "orsa/OrsaExport.h"
#include "orsa/OrsaPreviewView.h"

// A preview view that shows only the animated head: the view is filled with a square crop of
// the composited frame around the head, chosen at the first frame and kept, with corners
// rounded by radiusRatio and a border weighted by borderWeight. Everything else is the
// preview view's.
class ORSA_EXPORT OrsaHeadPreviewView : public OrsaPreviewView {
 public:
  // `init`: radiusRatio 1, borderWeight 0.
  static std::shared_ptr<OrsaHeadPreviewView> create();
  // `initWithFrame:`: both parameters 0.
  static std::shared_ptr<OrsaHeadPreviewView> create(OrsaRect frame);

  OrsaHeadPreviewView(Key key, OrsaRect frame) : OrsaPreviewView(key, frame) {}

  // Clamped to [0, 1]; used from the next frame on.
  void updateRadiusRatio(float value);
  void updateBorderWeight(float value);

  OrsaRect cropRect() const;
  void setCropRect(OrsaRect rect);
  float radiusRatio() const { return radiusRatio_.load(); }
  void setRadiusRatio(float value) { radiusRatio_.store(value); }
  float borderWeight() const { return borderWeight_.load(); }
  void setBorderWeight(float value) { borderWeight_.store(value); }

  // The head square for a background of width x height and a head placed at `rect`.
  static OrsaRect headSquare(double width, double height, OrsaRect rect);

 protected:
  const char* className() const override { return "OrsaHeadPreviewView"; }
  std::string getFragmentShaderFunctionName() const override {
    return "fragmentShaderCombine_AnimatedHead";
  }
  void updateViewportForLayerSize(OrsaRenderBackend& backend, OrsaSize layerSize,
                                  OrsaSize targetSize) override;
  void createBuffersWithWidth(OrsaRenderBackend& backend, int32_t width, int32_t height,
                              int32_t subWidth, int32_t subHeight, OrsaRect rect) override;

 private:
  mutable std::mutex cropLock_;
  OrsaRect cropRect_;
  std::atomic<float> radiusRatio_{0.0f};
  std::atomic<float> borderWeight_{0.0f};
};
