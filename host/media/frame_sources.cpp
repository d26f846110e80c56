#include "host/media/frame_sources.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <tuple>

#include <OpenImageIO/imagebufalgo.h>

#include "host/core/builtin_frame.h"
#include "host/core/host_error.h"
#include "host/media/files.h"
#include "host/media/image_io.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

std::string Size(int32_t w, int32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

std::string RangeText(int64_t first, int64_t last) {
  return first == last ? "frame " + std::to_string(first) : "frames " + std::to_string(first) + " to " + std::to_string(last);
}

// "1005", "1005 and 1009", "1005, 1010 to 1012 and 1020": runs of frames.
std::string ListRuns(const std::vector<FrameRange>& runs) {
  std::string text;
  for (size_t i = 0; i < runs.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == runs.size() ? " and " : ", ") + std::to_string(runs[i].first) +
            (runs[i].last > runs[i].first ? " to " + std::to_string(runs[i].last) : "");
  }
  return text;
}

// A frame read as PlateReading says.
MediaFrame ReadMediaFrame(const std::string& path, const PlateReading& reading) {
  if (reading.deep) return ReadPlate(path, reading.part, reading.atLeast);
  return ReadImage(path);
}

// The frame's size: its display window as a plate, else what ReadImage reads.
std::pair<int32_t, int32_t> SizeOf(const MediaFrame& frame) {
  if (frame.deep()) return {frame.plate.width(), frame.plate.height()};
  return {frame.image.width(), frame.image.height()};
}

class SingleImageSource final : public FrameSource {
 public:
  SingleImageSource(const std::string& path, const PlateReading& reading)
      : frame_(ReadMediaFrame(path, reading)), traits_(ReadImageTraits(path)) {
    numbers_ = {0};
    std::tie(width_, height_) = SizeOf(frame_);
    alpha_ = frame_.deep() ? frame_.plate.image().spec().alpha_channel >= 0 : traits_.alpha;
  }
  MediaFrame ReadNext() override { return std::move(frame_); }
  ImageTraits TraitsOf(int64_t) const override { return traits_; }

 private:
  MediaFrame frame_;
  ImageTraits traits_;
};

class SequenceSource final : public FrameSource {
 public:
  // `frames` to render, of which `missing` have no file; `present` are all the
  // frames found, in order.
  SequenceSource(SequencePattern pattern, std::vector<int64_t> frames, std::set<int64_t> missing, MissingFrames policy,
                 std::vector<int64_t> present, PlateReading reading)
      : pattern_(std::move(pattern)),
        missing_(std::move(missing)),
        policy_(policy),
        present_(std::move(present)),
        reading_(std::move(reading)) {
    numbers_ = std::move(frames);
    // Headers first: a frame that is unreadable, too large or of another size
    // stops the run before any output exists.
    std::string firstPath;
    for (int64_t n : numbers_) {
      if (missing_.count(n)) continue;
      const std::string path = pattern_.PathFor(n);
      const OIIO::ImageSpec header = ReadImageHeader(path);
      const auto [w, h] = reading_.deep ? std::pair{header.full_width, header.full_height} : std::pair{header.width, header.height};
      if (firstPath.empty()) {
        firstPath = path;
        width_ = w;
        height_ = h;
      } else if (w != width_ || h != height_) {
        throw HostError(path + ": " + Size(w, h) + " differs from the sequence's " + Size(width_, height_) +
                        " (" + firstPath + "): every frame must have the same size");
      }
    }
    if (firstPath.empty()) throw HostError(pattern_.text() + ": none of the frames asked for exists");
    first_ = ReadImageTraits(firstPath);
    alpha_ = first_.alpha;
  }

  // Each frame's own header (its timecode, say); a missing frame's is the
  // first frame's.
  ImageTraits TraitsOf(int64_t frameNumber) const override {
    return missing_.count(frameNumber) ? first_ : ReadImageTraits(pattern_.PathFor(frameNumber));
  }

  MediaFrame ReadNext() override {
    const int64_t n = numbers_.at(next_++);
    if (!missing_.count(n)) return ReadFrame(n);
    // The frame found last before the gap; the range starts at a frame found,
    // so there is one.
    if (policy_ == MissingFrames::Hold) return ReadFrame(*std::prev(std::lower_bound(present_.begin(), present_.end(), n)));
    // Opaque black, whether or not the sequence has alpha: the flare then comes
    // out as it would over an unlit plate.
    if (reading_.deep) return BlackPlate(ReadFrame(present_.front()).plate);
    ImageBuffer black(width_, height_);
    black.Fill(255, 0, 0, 0);
    return black;
  }

