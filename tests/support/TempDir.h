#pragma once

#include <string>

namespace velmor::test {

// A fresh directory under the system's temporary folder (or a folder given), removed with
// everything in it when the object goes. path() ends with '/'.
class TempDir {
 public:
  TempDir();
  // A fresh directory inside `base` (an existing folder) instead.
  explicit TempDir(const std::string& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + name; }
  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace velmor::test
