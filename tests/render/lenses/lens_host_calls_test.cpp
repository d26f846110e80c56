// The host calls each lens program makes, in order (cancel polls, progress
// steps, stamps and ray stamps), and where it stops on a cancel or a failed stamp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render/lenses/lens_programs.h"
#include "tests/support/fake_host.h"
#include "tests/support/stamp_recorder.h"

namespace {

using Log = std::vector<std::string>;
using LensProgramFn = void (*)(FlareFrame&, FlareContext&);

std::string Progress(int done, int total) {
  return "progress " + std::to_string(done) + "/" + std::to_string(total);
}

// 50-300mm zoom: entry poll; per spray streak progress i/760 then a poll; one
// poll after the spray; sixteen stamps, each followed by its step of 20.
Log ZoomLog() {
  Log log{"abort"};
  for (int i = 0; i < 190; ++i) log.insert(log.end(), {Progress(i, 760), "abort"});
  log.push_back("abort");
  for (int step = 5; step <= 20; ++step) log.insert(log.end(), {"iterate -1", Progress(step, 20)});
  return log;
}

// 35mm prime: entry poll; per random streak a poll then progress i/510; a
// progress step per fan group (k + 24 of 408) and no poll until the fan is done;
// fifteen stamps, each followed by its step of 17.
Log Prime35Log() {
  Log log{"abort"};
  for (int i = 0; i < 30; ++i) log.insert(log.end(), {"abort", Progress(i, 510)});
  for (int k = 0; k < 24; ++k) log.push_back(Progress(k + 24, 408));
  log.push_back("abort");
  for (int step = 3; step <= 17; ++step) log.insert(log.end(), {"iterate -1", Progress(step, 17)});
  return log;
}

// 105mm prime: entry poll; per pair progress i/780 then a poll; per bundle a
// progress step then a poll before each of its five streaks; per graded streak
// a poll then 62/520; 5/27 after the vertical streaks; then the element chain:
// "s" a profile stamp, "r" the ray stamp, a number the progress step after it.
Log Prime105Log() {
  Log log{"abort"};
  for (int i = 0; i < 30; ++i) log.insert(log.end(), {Progress(i, 780), "abort"});
  for (int k = 0; k < 2; ++k) {
    log.push_back(Progress(k + 2, 52));
    for (int j = 0; j < 5; ++j) log.push_back("abort");
  }
  for (int m = 0; m < 20; ++m) log.insert(log.end(), {"abort", Progress(62, 520)});
  log.push_back(Progress(5, 27));
  // The rays are the one stamp run as a single invocation.
  for (const std::string item : {"s", "6", "r", "7", "s", "8", "s", "9", "s", "10", "s", "11", "s", "12", "s",
                                 "13", "s", "14", "s", "15", "s", "16", "s", "17", "s", "18", "s", "s", "s", "19",
                                 "s", "s", "20", "s", "21", "s", "s", "22", "s", "s", "s", "23", "s", "s", "24",
                                 "s", "25", "s", "26", "s", "27"})
    log.push_back(item == "s" ? "iterate -1" : item == "r" ? "iterate 1" : Progress(std::stoi(item), 27));
  return log;
}

struct Lens {
  const char* name;
  LensProgramFn program;
  Log (*fullLog)();
};

const Lens kZoom{"zoom", &Zoom50To300LensProgram, &ZoomLog};
const Lens kPrime35{"prime35", &Prime35LensProgram, &Prime35Log};
const Lens kPrime105{"prime105", &Prime105LensProgram, &Prime105Log};

// The log up to and including the n-th (0-based) entry that starts with `kind`.
Log PrefixThrough(const Log& log, const std::string& kind, int n) {
  Log prefix;
  for (const std::string& e : log) {
    prefix.push_back(e);
    if (e.rfind(kind, 0) == 0 && n-- == 0) return prefix;
  }
  ADD_FAILURE() << "too few " << kind;
  return prefix;
}

struct Outcome {
  int16_t status;
  Log log;
  bool black;  // nothing drawn
};

Outcome RunLens(const Lens& lens, int64_t abortAtPoll, int64_t failAtStamp, int16_t failure = 0) {
  FakeHost host;
  host.threads = 2;
  host.abortAfterPolls = abortAtPoll;
  host.iterateFailure = failure;
  host.failIterateAt = failAtStamp;
  TestCanvas canvas(96, 64, host);
  canvas.context.frame.centerX = 0.3f;
  canvas.context.frame.centerY = 0.6f;
  StampRecorder recorder(host, canvas);
  lens.program(canvas.context.frame, canvas.context);
  bool black = true;
  for (int32_t y = 0; y < canvas.height; ++y)
    for (int32_t x = 0; x < canvas.width; ++x)
      for (int c = 1; c <= 3; ++c) black = black && canvas.At(x, y, c) == 0;
  return {LoadStatus(canvas.context), host.log, black};
}

TEST(LensHostCalls, CompleteRenderMakesTheRecipesCallsInOrder) {
  for (const Lens* lens : {&kZoom, &kPrime35, &kPrime105}) {
    SCOPED_TRACE(lens->name);
    const Outcome outcome = RunLens(*lens, -1, 0);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.log, lens->fullLog());
  }
}

