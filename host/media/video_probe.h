// What a video file holds: its size, frame count, frame rate, whether there
// is audio, and how its pictures are coded, read in this process by
// libavformat from the headers and packets (nothing is decoded but what the
// headers leave out), named as ffprobe names them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "host/media/video_formats.h"

namespace lfhost {

struct VideoInfo {
  int32_t width = 0;
  int32_t height = 0;
  int64_t frameCount = 0;
  FrameRate frameRate;
  bool hasAudio = false;
  VideoFormat format;        // colour defaults filled in
  FrameRate sampleAspect{0, 1};   // pixel aspect ratio (sample_aspect_ratio); 0/1 when unstated
  // For a variable-rate video, the shortest and longest time between two
  // frames, in seconds; nothing when the frames are evenly spaced.
  std::optional<std::pair<double, double>> frameGaps;
};

// Reads the first video stream's facts. Throws HostError naming the file when it
// is missing, not a video, or larger than the module takes.
VideoInfo ProbeVideo(const std::string& path);
// What the headers state of the first video stream (its size, rate, coding and
// colours) without reading its packets: no frame count or times, no check for
// damage or size. Throws HostError naming the file as ProbeVideo does.
VideoInfo ProbeVideoStreams(const std::string& path);

// The codec of a file's first audio stream as ffprobe names it; "" for none.
std::string AudioCodecOf(const std::string& path);

}  // namespace lfhost
