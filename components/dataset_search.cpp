// The data set's filters (the Filter text and the OnFilterRecord handler as cursor
// filters) and its searches: Locate and Lookup through an index or a temporary filter,
// and the find-record operations.
#include <algorithm>
#include <cstring>

#include "components/component_errors.h"
#include "components/dataset.h"
#include "lib/code_page.h"
#include "lib/expression_eval.h"
#include "toolkit/index_defs.h"

namespace veldor {

// ---- Filters --------------------------------------------------------------------------------

TFilter* TVELDORDataSet::MakeExpressionFilter(const std::string& text, TFilterOptions options) {
  const std::string stored = StoredText(text, "Filter");
  return Cursor_->AddFilter(nullptr, stored.c_str(), (options & foNoPartialCompare) != 0,
                            (options & foCaseInsensitive) != 0, true, false);
}

TFilter* TVELDORDataSet::MakeCallbackFilter() {
  return Cursor_->AddFilter(this, nullptr, false, false, true, true, &TVELDORDataSet::FilterCallback);
}

// The handler sees a copy of the candidate: a BLOB read in the handler opens its buffer in
// that copy, never in the cursor's own record.
bool TVELDORDataSet::FilterCallback(void* data, TDataCursor&, const uint8_t* record, int32_t) {
  auto* self = static_cast<TVELDORDataSet*>(data);
  if (self->FilterScratch_.size() < size_t(self->RecordSize_)) return true;
  std::memcpy(self->FilterScratch_.data(), record, size_t(self->RecordSize_));
  return self->FilterRecordAccepted(self->FilterScratch_.data());
}

void TVELDORDataSet::ReplaceFilter(TFilter*& slot, TFilter* made) {
  if (Filtered()) {
    CursorPosChanged();
    ReleaseLookupCursor();
    TFilter* old = slot;
    slot = nullptr;
    if (old) Cursor_->DropFilter(old);
    slot = made;
    if (made) Cursor_->ActivateFilter(made);
  } else {
    TFilter* old = slot;
    slot = nullptr;
    if (old) Cursor_->DropFilter(old);
    slot = made;
  }
}

// A text that does not parse raises before anything changes: the old filter, text and
// position stay.
void TVELDORDataSet::SetFilterText(const std::string& text) {
  if (!Active()) {
    StoreFilterText(text);
    return;
  }
  CheckBrowseMode();
  if (text != Filter()) {
    TFilter* made = text.empty() ? nullptr : MakeExpressionFilter(text, FilterOptions());
    ReplaceFilter(ExpressionFilter_, made);
  }
  StoreFilterText(text);
  if (Filtered()) First();
}

void TVELDORDataSet::SetFilterOptions(TFilterOptions options) {
  if (!Active()) {
    StoreFilterOptions(options);
    return;
  }
  CheckBrowseMode();
  if (options != FilterOptions()) {
    TFilter* made = Filter().empty() ? nullptr : MakeExpressionFilter(Filter(), options);
    ReplaceFilter(ExpressionFilter_, made);
  }
  StoreFilterOptions(options);
  if (Filtered()) First();
}

void TVELDORDataSet::SetFiltered(bool value) {
  if (!Active()) {
    StoreFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value != Filtered()) {
    ReleaseLookupCursor();
    CursorPosChanged();
    if (value) {
      if (ExpressionFilter_) Cursor_->ActivateFilter(ExpressionFilter_);
      if (CallbackFilter_) Cursor_->ActivateFilter(CallbackFilter_);
    } else {
      if (CallbackFilter_) Cursor_->DeactivateFilter(CallbackFilter_);
      if (ExpressionFilter_) Cursor_->DeactivateFilter(ExpressionFilter_);
    }
  }
  StoreFiltered(value);
  First();
}

void TVELDORDataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
  if (!Active()) {
    StoreOnFilterRecord(std::move(handler));
    return;
  }
  CheckBrowseMode();
  // The new callback filter judges the records when it is activated: the handler it calls
  // must be the new one by then.
  const bool any = static_cast<bool>(handler);
  StoreOnFilterRecord(std::move(handler));
  ReplaceFilter(CallbackFilter_, any ? MakeCallbackFilter() : nullptr);
  if (Filtered()) First();
}

