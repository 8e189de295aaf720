#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "render/OrsaRenderBackend.h"

namespace orsa::tool {

// Shows presented pictures live in a desktop window (SDL2). The window belongs to the thread
// that opened it; pictures arrive on the drawing thread and only the latest one is kept for
// it, so a slow desktop never holds up the view.
class DemoWindow {
 public:
  // A window for pictures of about width x height pixels; nothing, with `why` saying so, when
  // this build or this machine has no display to show one on.
  static std::unique_ptr<DemoWindow> open(int32_t width, int32_t height, std::string& why);
  ~DemoWindow();
  DemoWindow(const DemoWindow&) = delete;
  DemoWindow& operator=(const DemoWindow&) = delete;

  // Any thread: keeps a copy of the picture for the next show().
  void offer(const OrsaPicture& picture);
  // The opening thread: handles the window's events and shows the latest picture. False once
  // the user closed the window.
  bool show();

 private:
  DemoWindow() = default;
  struct Sdl;
  std::unique_ptr<Sdl> sdl_;
  std::mutex lock_;
  std::vector<uint8_t> latest_;
  int32_t width_ = 0, height_ = 0;
  bool fresh_ = false;
  std::vector<uint8_t> showing_;
};

}  // namespace orsa::tool
