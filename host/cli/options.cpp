#include "host/cli/options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "host/cli/commands.h"
#include "host/core/control_values.h"
#include "host/core/host_error.h"
#include "host/core/pixel_aspect.h"
#include "host/media/frame_sources.h"

namespace lfcli {

std::pair<int32_t, uint32_t> ParsePixelAspect(const std::string& option, const std::string& text) {
  try {
    return lfhost::ParsePixelAspect(option, text);
  } catch (const lfhost::HostError& e) {
    throw UsageError(e.what());
  }
}

int64_t ParseInteger(const std::string& option, const std::string& text, int64_t low, int64_t high) {
  try {
    return lfhost::ParseWholeNumber(option, text, low, high);
  } catch (const lfhost::HostError& e) {
    throw UsageError(e.what());
  }
}

double ParseDecimal(const std::string& option, const std::string& text) {
  const std::optional<double> value = lfhost::NumberFromText(text);
  if (!value) throw UsageError(option + ": \"" + text + "\" is not a number");
  return *value;
}

std::string ArgumentReader::Next() {
  std::string arg = args_[next_++];
  hasPendingValue_ = false;
  if (arg.rfind("--", 0) == 0) {
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      pendingValue_ = arg.substr(eq + 1);
      hasPendingValue_ = true;
      arg.resize(eq);
    }
  }
  return arg;
}

std::string ArgumentReader::Value(const std::string& option) {
  if (hasPendingValue_) {
    hasPendingValue_ = false;
    return pendingValue_;
  }
  if (Done()) throw UsageError(option + ": needs a value");
  // "--brightness --size 64x36": the value was left out, and taking the next
  // option as it would misread everything after. A value may start with "-"
  // followed by a digit or a sign of its own ("-10,20"), never with a letter.
  const std::string& next = args_[next_];
  if (next.size() > 1 && next[0] == '-' && (next[1] == '-' || std::isalpha(static_cast<unsigned char>(next[1])))) {
    throw UsageError(option + ": needs a value (" + next + " is the next option)");
  }
  return args_[next_++];
}

void ParseSharedArgument(const std::string& command, const std::string& arg, ArgumentReader& reader,
                         SharedOptions& o) {
  if (arg == "--par") {
    std::tie(o.pixelAspectNum, o.pixelAspectDen) = ParsePixelAspect(arg, reader.Value(arg));
    o.pixelAspectGiven = true;
  } else if (arg == "--seed") {
    o.seed = static_cast<uint32_t>(ParseInteger(arg, reader.Value(arg), 0, 4294967295LL));
  } else if (arg == "--threads") {
    o.threads = static_cast<int>(ParseInteger(arg, reader.Value(arg), 1, 1024));
  } else if (arg == "--plugin") {
    o.plugin = reader.Value(arg);
  } else if (arg.size() > 1 && arg[0] == '-') {
    throw UsageError(command + ": unknown option \"" + arg + "\" (try lensflare " + command + " --help)");
  } else if (o.input.empty()) {
    o.input = arg;
  } else {
    throw UsageError(command + ": more than one input (\"" + o.input + "\" and \"" + arg + "\")");
  }
}

std::optional<std::pair<int32_t, uint32_t>> PixelAspectFor(const SharedOptions& o, const lfhost::FrameSource& source) {
  if (o.pixelAspectGiven) return std::pair{o.pixelAspectNum, o.pixelAspectDen};
  const auto stated = source.pixelAspect();
  if (stated && stated->first != static_cast<int64_t>(stated->second)) {
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.3g", static_cast<double>(stated->first) / stated->second);
    PrintError("note: pixel aspect " + std::to_string(stated->first) + ":" + std::to_string(stated->second) + " (" +
               ratio + ") from the header of " + o.input + "; --par sets another");
  }
  return stated;
}

}  // namespace lfcli
