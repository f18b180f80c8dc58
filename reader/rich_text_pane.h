// `TDBRichEdit`: the reader's text pane, a read-only rich-text view of one memo field of
// the current record of a data source's data set.
//
// The pane owns its document and the data link it follows the data set with; it does not
// own the data source. The field's bytes are read whole through the data set's BLOB
// access whenever the current record changes, and shown as rich text when they are RTF,
// as plain text otherwise; nothing is ever written back. Only a vertical scroll bar is
// shown: lines wrap at the pane's width. Qt's GUI thread only.
#pragma once

#include <QTextEdit>

#include <memory>
#include <string>

#include "toolkit/data_source.h"

namespace veldor {

class TDBRichEdit : public QTextEdit {
  Q_OBJECT

 public:
  explicit TDBRichEdit(QWidget* parent = nullptr);
  ~TDBRichEdit() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  const std::string& DataField() const { return DataField_; }
  void SetDataField(const std::string& name);
  // Reads the field of the current record again (an empty pane without one).
  void LoadMemo();
  // How often the field's bytes were read (for tests: a move to the same record reads
  // nothing).
  int Loads() const { return Loads_; }

 signals:
  void DoubleClicked();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  class TLink;
  // Loads the memo when the data set stands on another record than the one shown.
  void FollowRecord();

  std::unique_ptr<TLink> Link_;
  std::string DataField_;
  std::string ShownBookmark_;  // the record shown ("" none)
  bool Shown_ = false;
  int Loads_ = 0;
};

}  // namespace veldor
