// The host's callbacks called directly: arithmetic, bounds, handle tracking,
// iteration over the pool and guard checking; and a long session through one
// instance, which the host must serve without growing.
#include "host/core/host_callbacks.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "host/core/builtin_frame.h"
#include "host/core/cancel_token.h"
#include "host/core/image_buffer.h"
#include "host/core/seams/fault_plan.h"
#include "host/core/validator.h"
#include "shell/world_blend.h"
#include "tests/host/module_fixture.h"
#include "tests/support/resident_memory.h"

namespace {

using lfhost::HostServices;
using lfhost::ImageBuffer;

class CallbacksTest : public testing::Test {
 protected:
  CallbacksTest() : pool_(3), host_(pool_, &cancel_), validator_(host_), active_(host_) {
    host_.Connect(in_);
    host_.SetObserver(&validator_);
  }
  lfhost::WorkerPool pool_;
  lfhost::CancelToken cancel_;
  HostServices host_;
  lfhost::Validator validator_;
  HostServices::Activation active_;
  CommandInput in_{};
};

TEST(BlendByteTest, RoundsAndClampsTheRatio) {
  struct Case { uint8_t s1, s2; int32_t ratio; uint8_t expected; };
  // (s1 (65536 - r) + s2 r + 32768) >> 16, worked by hand.
  for (const Case& c : {Case{0, 255, 65536, 255}, Case{10, 20, 32768, 15}, Case{100, 200, 16384, 125},
                        Case{255, 0, -5, 255}, Case{0, 255, 70000, 255}, Case{1, 2, 32768, 2}}) {
    EXPECT_EQ(BlendByte(c.s1, c.s2, c.ratio), c.expected) << int(c.s1) << " " << int(c.s2) << " " << c.ratio;
  }
}

TEST_F(CallbacksTest, BlendAndCopyHonourEachWorldsRowBytes) {
  ImageBuffer a(5, 3), b(5, 3);
  a.Fill(0, 10, 100, 255);
  b.Fill(255, 20, 200, 0);
  // A destination with its own, odd row pitch.
  const int32_t pitch = 5 * 4 + 12;
  std::vector<uint8_t> bytes(static_cast<size_t>(pitch) * 3, 0xEE);
  PixelWorld dst{};
  dst.data = bytes.data();
  dst.rowBytes = pitch;
  dst.width = 5;
  dst.height = 3;
  ASSERT_EQ(in_.callbacks->blend(in_.effectRef, a.world(), b.world(), 32768, &dst), 0);
  for (int y = 0; y < 3; ++y) {
    const uint8_t* row = bytes.data() + y * pitch;
    // The last pixel, halfway between the two, then the row's padding untouched.
    EXPECT_EQ(std::vector<uint8_t>(row + 16, row + 20), (std::vector<uint8_t>{128, 15, 150, 128})) << y;
    EXPECT_EQ(std::count(row + 20, row + pitch, 0xEE), pitch - 20) << "padding of row " << y;
  }
  ASSERT_EQ(in_.callbacks->copyWorld(in_.effectRef, &dst, b.world(), nullptr, nullptr), 0);
  EXPECT_EQ(b.at(2, 1, 1), 15);
  EXPECT_TRUE(b.GuardsIntact());
  PixelWorld wrongSize = dst;
  wrongSize.width = 4;
  EXPECT_EQ(in_.callbacks->copyWorld(in_.effectRef, &wrongSize, b.world(), nullptr, nullptr), lfhost::kHostErrBadArgument);
}

TEST_F(CallbacksTest, FormatStringReadsInt32AndStopsAtTheMessageBuffer) {
  char buffer[400];
  std::memset(buffer, 0x7E, sizeof buffer);
  ASSERT_EQ(HostServices::FormatString(buffer, "v%ld.%ld %s 100%%", int32_t{1}, int32_t{0}, "ok"), 0);
  EXPECT_STREQ(buffer, "v1.0 ok 100%");
  std::memset(buffer, 0x7E, sizeof buffer);
  const std::string longText(300, 'x');
  HostServices::FormatString(buffer, "%s%s", longText.c_str(), "tail");
  EXPECT_EQ(std::strlen(buffer), kMessageBufferBytes - 1);
  for (size_t i = kMessageBufferBytes; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0x7E) << i;
  std::memset(buffer, 0x7E, sizeof buffer);
  HostServices::CopyString(buffer, longText.c_str());
  EXPECT_EQ(std::strlen(buffer), kMessageBufferBytes - 1);
  EXPECT_EQ(buffer[kMessageBufferBytes], 0x7E);
}

TEST_F(CallbacksTest, HandlesAreZeroFilledAndTrackedThroughTheirLife) {
  Handle h = HostServices::NewHandle(64);
  ASSERT_NE(h, nullptr);
  ASSERT_NE(*h, nullptr);
  const auto* block = static_cast<const uint8_t*>(*h);
  EXPECT_TRUE(std::all_of(block, block + 64, [](uint8_t v) { return v == 0; }));
  EXPECT_EQ(HostServices::LockHandle(h), 0);
  EXPECT_EQ(HostServices::DisposeHandle(h), lfhost::kHostErrHandleLocked);
  EXPECT_EQ(HostServices::UnlockHandle(h), 0);
  EXPECT_EQ(HostServices::DisposeHandle(h), 0);
  EXPECT_EQ(HostServices::DisposeHandle(h), lfhost::kHostErrBadHandle);
  Handle leaked = HostServices::NewHandle(8);
  ASSERT_NE(leaked, nullptr);
  validator_.ReportLeakedHandles();
  const std::vector<std::string> v = validator_.violations();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], "disposeHandle: handle is locked");
  EXPECT_EQ(v[1], "disposeHandle: handle disposed twice");
  EXPECT_EQ(v[2], "handle of 8 bytes still alive at unload");
}

