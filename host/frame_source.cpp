#include "host/frame_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <OpenImageIO/imageio.h>

#include "host/builtin_frame.h"
#include "host/host_error.h"
#include "host/image_io.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

std::string Size(int32_t w, int32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

std::string RangeText(int64_t first, int64_t last) {
  return first == last ? "frame " + std::to_string(first) : "frames " + std::to_string(first) + " to " + std::to_string(last);
}

// The size an image file declares, from its header alone.
std::pair<int32_t, int32_t> ImageFileSize(const std::string& path) {
  const QuietImageLibraries quiet;
  auto in = OIIO::ImageInput::open(path);
  if (!in) throw HostError(path + ": cannot read the image (" + OIIO::geterror() + ")");
  // The declared size is all that is read.
  const OIIO::ImageSpec header = in->spec_dimensions(0);
  if (header.width <= 0 || header.height <= 0) throw HostError(path + ": the image has no pixels");
  if (header.width > kMaxFrameSide || header.height > kMaxFrameSide) {
    throw HostError(path + ": " + Size(header.width, header.height) +
                    " is too large: at most 32767 pixels in either dimension");
  }
  return {header.width, header.height};
}

class SingleImageSource final : public FrameSource {
 public:
  explicit SingleImageSource(const std::string& path) : image_(ReadImage(path)) {
    numbers_ = {0};
    width_ = image_.width();
    height_ = image_.height();
  }
  ImageBuffer ReadNext() override { return std::move(image_); }

 private:
  ImageBuffer image_;
};

class SequenceSource final : public FrameSource {
 public:
  SequenceSource(SequencePattern pattern, std::vector<int64_t> frames) : pattern_(std::move(pattern)) {
    numbers_ = std::move(frames);
    // Headers first: a frame that is unreadable, too large or of another size
    // stops the run before any output exists.
    std::string firstPath;
    for (int64_t n : numbers_) {
      const std::string path = pattern_.PathFor(n);
      const auto [w, h] = ImageFileSize(path);
      if (firstPath.empty()) {
        firstPath = path;
        width_ = w;
        height_ = h;
      } else if (w != width_ || h != height_) {
        throw HostError(path + ": " + Size(w, h) + " differs from the sequence's " + Size(width_, height_) +
                        " (" + firstPath + "): every frame must have the same size");
      }
    }
  }

  ImageBuffer ReadNext() override {
    const std::string path = pattern_.PathFor(numbers_.at(next_++));
    ImageBuffer image = ReadImage(path);
    if (image.width() != width_ || image.height() != height_) {
      throw HostError(path + ": " + Size(image.width(), image.height()) + " differs from the sequence's " +
                      Size(width_, height_) + ": every frame must have the same size");
    }
    return image;
  }

 private:
  SequencePattern pattern_;
  size_t next_ = 0;
};

class VideoSource final : public FrameSource {
 public:
  VideoSource(const std::string& path, std::optional<FrameRange> range) : path_(path), info_(ProbeVideo(path)) {
    const int64_t lastIndex = info_.frameCount - 1;
    FrameRange r{0, lastIndex};
    if (range) {
      if (range->first > lastIndex || range->last > lastIndex) {
        throw RangeError("--frames " + std::to_string(range->first) + "-" + std::to_string(range->last) +
                         " is outside " + path + " (frames 0 to " + std::to_string(lastIndex) + ")");
      }
      r = *range;
      ranged_ = true;
    }
    for (int64_t i = r.first; i <= r.last; ++i) numbers_.push_back(i);
    width_ = info_.width;
    height_ = info_.height;
    reader_ = std::make_unique<VideoReader>(path, info_);
  }

  ImageBuffer ReadNext() override {
    const int64_t wanted = numbers_.at(next_++);
    ImageBuffer frame(width_, height_);
    while (decoded_ <= wanted) {
      if (!reader_->ReadFrame(frame)) {
        throw HostError(path_ + ": the video ends after " + std::to_string(decoded_) + " frames, before frame " +
                        std::to_string(wanted));
      }
      ++decoded_;
    }
    if (next_ == numbers_.size()) reader_->Close();
    return frame;
  }

  void Close() override { reader_->Close(); }
  std::optional<FrameRate> frameRate() const override { return info_.frameRate; }
  std::optional<AudioSource> audio() const override {
    if (!info_.hasAudio) return std::nullopt;
    AudioSource a{path_, numbers_.front() / info_.frameRate.value(), std::nullopt};
    if (ranged_) a.durationSeconds = static_cast<double>(numbers_.size()) / info_.frameRate.value();
    return a;
  }

 private:
  std::string path_;
  VideoInfo info_;
  bool ranged_ = false;
  std::unique_ptr<VideoReader> reader_;
  size_t next_ = 0;
  int64_t decoded_ = 0;
};

class BuiltinSource final : public FrameSource {
 public:
  BuiltinSource(FrameRange range, int32_t width, int32_t height) : frame_(MakeDarkFrame(width, height)) {
    for (int64_t n = range.first; n <= range.last; ++n) numbers_.push_back(n);
    width_ = frame_.width();
    height_ = frame_.height();
  }
  ImageBuffer ReadNext() override { return frame_.Clone(); }

 private:
  ImageBuffer frame_;
};

class ImageSink final : public FrameSink {
 public:
  explicit ImageSink(std::string path) : path_(std::move(path)) {}
  void Write(int64_t, const ImageBuffer& frame) override { WriteImage(frame, path_); }
  // A stop asked for before the one frame is written leaves no file at all.
  bool keepsNothingOnAbandon() const override { return true; }
  std::string NameFor(int64_t) const override { return path_; }

 private:
  std::string path_;
};

class SequenceSink final : public FrameSink {
 public:
  explicit SequenceSink(SequencePattern pattern) : pattern_(std::move(pattern)) {}
  void Write(int64_t frameNumber, const ImageBuffer& frame) override { WriteImage(frame, pattern_.PathFor(frameNumber)); }
  // WriteImage's temporary is named after its frame, so frames never share one.
  bool writesFramesAtOnce() const override { return true; }
  void Discard(int64_t frameNumber) noexcept override {
    std::error_code ec;
    fs::remove(pattern_.PathFor(frameNumber), ec);
  }
  std::string NameFor(int64_t frameNumber) const override { return pattern_.PathFor(frameNumber); }

 private:
  SequencePattern pattern_;
};

class VideoSink final : public FrameSink {
 public:
  VideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate, std::optional<AudioSource> audio)
      : path_(path), writer_(path, width, height, rate, std::move(audio)) {}
  void Write(int64_t, const ImageBuffer& frame) override { writer_.WriteFrame(frame); }
  void Finish() override { writer_.Finish(); }
  void Abandon() noexcept override { writer_.Abandon(); }
  bool keepsNothingOnAbandon() const override { return true; }
  std::string NameFor(int64_t) const override { return path_; }

 private:
  std::string path_;
  VideoWriter writer_;
};

}  // namespace

