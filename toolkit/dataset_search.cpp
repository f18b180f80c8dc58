// The data set's filters, calculated and lookup fields, and the generic searches (Locate,
// Lookup, the find-record operations) that derived classes with cursor searches replace.
#include <cstring>

#include "lib/code_page.h"
#include "lib/collation.h"
#include "toolkit/dataset.h"

namespace veldor {

// ---- Filters ----

void TDataSet::SetFilterText(const std::string& text) {
  if (!Active()) {
    FilterText_ = text;
    return;
  }
  CheckBrowseMode();
  FilterText_ = text;
  if (Filtered_) First();
}

void TDataSet::SetFilterOptions(TFilterOptions options) {
  if (!Active()) {
    FilterOptions_ = options;
    return;
  }
  CheckBrowseMode();
  FilterOptions_ = options;
  if (Filtered_) First();
}

void TDataSet::SetFiltered(bool value) {
  if (!Active()) {
    Filtered_ = value;
    return;
  }
  CheckBrowseMode();
  Filtered_ = value;
  First();
}

void TDataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
  if (!Active()) {
    OnFilterRecord_ = std::move(handler);
    return;
  }
  CheckBrowseMode();
  OnFilterRecord_ = std::move(handler);
  if (Filtered_) First();
}

bool TDataSet::FilterRecordAccepted(uint8_t* candidate) {
  if (!OnFilterRecord_) return true;
  bool accept = true;
  TDataSetState saved = SetTempState(dsFilter);
  uint8_t* savedBuffer = FilterBuffer_;
  FilterBuffer_ = candidate;
  try {
    OnFilterRecord_(*this, accept);
  } catch (...) {
    InternalHandleException();
  }
  FilterBuffer_ = savedBuffer;
  RestoreState(saved);
  return accept;
}

// ---- Calculated and lookup fields ----

void TDataSet::ClearCalcFields(uint8_t*) {}

void TDataSet::GetCalcFields(uint8_t* buffer) {
  if (HasCalcFields_ && buffer) CalculateFields(buffer);
}

void TDataSet::CalculateFields(uint8_t* buffer) {
  TTempBufferScope scope(*this, dsCalcFields, buffer);
  ClearCalcFields(buffer);
  for (int i = 0; i < FieldCount(); ++i) {
    TField* f = Fields_[i];
    if (f->FieldKind() != fkLookup || !f->LookupDataSet() || !f->LookupDataSet()->Active()) continue;
    std::vector<TField*> keys = GetFieldList(f->KeyFields);
    std::vector<TVariant> values;
    bool anyNull = false;
    for (TField* k : keys) {
      values.push_back(k->Value());
      anyNull = anyNull || values.back().IsNull();
    }
    if (anyNull) continue;  // a record without a key looks nothing up
    TVariant key = values.size() == 1 ? values[0] : TVariant(values);
    f->SetValue(f->LookupDataSet()->Lookup(f->LookupKeyFields, key, f->LookupResultField));
  }
  if (OnCalcFields) OnCalcFields(*this);
}

// ---- Generic searches ----

namespace {

bool IsTextField(const TField* f) {
  switch (f->DataType()) {
    case ftString: case ftFixedChar: case ftWideString: case ftGuid: case ftMemo: case ftFmtMemo:
    case ftOraClob:
      return true;
    default:
      return false;
  }
}

// Upper case of text by the engine's default case rules (language 0), in the stored form.
// False when the text has a character no record can hold (so it cannot match one).
bool FoldedText(const std::string& utf8, std::string& out) {
  TCodePageProblem problem;
  if (!Utf8ToWindows1252(utf8, out, problem)) return false;
  if (!out.empty()) UpperCase(0, 0, out.data(), out.size());
  return true;
}


}  // namespace

