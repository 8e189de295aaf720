#include "render/gl/GlRenderBackend.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "logging/QMXLogUtil.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/HostInfo.h"
#include "render/gl/PngFile.h"
#include "render/gl/ShaderLibrary.h"

namespace orsa::gl {

namespace {

constexpr const char* M = "OrsaPreviewView";
constexpr const char* kShaderFile = "OrsaDigitalHumanShader.glsl";
constexpr int kDrawables = 3;
constexpr size_t kTextureCacheLimit = 11;
constexpr size_t kFreeTexturesPerSize = 4;
// How long a flush waits for the GPU to finish a picture before mapping it anyway.
constexpr GLuint64 kReadbackWaitNs = 5'000'000'000;
constexpr uint32_t kFourCCRGBA = 0x52474241;  // 'RGBA'
constexpr uint32_t kFourCCBGRA = 0x42475241;  // 'BGRA'

const float kVertices[16] = {-1, 1, 0, 1, 1, 1, 0, 1, -1, -1, 0, 1, 1, -1, 0, 1};
const char* const kBlockNames[4] = {"LargeSize", "SubSize", "SubRect", "HeadInfo"};

// GL storage for a pixel format number of the GPU interface; BGRA is RGBA storage read through
// a red-blue swizzle, which GL ES 3 offers everywhere (BGRA storage is an extension).
struct GlFormat {
  GLenum internalFormat;
  bool swapRedBlue;
};
std::optional<GlFormat> glFormatOf(uint64_t format) {
  switch (format) {
    case 70:
      return GlFormat{GL_RGBA8, false};
    case 71:
      return GlFormat{GL_SRGB8_ALPHA8, false};
    case 80:
      return GlFormat{GL_RGBA8, true};
    case 81:
      return GlFormat{GL_SRGB8_ALPHA8, true};
    default:
      return std::nullopt;
  }
}

// The shader library, wherever the host's installation keeps it; nothing, said on the
// console, when no folder has it.
std::optional<std::string> shaderPath() {
  if (auto path = orsa::platform::HostInfo::findResource(kShaderFile)) return path;
  const auto dirs = orsa::platform::HostInfo::resourceDirectories();
  std::string searched;
  for (const auto& dir : dirs) searched += (searched.empty() ? "" : ", ") + dir;
  orsa::platform::consoleWrite(
      fmt::sprintf("资源文件不存在: %s (searched: %s)", kShaderFile, searched),
      orsa::platform::kConsoleWarning);
  return std::nullopt;
}

}  // namespace

// Texture names that frames released, kept by size and format for the next frames. Textures may
// be dropped on any thread, where no GL call may be made, so a drop only files the name here;
// the backend reuses or deletes it inside its context.
class TexturePool {
 public:
  using Key = std::tuple<int32_t, int32_t, uint64_t>;
  // `lastDraw`: the number of the last draw that sampled the texture, 0 when none did.
  void release(const Key& key, GLuint name, bool reusable, uint64_t lastDraw) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& names = free_[key];
    if (reusable && names.size() < kFreeTexturesPerSize) {
      names.push_back({name, lastDraw});
    } else {
      retired_.push_back(name);
    }
  }
  // The longest-released name whose last draw the GPU has finished (numbered `finishedDraw` or
  // lower); 0 when there is none. Filling storage a draw still reads would wait for that draw.
  GLuint take(const Key& key, uint64_t finishedDraw) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& names = free_[key];
    for (auto it = names.begin(); it != names.end(); ++it) {
      if (it->lastDraw > finishedDraw) continue;
      const GLuint name = it->name;
      names.erase(it);
      return name;
    }
    return 0;
  }
  // Inside the context only.
  void deleteRetired() {
    std::vector<GLuint> names;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      names.swap(retired_);
    }
    if (!names.empty()) glDeleteTextures(static_cast<GLsizei>(names.size()), names.data());
  }

 private:
  struct Released {
    GLuint name;
    uint64_t lastDraw;
  };
  std::mutex mutex_;
  std::map<Key, std::vector<Released>> free_;  // oldest first
  std::vector<GLuint> retired_;
};

namespace {

class GlTexture : public OrsaRenderBackend::Texture {
 public:
  GlTexture(std::weak_ptr<TexturePool> pool, TexturePool::Key key, GLuint name, bool reusable)
      : pool_(std::move(pool)), key_(key), name_(name), reusable_(reusable) {}
  ~GlTexture() override {
    // With the pool gone the context is gone too, and the name with it.
    if (auto pool = pool_.lock()) pool->release(key_, name_, reusable_, lastDraw_);
  }
  GLuint name() const { return name_; }
  void sampledBy(uint64_t draw) { lastDraw_ = draw; }
  int32_t width() const { return std::get<0>(key_); }
  int32_t height() const { return std::get<1>(key_); }
  uint64_t format() const { return std::get<2>(key_); }