struct IterateProbe {
  std::mutex mutex;
  std::vector<std::tuple<int32_t, int32_t, int32_t, std::thread::id>> calls;   // thread, index, count, id
  std::map<int32_t, int32_t> failures;                                        // index -> result
};

int32_t Probe(void* refcon, int32_t threadIndex, int32_t index, int32_t count) {
  auto* probe = static_cast<IterateProbe*>(refcon);
  std::lock_guard<std::mutex> lock(probe->mutex);
  probe->calls.emplace_back(threadIndex, index, count, std::this_thread::get_id());
  auto it = probe->failures.find(index);
  return it == probe->failures.end() ? 0 : it->second;
}

TEST_F(CallbacksTest, IterateRunsOnePerPoolThreadWithIndexZeroOnTheCallerAndReturnsTheFirstFailure) {
  for (const int32_t asked : {-1, 1}) {
    IterateProbe probe;
    ASSERT_EQ(in_.callbacks->iterate(asked, &probe, &Probe), 0);
    const size_t expected = asked < 0 ? 3 : 1;
    ASSERT_EQ(probe.calls.size(), expected);
    std::set<std::thread::id> threads;
    for (const auto& [thread, index, count, id] : probe.calls) {
      EXPECT_EQ(thread, index);
      EXPECT_EQ(count, static_cast<int32_t>(expected));
      threads.insert(id);
      if (index == 0) {
        EXPECT_EQ(id, std::this_thread::get_id());
      }
    }
    EXPECT_EQ(threads.size(), expected);
  }
  IterateProbe probe;
  // The lowest failing invocation's result wins.
  probe.failures = {{2, 5}, {1, 9}};
  EXPECT_EQ(in_.callbacks->iterate(-1, &probe, &Probe), 9);
  probe.failures = {{2, 5}};
  EXPECT_EQ(in_.callbacks->iterate(-1, &probe, &Probe), 5);
}

