#include "reader/unit_main.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QFrame>
#include <QHeaderView>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "components/table.h"
#include "reader/rich_text_pane.h"
#include "reader/unit_about.h"
#include "reader/volume_model.h"
#include "toolkit/component.h"
#include "toolkit/data_source.h"
#include "toolkit/ini_file.h"

namespace veldor {

namespace {

constexpr const char* kSettingsName = "quorvish.ini";

bool IsFile(const std::string& name) {
  struct stat info;
  return ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return ".";
}

// "~" and "~/..." name the home directory, as in a shell: people write them in settings.
std::string ExpandHome(const std::string& path) {
  if (path == "~") return HomeDirectory();
  if (path.rfind("~/", 0) == 0) return HomeDirectory() + path.substr(1);
  return path;
}

}  // namespace

std::string SettingsFileName(const std::string& explicitName) {
  if (!explicitName.empty()) return explicitName;
  if (IsFile(kSettingsName)) return kSettingsName;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    config = xdg;
  else
    config = HomeDirectory() + "/.config";
  const std::string inConfig = config + "/" + kSettingsName;
  if (IsFile(inConfig)) return inConfig;
  return kSettingsName;
}

std::string DefaultUserPath() { return HomeDirectory() + "/marrowdene/newtables"; }

std::string FirstVolumeName(const std::string& userPath) {
  if (userPath.empty()) return "a_book.dat";
  if (userPath.back() == '/') return userPath + "a_book.dat";
  return userPath + "/a_book.dat";
}

std::string TFormMain::TVolumeButton::TableName() const {
  const std::string caption = Caption;
  // The shared volumes have fixed lower-case names; the one-letter volumes take the
  // caption's letter as it is.
  if (caption == "P / Q") return "p_book.dat";
  if (caption == "T / U / V") return "t_book.dat";
  if (caption == "W / X / Y / Z") return "w_book.dat";
  return caption + "_book.dat";
}

const std::vector<TFormMain::TVolumeButton>& TFormMain::VolumeButtons() {
  static const std::vector<TVolumeButton> buttons = {
      {"SpeedButtonA", "A"}, {"SpeedButtonB", "B"}, {"SpeedButtonC", "C"},
      {"SpeedButtonD", "D"}, {"SpeedButtonE", "E"}, {"SpeedButtonF", "F"},
      {"SpeedButtonG", "G"}, {"SpeedButtonH", "H"}, {"SpeedButtonI", "I"},
      {"SpeedButtonJ", "J"}, {"SpeedButtonK", "K"}, {"SpeedButtonL", "L"},
      {"SpeedButtonM", "M"}, {"SpeedButtonN", "N"}, {"SpeedButtonO", "O"},
      {"SpeedButtonP", "P / Q"}, {"SpeedButtonR", "R"}, {"SpeedButtonS", "S"},
      {"SpeedButtonT", "T / U / V"}, {"SpeedButtonW", "W / X / Y / Z"}};
  return buttons;
}

TFormMain::TFormMain(const std::string& settingsFile, QWidget* parent)
    : QMainWindow(parent), SettingsFile_(SettingsFileName(settingsFile)) {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("Brevarion"));
  QFont font;
  font.setFamily(QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  setFont(font);

  Table1 = std::make_unique<TVELDORTable>();
  Table1->SetName("Table1");
  Table1->SetTableName("a_book");
  Table1->SetAutoDisplayLabels(false);
  Table1->SetCopyOnAppend(false);
  DataSource1 = std::make_unique<TDataSource>();
  DataSource1->SetName("DataSource1");
  DataSource1->SetDataSet(Table1.get());

  BuildControls();
  BuildMenu();
  resize(600, 450);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }

  try {
    FormCreate();
  } catch (const std::exception& e) {
    StartupError_ = e.what();
    PendingError_ = std::current_exception();
  }
}

TFormMain::~TFormMain() {
  // The controls let go of the data source before the components go.
  DBRichEdit1->SetDataSource(nullptr);
  delete DBGrid1->model();
  DBGrid1->setModel(nullptr);
  DataSource1->SetDataSet(nullptr);
  Table1->Close();
}

