// orsa render: draws one frame of a background, a head and a mask through a real preview view
// and writes what the view presented as a PNG file, so people can check their packages and
// masks without a host application.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "orsa/OrsaHeadPreviewView.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/gl/GlRenderBackend.h"
#include "render/gl/PngFile.h"
#include "utils/Image.h"
#include "utils/ResourceManager.h"

namespace orsa::tool {
namespace {

constexpr const char* kUsage =
    "render --background BG --head HEAD --mask MASK --rect X,Y,W,H "
    "--layer WxH@SCALE [--head-view] --out OUT.png";

struct Pixels {
  std::vector<uint8_t> rgba;
  int32_t width = 0, height = 0;
};

// A JPEG or PNG file as packed RGBA.
std::optional<Pixels> decodeImage(const std::string& path, std::string& error) {
  auto bytes = readWholeFile(path);
  if (!bytes) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  Pixels p;
  if (bytes->size() > 3 && std::memcmp(bytes->data(), "\xFF\xD8\xFF", 3) == 0) {
    auto image = ResourceManager::decodeJpeg(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()));
    if (!image || !image->bytes()) {
      error = path + " is not a JPEG that can be decoded";
      return std::nullopt;
    }
    p.width = image->width(), p.height = image->height();
    p.rgba.assign(image->bytes(), image->bytes() + image->byteCount());
    return p;
  }
  std::string why;
  if (!orsa::gl::readPngRGBA(path, p.rgba, p.width, p.height, why)) {
    error = path + " is neither a JPEG nor a readable PNG (" + why + ")";
    return std::nullopt;
  }
  return p;
}

bool parseRect(const std::string& text, OrsaRect& rect) {
  char tail = 0;
  return std::sscanf(text.c_str(), "%lf,%lf,%lf,%lf%c", &rect.x, &rect.y, &rect.width, &rect.height,
                     &tail) == 4 &&
         rect.width > 0 && rect.height > 0;
}

bool parseLayer(const std::string& text, OrsaSize& size, double& scale) {
  return orsa::tool::parseLayer(text, size.width, size.height, scale) && size.width > 0 &&
         size.height > 0 && scale > 0 && size.width * scale <= 16384 &&
         size.height * scale <= 16384;
}

constexpr Usage usage{"render", kUsage};
constexpr Failure fail{"render"};

int runRender(const std::vector<std::string>& args) {
  std::string background, head, mask, rectText, layerText, out;
  bool headView = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--head-view") {
      headView = true;
      continue;
    }
    std::string* value = a == "--background" ? &background
                         : a == "--head"     ? &head
                         : a == "--mask"     ? &mask
                         : a == "--rect"     ? &rectText
                         : a == "--layer"    ? &layerText
                         : a == "--out"      ? &out
                                             : nullptr;
    if (!value || i + 1 >= args.size()) return usage();
    *value = args[++i];
  }
  OrsaRect rect;
  OrsaSize layer;
  double scale = 1;
  if (background.empty() || head.empty() || mask.empty() || out.empty() ||
      !parseRect(rectText, rect) || !parseLayer(layerText, layer, scale)) {
    return usage();
  }

  std::string error;
  auto bg = decodeImage(background, error);
  if (!bg) return fail(error);
  auto headPixels = decodeImage(head, error);
  if (!headPixels) return fail(error);
  // The head arrives as BGRA from the video decoder; the view takes it that way.
  for (size_t i = 0; i + 3 < headPixels->rgba.size(); i += 4) {
    std::swap(headPixels->rgba[i], headPixels->rgba[i + 2]);
  }

  std::shared_ptr<OrsaPreviewView> view;
  if (headView) {
    view = OrsaHeadPreviewView::create();
  } else {
    view = OrsaPreviewView::create();
  }
  view->setFrame(OrsaRect{0, 0, layer.width, layer.height});
  view->setContentsScale(scale);
  auto* gl = dynamic_cast<orsa::gl::GlRenderBackend*>(
      OrsaPreviewViewCore::of(*view).renderBackend().get());
  if (!gl) return fail("no GL ES 3 context could be created on this machine (EGL)");
  if (!gl->hasPipeline()) return fail("the shader library could not be built into a pipeline");
  view->loadMaskTexture(mask);
  if (!gl->hasMaskTexture()) return fail(mask + " cannot be loaded as a mask (PNG)");

  bool presented = false;
  std::string writeError;
  view->setPresentationSink([&](const OrsaPicture& p) {
    presented = orsa::gl::writePngRGBA(out, p.rgba, p.width, p.height, p.stride, writeError);
    if (presented) std::printf("%s: %dx%d\n", out.c_str(), p.width, p.height);
  });
  view->updateWithImageBuffer(bg->rgba.data(), bg->width, bg->height, headPixels->rgba.data(),
                              headPixels->width, headPixels->height, rect);
  view->setPresentationSink(nullptr);
  // The consumer thread ends before the process does.
  view->stopAndWait(std::chrono::milliseconds(1500));
  if (!writeError.empty()) return fail("cannot write " + out + ": " + writeError);
  if (!presented) return fail("the view presented nothing");
  return 0;
}

}  // namespace

ORSA_TOOL_COMMAND("render", kUsage, runRender);

}  // namespace orsa::tool
