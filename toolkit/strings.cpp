#include "toolkit/strings.h"

#include <algorithm>
#include <stdexcept>

namespace veldor {

void TStrings::Before() {
  if (UpdateCount_ == 0) Changing();
}

void TStrings::After() {
  if (UpdateCount_ == 0) Changed();
}

int TStrings::Add(const std::string& line) {
  Insert(Count(), line);
  return Count() - 1;
}

void TStrings::Insert(int index, const std::string& line) {
  if (index < 0 || index > Count()) throw std::out_of_range("TStrings::Insert: index out of range");
  Before();
  Lines_.insert(Lines_.begin() + index, line);
  After();
}

void TStrings::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TStrings::Delete: index out of range");
  Before();
  Lines_.erase(Lines_.begin() + index);
  After();
}

void TStrings::Put(int index, const std::string& line) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TStrings::Put: index out of range");
  Before();
  Lines_[size_t(index)] = line;
  After();
}

void TStrings::Clear() {
  if (Lines_.empty()) return;
  Before();
  Lines_.clear();
  After();
}

int TStrings::IndexOf(const std::string& line) const {
  auto it = std::find(Lines_.begin(), Lines_.end(), line);
  return it == Lines_.end() ? -1 : int(it - Lines_.begin());
}

std::string TStrings::Text() const {
  std::string out;
  for (const std::string& line : Lines_) {
    out += line;
    out += '\n';
  }
  return out;
}

void TStrings::SetText(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  Before();
  Lines_ = std::move(lines);
  After();
}

void TStrings::Assign(const TStrings& source) {
  if (&source == this) return;
  Before();
  Lines_ = source.Lines_;
  After();
}

void TStrings::BeginUpdate() {
  if (UpdateCount_ == 0) Changing();
  ++UpdateCount_;
}

void TStrings::EndUpdate() {
  if (UpdateCount_ == 0) return;
  if (--UpdateCount_ == 0) Changed();
}

void TStringList::Changing() {
  if (OnChanging) OnChanging(*this);
}

void TStringList::Changed() {
  if (OnChange) OnChange(*this);
}

}  // namespace veldor
