// Session components: `TVELDORSessionList`, the process's list of sessions with the one
// session lock, and `TVELDORSession`, one engine session with its settings, passwords and
// database components.
//
// The list owns "Default" (made when the component module starts, destroyed last at its
// end) and only lists the others. An active session owns its engine session ("Default"
// uses the engine's own) and its temporary databases. Threads: the list has its own lock;
// activation, databases, passwords and settings of every session run under the
// process-wide session lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/session.h"
#include "toolkit/component.h"

namespace veldor {

class TVELDORDatabase;
class TVELDORSession;

// Only the session list can make this key, and with it the default session.
class TDefaultSessionKey {
  friend class TVELDORSessionList;
  TDefaultSessionKey() = default;
};

enum TSessionType : uint8_t { stLocal, stRemote };
enum TRemoteType : uint8_t { rtLAN, rtInternet };

// The engine version every component reports.
inline constexpr const char* kComponentEngineVersion = "3.03";

class TVELDORSessionList {
 public:
  TVELDORSessionList();
  // Deactivates the sessions it does not own, last first, then destroys "Default".
  ~TVELDORSessionList();
  TVELDORSessionList(const TVELDORSessionList&) = delete;
  TVELDORSessionList& operator=(const TVELDORSessionList&) = delete;

  // An empty name gives the default session; otherwise the session whose SessionName
  // equals `name` without regard to case, or null.
  TVELDORSession* FindSession(const std::string& name) const;
  // As FindSession; "Session name %s is not valid." when there is none.
  TVELDORSession& GetSession(const std::string& name) const;
  int Count() const;
  TVELDORSession* Session(int index) const;
  // "Default"; null only while the list is being made or destroyed.
  TVELDORSession* Default() const { return Default_.get(); }

  // The process-wide session lock (recursive: a session activating "Default" re-enters).
  std::recursive_mutex& SessionLock() { return SessionLock_; }

 private:
  friend class TVELDORSession;
  friend struct TComponentModule;

  void Add(TVELDORSession* session);
  void Remove(TVELDORSession* session);
  // The lowest free auto-session number, now marked used; and its release.
  int TakeAutoNumber();
  void FreeAutoNumber(int number);

  mutable std::mutex ListLock_;           // guards Sessions_ and AutoNumbers_
  std::vector<TVELDORSession*> Sessions_;  // in order of creation
  std::vector<bool> AutoNumbers_;
  std::recursive_mutex SessionLock_;
  std::unique_ptr<TVELDORSession> Default_;
};

// The process's session list and its default session; both exist from the start of the
// component module to its end.
TVELDORSessionList& Sessions();
TVELDORSession& DefaultSession();

class TVELDORSession : public TComponent {
 public:
  using TPasswordEvent = std::function<void(TVELDORSession&, bool& continueOpen)>;
  using TNotifyEvent = std::function<void(TVELDORSession&)>;
  // What a session without an OnPassword handler shows (the password dialog): true when
  // the user closed it with OK. Installed by the dialog library; none: the answer is no.
  using TPasswordDialog = std::function<bool(TVELDORSession&)>;

  // Joins the session list; the first session of an empty list is "Default". Raises "This
  // auto-session already exists." when `owner` already holds an auto-session.
  explicit TVELDORSession(TComponent* owner = nullptr);
  // The default session "Default", made by the session list alone.
  explicit TVELDORSession(TDefaultSessionKey);
  // Deactivates (errors are shown, not raised), releases database components bound to it
  // and leaves the list.
  ~TVELDORSession() override;

  // ---- Activation ----
  bool Active() const { return Engine_ != nullptr; }
  // While loading only the value is stored. Activation runs OnStartup, needs a name,
  // activates "Default" first, makes or takes the engine session and passes the settings;
  // any failure deactivates again and propagates.
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool IsDefault() const { return IsDefault_; }
  // The engine session while active, else null. Owned by the session (or the engine for
  // "Default").
  TDataSession* EngineSession() const { return Engine_; }

