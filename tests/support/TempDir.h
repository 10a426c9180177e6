#pragma once

#include <string>

namespace velmor::test {

// A fresh directory under the system's temporary folder, removed with everything in
// it when the object goes. path() ends with '/'.
class TempDir {
 public:
  TempDir();
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
