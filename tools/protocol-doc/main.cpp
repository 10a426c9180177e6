// velmor-protocol-doc: prints the generated sections of docs/protocol.md, or rewrites them
// in the document (--update), or tells whether the document holds them as they are now
// (--check).
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "protocol-doc/ProtocolDoc.h"

#ifndef VELMOR_PROTOCOL_DOC
#define VELMOR_PROTOCOL_DOC "docs/protocol.md"
#endif

namespace {

using velmor::docs::DocumentUpdate;
using velmor::docs::Section;

constexpr const char* kUsage = R"(Usage: velmor-protocol-doc [--update [PATH] | --check [PATH]]
Without an option, prints the generated sections of the protocol document with their
marker lines. --update rewrites the generated sections of the document at PATH in place
(the prose stays as it is); --check exits with status 1, printing the differences, when
the document's generated sections are not the ones of the code. PATH defaults to
)" VELMOR_PROTOCOL_DOC "\n";

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return true;
}

int run(int argc, char** argv) {
  const std::string_view option = argc > 1 ? argv[1] : "";
  if (option == "--help" || option == "-h") {
    std::cout << kUsage;
    return 0;
  }
  const std::vector<Section> sections = velmor::docs::generatedSections();
  if (option.empty()) {
    for (const Section& section : sections) {
      std::cout << "<!-- generated: " << section.name << " -->\n"
                << section.text << "<!-- end generated -->\n\n";
    }
    return 0;
  }
  if ((option != "--update" && option != "--check") || argc > 3) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string path = argc > 2 ? argv[2] : VELMOR_PROTOCOL_DOC;
  std::string document;
  if (!readFile(path, document)) {
    std::cerr << "velmor-protocol-doc: cannot read " << path << "\n";
    return 2;
  }
  const DocumentUpdate update = velmor::docs::updateDocument(document, sections);
  for (const std::string& error : update.errors) std::cerr << path << ": " << error << "\n";
  if (!update.errors.empty()) return 1;
  if (option == "--check") {
    for (const Section& before : update.previous) {
      for (const Section& now : sections) {
        if (now.name != before.name || now.text == before.text) continue;
        std::cout << "section \"" << now.name << "\" differs:\n"
                  << velmor::docs::lineDiff(before.text, now.text);
      }
    }
    if (update.text == document) return 0;
    std::cout << "Regenerate with: " << velmor::docs::kRegenerateHint << "\n";
    return 1;
  }
  if (update.text == document) {
    std::cout << path << " is up to date\n";
    return 0;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << update.text;
  if (!out.flush()) {
    std::cerr << "velmor-protocol-doc: cannot write " << path << "\n";
    return 2;
  }
  for (const Section& before : update.previous) {
    for (const Section& now : sections) {
      if (now.name == before.name && now.text != before.text) {
        std::cout << "rewrote section \"" << now.name << "\"\n";
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "velmor-protocol-doc: " << e.what() << "\n";
    return 2;
  }
}