MediaKind MediaKindOf(const std::string& path) {
  if (SequencePattern::Parse(path)) return MediaKind::Sequence;
  if (IsVideoExtension(fs::path(path).extension().string())) return MediaKind::Video;
  return MediaKind::Image;
}

std::optional<SequencePattern> SequencePattern::Parse(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string name = path.substr(nameStart);
  SequencePattern p;
  p.text_ = path;
  p.folder_ = path.substr(0, nameStart);
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '#') {
      size_t end = i;
      while (end < name.size() && name[end] == '#') ++end;
      p.prefix_ = name.substr(0, i);
      p.suffix_ = name.substr(end);
      p.digits_ = static_cast<int>(end - i);
      return p;
    }
    if (name[i] == '%') {
      // %d, %Nd or %0Nd
      size_t j = i + 1;
      while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) ++j;
      if (j < name.size() && name[j] == 'd' && j - i - 1 <= 2) {
        const std::string width = name.substr(i + 1, j - i - 1);
        p.prefix_ = name.substr(0, i);
        p.suffix_ = name.substr(j + 1);
        p.digits_ = width.empty() ? 0 : std::stoi(width);
        return p;
      }
    }
  }
  return std::nullopt;
}

std::string SequencePattern::PathFor(int64_t frame) const {
  char number[32];
  std::snprintf(number, sizeof number, "%0*lld", digits_, static_cast<long long>(frame));
  return folder_ + prefix_ + number + suffix_;
}

