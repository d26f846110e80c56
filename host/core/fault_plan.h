// Faults the host can inject into its callbacks, so tests see how the module
// handles a host that runs out of memory, refuses, fails or is cancelled.
// Counters are 1-based; 0 means "never".
#pragma once

#include <cstdint>

namespace lfhost {

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

}  // namespace lfhost
