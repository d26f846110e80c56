// The host records and callback table, shared by the module and by our host.
//
// This header is the whole binary contract between a compositing host and the
// Lens Flare module: every record field sits at a pinned byte offset (checked by
// the static_asserts at the end), and every callback has a C signature. Neither
// side restates an offset anywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// 16.16 signed fixed point: v stands for v / 65536.
using Fix16 = int32_t;

// A block that outlives a command: a pointer to the slot holding the block's
// address, so one dereference reaches the block.
using Handle = void**;

struct ParamRecord;
struct PixelWorld;

// ---- Callbacks reached through CommandInput ------------------------------
using AddParamFn = int32_t (*)(void* effectRef, int32_t index, ParamRecord* definition);
using AbortCheckFn = int32_t (*)(void* effectRef);
using ProgressFn = int32_t (*)(void* effectRef, int32_t current, int32_t total);
// slot holds the table record on entry; the host may rewrite it with its own string reference.
using RegisterStringsFn = int32_t (*)(void** slot, int32_t tag);
using GetStringFn = const char* (*)(void* stringRef, int32_t index, int32_t, int32_t);
using ReleaseStringsFn = int32_t (*)(void** slot);

// ---- Callbacks reached through HostCallbacks -----------------------------
using BlendFn = int32_t (*)(void* effectRef, const PixelWorld* source1, const PixelWorld* source2,
                            int32_t ratio16_16, PixelWorld* destination);
using CopyWorldFn = int32_t (*)(void* effectRef, const PixelWorld* source, PixelWorld* destination,
                                const void* sourceRect, const void* destinationRect);
using WorldPassFn = int32_t (*)(void* effectRef, int32_t direction, PixelWorld* world);
using NewHandleFn = Handle (*)(int64_t size);
using LockHandleFn = int32_t (*)(Handle handle);
using UnlockHandleFn = int32_t (*)(Handle handle);
using DisposeHandleFn = int32_t (*)(Handle handle);
// "%ld" reads a 32-bit int, "%s" a text, "%%" a percent sign.
using FormatStringFn = int32_t (*)(char* destination, const char* format, ...);
using CopyStringFn = int32_t (*)(char* destination, const char* source);
using IterateWorkerFn = int32_t (*)(void* refcon, int32_t threadIndex, int32_t index, int32_t count);
// count 1: one invocation; count -1: the host chooses (one per worker thread).
using IterateFn = int32_t (*)(int32_t count, void* refcon, IterateWorkerFn worker);

// The registration callback handed to PluginDataEntryFunction.
using RegisterEffectFn = int32_t (*)(void* hostData, const char* nameKey, const char* matchName,
                                     const char* categoryKey, const char* entryPoint, uint32_t kind,
                                     int32_t interfaceMajor, int32_t interfaceMinor,
                                     uint32_t trailingWord);

// ---- Records --------------------------------------------------------------

// An image: 8-bit A, R, G, B per pixel, rows rowBytes apart.
struct PixelWorld {
  uint8_t reserved0[0x18];
  uint8_t* data;
  int32_t rowBytes;
  int32_t width;
  int32_t height;
  uint8_t reserved1[4];
};

// Host callback table: 8-byte function pointers, slot n at byte 8n.
struct HostCallbacks {
  void* slots0to5[6];
  BlendFn blend;           // slot 6
  void* slot7;
  CopyWorldFn copyWorld;   // slot 8
  void* slots9to11[3];
  WorldPassFn worldPass;   // slot 12
  void* slots13to19[7];
  NewHandleFn newHandle;           // slot 20
  LockHandleFn lockHandle;         // slot 21
  UnlockHandleFn unlockHandle;     // slot 22
  DisposeHandleFn disposeHandle;   // slot 23
  void* slots24to40[17];
  FormatStringFn formatString;     // slot 41
  CopyStringFn copyString;         // slot 42
  void* slots43to56[14];
  IterateFn iterate;               // slot 57
  void* slots58to63[6];
};

struct CommandInput {
  uint8_t reserved0[0x10];
  AddParamFn addParam;                 // 0x10
  AbortCheckFn abortCheck;             // 0x18
  ProgressFn progress;                 // 0x20
  uint8_t reserved1[0x60 - 0x28];
  RegisterStringsFn registerStrings;   // 0x60
  GetStringFn getString;               // 0x68
  ReleaseStringsFn releaseStrings;     // 0x70
  uint8_t reserved2[0xb0 - 0x78];
  HostCallbacks* callbacks;            // 0xb0
  void* effectRef;                     // 0xb8
  uint8_t reserved3[0x12c - 0xc0];
  int32_t pixelAspectNum;              // 0x12c
  uint32_t pixelAspectDen;             // 0x130
  uint8_t reserved4[4];
  Handle globalData;                   // 0x138
  Handle sequenceData;                 // 0x140
};

