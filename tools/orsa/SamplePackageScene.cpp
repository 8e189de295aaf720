#include "SamplePackageScene.h"

#include <algorithm>
#include <cmath>

namespace orsa::tool {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kBreathPeriod = 3.2;  // seconds
constexpr double kSwayPeriod = 5.5;
constexpr double kSunCrossing = 12.0;  // seconds for the sun to cross the picture

struct Rgb {
  double r, g, b;
};

double clamp01(double v) {
  return std::min(1.0, std::max(0.0, v));
}

void blend(uint8_t* p, const Rgb& c, double a) {
  if (a <= 0) return;
  a = std::min(1.0, a);
  p[0] = static_cast<uint8_t>(std::lround(p[0] + (c.r - p[0]) * a));
  p[1] = static_cast<uint8_t>(std::lround(p[1] + (c.g - p[1]) * a));
  p[2] = static_cast<uint8_t>(std::lround(p[2] + (c.b - p[2]) * a));
}

// Coverage of an ellipse at a pixel centre, with a one-pixel soft edge.
double ellipseCoverage(double px, double py, double cx, double cy, double rx, double ry) {
  double dx = (px - cx) / rx, dy = (py - cy) / ry;
  double d = (std::sqrt(dx * dx + dy * dy) - 1.0) * std::min(rx, ry);
  return clamp01(0.5 - d);
}

int evenFloor(double v) {
  return static_cast<int>(std::floor(v / 2.0)) * 2;
}

}  // namespace

SamplePackageScene::SamplePackageScene(int width, int height, int headWidth, int headHeight)
    : width_(width), height_(height) {
  // The head ellipse is 0.24 W x 0.17 H; its rectangle leaves room for hair and chin.
  headW_ = std::max(2, std::min(width_, headWidth > 0 ? headWidth : evenFloor(width_ * 0.36)));
  headH_ = std::max(2, std::min(height_, headHeight > 0 ? headHeight : evenFloor(height_ * 0.24)));
}

SamplePackageScene::Pose SamplePackageScene::pose(double t) const {
  const double W = width_, H = height_;
  double breath = std::sin(2 * kPi * t / kBreathPeriod);
  double sway = std::sin(2 * kPi * t / kSwayPeriod);
  Pose p{};
  p.bodyX = W / 2 + sway * 0.03 * W;
  p.shoulderY = 0.58 * H - breath * 0.006 * H;
  p.bodyHalfW = 0.30 * W * (1.0 + 0.025 * breath);
  p.headX = W / 2 + sway * 0.04 * W;
  p.headY = 0.44 * H - breath * 0.005 * H;
  p.headRx = 0.12 * W;
  p.headRy = 0.085 * H;
  p.mouthOpen = 0.5 + 0.5 * std::sin(2 * kPi * t * 1.7);
  double span = W * 1.3;
  p.sunX = std::fmod(t / kSunCrossing * span, span) - 0.15 * W;
  return p;
}

SampleRect SamplePackageScene::headRect(double t) const {
  Pose p = pose(t);
  SampleRect r;
  r.width = headW_;
  r.height = headH_;
  r.x = std::clamp(evenFloor(p.headX - headW_ / 2.0), 0, width_ - headW_);
  r.y = std::clamp(evenFloor(p.headY - headH_ * 0.55), 0, height_ - headH_);
  return r;
}

