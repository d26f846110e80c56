// The steps of a sequence run on scripted sources and sinks: the in-order
// writer given frames that arrive, end, fail or are held out of order, and
// whole runs stopped at each step (a read, a render, a write, the finish),
// each leaving the frames from the first on without a gap and counting them.
#include "host/media/sequence_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <thread>

#include "host/core/host_error.h"
#include "tests/host/module_fixture.h"

namespace {

using Indices = std::vector<size_t>;

// Frame numbers start at 100, so that an index taken for a number shows.
int64_t Number(size_t index) { return 100 + static_cast<int64_t>(index); }
size_t Index(int64_t number) { return static_cast<size_t>(number - 100); }

// What a scripted sink does. A frame listed in `endOrder` ends its write only
// after those listed before it have ended theirs (frames written at once end in
// any order). The write of `failAt` throws; after the write of `stopAt` the run
// is stopped (the sink's `stopped`, and the cancel token when given).
struct SinkScript {
  bool atOnce = false;
  bool keepsNothing = false;   // all or nothing, as a video
  Indices endOrder;
  std::optional<size_t> failAt, stopAt;
  enum Finish { Finishes, FinishThrows, FinishCancelled } finish = Finishes;

  SinkScript& AtOnce(Indices order = {}) { atOnce = true; endOrder = std::move(order); return *this; }
  SinkScript& KeepsNothing() { keepsNothing = true; return *this; }
  SinkScript& Fails(size_t index) { failAt = index; return *this; }
  SinkScript& Stops(size_t index) { stopAt = index; return *this; }
  SinkScript& Ends(Finish how) { finish = how; return *this; }
};

class ScriptedSink final : public lfhost::FrameSink {
 public:
  ScriptedSink(SinkScript script, lfhost::CancelToken* cancel) : script_(std::move(script)), cancel_(cancel) {}

  void Write(int64_t number, const lfhost::MediaFrame&) override {
    const size_t index = Index(number);
    std::unique_lock<std::mutex> lock(mutex_);
    const auto at = std::find(script_.endOrder.begin(), script_.endOrder.end(), index);
    const bool inTurn = at == script_.endOrder.end() || changed_.wait_for(lock, std::chrono::seconds(60), [&] {
      return std::all_of(script_.endOrder.begin(), at, [&](size_t before) { return ended_.count(before) != 0; });
    });
    ended_.insert(index);
    changed_.notify_all();
    if (!inTurn) throw lfhost::HostError(NameFor(number) + ": the frames before it never ended");
    if (index == script_.failAt) throw lfhost::HostError(NameFor(number) + ": disk full");
    written.push_back(index);
    kept.insert(index);
    if (index == script_.stopAt) {
      stopped = true;
      if (cancel_) cancel_->Request();
    }
  }
  bool writesFramesAtOnce() const override { return script_.atOnce; }
  bool keepsNothingOnAbandon() const override { return script_.keepsNothing; }
  void Discard(int64_t number) noexcept override {
    discarded.push_back(Index(number));
    kept.erase(Index(number));
  }
  bool Finish(const lfhost::CancelToken*) override {
    finishCalled = true;
    if (script_.finish == SinkScript::FinishThrows) throw lfhost::HostError("f.mkv: cannot encode the video");
    return script_.finish != SinkScript::FinishCancelled;
  }
  void Abandon() noexcept override { abandoned = true; }
  std::string NameFor(int64_t number) const override { return "f." + std::to_string(number); }

  // In the order the writes ended; read once the run is over.
  Indices written, discarded;
  std::set<size_t> kept;
  std::atomic<bool> stopped{false};
  bool finishCalled = false, abandoned = false;

