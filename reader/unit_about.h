// `TAbout`: the reader's About box, a fixed-size modal dialog with the banner picture, the
// program's name and version, two lines about it and a close button.
//
// Made when asked for and destroyed after it closes (ShowAbout); owns only its widgets.
// Qt's GUI thread only.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace veldor {

class TAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TAbout(QWidget* parent = nullptr);

  QLabel* Image1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QPushButton* CloseButton;
};

// The banner picture (388 x 101), drawn here rather than kept as a file.
QPixmap AboutBanner();

// Makes the About box, shows it modally over `parent` and destroys it when it closes,
// also when showing it fails.
void ShowAbout(QWidget* parent);

}  // namespace veldor
