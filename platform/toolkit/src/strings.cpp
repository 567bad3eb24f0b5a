// TStrings: what every list of lines of the toolkit (a memo's, a list box's) does
// the same way.

#include <string>
#include <vector>

#include "rtl/sysutils.h"
#include "toolkit/controls.h"

namespace toolkit {

TStrings::~TStrings() = default;

void TStrings::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) {
    throw rtl::Exception("List index out of bounds (%d)", {index});
  }
}

std::string TStrings::Text() const {
  std::string text;
  const int count = Count();
  for (int i = 0; i < count; ++i) {
    text += Strings(i);
    text += '\n';
  }
  return text;
}

void TStrings::SetText(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text.substr(start, stop - start));
    start = end + 1;
  }
  Assign(lines);
}

void TStrings::Assign(const std::vector<std::string>& items) {
  Clear();
  for (const std::string& item : items) Add(item);
}

std::vector<std::string> TStrings::ToVector() const {
  std::vector<std::string> items;
  const int count = Count();
  items.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) items.push_back(Strings(i));
  return items;
}

}  // namespace toolkit
