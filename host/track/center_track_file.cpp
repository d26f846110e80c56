#include "host/track/center_track_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "host/core/host_error.h"
#include "host/media/files.h"
#include "host/media/keys_file.h"

namespace lftrack {
namespace {

// Frame numbers as the keys take them: at most 15 digits.
constexpr int64_t kLastFrame = 999999999999999LL;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  if (line.find(',') != std::string::npos) {
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
      const size_t from = field.find_first_not_of(" \t"), to = field.find_last_not_of(" \t");
      fields.push_back(from == std::string::npos ? "" : field.substr(from, to - from + 1));
    }
    if (line.back() == ',') fields.emplace_back();
  } else {
    std::istringstream in(line);
    for (std::string field; in >> field;) fields.push_back(field);
  }
  return fields;
}

std::optional<double> Number(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

lfhost::Track<lfhost::CenterPoint> ParseCenterTrack(const std::string& text, const std::string& name,
                                                    const lfhost::CenterTrackFile& how, int32_t height) {
  lfhost::Track<lfhost::CenterPoint> track;
  track.origin = name;
  std::istringstream in(text);
  bool first = true;
  int64_t lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#') continue;
    const std::vector<std::string> fields = Fields(line);
    const bool header = first && !fields.empty() && !Number(fields[0]);
    first = false;
    if (header) continue;
    auto fail = [&](const std::string& what) {
      throw lfhost::HostError(name + ": line " + std::to_string(lineNumber) + ": " + what);
    };
    if (fields.size() != 3) fail("expected frame, x, y, got " + std::to_string(fields.size()) + " fields");
    const std::optional<double> frame = Number(fields[0]), x = Number(fields[1]), y = Number(fields[2]);
    if (!frame || *frame != std::floor(*frame) || std::fabs(*frame) > kLastFrame) {
      fail("\"" + fields[0] + "\" is not a frame number");
    }
    if (!x) fail("\"" + fields[1] + "\" is not a number");
    if (!y) fail("\"" + fields[2] + "\" is not a number");
    // An offset beyond any frame is refused before it is added, which could overflow.
    const bool offsetFits = how.frameOffset >= -kLastFrame && how.frameOffset <= kLastFrame;
    const int64_t key = offsetFits ? static_cast<int64_t>(*frame) + how.frameOffset : -1;
    if (key < 0 || key > kLastFrame) {
      fail("frame " + fields[0] + " with the offset " + std::to_string(how.frameOffset) + " is not a frame from 0 up");
    }
    const lfhost::CenterPoint point{{*x, false}, {how.yUp ? height - *y : *y, false}};
    if (!track.keys.emplace(key, point).second) fail("frame " + fields[0] + " is given twice");
  }
  if (track.keys.empty()) throw lfhost::HostError(name + ": no line of frame, x, y");
  return track;
}

lfhost::Track<lfhost::CenterPoint> LoadCenterTrack(const lfhost::CenterTrackFile& how, int32_t height) {
  if (lfhost::CheckInputFile(how.path) > lfhost::kMaxKeyframeFileBytes) {
    throw lfhost::HostError(how.path + ": larger than a track file may be (16 MiB)");
  }
  std::ifstream in(how.path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in && !in.eof()) throw lfhost::HostError(how.path + ": cannot read the track file");
  return ParseCenterTrack(text, how.path, how, height);
}

}  // namespace lftrack
