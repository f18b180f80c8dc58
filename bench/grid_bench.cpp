// brevarion-grid-bench: how quickly the reader's grid shows a large volume. It makes a
// volume of 100,000 entries (in a new directory in /var/tmp, or --dir), opens the real
// main window on Qt's offscreen platform, then pages from the first screenful to the last
// and jumps to rows at random, painting the grid after each step; it prints the time per
// screenful (median, 99th percentile and worst) and the pages the grid's model fetched.
// The table's texts are short: this measures the grid, not the text pane.
#include <QApplication>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/session.h"
#include "reader/unit_main.h"
#include "tools/library_volumes.h"
#include "reader/volume_model.h"

namespace {

using Clock = std::chrono::steady_clock;

// The volume A_book with `count` entries appended in a scattered key order.
void MakeVolume(const std::string& dir, int count) {
  using namespace veldor;
  TDataSession session(0);
  TDataDirectory* db = session.OpenDataDirectory("", dir + "/");
  TDataCursor cursor(db);
  cursor.SetTableName("A_book");
  cursor.SetExclusive(true);
  cursor.CreateTable(tool::VolumeDefinition(), false, true);
  cursor.Open();
  std::vector<uint8_t> image(cursor.RecordSize());
  const std::string text = "{\\rtf1\\ansi A short text.\\par}";
  db->StartTransaction();
  for (int i = 0; i < count; ++i) {
    char surname[32], title[64];
    std::snprintf(surname, sizeof surname, "Surname%06d", int((int64_t(i) * 7919) % count));
    std::snprintf(title, sizeof title, "Title of entry %d", i);
    cursor.InitRecord(image.data());
    cursor.PutField(1, image.data(), surname);
    cursor.PutField(2, image.data(), "First");
    cursor.PutField(3, image.data(), title);
    cursor.OpenBlob(4, image.data(), kBlobOwnerEngine, false, kBlobWrite);
    cursor.PutBlob(4, image.data(), false, 0, uint32_t(text.size()), text.data());
    cursor.AppendRecord(image.data());
    cursor.FreeAllBlobs(true);
  }
  db->CommitTransaction(true, false);
}

struct TFigures {
  double Median, P99, Worst;
};

TFigures Figures(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back()};
}

void Print(const char* what, size_t steps, const TFigures& f) {
  std::printf("%-44s %7zu steps  median %6.2f ms  p99 %6.2f ms  worst %6.2f ms\n", what, steps, f.Median,
              f.P99, f.Worst);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int count = 100000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--records" && i + 1 < argc) {
      count = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--dir DIR] [--records N]\n", argv[0]);
      return 2;
    }
  }
  const bool ownDir = dir.empty();
  if (ownDir) {
    // mkdtemp fills the six trailing characters.
    std::string pattern = "/var/tmp/brevarion-grid-bench-" + std::string(6, 'X');
    if (mkdtemp(pattern.data()) != nullptr) dir = pattern;
  }
  if (dir.empty()) {
    std::fprintf(stderr, "cannot make a directory in /var/tmp\n");
    return 1;
  }
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication application(argc, argv);
  int status = 0;
  try {
    auto started = Clock::now();
    MakeVolume(dir, count);
    std::printf("volume of %d entries made in %.0f ms (%s)\n", count,
                std::chrono::duration<double, std::milli>(Clock::now() - started).count(), dir.c_str());
    const std::string settings = dir + "/quorvish.ini";
    std::ofstream(settings) << "[Z]\nUserPath=" << dir << "\n";

    started = Clock::now();
    veldor::TFormMain window(settings);
    window.show();
    QApplication::processEvents();
    window.DBGrid1->viewport()->repaint();
    std::printf("window open and first screenful painted in %.2f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    if (!window.StartupError().empty()) throw std::runtime_error(window.StartupError());

    QTableView& grid = *window.DBGrid1;
    QScrollBar& bar = *grid.verticalScrollBar();
    const int64_t fetchesBefore = window.GridModel().PageFetches();
    std::vector<double> paging;
    for (int value = 0;; value += bar.pageStep()) {
      const auto t = Clock::now();
      bar.setValue(std::min(value, bar.maximum()));
      grid.viewport()->repaint();
      paging.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      if (value >= bar.maximum()) break;
    }
    const int64_t pagingFetches = window.GridModel().PageFetches() - fetchesBefore;
    Print("page down from the first row to the last", paging.size(), Figures(paging));
    std::printf("%-44s %7lld pages of %d rows fetched\n", "", static_cast<long long>(pagingFetches),
                veldor::TVolumeModel::kPageRows);

    std::mt19937 random(20261211);
    std::vector<double> jumps;
    for (int i = 0; i < 500; ++i) {
      const int row = int(random() % uint32_t(count));
      const auto t = Clock::now();
      grid.setCurrentIndex(window.GridModel().index(row, 0));
      grid.viewport()->repaint();
      jumps.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    }
    Print("jump to a row at random (grid, table, pane)", jumps.size(), Figures(jumps));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "brevarion-grid-bench: %s\n", e.what());
    status = 1;
  }
  if (ownDir) std::filesystem::remove_all(dir);
  return status;
}
