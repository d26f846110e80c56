#include "host/core/validator.h"

#include <cstring>

#include "host/core/host_callbacks.h"
#include "host/core/image_buffer.h"

namespace lfhost {

bool IsHandledCommand(int32_t command) {
  return command == kCmdAbout || command == kCmdGlobalSetup ||
         (command >= kCmdGlobalSetdown && command <= kCmdSequenceSetdown) || command == kCmdRender;
}

int64_t CallbackCounts::Total() const {
  return newHandle + lockHandle + unlockHandle + disposeHandle + registerStrings + getString +
         releaseStrings + addParam + copyWorld + blend + worldPass + iterate + formatString + copyString +
         abortCheck + progress;
}

std::optional<int32_t> Validator::OnCall(HostCall call, int64_t first, int64_t second) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto log = [&](const char* name, std::optional<int64_t> value = {}) {
    callLog_.push_back(value ? std::string(name) + " " + std::to_string(*value) : name);
  };
  switch (call) {
    case HostCall::kAddParam:
      callLog_.push_back("addParam " + std::to_string(first) + " " + std::to_string(second));
      ++counts_.addParam;
      break;
    case HostCall::kAbortCheck:
      ++counts_.abortCheck;
      break;
    case HostCall::kProgress:
      ++counts_.progress;
      break;
    case HostCall::kRegisterStrings:
      log("registerStrings", first);
      ++counts_.registerStrings;
      break;
    case HostCall::kGetString:
      log("getString", first);
      ++counts_.getString;
      break;
    case HostCall::kReleaseStrings:
      log("releaseStrings");
      ++counts_.releaseStrings;
      break;
    case HostCall::kBlend:
      log("blend", first);
      ++counts_.blend;
      break;
    case HostCall::kCopyWorld:
      log("copyWorld");
      ++counts_.copyWorld;
      break;
    case HostCall::kWorldPass:
      log("worldPass", first);
      ++counts_.worldPass;
      break;
    case HostCall::kNewHandle:
      log("newHandle", first);
      ++counts_.newHandle;
      break;
    case HostCall::kLockHandle:
      log("lockHandle");
      ++counts_.lockHandle;
      break;
    case HostCall::kUnlockHandle:
      log("unlockHandle");
      ++counts_.unlockHandle;
      break;
    case HostCall::kDisposeHandle: {
      log("disposeHandle");
      ++counts_.disposeHandle;
      // The host forgets a handle once disposed; the validator remembers it. A
      // block at the same address handed out since is live again.
      const Handle handle = reinterpret_cast<Handle>(first);
      if (host_.IsLiveHandle(handle)) {
        if (!host_.IsLockedHandle(handle)) disposed_.insert(first);
      } else if (disposed_.count(first)) {
        violations_.push_back("disposeHandle: handle disposed twice");
        return kHostErrBadHandle;
      }
      break;
    }
    case HostCall::kFormatString:
      ++counts_.formatString;
      break;
    case HostCall::kCopyString:
      ++counts_.copyString;
      break;
    case HostCall::kIterate:
      log("iterate", first);
      ++counts_.iterate;
      break;
  }
  return std::nullopt;
}

void Validator::OnFault(std::string what) {
  std::lock_guard<std::mutex> lock(mutex_);
  violations_.push_back(std::move(what));
}

void Validator::Fault(int32_t command, const std::string& what) {
  OnFault("command " + std::to_string(command) + ": " + what);
}

void Validator::BeforeCommand(int32_t command, const CommandInput& in, const CommandOutput& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(command);
  inBefore_ = in;
  outBefore_ = out;
  callsBefore_ = counts_.Total();
}

void Validator::AfterCommand(const CommandResult& result, const CommandInput& in, const CommandOutput& out) {
  if (!IsHandledCommand(result.command)) {
    if (std::memcmp(&outBefore_, &out, sizeof out) != 0 || std::memcmp(&inBefore_, &in, sizeof in) != 0 ||
        counts().Total() != callsBefore_ || result.code != 0) {
      Fault(result.command, "an unhandled command did something");
    }
    return;
  }
  if (strnlen(out.message, kMessageBufferBytes) == kMessageBufferBytes) Fault(result.command, "message not terminated");
  CheckCommand(result, in, out);
}

