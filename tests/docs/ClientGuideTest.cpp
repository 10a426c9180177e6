// docs/client-guide.md names the client libraries' functions, constants, methods and events;
// each name it uses must be one the libraries have, so the guide cannot outlive a rename.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace velmor {
namespace {

std::string fileText(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool wordCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// The names after each `prefix` (identifier characters, a trailing '_' dropped) that are
// followed by `then` (any character when empty) and not preceded by an identifier character.
std::set<std::string> namesAfter(const std::string& text, const std::string& prefix,
                                 const std::string& then, bool keepPrefix) {
  std::set<std::string> names;
  for (std::size_t at = text.find(prefix); at != std::string::npos;
       at = text.find(prefix, at + 1)) {
    if (at > 0 && wordCharacter(text[at - 1])) continue;
    std::size_t end = at + prefix.size();
    while (end < text.size() && wordCharacter(text[end])) ++end;
    if (text.compare(end, then.size(), then) != 0) continue;
    std::string name = text.substr(keepPrefix ? at : at + prefix.size(),
                                   end - (keepPrefix ? at : at + prefix.size()));
    while (!name.empty() && name.back() == '_') name.pop_back();
    if (!name.empty() && name != prefix) names.insert(name);
  }
  return names;
}

bool declaresWord(const std::string& library, const std::string& name, const std::string& after) {
  for (std::size_t at = library.find(name); at != std::string::npos;
       at = library.find(name, at + 1)) {
    const std::size_t end = at + name.size();
    if ((at > 0 && wordCharacter(library[at - 1])) ||
        (end < library.size() && wordCharacter(library[end])))
      continue;
    if (after.empty() || library.compare(end, after.size(), after) == 0) return true;
  }
  return false;
}

TEST(ClientGuide, NamesOnlyWhatTheLibrariesHave) {
  const std::string guide = fileText(VELMOR_CLIENT_GUIDE);
  const std::string header = fileText(VELMOR_CLIENT_HEADER);
  const std::string declarations =
      fileText(VELMOR_WEB_CLIENT "/velmor-client.d.ts") + fileText(VELMOR_WEB_CLIENT "/codec.d.ts");
  ASSERT_FALSE(guide.empty());
  ASSERT_FALSE(header.empty());
  ASSERT_FALSE(declarations.empty());
  struct Row {
    const char* what;
    const char* prefix;
    const char* then;
    bool keepPrefix;
    const std::string& library;
    const char* declaredWith;  // what follows the name where the library declares it
  };
  const Row rows[] = {
      {"C function or type", "velmor_", "", true, header, ""},
      {"C constant", "VELMOR_", "", true, header, ""},
      {"JavaScript method", "client.", "(", false, declarations, "("},
      {"JavaScript property", "`client.", "`", false, declarations, ":"},
      {"JavaScript event", "on(\"", "\"", false, declarations, ": "},
  };
  for (const Row& row : rows) {
    const std::set<std::string> names = namesAfter(guide, row.prefix, row.then, row.keepPrefix);
    EXPECT_FALSE(names.empty()) << "the guide names no " << row.what;
    for (const std::string& name : names) {
      EXPECT_TRUE(declaresWord(row.library, name, row.declaredWith))
          << "the guide names the " << row.what << " " << name << ", which the library lacks";
    }
  }
}

}  // namespace
}  // namespace velmor
