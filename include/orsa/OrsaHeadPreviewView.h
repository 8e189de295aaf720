#pragma once

#include <memory>

#include "orsa/OrsaExport.h"
#include "orsa/OrsaPreviewView.h"

// A preview view that shows only the animated head: the view is filled with a square crop of
// the composited frame around the head, chosen at the first frame and kept, with corners
// rounded by radiusRatio and a border weighted by borderWeight. Everything else is the
// preview view's.
class ORSA_EXPORT OrsaHeadPreviewView final : public OrsaPreviewView {
 public:
  // radiusRatio 1, borderWeight 0.
  static std::shared_ptr<OrsaHeadPreviewView> create();
  // Both parameters 0.
  static std::shared_ptr<OrsaHeadPreviewView> create(OrsaRect frame);

  // Clamped to [0, 1]; used from the next frame on. Any thread.
  void updateRadiusRatio(float value);
  void updateBorderWeight(float value);

  // The crop square in background pixels; all zero until the first frame chose it.
  OrsaRect cropRect() const;
  void setCropRect(OrsaRect rect);
  float radiusRatio() const;
  // Unclamped.
  void setRadiusRatio(float value);
  float borderWeight() const;
  void setBorderWeight(float value);

  // The head square for a background of width x height and a head placed at `rect`.
  static OrsaRect headSquare(double width, double height, OrsaRect rect);

 protected:
  const char* className() const override { return "OrsaHeadPreviewView"; }

 private:
  explicit OrsaHeadPreviewView(OrsaRect frame) : OrsaPreviewView(frame) {}
};
