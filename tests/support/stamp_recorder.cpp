#include "tests/support/stamp_recorder.h"

#include <algorithm>

StampRecorder* StampRecorder::current_ = nullptr;

StampRecorder::StampRecorder(FakeHost& host, TestCanvas& canvas)
    : host_(host), canvas_(canvas), wrapped_(host.callbacks.iterate) {
  host_.callbacks.iterate = &StampRecorder::Iterate;
  current_ = this;
}

StampRecorder::~StampRecorder() {
  host_.callbacks.iterate = wrapped_;
  if (current_ == this) current_ = nullptr;
}

int32_t StampRecorder::Iterate(int32_t count, void* refcon, IterateWorkerFn worker) {
  StampRecorder& self = *current_;
  TestCanvas& canvas = self.canvas_;
  RecordedStamp stamp{0};
  const std::vector<uint8_t> before = canvas.data;
  const size_t logMark = self.host_.log.size() + 1;  // after "iterate n"
  const int32_t result = self.wrapped_(count, refcon, worker);
  self.host_.log.resize(logMark);
  for (size_t at = 0; at + 4 <= canvas.data.size(); at += 4) {
    const uint8_t* now = canvas.data.data() + at;
    if (!std::equal(now + 1, now + 4, before.data() + at + 1)) ++stamp.changedPixels;
  }
  self.stamps.push_back(stamp);
  return result;
}
