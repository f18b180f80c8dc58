#include "reader/rich_text_pane.h"

#include <QScrollBar>

#include "lib/code_page.h"
#include "lib/name_text.h"
#include "reader/rtf_reader.h"
#include "toolkit/binary_fields.h"
#include "toolkit/component.h"
#include "toolkit/dataset.h"

namespace veldor {

class TDBRichEdit::TLink : public TDataLink {
 public:
  explicit TLink(TDBRichEdit& pane) : Pane_(pane) {}

 protected:
  void ActiveChanged() override { Pane_.LoadMemo(); }
  void LayoutChanged() override { Pane_.LoadMemo(); }
  void DataSetChanged() override { Pane_.FollowRecord(); }
  void DataSetScrolled(int) override { Pane_.FollowRecord(); }
  void RecordChanged(TField* field) override {
    if (!field || EqualsIgnoreCase(field->FieldName(), Pane_.DataField_)) Pane_.LoadMemo();
  }

 private:
  TDBRichEdit& Pane_;
};

TDBRichEdit::TDBRichEdit(QWidget* parent) : QTextEdit(parent) {
  Link_ = std::make_unique<TLink>(*this);
  Link_->SetReadOnly(true);
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setAcceptRichText(true);
  setLineWrapMode(QTextEdit::WidgetWidth);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Read-only still lets the reader select with mouse and keyboard, for copying.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

TDBRichEdit::~TDBRichEdit() { Link_->SetDataSource(nullptr); }

TDataSource* TDBRichEdit::DataSource() const { return Link_->DataSource(); }

void TDBRichEdit::SetDataSource(TDataSource* source) {
  Link_->SetDataSource(source);
  LoadMemo();
}

void TDBRichEdit::SetDataField(const std::string& name) {
  DataField_ = name;
  LoadMemo();
}

void TDBRichEdit::FollowRecord() {
  TDataSet* dataSet = Link_->DataSet();
  std::string bookmark;
  if (Link_->Active() && dataSet && !dataSet->IsEmpty()) {
    const TBookmark mark = dataSet->GetBookmark();
    bookmark.assign(mark.begin(), mark.end());
  }
  if (Shown_ && bookmark == ShownBookmark_) return;
  LoadMemo();
}

void TDBRichEdit::LoadMemo() {
  TDataSet* dataSet = Link_->DataSet();
  QByteArray bytes;
  std::string bookmark;
  Shown_ = false;
  if (Link_->Active() && dataSet && !dataSet->IsEmpty() && !DataField_.empty()) {
    try {
      const TBookmark mark = dataSet->GetBookmark();
      bookmark.assign(mark.begin(), mark.end());
      if (TField* field = dataSet->FindField(DataField_)) {
        ++Loads_;
        // A memo's bytes are the engine's own; any other field gives its text, which goes
        // back to the engine's code page so that both read alike.
        if (auto* blob = dynamic_cast<TBlobField*>(field)) {
          const std::vector<uint8_t> value = blob->AsBytes();
          bytes = QByteArray(reinterpret_cast<const char*>(value.data()), qsizetype(value.size()));
        } else {
          bytes = QByteArray::fromStdString(Utf8ToWindows1252(field->AsString()));
        }
      }
      Shown_ = true;
    } catch (...) {
      document()->clear();
      ShownBookmark_.clear();
      ApplicationHandleException();
      return;
    }
  }
  ShownBookmark_ = bookmark;
  LoadRichText(bytes, *document());
  verticalScrollBar()->setValue(0);
}

void TDBRichEdit::mouseDoubleClickEvent(QMouseEvent* event) {
  QTextEdit::mouseDoubleClickEvent(event);
  emit DoubleClicked();
}

}  // namespace veldor
