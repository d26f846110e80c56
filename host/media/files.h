// The file-system edges of the host: outputs written whole or not at all, and
// inputs looked at before any library opens them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace lfhost {

// A hidden name beside `target` for it to be written under, unique to this
// process: ".lf-PID-N" plus the target's extension (a helper program may choose
// its format by it). It stays short whatever the target is called, so any
// target name the file system takes has a temporary name it takes too.
std::string TemporaryPathBeside(const std::string& target);

// Writes `size` bytes to `target` under a temporary name, makes them durable
// (fsync) and renames the file into place only after the last byte and the close
// succeeded. On any failure nothing of it is left and a HostError says
// "TARGET: cannot write the file (REASON)", REASON as the system gives it ("no
// space left on device").
void WriteFileWhole(const std::string& target, const void* data, size_t size);

// Flushes a file someone else wrote (a helper program's output) to the disk
// before it is renamed into place. Throws HostError naming `displayName`.
void SyncFile(const std::string& path, const std::string& displayName);

// What a file is, whatever name reaches it: its device and inode.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
  auto operator<=>(const FileIdentity&) const = default;
};
// The identity of an existing file (symbolic links followed); none when there
// is nothing of that name.
std::optional<FileIdentity> IdentityOf(const std::string& path);

// Checks that `path` names a regular file this process can open for reading,
// without blocking on a FIFO or touching a device, so that no library ever
// probes one. Throws HostError "PATH: REASON": "no such file", "is a folder",
// "is not a regular file (a FIFO)", or the system's reason ("permission
// denied", "too many levels of symbolic links"). Returns the file's size.
off_t CheckInputFile(const std::string& path);

// How damaged input (a truncated image, a TIFF whose data lies past its end, a
// video that ends mid-stream) is taken: refused, the default, or read as far as
// it decodes with one warning per file. Set once, before any input is read.
struct DamagedInputPolicy {
  bool allow = false;
  std::function<void(const std::string&)> warn;   // gets "PATH: is damaged (WHY); ..."
};
void SetDamagedInputPolicy(DamagedInputPolicy policy);
// Reports that `path` decoded only in part, for the reason `why` (its first line
// is kept): throws HostError "PATH: is damaged (WHY)" unless damaged input is
// allowed, in which case it warns and returns.
void ReportDamage(const std::string& path, const std::string& why);

// The system's text for an errno value in the tool's lower-case style.
std::string SystemReason(int error);

}  // namespace lfhost
