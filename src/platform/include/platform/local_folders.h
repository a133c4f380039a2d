#pragma once
// The updater's folders on this computer: the staging folder for files on their way to the
// device, and the temporary path under which the rider's data is held between backup and
// restore. Both survive a reboot and are private to the user (mode 0700).

#include <string>

namespace platform {

// ${XDG_DATA_HOME:-~/.local/share}/Tarvel, without a trailing '/'.
std::string stagingFolder();
// ${XDG_STATE_HOME:-~/.local/state}/, ending in '/'; empty when no home can be found. The
// folder is created (0700) when missing.
std::string temporaryPath();

// Puts the folders elsewhere for the rest of the process, so that a simulated run and the tests
// keep files of their own: the staging folder becomes folder's Tarvel, the temporary path
// folder itself (on Linux these are XDG_DATA_HOME and XDG_STATE_HOME).
void setDataHome(const std::string& folder);
void setStateHome(const std::string& folder);

} // namespace platform
