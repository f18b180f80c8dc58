#include "components/dialogs/password_dialog.h"

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "components/dialogs/error_display.h"
#include "components/session.h"

namespace veldor {

TVELDORPasswordDialog::TVELDORPasswordDialog(TVELDORSession& session, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), Session_(session) {
  setWindowTitle("Enter password");
  setFixedSize(273, 132);
  setModal(true);

  // The widgets belong to the dialog through Qt's parent ownership.
  GroupBox1 = new QGroupBox("Password", this);
  GroupBox1->setGeometry(8, 8, 257, 81);
  Edit = new QLineEdit(GroupBox1);
  Edit->setGeometry(16, 18, 225, 21);
  Edit->setEchoMode(QLineEdit::Password);
  AddButton = new QPushButton("&Add", GroupBox1);
  AddButton->setGeometry(16, 46, 65, 25);
  AddButton->setAutoDefault(false);
  RemoveButton = new QPushButton("&Remove", GroupBox1);
  RemoveButton->setGeometry(88, 46, 65, 25);
  RemoveButton->setAutoDefault(false);
  RemoveAllButton = new QPushButton("Re&move all", GroupBox1);
  RemoveAllButton->setGeometry(160, 46, 81, 25);
  RemoveAllButton->setAutoDefault(false);
  OKButton = new QPushButton("&OK", this);
  OKButton->setGeometry(109, 98, 75, 25);
  OKButton->setDefault(true);
  CancelButton = new QPushButton("Cancel", this);
  CancelButton->setGeometry(190, 98, 75, 25);
  CancelButton->setAutoDefault(false);

  connect(Edit, &QLineEdit::textChanged, this, [this] { TextChanged(); });
  connect(AddButton, &QPushButton::clicked, this, [this] { AddClicked(); });
  connect(RemoveButton, &QPushButton::clicked, this, [this] { RemoveClicked(); });
  connect(RemoveAllButton, &QPushButton::clicked, this, [this] { RemoveAllClicked(); });
  connect(OKButton, &QPushButton::clicked, this, [this] { OKClicked(); });
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

  TextChanged();
  Edit->setFocus();
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TVELDORPasswordDialog::TextChanged() {
  const bool text = !Edit->text().isEmpty();
  AddButton->setEnabled(text);
  RemoveButton->setEnabled(text);
  OKButton->setEnabled(text || Added_);
}

bool TVELDORPasswordDialog::Guarded(void (TVELDORSession::*operation)(const std::string&)) {
  try {
    (Session_.*operation)(Edit->text().toStdString());
    return true;
  } catch (const std::exception& error) {
    ShowErrorMessage(error);
    return false;
  }
}

void TVELDORPasswordDialog::AddClicked() {
  if (Guarded(&TVELDORSession::AddPassword)) Added_ = true;
  Edit->clear();
  TextChanged();
  Edit->setFocus();
}

void TVELDORPasswordDialog::RemoveClicked() {
  Guarded(&TVELDORSession::RemovePassword);
  Edit->clear();
  Edit->setFocus();
}

void TVELDORPasswordDialog::RemoveAllClicked() {
  try {
    Session_.RemoveAllPasswords();
  } catch (const std::exception& error) {
    ShowErrorMessage(error);
  }
  Edit->setFocus();
}

void TVELDORPasswordDialog::OKClicked() {
  // An empty text adds nothing (the session ignores it).
  if (Guarded(&TVELDORSession::AddPassword)) accept();
}

bool PasswordDialog(TVELDORSession& session) {
  TVELDORPasswordDialog dialog(session);
  return dialog.exec() == QDialog::Accepted;
}

void InstallPasswordDialog() { TVELDORSession::SetPasswordDialog(&PasswordDialog); }

}  // namespace veldor
