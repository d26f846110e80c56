#include "host/core/host_callbacks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <set>

#include "host/core/image_buffer.h"
#include "host/core/module_loader.h"
#include "shell/world_blend.h"

namespace lfhost {
namespace {

thread_local HostServices* tCurrentHost = nullptr;

// Texts and tables the module could hand us are bounded, so a broken record
// cannot make the host walk memory without end.
constexpr uint64_t kMaxStringEntries = 4096;
constexpr size_t kMaxChoicesBytes = 4096;

const char kEmptyText[] = "";

// Writes at most kMessageBufferBytes - 1 characters and a NUL.
class BoundedWriter {
 public:
  explicit BoundedWriter(char* destination) : destination_(destination) {}
  void Put(char c) {
    if (length_ + 1 < kMessageBufferBytes) destination_[length_++] = c;
  }
  void Put(const char* text) {
    while (*text) Put(*text++);
  }
  void Finish() { destination_[length_] = '\0'; }

 private:
  char* destination_;
  size_t length_ = 0;
};

}  // namespace

struct HostServices::HandleSlot {
  void* block = nullptr;      // the slot a Handle points at
  size_t size = 0;
  bool locked = false;
};

struct HostServices::StringTable {
  std::string name;
  std::vector<std::string> texts;   // display texts, after "="
};

// Every live HostServices, so that FromRef can tell our effectRef from anything
// else without reading through a stray pointer.
namespace {
std::mutex gLiveHostsMutex;
std::set<const void*> gLiveHosts;
}  // namespace

HostServices::HostServices(WorkerPool& pool, CancelToken* cancel) : pool_(pool), cancel_(cancel) {
  callbacks_.blend = &Blend;
  callbacks_.copyWorld = &CopyWorld;
  callbacks_.worldPass = &WorldPass;
  callbacks_.newHandle = &NewHandle;
  callbacks_.lockHandle = &LockHandle;
  callbacks_.unlockHandle = &UnlockHandle;
  callbacks_.disposeHandle = &DisposeHandle;
  callbacks_.formatString = &FormatString;
  callbacks_.copyString = &CopyString;
  callbacks_.iterate = &Iterate;
  std::lock_guard<std::mutex> lock(gLiveHostsMutex);
  gLiveHosts.insert(this);
}

HostServices::~HostServices() {
  {
    std::lock_guard<std::mutex> lock(gLiveHostsMutex);
    gLiveHosts.erase(this);
  }
  for (auto& [handle, slot] : handles_) std::free(slot->block);
}

void HostServices::Connect(CommandInput& in) {
  in.addParam = &AddParam;
  in.abortCheck = &AbortCheck;
  in.progress = &Progress;
  in.registerStrings = &RegisterStrings;
  in.getString = &GetString;
  in.releaseStrings = &ReleaseStrings;
  in.callbacks = &callbacks_;
  in.effectRef = this;
}

HostServices::Activation::Activation(HostServices& host) : previous_(tCurrentHost) { tCurrentHost = &host; }
HostServices::Activation::~Activation() { tCurrentHost = previous_; }

HostServices* HostServices::Current() noexcept { return tCurrentHost; }

HostServices* HostServices::FromRef(void* effectRef) noexcept {
  // The calling thread's host is the common case and needs no lock.
  if (effectRef != nullptr && effectRef == tCurrentHost) return tCurrentHost;
  std::lock_guard<std::mutex> lock(gLiveHostsMutex);
  return gLiveHosts.count(effectRef) ? static_cast<HostServices*>(effectRef) : nullptr;
}

std::optional<int32_t> HostServices::Observe(HostCall call, int64_t first, int64_t second) const {
  if (!observer_) return std::nullopt;
  return observer_->OnCall(call, first, second);
}

// The worlds change on the render thread between commands, never while the
// module runs, so worldPass reads them without a lock.
void HostServices::AdmitWorld(const ImageBuffer& buffer) { worlds_.push_back(&buffer); }

void HostServices::HoldsCopy(const ImageBuffer& source, const ImageBuffer& destination) {
  heldSource_ = &source;
  heldCopy_ = &destination;
}

bool HostServices::TakeHeldCopy(const PixelWorld* source, const PixelWorld* destination) {
  const auto same = [](const PixelWorld* world, const ImageBuffer* buffer) {
    return buffer && world->data == buffer->world()->data && world->rowBytes == buffer->rowBytes();
  };
  if (!same(source, heldSource_) || !same(destination, heldCopy_)) return false;
  // Only the first copy is already made: the module may draw into the
  // destination afterwards, and a later copy must then move the pixels.
  heldSource_ = heldCopy_ = nullptr;
  return true;
}

void HostServices::DismissWorlds() {
  worlds_.clear();
  heldSource_ = heldCopy_ = nullptr;
}

const ImageBuffer* HostServices::FindWorld(const PixelWorld* world) const {
  for (const ImageBuffer* b : worlds_) {
    if (b->world() == world || (world && b->world()->data == world->data)) return b;
  }
  return nullptr;
}

HostServices::HandleSlot* HostServices::FindSlot(Handle handle) const {
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second.get();
}

size_t HostServices::LiveHandleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_.size();
}

