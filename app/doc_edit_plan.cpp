#include "app/doc_edit_plan.h"

#include <algorithm>

namespace app {
namespace {

// True when p lies between the '\r' and the '\n' of a pair.
bool SplitsPair(std::string_view text, std::size_t p) {
  return p > 0 && p < text.size() && text[p - 1] == '\r' && text[p] == '\n';
}

// The edit replacing text[s, e) with inserted, widened so that it neither splits a "\r\n"
// pair nor leaves a '\r' and a '\n' that newly meet across its edges outside of it.
DocEdit PlanSpan(std::string_view text, std::size_t s, std::size_t e, std::string_view inserted) {
  std::string r(inserted);
  if (SplitsPair(text, s)) {
    --s;
    r.insert(r.begin(), '\r');
  }
  if (SplitsPair(text, e)) {
    r.push_back('\n');
    ++e;
  }
  if (s > 0 && text[s - 1] == '\r') {
    const char next = !r.empty() ? r.front() : (e < text.size() ? text[e] : '\0');
    if (next == '\n') {
      --s;
      r.insert(r.begin(), '\r');
    }
  }
  if (e < text.size() && text[e] == '\n' && !r.empty() && r.back() == '\r') {
    r.push_back('\n');
    ++e;
  }
  return DocEdit{DocPosition(text, s), DocPosition(text, e), std::move(r)};
}

void AddIfChange(std::vector<DocEdit>& edits, DocEdit edit) {
  if (edit.start != edit.end || !edit.text.empty()) edits.push_back(std::move(edit));
}

}  // namespace

std::size_t DocPosition(std::string_view text, std::size_t p) {
  p = std::min(p, text.size());
  std::size_t pairs = 0;
  for (std::size_t i = 0; i + 1 < p; ++i) {
    if (text[i] == '\r' && text[i + 1] == '\n') ++pairs;
  }
  return p - pairs;
}

std::vector<DocEdit> PlanReplace(std::string_view before, std::size_t s, std::size_t e,
                                 std::string_view inserted, std::size_t cut) {
  std::vector<DocEdit> edits;
  if (cut <= s) {
    AddIfChange(edits, PlanSpan(before, s, e, inserted));
    if (cut > 0) {
      // The cut lies in the untouched head; plan it on the text after the replacement.
      std::string middle;
      middle.reserve(before.size() - (e - s) + inserted.size());
      middle.append(before.substr(0, s)).append(inserted).append(before.substr(e));
      AddIfChange(edits, PlanSpan(middle, 0, cut, {}));
    }
    return edits;
  }
  // The cut swallows the head and reaches into the inserted text or beyond it: the result is
  // a tail of the inserted text followed by the text after e, or a tail of the old text alone.
  const std::size_t into_inserted = cut - s;
  if (into_inserted <= inserted.size()) {
    AddIfChange(edits, PlanSpan(before, 0, e, inserted.substr(into_inserted)));
  } else {
    AddIfChange(edits, PlanSpan(before, 0, e + (into_inserted - inserted.size()), {}));
  }
  return edits;
}

std::string DocumentText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace app