// What each command must leave behind, in this module's terms: its version and
// flags, one string table, four declared parameters and five in all.
void Validator::CheckCommand(const CommandResult& result, const CommandInput& in, const CommandOutput& out) {
  const int32_t command = result.command;
  const Handle globalBefore = inBefore_.globalData;
  const Handle sequenceBefore = inBefore_.sequenceData;
  auto fault = [&](const std::string& what) { Fault(command, what); };
  if (result.hasMessage() && result.message.empty()) fault("message flag set on an empty message");
  switch (command) {
    case kCmdGlobalSetup:
      if (result.ok()) {
        if (!host_.IsLiveHandle(out.globalData)) fault("globalData is not a live handle");
        if (in.globalData != out.globalData) fault("globalData differs between the records");
        if (out.version != kModuleVersion) fault("version is not 0x80600");
        if (out.outFlags != kOutFlagGlobal) fault("outFlags is not 0x40");
        if (host_.RegisteredStringTables() != 1) fault("string table not registered once");
      } else {
        if (host_.RegisteredStringTables() != 0) fault("string table still registered after a failure");
        if (!result.hasMessage()) fault("failure without a message");
        if (out.globalData) fault("globalData set on a failure");
      }
      break;
    case kCmdGlobalSetdown:
      if (out.globalData || in.globalData) fault("globalData not cleared");
      if (globalBefore && host_.IsLiveHandle(globalBefore)) fault("globalData not disposed");
      if (host_.RegisteredStringTables() != 0) fault("string table not released");
      break;
    case kCmdParamsSetup:
      if (result.ok()) {
        if (out.numParams != kParamCount) fault("numParams is " + std::to_string(out.numParams) + ", not 5");
        if (host_.declaredParams().size() != 4) fault(std::to_string(host_.declaredParams().size()) + " parameters declared");
      }
      break;
    case kCmdSequenceSetup:
    case kCmdSequenceResetup:
    case kCmdRender:
      if (sequenceBefore && sequenceBefore != out.sequenceData && host_.IsLiveHandle(sequenceBefore)) {
        fault("the replaced sequence handle was not disposed");
      }
      if (out.sequenceData) {
        if (!host_.IsLiveHandle(out.sequenceData)) fault("sequenceData is not a live handle");
        if (host_.IsLockedHandle(out.sequenceData)) fault("sequenceData left locked");
        if (in.sequenceData != out.sequenceData) fault("sequenceData differs between the records");
      }
      if (command != kCmdRender) {
        if (result.ok() && !out.sequenceData) fault("success without sequence data");
        if (!result.ok() && (result.code != kErrOutOfMemory || !result.hasMessage())) fault("failure other than 4 with a message");
      }
      break;
    case kCmdSequenceFlatten:
    case kCmdSequenceSetdown:
      if (out.sequenceData) fault("sequenceData not cleared");
      if (sequenceBefore && host_.IsLiveHandle(sequenceBefore)) fault("sequence handle not disposed");
      if (in.sequenceData != sequenceBefore) fault("in.sequenceData changed");
      break;
    default:
      break;
  }
}

void Validator::AfterRender(const ImageBuffer& input, const ImageBuffer& output) {
  if (!output.GuardsIntact()) Fault(kCmdRender, "guard bytes around the output overwritten");
  if (!input.GuardsIntact()) Fault(kCmdRender, "guard bytes around the input overwritten");
}

void Validator::ReportLeakedHandles() {
  for (size_t size : host_.LiveHandleSizes()) OnFault("handle of " + std::to_string(size) + " bytes still alive at unload");
}

std::vector<std::string> Validator::violations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return violations_;
}

CallbackCounts Validator::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

std::vector<std::string> Validator::callLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return callLog_;
}

std::vector<int32_t> Validator::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

}  // namespace lfhost