 private:
  std::weak_ptr<TexturePool> pool_;
  TexturePool::Key key_;
  GLuint name_;
  bool reusable_;
  uint64_t lastDraw_ = 0;
};

GlTexture* glTextureOf(const std::shared_ptr<OrsaRenderBackend::Texture>& texture) {
  return dynamic_cast<GlTexture*>(texture.get());
}

GLuint nameOf(const std::shared_ptr<OrsaRenderBackend::Texture>& texture) {
  auto* t = glTextureOf(texture);
  return t ? t->name() : 0;
}

struct Drawable {
  GLuint framebuffer = 0;
  GLuint texture = 0;
  int32_t width = 0;
  int32_t height = 0;
  GLsync fence = nullptr;  // set while the GPU may still be drawing into it
  uint64_t draw = 0;       // the number of the draw that went into it last
};

// The picture presented last, on its way to the sink: in its drawable, then, once its copy is
// queued, in a pixel pack buffer.
struct Readback {
  int drawable = -1;    // which drawable holds a picture the sink has not had; -1 when none
  bool queued = false;  // its copy into `buffer` is on the GPU's timeline
  GLuint buffer = 0;
  GLsizeiptr size = 0;
  GLsync fence = nullptr;  // signalled once that copy is done
  int32_t width = 0;
  int32_t height = 0;
  uint64_t sequence = 0;
  int64_t receiveTime = 0;
};

class GlFrameBinding : public OrsaRenderBackend::FrameBinding {
 public:
  explicit GlFrameBinding(EglContext& context) : scope_(context) {}

 private:
  EglContext::Scope scope_;
};

}  // namespace

struct GlRenderBackend::Private {
  using Sink = std::function<void(const OrsaPicture&)>;
  GLint maxTextureSize = 0;
  GLuint program = 0;
  GLuint vertexArray = 0;
  GLuint vertexBuffer = 0;
  GLuint uniformBuffers[4] = {};
  GLint blockSizes[4] = {};  // what the program's blocks need, at least the bytes we fill
  GLuint sampler = 0;
  std::shared_ptr<Texture> maskTexture;
  std::shared_ptr<TexturePool> pool = std::make_shared<TexturePool>();
  Drawable drawables[kDrawables];
  int front = -1;  // the drawable presented last, which the host sees
  uint64_t submittedDraws = 0;
  uint64_t finishedDraws = 0;  // every draw up to this number is known to be finished
  Readback readback;
  bool packBuffers = true;       // false once pack buffers failed: read back at once instead
  int deliveries = 0;            // sink calls in progress on the drawing thread
  std::vector<uint8_t> picture;  // the bytes the sink reads, top row first
  std::vector<uint8_t> rows;     // the synchronous read-back's rows, as GL gives them
  // The texture cache: one pixel unpack buffer the upload paths fill and textures copy from.
  GLuint pixelBuffer = 0;
  bool textureCache = false;
  std::map<std::string, std::shared_ptr<Texture>> textureCacheDict;

