#include "host/media/frame_sinks.h"

#include <filesystem>

#include "host/core/host_error.h"
#include "host/media/image_io.h"
#include "host/media/media_paths.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

// How a frame of `source` goes to an image file.
class ImageWriter {
 public:
  ImageWriter(const FrameSource& source, std::optional<double> aspect, PlateWriting plates)
      : source_(source), aspect_(aspect), plates_(plates) {}
  void Write(const std::string& path, int64_t frameNumber, const MediaFrame& frame) const {
    if (frame.deep()) return WritePlate(frame.plate, path, plates_);
    ImageTraits traits = source_.TraitsOf(frameNumber);
    if (aspect_) traits.pixelAspect = *aspect_;
    if (plates_.jpegQuality) traits.jpegQuality = plates_.jpegQuality;
    WriteImage(frame.image, path, traits);
  }

 private:
  const FrameSource& source_;
  std::optional<double> aspect_;
  PlateWriting plates_;
};

class ImageSink final : public FrameSink {
 public:
  ImageSink(std::string path, ImageWriter writer) : path_(std::move(path)), writer_(std::move(writer)) {}
  void Write(int64_t frameNumber, const MediaFrame& frame) override { writer_.Write(path_, frameNumber, frame); }
  // A stop asked for before the one frame is written leaves no file at all.
  bool keepsNothingOnAbandon() const override { return true; }
  std::string NameFor(int64_t) const override { return path_; }

 private:
  std::string path_;
  ImageWriter writer_;
};

class SequenceSink final : public FrameSink {
 public:
  SequenceSink(SequencePattern pattern, ImageWriter writer) : pattern_(std::move(pattern)), writer_(std::move(writer)) {}
  void Write(int64_t frameNumber, const MediaFrame& frame) override {
    writer_.Write(pattern_.PathFor(frameNumber), frameNumber, frame);
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
  ImageWriter writer_;
};

class VideoSink final : public FrameSink {
 public:
  VideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate, std::optional<AudioSource> audio,
            const VideoStyle& style)
      : path_(path), writer_(path, width, height, rate, std::move(audio), style) {}
  // A plate comes only to a video opened for deep frames (VideoStyle::deep),
  // stored samples only to one opened for them (VideoStyle::samples).
  void Write(int64_t, const MediaFrame& frame) override {
    if (frame.deep()) return writer_.WriteFrame(frame.plate.image());
    if (frame.stored()) return writer_.WriteSamples(frame.samples);
    writer_.WriteFrame(frame.image);
  }
  bool Finish(const CancelToken* cancel) override { return writer_.Finish(cancel); }
  bool encodes() const override { return true; }
  void Abandon() noexcept override { writer_.Abandon(); }
  bool keepsNothingOnAbandon() const override { return true; }
  std::string NameFor(int64_t) const override { return path_; }

 private:
  std::string path_;
  VideoWriter writer_;
};

class PairedSink final : public FrameSink {
 public:
  PairedSink(std::unique_ptr<FrameSink> plate, std::unique_ptr<FrameSink> flare)
      : plate_(std::move(plate)), flare_(std::move(flare)) {}
  void Write(int64_t frameNumber, const MediaFrame& frame) override {
    if (!frame.flare) throw HostError(NameFor(frameNumber) + ": no flare layer came with the frame");
    plate_->Write(frameNumber, frame);
    try {
      flare_->Write(frameNumber, *frame.flare);
    } catch (...) {
      plate_->Discard(frameNumber);
      throw;
    }
  }
  bool writesFramesAtOnce() const override { return plate_->writesFramesAtOnce() && flare_->writesFramesAtOnce(); }
  void Discard(int64_t frameNumber) noexcept override {
    plate_->Discard(frameNumber);
    flare_->Discard(frameNumber);
  }
  bool Finish(const CancelToken* cancel) override { return plate_->Finish(cancel) && flare_->Finish(cancel); }
  bool encodes() const override { return plate_->encodes() || flare_->encodes(); }
  void Abandon() noexcept override {
    plate_->Abandon();
    flare_->Abandon();
  }
  bool keepsNothingOnAbandon() const override { return plate_->keepsNothingOnAbandon(); }
  std::string NameFor(int64_t frameNumber) const override { return plate_->NameFor(frameNumber); }
  std::vector<std::string> NamesFor(int64_t frameNumber) const override {
    return {plate_->NameFor(frameNumber), flare_->NameFor(frameNumber)};
  }

 private:
  std::unique_ptr<FrameSink> plate_, flare_;
};

}  // namespace

std::unique_ptr<FrameSink> OpenImageSink(const std::string& path, const FrameSource& source,
                                         std::optional<double> aspect, const PlateWriting& plates) {
  return std::make_unique<ImageSink>(path, ImageWriter(source, aspect, plates));
}

std::unique_ptr<FrameSink> OpenSequenceSink(const std::string& patternText, const FrameSource& source,
                                            std::optional<double> aspect, const PlateWriting& plates) {
  const std::optional<SequencePattern> pattern = SequencePattern::Parse(patternText);
  if (!pattern) throw HostError(patternText + ": not a sequence pattern (use name.%04d.ext or name.####.ext)");
  return std::make_unique<SequenceSink>(*pattern, ImageWriter(source, aspect, plates));
}

std::unique_ptr<FrameSink> OpenPairedSink(std::unique_ptr<FrameSink> plate, std::unique_ptr<FrameSink> flare) {
  return std::make_unique<PairedSink>(std::move(plate), std::move(flare));
}

std::unique_ptr<FrameSink> OpenVideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                                         std::optional<AudioSource> audio, const VideoStyle& style) {
  return std::make_unique<VideoSink>(path, width, height, rate, std::move(audio), style);
}

}  // namespace lfhost
