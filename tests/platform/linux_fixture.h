#pragma once
// Reads a fixture file of the Linux platform tests.

#include <fstream>
#include <sstream>
#include <string>

inline std::string linuxFixture(const std::string& name)
{
    std::ifstream in(std::string(TARVEL_LINUX_FIXTURES) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
