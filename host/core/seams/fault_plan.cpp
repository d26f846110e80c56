#include "host/core/seams/fault_plan.h"

#include "host/core/host_callbacks.h"

namespace lfhost {

FaultInjector::FaultInjector(HostServices& host, Validator& validator)
    : host_(host), validator_(validator), counts_(validator.counts()) {
  host_.SetObserver(this);
}

FaultInjector::~FaultInjector() { host_.SetObserver(&validator_); }

void FaultInjector::SetPlan(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lock(mutex_);
  plan_ = plan;
}

std::optional<int32_t> FaultInjector::OnCall(HostCall call, int64_t first, int64_t second) {
  if (const auto answer = validator_.OnCall(call, first, second)) return answer;
  std::lock_guard<std::mutex> lock(mutex_);
  switch (call) {
    case HostCall::kAddParam:
      if (++counts_.addParam == plan_.failAddParamAt && plan_.failAddParamAt != 0) return plan_.addParamError;
      break;
    case HostCall::kAbortCheck:
      if (const int64_t answered = counts_.abortCheck++; plan_.abortAfterPolls >= 0 && answered >= plan_.abortAfterPolls) {
        return kErrCancelled;
      }
      break;
    case HostCall::kRegisterStrings:
      if (plan_.registerStringsError != 0) return plan_.registerStringsError;
      break;
    case HostCall::kWorldPass:
      if (++counts_.worldPass == plan_.failWorldPassAtCall) return plan_.worldPassError;
      break;
    case HostCall::kNewHandle:
      if (++counts_.newHandle == plan_.failNewHandleAtCall) return kHostErrBadHandle;
      break;
    case HostCall::kIterate:
      if (++counts_.iterate >= plan_.failIterateFromCall && plan_.failIterateFromCall != 0) return plan_.iterateError;
      break;
    default:
      break;
  }
  return std::nullopt;
}

}  // namespace lfhost
