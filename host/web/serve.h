// lensflare serve: the live preview page. Declared here rather than in the
// tool's commands.h because it lives with the web code it drives.
#pragma once

#include <string>
#include <vector>

namespace lfcli {

// Runs the preview server until Ctrl-C (or SIGTERM); returns the exit status.
int RunServe(const std::vector<std::string>& args);

extern const char* const kServeHelp;

}  // namespace lfcli
