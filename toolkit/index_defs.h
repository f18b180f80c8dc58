// Index definitions: the indexes a table offers, and the lookup of an index by the fields
// it is on.
//
// `TIndexDefs` owns its `TIndexDef` items; it belongs to a data set that fills it on
// demand (the data set's UpdateIndexDefs). Field lists are names separated by ";";
// index and field names compare without regard to ASCII case. One thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "toolkit/db_common.h"

namespace veldor {

class TDataSet;

class TIndexDef {
 public:
  TIndexDef(std::string name, std::string fields, TIndexOptions options)
      : Name(std::move(name)), Fields(std::move(fields)), Options(options) {}

  std::string Name;
  std::string Fields;  // ";"-separated
  TIndexOptions Options;
};

// The names of a ";"-separated list, each trimmed; empty names are skipped.
std::vector<std::string> SplitFieldNames(const std::string& fieldNames);

class TIndexDefs {
 public:
  explicit TIndexDefs(TDataSet* dataSet = nullptr) : DataSet_(dataSet) {}

  int Count() const { return int(Items_.size()); }
  TIndexDef& operator[](int index) const { return *Items_.at(size_t(index)); }
  // "Duplicate index name '%s'" when the name is taken (an empty name is allowed once,
  // for a primary index without a name).
  TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options);
  void Clear();
  int IndexOf(const std::string& name) const;
  TIndexDef* Find(const std::string& name) const;
  // As Find; "Index '%s' not found" when there is none.
  TIndexDef& IndexByName(const std::string& name) const;

  // The index that covers `fields` (its fields begin with them, in that order), preferring
  // one on exactly these fields, then the first in list order; with `caseInsensitive`
  // given, only indexes whose case-insensitive option equals it. Null when none does.
  TIndexDef* GetIndexForFields(const std::string& fields, int caseInsensitive = -1) const;
  // As GetIndexForFields without a case condition; "No index for fields '%s'" when no
  // index covers the fields.
  TIndexDef& FindIndexForFields(const std::string& fields) const;

  bool Updated() const { return Updated_; }
  void SetUpdated(bool value) { Updated_ = value; }
  // Asks the data set to fill the list (its UpdateIndexDefs) unless it is up to date.
  void Update();

 private:
  TDataSet* DataSet_;
  std::vector<std::unique_ptr<TIndexDef>> Items_;
  bool Updated_ = false;
};

}  // namespace veldor