  // A texture of the format's storage, with contents undefined; null when GL refuses it.
  std::shared_ptr<Texture> newTexture(int32_t width, int32_t height, uint64_t format,
                                      bool reusable) {
    auto gl = glFormatOf(format);
    if (!gl || width < 1 || height < 1 || width > maxTextureSize || height > maxTextureSize) {
      return nullptr;
    }
    pool->deleteRetired();
    const TexturePool::Key key{width, height, format};
    collectFinishedDraws();
    GLuint name = reusable ? pool->take(key, finishedDraws) : 0;
    if (name == 0) {
      glGenTextures(1, &name);
      glBindTexture(GL_TEXTURE_2D, name);
      glTexStorage2D(GL_TEXTURE_2D, 1, gl->internalFormat, width, height);
      if (gl->swapRedBlue) {
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_R, GL_BLUE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_B, GL_RED);
      }
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
      if (glGetError() != GL_NO_ERROR) {
        glDeleteTextures(1, &name);
        return nullptr;
      }
    }
    return std::make_shared<GlTexture>(pool, key, name, reusable);
  }

  // Fills a texture from client memory, or from the bound pixel unpack buffer when `bytes`
  // is an offset into it. `rowPixels` 0 means packed rows.
  static bool fill(const std::shared_ptr<Texture>& texture, const void* bytes, int32_t rowPixels) {
    auto* t = static_cast<GlTexture*>(texture.get());
    glBindTexture(GL_TEXTURE_2D, t->name());
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, rowPixels);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, t->width(), t->height(), GL_RGBA, GL_UNSIGNED_BYTE,
                    bytes);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    return glGetError() == GL_NO_ERROR;
  }

  std::shared_ptr<Texture> upload(const uint8_t* bytes, int32_t width, int32_t height,
                                  uint64_t format) {
    if (!bytes) return nullptr;
    auto texture = newTexture(width, height, format, true);
    if (!texture || !fill(texture, bytes, 0)) return nullptr;
    return texture;
  }

  // Learns, without waiting, which draws the GPU has finished.
  void collectFinishedDraws() {
    for (Drawable& d : drawables) {
      if (!d.fence || glClientWaitSync(d.fence, 0, 0) == GL_TIMEOUT_EXPIRED) continue;
      glDeleteSync(d.fence);
      d.fence = nullptr;
      finishedDraws = std::max(finishedDraws, d.draw);
    }
  }

  // -1 when every drawable is on screen or still being drawn.
  int nextDrawable(int32_t width, int32_t height) {
    if (width < 1 || height < 1 || width > maxTextureSize || height > maxTextureSize) return -1;
    collectFinishedDraws();
    for (int i = 0; i < kDrawables; ++i) {
      Drawable& d = drawables[i];
      if (i == front || d.fence) continue;
      if (d.width != width || d.height != height) {
        releaseDrawable(d);
        glGenTextures(1, &d.texture);
        glBindTexture(GL_TEXTURE_2D, d.texture);
        glTexStorage2D(GL_TEXTURE_2D, 1, GL_RGBA8, width, height);
        glGenFramebuffers(1, &d.framebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, d.framebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, d.texture, 0);
        if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
          releaseDrawable(d);
          return -1;
        }
        d.width = width;
        d.height = height;
      }
      return i;
    }
    return -1;
  }

  static void releaseDrawable(Drawable& d) {
    if (d.fence) glDeleteSync(d.fence);
    if (d.framebuffer) glDeleteFramebuffers(1, &d.framebuffer);
    if (d.texture) glDeleteTextures(1, &d.texture);
    d = Drawable{};
  }

  // GL's rows run from the bottom up; `out` gets them top row first.
  static void flipRows(const uint8_t* bottomUp, int32_t width, int32_t height,
                       std::vector<uint8_t>& out) {
    const size_t stride = static_cast<size_t>(width) * 4;
    out.resize(stride * static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y) {
      std::memcpy(out.data() + static_cast<size_t>(y) * stride,
                  bottomUp + static_cast<size_t>(height - 1 - y) * stride, stride);
    }
  }

  // The drawable's pixels into `out`, top row first, waiting for the GPU.
  static void readBack(const Drawable& d, std::vector<uint8_t>& scratch,
                       std::vector<uint8_t>& out) {
    scratch.resize(static_cast<size_t>(d.width) * 4 * static_cast<size_t>(d.height));
    glBindFramebuffer(GL_READ_FRAMEBUFFER, d.framebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, d.width, d.height, GL_RGBA, GL_UNSIGNED_BYTE, scratch.data());
    flipRows(scratch.data(), d.width, d.height, out);
  }

  // Queues the copy of the picture waiting for the sink into the pack buffer, ahead of the next
  // draw: the copy waits for that picture's draw alone, and mapping it later waits for nothing.
  void queueReadback() {
    Readback& r = readback;
    if (r.drawable < 0 || r.queued || !packBuffers) return;
    const Drawable& d = drawables[r.drawable];
    while (glGetError() != GL_NO_ERROR) {
    }
    if (!r.buffer) glGenBuffers(1, &r.buffer);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, r.buffer);
    const GLsizeiptr size = static_cast<GLsizeiptr>(d.width) * d.height * 4;
    if (r.size != size) {
      glBufferData(GL_PIXEL_PACK_BUFFER, size, nullptr, GL_STREAM_READ);
      r.size = size;
    }
    glBindFramebuffer(GL_READ_FRAMEBUFFER, d.framebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, d.width, d.height, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    if (glGetError() != GL_NO_ERROR) {
      ORSA_LOG_ERROR(M, "Pixel pack buffers do not work here; pictures are read back at once");
      r.size = 0;
      packBuffers = false;
      return;
    }
    r.fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    r.width = d.width;
    r.height = d.height;
    r.queued = true;
  }

  // Maps the pack buffer once its copy is done and copies the picture into `out`, top row
  // first; false when the buffer cannot be read.
  bool finishReadback(Readback& r, std::vector<uint8_t>* out) {
    if (r.fence) {
      if (out) glClientWaitSync(r.fence, GL_SYNC_FLUSH_COMMANDS_BIT, kReadbackWaitNs);
      glDeleteSync(r.fence);
      r.fence = nullptr;
    }
    if (!out) return true;
    glBindBuffer(GL_PIXEL_PACK_BUFFER, r.buffer);
    const auto* mapped = static_cast<const uint8_t*>(
        glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0, r.size, GL_MAP_READ_BIT));
    bool ok = mapped != nullptr;
    if (mapped) {
      flipRows(mapped, r.width, r.height, *out);
      ok = glUnmapBuffer(GL_PIXEL_PACK_BUFFER) == GL_TRUE;
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    return ok;
  }

  // Hands the picture waiting for the sink to `sink`; with no sink it is dropped.
  void deliver(const Sink* sink) {
    Readback& r = readback;
    if (r.drawable < 0) return;
    if (sink) queueReadback();
    const int drawable = std::exchange(r.drawable, -1);
    const bool queued = std::exchange(r.queued, false);
    // A sink that draws again would overwrite the bytes it is still reading.
    std::vector<uint8_t> nested;
    std::vector<uint8_t>& out = deliveries == 0 ? picture : nested;
    int32_t width = r.width, height = r.height;
    if (queued) {
      if (!finishReadback(r, sink ? &out : nullptr)) {
        ORSA_LOG_ERROR(M, "Failed to read a picture back through a pixel pack buffer: 0x%x",
                       static_cast<unsigned>(glGetError()));
        packBuffers = false;
        return;
      }
    } else if (sink) {
      const Drawable& d = drawables[drawable];
      readBack(d, rows, out);
      width = d.width;
      height = d.height;
    }
    if (sink) call(*sink, out, width, height, r.sequence, r.receiveTime);
  }

  void call(const Sink& sink, const std::vector<uint8_t>& bytes, int32_t width, int32_t height,
            uint64_t sequence, int64_t receiveTime) {
    OrsaPicture p{bytes.data(), width, height, width * 4, orsa::platform::currentMillis()};
    p.sequence = sequence;
    p.receiveTime = receiveTime;
    ++deliveries;
    sink(p);
    --deliveries;
  }
};

