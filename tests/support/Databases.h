#pragma once

#include <string>

namespace velmor::test {

// What SQLite's integrity check says of a database file ("ok" when sound).
std::string integrityCheck(const std::string& path);

}  // namespace velmor::test
