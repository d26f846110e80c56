#include "host/video_io.h"


#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>

#include <nlohmann/json.hpp>

#include "host/files.h"
#include "host/host_error.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Size(int32_t w, int32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

// How each container we write is encoded. H.264 wants even sizes for 4:2:0
// chroma, so odd frames fall back to 4:4:4; ProRes 4444 and FFV1 keep alpha.
std::vector<std::string> CodecArguments(const std::string& extension, int32_t width, int32_t height, bool audio) {
  std::vector<std::string> v;
  std::vector<std::string> a;
  if (extension == ".mp4" || extension == ".m4v") {
    const bool even = width % 2 == 0 && height % 2 == 0;
    v = {"-c:v", "libx264", "-preset", "medium", "-crf", "16", "-pix_fmt", even ? "yuv420p" : "yuv444p",
         "-movflags", "+faststart"};
    a = {"-c:a", "aac", "-b:a", "256k"};
  } else if (extension == ".mov") {
    v = {"-c:v", "prores_ks", "-profile:v", "4444", "-pix_fmt", "yuva444p10le", "-vendor", "apl0"};
    a = {"-c:a", "pcm_s24le"};
  } else if (extension == ".mkv") {
    v = {"-c:v", "ffv1", "-level", "3", "-pix_fmt", "bgra"};
    a = {"-c:a", "flac"};
  } else {  // .webm
    v = {"-c:v", "libvpx-vp9", "-crf", "20", "-b:v", "0", "-pix_fmt", "yuv420p"};
    a = {"-c:a", "libopus", "-b:a", "192k"};
  }
  if (audio) v.insert(v.end(), a.begin(), a.end());
  return v;
}

// ffprobe gives rates as "num/den" ("0/0" when unknown).
std::optional<FrameRate> RationalRate(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  try {
    const int64_t num = std::stoll(text.substr(0, slash));
    const int64_t den = std::stoll(text.substr(slash + 1));
    if (num <= 0 || den <= 0) return std::nullopt;
    const int64_t g = std::gcd(num, den);
    return FrameRate{num / g, den / g};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<FrameRate> ParseFrameRate(const std::string& text) {
  if (text.find('/') != std::string::npos) {
    for (char c : text) {
      if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '/')) return std::nullopt;
    }
    return RationalRate(text);
  }
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0 || value > 1000 ||
      std::isspace(static_cast<unsigned char>(text[0]))) {
    return std::nullopt;
  }
  for (const double ntsc : {24.0, 30.0, 60.0}) {
    if (std::fabs(value - ntsc * 1000 / 1001) < 0.006) return FrameRate{static_cast<int64_t>(ntsc) * 1000, 1001};
  }
  const int64_t thousandths = std::llround(value * 1000);
  if (thousandths <= 0) return std::nullopt;
  const int64_t g = std::gcd(thousandths, int64_t{1000});
  return FrameRate{thousandths / g, 1000 / g};
}

bool IsWritableVideoExtension(const std::string& extension) {
  const std::string e = Lower(extension);
  return e == ".mp4" || e == ".m4v" || e == ".mov" || e == ".mkv" || e == ".webm";
}

bool IsVideoExtension(const std::string& extension) {
  static const char* const kOthers[] = {".avi", ".mxf", ".mpg", ".mpeg", ".ts", ".m2ts", ".mts", ".flv",
                                        ".wmv", ".ogv", ".3gp", ".y4m", ".gif"};
  const std::string e = Lower(extension);
  return IsWritableVideoExtension(e) || std::find(std::begin(kOthers), std::end(kOthers), e) != std::end(kOthers);
}

VideoInfo ProbeVideo(const std::string& path) {
  CheckInputFile(path);
  const std::string text = RunForOutput(
      {"ffprobe", "-v", "error", "-count_packets", "-show_entries",
       "stream=codec_type,width,height,r_frame_rate,avg_frame_rate,nb_read_packets", "-of", "json", "--", path},
      path + ": cannot read the video");
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text);
  } catch (const std::exception& e) {
    throw HostError(path + ": cannot read the video (ffprobe's answer is not JSON)");
  }
  VideoInfo info;
  bool haveVideo = false;
  for (const auto& stream : root.value("streams", nlohmann::json::array())) {
    const std::string type = stream.value("codec_type", "");
    if (type == "audio") info.hasAudio = true;
    if (type != "video" || haveVideo) continue;
    haveVideo = true;
    info.width = stream.value("width", 0);
    info.height = stream.value("height", 0);
    const std::optional<FrameRate> rate = RationalRate(stream.value("r_frame_rate", ""));
    const std::optional<FrameRate> average = RationalRate(stream.value("avg_frame_rate", ""));
    // The stream's base rate (exact for constant-rate video); the average where
    // the base rate is unknown or is a timestamp clock rather than a frame rate.
    if (rate && rate->value() <= 1000) info.frameRate = *rate;
    else if (average) info.frameRate = *average;
    try {
      info.frameCount = std::stoll(stream.value("nb_read_packets", "0"));
    } catch (const std::exception&) {
      info.frameCount = 0;
    }
  }
  if (!haveVideo) throw HostError(path + ": has no video stream");
  if (info.width <= 0 || info.height <= 0) throw HostError(path + ": the video has no frame size");
  if (info.width > kMaxFrameSide || info.height > kMaxFrameSide) {
    throw HostError(path + ": " + Size(info.width, info.height) +
                    " is too large: at most 32767 pixels in either dimension");
  }
  if (info.frameCount <= 0) throw HostError(path + ": the video has no frames");
  return info;
}

// ---- Reading -------------------------------------------------------------------

