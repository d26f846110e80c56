// The host's side of the callback interface: every function the module can reach
// through CommandInput and HostCallbacks, and the state behind them (tracked
// handles, registered string tables, declared parameters, the worlds of the
// current render, abort and progress). All callbacks are noexcept C functions;
// what the module does wrong comes back as an error code, and is told to the
// observer if one is attached (host/core/host_observer.h). The host keeps only what
// serving the module needs, so a long session stays the same size: no log, no
// counts, no text built unless an observer asks for it.
//
// Callbacks that carry effectRef (addParam, abortCheck, progress, blend,
// copyWorld, worldPass) reach their HostServices through it. The others
// (handles, strings, formatString, copyString, iterate) reach the HostServices
// that is active on the calling thread: EffectInstance activates its host around
// every FilterMain call, so several instances can run on different threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/core/cancel_token.h"
#include "host/core/host_observer.h"
#include "host/core/worker_pool.h"
#include "shell/host_protocol.h"

namespace lfhost {

class ImageBuffer;

// Error codes the host's callbacks return. They fit in 16 bits, so they survive
// the module's 16-bit status unchanged.
inline constexpr int32_t kHostErrGuardBroken = 7101;   // a world's guard bytes were overwritten
inline constexpr int32_t kHostErrUnknownWorld = 7102;  // a world the host did not hand out
inline constexpr int32_t kHostErrBadHandle = 7103;     // not a live handle (or disposed twice)
inline constexpr int32_t kHostErrHandleLocked = 7104;  // disposal of a locked handle
inline constexpr int32_t kHostErrBadArgument = 7105;   // sizes differ, bad count or direction
inline constexpr int32_t kHostErrNoHost = 7106;        // a callback outside any FilterMain call

// Called with (current, total) as the module reports progress. It runs on the
// render thread in the middle of rendering, so it must return at once.
using ProgressSink = std::function<void(int32_t current, int32_t total)>;

// A parameter as the module declared it through addParam.
struct DeclaredParam {
  int32_t index = 0;                    // as passed to addParam (-1 = append)
  ParamRecord record{};                 // the definition, byte for byte
  std::string choicesText;              // popup: the "a|b|c" text, copied at declaration
  std::vector<std::string> choices;     // popup: split at "|"
};

class HostServices {
 public:
  HostServices(WorkerPool& pool, CancelToken* cancel);
  ~HostServices();
  HostServices(const HostServices&) = delete;
  HostServices& operator=(const HostServices&) = delete;

  // Writes the callback pointers and effectRef into `in` (other fields untouched).
  void Connect(CommandInput& in);

  // Told of every callback and fault (null: nobody watches). Set it before the
  // first command; it must outlive the commands it watches.
  void SetObserver(HostObserver* observer) { observer_ = observer; }
  void SetProgressSink(ProgressSink sink) { progressSink_ = std::move(sink); }
  void SetCancelToken(CancelToken* cancel) { cancel_ = cancel; }

  // Makes this host the one that effectRef-less callbacks reach on this thread
  // for the lifetime of the object.
  class Activation {
   public:
    explicit Activation(HostServices& host);
    ~Activation();
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;
   private:
    HostServices* previous_;
  };

  // Worlds that worldPass, copyWorld and blend accept during the current render.
  void AdmitWorld(const ImageBuffer& buffer);
  // Until DismissWorlds: `destination` already holds `source`'s pixels, so
  // the first copyWorld from one to the other has nothing to move and returns
  // at once (the observer is still told of the call).
  void HoldsCopy(const ImageBuffer& source, const ImageBuffer& destination);
  void DismissWorlds();

  const std::vector<DeclaredParam>& declaredParams() const { return declared_; }
  void ClearDeclaredParams() { declared_.clear(); }

