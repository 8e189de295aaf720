#include "OrsaNormalRuntime.h"

#include <fmt/printf.h>

#include "orsa/OrsaConstants.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "render/OrsaPreviewViewCore.h"

namespace {

using orsa::platform::consoleWrite;

}  // namespace

std::shared_ptr<OrsaNormalRuntime> OrsaNormalRuntime::create() {
  return std::make_shared<OrsaNormalRuntime>(Key{});
}

void OrsaNormalRuntime::initWithConfig(std::shared_ptr<OrsaMireloConfig> config,
                                       std::weak_ptr<OrsaMireloDelegate> delegate) {
  const std::string modelId = config ? config->digitalHumanId().value_or("") : "";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = std::move(config);
    delegate_ = std::move(delegate);
  }
  consoleWrite(fmt::sprintf("[OrsaNormalRuntime] 初始化普通运行时，数字人ID：%s", modelId));
  std::weak_ptr<OrsaNormalRuntime> weak = shared_from_this();
  orsa::platform::globalQueue()->async([weak] {
    orsa::platform::mainQueue()->asyncAfter(std::chrono::milliseconds(500), [weak] {
      auto self = weak.lock();
      if (!self) return;
      if (auto delegate = self->delegate()) delegate->onMireloStartSuccess();
    });
  });
}

void OrsaNormalRuntime::attach(const std::shared_ptr<OrsaView>& view) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previewView_ = view;
  }
  consoleWrite(fmt::sprintf("[OrsaNormalRuntime] 普通运行时绑定预览视图：%s",
                            view ? view->description() : std::string("(null)")));
  if (!view) return;
  auto preview = std::dynamic_pointer_cast<OrsaPreviewView>(view);
  std::weak_ptr<OrsaNormalRuntime> weak = shared_from_this();
  if (preview && preview->stopped()) {
    reportError(kOrsaErrorViewStopped,
                "The attached view was stopped and cannot draw again; attach a new view");
    return;
  }
  const bool own = !preview;
  std::shared_ptr<OrsaPreviewView> previous;
  bool previousOwn;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = orsaPreviewView_.lock();
    previousOwn = ownPreviewView_;
  }
  // Each view holds a GL context and a drawing thread: the one already made inside this host
  // view serves again, and one made inside another goes.
  if (own && previous && previousOwn && !previous->stopped() && previous->superview() == view) {
    return;
  }
  if (previous && previousOwn && previous != preview) {
    previous->stop();
    previous->removeFromSuperview();
  }
  if (own) {
    // A host view of its own: ours goes inside it and follows its size.
    preview = OrsaPreviewView::create(view->bounds());
    preview->setAutoresizingMask(OrsaAutoresizingFlexibleWidth | OrsaAutoresizingFlexibleHeight);
    view->addSubview(preview);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    orsaPreviewView_ = preview;
    ownPreviewView_ = own;
  }
  auto& core = OrsaPreviewViewCore::of(*preview);
  core.setFailureCallback([weak](const std::string& reason) {
    if (auto self = weak.lock()) {
      self->reportError(kOrsaErrorViewCannotDraw, "The view cannot draw: " + reason);
    }
  });
  core.setFirstFrameCallback([weak] {
    auto self = weak.lock();
    if (!self) return;
    consoleWrite("[OrsaNormalRuntime] 普通运行时首帧渲染回调");
    if (auto delegate = self->delegate()) delegate->onSurfaceFirstFrameDraw();
  });
}

void OrsaNormalRuntime::onPlayerSyncRecvSEI(const std::string&, std::span<const uint8_t> data) {
  if (data.data() && !data.empty()) frameData_.updateSEI(data.data(), data.size());
}

void OrsaNormalRuntime::destroy() {
  consoleWrite("[OrsaNormalRuntime] 销毁普通运行时");
  std::shared_ptr<OrsaPreviewView> view;
  bool own;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view = orsaPreviewView_.lock();
    own = ownPreviewView_;
    orsaPreviewView_.reset();
    delegate_.reset();
    previewView_.reset();
  }
  if (!view) return;
  view->stop();
  // The one made inside the host's view goes too, so a later start puts a working one there.
  if (own) view->removeFromSuperview();
}

void OrsaNormalRuntime::reportError(int32_t code, const std::string& message) {
  std::weak_ptr<OrsaNormalRuntime> weak = weak_from_this();
  orsa::platform::mainQueue()->async([weak, code, message] {
    auto self = weak.lock();
    if (!self) return;
    // No delegate once destroyed.
    if (auto delegate = self->delegate()) delegate->onError(code, message);
  });
}

std::shared_ptr<OrsaPreviewView> OrsaNormalRuntime::orsaPreviewView() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orsaPreviewView_.lock();
}

std::shared_ptr<OrsaMireloDelegate> OrsaNormalRuntime::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}