inline constexpr size_t kMessageBufferBytes = 256;

struct CommandOutput {
  uint32_t version;                    // 0x00
  uint8_t reserved0[0x28 - 0x04];
  Handle globalData;                   // 0x28
  int32_t numParams;                   // 0x30
  uint8_t reserved1[4];
  Handle sequenceData;                 // 0x38
  uint8_t reserved2[0x60 - 0x40];
  uint32_t outFlags;                   // 0x60
  char message[kMessageBufferBytes];   // 0x64
  uint8_t reserved3[4];
};

// ---- Parameter records ----------------------------------------------------

enum ParamKind : int32_t {
  kParamFixedSlider = 2,
  kParamPoint = 6,
  kParamPopup = 7,
  kParamFloatSlider = 10,
};

// Value areas, by kind; offsets are bytes within ParamRecord::value.
struct PointValue {
  Fix16 x;                 // 0
  Fix16 y;                 // 4
  uint8_t reserved[3];
  uint8_t flag;            // 11
  Fix16 defaultX;          // 12
  Fix16 defaultY;          // 16
};

struct FloatSliderValue {
  double value;            // 0
  uint8_t reserved[40];
  float validMin;          // 48
  float validMax;          // 52
  float sliderMin;         // 56
  float sliderMax;         // 60
  float defaultValue;      // 64
  int16_t precision;       // 68
  int16_t displayFlags;    // 70
};

struct PopupValue {
  int32_t value;           // 0, counting choices from 1
  int16_t numChoices;      // 4
  int16_t defaultChoice;   // 6
  const char* choices;     // 8, "a|b|c"
};

struct FixedSliderValue {
  Fix16 value;             // 0
  uint8_t reserved[64];
  Fix16 validMin;          // 68
  Fix16 validMax;          // 72
  Fix16 sliderMin;         // 76
  Fix16 sliderMax;         // 80
  Fix16 defaultValue;      // 84
  int16_t precision;       // 88
  int16_t displayFlags;    // 90
};

inline constexpr size_t kParamValueBytes = 120;

struct ParamRecord {
  int32_t id;              // 0
  uint8_t reserved0[8];
  int32_t paramKind;       // 12
  char name[32];           // 16
  uint8_t reserved1[8];
  union {                  // 56
    uint8_t bytes[kParamValueBytes];
    PixelWorld layer;      // the input layer's record carries its world
    PointValue point;
    FloatSliderValue floatSlider;
    PopupValue popup;
    FixedSliderValue fixedSlider;
  } value;
};

// The five records a command carries: the input layer, then the four controls.
using EffectParams = ParamRecord**;

enum ParamIndex : int {
  kParamInputLayer = 0,
  kParamFlareCenter = 1,
  kParamFlareBrightness = 2,
  kParamLensType = 3,
  kParamBlendWithOriginal = 4,
  kParamCount = 5,
};

// ---- Localized string table ----------------------------------------------

struct StringEntry {
  const char* text;        // "key=default text"; null in the terminating entry
  uint64_t field1;
  uint64_t field2;
  uint64_t field3;
};

struct StringTableRecord {
  const char* tableName;
  uint64_t entryCount;     // including the terminating entry
  const StringEntry* entries;
};

// ---- Entry points -----------------------------------------------------------

using FilterMainFn = int32_t (*)(int32_t command, CommandInput* in, CommandOutput* out,
                                 EffectParams params, PixelWorld* output);
using PluginDataEntryFn = int32_t (*)(void* hostData, RegisterEffectFn registerEffect);

}  // extern "C"

// ---- Commands, flags and codes ----------------------------------------------

enum Command : int32_t {
  kCmdAbout = 0,
  kCmdGlobalSetup = 1,
  kCmdGlobalSetdown = 3,
  kCmdParamsSetup = 4,
  kCmdSequenceSetup = 5,
  kCmdSequenceResetup = 6,
  kCmdSequenceFlatten = 7,
  kCmdSequenceSetdown = 8,
  kCmdRender = 11,
};

inline constexpr uint32_t kOutFlagGlobal = 0x40;
inline constexpr uint32_t kOutFlagDisplayMessage = 0x100;
inline constexpr uint32_t kModuleVersion = 0x80600;

inline constexpr int32_t kErrOutOfMemory = 4;
inline constexpr int32_t kErrCancelled = 517;
inline constexpr int32_t kErrRendererOutOfMemory = -108;

inline constexpr int32_t kRegisterStringsTag = 4158;
inline constexpr uint32_t kEffectKindFourCC = 0x65464B54;  // 'eFKT'
inline constexpr int32_t kInterfaceMajor = 13;
inline constexpr int32_t kInterfaceMinor = 28;

