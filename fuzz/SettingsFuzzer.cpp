// Arbitrary settings files: the loader takes every value or leaves the default, and never
// fails or reads out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmor::Settings settings("/nowhere/");
  settings.loadFromText(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