std::shared_ptr<GlRenderBackend> GlRenderBackend::create(const std::string& fragmentFunctionName,
                                                         bool withTextureCache,
                                                         std::string* error) {
  std::string why;
  auto context = EglContext::create(why);
  if (!context) {
    ORSA_LOG_ERROR(M, "Failed to create GL context: %s", why.c_str());
    if (error) *error = "no GL ES 3 context: " + why;
    return nullptr;
  }
  auto backend = std::shared_ptr<GlRenderBackend>(new GlRenderBackend(std::move(context)));
  EglContext::Scope scope(*backend->context_);
  if (!scope.ok()) {
    ORSA_LOG_ERROR(M, "Failed to create GL context: cannot make it current");
    if (error) *error = "no GL ES 3 context: it cannot be made current";
    return nullptr;
  }
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &backend->gl_->maxTextureSize);
  backend->setupPipeline(fragmentFunctionName);
  backend->setupVertexBuffer();
  if (withTextureCache) backend->setupTextureCache();
  return backend;
}

GlRenderBackend::GlRenderBackend(std::unique_ptr<EglContext> context)
    : context_(std::move(context)), gl_(std::make_unique<Private>()) {}

GlRenderBackend::~GlRenderBackend() {
  // Textures still held elsewhere find the pool gone and leave their names to the context,
  // which takes every object with it.
  EglContext::Scope scope(*context_);
  gl_.reset();
}

void GlRenderBackend::setupPipeline(const std::string& fragmentFunctionName) {
  const auto path = shaderPath();
  ORSA_LOG_INFO(M, "setup Pipeline, shader path: %s", path.value_or("(null)").c_str());

  auto fail = [this](const std::string& why) {
    ORSA_LOG_INFO(M, "Failed to create pipeline state: %s", why.c_str());
    pipelineError_ = "no render pipeline: " + why;
  };
  if (!path) return fail(std::string("no shader library ") + kShaderFile);
  std::ifstream in(*path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) return fail("cannot read the shader library " + *path);
  std::string error;
  auto library = ShaderLibrary::parse(text.str(), error);
  if (!library) return fail(error);
  const auto* vertex = library->function("vertexShaderCombine");
  const auto* fragment = library->function(fragmentFunctionName);
  if (!vertex || vertex->stage != ShaderLibrary::Stage::Vertex) {
    return fail("no vertex function vertexShaderCombine");
  }
  if (!fragment || fragment->stage != ShaderLibrary::Stage::Fragment) {
    return fail("no fragment function " + fragmentFunctionName);
  }

  auto compile = [&](GLenum type, const std::string& source) -> GLuint {
    GLuint shader = glCreateShader(type);
    const char* s = source.c_str();
    glShaderSource(shader, 1, &s, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
      char log[1024] = {};
      glGetShaderInfoLog(shader, sizeof log, nullptr, log);
      error = log;
      glDeleteShader(shader);
      return 0;
    }
    return shader;
  };
  GLuint vs = compile(GL_VERTEX_SHADER, vertex->source);
  GLuint fs = vs ? compile(GL_FRAGMENT_SHADER, fragment->source) : 0;
  if (!vs || !fs) {
    if (vs) glDeleteShader(vs);
    return fail(error);
  }
  GLuint program = glCreateProgram();
  glAttachShader(program, vs);
  glAttachShader(program, fs);
  glBindAttribLocation(program, 0, "position");
  glLinkProgram(program);
  glDeleteShader(vs);
  glDeleteShader(fs);
  GLint linked = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &linked);
  if (!linked) {
    char log[1024] = {};
    glGetProgramInfoLog(program, sizeof log, nullptr, log);
    glDeleteProgram(program);
    return fail(log);
  }
  // The binding table: textures 0-2 on units 0-2, parameter buffers on bindings 0-3.
  glUseProgram(program);
  for (int unit = 0; unit < 3; ++unit) {
    glUniform1i(glGetUniformLocation(program, fmt::format("texture{}", unit).c_str()), unit);
  }
  glGenBuffers(4, gl_->uniformBuffers);
  for (GLuint binding = 0; binding < 4; ++binding) {
    GLuint index = glGetUniformBlockIndex(program, kBlockNames[binding]);
    if (index == GL_INVALID_INDEX) continue;
    glUniformBlockBinding(program, index, binding);
    glGetActiveUniformBlockiv(program, index, GL_UNIFORM_BLOCK_DATA_SIZE,
                              &gl_->blockSizes[binding]);
  }
  gl_->program = program;
}