// ---- Pinned layout ------------------------------------------------------------
static_assert(offsetof(PixelWorld, data) == 0x18);
static_assert(offsetof(PixelWorld, rowBytes) == 0x20);
static_assert(offsetof(PixelWorld, width) == 0x24);
static_assert(offsetof(PixelWorld, height) == 0x28);

static_assert(offsetof(HostCallbacks, blend) == 8 * 6);
static_assert(offsetof(HostCallbacks, copyWorld) == 8 * 8);
static_assert(offsetof(HostCallbacks, worldPass) == 8 * 12);
static_assert(offsetof(HostCallbacks, newHandle) == 8 * 20);
static_assert(offsetof(HostCallbacks, lockHandle) == 8 * 21);
static_assert(offsetof(HostCallbacks, unlockHandle) == 8 * 22);
static_assert(offsetof(HostCallbacks, disposeHandle) == 8 * 23);
static_assert(offsetof(HostCallbacks, formatString) == 8 * 41);
static_assert(offsetof(HostCallbacks, copyString) == 8 * 42);
static_assert(offsetof(HostCallbacks, iterate) == 8 * 57);

static_assert(offsetof(CommandInput, addParam) == 0x10);
static_assert(offsetof(CommandInput, abortCheck) == 0x18);
static_assert(offsetof(CommandInput, progress) == 0x20);
static_assert(offsetof(CommandInput, registerStrings) == 0x60);
static_assert(offsetof(CommandInput, getString) == 0x68);
static_assert(offsetof(CommandInput, releaseStrings) == 0x70);
static_assert(offsetof(CommandInput, callbacks) == 0xb0);
static_assert(offsetof(CommandInput, effectRef) == 0xb8);
static_assert(offsetof(CommandInput, pixelAspectNum) == 0x12c);
static_assert(offsetof(CommandInput, pixelAspectDen) == 0x130);
static_assert(offsetof(CommandInput, globalData) == 0x138);
static_assert(offsetof(CommandInput, sequenceData) == 0x140);

static_assert(offsetof(CommandOutput, version) == 0x00);
static_assert(offsetof(CommandOutput, globalData) == 0x28);
static_assert(offsetof(CommandOutput, numParams) == 0x30);
static_assert(offsetof(CommandOutput, sequenceData) == 0x38);
static_assert(offsetof(CommandOutput, outFlags) == 0x60);
static_assert(offsetof(CommandOutput, message) == 0x64);

static_assert(sizeof(ParamRecord) == 176);
static_assert(offsetof(ParamRecord, id) == 0);
static_assert(offsetof(ParamRecord, paramKind) == 12);
static_assert(offsetof(ParamRecord, name) == 16);
static_assert(offsetof(ParamRecord, value) == 56);
static_assert(offsetof(PointValue, x) == 0);
static_assert(offsetof(PointValue, y) == 4);
static_assert(offsetof(PointValue, flag) == 11);
static_assert(offsetof(PointValue, defaultX) == 12);
static_assert(offsetof(PointValue, defaultY) == 16);
static_assert(offsetof(FloatSliderValue, value) == 0);
static_assert(offsetof(FloatSliderValue, validMin) == 48);
static_assert(offsetof(FloatSliderValue, validMax) == 52);
static_assert(offsetof(FloatSliderValue, sliderMin) == 56);
static_assert(offsetof(FloatSliderValue, sliderMax) == 60);
static_assert(offsetof(FloatSliderValue, defaultValue) == 64);
static_assert(offsetof(FloatSliderValue, precision) == 68);
static_assert(offsetof(FloatSliderValue, displayFlags) == 70);
static_assert(offsetof(PopupValue, value) == 0);
static_assert(offsetof(PopupValue, numChoices) == 4);
static_assert(offsetof(PopupValue, defaultChoice) == 6);
static_assert(offsetof(PopupValue, choices) == 8);
static_assert(offsetof(FixedSliderValue, value) == 0);
static_assert(offsetof(FixedSliderValue, validMin) == 68);
static_assert(offsetof(FixedSliderValue, validMax) == 72);
static_assert(offsetof(FixedSliderValue, sliderMin) == 76);
static_assert(offsetof(FixedSliderValue, sliderMax) == 80);
static_assert(offsetof(FixedSliderValue, defaultValue) == 84);
static_assert(offsetof(FixedSliderValue, precision) == 88);
static_assert(offsetof(FixedSliderValue, displayFlags) == 90);

static_assert(sizeof(StringEntry) == 32);
static_assert(offsetof(StringTableRecord, tableName) == 0);
static_assert(offsetof(StringTableRecord, entryCount) == 8);
static_assert(offsetof(StringTableRecord, entries) == 16);
