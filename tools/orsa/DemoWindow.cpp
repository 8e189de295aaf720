#include "DemoWindow.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef ORSA_HAVE_SDL2
#include <SDL.h>
#endif

namespace orsa::tool {

#ifdef ORSA_HAVE_SDL2

struct DemoWindow::Sdl {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  int32_t textureWidth = 0, textureHeight = 0;
};

std::unique_ptr<DemoWindow> DemoWindow::open(int32_t width, int32_t height, std::string& why) {
  // Without a desktop SDL would fall back to taking over the console's screen.
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
      !std::getenv("SDL_VIDEODRIVER")) {
    why = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return nullptr;
  }
  // Ctrl-C keeps ending the tool as it always does.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    why = std::string("the display cannot be opened: ") + SDL_GetError();
    return nullptr;
  }
  std::unique_ptr<DemoWindow> w(new DemoWindow());
  w->sdl_ = std::make_unique<Sdl>();
  // Large layers are shown smaller, at their own proportions.
  const double fit = std::min(1.0, 900.0 / std::max(1, height));
  w->sdl_->window = SDL_CreateWindow("orsa demo", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                     std::max(1, static_cast<int>(width * fit)),
                                     std::max(1, static_cast<int>(height * fit)),
                                     SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
  if (w->sdl_->window) w->sdl_->renderer = SDL_CreateRenderer(w->sdl_->window, -1, 0);
  if (!w->sdl_->renderer) {
    why = std::string("no window can be made: ") + SDL_GetError();
    return nullptr;  // the destructor closes what was opened
  }
  SDL_RenderSetLogicalSize(w->sdl_->renderer, width, height);
  return w;
}

DemoWindow::~DemoWindow() {
  if (!sdl_) return;
  if (sdl_->texture) SDL_DestroyTexture(sdl_->texture);
  if (sdl_->renderer) SDL_DestroyRenderer(sdl_->renderer);
  if (sdl_->window) SDL_DestroyWindow(sdl_->window);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

bool DemoWindow::show() {
  bool open = true;
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    if (event.type == SDL_QUIT ||
        (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE))
      open = false;
  }
  int32_t w = 0, h = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!fresh_) return open;
    showing_.swap(latest_);
    w = width_, h = height_;
    fresh_ = false;
  }
  Sdl& s = *sdl_;
  if (!s.texture || s.textureWidth != w || s.textureHeight != h) {
    if (s.texture) SDL_DestroyTexture(s.texture);
    s.texture =
        SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_RGBA32, SDL_TEXTUREACCESS_STREAMING, w, h);
    s.textureWidth = w, s.textureHeight = h;
    SDL_RenderSetLogicalSize(s.renderer, w, h);
  }
  if (!s.texture) return open;
  SDL_UpdateTexture(s.texture, nullptr, showing_.data(), w * 4);
  SDL_RenderClear(s.renderer);
  SDL_RenderCopy(s.renderer, s.texture, nullptr, nullptr);
  SDL_RenderPresent(s.renderer);
  return open;
}

#else

struct DemoWindow::Sdl {};

std::unique_ptr<DemoWindow> DemoWindow::open(int32_t, int32_t, std::string& why) {
  why = "this build of orsa has no window support (SDL2 was not found when it was built)";
  return nullptr;
}

DemoWindow::~DemoWindow() = default;

bool DemoWindow::show() {
  return true;
}

#endif

void DemoWindow::offer(const OrsaPicture& p) {
  if (!p.rgba || p.width <= 0 || p.height <= 0) return;
  std::lock_guard<std::mutex> lock(lock_);
  const size_t row = static_cast<size_t>(p.width) * 4;
  latest_.resize(row * static_cast<size_t>(p.height));
  for (int32_t y = 0; y < p.height; ++y)
    std::memcpy(latest_.data() + row * static_cast<size_t>(y),
                p.rgba + static_cast<size_t>(p.stride) * static_cast<size_t>(y), row);
  width_ = p.width, height_ = p.height;
  fresh_ = true;
}

}  // namespace orsa::tool
