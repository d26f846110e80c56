// A recording host for white-box tests of the command handlers: a FakeHost (abort,
// progress, iterate) plus the string, parameter, handle, world and message
// callbacks FilterMain uses. Every call is appended to host.log in order
// ("registerStrings", "getString 4", "addParam 2", "newHandle", "lockHandle",
// "unlockHandle", "disposeHandle", "copyWorld", "worldPass 1", "blend 32768",
// "copyString", "formatString", "releaseStrings").
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tests/support/fake_host.h"

class FakeShellHost {
 public:
  FakeShellHost();
  ~FakeShellHost();
  FakeShellHost(const FakeShellHost&) = delete;
  FakeShellHost& operator=(const FakeShellHost&) = delete;

  FakeHost host;            // host.in and host.callbacks are wired to this object
  CommandOutput out{};

  // registerStrings answers this; on success it rewrites the slot with
  // stringRef(), on failure it stores slotOnFailure when that is set.
  int32_t registerResult = 0;
  bool clearSlotOnFailure = false;
  const void* registeredRecord = nullptr;
  int32_t registeredTag = 0;
  std::vector<void*> releasedRefs;  // slot contents releaseStrings received
  void* stringRef() { return &stringRefTarget_; }

  // addParam keeps a copy of each definition; it answers refuseCode for call
  // number refuseParamAt (0-based) and later.
  std::vector<ParamRecord> params;
  int32_t refuseParamAt = -1;
  int32_t refuseCode = 0;

  // newHandle returns null while outOfMemory is set. Blocks are zero-filled.
  bool outOfMemory = false;
  int32_t liveHandles() const;
  int32_t worldPassResult[2] = {0, 0};  // by direction

  // What blend last received.
  const PixelWorld* blendSource1 = nullptr;
  const PixelWorld* blendSource2 = nullptr;
  PixelWorld* blendDestination = nullptr;
  int32_t blendRatio = -1;

  // The texts getString handed out, by index, with their addresses.
  const char* lastString[8] = {};

  // Run the module's global setup; the GlobalData handle lands in in.globalData.
  void StartModule();

 private:
  struct HandleRecord {
    Handle handle;
    bool disposed;
  };
  std::vector<HandleRecord> handles_;
  std::deque<std::string> strings_;
  int stringRefTarget_ = 0;
  static FakeShellHost* current_;

  void Log(std::string entry) { host.log.push_back(std::move(entry)); }
  static int32_t AddParam(void*, int32_t index, ParamRecord* definition);
  static int32_t RegisterStrings(void** slot, int32_t tag);
  static const char* GetString(void* stringRef, int32_t index, int32_t, int32_t);
  static int32_t ReleaseStrings(void** slot);
  static Handle NewHandle(int64_t size);
  static int32_t LockHandle(Handle);
  static int32_t UnlockHandle(Handle);
  static int32_t DisposeHandle(Handle handle);
  static int32_t CopyWorld(void*, const PixelWorld* source, PixelWorld* destination, const void*,
                           const void*);
  static int32_t WorldPass(void*, int32_t direction, PixelWorld*);
  static int32_t Blend(void*, const PixelWorld* source1, const PixelWorld* source2, int32_t ratio,
                       PixelWorld* destination);
  static int32_t FormatString(char* destination, const char* format, ...);
  static int32_t CopyString(char* destination, const char* source);
};