 private:
  SequencePattern pattern_;
  std::set<int64_t> missing_;
  MissingFrames policy_;
  ImageTraits first_;
  std::vector<int64_t> present_;
  PlateReading reading_;
  size_t next_ = 0;

  MediaFrame ReadFrame(int64_t n) const {
    const std::string path = pattern_.PathFor(n);
    MediaFrame frame = ReadMediaFrame(path, reading_);
    if (const auto [w, h] = SizeOf(frame); w != width_ || h != height_) {
      throw HostError(path + ": " + Size(w, h) + " differs from the sequence's " + Size(width_, height_) +
                      ": every frame must have the same size");
    }
    return frame;
  }

  static Plate BlackPlate(Plate plate) {
    for (OIIO::ImageBuf& part : plate.parts) {
      OIIO::ImageBufAlgo::zero(part);
      if (const int alpha = part.spec().alpha_channel; alpha >= 0) {
        const float one[] = {1.0f};
        OIIO::ImageBufAlgo::fill(part, one, OIIO::ROI(part.roi().xbegin, part.roi().xend, part.roi().ybegin,
                                                      part.roi().yend, 0, 1, alpha, alpha + 1));
      }
    }
    return plate;
  }
};

class VideoSource final : public FrameSource {
 public:
  VideoSource(const std::string& path, std::optional<FrameRange> range, int64_t start, VideoReading reading)
      : path_(path), info_(ProbeVideo(path)), start_(start), reading_(Settle(reading, info_.format)) {
    const int64_t last = start + info_.frameCount - 1;
    FrameRange r{start, last, {}};
    if (range) {
      if (range->first < start || range->first > last || range->last > last) {
        throw RangeError("--frames " + std::to_string(range->first) + "-" + std::to_string(range->last) +
                         " is outside " + path + " (" + RangeText(start, last) + ")");
      }
      r = *range;
      ranged_ = true;
    }
    numbers_ = r.Frames();
    // Audio goes with a run of frames only.
    contiguous_ = r.picks.empty();
    width_ = info_.width;
    height_ = info_.height;
    alpha_ = PixelFormatHasAlpha(info_.format.pixelFormat);
    reader_ = std::make_unique<VideoReader>(path, info_, reading_);
  }

  MediaFrame ReadNext() override {
    const int64_t wanted = numbers_.at(next_++) - start_;
    MediaFrame frame = Blank();
    while (decoded_ <= wanted) {
      if (!Decode(frame)) {
        throw HostError(path_ + ": the video ends after " + std::to_string(decoded_) + " frames, before frame " +
                        std::to_string(wanted));
      }
      ++decoded_;
    }
    if (next_ == numbers_.size()) {
      // At the video's end the decoder is let finish, so that damage it met
      // there (a file cut short) is reported rather than passed over.
      for (MediaFrame rest = Blank(); wanted == info_.frameCount - 1 && Decode(rest);) {
      }
      reader_->Close();
    }
    if (reading_ == VideoReading::Deep) frame.plate.headers = {frame.plate.image().spec()};
    return frame;
  }

  void Close() override { reader_->Close(); }
  std::optional<FrameRate> frameRate() const override { return info_.frameRate; }
  std::optional<std::pair<double, double>> frameGaps() const override { return info_.frameGaps; }
  std::optional<std::pair<int32_t, uint32_t>> pixelAspect() const override {
    if (info_.sampleAspect.num <= 0) return std::nullopt;
    return std::pair{static_cast<int32_t>(info_.sampleAspect.num), static_cast<uint32_t>(info_.sampleAspect.den)};
  }
  std::optional<VideoFormat> videoFormat() const override {
    VideoFormat f = info_.format;
    if (!f.timecode.empty() && !numbers_.empty()) {
      f.timecode = TimecodeAfter(f.timecode, info_.frameRate, numbers_.front() - start_);
    }
    return f;
  }
  std::optional<AudioSource> audio() const override {
    if (!info_.hasAudio || !contiguous_ || numbers_.empty()) return std::nullopt;
    AudioSource a{path_, (numbers_.front() - start_) / info_.frameRate.value(), std::nullopt};
    if (ranged_) a.durationSeconds = static_cast<double>(numbers_.size()) / info_.frameRate.value();
    return a;
  }

 private:
  std::string path_;
  VideoInfo info_;
  int64_t start_;   // the number of the video's first frame
  bool ranged_ = false;
  bool contiguous_ = true;
  VideoReading reading_;   // Deep: decoded at 16 bits into a one-part plate
  std::unique_ptr<VideoReader> reader_;
  size_t next_ = 0;
  int64_t decoded_ = 0;

