// The data set's record access: opening and closing the cursor, field definitions, the
// record buffers, reading records and field values, bookmarks, the current index, key
// buffers and ranges; and the database binding of TVELDORDBDataSet. Editing is in
// dataset_editing.cpp, filters and searches in dataset_search.cpp.
#include "components/dataset.h"

#include <algorithm>
#include <cstring>

#include "components/blob_stream.h"
#include "components/component_errors.h"
#include "components/database.h"
#include "components/session.h"
#include "lib/code_page.h"

namespace veldor {

// ---- Type maps ------------------------------------------------------------------------------

bool FrameworkFieldType(const TFieldDescriptor& field, TFieldType& type, int& size) {
  size = 0;
  switch (field.FieldType()) {
    case FIELD_STRING: type = ftString; size = field.DeclaredSize(); return true;
    case FIELD_DATE: type = ftDate; return true;
    case FIELD_BLOB:
      switch (field.SubType()) {
        case SUBTYPE_MEMO: type = ftMemo; break;
        case SUBTYPE_FMTMEMO: type = ftFmtMemo; break;
        case SUBTYPE_GRAPHIC: type = ftGraphic; break;
        case SUBTYPE_TYPEDBINARY: type = ftTypedBinary; break;
        default: type = ftBlob; break;
      }
      return true;
    case FIELD_BOOLEAN: type = ftBoolean; return true;
    case FIELD_SMALLINT: type = ftSmallint; return true;
    case FIELD_INTEGER: type = field.SubType() == SUBTYPE_AUTOINC ? ftAutoInc : ftInteger; return true;
    case FIELD_FLOAT: type = field.SubType() == SUBTYPE_MONEY ? ftCurrency : ftFloat; return true;
    case FIELD_BCD: type = ftBCD; size = field.DeclaredScale(); return true;
    case FIELD_BYTES: type = ftBytes; size = field.DeclaredSize(); return true;
    case FIELD_TIME: type = ftTime; return true;
    case FIELD_TIMESTAMP: type = ftDateTime; return true;
    case FIELD_WORD: type = ftWord; return true;
    case FIELD_LONGWORD: type = ftInteger; return true;
    case FIELD_VARBYTES: type = ftVarBytes; size = field.DeclaredSize(); return true;
    case FIELD_LARGEINT: type = ftLargeint; return true;
    default: return false;  // FIELD_EXTENDED, and codes no field class shows
  }
}

bool EngineFieldType(TFieldType type, uint8_t& engineType, uint8_t& subType) {
  subType = 0;
  switch (type) {
    case ftString: case ftGuid: engineType = FIELD_STRING; return true;
    case ftFixedChar: engineType = FIELD_STRING; subType = SUBTYPE_FIXED; return true;
    case ftWideString: engineType = FIELD_STRING; subType = SUBTYPE_UNICODE; return true;
    case ftSmallint: engineType = FIELD_SMALLINT; return true;
    case ftInteger: engineType = FIELD_INTEGER; return true;
    case ftAutoInc: engineType = FIELD_INTEGER; subType = SUBTYPE_AUTOINC; return true;
    case ftWord: engineType = FIELD_WORD; return true;
    case ftBoolean: engineType = FIELD_BOOLEAN; return true;
    case ftFloat: engineType = FIELD_FLOAT; return true;
    case ftCurrency: engineType = FIELD_FLOAT; subType = SUBTYPE_MONEY; return true;
    case ftBCD: engineType = FIELD_BCD; return true;
    case ftDate: engineType = FIELD_DATE; return true;
    case ftTime: engineType = FIELD_TIME; return true;
    case ftDateTime: engineType = FIELD_TIMESTAMP; return true;
    case ftBytes: engineType = FIELD_BYTES; return true;
    case ftVarBytes: engineType = FIELD_VARBYTES; return true;
    case ftBlob: case ftParadoxOle: case ftDBaseOle: case ftOraBlob: case ftOraClob:
      engineType = FIELD_BLOB; return true;
    case ftMemo: engineType = FIELD_BLOB; subType = SUBTYPE_MEMO; return true;
    case ftGraphic: engineType = FIELD_BLOB; subType = SUBTYPE_GRAPHIC; return true;
    case ftFmtMemo: engineType = FIELD_BLOB; subType = SUBTYPE_FMTMEMO; return true;
    case ftTypedBinary: engineType = FIELD_BLOB; subType = SUBTYPE_TYPEDBINARY; return true;
    case ftLargeint: engineType = FIELD_LARGEINT; return true;
    // No engine field types: the engine refuses these codes.
    case ftCursor: engineType = 17; return true;
    case ftADT: engineType = 20; return true;
    case ftArray: engineType = 21; return true;
    case ftReference: engineType = 22; return true;
    case ftDataSet: engineType = 23; return true;
    default: engineType = 0; return false;
  }
}

// ---- Life -----------------------------------------------------------------------------------

TVELDORDataSet::TVELDORDataSet(TComponent* owner) : TDataSet(owner) {}

TVELDORDataSet::~TVELDORDataSet() { Destroy(); }

TDataCursor* TVELDORDataSet::OwnHandle(std::unique_ptr<TDataCursor> cursor) {
  OwnedCursor_ = std::move(cursor);
  return OwnedCursor_.get();
}

void TVELDORDataSet::DestroyHandle() {
  if (OwnedCursor_) {
    std::unique_ptr<TDataCursor> cursor = std::move(OwnedCursor_);
    Cursor_ = nullptr;
    cursor->Close();
  } else if (Cursor_) {
    for (TFilter* filter : {ExpressionFilter_, CallbackFilter_}) {
      try {
        if (filter) Cursor_->DropFilter(filter);
      } catch (...) {
        ApplicationHandleException();
      }
    }
  }
  Cursor_ = nullptr;
}

TDataCursor* TVELDORDataSet::GetLookupCursor(const std::string&, bool) { return nullptr; }

void TVELDORDataSet::OpenCursor(bool infoQuery) {
  Cursor_ = CreateHandle();
  if (!Cursor_) ComponentError(SHandleError);
  TDataSet::OpenCursor(infoQuery);
}

void TVELDORDataSet::InternalOpen() {
  RecordSize_ = Cursor_->RecordSize();
  BookmarkSize_ = Cursor_->BookmarkSize();
  SetBookmarkSize(BookmarkSize_);
  CanModify_ = !Cursor_->ReadOnly();
  InternalInitFieldDefs();
  if (!SqlResultHandle()) ReadIndexInfo();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  if (AutoDisplayLabels_ && !SqlResultHandle()) ApplyDisplayLabels();
  ComputeLayout();
  OldValueBuffer_.assign(size_t(RecBufSize_), 0);
  FilterScratch_.assign(size_t(RecBufSize_), 0);
  KeyBuffers_.assign(kKeyBufferCount, std::vector<uint8_t>(size_t(8 + RecordSize_), 0));
  KeyBuffer_ = kbLookup;
  Cursor_->SetToBegin();
  AfterOpenCursor();
  // The filter step: the data set's filters, active when Filtered is set.
  if (!Filter().empty()) ExpressionFilter_ = MakeExpressionFilter(Filter(), FilterOptions());
  if (OnFilterRecord()) CallbackFilter_ = MakeCallbackFilter();
  if (Filtered()) {
    if (ExpressionFilter_) Cursor_->ActivateFilter(ExpressionFilter_);
    if (CallbackFilter_) Cursor_->ActivateFilter(CallbackFilter_);
  }
}

void TVELDORDataSet::InternalClose() {
  DestroyHandle();
  ExpressionFilter_ = nullptr;
  CallbackFilter_ = nullptr;
  KeyBuffers_.clear();
  OldValueBuffer_.clear();
  FilterScratch_.clear();
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  IndexFieldCount_ = 0;
  IndexFieldNumbers_.clear();
  IndexCaseInsensitive_ = false;
  KeySize_ = 0;
  CanModify_ = false;
  EditLocked_ = false;
}

void TVELDORDataSet::ComputeLayout() {
  RecInfoOffset_ = RecordSize_ + CalcFieldsSize();
  BookmarkOffset_ = RecInfoOffset_ + 8;
  RecBufSize_ = BookmarkOffset_ + BookmarkSize_;
}

void FillFieldDefs(TFieldDefs& defs, const std::vector<TFieldDescriptor>& fields) {
  defs.Clear();
  for (const TFieldDescriptor& f : fields) {
    if (f.Bytes[252] != 0) continue;  // a hidden column of a result set
    TFieldType type;
    int size;
    if (!FrameworkFieldType(f, type, size)) continue;
    const std::string first = Windows1252ToUtf8(f.FieldName());
    std::string name = first;
    for (int n = 1; defs.Find(name); ++n) name = first + "_" + std::to_string(n);
    defs.Add(name, type, size, f.Required(), f.FieldNumber());
  }
}

void TVELDORDataSet::InternalInitFieldDefs() {
  FillFieldDefs(FieldDefs(), Cursor_->Fields());
  FieldDefs().SetUpdated(true);
}

void TVELDORDataSet::SetAutoDisplayLabels(bool value) {
  AutoDisplayLabels_ = value;
  if (value && Cursor_ && !SqlResultHandle()) ApplyDisplayLabels();
}

void TVELDORDataSet::ApplyDisplayLabels() {
  for (int i = 0; i < FieldCount(); ++i) {
    TField* f = Fields()[i];
    if (f->FieldKind() != fkData || f->FieldNo() < 1 || f->FieldNo() > Cursor_->FieldCount()) continue;
    std::string description = Cursor_->Field(uint16_t(f->FieldNo())).Description();
    if (!description.empty()) f->SetDisplayLabel(Windows1252ToUtf8(description));
  }
}

// ---- Buffers and records --------------------------------------------------------------------

TRecordBuffer TVELDORDataSet::AllocRecordBuffer() {
  return std::make_unique<uint8_t[]>(size_t(RecBufSize_));
}

TGetResult TVELDORDataSet::GetRecord(uint8_t* buffer, TGetMode mode, bool doCheck) {
  if (!Cursor_) return grError;
  uint16_t result;
  switch (mode) {
    case gmCurrent: result = Cursor_->GetCurrentRecord(buffer, false); break;
    case gmNext: result = Cursor_->GetNextRecord(buffer); break;
    default: result = Cursor_->GetPriorRecord(buffer); break;
  }
  if (result == 0) {
    const int32_t number = int32_t(Cursor_->GetRecNo());
    std::memcpy(buffer + RecInfoOffset_, &number, 4);
    std::memset(buffer + RecInfoOffset_ + 4, 0, 4);
    buffer[RecInfoOffset_ + 4] = bfCurrent;
    GetCalcFields(buffer);
    Cursor_->GetBookmark(buffer + BookmarkOffset_);
    return grOK;
  }
  if (result == VELDOR_BOF) return grBOF;
  if (result == VELDOR_EOF) return grEOF;
  if (doCheck) RaiseTableError(result, Cursor_->TableName());
  return grError;
}

void TVELDORDataSet::InternalInitRecord(uint8_t* buffer) { Cursor_->InitRecord(buffer); }

void TVELDORDataSet::InitRecord(uint8_t* buffer) {
  TDataSet::InitRecord(buffer);
  const int32_t number = -1;
  std::memcpy(buffer + RecInfoOffset_, &number, 4);
  buffer[RecInfoOffset_ + 4] = bfInserted;
}

void TVELDORDataSet::ClearCalcFields(uint8_t* buffer) {
  std::memset(buffer + RecordSize_, 0, size_t(CalcFieldsSize()));
}

TBookmarkFlag TVELDORDataSet::GetBookmarkFlag(const uint8_t* buffer) {
  return TBookmarkFlag(buffer[RecInfoOffset_ + 4]);
}

void TVELDORDataSet::SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) {
  buffer[RecInfoOffset_ + 4] = uint8_t(flag);
}