 private:
  const SinkScript script_;
  lfhost::CancelToken* const cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<size_t> ended_;
};

// Each frame comes to the writer on a thread of its own, the threads started
// in `arrive` order; the frame at `hold` is held instead of written.
TEST(InOrderWriterTest, WritesInTurnWhateverOrderFramesArriveOrEndIn) {
  struct Case {
    SinkScript sink;
    Indices arrive;
    std::optional<size_t> hold;
    Indices written;   // in the order the writes ended
    size_t prefix;
    std::set<size_t> beyond, threw;
  };
  const std::vector<Case> cases = {
      {{}, {3, 1, 0, 2, 4}, {}, {0, 1, 2, 3, 4}, 5, {}, {}},
      {{}, {4, 3, 2, 1, 0}, 2, {0, 1}, 2, {}, {}},
      {SinkScript().Fails(1), {2, 1, 0, 3}, {}, {0}, 1, {}, {1}},
      // A stop: an image sequence writes what was rendered, a video no more.
      {SinkScript().Stops(1), {3, 2, 1, 0}, {}, {0, 1, 2, 3}, 4, {}, {}},
      {SinkScript().KeepsNothing().Stops(1), {3, 2, 1, 0}, {}, {0, 1}, 2, {}, {}},
      // Written at once: frames end out of order, the count from the first
      // on follows; a failed frame leaves those after it beyond the gap.
      {SinkScript().AtOnce({2, 0, 3, 1}), {0, 1, 2, 3}, {}, {2, 0, 3, 1}, 4, {}, {}},
      {SinkScript().AtOnce({0, 2, 3, 1}).Fails(1), {3, 2, 1, 0}, {}, {0, 2, 3}, 1, {2, 3}, {1}},
      {SinkScript().AtOnce(), {1, 2, 0}, 0, {}, 0, {}, {}},
  };
  for (size_t c = 0; c < cases.size(); ++c) {
    const Case& k = cases[c];
    ScriptedSink sink(k.sink, nullptr);
    lfhost::InOrderWriter writer(sink, nullptr);
    std::vector<int> wrote(k.arrive.size(), 0), threw(k.arrive.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i : k.arrive) {
      threads.emplace_back([&, i] {
        if (i == k.hold) return writer.Hold(i);
        try {
          wrote[i] = writer.Write(i, Number(i), lfhost::MediaFrame(), [&] { return sink.stopped.load(); });
        } catch (const lfhost::HostError& e) {
          threw[i] = 1;
          EXPECT_EQ(std::string(e.what()), "f." + std::to_string(Number(i)) + ": disk full") << c;
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(sink.written, k.written) << c;
    EXPECT_EQ(writer.written().prefix(), k.prefix) << c;
    EXPECT_EQ(writer.written().beyond(), k.beyond) << c;
    EXPECT_EQ(writer.writeCount(), static_cast<int64_t>(k.written.size())) << c;
    for (size_t i = 0; i < k.arrive.size(); ++i) {
      EXPECT_EQ(wrote[i], std::count(k.written.begin(), k.written.end(), i)) << c << " frame " << i;
      EXPECT_EQ(threw[i], static_cast<int>(k.threw.count(i))) << c << " frame " << i;
    }
  }
}

// Six frames, numbered 100 to 105; reading the frame at `failAt` throws,
// reading the one at `cancelAt` asks to cancel.
class ScriptedSource final : public lfhost::FrameSource {
 public:
  ScriptedSource(std::optional<size_t> failAt, std::optional<size_t> cancelAt, lfhost::CancelToken& cancel)
      : failAt_(failAt), cancelAt_(cancelAt), cancel_(cancel) {
    for (size_t i = 0; i < 6; ++i) numbers_.push_back(Number(i));
    width_ = height_ = 8;
  }
  lfhost::MediaFrame ReadNext() override {
    const size_t index = read_++;
    if (index == failAt_) throw lfhost::HostError("cannot read frame " + std::to_string(Number(index)));
    if (index == cancelAt_) cancel_.Request();
    return lftest::OpaqueFrame(8, 8, static_cast<uint8_t>(index));
  }

 private:
  const std::optional<size_t> failAt_, cancelAt_;
  lfhost::CancelToken& cancel_;
  size_t read_ = 0;
};

// Runs the six frames of a scripted source into `sink`, with `inFlight` slots.
// With `effect`, the module renders every frame with keyed brightness.
lfhost::RenderOutcome RunScripted(ScriptedSource& source, ScriptedSink& sink, lfhost::CancelToken& cancel, int inFlight,
                                  bool effect) {
  std::unique_ptr<lfhost::EffectInstance> instance;
  if (effect) {
    instance = std::make_unique<lfhost::EffectInstance>(lftest::TestModule(), lftest::TestPool(), &cancel);
    instance->Validate();
    instance->Start();
  }
  lfhost::ProgressDisplay progress(lfhost::ProgressMode::Quiet, source.frameCount(), stderr);
  lfhost::RenderJob job;
  job.source = &source;
  job.sink = &sink;
  job.effect = instance.get();
  std::optional<lfhost::CheckedControls> checked;
  if (instance) {
    lfhost::AnimatedControls keys;
    for (int64_t frame : {100, 102, 103, 104}) lfhost::AddTrackValue(keys.brightness, frame, 50.0 + frame - 100);
    checked.emplace(std::move(keys), instance->controls(), 8, 8);
    job.controls = &*checked;
  }
  job.cancel = &cancel;
  job.progress = &progress;
  job.framesInFlight = inFlight;
  const lfhost::RenderOutcome outcome = lfhost::SequenceRun(job).Run();
  // The instances made for the other slots kept the protocol too.
  if (instance) {
    EXPECT_EQ(instance->Shutdown(), lftest::kNoFaults);
  }
  return outcome;
}

// A run stopped at each step keeps the frames from the first on, without a
// gap, and counts them; a frame in flight when a cancel comes may or may not be
// written, hence a least and a most.
TEST(SequenceRunTest, AStopAtEachStepKeepsTheFramesBeforeItAndCountsThem) {
  struct Case {
    std::string step;
    int inFlight;
    std::optional<size_t> readFails, cancelAtRead;
    SinkScript sink;
    bool effect;
    size_t least, most;   // frames kept
    std::optional<std::string> error;
    bool cancelled, finishCalled, abandoned;
    Indices discardedAtLeast = {};
  };
  const std::vector<Case> cases = {
      {"none", 1, {}, {}, {}, false, 6, 6, {}, false, true, false},
      {"none", 3, {}, {}, SinkScript().AtOnce(), true, 6, 6, {}, false, true, false},
      {"read", 1, 3, {}, {}, false, 3, 3, "cannot read frame 103", false, false, true},
      {"read", 3, 3, {}, SinkScript().AtOnce(), true, 3, 3, "cannot read frame 103", false, false, true},
      // A cancel while frame 103 is read, caught as it is about to render.
      {"render cancel", 1, {}, 3, {}, false, 3, 3, {}, true, false, true},
      {"render cancel", 3, {}, 3, SinkScript().AtOnce(), true, 1, 3, {}, true, false, true},
      {"write", 3, {}, {}, SinkScript().Fails(2), false, 2, 2, "f.102: disk full", false, false, true},
      {"write", 3, {}, {}, SinkScript().AtOnce({0, 2, 3, 1}).Fails(1), false, 1, 1, "f.101: disk full",
       false, false, true, {2, 3}},
      {"write cancel", 1, {}, {}, SinkScript().Stops(2), false, 3, 3, {}, true, false, true},
      // Frames 103 and 104, rendered or not, end their writes after 102's, so
      // that no slot is free to read 105 before the stop.
      {"write cancel", 3, {}, {}, SinkScript().AtOnce({2, 3, 4}).Stops(2), true, 3, 5, {}, true, false, true},
      {"write cancel", 3, {}, {}, SinkScript().KeepsNothing().Stops(2), false, 3, 3, {}, true, false, true},
      {"finish", 3, {}, {}, SinkScript().Ends(SinkScript::FinishThrows), false, 6, 6, "f.mkv: cannot encode the video", false,
       true, true},
      {"finish cancel", 3, {}, {}, SinkScript().Ends(SinkScript::FinishCancelled), false, 6, 6, {}, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step + ", " + std::to_string(c.inFlight) + " in flight");
    lfhost::CancelToken cancel;
    ScriptedSource source(c.readFails, c.cancelAtRead, cancel);
    ScriptedSink sink(c.sink, &cancel);
    const lfhost::RenderOutcome outcome = RunScripted(source, sink, cancel, c.inFlight, c.effect);

    const size_t kept = static_cast<size_t>(outcome.framesWritten);
    EXPECT_GE(kept, c.least);
    EXPECT_LE(kept, c.most);
    Indices prefix(kept);
    std::iota(prefix.begin(), prefix.end(), size_t{0});
    EXPECT_EQ(sink.kept, std::set<size_t>(prefix.begin(), prefix.end()));
    EXPECT_EQ(outcome.framesTotal, 6);
    EXPECT_EQ(outcome.firstWritten, kept ? std::optional<int64_t>(100) : std::nullopt);
    EXPECT_EQ(outcome.lastWritten, kept ? std::optional<int64_t>(Number(kept - 1)) : std::nullopt);
    // What was removed again is what was written beyond the gap.
    Indices discarded;
    for (int64_t number : outcome.discarded) discarded.push_back(Index(number));
    EXPECT_EQ(discarded, sink.discarded);
    for (size_t i : c.discardedAtLeast) EXPECT_EQ(std::count(discarded.begin(), discarded.end(), i), 1) << i;
    EXPECT_EQ(sink.written.size(), kept + discarded.size());
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.cancelled, c.cancelled);
    EXPECT_EQ(std::pair(sink.finishCalled, sink.abandoned), std::pair(c.finishCalled, c.abandoned));
  }
}

}  // namespace
