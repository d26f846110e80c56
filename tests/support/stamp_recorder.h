// Records every stamp a lens program makes on a TestCanvas: the box the stamper
// handed to iterate (from its StampJob) and what that stamp changed. It wraps
// the FakeHost's iterate for its lifetime, so the configured failures still
// apply, and takes the stamp workers' row polls out of the host's log, which
// then holds the lens program's own host calls in order.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/fake_host.h"

struct RecordedStamp {
  int32_t columns, rows;
  float centerX, centerY;  // the stamp centre in image pixels, to within one pixel
  int64_t changedPixels;   // pixels whose red, green or blue changed
  int64_t gain[3];         // summed increase of red, green, blue
};

class StampRecorder {
 public:
  StampRecorder(FakeHost& host, TestCanvas& canvas);
  ~StampRecorder();
  std::vector<RecordedStamp> stamps;

 private:
  static int32_t Iterate(int32_t count, void* refcon, IterateWorkerFn worker);
  static StampRecorder* current_;
  FakeHost& host_;
  TestCanvas& canvas_;
  IterateFn wrapped_;
};