void TVELDORDataSet::GetBookmarkData(const uint8_t* buffer, uint8_t* data) {
  std::memcpy(data, buffer + BookmarkOffset_, size_t(BookmarkSize_));
}

void TVELDORDataSet::SetBookmarkData(uint8_t* buffer, const uint8_t* data) {
  std::memcpy(buffer + BookmarkOffset_, data, size_t(BookmarkSize_));
}

bool TVELDORDataSet::GetCurrentRecord(uint8_t* buffer) {
  if (!Cursor_ || IsEmpty() || !ActiveBuffer() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent)
    return false;
  UpdateCursorPos();
  return Cursor_->GetCurrentRecord(buffer, false) == 0;
}

int64_t TVELDORDataSet::GetRecordCount() {
  CheckActive();
  return Cursor_ ? Cursor_->GetRecordCount() : 0;
}

int64_t TVELDORDataSet::GetRecNo() {
  uint8_t* buffer = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  if (!buffer) return -1;
  int32_t number;
  std::memcpy(&number, buffer + RecInfoOffset_, 4);
  return number;
}

void TVELDORDataSet::SetRecNoValue(int64_t value) {
  CheckBrowseMode();
  if (value == GetRecNo()) return;
  DoBeforeScroll();
  Cursor_->SetToRecNo(value);
  Resync(rmCenter);
  DoAfterScroll();
}

