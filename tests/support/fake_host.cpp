#include "tests/support/fake_host.h"

#include <cstdlib>
#include <thread>

#include "render/hypot_table.h"

FakeHost* FakeHost::current_ = nullptr;

FakeHost::FakeHost() {
  in.abortCheck = &FakeHost::AbortCheck;
  in.progress = &FakeHost::Progress;
  in.callbacks = &callbacks;
  in.effectRef = this;
  in.pixelAspectNum = 1;
  in.pixelAspectDen = 1;
  callbacks.iterate = &FakeHost::Iterate;
  current_ = this;
}

FakeHost::~FakeHost() {
  if (current_ == this) current_ = nullptr;
}

int32_t FakeHost::AbortCheck(void* effectRef) {
  auto* host = static_cast<FakeHost*>(effectRef);
  std::lock_guard<std::mutex> lock(host->mutex_);
  int64_t poll = host->abortPolls++;
  host->log.push_back("abort");
  return (host->abortAfterPolls >= 0 && poll >= host->abortAfterPolls) ? host->abortCode : 0;
}

int32_t FakeHost::Progress(void* effectRef, int32_t current, int32_t total) {
  auto* host = static_cast<FakeHost*>(effectRef);
  std::lock_guard<std::mutex> lock(host->mutex_);
  host->progress.emplace_back(current, total);
  host->log.push_back("progress " + std::to_string(current) + "/" + std::to_string(total));
  return 0;
}

int32_t FakeHost::Iterate(int32_t count, void* refcon, IterateWorkerFn worker) {
  FakeHost* host = current_;
  int64_t callIndex = static_cast<int64_t>(host->iterates.size());
  host->log.push_back("iterate " + std::to_string(count));
  if (host->iterateFailure != 0 && callIndex >= host->failIterateAt) {
    host->iterates.push_back({count, worker, host->iterateFailure});
    return host->iterateFailure;
  }
  int32_t n = count == -1 ? host->threads : count;
  std::vector<int32_t> results(static_cast<size_t>(n), 0);
  if (host->parallel && n > 1) {
    std::vector<std::thread> threads;
    for (int32_t i = 1; i < n; ++i)
      threads.emplace_back([&, i] { results[i] = worker(refcon, i, i, n); });
    results[0] = worker(refcon, 0, 0, n);
    for (auto& t : threads) t.join();
  } else {
    // Serial: each invocation runs with its own index as thread index, as a pool
    // with one thread per invocation would number them.
    for (int32_t i = 0; i < n; ++i) results[i] = worker(refcon, i, i, n);
  }
  int32_t result = 0;
  for (int32_t r : results)
    if (r != 0) { result = r; break; }
  host->iterates.push_back({count, worker, result});
  return result;
}

TestCanvas::TestCanvas(int32_t w, int32_t h, FakeHost& host, int32_t profileLength, float brightness)
    : width(w), height(h), rowBytes(((4 * w + 63) / 64) * 64 + 64),
      data(static_cast<size_t>(rowBytes) * h, kPaddingByte) {
  Fill(255, 0, 0, 0);
  FillHypotTable(context.hypotTable);
  context.host = &host.in;
  context.streakMode = 1;
  context.profileLength = profileLength > 0 ? profileLength : 16 * w;
  context.profileRed = static_cast<uint8_t*>(std::calloc(context.profileLength, 1));
  context.profileGreen = static_cast<uint8_t*>(std::calloc(context.profileLength, 1));
  context.profileBlue = static_cast<uint8_t*>(std::calloc(context.profileLength, 1));
  FlareFrame& f = context.frame;
  f.height = static_cast<int16_t>(h);
  f.width = static_cast<int16_t>(w);
  f.squareWidth = static_cast<int16_t>(w);
  f.rowBytes = rowBytes;
  f.pixelBytes = 4;
  f.pixels = data.data() + 1;
  f.brightness = brightness;
  f.centerX = 0.5f;
  f.centerY = 0.5f;
}

TestCanvas::~TestCanvas() {
  std::free(context.profileRed);
  std::free(context.profileGreen);
  std::free(context.profileBlue);
}

void TestCanvas::Fill(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      At(x, y, 0) = a;
      At(x, y, 1) = r;
      At(x, y, 2) = g;
      At(x, y, 3) = b;
    }
}

bool TestCanvas::PaddingIntact() const {
  for (int32_t y = 0; y < height; ++y)
    for (int32_t i = 4 * width; i < rowBytes; ++i)
      if (data[static_cast<size_t>(y) * rowBytes + i] != kPaddingByte) return false;
  return true;
}

void TestCanvas::SetProfile(uint8_t value) {
  for (int32_t i = 0; i < context.profileLength; ++i)
    context.profileRed[i] = context.profileGreen[i] = context.profileBlue[i] = value;
}
