#include "toolkit/data_source.h"

#include <algorithm>
#include <stdexcept>

#include "toolkit/dataset.h"

namespace veldor {

// ---- TDataSource ----

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  SetDestroying();
  if (DataSet_) DataSet_->RemoveDataSource(this);
  DataSet_ = nullptr;
  std::vector<TDataLink*> links = std::move(Links_);
  Links_.clear();
  for (TDataLink* link : links) {
    link->DataSource_ = nullptr;
    link->UpdateState();
  }
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component == DataSet_) SetDataSet(nullptr);
  TComponent::Notification(component, operation);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == DataSet_) return;
  if (DataSet_) DataSet_->RemoveDataSource(this);
  DataSet_ = dataSet;
  if (DataSet_) DataSet_->AddDataSource(this);
  UpdateState();
}

void TDataSource::SetEnabled(bool value) {
  if (Enabled_ == value) return;
  Enabled_ = value;
  UpdateState();
}

void TDataSource::Edit() {
  if (AutoEdit_ && DataSet_ && DataSet_->State() == dsBrowse) DataSet_->Edit();
}

void TDataSource::UpdateState() {
  TDataSetState state = Enabled_ && DataSet_ ? DataSet_->State() : dsInactive;
  bool changed = state != State_;
  State_ = state;
  std::vector<TDataLink*> links = Links_;
  for (TDataLink* link : links)
    if (std::find(Links_.begin(), Links_.end(), link) != Links_.end()) link->UpdateState();
  if (changed && OnStateChange) OnStateChange(*this);
}

void TDataSource::NotifyLinks(TDataEvent event, intptr_t info) {
  std::vector<TDataLink*> links = Links_;
  for (TDataLink* link : links)
    if (std::find(Links_.begin(), Links_.end(), link) != Links_.end()) link->DataEvent(event, info);
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (State_ == dsInactive) return;
  NotifyLinks(event, info);
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (OnDataChange) OnDataChange(*this, reinterpret_cast<TField*>(info));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

void TDataSource::AddLink(TDataLink* link) {
  Links_.push_back(link);
  if (DataSet_) DataSet_->UpdateBufferCount();
}

void TDataSource::RemoveLink(TDataLink* link) {
  Links_.erase(std::remove(Links_.begin(), Links_.end(), link), Links_.end());
  if (DataSet_ && !Destroying()) DataSet_->UpdateBufferCount();
}

// ---- TDataLink ----

TDataLink::~TDataLink() {
  // No notices from a destructor: the derived part of this link is gone.
  if (DataSource_) DataSource_->RemoveLink(this);
}

TDataSet* TDataLink::DataSet() const { return DataSource_ ? DataSource_->DataSet() : nullptr; }

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == DataSource_) return;
  if (DataSource_) DataSource_->RemoveLink(this);
  DataSource_ = source;
  if (DataSource_) DataSource_->AddLink(this);
  UpdateState();
}

void TDataLink::SetReadOnly(bool value) {
  if (ReadOnly_ == value) return;
  ReadOnly_ = value;
  UpdateState();
}

void TDataLink::UpdateState() {
  TDataSet* ds = DataSet();
  bool active = DataSource_ && DataSource_->Enabled() && ds && ds->Active();
  SetActive(active);
  TDataSetState state = active ? DataSource_->State() : dsInactive;
  SetEditing(!ReadOnly_ && (state == dsEdit || state == dsInsert || state == dsSetKey));
}

void TDataLink::SetActive(bool value) {
  if (Active_ == value) return;
  Active_ = value;
  FirstRecord_ = 0;
  if (value) UpdateRange(0);
  ActiveChanged();
}

void TDataLink::SetEditing(bool value) {
  if (Editing_ == value) return;
  Editing_ = value;
  EditingChanged();
}

