// The reader on the sample library, rendered to a picture for people to look at
// (brevarion-main-window.png in the build folder): the sample program makes the library,
// the real window opens it, a formatted text is chosen and the window is painted.
#include <QImage>
#include <QPixmap>
#include <QTableView>
#include <QTextBlock>
#include <QToolButton>

#include <cstdlib>

#include "reader/rich_text_pane.h"
#include "reader/unit_main.h"
#include "reader/volume_model.h"
#include "tests/reader/reader_fixture.h"

namespace veldor::test {
namespace {

using SampleRender = ReaderTest;

// Whether the document shows formatting: a bold run and a centred paragraph.
bool Formatted(const QTextDocument& document) {
  bool bold = false, centred = false;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    if (block.blockFormat().alignment() & Qt::AlignHCenter) centred = true;
    for (auto it = block.begin(); !it.atEnd(); ++it)
      if (it.fragment().charFormat().fontWeight() >= QFont::Bold) bold = true;
  }
  return bold && centred;
}

TEST_F(SampleRender, TheWindowOnTheSampleLibraryIsPaintedToAPicture) {
  const std::string command = std::string(BREVARION_SAMPLE) + " " + dir_ + "/library > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  TFormMain w(WriteSettings("UserPath=" + dir_ + "/library"));
  ASSERT_EQ(w.StartupError(), "");
  w.show();
  // The biggest volume, so that the grid scrolls.
  QToolButton* s = w.findChild<QToolButton*>("SpeedButtonS");
  ASSERT_NE(s, nullptr);
  s->click();
  ASSERT_GE(w.GridModel().rowCount(), 40);
  int row = 0;
  while (row < w.GridModel().rowCount()) {
    w.DBGrid1->setCurrentIndex(w.GridModel().index(row, 0));
    if (Formatted(*w.DBRichEdit1->document())) break;
    ++row;
  }
  ASSERT_LT(row, w.GridModel().rowCount()) << "no formatted text in the volume";
  QApplication::processEvents();

  const QImage shot = w.grab().toImage();
  ASSERT_EQ(shot.size(), QSize(600, 450 + w.menuWidget()->height()).boundedTo(shot.size()));
  const QString file = QStringLiteral(BREVARION_SHOT_DIR "/brevarion-main-window.png");
  ASSERT_TRUE(shot.save(file, "PNG"));
  const QImage back(file);
  EXPECT_EQ(back.size(), shot.size());
  // Painted, not blank: the picture holds many colours.
  QSet<QRgb> colours;
  for (int y = 0; y < back.height(); y += 3)
    for (int x = 0; x < back.width(); x += 3) colours.insert(back.pixel(x, y));
  EXPECT_GT(colours.size(), 20);
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace veldor::test