void GlRenderBackend::setupVertexBuffer() {
  glGenVertexArrays(1, &gl_->vertexArray);
  glBindVertexArray(gl_->vertexArray);
  glGenBuffers(1, &gl_->vertexBuffer);
  glBindBuffer(GL_ARRAY_BUFFER, gl_->vertexBuffer);
  glBufferData(GL_ARRAY_BUFFER, sizeof kVertices, kVertices, GL_STATIC_DRAW);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, 4 * sizeof(float), nullptr);
  glBindVertexArray(0);
}

void GlRenderBackend::setupTextureCache() {
  glGenBuffers(1, &gl_->pixelBuffer);
  const GLenum status = glGetError();
  if (gl_->pixelBuffer == 0 || status != GL_NO_ERROR) {
    ORSA_LOG_ERROR(M, "Failed to create CVMetalTextureCache: %d", static_cast<int>(status));
    return;
  }
  gl_->textureCache = true;
}

std::shared_ptr<OrsaRenderBackend::Texture> GlRenderBackend::createRGBATextureFromBuffer(
    const uint8_t* bytes, int32_t width, int32_t height, PixelFormat format) {
  EglContext::Scope scope(*context_);
  if (!scope.ok()) return nullptr;
  return gl_->upload(bytes, width, height, static_cast<uint64_t>(format));
}

void GlRenderBackend::updateViewportForLayerSize(OrsaSize layer, OrsaSize target) {
  std::lock_guard<std::mutex> lock(dataLock_);
  const double scale = layer.height / layer.width > target.height / target.width
                           ? layer.height / target.height
                           : layer.width / target.width;
  renderSize_ = {target.width * scale, target.height * scale};
  const double originX = (layer.width - renderSize_.width) * 0.5;
  const double originY = (layer.height - renderSize_.height) * 0.5;
  const double s = contentsScale_;
  viewport_ = {originX * s, originY * s, renderSize_.width * s, renderSize_.height * s, -1.0, 1.0};
}

void GlRenderBackend::createBuffersWithWidth(int32_t width, int32_t height, int32_t subWidth,
                                             int32_t subHeight, OrsaRect rect) {
  const double w = width, h = height;
  std::lock_guard<std::mutex> lock(dataLock_);
  largeSize_ = {static_cast<float>(width), static_cast<float>(height), 0.0f, 0.0f};
  subSize_ = {static_cast<float>(subWidth), static_cast<float>(subHeight), 0.0f, 0.0f};
  subRect_ = {static_cast<float>(rect.x / w), static_cast<float>(rect.y / h),
              static_cast<float>(rect.width / w), static_cast<float>(rect.height / h)};
}

void GlRenderBackend::createHeadSquareBufferWithRect(OrsaRect rect, OrsaSize size,
                                                     float radiusRatio, float borderWeight) {
  std::lock_guard<std::mutex> lock(dataLock_);
  headInfo_ = std::array<float, 6>{static_cast<float>(rect.y / size.height),
                                   static_cast<float>(rect.x / size.width),
                                   static_cast<float>(rect.width / size.width),
                                   static_cast<float>(rect.height / size.height),
                                   radiusRatio,
                                   borderWeight};
}