// ---- Locate and Lookup ----------------------------------------------------------------------

namespace {

bool IsTextField(const TField* f) {
  switch (f->DataType()) {
    case ftString: case ftFixedChar: case ftWideString: case ftGuid: case ftMemo: case ftFmtMemo:
      return true;
    default:
      return false;
  }
}


// The text a partial-key search compares: the value without a final "*".
std::string PartialText(const TVariant& value) {
  std::string text = value.IsNull() ? "" : value.AsString();
  if (!text.empty() && text.back() == '*') text.pop_back();
  return text;
}

}  // namespace

bool TVELDORDataSet::LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                                  TLocateOptions options, bool sync) {
  CheckBrowseMode();
  CursorPosChanged();
  uint8_t* temp = TempBuffer();
  std::vector<TField*> fields = GetFieldList(keyFields);
  std::vector<TVariant> values = KeyValueList(fields, keyValues, keyFields);
  const bool caseInsensitive = (options & loCaseInsensitive) != 0;
  const bool partial = (options & loPartialKey) != 0;

  bool ownIndex = IndexFieldCount_ >= int(fields.size()) && IndexCaseInsensitive_ == caseInsensitive;
  for (size_t i = 0; ownIndex && i < fields.size(); ++i)
    ownIndex = fields[i]->FieldKind() == fkData && fields[i]->FieldNo() == IndexFieldNumbers_[i];
  TDataCursor* search = ownIndex ? Cursor_ : GetLookupCursor(keyFields, caseInsensitive);
  if (!search) return LocateByFilter(fields, values, options);

  // The key values go into the temporary buffer through the fields, in the filter state.
  TTempBufferScope scope(*this, dsFilter, temp, true);
  std::memset(temp, 0, size_t(RecBufSize_));
  int fieldCount = int(fields.size());
  int partialLength = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    TField* f = fields[i];
    if (partial && i + 1 == fields.size() && (f->DataType() == ftString || f->DataType() == ftFixedChar ||
                                              f->DataType() == ftWideString || f->DataType() == ftGuid)) {
      const std::string text = PartialText(values[i]);
      if (!text.empty()) {
        f->SetAsString(text);
        partialLength = std::min(int(StoredText(text, f->FieldName()).size()), f->Size());
        fieldCount = int(fields.size()) - 1;
        continue;
      }
    }
    if (values[i].IsNull())
      f->Clear();
    else
      f->SetValue(values[i]);
  }
  const bool found = search->Find(false, temp, temp, partialLength, partialLength > 0, fieldCount);
  if (found && sync && search != Cursor_) {
    const uint16_t code = Cursor_->SetToRecBuf(*search);
    if (code != 0) RaiseTableError(code, Cursor_->TableName());
  }
  return found;
}

