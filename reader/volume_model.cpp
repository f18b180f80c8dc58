#include "reader/volume_model.h"

#include <algorithm>
#include <cstring>

#include "components/dataset.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "lib/code_page.h"
#include "lib/name_text.h"
#include "toolkit/component.h"

namespace veldor {

namespace {

// The number of the field `name` (UTF-8) in `cursor`'s table, 0 when it has none: a
// column the table lacks stays empty.
uint16_t FieldNumberOf(TDataCursor& cursor, const std::string& name) {
  const std::string stored = Utf8ToWindows1252(name);
  for (size_t i = 0; i < cursor.Fields().size(); ++i)
    if (EqualsIgnoreCase(cursor.Fields()[i].FieldName(), stored)) return uint16_t(i + 1);
  return 0;
}

}  // namespace

// Hears the data set's notices for the model.
class TVolumeModel::TLink : public TDataLink {
 public:
  explicit TLink(TVolumeModel& model) : Model_(model) {}

 protected:
  void ActiveChanged() override { Model_.Rebuild(); }
  void DataSetChanged() override { Model_.Refresh(); }
  void LayoutChanged() override { Model_.Rebuild(); }
  void DataSetScrolled(int) override { Model_.FollowCurrent(); }
  void RecordChanged(TField*) override { Model_.FollowCurrent(); }

 private:
  TVolumeModel& Model_;
};

TVolumeModel::TVolumeModel(TDataSource& source, std::vector<TColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), Source_(source), Columns_(std::move(columns)) {
  Link_ = std::make_unique<TLink>(*this);
  Link_->SetReadOnly(true);
  Link_->SetDataSource(&Source_);
  Rebuild();
}

TVolumeModel::~TVolumeModel() {
  Link_->SetDataSource(nullptr);
  Fetch_.reset();
}

int TVolumeModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Rows_; }

int TVolumeModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(Columns_.size());
}

QVariant TVolumeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
  if (index.row() >= Rows_ || index.column() >= int(Columns_.size())) return {};
  const TPage* page = Page(index.row() / kPageRows);
  const size_t row = size_t(index.row() % kPageRows);
  if (!page || row >= page->size()) return {};
  return (*page)[row].value(index.column());
}

QVariant TVolumeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Horizontal) {
    if (section < 0 || section >= int(Columns_.size())) return {};
    return Columns_[size_t(section)].Title;
  }
  // The row indicator: a mark beside the current record.
  return section == CurrentRow_ ? QStringLiteral("\u25B6") : QString();
}

Qt::ItemFlags TVolumeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void TVolumeModel::SelectRow(int row) {
  TDataSet* dataSet = Source_.DataSet();
  if (Selecting_ || !dataSet || !dataSet->Active() || row < 0 || row >= Rows_) return;
  if (row == CurrentRow_) return;
  Selecting_ = true;
  try {
    dataSet->SetRecNo(row + 1);
  } catch (...) {
    ApplicationHandleException();
  }
  Selecting_ = false;
  FollowCurrent();
}

void TVolumeModel::Rebuild() {
  beginResetModel();
  ForgetPages();
  Fetch_.reset();
  FieldNumbers_.clear();
  Rows_ = 0;
  CurrentRow_ = -1;
  auto* dataSet = dynamic_cast<TVELDORDataSet*>(Source_.DataSet());
  if (Link_->Active() && dataSet && dataSet->Handle()) {
    try {
      TDataCursor& cursor = *dataSet->Handle();
      for (const TColumn& column : Columns_) FieldNumbers_.push_back(FieldNumberOf(cursor, column.FieldName));
      Fetch_ = cursor.Clone();
      Rows_ = int(std::min<int64_t>(Fetch_->GetRecordCount(), INT32_MAX));
      Record_.assign(Fetch_->RecordSize(), 0);
      const int64_t recNo = dataSet->IsEmpty() ? -1 : dataSet->RecNo();
      CurrentRow_ = recNo >= 1 && recNo <= Rows_ ? int(recNo - 1) : -1;
    } catch (...) {
      Fetch_.reset();
      Rows_ = 0;
      endResetModel();
      ApplicationHandleException();
      return;
    }
  }
  endResetModel();
  emit CurrentRowChanged(CurrentRow_);
}