bool GlRenderBackend::compositeAndDrawWithSubBuffer(const std::shared_ptr<Texture>& background,
                                                    const std::shared_ptr<Texture>& head) {
  EglContext::Scope scope(*context_);
  if (!scope.ok() || !gl_->program) return false;

  Viewport viewport;
  int32_t drawableWidth, drawableHeight;
  std::array<std::array<float, 8>, 4> blocks{};  // the parameter buffers, zero-padded
  bool hasHeadInfo;
  {
    std::lock_guard<std::mutex> lock(dataLock_);
    viewport = viewport_;
    drawableWidth = static_cast<int32_t>(std::lround(layerSize_.width * contentsScale_));
    drawableHeight = static_cast<int32_t>(std::lround(layerSize_.height * contentsScale_));
    std::copy(largeSize_.begin(), largeSize_.end(), blocks[0].begin());
    std::copy(subSize_.begin(), subSize_.end(), blocks[1].begin());
    std::copy(subRect_.begin(), subRect_.end(), blocks[2].begin());
    hasHeadInfo = headInfo_.has_value();
    if (hasHeadInfo) std::copy(headInfo_->begin(), headInfo_->end(), blocks[3].begin());
  }
  const int index = gl_->nextDrawable(drawableWidth, drawableHeight);
  if (index < 0 || !gl_->maskTexture) return false;
  Drawable& drawable = gl_->drawables[index];
  std::shared_ptr<const Private::Sink> sink;
  uint64_t sequence;
  int64_t receiveTime;
  {
    std::lock_guard<std::mutex> lock(dataLock_);
    sink = sink_;
    sequence = std::exchange(nextSequence_, 0);
    receiveTime = std::exchange(nextReceiveTime_, 0);
  }
  // The last picture's copy goes ahead of this draw, which it need not wait for.
  if (sink) gl_->queueReadback();

  glBindFramebuffer(GL_FRAMEBUFFER, drawable.framebuffer);
  // The viewport's origin is the drawable's top-left; GL counts rows from the bottom.
  glViewport(static_cast<GLint>(std::lround(viewport.originX)),
             static_cast<GLint>(std::lround(drawable.height - viewport.originY - viewport.height)),
             static_cast<GLsizei>(std::lround(viewport.width)),
             static_cast<GLsizei>(std::lround(viewport.height)));
  glClearColor(0, 0, 0, 0);
  glClear(GL_COLOR_BUFFER_BIT);

  glUseProgram(gl_->program);
  glBindVertexArray(gl_->vertexArray);
  const GLuint textures[3] = {nameOf(background), nameOf(head), nameOf(gl_->maskTexture)};
  for (GLuint unit = 0; unit < 3; ++unit) {
    glActiveTexture(GL_TEXTURE0 + unit);
    glBindTexture(GL_TEXTURE_2D, textures[unit]);
    glBindSampler(unit, gl_->sampler);
  }
  glActiveTexture(GL_TEXTURE0);
  // setFragmentBuffers: 0-2 always, 3 once the head view made its buffer.
  for (GLuint binding = 0; binding < (hasHeadInfo ? 4u : 3u); ++binding) {
    const auto size = std::max<GLsizeiptr>(gl_->blockSizes[binding], binding == 3 ? 24 : 16);
    glBindBuffer(GL_UNIFORM_BUFFER, gl_->uniformBuffers[binding]);
    glBufferData(GL_UNIFORM_BUFFER, std::min<GLsizeiptr>(size, sizeof blocks[binding]),
                 blocks[binding].data(), GL_STREAM_DRAW);
    glBindBufferBase(GL_UNIFORM_BUFFER, binding, gl_->uniformBuffers[binding]);
  }
  glEnable(GL_BLEND);
  glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);

  // present: the drawable goes on screen; the GPU finishes it in its own time.
  drawable.fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
  drawable.draw = ++gl_->submittedDraws;
  for (const auto* texture : {&background, &head}) {
    if (auto* t = glTextureOf(*texture)) t->sampledBy(drawable.draw);
  }
  gl_->front = index;
  {
    std::lock_guard<std::mutex> lock(dataLock_);
    ++presented_;
  }
  glFlush();
  // The last picture reaches the sink while the GPU draws this one, which waits for the next
  // draw or a flush.
  gl_->deliver(sink.get());
  if (!sink) return true;
  {
    std::lock_guard<std::mutex> lock(dataLock_);
    // A sink that removed itself wants no more pictures.
    if (!sink_) return true;
  }
  Readback& r = gl_->readback;
  r.drawable = index;
  r.sequence = sequence;
  r.receiveTime = receiveTime;
  if (!gl_->packBuffers) gl_->deliver(sink.get());
  return true;
}

std::optional<std::string> GlRenderBackend::failure() const {
  return pipelineError_;
}

void GlRenderBackend::layoutLayer(OrsaSize size, double contentsScale) {
  std::lock_guard<std::mutex> lock(dataLock_);
  layerSize_ = size;
  contentsScale_ = contentsScale;
}

