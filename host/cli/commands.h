// The tool's commands. Each takes the arguments after its name and returns the
// process exit status: 0 done, 1 failed, 2 bad usage, 130 cancelled.
#pragma once

#include <string>
#include <vector>

#include "host/core/cancel_token.h"
#include "host/core/host_error.h"

namespace lfcli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = lfhost::kStatusFailed;
inline constexpr int kExitUsage = lfhost::kStatusUsage;
inline constexpr int kExitCancelled = lfhost::kStatusCancelled;

int RunRender(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
int RunBench(const std::vector<std::string>& args);
int RunTrack(const std::vector<std::string>& args);
// Prints the tool's version and the version the plug-in reports of itself.
int RunVersion(const std::vector<std::string>& args);
// Runs the preview server until Ctrl-C (or SIGTERM).
int RunServe(const std::vector<std::string>& args);

// Each command's --help text (help.cpp).
extern const char* const kRenderHelp;
extern const char* const kInfoHelp;
extern const char* const kBenchHelp;
extern const char* const kServeHelp;
extern const char* const kTrackHelp;

// A command of the tool: its name, its line in lensflare --help, what runs it
// and its own help.
struct ToolCommand {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>& args);
  const char* const* help;
  // Takes the stop signals before any library's start-up code runs (main.cpp).
  bool takesStopSignals;
};

// Every command, in the order lensflare --help lists them: the one table that
// main dispatches on and the help is made from. Constant-initialised, so main
// may read it before any library's initialisation.
inline constexpr ToolCommand kCommands[] = {
    {"render", "draw a flare onto an image, a sequence or a video (or a built-in frame)", RunRender, &kRenderHelp,
     true},
    {"info", "show the plug-in's About text, registration, property list and controls", RunInfo, &kInfoHelp, false},
    {"bench", "time renders against the memory floor, with no file I/O", RunBench, &kBenchHelp, false},
    {"serve", "a local web page to place and tune the flare on a frame", RunServe, &kServeHelp, false},
    {"track", "follow a light through a sequence or video, as keys for render", RunTrack, &kTrackHelp, true},
};

// lensflare --help: the usage, the commands from kCommands, where the plug-in is looked for.
std::string MainHelp();

// The module to load: --plugin's path if given, else the first that exists of
// lfhost::ModuleSearchPaths from the tool's folder (LENSFLARE_PLUGIN_PATH, then
// the build tree's layout and the installed one), so an install works under any
// prefix. Throws
// lfhost::HostError naming every place looked at if none is found.
std::string ResolvePluginPath(const std::string& pluginOption);

// For the help of commands that take --lens: the lenses the module declares,
// each with its number, short name and declared name, or why they cannot be
// listed.
std::string LensesHelp(const std::string& pluginOption);

// The request to stop a render or a track: Ctrl-C, SIGTERM or SIGHUP. main
// hands it to lfhost::CancelOnStopSignals before either command reads a single
// argument, so a stop at any moment ends the command with its closing line and
// status 128 + the signal, never by the signal itself.
lfhost::CancelToken& StopToken();
// The status of a command the user stopped: 128 + the stop signal (130 for
// Ctrl-C), or 130 when the stop came some other way.
int CancelledStatus();

// Prints "lensflare: <message>" to stderr.
void PrintError(const std::string& message);
// Messages from image and video libraries may span lines; the tool's error is
// one line, so line breaks become "; ".
std::string OneLine(const std::string& text);

}  // namespace lfcli