void TVELDORDataSet::InternalFirst() { Cursor_->SetToBegin(); }
void TVELDORDataSet::InternalLast() { Cursor_->SetToEnd(); }
void TVELDORDataSet::InternalRefresh() { Cursor_->Refresh(); }

void TVELDORDataSet::InternalGotoBookmark(const uint8_t* bookmark) { Cursor_->SetToBookmark(bookmark); }

void TVELDORDataSet::InternalSetToRecord(uint8_t* buffer) {
  Cursor_->SetToBookmark(buffer + BookmarkOffset_);
}

int TVELDORDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return 1;
  if (b.empty()) return -1;
  if (!Cursor_ || int(a.size()) != BookmarkSize_ || int(b.size()) != BookmarkSize_)
    return TDataSet::CompareBookmarks(a, b);
  int c = Cursor_->CompareBookmarks(a.data(), b.data());
  return c == 2 ? 0 : c;
}

bool TVELDORDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!Cursor_ || int(bookmark.size()) != BookmarkSize_) return false;
  CursorPosChanged();
  return Cursor_->SetToBookmark(bookmark.data());
}

// ---- Field values ---------------------------------------------------------------------------

uint8_t* TVELDORDataSet::ActiveRecordBuffer() {
  switch (State()) {
    case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit: case dsInsert: case dsNewValue: return ActiveBuffer();
    case dsSetKey: return KeyBuffers_.empty() ? nullptr : KeyRecord(KeyBuffer_);
    case dsCalcFields: return CalcBuffer();
    case dsFilter: return FilterBuffer();
    case dsOldValue: return OldValueBuffer_.empty() ? nullptr : OldValueBuffer_.data();
    default: return nullptr;
  }
}

