// `TFormMain`: the reader's main window. It lists the entries of one volume table (last
// name, first name, title) in a grid over a read-only rich-text pane with the chosen text,
// switches volumes with a group of letter buttons, copies the shown text to the clipboard
// and shows the About box.
//
// The window owns its controls and the components they are bound to: the table component
// `Table1` on the default session (no session or database component of its own) and the
// data source `DataSource1` that the grid's model and the pane follow. It reads the
// settings file once, while it is made. It never writes to the tables. Qt's GUI thread.
#pragma once

#include <QMainWindow>

#include <memory>
#include <string>
#include <vector>

class QAction;
class QButtonGroup;
class QFrame;
class QSplitter;
class QTableView;
class QToolButton;

namespace veldor {

class TDataSource;
class TDBRichEdit;
class TVELDORTable;
class TVolumeModel;

// The settings file the reader is given: `explicit_` when not empty, else the first
// "quorvish.ini" found in the current directory, then in $XDG_CONFIG_HOME (default
// ~/.config); the bare name when neither holds one (a missing file reads as empty).
std::string SettingsFileName(const std::string& explicitName);

// The library directory when the settings name none: "marrowdene/newtables" in the
// user's home directory.
std::string DefaultUserPath();

// The table name start-up sets: `userPath` joined with "a_book.dat", a "/" between them
// unless the path is empty or ends with one.
std::string FirstVolumeName(const std::string& userPath);

class TFormMain : public QMainWindow {
  Q_OBJECT

 public:
  // One letter button: its component name, caption and the table name it opens.
  struct TVolumeButton {
    const char* Name;
    const char* Caption;
    std::string TableName() const;
  };
  static const std::vector<TVolumeButton>& VolumeButtons();

  // Makes the window and runs FormCreate with the settings file `settingsFile` (see
  // SettingsFileName). An error while opening the first volume is shown through the
  // application's error display once the message loop runs; the window stays empty.
  explicit TFormMain(const std::string& settingsFile = std::string(), QWidget* parent = nullptr);
  ~TFormMain() override;

  TVELDORTable& Table() { return *Table1; }
  TVolumeModel& GridModel() { return *Model_; }
  // The error FormCreate met, "" when the first volume opened.
  const std::string& StartupError() const { return StartupError_; }

  // Window handlers (also what the controls call).
  void FormCreate();
  void SpeedButtonClick(const TVolumeButton& button);
  void DBRichEdit1DblClick();
  void Exit1Click();
  void About1Click();

  // Controls, under their component names.
  QFrame* PanelTop;
  std::vector<QToolButton*> SpeedButtons;  // in the order of VolumeButtons
  QButtonGroup* SpeedButtonGroup;
  QTableView* DBGrid1;
  QSplitter* Splitter1;
  TDBRichEdit* DBRichEdit1;
  QFrame* PanelBottom;
  QAction* Exit1;
  QAction* CopyText1;
  QAction* About1;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void BuildMenu();
  void FollowGridRow(int row);

  std::unique_ptr<TVELDORTable> Table1;
  std::unique_ptr<TDataSource> DataSource1;
  TVolumeModel* Model_;  // owned by the window (Qt parent)
  std::string SettingsFile_;
  std::string StartupError_;
  std::exception_ptr PendingError_;  // FormCreate's error, shown once the loop runs
  bool FollowingRow_ = false;
};

}  // namespace veldor
