// What a HostServices tells whoever watches it: each callback the module makes,
// and each protocol fault the host meets while serving one. Rendering needs no
// observer; the Validator (host/core/validator.h) is the one tests and
// `lensflare render --validate` attach. Without one, a callback checks a single
// null pointer and builds no text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lfhost {

enum class HostCall : uint8_t {
  kAddParam, kAbortCheck, kProgress, kRegisterStrings, kGetString, kReleaseStrings, kBlend, kCopyWorld,
  kWorldPass, kNewHandle, kLockHandle, kUnlockHandle, kDisposeHandle, kFormatString, kCopyString, kIterate,
};

class HostObserver {
 public:
  virtual ~HostObserver() = default;
  // Called as a callback starts, with its telling arguments: addParam (index,
  // parameter id or -1), abortCheck and progress (current, total), registerStrings
  // (tag), getString (index), blend (ratio), worldPass (direction), newHandle
  // (size), the other handle calls (the handle), iterate (count). A value
  // returned is the callback's result and it does nothing else (newHandle then
  // returns null): that is how faults are injected. May run on any pool thread.
  virtual std::optional<int32_t> OnCall(HostCall call, int64_t first, int64_t second) = 0;
  // A fault in the module's use of the protocol, e.g. "lockHandle: not a live handle".
  virtual void OnFault(std::string what) = 0;
};

}  // namespace lfhost
