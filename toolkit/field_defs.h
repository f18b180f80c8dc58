// Field definitions: what columns a data set's cursor offers, from which field objects are
// made.
//
// `TFieldDefs` owns its `TFieldDef` items in order; it belongs to one data set, which
// fills it (the data set's InitFieldDefs) and makes its default fields from it. Names are
// unique within the list, compared without regard to ASCII case. One thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "toolkit/db_common.h"

namespace veldor {

class TDataSet;
class TField;

class TFieldDef {
 public:
  TFieldDef(std::string name, TFieldType type, int size, bool required, int fieldNo)
      : Name(std::move(name)), DataType(type), Size(size), Required(required), FieldNo(fieldNo) {}

  std::string Name;
  TFieldType DataType;
  // Characters, bytes or decimals, as the field object's Size.
  int Size;
  bool Required;
  // The cursor's field number (1-based) that field objects made from it are bound to.
  int FieldNo;
  // Digits of a BCD definition (32 for the engine's); 0 for the other kinds.
  int Precision = 0;
  bool InternalCalcField = false;

  // A field object of the class for DataType with this definition's name, size and
  // required flag, not yet in any data set.
  std::unique_ptr<TField> CreateField() const;
};

class TFieldDefs {
 public:
  explicit TFieldDefs(TDataSet* dataSet = nullptr) : DataSet_(dataSet) {}

  int Count() const { return int(Items_.size()); }
  TFieldDef& operator[](int index) const { return *Items_.at(size_t(index)); }
  // Appends a definition; the field number is the position + 1 unless one is given.
  // "Duplicate field name '%s'" when the name is taken, "Field name missing" when empty.
  TFieldDef& Add(const std::string& name, TFieldType type, int size = 0, bool required = false,
                 int fieldNo = 0);
  void Clear();
  int IndexOf(const std::string& name) const;
  TFieldDef* Find(const std::string& name) const;
  // As Find; "Field definition '%s' not found" when there is none.
  TFieldDef& FieldDefByName(const std::string& name) const;

  // Whether the list reflects the data set's cursor; Update fills it when it does not.
  bool Updated() const { return Updated_; }
  void SetUpdated(bool value) { Updated_ = value; }
  // Asks the data set to fill the list (its InitFieldDefs) unless it is up to date.
  void Update();

 private:
  TDataSet* DataSet_;
  std::vector<std::unique_ptr<TFieldDef>> Items_;
  bool Updated_ = false;
};

}  // namespace veldor