// One "=" test per field joined by AND from the left, as a prepared filter: added,
// activated, read from the first record, and dropped again on every path. The data set's
// own cursor moves.
bool TVELDORDataSet::LocateByFilter(const std::vector<TField*>& fields,
                                    const std::vector<TVariant>& values, TLocateOptions options) {
  const bool caseInsensitive = (options & loCaseInsensitive) != 0;
  const bool partial = (options & loPartialKey) != 0;
  uint8_t* temp = TempBuffer();

  // Non-text values take the field's own encoding: they are written into the temporary
  // buffer through the field (filter state) and read back as slot bytes.
  std::vector<std::vector<uint8_t>> slots(fields.size());
  std::vector<bool> nulls(fields.size(), true);
  {
    TTempBufferScope scope(*this, dsFilter, temp, true);
    std::memset(temp, 0, size_t(RecBufSize_));
    for (size_t i = 0; i < fields.size(); ++i) {
      TField* f = fields[i];
      if (f->FieldKind() != fkData || f->FieldNo() < 1 || f->FieldNo() > Cursor_->FieldCount())
        ComponentError(SFieldNotFound, f->FieldName());
      if (IsTextField(f) || values[i].IsNull()) continue;
      f->SetValue(values[i]);
      std::vector<uint8_t> slot(256, 0);
      nulls[i] = Cursor_->GetField(uint16_t(f->FieldNo()), temp, slot.data());
      slots[i] = std::move(slot);
    }
  }

  TTokenTree root;
  for (size_t i = 0; i < fields.size(); ++i) {
    TField* f = fields[i];
    const TFieldDescriptor& d = Cursor_->Field(uint16_t(f->FieldNo()));
    TTokenTree column = TTokenTree::New();
    column->Kind = kTokenColumn;
    column->ColumnName = d.FieldName();
    column->Text = d.FieldName();
    column->FieldNumber = uint16_t(f->FieldNo());
    TTokenTree constant = TTokenTree::New();
    constant->Kind = kTokenConstant;
    if (IsTextField(f)) {
      std::string text = partial ? PartialText(values[i]) : (values[i].IsNull() ? "" : values[i].AsString());
      text = StoredText(text, f->FieldName());
      if (text.empty()) {
        constant->IsNull = 1;
        constant->Text = "NULL";
      } else {
        // A prefix test: the filter's own form, a final "*" with partial comparison on.
        if (partial) text += "*";
        constant->DataType = FIELD_STRING;
        constant->SetStringValue(text);
        constant->Text = text;
      }
    } else if (nulls[i]) {
      constant->IsNull = 1;
      constant->Text = "NULL";
    } else {
      const int size = d.IsAutoInc() ? 4 : d.SlotSize();
      constant->DataType = d.IsAutoInc() ? uint8_t(FIELD_INTEGER) : d.FieldType();
      constant->SubType = d.IsAutoInc() ? uint8_t(0) : d.SubType();
      constant->Scale = d.DeclaredScale();
      constant->SetDataSize(size);
      std::memcpy(constant->Value.data(), slots[i].data(), size_t(size));
      constant->Text = f->AsString();
    }
    TTokenTree equal = TTokenTree::New();
    equal->Kind = kTokenBinary;
    equal->Code = kOpEqual;
    equal->Text = "=";
    equal->Left = column.Release();
    equal->Right = constant.Release();
    if (!root) {
      root = std::move(equal);
    } else {
      TTokenTree both = TTokenTree::New();
      both->Kind = kTokenBinary;
      both->Code = kOpAnd;
      both->Text = "AND";
      both->Left = root.Release();
      both->Right = equal.Release();
      root = std::move(both);
    }
  }

  TBindColumn bind = [](void* owner, TExpToken& node) {
    auto* cursor = static_cast<TDataCursor*>(owner);
    if (node.FieldNumber < 1 || node.FieldNumber > cursor->FieldCount()) return false;
    const TFieldDescriptor& f = cursor->Field(node.FieldNumber);
    node.DataType = f.IsAutoInc() ? uint8_t(FIELD_INTEGER) : f.FieldType();
    node.SubType = f.IsAutoInc() ? uint8_t(0) : f.SubType();
    node.DataSize = f.IsAutoInc() ? 4 : f.SlotSize();
    node.Scale = f.DeclaredScale();
    return true;
  };
  // Preparing evaluates constants only; no record is read.
  TFetchColumn fetch = [](void*, void*, TExpToken& node) { node.IsNull = 1; };
  const TDataTable& table = *Cursor_->Table();
  CheckExpression(VELDOR_INVALIDFILTER, Cursor_->Database() ? Cursor_->Database()->Name() : "",
                  Cursor_->TableName(), true, bind, Cursor_, nullptr, root.Get(), "filter expression");
  TTokenTree prepared = PrepareExpression(root.Get(), Cursor_, !partial, caseInsensitive,
                                          uint16_t(table.Language()), table.SortId(), fetch);
  if (Cursor_->FilterCount() >= kMaxFilters) RaiseTableError(VELDOR_INTERNALLIMIT, Cursor_->TableName());
  TFilter* filter = Cursor_->AddFilter(nullptr, nullptr, false, false, false, false, nullptr, true,
                                       prepared.Release());
  struct TDrop {
    TDataCursor* C;
    TFilter* F;
    ~TDrop() {
      try {
        C->DropFilter(F);
      } catch (...) {
      }
    }
  } drop{Cursor_, filter};
  Cursor_->ActivateFilter(filter);
  Cursor_->SetToBegin();
  return Cursor_->GetNextRecord(temp) == 0;
}

