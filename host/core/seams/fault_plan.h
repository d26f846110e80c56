// Faults injected into the host's callbacks, so tests see how the module
// handles a host that runs out of memory, refuses, fails or is cancelled. Test
// seams only (lf_host_core_seams): the production host has no fault to inject.
// Counters are 1-based; 0 means "never".
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "host/core/host_observer.h"
#include "host/core/validator.h"

namespace lfhost {

class HostServices;

struct FaultPlan {
  int64_t failNewHandleAtCall = 0;     // newHandle returns null on this call
  int32_t registerStringsError = 0;    // registerStrings refuses with this code
  int32_t failAddParamAt = 0;          // addParam refuses this declaration...
  int32_t addParamError = 0;           // ...with this code
  int64_t failIterateFromCall = 0;     // iterate runs nothing and returns...
  int32_t iterateError = 0;            // ...this code, from this call on
  int64_t failWorldPassAtCall = 0;     // worldPass returns...
  int32_t worldPassError = 0;          // ...this code on this call
  int64_t abortAfterPolls = -1;        // abortCheck answers 517 once this many polls were answered 0 (-1: never)
};

// Watches `host` in place of its Validator, which sees every call first; then
// answers the planned fault where the call's number (counted, as the
// Validator counts, from the Validator's attachment) is the planned one. Attach
// it between commands; it puts the Validator back when it goes, so declare it
// after the instance it serves.
class FaultInjector final : public HostObserver {
 public:
  FaultInjector(HostServices& host, Validator& validator);
  ~FaultInjector() override;
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  void SetPlan(const FaultPlan& plan);

  std::optional<int32_t> OnCall(HostCall call, int64_t first, int64_t second) override;
  void OnFault(std::string what) override { validator_.OnFault(std::move(what)); }

 private:
  HostServices& host_;
  Validator& validator_;
  std::mutex mutex_;
  FaultPlan plan_;
  CallbackCounts counts_;   // the Validator's, kept here under our own lock
};

}  // namespace lfhost
