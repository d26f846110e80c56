#include "host/media/video_writer.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "host/core/host_error.h"
#include "host/media/files.h"
#include "host/media/video_probe.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

std::string Size(int32_t w, int32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

// Where R, G, B, A are among ffmpeg's planes G, B, R, A.
constexpr int kPlaneOf[4] = {2, 0, 1, 3};

void FrameToPlanes(const ImageBuffer& frame, uint8_t* planes) {
  const size_t plane = static_cast<size_t>(frame.width()) * frame.height();
  for (int32_t y = 0; y < frame.height(); ++y) {
    const size_t at = static_cast<size_t>(y) * frame.width();
    const uint8_t* p = frame.row(y);
    for (int32_t x = 0; x < frame.width(); ++x, p += 4) {
      planes[3 * plane + at + x] = p[0];
      planes[2 * plane + at + x] = p[1];
      planes[at + x] = p[2];
      planes[plane + at + x] = p[3];
    }
  }
}

// The audio input: the part of the source's audio under the frames.
std::vector<std::string> AudioInput(const AudioSource& audio) {
  char start[32];
  std::snprintf(start, sizeof start, "%.6f", audio.startSeconds);
  std::vector<std::string> v = {"-ss", start};
  if (audio.durationSeconds) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.6f", *audio.durationSeconds);
    v.insert(v.end(), {"-t", duration});
  }
  v.insert(v.end(), {"-i", audio.path, "-map", "0:v:0", "-map", "1:a:0?"});
  return v;
}

// Copied as it is coded where the container holds that (a part is cut at the
// audio's own packets, a few milliseconds each), re-encoded otherwise.
std::vector<std::string> AudioOutput(const std::string& path, const AudioSource& audio) {
  const VideoContainer& container = *FindContainer(ExtensionOf(path));
  const std::string codec = AudioCodecOf(audio.path);
  if (codec.empty() || container.HoldsAudio(codec)) return {"-c:a", "copy"};
  std::fprintf(stderr, "lensflare: %s: a %s file cannot hold %s audio as it is; it is re-encoded as %s\n", path.c_str(),
               container.extension, codec.c_str(), container.audioEncoding[1].c_str());
  return container.audioEncoding;
}

}  // namespace

VideoWriter::VideoWriter(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                         std::optional<AudioSource> audio, const VideoStyle& style)
    : path_(path), width_(width), height_(height), deep_(style.deep), samples_(style.samples), alpha_(style.alpha) {
  plan_ = PlanEncoder(path, width, height, style);
  temporary_ = TemporaryPathBeside(path);
  interruptMark_ = std::make_unique<RemoveOnSecondInterrupt>(temporary_);
  // Stored samples the output keeps unchanged are encoded in this process,
  // and stored here too unless there is audio to carry: then ffmpeg stores
  // the coded stream beside it, its frames counted at the rate given.
  const bool inProcess = !samples_.empty() && samples_ == plan_.encoding.pixelFormat && plan_.travelsCoded;
  if (inProcess && !audio) {
    Encoding([&] {
      encoder_ = std::make_unique<SampleEncoder>(plan_.encoding, width, height, rate, temporary_, plan_.muxing);
    });
    return;
  }
  // Deep frames without alpha cross the pipe without an alpha plane.
  const int32_t planes = deep_ && !alpha_ ? 3 : 4;
  const std::string raw = !samples_.empty() ? samples_ : !deep_ ? "gbrap" : planes == 4 ? "gbrap16le" : "gbrp16le";
  std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y"};
  if (inProcess) argv.insert(argv.end(), {"-f", "nut", "-r", rate.text(), "-i", "pipe:0"});
  else argv.insert(argv.end(), {"-f", "rawvideo", "-pix_fmt", raw, "-s", Size(width, height), "-framerate", rate.text(),
                                "-i", "pipe:0"});
  const std::vector<std::string> input = audio ? AudioInput(*audio) : std::vector<std::string>{"-map", "0:v:0"};
  argv.insert(argv.end(), input.begin(), input.end());
  const std::vector<std::string> output = inProcess ? plan_.CopyArguments() : plan_.EncodingArguments();
  argv.insert(argv.end(), output.begin(), output.end());
  if (audio) {
    const std::vector<std::string> sound = AudioOutput(path, *audio);
    argv.insert(argv.end(), sound.begin(), sound.end());
  }
  argv.push_back(temporary_);
  ffmpeg_ = std::make_unique<Subprocess>(argv, true, false);
  if (inProcess) {
    const SampleEncoder::Sink pipe = [this](const uint8_t* bytes, size_t size) {
      pipeClosed_ = !ffmpeg_->WriteAll(bytes, size);
      return !pipeClosed_;
    };
    Encoding([&] { encoder_ = std::make_unique<SampleEncoder>(plan_.encoding, width, height, rate, pipe); });
    return;
  }
  if (samples_.empty()) packed_.resize(static_cast<size_t>(width) * height * planes * (deep_ ? 2 : 1));
}