bool GlRenderBackend::loadMaskTexture(const std::string& path, std::string& error) {
  std::vector<uint8_t> pixels;
  int32_t width = 0, height = 0;
  std::string readError;
  const bool read = readPngRGBA(path, pixels, width, height, readError);
  EglContext::Scope scope(*context_);
  if (!scope.ok()) {
    error = "the GL context cannot be made current";
    return false;
  }
  // loadTextureFromImagePath: a failed load leaves no mask, even where one was loaded before.
  std::shared_ptr<Texture> mask;
  if (!read) {
    error = path + ": " + readError;
  } else if (!(mask = gl_->newTexture(width, height, 70, false)) ||
             !Private::fill(mask, pixels.data(), 0)) {
    error = fmt::format("{}: {}x{} does not fit a texture", path, width, height);
    mask.reset();
  }
  if (!mask) ORSA_LOG_INFO(M, "Failed to load texture: %s", error.c_str());
  gl_->maskTexture = mask;
  hasMask_.store(mask != nullptr);
  // createBilinearSamplerWithDevice
  if (gl_->sampler) glDeleteSamplers(1, &gl_->sampler);
  glGenSamplers(1, &gl_->sampler);
  glSamplerParameteri(gl_->sampler, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glSamplerParameteri(gl_->sampler, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glSamplerParameteri(gl_->sampler, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glSamplerParameteri(gl_->sampler, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  // The next draw may come from another thread: let it see a finished texture.
  glFinish();
  return mask != nullptr;
}

void GlRenderBackend::setPresentationSink(std::function<void(const OrsaPicture&)> sink) {
  auto next = sink ? std::make_shared<const Private::Sink>(std::move(sink)) : nullptr;
  // In the context throughout: no draw may leave a picture for the old sink once its last
  // one has been handed over.
  EglContext::Scope scope(*context_);
  std::shared_ptr<const Private::Sink> old;
  {
    std::lock_guard<std::mutex> lock(dataLock_);
    old = sink_;
  }
  if (scope.ok()) gl_->deliver(old.get());
  std::lock_guard<std::mutex> lock(dataLock_);
  sink_ = std::move(next);
}

void GlRenderBackend::flushPresentation() {
  EglContext::Scope scope(*context_);
  if (!scope.ok() || gl_->readback.drawable < 0) return;
  std::shared_ptr<const Private::Sink> sink;
  {
    std::lock_guard<std::mutex> lock(dataLock_);
    sink = sink_;
  }
  gl_->deliver(sink.get());
}

void GlRenderBackend::setNextPictureFrame(uint64_t sequence, int64_t receiveTime) {
  std::lock_guard<std::mutex> lock(dataLock_);
  nextSequence_ = sequence;
  nextReceiveTime_ = receiveTime;
}

std::unique_ptr<OrsaRenderBackend::FrameBinding> GlRenderBackend::bindForFrame() {
  return std::make_unique<GlFrameBinding>(*context_);
}

bool GlRenderBackend::snapshot(const std::string& path) {
  std::vector<uint8_t> scratch, pixels;
  int32_t width = 0, height = 0;
  {
    EglContext::Scope scope(*context_);
    if (!scope.ok() || gl_->front < 0) return false;
    const Drawable& d = gl_->drawables[gl_->front];
    Private::readBack(d, scratch, pixels);
    width = d.width;
    height = d.height;
  }
  std::string error;
  if (!writePngRGBA(path, pixels.data(), width, height, width * 4, error)) {
    ORSA_LOG_ERROR(M, "Failed to write snapshot %s: %s", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

// The upload paths below are the GL counterparts of the zero-copy and reuse paths of platforms
// with a video texture cache: GL cannot wrap client memory, so "the texture cache" is a pixel
// unpack buffer the bytes are staged in, and textures are filled from it.
namespace {

std::optional<uint32_t> fourCCOf(uint64_t format) {
  if (format == 70 || format == 71) return kFourCCRGBA;
  if (format == 80 || format == 81) return kFourCCBGRA;
  ORSA_LOG_ERROR(M, "Unsupported pixel format: %lu", static_cast<unsigned long>(format));
  return std::nullopt;
}

}  // namespace

std::shared_ptr<OrsaRenderBackend::Texture> GlRenderBackend::createOptimizedRGBATextureFromBuffer(
    const uint8_t* bytes, int32_t width, int32_t height, uint64_t format) {
  EglContext::Scope scope(*context_);
  if (!scope.ok()) return nullptr;
  auto plain = [&] { return gl_->upload(bytes, width, height, format); };
  const auto fourCC = fourCCOf(format);
  if (!fourCC) return plain();
  const auto size = static_cast<GLsizeiptr>(width) * height * 4;
  if (!bytes || width < 1 || height < 1 || !gl_->textureCache) {
    ORSA_LOG_ERROR(M,
                   "Failed to create CVPixelBuffer: %d (width: %d, height: %d, cvFormat: %u, "
                   "mtlFormat: %lu)",
                   -1, width, height, *fourCC, static_cast<unsigned long>(format));
    return plain();
  }
  glBindBuffer(GL_PIXEL_UNPACK_BUFFER, gl_->pixelBuffer);
  glBufferData(GL_PIXEL_UNPACK_BUFFER, size, bytes, GL_STREAM_DRAW);
  auto texture = gl_->newTexture(width, height, format, true);
  const bool filled = texture && Private::fill(texture, nullptr, 0);
  glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
  if (!filled) {
    ORSA_LOG_ERROR(M, "Failed to create Metal texture from CVPixelBuffer: %d",
                   static_cast<int>(glGetError()));
    return plain();
  }
  return texture;
}

std::shared_ptr<OrsaRenderBackend::Texture> GlRenderBackend::createOptimizedRGBATextureFromBufferV2(
    const uint8_t* bytes, int32_t width, int32_t height, uint64_t format) {
  if (!bytes || width < 1 || height < 1) {
    ORSA_LOG_ERROR(M, "Invalid parameters: buffer=%p, width=%d, height=%d",
                   static_cast<const void*>(bytes), width, height);
    return nullptr;
  }
  EglContext::Scope scope(*context_);
  if (!scope.ok()) return nullptr;
  auto plain = [&] { return gl_->upload(bytes, width, height, format); };
  const auto fourCC = fourCCOf(format);
  if (!fourCC) return plain();
  if (!gl_->textureCache) {
    ORSA_LOG_ERROR(M, "Failed to create CVPixelBuffer: %d (width: %d, height: %d, cvFormat: %u)",
                   -1, width, height, *fourCC);
    return plain();
  }
  // Rows aligned to 16 bytes, as the staging memory of a video pixel buffer is.
  const size_t row = static_cast<size_t>(width) * 4;
  const size_t stride = (row + 15) / 16 * 16;
  const auto size = static_cast<GLsizeiptr>(stride * static_cast<size_t>(height));
  glBindBuffer(GL_PIXEL_UNPACK_BUFFER, gl_->pixelBuffer);
  glBufferData(GL_PIXEL_UNPACK_BUFFER, size, nullptr, GL_STREAM_DRAW);
  auto* staging = static_cast<uint8_t*>(glMapBufferRange(
      GL_PIXEL_UNPACK_BUFFER, 0, size, GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_BUFFER_BIT));
  if (!staging) {
    ORSA_LOG_ERROR(M, "Failed to lock CVPixelBuffer: %d", static_cast<int>(glGetError()));
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    return plain();
  }
  if (stride == row) {
    std::memcpy(staging, bytes, row * static_cast<size_t>(height));
  } else {
    for (int32_t y = 0; y < height; ++y) {
      std::memcpy(staging + static_cast<size_t>(y) * stride, bytes + static_cast<size_t>(y) * row,
                  row);
    }
  }
  glUnmapBuffer(GL_PIXEL_UNPACK_BUFFER);
  auto texture = gl_->newTexture(width, height, format, true);
  const bool filled = texture && Private::fill(texture, nullptr, static_cast<int32_t>(stride / 4));
  glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
  if (!filled) {
    ORSA_LOG_ERROR(M, "Failed to create Metal texture from CVPixelBuffer: %d",
                   static_cast<int>(glGetError()));
    return plain();
  }
  return texture;
}

std::shared_ptr<OrsaRenderBackend::Texture>
GlRenderBackend::createSharedMemoryRGBATextureFromBuffer(const uint8_t* bytes, int32_t width,
                                                         int32_t height, uint64_t format) {
  EglContext::Scope scope(*context_);
  if (!scope.ok()) return nullptr;
  GLuint buffer = 0;
  glGenBuffers(1, &buffer);
  std::shared_ptr<Texture> texture;
  if (bytes && width > 0 && height > 0) {
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, buffer);
    glBufferData(GL_PIXEL_UNPACK_BUFFER, static_cast<GLsizeiptr>(width) * height * 4, bytes,
                 GL_STREAM_DRAW);
    if (glGetError() == GL_NO_ERROR) {
      texture = gl_->newTexture(width, height, format, true);
      if (texture && !Private::fill(texture, nullptr, 0)) texture.reset();
    }
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
  }
  glDeleteBuffers(1, &buffer);
  if (!texture) {
    ORSA_LOG_ERROR(M, "Failed to create shared MTLBuffer");
    return gl_->upload(bytes, width, height, format);
  }
  return texture;
}

std::shared_ptr<OrsaRenderBackend::Texture>
GlRenderBackend::createHighPerformanceRGBATextureFromBuffer(const uint8_t* bytes, int32_t width,
                                                            int32_t height, uint64_t format) {
  if (hasTextureCache()) {
    if (auto t = createOptimizedRGBATextureFromBufferV2(bytes, width, height, format)) return t;
    if (auto t = createOptimizedRGBATextureFromBuffer(bytes, width, height, format)) return t;
  }
  return createSharedMemoryRGBATextureFromBuffer(bytes, width, height, format);
}

std::shared_ptr<OrsaRenderBackend::Texture> GlRenderBackend::getCachedTextureWithWidth(
    int32_t width, int32_t height, uint64_t format) {
  EglContext::Scope scope(*context_);
  if (!scope.ok()) return nullptr;
  const std::string key = fmt::sprintf("%dx%d_%lu", width, height, format);
  auto& dict = gl_->textureCacheDict;
  if (auto it = dict.find(key); it != dict.end()) {
    auto* t = static_cast<GlTexture*>(it->second.get());
    if (t->width() == width && t->height() == height && t->format() == format) return it->second;
  }
  auto texture = gl_->newTexture(width, height, format, false);
  if (!texture) return nullptr;
  if (dict.size() >= kTextureCacheLimit) dict.clear();
  dict[key] = texture;
  return texture;
}

bool GlRenderBackend::hasPipeline() const {
  return gl_->program != 0;
}

bool GlRenderBackend::hasMaskTexture() const {
  return hasMask_.load();
}

bool GlRenderBackend::hasTextureCache() const {
  return gl_->textureCache;
}

Viewport GlRenderBackend::viewport() const {
  std::lock_guard<std::mutex> lock(dataLock_);
  return viewport_;
}

OrsaSize GlRenderBackend::renderSize() const {
  std::lock_guard<std::mutex> lock(dataLock_);
  return renderSize_;
}

std::array<float, 4> GlRenderBackend::largeSizeBuffer() const {
  std::lock_guard<std::mutex> lock(dataLock_);
  return largeSize_;
}

std::array<float, 4> GlRenderBackend::subSizeBuffer() const {
  std::lock_guard<std::mutex> lock(dataLock_);
  return subSize_;
}

std::array<float, 4> GlRenderBackend::subRectBuffer() const {
  std::lock_guard<std::mutex> lock(dataLock_);
  return subRect_;
}

std::optional<std::array<float, 6>> GlRenderBackend::headInfoBuffer() const {
  std::lock_guard<std::mutex> lock(dataLock_);
  return headInfo_;
}

size_t GlRenderBackend::cachedTextureCount() const {
  EglContext::Scope scope(*context_);
  return gl_->textureCacheDict.size();
}

uint64_t GlRenderBackend::presentedFrameCount() const {
  std::lock_guard<std::mutex> lock(dataLock_);
  return presented_;
}

bool GlRenderBackend::readsBackAsynchronously() const {
  EglContext::Scope scope(*context_);
  return gl_->packBuffers;
}

void GlRenderBackend::setReadsBackAsynchronously(bool asynchronously) {
  EglContext::Scope scope(*context_);
  gl_->packBuffers = asynchronously;
}

void GlRenderBackend::finish() {
  EglContext::Scope scope(*context_);
  if (scope.ok()) glFinish();
}

}  // namespace orsa::gl
