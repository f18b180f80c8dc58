// Session components: the default session, activation and its failures, settings passed
// to the engine session, names and auto-session names, passwords and the session lock.
#include "tests/components/component_fixture.h"

namespace veldor::test {
namespace {

class SessionComponent : public ComponentTest {};

TEST_F(SessionComponent, TheDefaultSessionExistsFromTheStart) {
  TVELDORSession& d = DefaultSession();
  EXPECT_EQ(d.SessionName(), "Default");
  EXPECT_TRUE(d.IsDefault());
  EXPECT_EQ(Sessions().FindSession(""), &d);
  EXPECT_EQ(Sessions().FindSession("DEFAULT"), &d);
  EXPECT_EQ(d.EngineVersion(), "3.03");
  d.SetEngineVersion("9.99");
  EXPECT_EQ(d.EngineVersion(), "3.03");
  EXPECT_EQ(DatabaseMessageOf([] { Sessions().GetSession("Nobody"); }), "Session name Nobody is not valid.");

  // Activating starts the engine; ending "Default" ends it.
  d.Open();
  EXPECT_EQ(GetDefaultEngineSession(), d.EngineSession());
  d.Close();
  EXPECT_EQ(EngineCodeOf([] { GetDefaultEngineSession(); }), VELDOR_NOTINITIALIZED);
}

TEST_F(SessionComponent, NamesAreUniqueAndNeededForActivation) {
  TVELDORSession s;
  EXPECT_FALSE(s.IsDefault());
  EXPECT_EQ(DatabaseMessageOf([&] { s.SetSessionName("Default"); }), "Session name Default already exists.");
  EXPECT_EQ(DatabaseMessageOf([&] { s.SetSessionName("default"); }), "Session name default already exists.");
  EXPECT_EQ(DatabaseMessageOf([&] { s.Open(); }), "Session name is missing.");
  EXPECT_FALSE(s.Active());
  s.SetSessionName("Second");
  s.Open();
  EXPECT_TRUE(s.Active());
  EXPECT_TRUE(DefaultSession().Active());  // activated first
  EXPECT_NE(s.EngineSession(), DefaultSession().EngineSession());
  EXPECT_EQ(DatabaseMessageOf([&] { s.SetSessionName("Third"); }),
            "Cannot perform this operation on an active session.");
  EXPECT_EQ(Sessions().FindSession("second"), &s);
}

TEST_F(SessionComponent, SettingsReachTheEngineSession) {
  TVELDORSession s;
  s.SetSessionName("Tuned");
  s.SetLockRetryCount(3);
  s.SetLockWaitTime(7);
  s.SetStrictChangeDetection(true);
  s.SetForceBufferFlush(true);
  s.SetPrivateDir(dir_);
  s.SetProgressSteps(150);  // above 100: ignored
  EXPECT_EQ(s.ProgressSteps(), 20);
  s.SetProgressSteps(4);
  s.Open();
  const TDataSession& e = *s.EngineSession();
  EXPECT_EQ(e.TableSettings().LockRetryCount, 3);
  EXPECT_EQ(e.TableSettings().LockWaitTime, 7);
  EXPECT_TRUE(e.TableSettings().StrictChangeDetection);
  EXPECT_TRUE(e.TableSettings().ForceBufferFlush);
  EXPECT_EQ(e.GetPrivateDirectory(), dir_);
  EXPECT_EQ(e.ProgressSteps(), 4);

  // While active: engine settings change at once, remote settings are refused.
  s.SetLockWaitTime(250);
  EXPECT_EQ(e.TableSettings().LockWaitTime, 250);
  s.SetProgressSteps(101);
  EXPECT_EQ(e.ProgressSteps(), 4);
  for (auto change : std::vector<std::function<void()>>{
           [&] { s.SetRemotePort(13000); }, [&] { s.SetRemoteHost("db1"); },
           [&] { s.SetSessionType(stRemote); }, [&] { s.SetRemoteUser("ann"); },
           [&] { s.SetAutoSessionName(true); }})
    EXPECT_EQ(DatabaseMessageOf(change), "Cannot perform this operation on an active session.");
  EXPECT_EQ(s.RemotePort(), 12001);
  s.Close();
  s.SetRemotePort(13000);
  EXPECT_EQ(s.RemotePort(), 13000);
}

TEST_F(SessionComponent, AFailedActivationLeavesTheSessionInactive) {
  TVELDORSession s;
  s.SetSessionName("Failing");
  s.OnStartup = [](TVELDORSession&) { throw EDatabaseError("startup refused"); };
  EXPECT_EQ(DatabaseMessageOf([&] { s.Open(); }), "startup refused");
  EXPECT_FALSE(s.Active());
  s.OnStartup = nullptr;
  s.SetSessionType(stRemote);
  EXPECT_THROW(s.Open(), EDatabaseError);  // no remote client in this build
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.EngineSession(), nullptr);
  s.SetSessionType(stLocal);
  int startups = 0;
  s.OnStartup = [&](TVELDORSession&) { ++startups; };
  s.Open();
  EXPECT_EQ(startups, 1);
}

TEST_F(SessionComponent, AutoSessionNamesAreNumberedPerOwner) {
  TComponent form1, form2;
  TVELDORSession s1(&form1);
  s1.SetName("Session1");
  TVELDORTable t1(&form1);
  TVELDORDatabase d1(&form1);
  s1.SetAutoSessionName(true);
  EXPECT_EQ(s1.SessionName(), "Session1_1");
  // The owner's data sets and databases join the auto-session.
  EXPECT_EQ(t1.SessionName(), "Session1_1");
  EXPECT_EQ(d1.SessionName(), "Session1_1");
  EXPECT_EQ(d1.Session(), &s1);

  TVELDORSession s2(&form2);
  s2.SetName("Session1");
  s2.SetAutoSessionName(true);
  EXPECT_EQ(s2.SessionName(), "Session1_2");
  // Components made on the owner later join it at once.
  TVELDORTable t2(&form2);
  EXPECT_EQ(t2.SessionName(), "Session1_2");

  EXPECT_EQ(DatabaseMessageOf([&] { s1.SetSessionName("Mine"); }),
            "Cannot perform this operation on the active auto-session.");
  EXPECT_EQ(DatabaseMessageOf([&] { TVELDORSession again(&form1); }), "This auto-session already exists.");
  TComponent form3;
  TVELDORSession plain(&form3);
  TVELDORSession autoSession(&form3);
  EXPECT_EQ(DatabaseMessageOf([&] { autoSession.SetAutoSessionName(true); }),
            "The active auto-session can be the only active session.");

  // Renaming re-derives the name; switching off frees the number for the next one.
  s1.SetName("Renamed");
  EXPECT_EQ(s1.SessionName(), "Renamed_1");
  s1.SetAutoSessionName(false);
  EXPECT_EQ(s1.SessionName(), "Renamed_1");
  TComponent form4;
  TVELDORSession s4(&form4);
  s4.SetName("Other");
  s4.SetAutoSessionName(true);
  EXPECT_EQ(s4.SessionName(), "Other_1");
}

TEST_F(SessionComponent, LoadingAppliesTheAutoSessionThenActive) {
  TComponent form;
  TVELDORSession s(&form);
  TVELDORTable t(&form);
  s.BeginLoading();
  s.SetName("Loaded");
  s.SetAutoSessionName(true);
  s.SetActive(true);
  EXPECT_FALSE(s.Active());
  s.EndLoading();
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(t.SessionName(), "Loaded_1");
}

TEST_F(SessionComponent, PasswordsGoToTheEngineSession) {
  TVELDORSession s;
  s.SetSessionName("Keys");
  s.AddPassword("Geheim");  // activates the session
  ASSERT_TRUE(s.Active());
  EXPECT_TRUE(s.EngineSession()->PasswordExists("Geheim"));
  EXPECT_FALSE(s.EngineSession()->PasswordExists("geheim"));
  s.AddPassword("Straße");
  EXPECT_TRUE(s.EngineSession()->PasswordExists("Stra\xDF" "e"));  // stored in Windows-1252
  s.AddPassword(std::string(300, 'p'));
  EXPECT_TRUE(s.EngineSession()->PasswordExists(std::string(255, 'p')));
  s.RemovePassword("Geheim");
  EXPECT_FALSE(s.EngineSession()->PasswordExists("Geheim"));
  s.RemoveAllPasswords();
  EXPECT_TRUE(s.EngineSession()->Passwords().empty());
  EXPECT_THROW(s.AddPassword("Пароль"), EDatabaseError);  // no Windows-1252 form
}

TEST_F(SessionComponent, PasswordRequestAsksTheHandlerOrTheDialog) {
  TVELDORSession s;
  s.SetSessionName("Asking");
  EXPECT_FALSE(s.PasswordRequest());  // neither handler nor dialog: no
  int dialogs = 0;
  TVELDORSession::SetPasswordDialog([&](TVELDORSession& asked) {
    ++dialogs;
    return &asked == &s;
  });
  EXPECT_TRUE(s.PasswordRequest());
  bool started = true;
  s.OnPassword = [&](TVELDORSession&, bool& continueOpen) {
    started = continueOpen;
    continueOpen = true;
  };
  EXPECT_TRUE(s.PasswordRequest());
  EXPECT_FALSE(started);  // Continue starts false
  EXPECT_EQ(dialogs, 1);
  TVELDORSession::SetPasswordDialog(nullptr);
}

TEST_F(SessionComponent, TheSessionLockCountsReentriesAndMakesTheSessionCurrent) {
  TVELDORSession s;
  s.SetSessionName("Locking");
  s.LockSession();  // activates
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(s.LockDepth(), 1);
  EXPECT_EQ(GetDefaultEngineSession(), s.EngineSession());
  s.LockSession();
  EXPECT_EQ(s.LockDepth(), 2);
  s.UnlockSession();
  s.UnlockSession();
  EXPECT_EQ(s.LockDepth(), 0);
  {
    TSessionLockGuard guard(DefaultSession());
    EXPECT_EQ(GetDefaultEngineSession(), DefaultSession().EngineSession());
  }
  // Ending a session makes the default session's engine session current again.
  s.LockSession();
  s.UnlockSession();
  s.Close();
  EXPECT_EQ(GetDefaultEngineSession(), DefaultSession().EngineSession());
}

TEST_F(SessionComponent, EndingDefaultEndsTheOtherSessionsFirst) {
  MakePeople();
  TVELDORSession s;
  s.SetSessionName("Other");
  TVELDORTable t;
  t.SetSessionName("Other");
  t.SetTableName(dir_ + "people");
  t.Open();
  DefaultSession().Close();
  EXPECT_FALSE(s.Active());
  EXPECT_FALSE(t.Active());
  t.Open();  // and they start again
  EXPECT_EQ(t.RecordCount(), 5);
}

}  // namespace
}  // namespace veldor::test
