// About, global setup and setdown: the string table's registration and the
// GlobalData block that keeps its reference.
#include <cstdint>

#include "shell/command_handlers.h"
#include "shell/string_table.h"

namespace {

constexpr int32_t kVersionMajor = 1;
constexpr int32_t kVersionMinor = 0;

// Shown when the module cannot start; it cannot come from the string table,
// whose registration is what failed.
constexpr const char* kGlobalSetupFailedMessage = "Lens Flare could not be initialized.";

}  // namespace

const char* LookupString(const CommandInput* in, int32_t index) {
  void* stringRef = static_cast<GlobalData*>(*in->globalData)->stringRef;
  return in->getString(stringRef, index, 0, 0);
}

int32_t About(CommandInput* in, CommandOutput* out) {
  in->callbacks->formatString(out->message, LookupString(in, kStrAbout), kVersionMajor,
                              kVersionMinor);
  return 0;
}

int32_t GlobalSetup(CommandInput* in, CommandOutput* out) {
  HostCallbacks* host = in->callbacks;
  // The host may replace the slot's content with its own reference; from here on
  // the slot holds the string reference, whatever it is.
  void* slot = const_cast<StringTableRecord*>(NRVN_Lens_Flare_G_zref);
  int32_t error = in->registerStrings(&slot, kRegisterStringsTag);
  Handle handle = nullptr;
  if (error == 0) {
    handle = host->newHandle(sizeof(GlobalData));
    if (handle != nullptr)
      static_cast<GlobalData*>(*handle)->stringRef = nullptr;
    else
      error = kErrOutOfMemory;
  }
  if (error == 0) {
    static_cast<GlobalData*>(*handle)->stringRef = slot;
    out->globalData = handle;
    in->globalData = handle;
    out->version = kModuleVersion;
    out->outFlags = kOutFlagGlobal;
    return 0;
  }
  if (slot != nullptr) in->releaseStrings(&slot);
  out->outFlags |= kOutFlagDisplayMessage;
  host->copyString(out->message, kGlobalSetupFailedMessage);
  return error;
}

// The host hands the same GlobalData handle in both records; nothing is checked
// for null since global setup succeeded before this command can arrive.
int32_t GlobalSetdown(CommandInput* in, CommandOutput* out) {
  void* slot = static_cast<GlobalData*>(*in->globalData)->stringRef;
  in->releaseStrings(&slot);
  static_cast<GlobalData*>(*out->globalData)->stringRef = nullptr;
  in->callbacks->disposeHandle(in->globalData);
  out->globalData = nullptr;
  in->globalData = nullptr;
  return 0;
}
