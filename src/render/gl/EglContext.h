#pragma once

#include <EGL/egl.h>

#include <memory>
#include <mutex>
#include <string>

namespace orsa::gl {

// One GL ES 3 context on the process's headless EGL display. It has no surface: everything is
// drawn into framebuffer objects. A context can be current on one thread at a time, so every
// use goes through a Scope, which serialises the users and binds the context only for as long
// as the scope lives (then whatever was current before comes back); any thread may therefore
// do GL work with it.
class EglContext {
 public:
  // Null, with the reason in `error`, when there is no usable display or context.
  static std::unique_ptr<EglContext> create(std::string& error);
  ~EglContext();
  EglContext(const EglContext&) = delete;
  EglContext& operator=(const EglContext&) = delete;

  class Scope {
   public:
    explicit Scope(EglContext& context);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    // False when the context could not be made current: no GL call may be made then.
    bool ok() const { return ok_; }

   private:
    EglContext& context_;
    std::unique_lock<std::recursive_mutex> lock_;
    bool ok_ = false;
    bool bound_ = false;
    EGLDisplay previousDisplay_ = EGL_NO_DISPLAY;
    EGLContext previousContext_ = EGL_NO_CONTEXT;
    EGLSurface previousDraw_ = EGL_NO_SURFACE;
    EGLSurface previousRead_ = EGL_NO_SURFACE;
  };

  bool hasExtension(const char* name) const;
  // Which display the context lives on, for logs.
  const std::string& description() const { return description_; }

 private:
  EglContext(EGLDisplay display, EGLContext context, std::string description);

  EGLDisplay display_;
  EGLContext context_;
  std::string description_;
  std::recursive_mutex mutex_;  // recursive: a scope may open inside another on one thread
};

}  // namespace orsa::gl
