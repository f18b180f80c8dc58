// Data sources and data links: how controls, detail data sets and query parameters follow
// a data set. `TDataSource` (a component) joins one data set to any number of
// `TDataLink`s and hands them the data set's events; `TMasterDataLink` drives a detail
// from its master's fields, `TDetailDataLink` names the data set a link feeds.
//
// Nobody owns anybody here: a source forgets a destroyed data set, a link a destroyed
// source. A link sees a window of BufferCount records of the data set's ring (the data set
// keeps as many buffers as the largest window). One thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/component.h"
#include "toolkit/db_common.h"

namespace veldor {

class TDataLink;
class TDataSet;
class TField;

class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner = nullptr);
  ~TDataSource() override;

  TDataSet* DataSet() const { return DataSet_; }
  // Leaves the old data set, joins the new one; the links hear that their data set
  // changed (ActiveChanged).
  void SetDataSet(TDataSet* dataSet);
  // A disabled source shows its links an inactive data set.
  bool Enabled() const { return Enabled_; }
  void SetEnabled(bool value);
  // Whether Edit (called by links when their control is edited) puts the data set into
  // edit state.
  bool AutoEdit() const { return AutoEdit_; }
  void SetAutoEdit(bool value) { AutoEdit_ = value; }
  // The data set's state as the links see it (inactive when disabled or without one).
  TDataSetState State() const { return State_; }
  // Edit state through AutoEdit: a browsing data set starts editing.
  void Edit();
  int LinkCount() const { return int(Links_.size()); }

  std::function<void(TDataSource&)> OnStateChange;
  // Field: the field that changed, or null for the record or the data set as a whole.
  std::function<void(TDataSource&, TField*)> OnDataChange;
  std::function<void(TDataSource&)> OnUpdateData;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;

  // From the data set.
  void DataEvent(TDataEvent event, intptr_t info);
  void NotifyLinks(TDataEvent event, intptr_t info);
  void UpdateState();
  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);

  TDataSet* DataSet_ = nullptr;
  bool Enabled_ = true;
  bool AutoEdit_ = true;
  TDataSetState State_ = dsInactive;
  std::vector<TDataLink*> Links_;
};

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return DataSource_; }
  void SetDataSource(TDataSource* source);
  // The source's data set, or null.
  TDataSet* DataSet() const;
  // A source, enabled, with an open data set.
  bool Active() const { return Active_; }
  bool Editing() const { return Editing_; }
  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool value);

  // The window: how many records the link shows (at least 1), how many it shows now,
  // and which of them is the data set's current one.
  int BufferCount() const { return BufferCount_; }
  void SetBufferCount(int count);
  int RecordCount() const;
  int ActiveRecord() const;
  // Makes row `row` of the window the data set's active record, so that field objects
  // read it (a grid painting its rows). The caller sets it back before anything else
  // happens to the data set.
  void SetActiveRecord(int row);

  // Puts the data set into edit state through its source (unless read-only); answers
  // whether the link is editing afterwards.
  bool Edit();
  // Writes the control's pending edit (UpdateData).
  void UpdateRecord();

 protected:
  // The notices a link receives; the base does nothing except where noted.
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  // Base: RecordChanged(nullptr).
  virtual void DataSetChanged();
  // `distance`: how many records the window moved (positive: toward the end). Base:
  // DataSetChanged.
  virtual void DataSetScrolled(int distance);
  virtual void EditingChanged() {}
  virtual void FocusControl(TField* field);
  // Base: DataSetChanged.
  virtual void LayoutChanged();
  // `field`: the field that changed, or null for the whole record.
  virtual void RecordChanged(TField* field);
  virtual void UpdateData() {}

 private:
  friend class TDataSource;
  friend class TDataSet;

  void DataEvent(TDataEvent event, intptr_t info);
  void UpdateState();
  void SetActive(bool value);
  void SetEditing(bool value);
  // Keeps the window on the active record after the ring moved by `shift`; returns how
  // far the window moved in records.
  int UpdateRange(int shift);

  TDataSource* DataSource_ = nullptr;
  bool Active_ = false;
  bool Editing_ = false;
  bool ReadOnly_ = false;
  bool Updating_ = false;
  int BufferCount_ = 1;
  int FirstRecord_ = 0;
};

// A link that feeds another data set (a query's parameters, a detail's range).
class TDetailDataLink : public TDataLink {
 public:
  virtual TDataSet* DetailDataSet() const { return nullptr; }
};

// Drives `detail` from its master's fields named by FieldNames: OnMasterChange when the
// master opens, moves or changes one of those fields; OnMasterDisable when the master
// closes or no fields are named.
class TMasterDataLink : public TDetailDataLink {
 public:
  explicit TMasterDataLink(TDataSet* detail) : Detail_(detail) {}

  TDataSet* DetailDataSet() const override { return Detail_; }
  const std::string& FieldNames() const { return FieldNames_; }
  // Takes effect at once on an active link (the fields are looked up again).
  void SetFieldNames(const std::string& names);
  // The master's fields, in FieldNames order; empty while inactive.
  const std::vector<TField*>& Fields() const { return Fields_; }

  std::function<void(TMasterDataLink&)> OnMasterChange;
  std::function<void(TMasterDataLink&)> OnMasterDisable;

 protected:
  // Looks the fields up (an unknown name raises, leaving the list empty) and tells the
  // detail.
  void ActiveChanged() override;
  // The detail leaves its edit before the master moves.
  void CheckBrowseMode() override;
  void LayoutChanged() override;
  void RecordChanged(TField* field) override;

 private:
  TDataSet* Detail_;
  std::string FieldNames_;
  std::vector<TField*> Fields_;
};

}  // namespace veldor