// A cancel seen at poll n: status 1 and the log ends with that poll (so nothing
// is stamped after it, nor progress reported); streaks drawn before it stay.
TEST(LensHostCalls, CancelStopsAtThePollThatSawIt) {
  struct Case {
    const Lens* lens;
    int poll;    // 0-based, counting the program's own polls
    bool black;  // nothing drawn yet
  } cases[] = {
      {&kZoom, 0, true},         // at entry
      {&kZoom, 1, true},         // at streak 0, after its progress 0/760
      {&kZoom, 101, false},      // at streak 100
      {&kZoom, 191, false},      // the poll after the spray
      {&kPrime35, 0, true},      {&kPrime35, 1, true},  // at streak 0, before its progress
      {&kPrime35, 30, false},    // at streak 29
      {&kPrime35, 31, false},    // after the whole fan: 47/408
      {&kPrime105, 0, true},     {&kPrime105, 1, true},  // at pair 0
      {&kPrime105, 31, false},   // first streak of the first bundle
      {&kPrime105, 37, false},   // second streak of the second bundle
      {&kPrime105, 41, false},   // first graded streak, before its 62/520
      {&kPrime105, 60, false},   // last graded streak
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lens->name) + " poll " + std::to_string(c.poll));
    const Outcome outcome = RunLens(*c.lens, c.poll, 0);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.log, PrefixThrough(c.lens->fullLog(), "abort", c.poll));
    EXPECT_EQ(outcome.black, c.black);
  }
}

// A stamp that fails ends the program with the host's code: the log ends with
// that stamp, so the progress step after it is not reported.
TEST(LensHostCalls, FailedStampEndsTheProgramWithItsStatus) {
  const std::pair<const Lens*, int> cases[] = {  // lens, 0-based stamp
      {&kZoom, 0},   // the central glow, after 189/760
      {&kZoom, 4},   // t = 41: steps 5 to 8 reported, 9 not
      {&kZoom, 15},  // the last
      {&kPrime35, 0}, {&kPrime35, 10}, {&kPrime35, 14},  // t = -180 is 10: 12/17 reported, 13 not
      {&kPrime105, 0},   // the central glow
      {&kPrime105, 1},   // the rays
      {&kPrime105, 14},  // k = 1.41, between two stamps of one profile
      {&kPrime105, 21},  // k = -2.5, after step 22
      {&kPrime105, 28},
  };
  for (int16_t failure : {int16_t{517}, int16_t{-7}}) {
    for (const auto& [lens, stamp] : cases) {
      SCOPED_TRACE(std::string(lens->name) + " stamp " + std::to_string(stamp));
      const Outcome outcome = RunLens(*lens, -1, stamp, failure);
      EXPECT_EQ(outcome.status, failure);
      EXPECT_EQ(outcome.log, PrefixThrough(lens->fullLog(), "iterate", stamp));
    }
  }
}

}  // namespace
