#include "orsa/OrsaPreviewView.h"

#include "platform/Clock.h"
#include "render/OrsaFrameData.h"
#include "render/OrsaPreviewViewCore.h"

std::shared_ptr<OrsaPreviewView> OrsaPreviewView::create() {
  return OrsaPreviewViewCore::create(OrsaRect{}, false);
}

std::shared_ptr<OrsaPreviewView> OrsaPreviewView::create(OrsaRect frame) {
  return OrsaPreviewViewCore::create(frame, true);
}

OrsaPreviewView::OrsaPreviewView(OrsaRect frame) : OrsaView(frame) {}

// The core stops the consumer and gives the queued buffers back as it goes.
OrsaPreviewView::~OrsaPreviewView() = default;

bool OrsaPreviewView::drawFrame(std::span<const uint8_t> seiPayload,
                                std::span<const uint8_t* const> data,
                                std::span<const uint32_t> dataLength,
                                const QMXVideoFrameParam& param) {
  if (data.empty() || dataLength.empty()) return false;
  auto frame = std::make_shared<OrsaFrameData>();
  if (frame->updateSEI(seiPayload.data(), seiPayload.size()) != OrsaFrameData::SEIStatus::Ok)
    return false;
  // A decoder's padded rows are packed while copying.
  if (frame->updateROIFrame(data[0], dataLength[0], param.width(), param.height(),
                            param.strideAtIndex(0)) != OrsaFrameData::ROIStatus::Ok)
    return false;
  frame->setSequence(core_->nextSequence());
  frame->setReceiveTime(orsa::platform::currentMillis());
  core_->drawFrame(std::move(frame));
  return true;
}

void OrsaPreviewView::updateWithImageBuffer(const uint8_t* image, int32_t width, int32_t height,
                                            const uint8_t* subImage, int32_t subWidth,
                                            int32_t subHeight, OrsaRect rect) {
  core_->updateWithImageBuffer(image, width, height, subImage, subWidth, subHeight, rect);
}

void OrsaPreviewView::stop() {
  core_->stop();
}

bool OrsaPreviewView::stopAndWait(std::chrono::milliseconds timeout) {
  return core_->stopAndWait(timeout);
}

bool OrsaPreviewView::stopped() const {
  return core_->stopped();
}

void OrsaPreviewView::loadMaskTexture(const std::string& path) {
  core_->loadMaskTexture(path);
}

void OrsaPreviewView::setPresentationSink(std::function<void(const OrsaPicture&)> sink) {
  core_->setPresentationSink(std::move(sink));
}

bool OrsaPreviewView::snapshot(const std::string& path) {
  return core_->snapshot(path);
}

uint64_t OrsaPreviewView::receivedFrameCount() const {
  return core_->receivedFrameCount();
}

uint64_t OrsaPreviewView::renderFrameCount() const {
  return core_->renderFrameCount();
}

uint64_t OrsaPreviewView::presentedFrameCount() const {
  return core_->presentedFrameCount();
}

uint64_t OrsaPreviewView::droppedFrameCount() const {
  return core_->droppedFrameCount();
}

uint64_t OrsaPreviewView::outOfOrderFrameCount() const {
  return core_->outOfOrderFrameCount();
}

size_t OrsaPreviewView::queuedFrameCount() const {
  return core_->queuedFrameCount();
}
