#include "toolkit/index_defs.h"

#include "lib/name_text.h"
#include "toolkit/dataset.h"

namespace veldor {

std::vector<std::string> SplitFieldNames(const std::string& fieldNames) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= fieldNames.size()) {
    size_t end = fieldNames.find(';', start);
    if (end == std::string::npos) end = fieldNames.size();
    std::string name = Trimmed(std::string_view(fieldNames).substr(start, end - start));
    if (!name.empty()) names.push_back(std::move(name));
    start = end + 1;
  }
  return names;
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields,
                           TIndexOptions options) {
  if (Find(name)) DatabaseErrorFmt(SDuplicateIndexName, name);
  Items_.push_back(std::make_unique<TIndexDef>(name, fields, options));
  return *Items_.back();
}

void TIndexDefs::Clear() { Items_.clear(); }

int TIndexDefs::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < Items_.size(); ++i)
    if (EqualsIgnoreCase(Items_[i]->Name, name)) return int(i);
  return -1;
}

TIndexDef* TIndexDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : Items_[size_t(i)].get();
}

TIndexDef& TIndexDefs::IndexByName(const std::string& name) const {
  TIndexDef* def = Find(name);
  if (!def) DatabaseErrorFmt(SIndexNotFound, name);
  return *def;
}

TIndexDef* TIndexDefs::GetIndexForFields(const std::string& fields, int caseInsensitive) const {
  std::vector<std::string> wanted = SplitFieldNames(fields);
  if (wanted.empty()) return nullptr;
  TIndexDef* prefix = nullptr;
  for (const auto& def : Items_) {
    if (caseInsensitive >= 0 &&
        ((def->Options & ixCaseInsensitive) != 0) != (caseInsensitive != 0))
      continue;
    std::vector<std::string> have = SplitFieldNames(def->Fields);
    if (have.size() < wanted.size()) continue;
    bool covers = true;
    for (size_t i = 0; i < wanted.size() && covers; ++i)
      covers = EqualsIgnoreCase(have[i], wanted[i]);
    if (!covers) continue;
    if (have.size() == wanted.size()) return def.get();
    if (!prefix) prefix = def.get();
  }
  return prefix;
}

TIndexDef& TIndexDefs::FindIndexForFields(const std::string& fields) const {
  TIndexDef* def = GetIndexForFields(fields);
  if (!def) DatabaseErrorFmt(SNoIndexForFields, fields);
  return *def;
}

void TIndexDefs::Update() {
  if (Updated_ || !DataSet_) return;
  DataSet_->UpdateIndexDefs();
  Updated_ = true;
}

}  // namespace veldor
