// `TVolumeModel`: the reader's grid model, a Qt table model over a data source whose data
// set is an engine-backed table component. Rows are the table's records in its current
// index order, row r being record number r + 1.
//
// Rows are fetched by record number in pages through a cursor of the model's own (a clone
// of the table's cursor, so it shares the table object, index and range), and kept in a
// small cache of pages; nothing walks the table from its start, so a volume of any size
// opens, scrolls and jumps at the cost of one index descent per page. The table's own
// cursor (the current record, the text pane) is moved only when the view's current row
// changes, through the data set's RecNo.
//
// The model owns its fetch cursor and its page cache; it does not own the data source or
// the data set. It follows the data set through a data link: opening, closing and changes
// rebuild it, scrolling reports the current row. Qt's GUI thread only.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "toolkit/data_source.h"

namespace veldor {

class TDataCursor;

class TVolumeModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  struct TColumn {
    std::string FieldName;
    QString Title;
  };

  // Rows a page holds and pages the cache keeps (a page is one descent and one short
  // walk along a leaf).
  static constexpr int kPageRows = 40;
  static constexpr size_t kCachedPages = 64;

  TVolumeModel(TDataSource& source, std::vector<TColumn> columns, QObject* parent = nullptr);
  ~TVolumeModel() override;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // The data set's current record as a row, -1 when there is none.
  int CurrentRow() const { return CurrentRow_; }
  // Makes `row` the data set's current record (the view's selection moved). Errors from
  // the data set are shown through the application's error display, not raised.
  void SelectRow(int row);
  // Page fetches since the model was made (for benchmarks and tests).
  int64_t PageFetches() const { return PageFetches_; }

 signals:
  // The data set's current record moved to `row` (-1: none), by SelectRow or otherwise.
  void CurrentRowChanged(int row);

 private:
  class TLink;
  friend class TLink;
  using TPage = std::vector<QStringList>;

  // Drops the fetch cursor and cache and takes the data set's state afresh.
  void Rebuild();
  // The data set changed as a whole (moved, refreshed): rebuilds when the row count
  // changed, else forgets the cached pages and follows the current record.
  void Refresh();
  void FollowCurrent();
  QString CellText(uint16_t number) const;
  const TPage* Page(int page) const;
  TPage FetchPage(int page) const;
  void ForgetPages() const;

  TDataSource& Source_;
  std::vector<TColumn> Columns_;
  std::unique_ptr<TLink> Link_;
  std::unique_ptr<TDataCursor> Fetch_;
  std::vector<uint16_t> FieldNumbers_;  // per column; 0 for a field the table lacks
  int Rows_ = 0;
  int CurrentRow_ = -1;
  bool Selecting_ = false;
  // Page cache in least-recently-used order (front: newest). Mutable: filled by reads.
  mutable std::list<std::pair<int, TPage>> Pages_;
  mutable std::unordered_map<int, std::list<std::pair<int, TPage>>::iterator> PageIndex_;
  mutable int64_t PageFetches_ = 0;
  mutable std::vector<uint8_t> Record_;
  mutable std::vector<uint8_t> Value_;
};

}  // namespace veldor