std::vector<size_t> HostServices::LiveHandleSizes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<size_t> sizes;
  for (const auto& [handle, slot] : handles_) sizes.push_back(slot->size);
  return sizes;
}

size_t HostServices::RetainedEntries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_.size() + tables_.size() + declared_.size() + worlds_.size() + refusedRecords_.size();
}

bool HostServices::IsLiveHandle(Handle handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const HandleSlot* slot = FindSlot(handle);
  return slot != nullptr;
}

bool HostServices::IsLockedHandle(Handle handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const HandleSlot* slot = FindSlot(handle);
  return slot && slot->locked;
}

size_t HostServices::BlockSize(Handle handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const HandleSlot* slot = FindSlot(handle);
  return slot ? slot->size : 0;
}

size_t HostServices::RegisteredStringTables() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tables_.size();
}

std::string HostServices::RegisteredTableName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tables_.empty() ? std::string() : tables_.back()->name;
}

// ---- Parameters, abort, progress ----------------------------------------------

int32_t HostServices::AddParam(void* effectRef, int32_t index, ParamRecord* definition) noexcept {
  HostServices* host = FromRef(effectRef);
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kAddParam, index, definition ? definition->id : -1)) return *injected;
    if (!definition) {
      host->Fault([] { return std::string("addParam: null definition"); });
      return kHostErrBadArgument;
    }
    if (index != -1) host->Fault([&] { return "addParam: index " + std::to_string(index) + " instead of -1 (append)"; });
    if (strnlen(definition->name, sizeof definition->name) == sizeof definition->name) {
      host->Fault([&] { return "addParam: name of parameter " + std::to_string(definition->id) + " not terminated"; });
    }
    DeclaredParam declared;
    declared.index = index;
    declared.record = *definition;
    declared.record.name[sizeof declared.record.name - 1] = '\0';
    if (definition->paramKind == kParamPopup && definition->value.popup.choices) {
      const char* text = definition->value.popup.choices;
      declared.choicesText.assign(text, strnlen(text, kMaxChoicesBytes));
      size_t start = 0;
      for (;;) {
        const size_t bar = declared.choicesText.find('|', start);
        declared.choices.push_back(declared.choicesText.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
      }
    }
    std::lock_guard<std::mutex> lock(host->mutex_);
    host->declared_.push_back(std::move(declared));
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

int32_t HostServices::AbortCheck(void* effectRef) noexcept {
  HostServices* host = FromRef(effectRef);
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kAbortCheck)) return *injected;
  } catch (...) {
  }
  if (host->cancel_ && host->cancel_->requested()) return kErrCancelled;
  return 0;
}

int32_t HostServices::Progress(void* effectRef, int32_t current, int32_t total) noexcept {
  HostServices* host = FromRef(effectRef);
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kProgress, current, total)) return *injected;
    if (host->progressSink_) host->progressSink_(current, total);
  } catch (...) {
    // A display that fails must not stop the render.
  }
  return 0;
}

// ---- Strings ---------------------------------------------------------------------

