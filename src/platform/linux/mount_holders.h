#pragma once
// Whether any process holds a file system busy: an open file, a working or root directory,
// or a mapped file on it. The scan reads a /proc-like tree so that tests can hand it one.

#include <string>
#include <sys/types.h>

namespace platform::linux_backend {

// True when a process under procRoot has an open file, its working directory, its root or
// a mapped file on the file system with this device number. Processes whose entries cannot
// be read (another user's, or gone meanwhile) are passed over.
bool fileSystemHeld(dev_t device, const std::string& procRoot = "/proc");

} // namespace platform::linux_backend