bool TVELDORDataSet::GetFieldData(TField* field, void* buffer) {
  uint8_t* record = ActiveRecordBuffer();
  if (!record) return false;
  if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) {
    if (!Cursor_ || field->FieldNo() < 1 || field->FieldNo() > Cursor_->FieldCount()) return false;
    const TFieldDescriptor& f = Cursor_->Field(uint16_t(field->FieldNo()));
    // The engine copies the whole slot (at most 251 bytes); the field takes its own size.
    uint8_t slot[256] = {};
    if (Cursor_->GetField(uint16_t(field->FieldNo()), record, slot)) return false;
    if (buffer) {
      size_t size = std::min<size_t>(size_t(field->DataSize()), f.IsAutoInc() ? 4 : f.SlotSize());
      std::memcpy(buffer, slot, size);
    }
    return true;
  }
  TDataSetState s = State();
  if (s != dsBrowse && s != dsEdit && s != dsInsert && s != dsCalcFields) return false;
  const uint8_t* at = record + RecordSize_ + field->Offset();
  if (at[0] == 0) return false;
  if (buffer) std::memcpy(buffer, at + 1, size_t(field->DataSize()));
  return true;
}

void TVELDORDataSet::SetFieldData(TField* field, const void* buffer) {
  const TDataSetState s = State();
  if (s == dsOldValue) ComponentError(SFieldReadOnly, field->DisplayName());
  if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsCalcFields && s != dsFilter &&
      s != dsNewValue && s != dsInternalCalc)
    ComponentError(SNotEditing);
  const bool calculated = field->FieldKind() == fkCalculated || field->FieldKind() == fkLookup;
  if (s == dsSetKey) {
    bool inIndex = !calculated && std::find(IndexFieldNumbers_.begin(), IndexFieldNumbers_.end(),
                                            uint16_t(field->FieldNo())) != IndexFieldNumbers_.end();
    if (calculated || (IndexFieldCount_ > 0 && !inIndex))
      ComponentError(SFieldNotInIndex, field->DisplayName());
  }
  uint8_t* record = ActiveRecordBuffer();
  if (!record) ComponentError(SNotEditing);
  if (calculated) {
    uint8_t* at = record + RecordSize_ + field->Offset();
    at[0] = buffer ? 1 : 0;
    if (buffer)
      std::memcpy(at + 1, buffer, size_t(field->DataSize()));
    else
      std::memset(at + 1, 0, size_t(field->DataSize()));
  } else {
    if (s == dsCalcFields) ComponentError(SNotEditing);
    if (field->ReadOnly() && s != dsSetKey && s != dsFilter)
      ComponentError(SFieldReadOnly, field->DisplayName());
    field->Validate(buffer);
    if (field->FieldKind() != fkInternalCalc) {
      if (!Cursor_ || field->FieldNo() < 1) ComponentError(SNotEditing);
      Cursor_->PutField(uint16_t(field->FieldNo()), record, buffer);
    }
  }
  if (s != dsCalcFields && s != dsFilter && s != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

std::unique_ptr<TStream> TVELDORDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  return std::make_unique<TVELDORBlobStream>(field, mode);
}