int32_t HostServices::RegisterStrings(void** slot, int32_t tag) noexcept {
  HostServices* host = Current();
  if (!host) return kHostErrNoHost;
  try {
    if (tag != kRegisterStringsTag) host->Fault([&] { return "registerStrings: tag " + std::to_string(tag); });
    if (auto injected = host->Observe(HostCall::kRegisterStrings, tag)) {
      if (slot) {
        std::lock_guard<std::mutex> lock(host->mutex_);
        host->refusedRecords_.push_back(*slot);
      }
      return *injected;
    }
    if (!slot || !*slot) {
      host->Fault([] { return std::string("registerStrings: no table record in the slot"); });
      return kHostErrBadArgument;
    }
    const auto* record = static_cast<const StringTableRecord*>(*slot);
    if (!record->entries || record->entryCount == 0 || record->entryCount > kMaxStringEntries) {
      host->Fault([&] { return "registerStrings: table record with " + std::to_string(record->entryCount) + " entries"; });
      return kHostErrBadArgument;
    }
    auto table = std::make_unique<StringTable>();
    if (record->tableName) table->name = record->tableName;
    for (uint64_t i = 0; i < record->entryCount; ++i) {
      const StringEntry& entry = record->entries[i];
      if (!entry.text) {
        if (i + 1 != record->entryCount) host->Fault([] { return std::string("registerStrings: terminating entry before the count"); });
        break;
      }
      if (i + 1 == record->entryCount) host->Fault([] { return std::string("registerStrings: last counted entry is not the terminator"); });
      table->texts.push_back(TextAfterKey(entry.text));
    }
    std::lock_guard<std::mutex> lock(host->mutex_);
    *slot = table.get();
    host->tables_.push_back(std::move(table));
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

const char* HostServices::GetString(void* stringRef, int32_t index, int32_t, int32_t) noexcept {
  HostServices* host = Current();
  if (!host) return kEmptyText;
  try {
    host->Observe(HostCall::kGetString, index);
    {
      std::lock_guard<std::mutex> lock(host->mutex_);
      for (const auto& table : host->tables_) {
        if (table.get() != stringRef) continue;
        if (index < 0 || static_cast<size_t>(index) >= table->texts.size()) break;
        return table->texts[static_cast<size_t>(index)].c_str();
      }
    }
    host->Fault([&] { return "getString: index " + std::to_string(index) + " of a table that is not registered"; });
  } catch (...) {
  }
  return kEmptyText;
}

int32_t HostServices::ReleaseStrings(void** slot) noexcept {
  HostServices* host = Current();
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kReleaseStrings)) return *injected;
    if (slot) {
      std::lock_guard<std::mutex> lock(host->mutex_);
      for (auto it = host->tables_.begin(); it != host->tables_.end(); ++it) {
        if (it->get() == *slot) {
          host->tables_.erase(it);
          return 0;
        }
      }
      // A module may hand back the record the host refused to register.
      auto refused = std::find(host->refusedRecords_.begin(), host->refusedRecords_.end(), *slot);
      if (refused != host->refusedRecords_.end()) {
        host->refusedRecords_.erase(refused);
        return 0;
      }
    }
    host->Fault([] { return std::string("releaseStrings: not a registered string table"); });
    return kHostErrBadHandle;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

int32_t HostServices::FormatString(char* destination, const char* format, ...) noexcept {
  if (HostServices* host = Current()) {
    try {
      host->Observe(HostCall::kFormatString);
    } catch (...) {
    }
  }
  if (!destination) return kHostErrBadArgument;
  BoundedWriter out(destination);
  va_list args;
  va_start(args, format);
  for (const char* p = format ? format : ""; *p; ++p) {
    if (p[0] == '%' && p[1] == 'l' && p[2] == 'd') {
      char number[16];
      std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(va_arg(args, int)));
      out.Put(number);
      p += 2;
    } else if (p[0] == '%' && p[1] == 's') {
      const char* text = va_arg(args, const char*);
      out.Put(text ? text : "");
      p += 1;
    } else if (p[0] == '%' && p[1] == '%') {
      out.Put('%');
      p += 1;
    } else {
      out.Put(*p);
    }
  }
  va_end(args);
  out.Finish();
  return 0;
}

int32_t HostServices::CopyString(char* destination, const char* source) noexcept {
  if (HostServices* host = Current()) {
    try {
      host->Observe(HostCall::kCopyString);
    } catch (...) {
    }
  }
  if (!destination) return kHostErrBadArgument;
  BoundedWriter out(destination);
  out.Put(source ? source : "");
  out.Finish();
  return 0;
}

