#pragma once

#include <cstdint>
#include <vector>

namespace orsa::tool {

struct SampleRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// A procedurally drawn presenter: a torso that breathes and sways, a head on a neck, and a
// background with a sun drifting across. Everything is a function of time, so any moment can
// be drawn again (the interpolation clips blend between two moments).
class SamplePackageScene {
 public:
  // A head rectangle of 0 x 0 takes the scene's own proportions.
  SamplePackageScene(int width, int height, int headWidth = 0, int headHeight = 0);

  int width() const { return width_; }
  int height() const { return height_; }

  // The head region at time t (seconds): constant size, moving with the figure, inside the
  // picture, even coordinates and size.
  SampleRect headRect(double t) const;
  // Size shared by every head rectangle (and by the border mask).
  int headWidth() const { return headW_; }
  int headHeight() const { return headH_; }

  // Draws the scene at time t into packed RGBA rows.
  void paint(double t, uint8_t* rgba) const;

  // The soft-edged head mask, headWidth() x headHeight(), one byte per pixel: 255 inside,
  // falling smoothly to 0 at the rectangle's border.
  std::vector<uint8_t> borderMask() const;

 private:
  struct Pose {
    double bodyX, shoulderY, bodyHalfW;
    double headX, headY, headRx, headRy;
    double mouthOpen;
    double sunX;
  };
  Pose pose(double t) const;

  int width_;
  int height_;
  int headW_;
  int headH_;
};

}  // namespace orsa::tool