bool TDataSet::RecordMatches(const std::vector<TField*>& fields,
                             const std::vector<TVariant>& values, TLocateOptions options) {
  for (size_t i = 0; i < fields.size(); ++i) {
    TField* f = fields[i];
    const TVariant& key = values[i];
    bool fieldNull = f->IsNull();
    if (IsTextField(f)) {
      std::string wanted = key.IsNull() ? "" : key.AsString();
      bool partial = (options & loPartialKey) && !wanted.empty();
      if (partial && wanted.back() == '*') wanted.pop_back();
      std::string have = fieldNull ? "" : f->AsString();
      if (options & loCaseInsensitive) {
        std::string a, b;
        if (!FoldedText(wanted, a) || !FoldedText(have, b)) return false;
        wanted = a;
        have = b;
      }
      if (partial ? have.compare(0, wanted.size(), wanted) != 0 : have != wanted) return false;
      continue;
    }
    if (key.IsNull() || fieldNull) {
      if (key.IsNull() != fieldNull) return false;
      continue;
    }
    bool equal;
    switch (f->DataType()) {
      case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint:
        equal = key.Kind() == TVariant::vkInteger || key.Kind() == TVariant::vkBoolean
                    ? f->AsLargeInt() == key.AsInteger()
                    : double(f->AsLargeInt()) == key.AsFloat();
        break;
      case ftFloat: equal = f->AsFloat() == key.AsFloat(); break;
      case ftCurrency: case ftBCD: equal = f->AsCurrency() == key.AsCurrency(); break;
      case ftBoolean: equal = f->AsBoolean() == key.AsBoolean(); break;
      case ftDate: case ftTime: case ftDateTime: equal = f->AsDateTime() == key.AsDateTime(); break;
      default: equal = f->AsBytes() == key.AsBytes(); break;
    }
    if (!equal) return false;
  }
  return true;
}

bool TDataSet::ScanFor(const std::vector<TField*>& fields, const std::vector<TVariant>& values,
                       TLocateOptions options) {
  // The cursor walks on its own: the ring stays as it is until a record is found.
  UpdateCursorPos();
  CursorPosChanged();
  InternalFirst();
  uint8_t* buffer = TempBuffer_.get();
  TTempBufferScope scope(*this, dsFilter, buffer);
  while (GetRecord(buffer, gmNext, true) == grOK)
    if (RecordMatches(fields, values, options)) return true;
  return false;
}

std::vector<TVariant> TDataSet::KeyValueList(const std::vector<TField*>& fields, const TVariant& keyValues,
                                             const std::string& keyFields) {
  std::vector<TVariant> values;
  if (fields.size() == 1 && !(keyValues.IsArray() && keyValues.Items().size() == 1))
    values.push_back(keyValues);
  else if (keyValues.IsArray())
    values = keyValues.Items();
  if (values.size() != fields.size() || fields.empty()) DatabaseErrorFmt(SKeyValueCount, keyFields);
  return values;
}

bool TDataSet::Locate(const std::string& keyFields, const TVariant& keyValues,
                      TLocateOptions options) {
  CheckBrowseMode();
  std::vector<TField*> fields = GetFieldList(keyFields);
  std::vector<TVariant> values = KeyValueList(fields, keyValues, keyFields);
  DoBeforeScroll();
  bool found = ScanFor(fields, values, options);
  if (found) {
    Resync(rmExact | rmCenter);
    DoAfterScroll();
  }
  return found;
}

TVariant TDataSet::Lookup(const std::string& keyFields, const TVariant& keyValues,
                          const std::string& resultFields) {
  CheckBrowseMode();
  std::vector<TField*> fields = GetFieldList(keyFields);
  std::vector<TVariant> values = KeyValueList(fields, keyValues, keyFields);
  std::vector<TField*> results = GetFieldList(resultFields);
  if (!ScanFor(fields, values, 0)) return TVariant();
  uint8_t* buffer = TempBuffer_.get();
  CalculateFields(buffer);
  TTempBufferScope scope(*this, dsCalcFields, buffer);
  if (results.size() == 1) return results[0]->Value();
  std::vector<TVariant> out;
  for (TField* r : results) out.push_back(r->Value());
  return TVariant(out);
}

bool TDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  Found_ = false;
  UpdateCursorPos();
  CursorPosChanged();
  // Filtered data sets read only accepted records; otherwise the filter applies to this
  // search alone.
  bool applyFilter = !Filtered_;
  if (restart) {
    if (goForward)
      InternalFirst();
    else
      InternalLast();
  }
  uint8_t* buffer = TempBuffer_.get();
  while (GetRecord(buffer, goForward ? gmNext : gmPrior, true) == grOK) {
    if (!applyFilter || FilterRecordAccepted(buffer)) {
      Found_ = true;
      break;
    }
  }
  if (Found_) Resync(rmExact | rmCenter);
  DoAfterScroll();
  return Found_;
}

}  // namespace veldor
