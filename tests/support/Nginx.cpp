#include "support/Nginx.h"

#include <filesystem>

#include "support/Eventually.h"

namespace velmor::test {

Nginx::Nginx(const std::string& httpServers, const std::string& streamServers) {
  const std::string& d = dir_.path();
  std::string temp;
  for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    temp += std::string(kind) + "_temp_path " + d + kind + ";\n";
  dir_.write("nginx.conf",
             "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n"
             "pid " +
                 d + "nginx.pid;\nerror_log " + d +
                 "error.log info;\n"
                 "worker_processes 1;\nevents { worker_connections 256; }\n"
                 "http { access_log off;\n" +
                 temp + httpServers + "}\nstream {\n" + streamServers + "}\n");
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/sbin/nginx", "-p", d, "-c", d + "nginx.conf", "-g",
                               "daemon off;"},
      dir_.file("stdout.txt"));
  const auto written = [&] { return std::filesystem::exists(d + "nginx.pid"); };
  eventually([&] { return written() || !process_->running(); }, std::chrono::seconds(10));
  ready_ = written();
}

}  // namespace velmor::test