  // 8-bit video is read at 8 bits however deep the render; samples only where
  // the format carries them.
  static VideoReading Settle(VideoReading asked, const VideoFormat& format) {
    if (asked == VideoReading::Deep && !IsDeepVideo(format)) return VideoReading::Frames;
    if (asked == VideoReading::Samples && !CarriesStoredSamples(format)) return VideoReading::Frames;
    return asked;
  }

  MediaFrame Blank() const {
    if (reading_ == VideoReading::Samples) return VideoSamples();   // sized by the first frame decoded into it
    if (reading_ == VideoReading::Frames) return ImageBuffer(width_, height_);
    Plate plate;
    plate.parts.emplace_back();   // sized by the first frame decoded into it
    return plate;
  }
  bool Decode(MediaFrame& frame) {
    switch (reading_) {
      case VideoReading::Deep: return reader_->ReadDeepFrame(frame.plate.image());
      case VideoReading::Samples: return reader_->ReadSamples(frame.samples);
      case VideoReading::Frames: break;
    }
    return reader_->ReadFrame(frame.image);
  }
};

class BuiltinSource final : public FrameSource {
 public:
  // A plain range is numbered from its ends rather than listed: nothing limits
  // how long it is. A list or step, or a range some frames are dropped from,
  // is listed.
  BuiltinSource(FrameRange range, int32_t width, int32_t height) : range_(range), frame_(MakeDarkFrame(width, height)) {
    numbers_ = range_.picks;
    alpha_ = false;
    width_ = frame_.width();
    height_ = frame_.height();
  }
  int64_t frameCount() const override { return listed() ? FrameSource::frameCount() : range_.last - range_.first + 1; }
  int64_t frameNumber(int64_t index) const override {
    return listed() ? FrameSource::frameNumber(index) : range_.first + index;
  }
  MediaFrame ReadNext() override { return frame_.Clone(); }

 protected:
  void KeepIndices(int64_t first, int64_t end) override {
    if (listed()) return FrameSource::KeepIndices(first, end);
    range_.last = range_.first + end - 1;
    range_.first += first;
  }
  void ListFrames() override {
    if (listed()) return;
    constexpr int64_t kMostListed = 1000000;
    if (frameCount() > kMostListed) {
      throw RangeError(RangeText(range_.first, range_.last) + ": too many frames to check one by one (at most " +
                       std::to_string(kMostListed) + ")");
    }
    numbers_ = range_.Frames();
    listed_ = true;
  }

 private:
  bool listed() const { return listed_ || !range_.picks.empty(); }
  FrameRange range_;
  ImageBuffer frame_;
  bool listed_ = false;
};

}  // namespace

ImageTraits FrameSource::TraitsOf(int64_t) const {
  ImageTraits traits;
  traits.alpha = alpha_;
  return traits;
}

std::optional<std::pair<int32_t, uint32_t>> FrameSource::pixelAspect() const {
  // A header keeps the ratio as a float: the nearest fraction with a small
  // denominator gives back what was meant (2, 1.0926 -> 2:1, 59:54).
  const double aspect = TraitsOf(frameCount() ? frameNumber(0) : 0).pixelAspect;
  if (!(aspect > 0) || aspect > 1000 || aspect < 0.001) return std::nullopt;
  std::pair<int32_t, uint32_t> best{1, 1};
  double bestError = 1e9;
  for (uint32_t den = 1; den <= 1000 && bestError > 1e-6 * aspect; ++den) {
    const auto num = static_cast<int32_t>(std::lround(aspect * den));
    const double error = std::fabs(static_cast<double>(num) / den - aspect);
    if (num > 0 && error < bestError) best = {num, den}, bestError = error;
  }
  return best;
}

// The first (count mod parts) parts take one frame more than the rest, so parts
// differ by at most one frame and each starts where the one before ends.
void FrameSource::KeepChunk(FrameChunk chunk) {
  const int64_t count = frameCount();
  if (count < chunk.parts) {
    throw RangeError("--chunk " + std::to_string(chunk.index) + "/" + std::to_string(chunk.parts) + ": " +
                     std::to_string(count) + (count == 1 ? " frame" : " frames") + " cannot make " +
                     std::to_string(chunk.parts) + " parts");
  }
  const int64_t base = count / chunk.parts;
  const int64_t longer = count % chunk.parts;
  const int64_t first = chunk.index * base + std::min(chunk.index, longer);
  const int64_t end = first + base + (chunk.index < longer ? 1 : 0);
  KeepIndices(first, end);
}

OIIO::TypeDesc InputSamples(const std::string& input, MediaKind kind) {
  if (kind == MediaKind::Video) {
    // The whole probe: the source that reads the video next asks for it too.
    return IsDeepVideo(ProbeVideo(input).format) ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
  }
  return ColourSampleType(InputLayout(input, kind));
}

