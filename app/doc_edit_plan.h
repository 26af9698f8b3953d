// Plans how a change of the log's text is mirrored into a text document.
//
// The log text ends its lines in "\r\n"; a QTextDocument holds one paragraph separator for
// each line break. A "\r\n" pair is one document character, and so is every other character
// (a lone '\r' or '\n' left by a cut through a pair becomes a separator of its own). Edits
// are planned so that they never split a pair, which keeps the mapping exact:
//
//   text "ab\r\ncd", cut 4 from the top   -> document "ab\u2029cd": remove document 0..3
//   text "ab\r\n", append "cd\r\n"         -> insert "cd\r\n" at document position 3
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Replace document positions [start, end) with text (in log form: "\r\n" is one separator).
struct DocEdit {
  std::size_t start = 0;
  std::size_t end = 0;
  std::string text;
};

// Document position of log position p (p must not fall inside a "\r\n" pair).
std::size_t DocPosition(std::string_view text, std::size_t p);

// The edits, applied in order, that turn the document of `before` into the document of
// (before[0, s) + inserted + before[e, end))[cut, end): a selection replaced, then `cut`
// leading characters dropped to stay within the text limit. 0 <= s <= e <= before.size().
std::vector<DocEdit> PlanReplace(std::string_view before, std::size_t s, std::size_t e,
                                 std::string_view inserted, std::size_t cut);

// The document text of a log text, with '\n' for each separator (as QTextDocument's
// toPlainText() gives it back).
std::string DocumentText(std::string_view text);

}  // namespace app