void TVolumeModel::Refresh() {
  if (!Fetch_) {
    if (Link_->Active()) Rebuild();
    return;
  }
  int64_t rows = 0;
  try {
    rows = std::min<int64_t>(Fetch_->GetRecordCount(), INT32_MAX);
  } catch (...) {
    Rebuild();
    return;
  }
  if (rows != Rows_) {
    Rebuild();
    return;
  }
  // Same rows, perhaps other values (a refresh, another process): the visible rows read
  // their pages again.
  ForgetPages();
  if (Rows_ > 0) emit dataChanged(index(0, 0), index(Rows_ - 1, int(Columns_.size()) - 1));
  FollowCurrent();
}

void TVolumeModel::FollowCurrent() {
  TDataSet* dataSet = Source_.DataSet();
  int row = -1;
  if (Link_->Active() && dataSet && !dataSet->IsEmpty()) {
    const int64_t recNo = dataSet->RecNo();
    if (recNo >= 1 && recNo <= Rows_) row = int(recNo - 1);
  }
  if (row == CurrentRow_) return;
  const int old = CurrentRow_;
  CurrentRow_ = row;
  if (old >= 0) emit headerDataChanged(Qt::Vertical, old, old);
  if (row >= 0) emit headerDataChanged(Qt::Vertical, row, row);
  emit CurrentRowChanged(row);
}

const TVolumeModel::TPage* TVolumeModel::Page(int page) const {
  auto found = PageIndex_.find(page);
  if (found != PageIndex_.end()) {
    Pages_.splice(Pages_.begin(), Pages_, found->second);
    return &found->second->second;
  }
  if (!Fetch_) return nullptr;
  TPage rows;
  try {
    rows = FetchPage(page);
  } catch (const std::exception&) {
    // A page that cannot be read shows empty; the table's own cursor reports the error
    // when the reader moves to one of its records.
    return nullptr;
  }
  Pages_.emplace_front(page, std::move(rows));
  PageIndex_[page] = Pages_.begin();
  while (Pages_.size() > kCachedPages) {
    PageIndex_.erase(Pages_.back().first);
    Pages_.pop_back();
  }
  return &Pages_.front().second;
}

TVolumeModel::TPage TVolumeModel::FetchPage(int page) const {
  ++PageFetches_;
  TPage rows;
  const int64_t first = int64_t(page) * kPageRows + 1;
  const int64_t count = std::min<int64_t>(kPageRows, Rows_ - first + 1);
  if (count <= 0) return rows;
  rows.reserve(size_t(count));
  Fetch_->SetToRecNo(first);
  uint16_t code = Fetch_->GetCurrentRecord(Record_.data());
  while (code == 0 && int64_t(rows.size()) < count) {
    QStringList cells;
    for (size_t c = 0; c < Columns_.size(); ++c) cells.append(CellText(FieldNumbers_[c]));
    rows.push_back(std::move(cells));
    if (int64_t(rows.size()) < count) code = Fetch_->GetNextRecord(Record_.data());
  }
  return rows;
}

QString TVolumeModel::CellText(uint16_t number) const {
  if (number == 0) return {};
  const TFieldDescriptor& field = Fetch_->Field(number);
  Value_.assign(std::max<size_t>(field.SlotSize(), 8) + 1, 0);
  if (Fetch_->GetField(number, Record_.data(), Value_.data())) return {};
  const char* bytes = reinterpret_cast<const char*>(Value_.data());
  switch (field.FieldType()) {
    case FIELD_STRING:
      return QString::fromStdString(Windows1252ToUtf8(std::string(bytes, strnlen(bytes, field.SlotSize()))));
    case FIELD_SMALLINT: {
      int16_t v;
      std::memcpy(&v, bytes, 2);
      return QString::number(v);
    }
    case FIELD_INTEGER: {
      int32_t v;
      std::memcpy(&v, bytes, 4);
      return QString::number(v);
    }
    default:
      return {};
  }
}

void TVolumeModel::ForgetPages() const {
  Pages_.clear();
  PageIndex_.clear();
}

}  // namespace veldor