void TVELDORDataSet::CloseBlob(TField* field) {
  uint8_t* record = ActiveRecordBuffer();
  if (Cursor_ && record && field && field->FieldNo() > 0)
    Cursor_->FreeBlob(uint16_t(field->FieldNo()), record, kBlobOwnerCaller, false);
}

// ---- The current index ----------------------------------------------------------------------

void TVELDORDataSet::ReadIndexInfo() {
  IndexFieldNumbers_.clear();
  IndexFieldCount_ = 0;
  IndexCaseInsensitive_ = false;
  KeySize_ = 0;
  if (!Cursor_ || Cursor_->IndexNumber() == kNaturalOrder) return;
  const TKeyLayout& layout = Cursor_->Layout();
  for (const TKeyPart& part : layout.Parts()) {
    if (IndexFieldNumbers_.size() == size_t(kMaxIndexFields)) break;
    IndexFieldNumbers_.push_back(part.FieldNumber);
  }
  IndexFieldCount_ = int(IndexFieldNumbers_.size());
  IndexCaseInsensitive_ = layout.CaseInsensitive();
  KeySize_ = Cursor_->KeySize();
}

TField* TVELDORDataSet::IndexField(int index) {
  if (index < 0 || index >= IndexFieldCount_) ComponentError(SFieldIndexError);
  const int number = IndexFieldNumbers_[size_t(index)];
  TField* field = FieldByNumber(number);
  if (!field) {
    std::string name;
    for (int i = 0; i < FieldDefs().Count(); ++i) {
      const TFieldDef& def = FieldDefs()[i];
      if (def.FieldNo == number) name = def.Name;
    }
    if (name.empty() && Cursor_ && number <= Cursor_->FieldCount())
      name = Windows1252ToUtf8(Cursor_->Field(uint16_t(number)).FieldName());
    ComponentError(SIndexFieldMissing, name);
  }
  return field;
}

