// A HostObserver that checks the module keeps the protocol, for tests and
// `lensflare render --validate`: the order and outcome of every command, the
// handles it is given back (double disposal, leaks), the message flag and
// buffer, the guards around each world after a render. It also records the
// commands sent and the callbacks made (counts and a call log). Tests that want
// the host to refuse or fail put a FaultInjector (host/core/seams) in front of it.
// Everything it keeps grows with the calls made: attach it where that is wanted.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/core/command_result.h"
#include "host/core/host_observer.h"
#include "shell/host_protocol.h"

namespace lfhost {

class HostServices;
class ImageBuffer;

// The commands FilterMain acts on; others must come back untouched.
bool IsHandledCommand(int32_t command);

// How often each callback was made.
struct CallbackCounts {
  int64_t newHandle = 0, lockHandle = 0, unlockHandle = 0, disposeHandle = 0;
  int64_t registerStrings = 0, getString = 0, releaseStrings = 0;
  int64_t addParam = 0, copyWorld = 0, blend = 0, worldPass = 0, iterate = 0;
  int64_t formatString = 0, copyString = 0, abortCheck = 0, progress = 0;
  int64_t Total() const;
};

class Validator final : public HostObserver {
 public:
  // Watches `host`, which must outlive it (the caller attaches it with SetObserver).
  explicit Validator(const HostServices& host) : host_(host) {}

  std::optional<int32_t> OnCall(HostCall call, int64_t first, int64_t second) override;
  void OnFault(std::string what) override;

  // Around each FilterMain call, with the records as sent and as returned.
  void BeforeCommand(int32_t command, const CommandInput& in, const CommandOutput& out);
  void AfterCommand(const CommandResult& result, const CommandInput& in, const CommandOutput& out);
  // After a render command: the guards around both frames.
  void AfterRender(const ImageBuffer& input, const ImageBuffer& output);
  // One fault per handle still alive ("handle of 32 bytes still alive at unload").
  void ReportLeakedHandles();

  // Protocol faults seen so far ("disposeHandle: handle disposed twice", ...).
  std::vector<std::string> violations() const;
  CallbackCounts counts() const;
  // The callbacks made, in order, e.g. "newHandle 8", "registerStrings 4158",
  // "worldPass 1", "iterate -1", "addParam -1 2" (abortCheck and progress are
  // only counted).
  std::vector<std::string> callLog() const;
  // The commands sent since it was attached, in order.
  std::vector<int32_t> commands() const;

 private:
  void Fault(int32_t command, const std::string& what);
  void CheckCommand(const CommandResult& result, const CommandInput& in, const CommandOutput& out);

  const HostServices& host_;
  mutable std::mutex mutex_;
  CallbackCounts counts_;
  std::vector<std::string> violations_;
  std::vector<std::string> callLog_;
  std::vector<int32_t> commands_;
  std::set<int64_t> disposed_;         // handles disposed, to recognise a second disposal
  // The records as the command was sent.
  CommandInput inBefore_{};
  CommandOutput outBefore_{};
  int64_t callsBefore_ = 0;
};

}  // namespace lfhost