bool TVELDORDataSet::Locate(const std::string& keyFields, const TVariant& keyValues,
                            TLocateOptions options) {
  CheckBrowseMode();
  DoBeforeScroll();
  const bool found = LocateRecord(keyFields, keyValues, options, true);
  if (found) {
    Resync(rmExact | rmCenter);
    DoAfterScroll();
  }
  return found;
}

TVariant TVELDORDataSet::Lookup(const std::string& keyFields, const TVariant& keyValues,
                                const std::string& resultFields) {
  std::vector<TField*> results = GetFieldList(resultFields);
  if (!LocateRecord(keyFields, keyValues, 0, false)) return TVariant();
  uint8_t* temp = TempBuffer();
  CalculateFields(temp);
  TTempBufferScope scope(*this, dsCalcFields, temp);
  if (results.size() == 1) return results[0]->Value();
  std::vector<TVariant> out;
  for (TField* r : results) out.push_back(r->Value());
  return TVariant(out);
}

// ---- Find record ----------------------------------------------------------------------------

bool TVELDORDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  UpdateCursorPos();
  CursorPosChanged();
  std::vector<uint8_t> before;
  if (ActiveBuffer() && !IsEmpty() && GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
    before.resize(size_t(BookmarkSize_));
    GetBookmarkData(ActiveBuffer(), before.data());
  }
  // Filters activated for this search alone, deactivated again on every path.
  std::vector<TFilter*> temporary;
  if (!Filtered()) {
    if (ExpressionFilter_) temporary.push_back(ExpressionFilter_);
    if (CallbackFilter_) temporary.push_back(CallbackFilter_);
  }
  struct TDeactivate {
    TDataCursor* C;
    std::vector<TFilter*>& Filters;
    size_t Active = 0;
    void Run() noexcept {
      for (size_t i = Active; i-- > 0;) {
        try {
          C->DeactivateFilter(Filters[i]);
        } catch (...) {
        }
      }
      Active = 0;
    }
    ~TDeactivate() { Run(); }
  } deactivate{Cursor_, temporary};
  for (TFilter* f : temporary) {
    Cursor_->ActivateFilter(f);
    ++deactivate.Active;
  }
  uint8_t* temp = TempBuffer();
  bool found = false;
  if (restart) {
    if (goForward)
      Cursor_->SetToBegin();
    else
      Cursor_->SetToEnd();
  } else if (goForward && !temporary.empty() && !before.empty()) {
    // Activating the filters moved the cursor off a record they refuse onto the next one
    // they accept: that one is the next match, and stepping on would pass over it.
    if (Cursor_->GetCurrentRecord(temp) == 0) {
      std::vector<uint8_t> now(static_cast<size_t>(BookmarkSize_));
      Cursor_->GetBookmark(now.data());
      int c = Cursor_->CompareBookmarks(now.data(), before.data());
      found = c == 1;
    }
  }
  if (!found)
    found = (goForward ? Cursor_->GetNextRecord(temp) : Cursor_->GetPriorRecord(temp)) == 0;
  deactivate.Run();
  if (found) {
    SetFound(true);
    Resync(rmExact | rmCenter);
  }
  DoAfterScroll();
  return found;
}

}  // namespace veldor
