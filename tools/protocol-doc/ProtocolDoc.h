#pragma once

// The generated sections of docs/protocol.md, the protocol reference for authors of game
// clients. The document is hand-written prose; the parts that restate the codec (the
// tables of requests and server messages, the compact steps, the worked login example)
// stand between marker lines
//
//     <!-- generated: NAME -->
//     ...
//     <!-- end generated -->
//
// and are produced here from the wire's tables (wire/Schema.h, made from
// src/wire/protocol.json) and the codec's writers, so that docs_tests can tell when the
// document no longer says what the code does. velmor-protocol-doc --update rewrites them.
// Plain functions of constant data; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/Schema.h"

namespace velmor::docs {

struct Section {
  std::string name;  // as in its marker line
  std::string text;  // the lines between the two marker lines, each ending in '\n'
};

// Every generated section, in the order the document holds them.
std::vector<Section> generatedSections();

// The families the document groups requests and messages in (the wire's definition names
// each one's family).
using Family = wire::Family;
const char* familyKey(Family family);    // "login", ...: the suffix of its sections' names
const char* familyTitle(Family family);  // the heading of its part of the document
// REQUIRES: a request type (1..41) / a catalogue code.
Family requestFamily(std::uint8_t type);
Family messageFamily(std::uint16_t code);

// Every catalogue code (0x100.. for the FF-prefixed ones), ascending.
std::vector<std::uint16_t> serverCodes();

// The names of a server message's fields, one per letter of its ServerLayout fields,
// separated by spaces; navigationFields likewise for MemberInfo's navigation layout.
struct ServerFieldNames {
  const char* fields = "";
  const char* navigationFields = "";
};
ServerFieldNames serverFieldNames(std::uint16_t code);

// Splits a space-separated list of names.
std::vector<std::string> splitNames(std::string_view names);

// The document with its generated sections replaced. `errors` lists what keeps the
// document from being updated (an unknown, repeated, unterminated or missing section);
// `previous` holds, for each section found, the text it had.
struct DocumentUpdate {
  std::string text;
  std::vector<std::string> errors;
  std::vector<Section> previous;
};
DocumentUpdate updateDocument(std::string_view document, const std::vector<Section>& sections);

// The lines of `before` and `after` that differ, as "-" and "+" lines with two lines of
// context, each prefixed by its line number in `after`; empty when the texts are equal.
std::string lineDiff(std::string_view before, std::string_view after);

// How to rewrite the generated sections; printed by the check and said in the document.
inline constexpr const char* kRegenerateHint =
    "cmake --build <build dir> --target update-protocol-doc\n"
    "  (or: <build dir>/velmor-protocol-doc --update docs/protocol.md)";

}  // namespace velmor::docs
