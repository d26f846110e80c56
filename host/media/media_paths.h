// What a path names (an image, a sequence pattern, a video) and where outputs
// go: the sequence pattern that numbers a shot's files, and the output folders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lfhost {

enum class MediaKind { Image, Sequence, Video };

// A pattern in the file name makes a sequence, a video extension a video,
// anything else a single image.
MediaKind MediaKindOf(const std::string& path);
// What an input name stands for: a file of that very name is read as the image
// or video it is, so "50%d.png" or "take#1.png" can be a single image; any other
// name as MediaKindOf says.
MediaKind InputKindOf(const std::string& path);

// "name.%04d.ext", "name.%d.ext" or "name.####.ext" (the first such mark in the
// file name; the folder is taken literally).
class SequencePattern {
 public:
  static std::optional<SequencePattern> Parse(const std::string& path);
  const std::string& text() const { return text_; }
  std::string PathFor(int64_t frame) const;
  // The frame number a file name (without folder) stands for, if it matches.
  std::optional<int64_t> Match(const std::string& fileName) const;
  // Frames whose files exist, in increasing order.
  std::vector<int64_t> Scan() const;
  std::string folder() const { return folder_; }

 private:
  std::string text_;
  std::string folder_;      // "" for the current folder
  std::string prefix_, suffix_;   // of the file name around the number
  int digits_ = 0;          // zero-padded width; 0 for no padding
};

// Creates the folders `outputPath` needs that do not exist yet, and removes
// those of them still empty when it goes, so a run that wrote nothing leaves
// nothing. Throws HostError naming the folder when one cannot be made.
class OutputFolders {
 public:
  explicit OutputFolders(const std::string& outputPath);
  ~OutputFolders();
  OutputFolders(const OutputFolders&) = delete;
  OutputFolders& operator=(const OutputFolders&) = delete;
 private:
  void RemoveEmpty() noexcept;
  std::vector<std::string> created_;   // outermost first
};

// Checks before any work that `outputPath`'s folder exists and takes a new file
// (by creating and removing one). Throws HostError naming the path.
void CheckOutputFolder(const std::string& outputPath);

}  // namespace lfhost