std::optional<int64_t> SequencePattern::Match(const std::string& fileName) const {
  if (fileName.size() <= prefix_.size() + suffix_.size()) return std::nullopt;
  if (fileName.compare(0, prefix_.size(), prefix_) != 0) return std::nullopt;
  if (fileName.compare(fileName.size() - suffix_.size(), suffix_.size(), suffix_) != 0) return std::nullopt;
  const std::string digits = fileName.substr(prefix_.size(), fileName.size() - prefix_.size() - suffix_.size());
  if (digits.size() > 15) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const int64_t frame = std::stoll(digits);
  // Only the spelling PathFor gives: "0012" for ####, "12" for %d.
  if (PathFor(frame) != folder_ + fileName) return std::nullopt;
  return frame;
}

std::vector<int64_t> SequencePattern::Scan() const {
  std::vector<int64_t> frames;
  std::error_code ec;
  const fs::path folder = folder_.empty() ? fs::path(".") : fs::path(folder_);
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (const auto n = Match(it->path().filename().string())) frames.push_back(*n);
  }
  std::sort(frames.begin(), frames.end());
  return frames;
}

std::optional<FrameRange> ParseFrameRange(const std::string& text) {
  auto number = [](const std::string& s) -> std::optional<int64_t> {
    if (s.empty() || s.size() > 15) return std::nullopt;
    for (char c : s) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    return std::stoll(s);
  };
  const size_t dash = text.find('-');
  const auto first = number(text.substr(0, dash));
  const auto last = dash == std::string::npos ? first : number(text.substr(dash + 1));
  if (!first || !last || *last < *first) return std::nullopt;
  return FrameRange{*first, *last};
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
  numbers_ = std::vector<int64_t>(numbers_.begin() + first, numbers_.begin() + end);
}

std::unique_ptr<FrameSource> OpenImageSource(const std::string& path) { return std::make_unique<SingleImageSource>(path); }

std::unique_ptr<FrameSource> OpenSequenceSource(const std::string& patternText, std::optional<FrameRange> range) {
  const std::optional<SequencePattern> pattern = SequencePattern::Parse(patternText);
  if (!pattern) throw HostError(patternText + ": not a sequence pattern (use name.%04d.ext or name.####.ext)");
  std::error_code ec;
  const std::string folder = pattern->folder().empty() ? "." : pattern->folder();
  if (!fs::is_directory(folder, ec)) throw HostError(patternText + ": the folder " + folder + " does not exist");
  std::vector<int64_t> found = pattern->Scan();
  if (found.empty()) throw HostError(patternText + ": no files match the pattern");
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
  return std::make_unique<SequenceSource>(*pattern, std::move(found));
}

std::unique_ptr<FrameSource> OpenVideoSource(const std::string& path, std::optional<FrameRange> range) {
  return std::make_unique<VideoSource>(path, range);
}

std::unique_ptr<FrameSource> OpenBuiltinSource(FrameRange range, int32_t width, int32_t height) {
  return std::make_unique<BuiltinSource>(range, width, height);
}

std::unique_ptr<FrameSink> OpenImageSink(const std::string& path) { return std::make_unique<ImageSink>(path); }

std::unique_ptr<FrameSink> OpenSequenceSink(const std::string& patternText) {
  const std::optional<SequencePattern> pattern = SequencePattern::Parse(patternText);
  if (!pattern) throw HostError(patternText + ": not a sequence pattern (use name.%04d.ext or name.####.ext)");
  return std::make_unique<SequenceSink>(*pattern);
}

std::unique_ptr<FrameSink> OpenVideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                                         std::optional<AudioSource> audio) {
  return std::make_unique<VideoSink>(path, width, height, rate, std::move(audio));
}

void CheckOutputFolder(const std::string& outputPath) {
  const fs::path target(outputPath);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw HostError(outputPath + ": the folder " + folder.string() + " does not exist");
  const fs::path probe = folder / (".lensflare-write-test-" + std::to_string(getpid()));
  const int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw HostError(outputPath + ": cannot write in the folder " + folder.string() + " (" + std::strerror(errno) + ")");
  }
  close(fd);
  unlink(probe.c_str());
}

}  // namespace lfhost
