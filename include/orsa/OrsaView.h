#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orsa/OrsaExport.h"

// A rectangle in the host's view coordinates (points, origin top-left).
struct ORSA_EXPORT OrsaRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const OrsaRect&) const = default;
};

struct ORSA_EXPORT OrsaSize {
  double width = 0;
  double height = 0;
  bool operator==(const OrsaSize&) const = default;
};

// How a view follows its parent's size.
enum OrsaAutoresizing : uint32_t {
  OrsaAutoresizingNone = 0,
  OrsaAutoresizingFlexibleWidth = 1u << 1,
  OrsaAutoresizingFlexibleHeight = 1u << 4,
};

// The host's view: a node of the host's view tree that the engine can draw into or add its
// own view to. The preview view is one kind of it; a host may hand the engine any other.
//
// Views are shared objects (create them with std::make_shared): parents hold their subviews,
// everything else in the engine holds views weakly. Every operation may be called from any
// thread.
class ORSA_EXPORT OrsaView : public std::enable_shared_from_this<OrsaView> {
 public:
  explicit OrsaView(OrsaRect frame = {});
  virtual ~OrsaView();
  OrsaView(const OrsaView&) = delete;
  OrsaView& operator=(const OrsaView&) = delete;

  OrsaRect frame() const;
  // Subviews with a flexible width or height grow or shrink by as much as this view's size
  // changed, and so on down the tree.
  void setFrame(OrsaRect frame);
  // The frame's size at the origin: the area a subview fills.
  OrsaRect bounds() const;

  // The drawing layer's size in points: the bounds' size.
  OrsaSize layerSize() const;
  // Pixels per point of the drawing layer; the host's screen scale until set.
  double contentsScale() const;
  void setContentsScale(double scale);

  uint32_t autoresizingMask() const;
  void setAutoresizingMask(uint32_t mask);

  // Moves `view` under this one (out of its previous parent). Refused, returning false, for a
  // null view, this view itself, or one of its ancestors.
  bool addSubview(const std::shared_ptr<OrsaView>& view);
  void removeFromSuperview();
  std::vector<std::shared_ptr<OrsaView>> subviews() const;
  std::shared_ptr<OrsaView> superview() const;

  // One line for logs: class name, address and frame.
  virtual std::string description() const;

 protected:
  // The class name description() prints.
  virtual const char* className() const { return "OrsaView"; }

 private:
  void removeChild(const OrsaView* child);

  mutable std::mutex mutex_;
  OrsaRect frame_;
  uint32_t autoresizingMask_ = OrsaAutoresizingNone;
  double contentsScale_;
  std::weak_ptr<OrsaView> superview_;
  std::vector<std::shared_ptr<OrsaView>> subviews_;
};
