#include "host/media/media_paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/core/host_error.h"
#include "host/media/files.h"
#include "host/media/video_formats.h"

namespace lfhost {

namespace fs = std::filesystem;

MediaKind MediaKindOf(const std::string& path) {
  if (SequencePattern::Parse(path)) return MediaKind::Sequence;
  if (IsVideoExtension(fs::path(path).extension().string())) return MediaKind::Video;
  return MediaKind::Image;
}

MediaKind InputKindOf(const std::string& path) {
  if (IdentityOf(path)) return IsVideoExtension(fs::path(path).extension().string()) ? MediaKind::Video : MediaKind::Image;
  return MediaKindOf(path);
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
  // Any width the pattern asks for (up to %99d) is honoured in full.
  std::string number = std::to_string(frame);
  if (number.size() < static_cast<size_t>(digits_)) number.insert(0, static_cast<size_t>(digits_) - number.size(), '0');
  return folder_ + prefix_ + number + suffix_;
}

std::optional<int64_t> SequencePattern::Match(const std::string& fileName) const {
  if (fileName.size() <= prefix_.size() + suffix_.size()) return std::nullopt;
  if (fileName.compare(0, prefix_.size(), prefix_) != 0) return std::nullopt;
  if (fileName.compare(fileName.size() - suffix_.size(), suffix_.size(), suffix_) != 0) return std::nullopt;
  const std::string digits = fileName.substr(prefix_.size(), fileName.size() - prefix_.size() - suffix_.size());
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Leading zeros of a wide pattern aside, frame numbers have at most 15 digits.
  const size_t significant = std::min(digits.find_first_not_of('0'), digits.size() - 1);
  if (digits.size() - significant > 15) return std::nullopt;
  const int64_t frame = std::stoll(digits.substr(significant));
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

OutputFolders::OutputFolders(const std::string& outputPath) {
  const fs::path target(outputPath);
  std::error_code ec;
  fs::path folder;
  for (const fs::path& part : target.parent_path()) {
    folder /= part;
    if (fs::is_directory(folder, ec)) continue;
    if (!fs::create_directory(folder, ec) && !fs::is_directory(folder)) {
      const std::string why = ec ? ec.message() : "a file of that name is in the way";
      RemoveEmpty();
      throw HostError(outputPath + ": cannot create the folder " + folder.string() + " (" + why + ")");
    }
    created_.push_back(folder.string());
  }
}

OutputFolders::~OutputFolders() { RemoveEmpty(); }

void OutputFolders::RemoveEmpty() noexcept {
  std::error_code ec;
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) fs::remove(*it, ec);   // only if still empty
  created_.clear();
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
