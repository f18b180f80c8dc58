// The password dialog: the modal window a session shows when a table needs a password
// the session does not hold and the session has no OnPassword handler.
//
// The dialog owns its Qt widgets; passwords go straight into the session it works for,
// which must outlive it. It lives in the dialog library, the only part of the components
// that links Qt; InstallPasswordDialog hands it to the sessions. Qt's GUI thread only.
#pragma once

#include <QDialog>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace veldor {

class TVELDORSession;

class TVELDORPasswordDialog : public QDialog {
 public:
  // Caption "Enter password", fixed size, centred; the edit has the focus and shows "*".
  explicit TVELDORPasswordDialog(TVELDORSession& session, QWidget* parent = nullptr);

  // A password was added with AddButton during this showing.
  bool Added() const { return Added_; }

  QGroupBox* GroupBox1;
  QLineEdit* Edit;
  QPushButton* AddButton;
  QPushButton* RemoveButton;
  QPushButton* RemoveAllButton;
  QPushButton* OKButton;
  QPushButton* CancelButton;

 private:
  void TextChanged();
  void AddClicked();
  void RemoveClicked();
  void RemoveAllClicked();
  void OKClicked();
  // A session that refuses a password (no Windows-1252 form) is shown, not raised.
  bool Guarded(void (TVELDORSession::*operation)(const std::string&));

  TVELDORSession& Session_;
  bool Added_ = false;
};

// Shows the dialog modally for `session` (a window of the application, no parent) and
// answers whether it closed with OK. The dialog is destroyed on every path.
bool PasswordDialog(TVELDORSession& session);

// Makes PasswordDialog the password request of every session without an OnPassword
// handler.
void InstallPasswordDialog();

}  // namespace veldor
