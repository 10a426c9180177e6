#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace velmor::test {

// Debian's nginx (/usr/sbin/nginx) run in the foreground as a ChildProcess, its prefix a
// temporary folder that holds the configuration, pid file, error log and temporary files;
// the stream module is loaded. It listens only where the given server blocks say (127.0.0.1
// ports of the test's). The destructor stops it by its pid (SIGTERM, a fast shutdown) before
// the folder is removed. Test thread only.
class Nginx {
 public:
  Nginx(const std::string& httpServers, const std::string& streamServers);

  // True once its pid file is written (its ports are bound by then), within 10 s.
  bool ready() const { return ready_; }
  std::string errors() const { return dir_.read("error.log"); }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  bool ready_ = false;
};

}  // namespace velmor::test