void TVELDORDataSet::SwitchToIndex(const std::string& name) {
  ResetRangeKeys();
  UpdateCursorPos();
  Cursor_->SetIndexName(StoredText(name, "Index name"));
  ReadIndexInfo();
  SetBufListSize(0);
  try {
    BookmarkSize_ = Cursor_->BookmarkSize();
    SetBookmarkSize(BookmarkSize_);
    ComputeLayout();
    OldValueBuffer_.assign(size_t(RecBufSize_), 0);
    FilterScratch_.assign(size_t(RecBufSize_), 0);
    SetBufListSize(BufferCount() + 1);
  } catch (...) {
    Close();
    throw;
  }
}

// ---- Key buffers ----------------------------------------------------------------------------

int TVELDORDataSet::KeyCount(int index) const {
  int32_t count;
  std::memcpy(&count, KeyBuffers_[size_t(index)].data() + 4, 4);
  return count;
}

void TVELDORDataSet::SetKeyCount(int index, int count) {
  const int32_t value = count;
  std::memcpy(KeyBuffers_[size_t(index)].data() + 4, &value, 4);
}

void TVELDORDataSet::ClearKeyBuffer(int index) {
  std::fill(KeyBuffers_[size_t(index)].begin(), KeyBuffers_[size_t(index)].end(), uint8_t(0));
}

int TVELDORDataSet::KeyFieldCount() const {
  return KeyBuffers_.empty() ? 0 : KeyCount(KeyBuffer_);
}

void TVELDORDataSet::SetKeyFieldCount(int count) {
  if (State() != dsSetKey) DatabaseError(SNotInEditMode);
  SetKeyCount(KeyBuffer_, std::clamp(count, 0, IndexFieldCount_));
}

void TVELDORDataSet::EnterKeyState(int index, bool clear) {
  CheckBrowseMode();
  KeyBuffer_ = index;
  KeyBuffers_[kbSave] = KeyBuffers_[size_t(index)];
  if (clear) ClearKeyBuffer(index);
  SetState(dsSetKey);
  SetModified(KeyModified(index));
  DataEvent(deDataSetChange, 0);
}

void TVELDORDataSet::FinishKeyEdit(bool keep) {
  if (keep)
    KeyBuffers_[size_t(KeyBuffer_)][0] = Modified() ? 1 : 0;
  else
    KeyBuffers_[size_t(KeyBuffer_)] = KeyBuffers_[kbSave];
  SetState(dsBrowse);
  DataEvent(deDataSetChange, 0);
}

void TVELDORDataSet::SetKey() { EnterKeyState(kbLookup, true); }
void TVELDORDataSet::EditKey() { EnterKeyState(kbLookup, false); }
void TVELDORDataSet::SetRangeStart() { EnterKeyState(kbRangeStart, true); }
void TVELDORDataSet::SetRangeEnd() { EnterKeyState(kbRangeEnd, true); }
void TVELDORDataSet::EditRangeStart() { EnterKeyState(kbRangeStart, false); }
void TVELDORDataSet::EditRangeEnd() { EnterKeyState(kbRangeEnd, false); }

void TVELDORDataSet::AssignKeyValues(const std::vector<TVariant>& values) {
  if (int(values.size()) > IndexFieldCount_) ComponentError(SFieldIndexError);
  for (size_t i = 0; i < values.size(); ++i) IndexField(int(i))->SetValue(values[i]);
  SetKeyCount(KeyBuffer_, int(values.size()));
}

bool TVELDORDataSet::SearchKey(bool nearest) {
  CheckBrowseMode();
  DoBeforeScroll();
  CursorPosChanged();
  bool found = Cursor_->Find(false, KeyRecord(kbLookup), nullptr, 0, nearest, KeyCount(kbLookup));
  if (found || nearest) {
    Resync(rmCenter);
    DoAfterScroll();
  }
  return found;
}