VideoWriter::~VideoWriter() {
  if (!finished_) Abandon();
}

void VideoWriter::Fail(const std::string& why) {
  const std::string line = ffmpeg_ ? ffmpeg_->LastErrorLine() : "";
  Abandon();
  throw HostError(path_ + ": cannot encode the video (" + (line.empty() ? why : line) + ")");
}

void VideoWriter::CheckFrame(int32_t width, int32_t height) {
  if ((!ffmpeg_ && !encoder_) || finished_) throw HostError(path_ + ": the video is already closed");
  if (width != width_ || height != height_) Fail("frame of " + Size(width, height) + " in a video of " + Size(width_, height_));
}

void VideoWriter::Send(const uint8_t* bytes, size_t size) {
  if (!ffmpeg_->WriteAll(bytes, size)) {
    ffmpeg_->Wait();
    Fail("ffmpeg stopped");
  }
}

void VideoWriter::Encoding(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    if (pipeClosed_) {   // ffmpeg ended; what it said is the reason
      ffmpeg_->Wait();
      Fail("ffmpeg stopped");
    }
    Fail(e.what());
  }
}

void VideoWriter::WriteFrame(const ImageBuffer& frame) {
  if (deep_ || !samples_.empty()) throw std::logic_error("VideoWriter: an 8-bit frame for a video of other frames");
  CheckFrame(frame.width(), frame.height());
  FrameToPlanes(frame, packed_.data());
  Send(packed_.data(), packed_.size());
}

void VideoWriter::WriteFrame(const OIIO::ImageBuf& frame) {
  if (!deep_) throw std::logic_error("VideoWriter: a deep frame for a video of other frames");
  OIIO::ROI roi = frame.roi();
  CheckFrame(roi.width(), roi.height());
  if (roi.nchannels() < 3) Fail("a frame of " + std::to_string(roi.nchannels()) + " channels; it takes R, G, B");
  const size_t plane = static_cast<size_t>(width_) * height_ * 2;
  for (int c = 0; c < (alpha_ ? 4 : 3); ++c) {
    uint8_t* to = packed_.data() + kPlaneOf[c] * plane;
    roi.chbegin = c;
    roi.chend = c + 1;
    if (c < frame.nchannels()) frame.get_pixels(roi, OIIO::TypeDesc::UINT16, to);
    else std::memset(to, 0xFF, plane);   // opaque: 65535
  }
  Send(packed_.data(), packed_.size());
}

void VideoWriter::WriteSamples(const VideoSamples& frame) {
  if (samples_.empty()) throw std::logic_error("VideoWriter: stored samples for a video of other frames");
  CheckFrame(frame.width(), frame.height());
  if (frame.layout().pixelFormat != samples_) {
    Fail("frame of " + frame.layout().pixelFormat + " samples in a video of " + samples_ + " samples");
  }
  if (encoder_) return Encoding([&] { encoder_->Encode(frame); });
  Send(frame.data(), frame.size());
}

bool VideoWriter::Finish(const CancelToken* cancel) {
  if (finished_) return true;
  if (!ffmpeg_ && !encoder_) throw HostError(path_ + ": the video was abandoned");
  if (encoder_) {
    // The encoder's look-ahead gives its last frames only now, before the
    // file (or ffmpeg) sees the end of the stream.
    bool ended = false;
    Encoding([&] { ended = encoder_->Finish(cancel); });
    encoder_.reset();
    if (!ended) {
      Abandon();
      return false;
    }
  }
  // The encoder's look-ahead and the muxer's last pass can take a while after
  // the last frame; Ctrl-C is honoured meanwhile.
  std::optional<int> ended;
  while (ffmpeg_ && !(ended = ffmpeg_->Poll())) {
    if (cancel && cancel->requested()) {
      Abandon();
      return false;
    }
    usleep(20000);
  }
  if (ended && *ended != 0) Fail("ffmpeg failed with status " + std::to_string(*ended));
  try {
    SyncFile(temporary_, path_);
  } catch (const HostError&) {
    Abandon();
    throw;
  }
  // A cancel that came as ffmpeg ended or while the file went to the disk
  // still leaves nothing: the video exists from the rename on, not before.
  if (cancel && cancel->requested()) {
    Abandon();
    return false;
  }
  std::error_code ec;
  fs::rename(temporary_, path_, ec);
  if (ec) Fail(ec.message());
  finished_ = true;
  interruptMark_.reset();
  ffmpeg_.reset();
  return true;
}

void VideoWriter::Abandon() noexcept {
  encoder_.reset();
  if (ffmpeg_) ffmpeg_->Kill();
  ffmpeg_.reset();
  std::error_code ec;
  if (!finished_) fs::remove(temporary_, ec);
  interruptMark_.reset();
}

}  // namespace lfhost
