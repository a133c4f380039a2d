#pragma once
// Every regular file below a folder with its bytes, keyed by its path relative to the folder:
// what tests compare to show that the rider's files came back byte for byte.

#include <map>
#include <string>

namespace testsupport {

std::map<std::string, std::string> filesBelow(const std::string& folder);

} // namespace testsupport
