#include "render/gl/EglContext.h"

#include <EGL/eglext.h>
#include <fmt/format.h>

#include <cstring>
#include <vector>

namespace orsa::gl {

namespace {

bool listHas(const char* list, const char* name) {
  if (!list) return false;
  const size_t n = std::strlen(name);
  for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += n) {
    const bool starts = p == list || p[-1] == ' ';
    const bool ends = p[n] == '\0' || p[n] == ' ';
    if (starts && ends) return true;
  }
  return false;
}

struct Display {
  EGLDisplay display = EGL_NO_DISPLAY;
  std::string description;
  std::string error;
};

// A vendor driver's device platform first (a real GPU), then Mesa's surfaceless platform (which
// is llvmpipe when there is no GPU), then whatever the default display is.
Display openDisplay() {
  Display d;
  const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
      eglGetProcAddress("eglGetPlatformDisplayEXT"));
  auto queryDevices =
      reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
  auto queryDeviceString = reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(
      eglGetProcAddress("eglQueryDeviceStringEXT"));

  auto tryInit = [&](EGLDisplay display, std::string description) {
    if (display == EGL_NO_DISPLAY) return false;
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor)) return false;
    d.display = display;
    d.description = fmt::format("{} (EGL {}.{}, {})", description, major, minor,
                                eglQueryString(display, EGL_VENDOR));
    return true;
  };

  if (getPlatformDisplay && queryDevices && listHas(client, "EGL_EXT_platform_device")) {
    EGLDeviceEXT devices[8];
    EGLint count = 0;
    if (queryDevices(8, devices, &count)) {
      for (EGLint i = 0; i < count; ++i) {
        const char* ext = queryDeviceString ? queryDeviceString(devices[i], EGL_EXTENSIONS) : "";
        if (listHas(ext, "EGL_MESA_device_software")) continue;
        if (tryInit(getPlatformDisplay(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr),
                    "device platform")) {
          return d;
        }
      }
    }
  }
  if (getPlatformDisplay && listHas(client, "EGL_MESA_platform_surfaceless") &&
      tryInit(getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr),
              "surfaceless platform")) {
    return d;
  }
  if (tryInit(eglGetDisplay(EGL_DEFAULT_DISPLAY), "default display")) return d;
  d.error = fmt::format("no EGL display could be initialised (EGL error 0x{:x})", eglGetError());
  return d;
}

// The display is opened once and kept for the life of the process: terminating it would pull
// it from under contexts other views still use.
const Display& processDisplay() {
  static const Display display = openDisplay();
  return display;
}

}  // namespace

std::unique_ptr<EglContext> EglContext::create(std::string& error) {
  const Display& d = processDisplay();
  if (d.display == EGL_NO_DISPLAY) {
    error = d.error;
    return nullptr;
  }
  if (!eglBindAPI(EGL_OPENGL_ES_API)) {
    error = "EGL cannot bind the GL ES API";
    return nullptr;
  }
  const char* ext = eglQueryString(d.display, EGL_EXTENSIONS);
  if (!listHas(ext, "EGL_KHR_surfaceless_context")) {
    error = "the EGL display cannot make a context current without a surface";
    return nullptr;
  }
  EGLConfig config = nullptr;
  const EGLint configAttribs[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_ES3_BIT, EGL_NONE};
  EGLint configs = 0;
  if (!eglChooseConfig(d.display, configAttribs, &config, 1, &configs) || configs < 1) {
    if (!listHas(ext, "EGL_KHR_no_config_context")) {
      error = "the EGL display offers no GL ES 3 configuration";
      return nullptr;
    }
    config = nullptr;  // EGL_NO_CONFIG_KHR
  }
  const EGLint contextAttribs[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_NONE};
  EGLContext context = eglCreateContext(d.display, config, EGL_NO_CONTEXT, contextAttribs);
  if (context == EGL_NO_CONTEXT) {
    error =
        fmt::format("no GL ES 3 context on {} (EGL error 0x{:x})", d.description, eglGetError());
    return nullptr;
  }
  return std::unique_ptr<EglContext>(new EglContext(d.display, context, d.description));
}

EglContext::EglContext(EGLDisplay display, EGLContext context, std::string description)
    : display_(display), context_(context), description_(std::move(description)) {}

EglContext::~EglContext() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  eglDestroyContext(display_, context_);
}

bool EglContext::hasExtension(const char* name) const {
  return listHas(eglQueryString(display_, EGL_EXTENSIONS), name);
}

EglContext::Scope::Scope(EglContext& context) : context_(context), lock_(context.mutex_) {
  if (eglGetCurrentContext() == context_.context_) {
    ok_ = true;  // an enclosing scope on this thread bound it already
    return;
  }
  // A host may draw with its own GL on this thread: its context comes back when we are done.
  previousDisplay_ = eglGetCurrentDisplay();
  previousContext_ = eglGetCurrentContext();
  previousDraw_ = eglGetCurrentSurface(EGL_DRAW);
  previousRead_ = eglGetCurrentSurface(EGL_READ);
  bound_ = eglMakeCurrent(context_.display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_.context_);
  ok_ = bound_;
}

EglContext::Scope::~Scope() {
  if (!bound_) return;
  // Released after every use, so the next user may be another thread.
  if (previousContext_ != EGL_NO_CONTEXT) {
    eglMakeCurrent(previousDisplay_, previousDraw_, previousRead_, previousContext_);
  } else {
    eglMakeCurrent(context_.display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  }
}

}  // namespace orsa::gl
