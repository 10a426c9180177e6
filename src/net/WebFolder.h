#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmor {

// The files a browser may GET on the WebSocket port (the web client), read once from a
// folder into memory: a request names a key of this table or gets 404, so no path can lead
// outside the folder, nothing is listed, and no disk is read on the main loop. Files whose
// names start with a dot are left out, and so is what passes the limits below.
//
// Made by load() at start and on a reload; shared (const) by the door policy and the
// sessions answering from it, so a reload replaces the table without touching an answer
// being written (the output copies what the socket does not take at once). Main loop only.
class WebFolder {
 public:
  static constexpr std::size_t kMaxFiles = 512;
  static constexpr std::size_t kMaxFileBytes = 1024 * 1024;
  static constexpr std::size_t kMaxTotalBytes = 8 * 1024 * 1024;
  static constexpr int kMaxDepth = 8;

  struct File {
    std::string contentType;
    std::string etag;  // a quoted hash of the content
    std::string body;
  };

  // Reads `folder`. Null when it is not a readable folder; `report` says what was served or
  // why not, for the console.
  static std::shared_ptr<const WebFolder> load(const std::string& folder, std::string& report);

  // The file for a request's decoded path ("/", a folder's "/x/" and "/x/index.html" alike),
  // or null.
  const File* find(std::string_view path) const;
  std::size_t files() const { return files_.size(); }
  std::size_t bytes() const { return bytes_; }

 private:
  std::unordered_map<std::string, File> files_;  // by path from the folder, "/" first
  std::size_t bytes_ = 0;
};

// The content type sent for a file name, by its extension.
const char* contentTypeOf(std::string_view name);

}  // namespace velmor