TEST_F(CallbacksTest, WorldPassVerifiesGuardsOfAdmittedWorlds) {
  ImageBuffer frame(7, 4);
  ImageBuffer stranger(7, 4);
  host_.AdmitWorld(frame);
  EXPECT_EQ(in_.callbacks->worldPass(in_.effectRef, 1, frame.world()), 0);
  EXPECT_EQ(in_.callbacks->worldPass(in_.effectRef, 1, stranger.world()), lfhost::kHostErrUnknownWorld);
  frame.row(2)[7 * 4] = 1;   // first padding byte after row 2
  EXPECT_EQ(in_.callbacks->worldPass(in_.effectRef, 0, frame.world()), lfhost::kHostErrGuardBroken);
  frame.row(2)[7 * 4] = ImageBuffer::kGuardValue;
  frame.row(0)[-1] = 0;      // the byte before the first row
  EXPECT_EQ(in_.callbacks->worldPass(in_.effectRef, 0, frame.world()), lfhost::kHostErrGuardBroken);
}

TEST_F(CallbacksTest, AbortCheckAnswers517AfterThePlanOrACancel) {
  lfhost::FaultPlan f;
  f.abortAfterPolls = 2;
  lfhost::FaultInjector faults(host_, validator_);
  faults.SetPlan(f);
  std::vector<int32_t> answers;
  for (int i = 0; i < 3; ++i) answers.push_back(in_.abortCheck(in_.effectRef));
  faults.SetPlan({});
  answers.push_back(in_.abortCheck(in_.effectRef));
  cancel_.Request();
  answers.push_back(in_.abortCheck(in_.effectRef));
  EXPECT_EQ(answers, (std::vector<int32_t>{0, 0, 517, 0, 517}));
}

// Without an observer the host keeps nothing per call: over 1,000 renders of a
// small frame after a warm-up of 200 its tables hold the same entries and
// resident memory stays within 512 kB (a string kept per callback, about
// 0.9 kB a render, would add twice that).
TEST(HostSoakTest, AnUnobservedHostKeepsNothingPerRender) {
  auto effect = std::make_unique<lfhost::EffectInstance>(lftest::TestModule(), lftest::TestPool());
  effect->Start();
  const ImageBuffer input = lfhost::MakeDarkFrame(24, 16);
  ImageBuffer output(24, 16);
  const lfhost::CheckedParams values = effect->Defaults(24, 16);
  size_t entriesAt200 = 0;
  int64_t residentAt200 = 0;
  for (int n = 1; n <= 1200; ++n) {
    ASSERT_EQ(effect->Render(input, output, values, {.frame = n}).code, 0) << n;
    if (n == 200) {
      entriesAt200 = effect->host().RetainedEntries();
      residentAt200 = lftest::ResidentBytes();
    }
  }
  EXPECT_EQ(effect->host().RetainedEntries(), entriesAt200);
  EXPECT_GT(residentAt200, 0);
#ifndef __SANITIZE_ADDRESS__
  // AddressSanitizer holds freed blocks back from reuse, so there resident
  // memory grows whatever the host keeps; the entry count above still holds.
  EXPECT_LT(lftest::ResidentBytes() - residentAt200, 1 << 19);
#endif
}

// In a child process, since the second Ctrl-C ends the process: the first only
// requests the token, the second removes the marked temporary file, keeps the
// one no longer marked (a finished frame) and exits with 130 at once.
TEST(CancelTokenTest, FirstInterruptRequestsTheTokenSecondRemovesMarkedFilesAndExits) {
  const std::string dir = testing::TempDir();
  const std::string marked = dir + "/lf_cancel_" + std::to_string(getpid()) + ".partial.png";
  const std::string released = marked + ".done";
  for (const std::string& path : {marked, released}) std::fclose(std::fopen(path.c_str(), "w"));
  const pid_t pid = fork();
  if (pid == 0) {
    static lfhost::CancelToken token;
    lfhost::CancelOnStopSignals(token);
    lfhost::RemoveOnSecondInterrupt mark(marked);
    { lfhost::RemoveOnSecondInterrupt done(released); }
    raise(SIGINT);
    if (!token.requested() || access(marked.c_str(), F_OK) != 0) _exit(3);
    raise(SIGINT);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_NE(access(marked.c_str(), F_OK), 0);
  EXPECT_EQ(access(released.c_str(), F_OK), 0);
  std::remove(released.c_str());
}

}  // namespace
