#include "tests/support/fake_shell_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "shell/commands.h"

FakeShellHost* FakeShellHost::current_ = nullptr;

FakeShellHost::FakeShellHost() {
  CommandInput& in = host.in;
  in.addParam = &AddParam;
  in.registerStrings = &RegisterStrings;
  in.getString = &GetString;
  in.releaseStrings = &ReleaseStrings;
  HostCallbacks& cb = host.callbacks;
  cb.newHandle = &NewHandle;
  cb.lockHandle = &LockHandle;
  cb.unlockHandle = &UnlockHandle;
  cb.disposeHandle = &DisposeHandle;
  cb.copyWorld = &CopyWorld;
  cb.worldPass = &WorldPass;
  cb.blend = &Blend;
  cb.formatString = &FormatString;
  cb.copyString = &CopyString;
  current_ = this;
}

FakeShellHost::~FakeShellHost() {
  for (HandleRecord& record : handles_) {
    if (!record.disposed) std::free(*record.handle);
    delete record.handle;
  }
  if (current_ == this) current_ = nullptr;
}

int32_t FakeShellHost::liveHandles() const {
  int32_t live = 0;
  for (const HandleRecord& record : handles_) live += record.disposed ? 0 : 1;
  return live;
}

void FakeShellHost::StartModule() {
  FilterMain(kCmdGlobalSetup, &host.in, &out, nullptr, nullptr);
  host.log.clear();
}

int32_t FakeShellHost::AddParam(void*, int32_t index, ParamRecord* definition) {
  FakeShellHost* self = current_;
  self->Log("addParam " + std::to_string(definition->id) + " at " + std::to_string(index));
  int32_t call = static_cast<int32_t>(self->params.size());
  self->params.push_back(*definition);
  return (self->refuseParamAt >= 0 && call >= self->refuseParamAt) ? self->refuseCode : 0;
}

int32_t FakeShellHost::RegisterStrings(void** slot, int32_t tag) {
  FakeShellHost* self = current_;
  self->Log("registerStrings");
  self->registeredRecord = *slot;
  self->registeredTag = tag;
  if (self->registerResult != 0) {
    if (self->clearSlotOnFailure) *slot = nullptr;
    return self->registerResult;
  }
  *slot = self->stringRef();
  return 0;
}

// The text after "=" of the registered table's entry, or "?" for a wrong reference.
const char* FakeShellHost::GetString(void* stringRef, int32_t index, int32_t, int32_t) {
  FakeShellHost* self = current_;
  self->Log("getString " + std::to_string(index));
  const auto* table = static_cast<const StringTableRecord*>(self->registeredRecord);
  std::string text = "?";
  if (stringRef == self->stringRef() && table != nullptr && index >= 0 &&
      static_cast<uint64_t>(index) + 1 < table->entryCount) {
    const char* entry = table->entries[index].text;
    text = std::strchr(entry, '=') + 1;
  }
  self->strings_.push_back(text);
  const char* handedOut = self->strings_.back().c_str();
  if (index >= 0 && index < 8) self->lastString[index] = handedOut;
  return handedOut;
}

int32_t FakeShellHost::ReleaseStrings(void** slot) {
  current_->Log("releaseStrings");
  current_->releasedRefs.push_back(*slot);
  return 0;
}

Handle FakeShellHost::NewHandle(int64_t size) {
  FakeShellHost* self = current_;
  self->Log("newHandle");
  if (self->outOfMemory) return nullptr;
  Handle handle = new void*(std::calloc(1, static_cast<size_t>(size)));
  self->handles_.push_back({handle, false});
  return handle;
}

int32_t FakeShellHost::LockHandle(Handle) {
  current_->Log("lockHandle");
  return 0;
}

int32_t FakeShellHost::UnlockHandle(Handle) {
  current_->Log("unlockHandle");
  return 0;
}

int32_t FakeShellHost::DisposeHandle(Handle handle) {
  FakeShellHost* self = current_;
  self->Log("disposeHandle");
  for (HandleRecord& record : self->handles_)
    if (record.handle == handle && !record.disposed) {
      record.disposed = true;
      std::free(*handle);
      *handle = nullptr;
      return 0;
    }
  ADD_FAILURE() << "disposeHandle of an unknown or disposed handle";
  return -1;
}

int32_t FakeShellHost::CopyWorld(void*, const PixelWorld* source, PixelWorld* destination,
                                 const void*, const void*) {
  current_->Log("copyWorld");
  for (int32_t y = 0; y < source->height; ++y)
    std::memcpy(destination->data + static_cast<size_t>(y) * destination->rowBytes,
                source->data + static_cast<size_t>(y) * source->rowBytes,
                static_cast<size_t>(source->width) * 4);
  return 0;
}

int32_t FakeShellHost::WorldPass(void*, int32_t direction, PixelWorld*) {
  current_->Log("worldPass " + std::to_string(direction));
  return current_->worldPassResult[direction == 0 ? 0 : 1];
}

int32_t FakeShellHost::Blend(void*, const PixelWorld* source1, const PixelWorld* source2,
                             int32_t ratio, PixelWorld* destination) {
  FakeShellHost* self = current_;
  self->Log("blend " + std::to_string(ratio));
  self->blendSource1 = source1;
  self->blendSource2 = source2;
  self->blendRatio = ratio;
  self->blendDestination = destination;
  return 0;
}

// "%ld" reads a 32-bit int, "%s" a text, "%%" a percent sign; at most 255 characters.
int32_t FakeShellHost::FormatString(char* destination, const char* format, ...) {
  current_->Log("formatString");
  std::string result;
  va_list args;
  va_start(args, format);
  for (const char* p = format; *p != '\0'; ++p) {
    if (std::strncmp(p, "%ld", 3) == 0) {
      result += std::to_string(va_arg(args, int32_t));
      p += 2;
    } else if (std::strncmp(p, "%s", 2) == 0) {
      result += va_arg(args, const char*);
      ++p;
    } else if (std::strncmp(p, "%%", 2) == 0) {
      result += '%';
      ++p;
    } else {
      result += *p;
    }
  }
  va_end(args);
  result.resize(std::min(result.size(), kMessageBufferBytes - 1));
  std::memcpy(destination, result.c_str(), result.size() + 1);
  return 0;
}

int32_t FakeShellHost::CopyString(char* destination, const char* source) {
  current_->Log("copyString");
  std::strcpy(destination, source);
  return 0;
}
