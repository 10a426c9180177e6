// Runs a fuzz target's entry point once over every file of the folders (or files) named on
// the command line, without libFuzzer: the seed corpus replayed by ctest on any compiler, so
// that the targets build and their seeds pass under the sanitizers of the build. Files are
// taken in name order. Exit status 0 after all inputs, 1 when an input cannot be read or
// nothing was given; a crash or a sanitizer report ends the process on the input named last.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The files named, the folders' regular files in name order.
std::vector<fs::path> inputsOf(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path path(argv[i]);
    if (!fs::is_directory(path)) {
      inputs.push_back(path);
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(path))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<fs::path> inputs = inputsOf(argc, argv);
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s <corpus folder or file>...: no inputs found\n", argv[0]);
    return 1;
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    // As libFuzzer does: the input in an allocation of exactly its size, so that AddressSanitizer
    // sees a read one byte past its end.
    const std::size_t size = bytes.size();
    const auto data = std::make_unique<std::uint8_t[]>(size);
    std::copy(bytes.begin(), bytes.end(), data.get());
    // Said before the run, so that a crash's report follows the name of its input.
    std::fprintf(stderr, "Running: %s (%zu bytes)\n", path.c_str(), size);
    LLVMFuzzerTestOneInput(data.get(), size);
  }
  std::printf("Executed %zu inputs\n", inputs.size());
  return 0;
}
