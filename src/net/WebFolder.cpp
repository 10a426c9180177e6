#include "net/WebFolder.h"

#include <openssl/evp.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace velmor {

namespace fs = std::filesystem;

namespace {

struct TypeByExtension {
  std::string_view extension;
  const char* type;
};

constexpr std::array kTypes = {
    TypeByExtension{".html", "text/html; charset=utf-8"},
    TypeByExtension{".js", "text/javascript; charset=utf-8"},
    TypeByExtension{".mjs", "text/javascript; charset=utf-8"},
    TypeByExtension{".css", "text/css; charset=utf-8"},
    TypeByExtension{".json", "application/json"},
    TypeByExtension{".map", "application/json"},
    TypeByExtension{".ts", "text/plain; charset=utf-8"},
    TypeByExtension{".md", "text/markdown; charset=utf-8"},
    TypeByExtension{".txt", "text/plain; charset=utf-8"},
    TypeByExtension{".svg", "image/svg+xml"},
    TypeByExtension{".png", "image/png"},
    TypeByExtension{".jpg", "image/jpeg"},
    TypeByExtension{".ico", "image/x-icon"},
    TypeByExtension{".wasm", "application/wasm"},
    TypeByExtension{".woff2", "font/woff2"},
};

std::string etagOf(const std::string& body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(body.data(), body.size(), digest, &length, EVP_sha1(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string tag = "\"";
  for (unsigned int i = 0; i < 10 && i < length; ++i) {
    tag += kHex[digest[i] >> 4];
    tag += kHex[digest[i] & 15];
  }
  return tag + "\"";
}

bool hidden(const fs::path& relative) {
  for (const fs::path& part : relative)
    if (!part.empty() && part.native().front() == '.') return true;
  return false;
}

}  // namespace

const char* contentTypeOf(std::string_view name) {
  for (const TypeByExtension& entry : kTypes) {
    if (name.size() > entry.extension.size() &&
        name.substr(name.size() - entry.extension.size()) == entry.extension)
      return entry.type;
  }
  return "application/octet-stream";
}

std::shared_ptr<const WebFolder> WebFolder::load(const std::string& folder, std::string& report) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    report = "no folder " + folder + ": the WebSocket port serves no pages";
    return nullptr;
  }
  auto web = std::make_shared<WebFolder>();
  std::size_t leftOut = 0;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(folder);
    if (hidden(relative) || it.depth() >= kMaxDepth) {
      if (it->is_directory(error)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(error)) continue;
    const std::uintmax_t size = it->file_size(error);
    if (error || size > kMaxFileBytes || web->bytes_ + size > kMaxTotalBytes ||
        web->files_.size() >= kMaxFiles) {
      ++leftOut;
      error.clear();
      continue;
    }
    std::ifstream in(it->path(), std::ios::binary);
    std::string body{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
      ++leftOut;
      continue;
    }
    std::string key = relative.generic_string();
    key.insert(key.begin(), '/');
    web->bytes_ += body.size();
    File file{contentTypeOf(key), etagOf(body), std::move(body)};
    web->files_.emplace(key, std::move(file));
  }
  report = std::to_string(web->files_.size()) + " files (" + std::to_string(web->bytes_) +
           " bytes) from " + folder;
  if (leftOut != 0) report += ", " + std::to_string(leftOut) + " left out (too large or too many)";
  return web;
}

const WebFolder::File* WebFolder::find(std::string_view path) const {
  std::string key(path);
  if (key.empty() || key.back() == '/') key += "index.html";
  const auto it = files_.find(key);
  return it == files_.end() ? nullptr : &it->second;
}

}  // namespace velmor