bool TVELDORDataSet::GotoKey() { return SearchKey(false); }
void TVELDORDataSet::GotoNearest() { SearchKey(true); }

// The search key of FindKey and FindNearest: set, filled and posted, or cancelled when a
// value is refused.
void TVELDORDataSet::PostSearchKey(const std::vector<TVariant>& values) {
  SetKey();
  try {
    AssignKeyValues(values);
  } catch (...) {
    Cancel();
    throw;
  }
  Post();
}

bool TVELDORDataSet::FindKey(const std::vector<TVariant>& values) {
  PostSearchKey(values);
  return GotoKey();
}

void TVELDORDataSet::FindNearest(const std::vector<TVariant>& values) {
  PostSearchKey(values);
  GotoNearest();
}

void TVELDORDataSet::SetRange(const std::vector<TVariant>& startValues,
                              const std::vector<TVariant>& endValues) {
  for (int index : {int(kbRangeStart), int(kbRangeEnd)}) {
    EnterKeyState(index, true);
    try {
      AssignKeyValues(index == kbRangeStart ? startValues : endValues);
    } catch (...) {
      Cancel();
      throw;
    }
    Post();
  }
  ApplyRange();
}

void TVELDORDataSet::ApplyRange() {
  CheckBrowseMode();
  if (ApplyRangeKeys()) First();
}

void TVELDORDataSet::CancelRange() {
  CheckBrowseMode();
  UpdateCursorPos();
  if (ResetRangeKeys()) Resync(0);
}

bool TVELDORDataSet::ApplyRangeKeys() {
  if (KeyBuffers_[kbRangeStart] == KeyBuffers_[kbCurRangeStart] &&
      KeyBuffers_[kbRangeEnd] == KeyBuffers_[kbCurRangeEnd])
    return false;
  std::vector<uint8_t> keys(size_t(2 * std::max(KeySize_, 1)), 0);
  const uint8_t* start = nullptr;
  const uint8_t* end = nullptr;
  if (KeySize_ > 0 && KeyModified(kbRangeStart)) {
    Cursor_->BuildKey(KeyRecord(kbRangeStart), keys.data());
    start = keys.data();
  }
  if (KeySize_ > 0 && KeyModified(kbRangeEnd)) {
    Cursor_->BuildKey(KeyRecord(kbRangeEnd), keys.data() + KeySize_);
    end = keys.data() + KeySize_;
  }
  CursorPosChanged();
  Cursor_->SetRange(true, start, KeyCount(kbRangeEnd), end, KeyCount(kbRangeStart));
  KeyBuffers_[kbCurRangeStart] = KeyBuffers_[kbRangeStart];
  KeyBuffers_[kbCurRangeEnd] = KeyBuffers_[kbRangeEnd];
  ReleaseLookupCursor();
  return true;
}

bool TVELDORDataSet::ResetRangeKeys() {
  if (KeyBuffers_.empty() || (!KeyModified(kbCurRangeStart) && !KeyModified(kbCurRangeEnd)))
    return false;
  CursorPosChanged();
  Cursor_->ResetRange();
  ClearKeyBuffer(kbCurRangeStart);
  ClearKeyBuffer(kbCurRangeEnd);
  ReleaseLookupCursor();
  return true;
}

void TVELDORDataSet::SetLinkRanges(const std::vector<TField*>& masterFields) {
  const bool wasModified = Modified();
  const int savedKey = KeyBuffer_;
  TDataSetState saved = SetTempState(dsSetKey);
  struct TRestore {
    TVELDORDataSet& D;
    TDataSetState S;
    int K;
    bool M;
    ~TRestore() {
      D.KeyBuffer_ = K;
      D.RestoreState(S);
      D.SetModified(M);
    }
  } restore{*this, saved, savedKey, wasModified};
  KeyBuffer_ = kbRangeStart;
  ClearKeyBuffer(kbRangeStart);
  KeyBuffers_[kbRangeStart][0] = 1;
  for (size_t i = 0; i < masterFields.size(); ++i) IndexField(int(i))->SetValue(masterFields[i]->Value());
  SetKeyCount(kbRangeStart, int(masterFields.size()));
  KeyBuffers_[kbRangeEnd] = KeyBuffers_[kbRangeStart];
}