void SamplePackageScene::paint(double t, uint8_t* rgba) const {
  const int W = width_, H = height_;
  const Pose p = pose(t);

  // Background: sky gradient, floor band.
  for (int y = 0; y < H; ++y) {
    double v = static_cast<double>(y) / H;
    Rgb c = v < 0.78 ? Rgb{70 + 90 * v, 110 + 80 * v, 170 + 40 * v} : Rgb{120, 100, 80};
    uint8_t* row = rgba + static_cast<size_t>(y) * W * 4;
    for (int x = 0; x < W; ++x) {
      row[x * 4 + 0] = static_cast<uint8_t>(c.r);
      row[x * 4 + 1] = static_cast<uint8_t>(c.g);
      row[x * 4 + 2] = static_cast<uint8_t>(c.b);
      row[x * 4 + 3] = 255;
    }
  }

  auto fillEllipse = [&](double cx, double cy, double rx, double ry, const Rgb& c) {
    int x0 = std::max(0, static_cast<int>(cx - rx - 2)), x1 = std::min(W, int(cx + rx + 2));
    int y0 = std::max(0, static_cast<int>(cy - ry - 2)), y1 = std::min(H, int(cy + ry + 2));
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        blend(rgba + (static_cast<size_t>(y) * W + x) * 4, c,
              ellipseCoverage(x + 0.5, y + 0.5, cx, cy, rx, ry));
  };

  // A sun drifting across the sky.
  fillEllipse(p.sunX, 0.14 * H, 0.07 * W, 0.07 * W, Rgb{250, 220, 120});

  // Torso: rounded shoulders (the upper half of a flat ellipse) over a straight body.
  {
    double rx = p.bodyHalfW, ry = 0.09 * H;
    double cy = p.shoulderY + ry;
    int x0 = std::max(0, int(p.bodyX - rx - 2)), x1 = std::min(W, int(p.bodyX + rx + 2));
    for (int y = std::max(0, int(p.shoulderY - 2)); y < H; ++y)
      for (int x = x0; x < x1; ++x) {
        double px = x + 0.5, py = std::min(y + 0.5, cy);
        double a = ellipseCoverage(px, py, p.bodyX, cy, rx, ry);
        double shade = 1.0 - 0.35 * std::abs((x - p.bodyX) / rx);
        blend(rgba + (static_cast<size_t>(y) * W + x) * 4, Rgb{60 * shade, 90 * shade, 150 * shade},
              a);
      }
  }
  // Neck.
  {
    double halfW = 0.045 * W;
    int x0 = std::max(0, int(p.headX - halfW)), x1 = std::min(W, int(p.headX + halfW));
    int y0 = std::max(0, int(p.headY)), y1 = std::min(H, int(p.shoulderY + 0.02 * H));
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        blend(rgba + (static_cast<size_t>(y) * W + x) * 4, Rgb{205, 165, 140}, 1.0);
  }
  // Head: hair behind, face, eyes, mouth.
  fillEllipse(p.headX, p.headY - 0.012 * H, p.headRx * 1.08, p.headRy * 1.05, Rgb{70, 50, 40});
  fillEllipse(p.headX, p.headY + 0.008 * H, p.headRx, p.headRy * 0.94, Rgb{228, 188, 162});
  double eyeDx = p.headRx * 0.38, eyeY = p.headY - p.headRy * 0.05;
  fillEllipse(p.headX - eyeDx, eyeY, p.headRx * 0.1, p.headRy * 0.08, Rgb{40, 40, 50});
  fillEllipse(p.headX + eyeDx, eyeY, p.headRx * 0.1, p.headRy * 0.08, Rgb{40, 40, 50});
  fillEllipse(p.headX, p.headY + p.headRy * 0.5, p.headRx * 0.3,
              p.headRy * (0.05 + 0.12 * p.mouthOpen), Rgb{150, 60, 60});
}

std::vector<uint8_t> SamplePackageScene::borderMask() const {
  std::vector<uint8_t> mask(static_cast<size_t>(headW_) * headH_);
  // Opaque in the middle, feathered over the outer fifth on each side, so the received head
  // fades into the background rather than showing the edge of its rectangle.
  const double feather = 0.2;
  for (int y = 0; y < headH_; ++y)
    for (int x = 0; x < headW_; ++x) {
      double u = (x + 0.5) / headW_, v = (y + 0.5) / headH_;
      double edge = std::min(std::min(u, 1.0 - u), std::min(v, 1.0 - v));
      double a = clamp01(edge / feather);
      a = a * a * (3 - 2 * a);  // smoothstep
      mask[static_cast<size_t>(y) * headW_ + x] = static_cast<uint8_t>(std::lround(a * 255));
    }
  return mask;
}

}  // namespace orsa::tool
