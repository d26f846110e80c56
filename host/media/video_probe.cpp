#include "host/media/video_probe.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/core/host_error.h"
#include "host/core/image_buffer.h"
#include "host/media/files.h"
#include "host/media/subprocess.h"

namespace lfhost {
namespace {

// ffmpeg drops a Y4M file's last frame without a word when the file is cut
// short inside it, so a cut file would pass for a whole one. Every frame is a
// "FRAME" line and the same number of bytes, which the first two frame lines
// measure; the rest are walked at that stride. Empty when the file is whole,
// too short to tell (one frame) or no Y4M.
std::string Y4mDamage(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!std::getline(file, line) || line.rfind("YUV4MPEG2 ", 0) != 0) return "";
  file.seekg(0, std::ios::end);
  const uint64_t size = static_cast<uint64_t>(file.tellg());
  const uint64_t first = line.size() + 1;
  file.seekg(static_cast<std::streamoff>(first));
  if (!std::getline(file, line) || line.rfind("FRAME", 0) != 0) return "frame 0 has no FRAME line";
  const uint64_t firstData = first + line.size() + 1;
  // The second frame line: the first "FRAME" after the first frame's data,
  // looked for in the file's raw bytes.
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(size - firstData, uint64_t{1} << 27)), '\0');
  file.seekg(static_cast<std::streamoff>(firstData));
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(file.gcount()));
  file.clear();
  // A frame's pixels may hold the letters "FRAME" too: a stride that does not
  // find every later frame line is passed over for the next.
  for (size_t candidate = bytes.find("FRAME"); candidate != std::string::npos;
       candidate = bytes.find("FRAME", candidate + 1)) {
    uint64_t at = first, frames = 0;
    for (; at < size; ++frames) {
      file.seekg(static_cast<std::streamoff>(at));
      if (!std::getline(file, line) || line.rfind("FRAME", 0) != 0) break;
      at += line.size() + 1 + candidate;
    }
    file.clear();
    if (at == size) return "";
    if (at > size) return "the file ends inside frame " + std::to_string(frames - 1);
  }
  return "";
}

// What one ffprobe run tells of a file: the streams, the pixel formats
// depths, and, when asked for, every packet's stream and time.
struct Probed {
  VideoInfo info;
  bool haveVideo = false;
  std::string audioCodec;      // the first audio stream's; "" for none
  bool timed = false;          // the packets were read: frameCount and frameGaps hold
};

// The video stream's frames (its packets) are counted, and whether they are
// evenly spaced seen: a variable-rate clip's frames are not, by more than the
// clock's tick.
void MeasureFrameTimes(const nlohmann::json& packets, int64_t videoIndex, std::optional<FrameRate> timeBase,
                       VideoInfo& info) {
  std::vector<int64_t> times;
  info.frameCount = 0;
  for (const auto& packet : packets) {
    if (packet.value("stream_index", int64_t{-1}) != videoIndex) continue;
    ++info.frameCount;
    const auto pts = packet.find("pts");
    if (pts != packet.end() && pts->is_number_integer()) times.push_back(pts->get<int64_t>());
  }
  if (!timeBase || times.size() < 3 || static_cast<int64_t>(times.size()) != info.frameCount) return;
  std::sort(times.begin(), times.end());
  int64_t shortest = INT64_MAX, longest = 0;
  for (size_t i = 1; i < times.size(); ++i) {
    shortest = std::min(shortest, times[i] - times[i - 1]);
    longest = std::max(longest, times[i] - times[i - 1]);
  }
  if (longest - shortest > 1) {
    const double tick = static_cast<double>(timeBase->num) / static_cast<double>(timeBase->den);
    info.frameGaps = {shortest * tick, longest * tick};
  }
}

// Bits a sample of `pixelFormat` by ffprobe's table of pixel formats: its
// deepest component's; 0 for a name it does not list.
int32_t PixelFormatBits(const nlohmann::json& formats, const std::string& pixelFormat) {
  for (const auto& format : formats) {
    if (format.value("name", "") != pixelFormat) continue;
    int32_t most = 0;
    for (const auto& component : format.value("components", nlohmann::json::array())) {
      most = std::max(most, component.value("bit_depth", 0));
    }
    return most;
  }
  return 0;
}

