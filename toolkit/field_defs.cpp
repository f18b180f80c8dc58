#include "toolkit/field_defs.h"

#include "lib/name_text.h"
#include "toolkit/dataset.h"
#include "toolkit/fields.h"

namespace veldor {

std::unique_ptr<TField> TFieldDef::CreateField() const {
  std::unique_ptr<TField> field = CreateFieldOfType(DataType, Size);
  field->SetFieldName(Name);
  field->SetRequired(Required);
  if (InternalCalcField) field->SetFieldKind(fkInternalCalc);
  return field;
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required,
                           int fieldNo) {
  if (name.empty()) DatabaseError(SFieldNameMissing);
  if (Find(name)) DatabaseErrorFmt(SDuplicateFieldName, name);
  Items_.push_back(std::make_unique<TFieldDef>(name, type, size, required,
                                               fieldNo > 0 ? fieldNo : Count() + 1));
  if (type == ftBCD) Items_.back()->Precision = 32;
  return *Items_.back();
}

void TFieldDefs::Clear() { Items_.clear(); }

int TFieldDefs::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < Items_.size(); ++i)
    if (EqualsIgnoreCase(Items_[i]->Name, name)) return int(i);
  return -1;
}

TFieldDef* TFieldDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : Items_[size_t(i)].get();
}

TFieldDef& TFieldDefs::FieldDefByName(const std::string& name) const {
  TFieldDef* def = Find(name);
  if (!def) DatabaseErrorFmt(SFieldDefNotFound, name);
  return *def;
}

void TFieldDefs::Update() {
  if (Updated_ || !DataSet_) return;
  DataSet_->InitFieldDefs();
  Updated_ = true;
}

}  // namespace veldor