// ---- Handles ---------------------------------------------------------------------

Handle HostServices::NewHandle(int64_t size) noexcept {
  HostServices* host = Current();
  if (!host) return nullptr;
  try {
    if (host->Observe(HostCall::kNewHandle, size)) return nullptr;
    if (size < 0) {
      host->Fault([&] { return "newHandle: negative size " + std::to_string(size); });
      return nullptr;
    }
    auto slot = std::make_unique<HandleSlot>();
    slot->block = std::calloc(1, static_cast<size_t>(std::max<int64_t>(size, 1)));
    if (!slot->block) return nullptr;
    slot->size = static_cast<size_t>(size);
    Handle handle = &slot->block;
    std::lock_guard<std::mutex> lock(host->mutex_);
    host->handles_[handle] = std::move(slot);
    return handle;
  } catch (...) {
    return nullptr;
  }
}

// Lock and unlock: the lock state is the module's own bookkeeping, checked so
// that a locked handle is never disposed.
int32_t HostServices::SetLocked(Handle handle, bool locked, const char* callName) noexcept {
  try {
    if (auto injected = Observe(locked ? HostCall::kLockHandle : HostCall::kUnlockHandle, reinterpret_cast<intptr_t>(handle))) {
      return *injected;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    HandleSlot* slot = FindSlot(handle);
    if (!slot) {
      lock.unlock();
      Fault([&] { return std::string(callName) + ": not a live handle"; });
      return kHostErrBadHandle;
    }
    const bool was = slot->locked;
    slot->locked = locked;
    lock.unlock();
    if (was == locked) Fault([&] { return std::string(callName) + (locked ? ": handle already locked" : ": handle not locked"); });
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

int32_t HostServices::LockHandle(Handle handle) noexcept {
  HostServices* host = Current();
  return host ? host->SetLocked(handle, true, "lockHandle") : kHostErrNoHost;
}

int32_t HostServices::UnlockHandle(Handle handle) noexcept {
  HostServices* host = Current();
  return host ? host->SetLocked(handle, false, "unlockHandle") : kHostErrNoHost;
}

int32_t HostServices::DisposeHandle(Handle handle) noexcept {
  HostServices* host = Current();
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kDisposeHandle, reinterpret_cast<intptr_t>(handle))) return *injected;
    std::unique_lock<std::mutex> lock(host->mutex_);
    auto it = host->handles_.find(handle);
    if (it == host->handles_.end()) {
      lock.unlock();
      host->Fault([] { return std::string("disposeHandle: not a handle the host made"); });
      return kHostErrBadHandle;
    }
    if (it->second->locked) {
      lock.unlock();
      host->Fault([] { return std::string("disposeHandle: handle is locked"); });
      return kHostErrHandleLocked;
    }
    std::free(it->second->block);
    host->handles_.erase(it);
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

// ---- Worlds ----------------------------------------------------------------------

namespace {
bool SameSize(const PixelWorld* a, const PixelWorld* b) {
  return a && b && a->data && b->data && a->width == b->width && a->height == b->height && a->width > 0 &&
         a->height > 0;
}
}  // namespace

int32_t HostServices::Blend(void* effectRef, const PixelWorld* source1, const PixelWorld* source2,
                            int32_t ratio16_16, PixelWorld* destination) noexcept {
  HostServices* host = FromRef(effectRef);
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kBlend, ratio16_16)) return *injected;
    if (!SameSize(source1, source2) || !SameSize(source1, destination)) {
      host->Fault([] { return std::string("blend: worlds missing or of different sizes"); });
      return kHostErrBadArgument;
    }
    const int64_t ratio = std::clamp<int64_t>(ratio16_16, 0, 65536);
    const size_t rowLength = static_cast<size_t>(destination->width) * 4;
    // Ratios 0 and 65536 give one source exactly, so those blends are copies,
    // or nothing at all when the destination is that source (the render
    // command's usual blend, ratio 0 of the output over itself).
    if (ratio == 0 || ratio == 65536) {
      const PixelWorld* source = ratio == 0 ? source1 : source2;
      if (source->data == destination->data && source->rowBytes == destination->rowBytes) return 0;
      for (int32_t y = 0; y < destination->height; ++y) {
        std::memmove(destination->data + static_cast<ptrdiff_t>(y) * destination->rowBytes,
                     source->data + static_cast<ptrdiff_t>(y) * source->rowBytes, rowLength);
      }
      return 0;
    }
    const uint32_t weight = static_cast<uint32_t>(ratio);
    for (int32_t y = 0; y < destination->height; ++y) {
      const uint8_t* a = source1->data + static_cast<ptrdiff_t>(y) * source1->rowBytes;
      const uint8_t* b = source2->data + static_cast<ptrdiff_t>(y) * source2->rowBytes;
      uint8_t* d = destination->data + static_cast<ptrdiff_t>(y) * destination->rowBytes;
      for (size_t i = 0; i < rowLength; ++i) {
        d[i] = BlendWeighted(a[i], b[i], weight);
      }
    }
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

int32_t HostServices::CopyWorld(void* effectRef, const PixelWorld* source, PixelWorld* destination,
                                const void* sourceRect, const void* destinationRect) noexcept {
  HostServices* host = FromRef(effectRef);
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kCopyWorld)) return *injected;
    if (sourceRect || destinationRect) {
      host->Fault([] { return std::string("copyWorld: only whole-world copies (null rectangles) are supported"); });
      return kHostErrBadArgument;
    }
    if (!SameSize(source, destination)) {
      host->Fault([] { return std::string("copyWorld: worlds missing or of different sizes"); });
      return kHostErrBadArgument;
    }
    if (host->TakeHeldCopy(source, destination)) return 0;
    const size_t rowLength = static_cast<size_t>(source->width) * 4;
    for (int32_t y = 0; y < source->height; ++y) {
      std::memmove(destination->data + static_cast<ptrdiff_t>(y) * destination->rowBytes,
                   source->data + static_cast<ptrdiff_t>(y) * source->rowBytes, rowLength);
    }
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

