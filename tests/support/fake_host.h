// A small in-process host for white-box tests: a CommandInput and a
// HostCallbacks table whose callbacks record what the renderer asks of them.
// iterate runs the invocations on the calling thread (index order) or, with
// `parallel`, on real threads with thread index 0 on the calling thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "render/flare_context.h"

struct IterateCall {
  int32_t count;  // as the module asked: 1 or -1
};

class FakeHost {
 public:
  FakeHost();
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;
  void SetPixelAspect(int32_t num, uint32_t den) { in.pixelAspectNum = num, in.pixelAspectDen = den; }

  CommandInput in{};
  HostCallbacks callbacks{};
  int32_t threads = 1;      // invocations iterate runs for count -1
  bool parallel = false;
  int64_t abortAfterPolls = -1;  // abortCheck answers 517 from this poll on (0-based); -1 never
  int32_t iterateFailure = 0;    // non-zero: iterate call failIterateAt on returns it, running nothing
  int64_t failIterateAt = 0;

  std::vector<IterateCall> iterates;
  int64_t abortPolls = 0;
  std::vector<std::string> log;  // host calls in order: "abort", "progress d/t", "iterate -1", ...

 private:
  std::mutex mutex_;
  static FakeHost* current_;
  static int32_t AbortCheck(void* effectRef);
  static int32_t Progress(void* effectRef, int32_t current, int32_t total);
  static int32_t Iterate(int32_t count, void* refcon, IterateWorkerFn worker);
};

// A frame of packed A,R,G,B pixels (opaque black) whose rows are padded beyond
// 4 x width, and a context wired to a FakeHost with profile buffers allocated.
class TestCanvas {
 public:
  TestCanvas(int32_t width, int32_t height, FakeHost& host, int32_t profileLength = 0,
             float brightness = 1.0f);
  TestCanvas(const TestCanvas&) = delete;
  TestCanvas& operator=(const TestCanvas&) = delete;

  void Fill(uint8_t a, uint8_t r, uint8_t g, uint8_t b);
  // Channel 0 = alpha, 1 = red, 2 = green, 3 = blue.
  uint8_t& At(int32_t x, int32_t y, int channel) {
    return data[static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x) * 4 + channel];
  }
  bool PaddingIntact() const;  // no byte beyond a row's 4 x width was written
  void SetProfile(uint8_t value);  // all three profile buffers

  int32_t width, height, rowBytes;
  std::vector<uint8_t> data, profile[3];
  FlareContext context{};
  static constexpr uint8_t kPaddingByte = 0xA5;
};