  size_t LiveHandleCount() const;
  // The size of each handle still alive, at most a few: what the module holds now.
  std::vector<size_t> LiveHandleSizes() const;
  bool IsLiveHandle(Handle handle) const;
  bool IsLockedHandle(Handle handle) const;
  size_t BlockSize(Handle handle) const;
  size_t RegisteredStringTables() const;
  std::string RegisteredTableName() const;

  // Entries in the host's tables (handles, string tables, parameters, worlds):
  // what serving the module retains, constant from one render to the next.
  size_t RetainedEntries() const;

  WorkerPool& pool() { return pool_; }

  // ---- The callbacks themselves (public for direct tests) ------------------
  static int32_t AddParam(void* effectRef, int32_t index, ParamRecord* definition) noexcept;
  static int32_t AbortCheck(void* effectRef) noexcept;
  static int32_t Progress(void* effectRef, int32_t current, int32_t total) noexcept;
  static int32_t RegisterStrings(void** slot, int32_t tag) noexcept;
  static const char* GetString(void* stringRef, int32_t index, int32_t, int32_t) noexcept;
  static int32_t ReleaseStrings(void** slot) noexcept;
  static int32_t Blend(void* effectRef, const PixelWorld* source1, const PixelWorld* source2,
                       int32_t ratio16_16, PixelWorld* destination) noexcept;
  static int32_t CopyWorld(void* effectRef, const PixelWorld* source, PixelWorld* destination,
                           const void* sourceRect, const void* destinationRect) noexcept;
  static int32_t WorldPass(void* effectRef, int32_t direction, PixelWorld* world) noexcept;
  static Handle NewHandle(int64_t size) noexcept;
  static int32_t LockHandle(Handle handle) noexcept;
  static int32_t UnlockHandle(Handle handle) noexcept;
  static int32_t DisposeHandle(Handle handle) noexcept;
  static int32_t FormatString(char* destination, const char* format, ...) noexcept;
  static int32_t CopyString(char* destination, const char* source) noexcept;
  static int32_t Iterate(int32_t count, void* refcon, IterateWorkerFn worker) noexcept;

 private:
  struct HandleSlot;
  struct StringTable;
  static HostServices* Current() noexcept;
  static HostServices* FromRef(void* effectRef) noexcept;
  // Tells the observer of a call; a value is the result it injects.
  std::optional<int32_t> Observe(HostCall call, int64_t first = 0, int64_t second = 0) const;
  // Tells the observer of a fault; `describe` only runs when there is one.
  template <typename Describe>
  void Fault(Describe describe) const {
    if (observer_) observer_->OnFault(describe());
  }
  const ImageBuffer* FindWorld(const PixelWorld* world) const;
  // True, once, for the copy HoldsCopy names.
  bool TakeHeldCopy(const PixelWorld* source, const PixelWorld* destination);
  HandleSlot* FindSlot(Handle handle) const;
  int32_t SetLocked(Handle handle, bool locked, const char* callName) noexcept;

  WorkerPool& pool_;
  CancelToken* cancel_;
  ProgressSink progressSink_;
  HostCallbacks callbacks_{};
  HostObserver* observer_ = nullptr;

  // Handles and string tables change in setup commands and at a sequence's
  // first render, a few times in all; this lock keeps them whole should the
  // module call from an iterate worker. The callbacks of every frame (abort,
  // progress, worlds, blend, iterate) take no lock.
  mutable std::mutex mutex_;
  // A disposed handle's slot is freed: the validator, not the host, remembers
  // it to recognise a second disposal.
  std::map<Handle, std::unique_ptr<HandleSlot>> handles_;
  std::vector<std::unique_ptr<StringTable>> tables_;
  std::vector<DeclaredParam> declared_;
  std::vector<const ImageBuffer*> worlds_;
  // The pair of worlds HoldsCopy named (null: none).
  const ImageBuffer* heldSource_ = nullptr;
  const ImageBuffer* heldCopy_ = nullptr;
  // Table records whose registration an observer refused; the module may release them.
  std::vector<void*> refusedRecords_;
};

}  // namespace lfhost
