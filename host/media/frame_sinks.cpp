#include "host/media/frame_sinks.h"

#include <filesystem>

#include "host/core/host_error.h"
#include "host/media/image_io.h"
#include "host/media/media_paths.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

ImageTraits TraitsWithAspect(const FrameSource& source, int64_t frameNumber, std::optional<double> aspect) {
  ImageTraits traits = source.TraitsOf(frameNumber);
  if (aspect) traits.pixelAspect = *aspect;
  return traits;
}

class ImageSink final : public FrameSink {
 public:
  ImageSink(std::string path, const FrameSource& source, std::optional<double> aspect)
      : path_(std::move(path)), source_(source), aspect_(aspect) {}
  void Write(int64_t frameNumber, const ImageBuffer& frame) override {
    WriteImage(frame, path_, TraitsWithAspect(source_, frameNumber, aspect_));
  }
  // A stop asked for before the one frame is written leaves no file at all.
  bool keepsNothingOnAbandon() const override { return true; }
  std::string NameFor(int64_t) const override { return path_; }

 private:
  std::string path_;
  const FrameSource& source_;
  std::optional<double> aspect_;
};

class SequenceSink final : public FrameSink {
 public:
  SequenceSink(SequencePattern pattern, const FrameSource& source, std::optional<double> aspect)
      : pattern_(std::move(pattern)), source_(source), aspect_(aspect) {}
  void Write(int64_t frameNumber, const ImageBuffer& frame) override {
    WriteImage(frame, pattern_.PathFor(frameNumber), TraitsWithAspect(source_, frameNumber, aspect_));
  }
  // Every write has a temporary of its own, so frames may be written at once.
  bool writesFramesAtOnce() const override { return true; }
  void Discard(int64_t frameNumber) noexcept override {
    std::error_code ec;
    fs::remove(pattern_.PathFor(frameNumber), ec);
  }
  std::string NameFor(int64_t frameNumber) const override { return pattern_.PathFor(frameNumber); }

 private:
  SequencePattern pattern_;
  const FrameSource& source_;
  std::optional<double> aspect_;
};

class VideoSink final : public FrameSink {
 public:
  VideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate, std::optional<AudioSource> audio,
            const VideoStyle& style)
      : path_(path), writer_(path, width, height, rate, std::move(audio), style) {}
  void Write(int64_t, const ImageBuffer& frame) override { writer_.WriteFrame(frame); }
  bool Finish(const CancelToken* cancel) override { return writer_.Finish(cancel); }
  bool encodes() const override { return true; }
  void Abandon() noexcept override { writer_.Abandon(); }
  bool keepsNothingOnAbandon() const override { return true; }
  std::string NameFor(int64_t) const override { return path_; }

 private:
  std::string path_;
  VideoWriter writer_;
};

}  // namespace

std::unique_ptr<FrameSink> OpenImageSink(const std::string& path, const FrameSource& source,
                                         std::optional<double> aspect) {
  return std::make_unique<ImageSink>(path, source, aspect);
}

std::unique_ptr<FrameSink> OpenSequenceSink(const std::string& patternText, const FrameSource& source,
                                            std::optional<double> aspect) {
  const std::optional<SequencePattern> pattern = SequencePattern::Parse(patternText);
  if (!pattern) throw HostError(patternText + ": not a sequence pattern (use name.%04d.ext or name.####.ext)");
  return std::make_unique<SequenceSink>(*pattern, source, aspect);
}

std::unique_ptr<FrameSink> OpenVideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                                         std::optional<AudioSource> audio, const VideoStyle& style) {
  return std::make_unique<VideoSink>(path, width, height, rate, std::move(audio), style);
}

}  // namespace lfhost