void TDataLink::SetBufferCount(int count) {
  if (count < 1) count = 1;
  if (count == BufferCount_) return;
  BufferCount_ = count;
  if (TDataSet* ds = DataSet()) {
    ds->UpdateBufferCount();
    if (Active_) UpdateRange(0);
  }
}

int TDataLink::RecordCount() const {
  TDataSet* ds = DataSet();
  if (!Active_ || !ds) return 0;
  return std::max(0, std::min(ds->RecordCount_ - FirstRecord_, BufferCount_));
}

int TDataLink::ActiveRecord() const {
  TDataSet* ds = DataSet();
  if (!Active_ || !ds) return 0;
  return ds->ActiveRecord_ - FirstRecord_;
}

void TDataLink::SetActiveRecord(int row) {
  TDataSet* ds = DataSet();
  if (!Active_ || !ds) return;
  int index = FirstRecord_ + row;
  if (row < 0 || row >= BufferCount_ || index >= std::max(ds->RecordCount_, 1))
    throw std::out_of_range("TDataLink::SetActiveRecord: row outside the window");
  ds->ActiveRecord_ = index;
}

int TDataLink::UpdateRange(int shift) {
  TDataSet* ds = DataSet();
  if (!ds) return 0;
  int oldFirst = FirstRecord_;
  int first = FirstRecord_ + shift;
  int active = ds->ActiveRecord_;
  if (active < first) first = active;
  if (active >= first + BufferCount_) first = active - BufferCount_ + 1;
  first = std::min(first, std::max(0, ds->RecordCount_ - BufferCount_));
  if (first < 0) first = 0;
  FirstRecord_ = first;
  return first - shift - oldFirst;
}

bool TDataLink::Edit() {
  if (!ReadOnly_ && DataSource_) DataSource_->Edit();
  return Editing_;
}

void TDataLink::UpdateRecord() {
  Updating_ = true;
  struct TDone {
    bool& Flag;
    ~TDone() { Flag = false; }
  } done{Updating_};
  UpdateData();
}

void TDataLink::DataSetChanged() { RecordChanged(nullptr); }
void TDataLink::DataSetScrolled(int) { DataSetChanged(); }
void TDataLink::FocusControl(TField*) {}
void TDataLink::LayoutChanged() { DataSetChanged(); }
void TDataLink::RecordChanged(TField*) {}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (!Active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!Updating_) RecordChanged(reinterpret_cast<TField*>(info));
      break;
    case deDataSetChange:
      UpdateRange(0);
      DataSetChanged();
      break;
    case deDataSetScroll:
      DataSetScrolled(UpdateRange(int(info)));
      break;
    case deLayoutChange:
      UpdateRange(0);
      LayoutChanged();
      break;
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(reinterpret_cast<TField*>(info));
      break;
    default:
      break;
  }
}

// ---- TMasterDataLink ----

void TMasterDataLink::SetFieldNames(const std::string& names) {
  if (names == FieldNames_) return;
  FieldNames_ = names;
  ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
  Fields_.clear();
  if (Active()) {
    try {
      Fields_ = DataSet()->GetFieldList(FieldNames_);
    } catch (...) {
      Fields_.clear();
      throw;
    }
  }
  if (Detail_->Active() && !Detail_->Destroying()) {
    if (Active() && !Fields_.empty()) {
      if (OnMasterChange) OnMasterChange(*this);
    } else {
      if (OnMasterDisable) OnMasterDisable(*this);
    }
  }
}

void TMasterDataLink::CheckBrowseMode() {
  if (Detail_->Active()) Detail_->CheckBrowseMode();
}

void TMasterDataLink::LayoutChanged() { ActiveChanged(); }

void TMasterDataLink::RecordChanged(TField* field) {
  if (Fields_.empty() || !Detail_->Active() || (DataSource() && DataSource()->State() == dsSetKey))
    return;
  if (field && std::find(Fields_.begin(), Fields_.end(), field) == Fields_.end()) return;
  if (OnMasterChange) OnMasterChange(*this);
}

}  // namespace veldor