  // ---- Properties ----
  std::string EngineVersion() const { return kComponentEngineVersion; }
  void SetEngineVersion(const std::string&) {}
  const std::string& SessionName() const { return SessionName_; }
  // Raises "Cannot perform this operation on the active auto-session." while
  // AutoSessionName is set, "Cannot perform this operation on an active session." while
  // active, and "Session name %s already exists." for a name another session has.
  void SetSessionName(const std::string& name);
  bool AutoSessionName() const { return AutoSessionName_; }
  void SetAutoSessionName(bool value);
  bool KeepConnections() const { return KeepConnections_; }
  void SetKeepConnections(bool value) { KeepConnections_ = value; }
  // The engine settings: passed on at once while active (under the session lock).
  bool ForceBufferFlush() const { return ForceBufferFlush_; }
  void SetForceBufferFlush(bool value);
  bool StrictChangeDetection() const { return StrictChangeDetection_; }
  void SetStrictChangeDetection(bool value);
  uint8_t LockRetryCount() const { return LockRetryCount_; }
  void SetLockRetryCount(uint8_t value);
  uint16_t LockWaitTime() const { return LockWaitTime_; }
  void SetLockWaitTime(uint16_t value);
  uint16_t ProgressSteps() const { return ProgressSteps_; }
  // A value above 100 is ignored: the old value stays.
  void SetProgressSteps(uint16_t value);
  const std::string& PrivateDir() const { return PrivateDir_; }
  void SetPrivateDir(const std::string& value);
  // Remote settings: each raises "Cannot perform this operation on an active session."
  // while active. Remote sessions cannot be activated in this build (no remote client).
  TSessionType SessionType() const { return SessionType_; }
  void SetSessionType(TSessionType value);
  TRemoteType RemoteType() const { return RemoteType_; }
  void SetRemoteType(TRemoteType value);
  const std::string& RemoteHost() const { return RemoteHost_; }
  void SetRemoteHost(const std::string& value);
  const std::string& RemoteAddress() const { return RemoteAddress_; }
  void SetRemoteAddress(const std::string& value);
  int32_t RemotePort() const { return RemotePort_; }
  void SetRemotePort(int32_t value);
  const std::string& RemoteService() const { return RemoteService_; }
  void SetRemoteService(const std::string& value);
  const std::string& RemoteUser() const { return RemoteUser_; }
  void SetRemoteUser(const std::string& value);
  const std::string& RemotePassword() const { return RemotePassword_; }
  void SetRemotePassword(const std::string& value);
  bool RemoteTrace() const { return RemoteTrace_; }
  void SetRemoteTrace(bool value) { RemoteTrace_ = value; }

  // The component name; an auto-session derives its session name from it again.
  void SetName(const std::string& name) override;

  // ---- Passwords (UTF-8; cut to 255 characters; activate the session) ----
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  // Asked by cursors when a table needs a password the session lacks: OnPassword (its
  // Continue starts false), or the installed password dialog. True: look again.
  bool PasswordRequest();
  static void SetPasswordDialog(TPasswordDialog dialog);

  // ---- Databases ----
  // The database `name` for a data set owned by `owner` (see the contract in session.cpp);
  // a temporary database is made when no component carries the name. The session owns a
  // temporary database. Its use count rises; CloseDatabase lowers it again.
  TVELDORDatabase& OpenDatabase(const std::string& name, TComponent* owner = nullptr);
  void CloseDatabase(TVELDORDatabase* database);
  // The first database component whose DatabaseName equals `name` (without regard to
  // case); an empty name matches only a temporary database. Null when none does.
  TVELDORDatabase* FindDatabase(const std::string& name) const;
  int DatabaseCount() const { return int(Databases_.size()); }
  TVELDORDatabase* Database(int index) const { return Databases_.at(size_t(index)); }

  // ---- The session lock ----
  // Enters the process-wide lock (re-entrant; the depth is counted per session) and makes
  // this session's engine session the current one, activating the session when inactive.
  void LockSession();
  void UnlockSession();
  int LockDepth() const { return LockDepth_; }

  // ---- Events ----
  TPasswordEvent OnPassword;
  TNotifyEvent OnStartup;

 protected:
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TVELDORDatabase;
  friend class TVELDORSessionList;
  friend struct TComponentModule;
  class TLock;

  void Activate();
  // With `force` (destruction, a failed activation) a database that cannot close is shown
  // and let go; otherwise its error propagates and the session stays active.
  void Deactivate(bool force);
  void CheckInactive() const;
  // Enters / leaves the lock without making current or activating.
  void EnterLock();
  void LeaveLock();
  void AddDatabase(TVELDORDatabase* database);
  void RemoveDatabase(TVELDORDatabase* database);
  void DeriveAutoName();
  // Gives the owner's data sets and database components this session's name.
  void AttachOwnerComponents();
  void AttachComponent(TComponent* component);

  TDataSession* Engine_ = nullptr;
  std::unique_ptr<TDataSession> OwnedEngine_;
  std::vector<TVELDORDatabase*> Databases_;
  bool IsDefault_ = false;
  bool StreamedActive_ = false;
  int AutoNumber_ = -1;
  int LockDepth_ = 0;  // re-entries of the session lock by this session
  bool InternalRename_ = false;
  bool Deactivating_ = false;

  std::string SessionName_;
  bool AutoSessionName_ = false;
  bool ForceBufferFlush_ = false;
  bool KeepConnections_ = true;
  uint8_t LockRetryCount_ = 15;
  uint16_t LockWaitTime_ = 100;
  std::string PrivateDir_;
  uint16_t ProgressSteps_ = 20;
  bool StrictChangeDetection_ = false;
  TSessionType SessionType_ = stLocal;
  TRemoteType RemoteType_ = rtLAN;
  std::string RemoteHost_;
  std::string RemoteAddress_ = "127.0.0.1";
  int32_t RemotePort_ = 12001;
  std::string RemoteService_;
  bool RemoteTrace_ = false;
  std::string RemoteUser_;
  std::string RemotePassword_;
};

// Holds the session lock of `session` for a scope.
class TSessionLockGuard {
 public:
  explicit TSessionLockGuard(TVELDORSession& session) : Session_(session) { Session_.LockSession(); }
  ~TSessionLockGuard() { Session_.UnlockSession(); }
  TSessionLockGuard(const TSessionLockGuard&) = delete;
  TSessionLockGuard& operator=(const TSessionLockGuard&) = delete;

 private:
  TVELDORSession& Session_;
};

}  // namespace veldor