// The streams' facts, from ffprobe's answer.
void ReadStreams(const nlohmann::json& root, Probed& probed, std::optional<FrameRate>& timeBase, int64_t& videoIndex) {
  VideoInfo& info = probed.info;
  for (const auto& stream : root.value("streams", nlohmann::json::array())) {
    const std::string type = stream.value("codec_type", "");
    if (type == "audio" && !info.hasAudio) {
      info.hasAudio = true;
      probed.audioCodec = stream.value("codec_name", "");
    }
    if (type != "video" || probed.haveVideo) continue;
    probed.haveVideo = true;
    videoIndex = stream.value("index", int64_t{0});
    info.format.codec = stream.value("codec_name", "");
    info.format.profile = stream.value("profile", "");
    info.format.pixelFormat = stream.value("pix_fmt", "");
    info.format.bits = std::max(PixelFormatBits(root.value("pixel_formats", nlohmann::json::array()), info.format.pixelFormat),
                                static_cast<int32_t>(std::atoi(stream.value("bits_per_raw_sample", "").c_str())));
    info.format.matrix = stream.value("color_space", "");
    info.format.primaries = stream.value("color_primaries", "");
    info.format.transfer = stream.value("color_transfer", "");
    info.format.range = stream.value("color_range", "");
    std::string sar = stream.value("sample_aspect_ratio", "");
    std::replace(sar.begin(), sar.end(), ':', '/');
    if (const std::optional<FrameRate> aspect = RationalRate(sar)) info.sampleAspect = *aspect;
    info.width = stream.value("width", 0);
    info.height = stream.value("height", 0);
    const std::optional<FrameRate> rate = RationalRate(stream.value("r_frame_rate", ""));
    const std::optional<FrameRate> average = RationalRate(stream.value("avg_frame_rate", ""));
    // The stream's base rate (exact for constant-rate video); the average where
    // the base rate is unknown or is a timestamp clock rather than a frame rate.
    if (rate && rate->value() <= 1000) info.frameRate = *rate;
    else if (average) info.frameRate = *average;
    timeBase = RationalRate(stream.value("time_base", ""));
  }
  // A timecode track or tag, wherever the container keeps it (Matroska
  // spells the tag in capitals).
  auto timecodeOf = [&](const nlohmann::json& holder) {
    const nlohmann::json tags = holder.value("tags", nlohmann::json::object());
    if (info.format.timecode.empty()) info.format.timecode = tags.value("timecode", tags.value("TIMECODE", ""));
  };
  for (const auto& holder : root.value("streams", nlohmann::json::array())) timecodeOf(holder);
  if (root.contains("format")) timecodeOf(root["format"]);
  if (probed.haveVideo) info.format = WithColourDefaults(info.format, info.height);
}

// Runs ffprobe once for everything a render asks of a file (each ffprobe
// costs about as much as decoding a few frames).
Probed RunProbe(const std::string& path, bool packets) {
  std::string entries =
      "stream=index,codec_type,codec_name,profile,pix_fmt,bits_per_raw_sample,width,height,r_frame_rate,avg_frame_rate,"
      "time_base,color_space,color_primaries,color_transfer,color_range,sample_aspect_ratio:stream_tags=timecode:"
      "format_tags=timecode:pixel_format=name:pixel_format_components";
  if (packets) entries += ":packet=stream_index,pts";
  const std::string text =
      RunForOutput({"ffprobe", "-v", "error", "-show_entries", entries, "-show_pixel_formats", "-of", "json=compact=1", "--", path},
                   path + ": cannot read the video");
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text);
  } catch (const std::exception& e) {
    throw HostError(path + ": cannot read the video (ffprobe's answer is not JSON)");
  }
  Probed probed;
  std::optional<FrameRate> timeBase;
  int64_t videoIndex = -1;
  ReadStreams(root, probed, timeBase, videoIndex);
  probed.timed = packets;
  if (packets && probed.haveVideo) {
    MeasureFrameTimes(root.value("packets", nlohmann::json::array()), videoIndex, timeBase, probed.info);
  }
  return probed;
}

// What ffprobe told of each file this run, by the file's identity, size and
// times, so a file changed since is asked about again.
Probed Probe(const std::string& path, bool packets) {
  CheckInputFile(path);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw HostError(path + ": cannot read the video");
  const std::string key = path + '\n' + std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' +
                          std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
                          std::to_string(st.st_mtim.tv_nsec) + ':' + std::to_string(st.st_ctim.tv_sec) + '.' +
                          std::to_string(st.st_ctim.tv_nsec);
  static std::mutex mutex;
  static std::map<std::string, Probed> known;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = known.find(key);
    if (it != known.end() && (it->second.timed || !packets)) return it->second;
  }
  Probed probed = RunProbe(path, packets);
  std::lock_guard<std::mutex> lock(mutex);
  return known[key] = std::move(probed);
}

}  // namespace

std::string AudioCodecOf(const std::string& path) { return Probe(path, false).audioCodec; }

VideoInfo ProbeVideoStreams(const std::string& path) {
  const Probed probed = Probe(path, false);
  if (!probed.haveVideo) throw HostError(path + ": has no video stream");
  return probed.info;
}

VideoInfo ProbeVideo(const std::string& path) {
  const Probed probed = Probe(path, true);
  if (!probed.haveVideo) throw HostError(path + ": has no video stream");
  VideoInfo info = probed.info;
  if (info.width <= 0 || info.height <= 0) throw HostError(path + ": the video has no frame size");
  if (info.width > kMaxFrameSide || info.height > kMaxFrameSide) {
    throw HostError(path + ": " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                    " is too large: at most 32767 pixels in either dimension");
  }
  if (const std::string why = Y4mDamage(path); !why.empty()) ReportDamage(path, why);
  if (info.frameCount <= 0) throw HostError(path + ": the video has no frames");
  return info;
}

}  // namespace lfhost