// ---- TVELDORDBDataSet -------------------------------------------------------------------------

TVELDORDBDataSet::TVELDORDBDataSet(TComponent* owner) : TVELDORDataSet(owner) {
  if (owner)
    for (int i = 0; i < owner->ComponentCount(); ++i) {
      auto* s = dynamic_cast<TVELDORSession*>(owner->Component(i));
      if (s && s->AutoSessionName()) SessionName_ = s->SessionName();
    }
}

TVELDORDBDataSet::~TVELDORDBDataSet() {
  Destroy();
  for (int flag = 0; flag < 16; ++flag) {
    try {
      SetDBFlag(flag, false);
    } catch (...) {
      ApplicationHandleException();
    }
  }
}

TDataDirectory* TVELDORDBDataSet::DBHandle() const { return Database_ ? Database_->Handle() : nullptr; }

TVELDORSession& TVELDORDBDataSet::DBSession() const { return Sessions().GetSession(SessionName_); }

void TVELDORDBDataSet::SetDatabaseName(const std::string& name) {
  if (name == DatabaseName_) return;
  if (Active()) DatabaseError(SDataSetOpen);
  if (Database_) ComponentError(SDatabaseOpen);
  DatabaseName_ = name;
  DataEvent(dePropertyChange, 0);
}

void TVELDORDBDataSet::SetSessionName(const std::string& name) {
  if (name == SessionName_) return;
  if (Active()) DatabaseError(SDataSetOpen);
  if (Database_) ComponentError(SDatabaseOpen);
  SessionName_ = name;
  DataEvent(dePropertyChange, 0);
}

void TVELDORDBDataSet::SetDBFlag(int flag, bool value) {
  if (flag < 0 || flag >= 16) return;
  if (value) {
    if (Flags_.none()) {
      TVELDORSession& session = Sessions().GetSession(SessionName_);
      // A database component that names this session but still sits in "Default" moves
      // into the session it names before the lookup.
      if (!session.IsDefault() && !session.FindDatabase(DatabaseName_)) {
        TVELDORDatabase* moved = DefaultSession().FindDatabase(DatabaseName_);
        if (moved && !moved->Temporary() && !moved->Connected()) moved->BindToNamedSession(false);
      }
      TVELDORDatabase& database = session.OpenDatabase(DatabaseName_, Owner());
      Database_ = &database;
      database.AddDataSet(this);
    }
    Flags_.set(size_t(flag));
    return;
  }
  if (!Flags_.test(size_t(flag))) return;
  Flags_.reset(size_t(flag));
  if (Flags_.none() && Database_) {
    TVELDORDatabase* database = Database_;
    Database_ = nullptr;
    database->RemoveDataSet(this);
    if (database->Session()) database->Session()->CloseDatabase(database);
  }
}

void TVELDORDBDataSet::DatabaseGone(TVELDORDatabase* database) {
  if (Database_ != database) return;
  Database_ = nullptr;
  Flags_.reset();
}

void TVELDORDBDataSet::OpenCursor(bool infoQuery) {
  SetDBFlag(0, true);
  try {
    TVELDORDataSet::OpenCursor(infoQuery);
  } catch (...) {
    // The cursor goes before the database it was made on.
    try {
      TVELDORDataSet::CloseCursor();
    } catch (...) {
    }
    SetDBFlag(0, false);
    throw;
  }
}

void TVELDORDBDataSet::CloseCursor() {
  TVELDORDataSet::CloseCursor();
  SetDBFlag(0, false);
}

}  // namespace veldor