int32_t HostServices::WorldPass(void* effectRef, int32_t direction, PixelWorld* world) noexcept {
  HostServices* host = FromRef(effectRef);
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kWorldPass, direction)) return *injected;
    if (direction != 0 && direction != 1) {
      host->Fault([&] { return "worldPass: direction " + std::to_string(direction); });
      return kHostErrBadArgument;
    }
    const ImageBuffer* buffer = host->FindWorld(world);
    if (!buffer) {
      host->Fault([] { return std::string("worldPass: a world the host did not hand out"); });
      return kHostErrUnknownWorld;
    }
    if (!buffer->GuardsIntact()) {
      host->Fault([] { return std::string("worldPass: the guard bytes around a world were overwritten"); });
      return kHostErrGuardBroken;
    }
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

// ---- Iteration -------------------------------------------------------------------

int32_t HostServices::Iterate(int32_t count, void* refcon, IterateWorkerFn worker) noexcept {
  HostServices* host = Current();
  if (!host) return kHostErrNoHost;
  try {
    if (auto injected = host->Observe(HostCall::kIterate, count)) return *injected;
    if (!worker || count < -1) {
      host->Fault([&] { return "iterate: count " + std::to_string(count) + (worker ? "" : " without a worker"); });
      return kHostErrBadArgument;
    }
    if (count == 0) return 0;
    if (count == 1) return worker(refcon, 0, 0, 1);

    WorkerPool& pool = host->pool_;
    const int32_t invocations = count == -1 ? pool.size() : count;
    std::vector<int32_t> results(static_cast<size_t>(invocations), 0);
    pool.RunOnEveryThread([&](int threadIndex) {
      Activation active(*host);
      // Invocation i runs on thread i mod size: with count -1, one per thread,
      // and index 0 always on the calling (render) thread.
      for (int32_t i = threadIndex; i < invocations; i += pool.size()) {
        results[static_cast<size_t>(i)] = worker(refcon, threadIndex, i, invocations);
      }
    });
    for (int32_t r : results) {
      if (r != 0) return r;
    }
    return 0;
  } catch (...) {
    return kErrOutOfMemory;
  }
}

}  // namespace lfhost
