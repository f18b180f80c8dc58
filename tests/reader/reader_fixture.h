// The reader's tests drive the real main window under Qt's offscreen platform over volume
// tables made in a fresh directory through an engine session of the fixture's own, as
// another program would have left them. Errors the window shows go to a list instead of
// a message box; modal boxes are answered by a timer that waits for them.
#pragma once

#include <QApplication>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "components/session.h"
#include "engine/data_cursor.h"
#include "engine/session.h"
#include "lib/temp_dir.h"
#include "toolkit/component.h"
#include "tools/library_volumes.h"

// Failures print Qt strings as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace veldor::test {

struct TEntry {
  std::string Surname;
  std::string FirstName;
  std::string Title;
  std::string Text;  // "" stores no text
};

class ReaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  // The application object goes before the program's static objects do.
  static void TearDownTestSuite() { application_.reset(); }

  void SetUp() override {
    std::string made = MakeTempDirectory("brevarion-reader");
    ASSERT_FALSE(made.empty());
    dir_ = made;
    errors_.clear();
    SetApplicationExceptionHandler([this](const std::exception& e) { errors_.push_back(e.what()); });
  }
  void TearDown() override {
    SetApplicationExceptionHandler(nullptr);
    DefaultSession().Close();
    std::filesystem::remove_all(dir_);
  }

  // Creates the volume table `name` in `directory` (default: the test directory) as the
  // library's programs make volumes, and appends
  // `entries` (Windows-1252 text).
  void MakeVolume(const std::string& name, const std::vector<TEntry>& entries,
                  const std::string& directory = std::string()) {
    TDataSession session(0);
    TDataDirectory* db = session.OpenDataDirectory("", (directory.empty() ? dir_ : directory) + "/");
    TDataCursor cursor(db);
    cursor.SetTableName(name);
    cursor.SetExclusive(true);
    cursor.CreateTable(tool::VolumeDefinition(), false, true);
    cursor.Open();
    std::vector<uint8_t> image(cursor.RecordSize());
    for (const TEntry& e : entries) {
      cursor.InitRecord(image.data());
      cursor.PutField(1, image.data(), e.Surname.c_str());
      cursor.PutField(2, image.data(), e.FirstName.c_str());
      cursor.PutField(3, image.data(), e.Title.c_str());
      if (!e.Text.empty()) {
        ASSERT_EQ(cursor.OpenBlob(4, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
        ASSERT_EQ(cursor.PutBlob(4, image.data(), false, 0, uint32_t(e.Text.size()), e.Text.data()), 0);
      }
      cursor.AppendRecord(image.data());
      cursor.FreeAllBlobs(true);
    }
  }

  // A settings file in the test directory; `lines` follow a "[Z]" header.
  std::string WriteSettings(const std::string& lines) {
    const std::string name = dir_ + "/quorvish.ini";
    std::ofstream(name) << "[Z]\n" << lines << "\n";
    return name;
  }

  // Runs `body` on the modal widget once one shows (checked from the message loop).
  static void WhenModal(std::function<void(QWidget&)> body) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, body] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      timer->stop();
      timer->deleteLater();
      body(*modal);
    });
    timer->start();
  }

  static inline int argc_ = 1;
  static inline char name_[] = "reader_test";
  static inline char* argv_[] = {name_, nullptr};
  static inline std::unique_ptr<QApplication> application_;
  std::string dir_;
  std::vector<std::string> errors_;
};

}  // namespace veldor::test