VideoReader::VideoReader(const std::string& path, const VideoInfo& info) : path_(path), info_(info) {
  // Every decoded frame once, in stream order and unrotated, so frame n here is
  // frame n of what ffprobe counted.
  ffmpeg_ = std::make_unique<Subprocess>(
      std::vector<std::string>{"ffmpeg", "-v", "error", "-nostdin", "-noautorotate", "-i", path, "-map", "0:v:0",
                               "-an", "-sn", "-dn", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "argb",
                               "pipe:1"},
      false, true);
  packed_.resize(static_cast<size_t>(info.width) * info.height * 4);
}

VideoReader::~VideoReader() { Close(); }

void VideoReader::Close() {
  if (ffmpeg_) ffmpeg_->Kill();
  ffmpeg_.reset();
}

bool VideoReader::ReadFrame(ImageBuffer& frame) {
  if (!ffmpeg_) return false;
  const size_t got = ffmpeg_->ReadUpTo(packed_.data(), packed_.size());
  if (got < packed_.size()) {
    const int status = ffmpeg_->Wait();
    const std::string why = ffmpeg_->LastErrorLine();
    ffmpeg_.reset();
    if (status != 0 || got != 0) {
      throw HostError(path_ + ": cannot decode the video (" +
                      (why.empty() ? (got ? "it ends in the middle of a frame" : "ffmpeg failed") : why) + ")");
    }
    // ffmpeg runs with "-v error": a message from a decode that ended well is
    // damage it stepped over ("File ended prematurely").
    if (!why.empty()) ReportDamage(path_, why.rfind("[", 0) == 0 && why.find("] ") != std::string::npos
                                              ? why.substr(why.find("] ") + 2) : why);
    return false;
  }
  if (frame.width() != info_.width || frame.height() != info_.height) frame = ImageBuffer(info_.width, info_.height);
  const size_t rowBytes = static_cast<size_t>(info_.width) * 4;
  for (int32_t y = 0; y < info_.height; ++y) std::memcpy(frame.row(y), packed_.data() + y * rowBytes, rowBytes);
  return true;
}

// ---- Writing -------------------------------------------------------------------

VideoWriter::VideoWriter(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                         std::optional<AudioSource> audio)
    : path_(path), width_(width), height_(height) {
  const fs::path target(path);
  const std::string extension = Lower(target.extension().string());
  if (!IsWritableVideoExtension(extension)) {
    throw HostError(path + ": unknown video format \"" + target.extension().string() +
                    "\" (use .mp4, .m4v, .mov, .mkv or .webm)");
  }
  temporary_ = TemporaryPathBeside(path);
  interruptMark_ = std::make_unique<RemoveOnSecondInterrupt>(temporary_);
  std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "rawvideo", "-pix_fmt", "argb",
                                   "-s", Size(width, height), "-framerate", rate.text(), "-i", "pipe:0"};
  if (audio) {
    char start[32];
    std::snprintf(start, sizeof start, "%.6f", audio->startSeconds);
    argv.insert(argv.end(), {"-ss", start});
    if (audio->durationSeconds) {
      char duration[32];
      std::snprintf(duration, sizeof duration, "%.6f", *audio->durationSeconds);
      argv.insert(argv.end(), {"-t", duration});
    }
    argv.insert(argv.end(), {"-i", audio->path, "-map", "0:v:0", "-map", "1:a:0?"});
  } else {
    argv.insert(argv.end(), {"-map", "0:v:0"});
  }
  const std::vector<std::string> codec = CodecArguments(extension, width, height, audio.has_value());
  argv.insert(argv.end(), codec.begin(), codec.end());
  argv.push_back(temporary_);
  ffmpeg_ = std::make_unique<Subprocess>(argv, true, false);
  packed_.resize(static_cast<size_t>(width) * height * 4);
}

VideoWriter::~VideoWriter() {
  if (!finished_) Abandon();
}

void VideoWriter::Fail(const std::string& why) {
  const std::string line = ffmpeg_ ? ffmpeg_->LastErrorLine() : "";
  Abandon();
  throw HostError(path_ + ": cannot encode the video (" + (line.empty() ? why : line) + ")");
}

void VideoWriter::WriteFrame(const ImageBuffer& frame) {
  if (!ffmpeg_ || finished_) throw HostError(path_ + ": the video is already closed");
  if (frame.width() != width_ || frame.height() != height_) {
    Fail("frame of " + Size(frame.width(), frame.height()) + " in a video of " + Size(width_, height_));
  }
  const size_t rowBytes = static_cast<size_t>(width_) * 4;
  for (int32_t y = 0; y < height_; ++y) std::memcpy(packed_.data() + y * rowBytes, frame.row(y), rowBytes);
  if (!ffmpeg_->WriteAll(packed_.data(), packed_.size())) {
    ffmpeg_->Wait();
    Fail("ffmpeg stopped");
  }
}

void VideoWriter::Finish() {
  if (finished_) return;
  if (!ffmpeg_) throw HostError(path_ + ": the video was abandoned");
  const int status = ffmpeg_->Wait();
  if (status != 0) Fail("ffmpeg failed with status " + std::to_string(status));
  try {
    SyncFile(temporary_, path_);
  } catch (const HostError&) {
    Abandon();
    throw;
  }
  std::error_code ec;
  fs::rename(temporary_, path_, ec);
  if (ec) Fail(ec.message());
  finished_ = true;
  interruptMark_.reset();
  ffmpeg_.reset();
}

void VideoWriter::Abandon() noexcept {
  if (ffmpeg_) ffmpeg_->Kill();
  ffmpeg_.reset();
  std::error_code ec;
  if (!finished_) fs::remove(temporary_, ec);
  interruptMark_.reset();
}

}  // namespace lfhost
