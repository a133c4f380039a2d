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

} // namespace platform
