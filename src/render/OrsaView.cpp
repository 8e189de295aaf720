#include "orsa/OrsaView.h"

#include <fmt/format.h>

#include <algorithm>

#include "platform/HostInfo.h"

OrsaView::OrsaView(OrsaRect frame)
    : frame_(frame), contentsScale_(orsa::platform::HostInfo::get().screenScale) {}

OrsaView::~OrsaView() = default;

OrsaRect OrsaView::frame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_;
}

void OrsaView::setFrame(OrsaRect frame) {
  std::vector<std::shared_ptr<OrsaView>> children;
  double dw, dh;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dw = frame.width - frame_.width;
    dh = frame.height - frame_.height;
    frame_ = frame;
    children = subviews_;
  }
  // Children are resized outside this view's lock: each takes its own.
  for (const auto& child : children) {
    const uint32_t mask = child->autoresizingMask();
    if (!(mask & (OrsaAutoresizingFlexibleWidth | OrsaAutoresizingFlexibleHeight))) continue;
    OrsaRect f = child->frame();
    if (mask & OrsaAutoresizingFlexibleWidth) f.width = std::max(0.0, f.width + dw);
    if (mask & OrsaAutoresizingFlexibleHeight) f.height = std::max(0.0, f.height + dh);
    child->setFrame(f);
  }
}

OrsaSize OrsaView::layerSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return OrsaSize{frame_.width, frame_.height};
}

double OrsaView::contentsScale() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return contentsScale_;
}

void OrsaView::setContentsScale(double scale) {
  std::lock_guard<std::mutex> lock(mutex_);
  contentsScale_ = scale;
}

OrsaRect OrsaView::bounds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return OrsaRect{0, 0, frame_.width, frame_.height};
}

uint32_t OrsaView::autoresizingMask() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return autoresizingMask_;
}

void OrsaView::setAutoresizingMask(uint32_t mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  autoresizingMask_ = mask;
}

bool OrsaView::addSubview(const std::shared_ptr<OrsaView>& view) {
  if (!view || view.get() == this) return false;
  // A view that is above this one would make the tree a cycle (and leak it).
  for (auto p = superview(); p; p = p->superview()) {
    if (p == view) return false;
  }
  view->removeFromSuperview();
  {
    std::lock_guard<std::mutex> lock(view->mutex_);
    view->superview_ = weak_from_this();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  subviews_.push_back(view);
  return true;
}

void OrsaView::removeFromSuperview() {
  std::shared_ptr<OrsaView> parent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    parent = superview_.lock();
    superview_.reset();
  }
  if (parent) parent->removeChild(this);
}

void OrsaView::removeChild(const OrsaView* child) {
  std::shared_ptr<OrsaView> removed;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [child](const auto& v) { return v.get() == child; });
  if (it != subviews_.end()) {
    removed = std::move(*it);
    subviews_.erase(it);
  }
}

std::vector<std::shared_ptr<OrsaView>> OrsaView::subviews() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subviews_;
}

std::shared_ptr<OrsaView> OrsaView::superview() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return superview_.lock();
}

std::string OrsaView::description() const {
  OrsaRect f = frame();
  return fmt::format("<{}: {}; frame = ({} {}; {} {})>", className(),
                     static_cast<const void*>(this), f.x, f.y, f.width, f.height);
}