OIIO::ImageSpec InputLayout(const std::string& input, MediaKind kind) {
  if (kind == MediaKind::Video) throw HostError(input + ": a video has no image header");
  std::string first = input;
  if (kind == MediaKind::Sequence) {
    const auto pattern = SequencePattern::Parse(input);
    const std::vector<int64_t> found = pattern ? pattern->Scan() : std::vector<int64_t>{};
    if (found.empty()) return OIIO::ImageSpec(0, 0, 4, OIIO::TypeDesc::UINT8);
    first = pattern->PathFor(found.front());
  }
  return ReadImageHeader(first);
}

std::unique_ptr<FrameSource> OpenImageSource(const std::string& path, const PlateReading& reading) {
  return std::make_unique<SingleImageSource>(path, reading);
}

std::optional<MissingFrames> ParseMissingFrames(const std::string& text) {
  if (text == "error") return MissingFrames::Error;
  if (text == "black") return MissingFrames::Black;
  if (text == "hold") return MissingFrames::Hold;
  return std::nullopt;
}


std::unique_ptr<FrameSource> OpenSequenceSource(const std::string& patternText, std::optional<FrameRange> range,
                                                MissingFrames policy, const PlateReading& reading) {
  const std::optional<SequencePattern> pattern = SequencePattern::Parse(patternText);
  if (!pattern) throw HostError(patternText + ": not a sequence pattern (use name.%04d.ext or name.####.ext)");
  std::error_code ec;
  const std::string folder = pattern->folder().empty() ? "." : pattern->folder();
  if (!fs::is_directory(folder, ec)) throw HostError(patternText + ": the folder " + folder + " does not exist");
  std::vector<int64_t> found = pattern->Scan();
  if (found.empty()) throw HostError(patternText + ": no files match the pattern");
  std::vector<int64_t> all = found;
  if (range) {
    if (range->first < found.front() || range->last > found.back()) {
      throw RangeError("--frames " + std::to_string(range->first) + "-" + std::to_string(range->last) + " is outside " +
                       patternText + " (" + RangeText(found.front(), found.back()) + ")");
    }
    std::erase_if(found, [&](int64_t n) { return n < range->first || n > range->last; });
    if (found.empty()) {
      throw RangeError("--frames " + std::to_string(range->first) + "-" + std::to_string(range->last) +
                       ": no frames of " + patternText + " in that range");
    }
  }
  // Every number from the first to the last (or each frame listed) is a frame
  // of the shot, so a video made of it has every frame in its place. The runs
  // of those without a file:
  const FrameRange span = range.value_or(FrameRange{found.front(), found.back(), {}});
  std::vector<FrameRange> gaps;
  int64_t missingCount = 0;
  auto gap = [&](int64_t first, int64_t last) {
    if (last < first) return;
    if (!gaps.empty() && gaps.back().last + 1 == first) gaps.back().last = last;
    else gaps.push_back({first, last, {}});
    missingCount += last - first + 1;
  };
  if (span.picks.empty()) {
    gap(span.first, found.front() - 1);
    for (size_t i = 0; i + 1 < found.size(); ++i) gap(found[i] + 1, found[i + 1] - 1);
    gap(found.back() + 1, span.last);
  } else {
    for (int64_t n : span.picks) {
      if (!std::binary_search(found.begin(), found.end(), n)) gap(n, n);
    }
  }
  if (missingCount > 0 && policy == MissingFrames::Error) {
    const bool one = missingCount == 1;
    throw HostError(patternText + ": " + (one ? "frame " : "frames ") + ListRuns(gaps) + (one ? " is" : " are") +
                    " missing (--missing black or --missing hold renders " + (one ? "it" : "them") + " anyway)");
  }
  if (missingCount > 1000000) throw HostError(patternText + ": more than a million frames are missing");
  std::set<int64_t> missing;
  for (const FrameRange& g : gaps) {
    for (int64_t n = g.first; n <= g.last; ++n) missing.insert(n);
  }
  return std::make_unique<SequenceSource>(*pattern, span.Frames(), std::move(missing), policy, std::move(all), reading);
}

std::unique_ptr<FrameSource> OpenVideoSource(const std::string& path, std::optional<FrameRange> range,
                                             int64_t startNumber, VideoReading reading) {
  return std::make_unique<VideoSource>(path, range, startNumber, reading);
}

std::unique_ptr<FrameSource> OpenBuiltinSource(FrameRange range, int32_t width, int32_t height) {
  return std::make_unique<BuiltinSource>(range, width, height);
}

}  // namespace lfhost
