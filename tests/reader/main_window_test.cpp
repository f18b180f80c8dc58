// The reader's main window, driven as a person would: start-up from the settings file,
// the letter buttons, the grid and the pane following each other, copying, the About box,
// and the errors of a missing volume.
#include <QButtonGroup>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <unistd.h>

#include "components/table.h"
#include "reader/rich_text_pane.h"
#include "reader/unit_about.h"
#include "reader/unit_main.h"
#include "reader/volume_model.h"
#include "tests/reader/reader_fixture.h"

namespace veldor::test {
namespace {

class MainWindow : public ReaderTest {
 protected:
  // The "A" volume as start-up finds it: three entries out of key order.
  void MakeFirstVolume(const std::string& directory = std::string()) {
    MakeVolume("A_book",
               {{"Orlen", "Mira", "The Salt Road", "{\\rtf1\\ansi {\\b Salt} road}"},
                {"Ashby", "Tom", "Lanterns", "plain lanterns"},
                {"Ashby", "Ann", "Winter Letters", ""}},
               directory);
  }

  static QString Cell(TFormMain& w, int row, int column) {
    return w.GridModel().data(w.GridModel().index(row, column)).toString();
  }
};

TEST_F(MainWindow, StartsOnTheFirstVolumeOfTheSettingsDirectory) {
  MakeFirstVolume();
  for (const std::string& path : {dir_, dir_ + "/"}) {
    SCOPED_TRACE(path);
    TFormMain w(WriteSettings("UserPath=" + path));
    EXPECT_EQ(w.StartupError(), "");
    EXPECT_EQ(w.windowTitle(), "Brevarion");
    EXPECT_EQ(w.size(), QSize(600, 450));
    EXPECT_TRUE(w.Table().Active());
    EXPECT_EQ(w.Table().TableName(), "a_book.dat");
    EXPECT_EQ(w.Table().DatabaseName(), dir_ + "/");
    // The grid: three titled columns in the primary index's order.
    ASSERT_EQ(w.GridModel().rowCount(), 3);
    ASSERT_EQ(w.GridModel().columnCount(), 3);
    EXPECT_EQ(w.GridModel().headerData(0, Qt::Horizontal).toString(), "Last Name");
    EXPECT_EQ(w.GridModel().headerData(1, Qt::Horizontal).toString(), "First Name");
    EXPECT_EQ(w.GridModel().headerData(2, Qt::Horizontal).toString(), "Title");
    EXPECT_EQ(Cell(w, 0, 1), "Ann");
    EXPECT_EQ(Cell(w, 1, 2), "Lanterns");
    EXPECT_EQ(Cell(w, 2, 0), "Orlen");
    // The first entry is current and has no text.
    EXPECT_EQ(w.DBGrid1->currentIndex().row(), 0);
    EXPECT_EQ(w.DBRichEdit1->toPlainText(), "");
    EXPECT_TRUE(w.SpeedButtons[0]->isChecked());
  }
}

TEST_F(MainWindow, ControlsStandWhereTheLayoutPutsThem) {
  MakeFirstVolume();
  TFormMain w(WriteSettings("UserPath=" + dir_));
  const auto& volumes = TFormMain::VolumeButtons();
  ASSERT_EQ(w.SpeedButtons.size(), 20u);
  struct TPlace {
    const char* Caption;
    QRect Geometry;
    const char* TableName;
  };
  const TPlace places[] = {
      {"A", {2, 2, 22, 22}, "A_book.dat"},      {"B", {27, 2, 22, 22}, "B_book.dat"},
      {"M", {302, 2, 22, 22}, "M_book.dat"},    {"N", {2, 25, 22, 22}, "N_book.dat"},
      {"O", {27, 25, 22, 22}, "O_book.dat"},    {"P / Q", {52, 25, 47, 22}, "p_book.dat"},
      {"R", {102, 25, 22, 22}, "R_book.dat"},   {"S", {127, 25, 22, 22}, "S_book.dat"},
      {"T / U / V", {152, 25, 72, 22}, "t_book.dat"},
      {"W / X / Y / Z", {227, 25, 97, 22}, "w_book.dat"}};
  for (const TPlace& p : places) {
    SCOPED_TRACE(p.Caption);
    size_t i = 0;
    while (i < volumes.size() && std::string(volumes[i].Caption) != p.Caption) ++i;
    ASSERT_LT(i, volumes.size());
    EXPECT_EQ(w.SpeedButtons[i]->text().toStdString(), p.Caption);
    EXPECT_EQ(w.SpeedButtons[i]->geometry(), p.Geometry);
    EXPECT_EQ(volumes[i].TableName(), p.TableName);
  }
  EXPECT_TRUE(w.SpeedButtonGroup->exclusive());
  EXPECT_EQ(w.PanelTop->height(), 49);
  EXPECT_EQ(w.PanelBottom->height(), 3);
  EXPECT_EQ(w.Splitter1->handleWidth(), 3);
  w.show();
  QApplication::processEvents();
  EXPECT_EQ(w.Splitter1->sizes().value(0), 120);
  EXPECT_EQ(w.DBGrid1->height(), 120);
  EXPECT_EQ(w.DBRichEdit1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  QStringList menus;
  for (QAction* menu : w.menuBar()->actions()) {
    menus << menu->text();
    for (QAction* item : menu->menu()->actions()) menus << item->text();
  }
  EXPECT_EQ(menus.join('|'), "&File|&Exit|&Edit|&Copy text to clipboard|&Help|&About");
}

TEST_F(MainWindow, WithoutSettingsTheDefaultDirectoryOfTheHomeIsUsed) {
  const std::string home = dir_ + "/home";
  std::filesystem::create_directories(home + "/marrowdene/newtables");
  MakeFirstVolume(home + "/marrowdene/newtables");
  const std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", home.c_str(), 1);
  {
    TFormMain w(dir_ + "/no-such-settings.ini");
    EXPECT_EQ(w.StartupError(), "");
    EXPECT_EQ(w.Table().DatabaseName(), home + "/marrowdene/newtables/");
    EXPECT_EQ(w.GridModel().rowCount(), 3);
  }
  // A settings file without the key reads the same default.
  {
    TFormMain w(WriteSettings("Other=1"));
    EXPECT_EQ(w.GridModel().rowCount(), 3);
  }
  setenv("HOME", oldHome.c_str(), 1);
}

TEST_F(MainWindow, AnEmptyUserPathOpensTheVolumesOfTheWorkingDirectory) {
  MakeFirstVolume(dir_ + "/");
  MakeVolume("B_book", {{"Brand", "Ida", "Birches", "b"}});
  const std::string settings = WriteSettings("UserPath=");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  {
    TFormMain w(settings);
    EXPECT_EQ(w.StartupError(), "");
    EXPECT_EQ(w.Table().TableName(), "a_book.dat");
    EXPECT_EQ(w.GridModel().rowCount(), 3);
    w.SpeedButtons[1]->click();
    EXPECT_TRUE(w.Table().Active());
    EXPECT_EQ(Cell(w, 0, 0), "Brand");
  }
  ASSERT_EQ(chdir(old), 0);
}

TEST_F(MainWindow, AMissingFirstVolumeLeavesTheWindowEmptyAndShowsTheError) {
  TFormMain w(WriteSettings("UserPath=" + dir_ + "/nowhere"));
  EXPECT_NE(w.StartupError(), "");
  EXPECT_FALSE(w.Table().Active());
  EXPECT_EQ(w.GridModel().rowCount(), 0);
  EXPECT_EQ(w.DBRichEdit1->toPlainText(), "");
  EXPECT_TRUE(errors_.empty());
  // Shown once the window is and the message loop runs.
  w.show();
  QApplication::processEvents();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], w.StartupError());
  EXPECT_NE(errors_[0].find("VELDOR Engine Error # "), std::string::npos) << errors_[0];
}

TEST_F(MainWindow, EveryLetterButtonOpensItsVolume) {
  // Files named in other cases than the buttons ask: found without regard to case.
  const auto& volumes = TFormMain::VolumeButtons();
  for (size_t i = 0; i < volumes.size(); ++i) {
    std::string file = volumes[i].TableName();
    file = file.substr(0, file.size() - 4);
    if (i % 2) for (char& c : file) c = char(toupper(c));
    MakeVolume(file, {{std::string("Author") + char('A' + i), "X", volumes[i].Caption, ""},
                      {std::string("Author") + char('A' + i), "Y", "Second", ""}});
  }
  TFormMain w(WriteSettings("UserPath=" + dir_));
  ASSERT_EQ(w.StartupError(), "");
  for (size_t i = 0; i < volumes.size(); ++i) {
    SCOPED_TRACE(volumes[i].Caption);
    w.SpeedButtons[i]->click();
    EXPECT_TRUE(w.SpeedButtons[i]->isChecked());
    ASSERT_TRUE(w.Table().Active());
    EXPECT_EQ(w.Table().TableName(), volumes[i].TableName());
    EXPECT_EQ(w.Table().DatabaseName(), dir_ + "/");
    ASSERT_EQ(w.GridModel().rowCount(), 2);
    EXPECT_EQ(Cell(w, 0, 2).toStdString(), volumes[i].Caption);
  }
  EXPECT_TRUE(errors_.empty());
}

TEST_F(MainWindow, ThePressedButtonReopensItsVolumeAtTheFirstRow) {
  MakeFirstVolume();
  TFormMain w(WriteSettings("UserPath=" + dir_));
  w.DBGrid1->setCurrentIndex(w.GridModel().index(2, 0));
  EXPECT_EQ(w.Table().FieldByName("AuthorSurname").AsString(), "Orlen");
  EXPECT_EQ(w.DBRichEdit1->toPlainText(), "Salt road");
  w.SpeedButtons[0]->click();
  EXPECT_TRUE(w.SpeedButtons[0]->isChecked());
  EXPECT_EQ(w.Table().RecNo(), 1);
  EXPECT_EQ(w.DBGrid1->currentIndex().row(), 0);
  EXPECT_EQ(w.DBRichEdit1->toPlainText(), "");
}

TEST_F(MainWindow, AMissingOrDamagedVolumeShowsTheErrorAndLeavesNoVolumeOpen) {
  MakeFirstVolume();
  // "L": a data file of garbage; "M": a data file cut short after its first bytes.
  MakeVolume("M_book", {{"Moss", "Ada", "Moorland", "m"}});
  std::ofstream(dir_ + "/L_book.DAT") << std::string(300, 'x');
  std::filesystem::resize_file(dir_ + "/M_book.DAT", 40);
  TFormMain w(WriteSettings("UserPath=" + dir_));
  for (size_t button : {10u, 11u, 12u}) {  // K (no such table), L, M
    SCOPED_TRACE(w.SpeedButtons[button]->text().toStdString());
    errors_.clear();
    w.DBGrid1->setCurrentIndex(w.GridModel().index(2, 0));
    ASSERT_EQ(w.DBRichEdit1->toPlainText(), "Salt road");
    w.SpeedButtons[button]->click();
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_NE(errors_[0].find("VELDOR Engine Error # "), std::string::npos) << errors_[0];
    EXPECT_FALSE(w.Table().Active());
    EXPECT_EQ(w.GridModel().rowCount(), 0);
    EXPECT_EQ(w.DBRichEdit1->toPlainText(), "");
    // Another button recovers.
    w.SpeedButtons[0]->click();
    EXPECT_TRUE(w.Table().Active());
    EXPECT_EQ(w.GridModel().rowCount(), 3);
  }
}

TEST_F(MainWindow, TheGridAndThePaneFollowTheTable) {
  MakeFirstVolume();
  TFormMain w(WriteSettings("UserPath=" + dir_));
  // A row chosen in the grid becomes the table's current record, and its text shows.
  w.DBGrid1->setCurrentIndex(w.GridModel().index(1, 2));
  EXPECT_EQ(w.Table().RecNo(), 2);
  EXPECT_EQ(w.Table().FieldByName("Title").AsString(), "Lanterns");
  EXPECT_EQ(w.DBRichEdit1->toPlainText(), "plain lanterns");
  EXPECT_EQ(w.GridModel().headerData(1, Qt::Vertical).toString(), QString::fromUtf8("\u25B6"));
  EXPECT_EQ(w.GridModel().headerData(0, Qt::Vertical).toString(), "");
  // The table moved by the program: the grid's current row follows.
  w.Table().Next();
  EXPECT_EQ(w.DBGrid1->currentIndex().row(), 2);
  EXPECT_EQ(w.DBRichEdit1->toPlainText(), "Salt road");
  // Formatting survives into the pane.
  QTextCursor c(w.DBRichEdit1->document());
  c.setPosition(1);
  EXPECT_TRUE(c.charFormat().font().bold());
}

TEST_F(MainWindow, TheGridAndThePaneChangeNothing) {
  MakeFirstVolume();
  TFormMain w(WriteSettings("UserPath=" + dir_));
  w.show();
  EXPECT_EQ(w.DBGrid1->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_FALSE(w.GridModel().flags(w.GridModel().index(0, 0)) & Qt::ItemIsEditable);
  EXPECT_FALSE(w.GridModel().setData(w.GridModel().index(0, 0), "Changed"));
  EXPECT_TRUE(w.DBRichEdit1->isReadOnly());
  w.DBGrid1->setCurrentIndex(w.GridModel().index(2, 0));
  QApplication::clipboard()->setText("pasted");
  w.DBRichEdit1->setFocus();
  w.DBRichEdit1->paste();
  QTest::keyClicks(w.DBRichEdit1, "typed");
  EXPECT_EQ(w.DBRichEdit1->toPlainText(), "Salt road");
  EXPECT_EQ(w.Table().State(), dsBrowse);
  w.Table().Refresh();
  EXPECT_EQ(w.Table().FieldByName("TextPocket").AsString(), "{\\rtf1\\ansi {\\b Salt} road}");
}

TEST_F(MainWindow, CopyPutsTheTextOnTheClipboardAndSaysSo) {
  MakeFirstVolume();
  TFormMain w(WriteSettings("UserPath=" + dir_));
  for (int row : {2, 0}) {  // a text, then an entry without one
    SCOPED_TRACE(row);
    w.DBGrid1->setCurrentIndex(w.GridModel().index(row, 0));
    QApplication::clipboard()->setText("before");
    QString said;
    WhenModal([&said](QWidget& modal) {
      auto* box = dynamic_cast<QMessageBox*>(&modal);
      ASSERT_NE(box, nullptr);
      said = box->text();
      EXPECT_EQ(box->icon(), QMessageBox::Information);
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      box->button(QMessageBox::Ok)->click();
    });
    w.CopyText1->trigger();
    EXPECT_EQ(said, "Text copied to clipboard.");
    EXPECT_EQ(QApplication::clipboard()->text(), row == 2 ? "Salt road" : "before");
    EXPECT_EQ(w.DBRichEdit1->textCursor().position(), 0);
    EXPECT_FALSE(w.DBRichEdit1->textCursor().hasSelection());
  }
}

TEST_F(MainWindow, TheAboutBoxOpensAndCloses) {
  MakeFirstVolume();
  TFormMain w(WriteSettings("UserPath=" + dir_));
  bool seen = false;
  WhenModal([&seen](QWidget& modal) {
    auto* about = dynamic_cast<TAbout*>(&modal);
    ASSERT_NE(about, nullptr);
    seen = true;
    EXPECT_EQ(about->windowTitle(), "About Brevarion");
    EXPECT_EQ(about->size(), QSize(397, 211));
    EXPECT_EQ(about->Label1->text(), "Brevarion Version 1.1");
    EXPECT_EQ(about->Label1->pos(), QPoint(45, 113));
    EXPECT_EQ(about->Image1->pixmap().size(), QSize(388, 101));
    EXPECT_EQ(about->CloseButton->geometry(), QRect(304, 136, 75, 30));
    about->CloseButton->click();
  });
  w.About1->trigger();
  EXPECT_TRUE(seen);
  EXPECT_TRUE(w.findChildren<TAbout*>().isEmpty());
}

TEST_F(MainWindow, ALargeVolumeIsReadByPagesNotWalkedFromTheStart) {
  std::vector<TEntry> entries;
  for (int i = 0; i < 20000; ++i) {
    char name[32];
    snprintf(name, sizeof name, "Name%05d", (i * 7919) % 20000);
    entries.push_back({name, "F", "T", ""});
  }
  MakeVolume("A_book", entries);
  TFormMain w(WriteSettings("UserPath=" + dir_));
  ASSERT_EQ(w.GridModel().rowCount(), 20000);
  const int64_t before = w.GridModel().PageFetches();
  // Jumping to the last row and reading it costs one page, not a walk of 20,000 records.
  EXPECT_EQ(Cell(w, 19999, 0), "Name19999");
  EXPECT_EQ(Cell(w, 10000, 0), "Name10000");
  EXPECT_EQ(Cell(w, 10001, 0), "Name10001");
  EXPECT_EQ(w.GridModel().PageFetches() - before, 2);
  w.DBGrid1->setCurrentIndex(w.GridModel().index(15000, 0));
  EXPECT_EQ(w.Table().FieldByName("AuthorSurname").AsString(), "Name15000");
}

}  // namespace
}  // namespace veldor::test

namespace veldor::test {
namespace {

TEST_F(MainWindow, AVolumeOnReadOnlyFilesIsReadAndLeftUntouched) {
  MakeFirstVolume();
  std::vector<std::pair<std::string, std::filesystem::file_time_type>> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path().filename().string().rfind("A_book", 0) != 0) continue;
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                                   std::filesystem::perms::others_read);
    files.emplace_back(entry.path().string(), entry.last_write_time());
  }
  ASSERT_EQ(files.size(), 3u);
  {
    TFormMain w(WriteSettings("UserPath=" + dir_));
    EXPECT_EQ(w.StartupError(), "");
    ASSERT_EQ(w.GridModel().rowCount(), 3);
    w.DBGrid1->setCurrentIndex(w.GridModel().index(2, 0));
    EXPECT_EQ(w.DBRichEdit1->toPlainText(), "Salt road");
    w.SpeedButtons[0]->click();
    EXPECT_TRUE(w.Table().Active());
  }
  for (const auto& [name, written] : files) EXPECT_EQ(std::filesystem::last_write_time(name), written) << name;
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace veldor::test