void TFormMain::BuildControls() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  PanelTop = new QFrame(central);
  PanelTop->setObjectName(QStringLiteral("PanelTop"));
  PanelTop->setFixedHeight(49);
  PanelTop->setFrameShape(QFrame::StyledPanel);
  SpeedButtonGroup = new QButtonGroup(this);
  SpeedButtonGroup->setExclusive(true);
  const auto& buttons = VolumeButtons();
  // Row 1: A to M every 25 pixels from x 2 at y 2; row 2 from "N" at y 25, with the
  // shared volumes' wider buttons.
  struct TPlace {
    int X, Y, Width;
  };
  std::vector<TPlace> places;
  for (int i = 0; i < 13; ++i) places.push_back({2 + 25 * i, 2, 22});
  places.insert(places.end(), {{2, 25, 22}, {27, 25, 22}, {52, 25, 47}, {102, 25, 22},
                               {127, 25, 22}, {152, 25, 72}, {227, 25, 97}});
  for (size_t i = 0; i < buttons.size(); ++i) {
    auto* button = new QToolButton(PanelTop);
    button->setObjectName(QString::fromLatin1(buttons[i].Name));
    button->setText(QString::fromLatin1(buttons[i].Caption));
    button->setCheckable(true);
    button->setAutoRaise(false);
    button->setGeometry(places[i].X, places[i].Y, places[i].Width, 22);
    SpeedButtonGroup->addButton(button, int(i));
    const TVolumeButton& volume = buttons[i];
    connect(button, &QToolButton::clicked, this, [this, &volume] { SpeedButtonClick(volume); });
    SpeedButtons.push_back(button);
  }
  SpeedButtons.front()->setChecked(true);
  layout->addWidget(PanelTop);

  Splitter1 = new QSplitter(Qt::Vertical, central);
  Splitter1->setObjectName(QStringLiteral("Splitter1"));
  Splitter1->setHandleWidth(3);
  Splitter1->setChildrenCollapsible(false);

  DBGrid1 = new QTableView(Splitter1);
  DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
  DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
  DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
  DBGrid1->setShowGrid(true);
  DBGrid1->setWordWrap(false);
  DBGrid1->setAlternatingRowColors(false);
  DBGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  DBGrid1->horizontalHeader()->setHighlightSections(false);
  // Fixed row heights keep a volume of any size as cheap to lay out as one screenful.
  QHeaderView* rows = DBGrid1->verticalHeader();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(QFontMetrics(font()).height() + 4);
  rows->setMinimumWidth(14);
  rows->setDefaultAlignment(Qt::AlignCenter);
  rows->setHighlightSections(false);
  Model_ = new TVolumeModel(*DataSource1,
                            {{"AuthorSurname", QStringLiteral("Last Name")},
                             {"AuthorFirstName", QStringLiteral("First Name")},
                             {"Title", QStringLiteral("Title")}},
                            this);
  DBGrid1->setModel(Model_);
  DBGrid1->setColumnWidth(0, 110);
  DBGrid1->setColumnWidth(1, 110);
  DBGrid1->setColumnWidth(2, 300);
  connect(DBGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            if (!FollowingRow_ && current.isValid()) Model_->SelectRow(current.row());
          });
  connect(Model_, &TVolumeModel::CurrentRowChanged, this, &TFormMain::FollowGridRow);
  connect(Model_, &QAbstractItemModel::modelReset, this, [this] { FollowGridRow(Model_->CurrentRow()); });

  DBRichEdit1 = new TDBRichEdit(Splitter1);
  DBRichEdit1->setObjectName(QStringLiteral("DBRichEdit1"));
  DBRichEdit1->SetDataField("TextPocket");
  DBRichEdit1->SetDataSource(DataSource1.get());
  connect(DBRichEdit1, &TDBRichEdit::DoubleClicked, this, &TFormMain::DBRichEdit1DblClick);

  Splitter1->addWidget(DBGrid1);
  Splitter1->addWidget(DBRichEdit1);
  Splitter1->setStretchFactor(0, 0);
  Splitter1->setStretchFactor(1, 1);
  Splitter1->setSizes({120, 450 - 49 - 120 - 3 - 3});
  layout->addWidget(Splitter1, 1);

  PanelBottom = new QFrame(central);
  PanelBottom->setObjectName(QStringLiteral("PanelBottom"));
  PanelBottom->setFixedHeight(3);
  PanelBottom->setFrameShape(QFrame::NoFrame);
  layout->addWidget(PanelBottom);

  setCentralWidget(central);
}

void TFormMain::BuildMenu() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  Exit1 = file->addAction(QStringLiteral("&Exit"), this, &TFormMain::Exit1Click);
  QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
  CopyText1 = edit->addAction(QStringLiteral("&Copy text to clipboard"), this, &TFormMain::DBRichEdit1DblClick);
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  About1 = help->addAction(QStringLiteral("&About"), this, &TFormMain::About1Click);
}

void TFormMain::FollowGridRow(int row) {
  FollowingRow_ = true;
  if (row < 0) {
    DBGrid1->selectionModel()->clearSelection();
  } else {
    const QModelIndex index = Model_->index(row, std::max(0, DBGrid1->currentIndex().column()));
    DBGrid1->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    DBGrid1->scrollTo(index);
  }
  FollowingRow_ = false;
}

void TFormMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!PendingError_) return;
  // The error of start-up is shown over the window, once the message loop runs.
  std::exception_ptr error = PendingError_;
  PendingError_ = nullptr;
  QTimer::singleShot(0, this, [error] {
    try {
      std::rethrow_exception(error);
    } catch (...) {
      ApplicationHandleException();
    }
  });
}

void TFormMain::FormCreate() {
  const TIniFile settings(SettingsFile_);
  Table1->Close();
  const std::string userPath = ExpandHome(settings.ReadString("Z", "UserPath", DefaultUserPath()));
  Table1->SetTableName(FirstVolumeName(userPath));
  Table1->Open();
}

void TFormMain::SpeedButtonClick(const TVolumeButton& button) {
  try {
    Table1->Close();
    Table1->SetTableName(button.TableName());
    Table1->Open();
  } catch (...) {
    ApplicationHandleException();
  }
}

void TFormMain::DBRichEdit1DblClick() {
  DBRichEdit1->selectAll();
  DBRichEdit1->copy();
  QMessageBox::information(this, QStringLiteral("Information"), QStringLiteral("Text copied to clipboard."),
                           QMessageBox::Ok);
  QTextCursor caret = DBRichEdit1->textCursor();
  caret.setPosition(0);
  DBRichEdit1->setTextCursor(caret);
}

void TFormMain::Exit1Click() { close(); }

void TFormMain::About1Click() {
  try {
    ShowAbout(this);
  } catch (...) {
    ApplicationHandleException();
  }
}

}  // namespace veldor
