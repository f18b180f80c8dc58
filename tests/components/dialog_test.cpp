// The password dialog and the error display under Qt's offscreen platform: the buttons'
// enabled states and effects on the session, and a table open that asks for a password
// through the installed dialog.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "components/dialogs/error_display.h"
#include "components/dialogs/password_dialog.h"
#include "tests/components/component_fixture.h"

namespace veldor::test {
namespace {

class Dialog : public ComponentTest {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  // The application object goes before the program's static objects do.
  static void TearDownTestSuite() { application_.reset(); }
  void SetUp() override {
    ComponentTest::SetUp();
    session_.SetSessionName("Dialogs");
  }
  void TearDown() override {
    TVELDORSession::SetPasswordDialog(nullptr);
    SetApplicationExceptionHandler(nullptr);
    ComponentTest::TearDown();
  }

  // An encrypted People table whose password is "secret".
  void MakeSecret(const std::string& name) {
    TTableDefinition d = People();
    d.Password = "secret";
    d.Encrypted = true;
    MakeTable(name, d, {{1, "Hidden", 10, ""}});
  }

  // Runs `body` on the modal password dialog once it shows.
  static void WhenShown(std::function<void(TVELDORPasswordDialog&)> body) {
    QTimer::singleShot(0, [body] {
      auto* dialog = dynamic_cast<TVELDORPasswordDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      body(*dialog);
    });
  }

  static bool Has(TVELDORSession& s, const std::string& password) {
    return s.EngineSession() && s.EngineSession()->PasswordExists(password);
  }

  static inline int argc_ = 1;
  static inline char name_[] = "dialog_test";
  static inline char* argv_[] = {name_, nullptr};
  static inline std::unique_ptr<QApplication> application_;
  TVELDORSession session_;
};

TEST_F(Dialog, ButtonsFollowTheTextAndReachTheSession) {
  TVELDORPasswordDialog d(session_);
  EXPECT_EQ(d.windowTitle(), "Enter password");
  EXPECT_EQ(d.size(), QSize(273, 132));
  EXPECT_EQ(d.Edit->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(d.AddButton->isEnabled());
  EXPECT_FALSE(d.RemoveButton->isEnabled());
  EXPECT_TRUE(d.RemoveAllButton->isEnabled());
  EXPECT_FALSE(d.OKButton->isEnabled());
  EXPECT_TRUE(d.OKButton->isDefault());

  d.Edit->setText("first");
  EXPECT_TRUE(d.AddButton->isEnabled());
  EXPECT_TRUE(d.RemoveButton->isEnabled());
  EXPECT_TRUE(d.OKButton->isEnabled());
  d.AddButton->click();
  EXPECT_TRUE(d.Added());
  EXPECT_TRUE(Has(session_, "first"));
  EXPECT_TRUE(d.Edit->text().isEmpty());
  // Empty again, yet OK stays enabled: a password was added.
  EXPECT_FALSE(d.AddButton->isEnabled());
  EXPECT_TRUE(d.OKButton->isEnabled());

  d.Edit->setText("second");
  d.AddButton->click();
  d.Edit->setText("first");
  d.RemoveButton->click();
  EXPECT_FALSE(Has(session_, "first"));
  EXPECT_TRUE(Has(session_, "second"));
  d.RemoveAllButton->click();
  EXPECT_TRUE(session_.EngineSession()->Passwords().empty());

  d.Edit->setText("third");
  d.OKButton->click();
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_TRUE(Has(session_, "third"));
}

TEST_F(Dialog, OkWithAnEmptyFieldAfterAnAddAnswersYesAndAddsNothingMore) {
  WhenShown([](TVELDORPasswordDialog& d) {
    d.Edit->setText("kept");
    d.AddButton->click();
    ASSERT_TRUE(d.OKButton->isEnabled());
    d.OKButton->click();
  });
  EXPECT_TRUE(PasswordDialog(session_));
  EXPECT_EQ(session_.EngineSession()->Passwords(), std::vector<std::string>{"kept"});
}

TEST_F(Dialog, CancelFailsTheOpenAndOkRetriesIt) {
  MakeSecret("vault");
  MakeSecret("vault2");
  InstallPasswordDialog();
  TVELDORTable t;
  t.SetSessionName("Dialogs");
  t.SetTableName(dir_ + "vault");

  int shown = 0;
  WhenShown([&](TVELDORPasswordDialog& d) {
    ++shown;
    d.Edit->setText("secret");  // typed, then cancelled: nothing is added
    d.CancelButton->click();
  });
  EXPECT_EQ(EngineCodeOf([&] { t.Open(); }), VELDOR_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(shown, 1);
  EXPECT_FALSE(t.Active());
  EXPECT_FALSE(Has(session_, "secret"));

  // A wrong password shows the dialog again; the right one opens the table.
  WhenShown([&](TVELDORPasswordDialog& d) {
    ++shown;
    d.Edit->setText("wrong");
    d.OKButton->click();
    WhenShown([&](TVELDORPasswordDialog& again) {
      ++shown;
      again.Edit->setText("secret");
      again.OKButton->click();
    });
  });
  t.Open();
  EXPECT_EQ(shown, 3);
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Hidden");

  // The password stays in the session for its later tables.
  TVELDORTable second;
  second.SetSessionName("Dialogs");
  second.SetTableName(dir_ + "vault2");
  second.Open();
  EXPECT_EQ(shown, 3);
  EXPECT_EQ(second.RecordCount(), 1);

  // An OnPassword handler takes the dialog's place.
  TVELDORTable other;
  other.SetTableName(dir_ + "vault2");
  int asked = 0;
  DefaultSession().OnPassword = [&](TVELDORSession&, bool& continueOpen) {
    ++asked;
    continueOpen = false;
  };
  EXPECT_EQ(EngineCodeOf([&] { other.Open(); }), VELDOR_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(shown, 3);
  DefaultSession().OnPassword = nullptr;
}

TEST_F(Dialog, TheErrorDisplayShowsTheMessage) {
  InstallErrorDisplay();
  QString seen;
  QTimer::singleShot(0, [&] {
    auto* box = dynamic_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    seen = box->text();
    box->accept();
  });
  try {
    throw EDatabaseError("Field Name cannot be modified.");
  } catch (...) {
    ApplicationHandleException();
  }
  EXPECT_EQ(seen.toStdString(), "Field Name cannot be modified.");
}

}  // namespace
}  // namespace veldor::test
