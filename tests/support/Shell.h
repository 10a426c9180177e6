#pragma once

#include <string>

namespace velmor::test {

// Runs a shell command quietly; its exit status.
int run(const std::string& command);
// What a shell command prints on its standard output.
std::string capture(const std::string& command);
bool commandExists(const char* name);

}  // namespace velmor::test
