// Sessions: the component module's start and end, the session list, activation and
// deactivation, settings, passwords, the session lock, auto-session names and the
// databases a session opens for its data sets.
#include "components/session.h"

#include <algorithm>
#include <atomic>

#include "components/component_errors.h"
#include "components/database.h"
#include "components/dataset.h"
#include "engine/errors.h"
#include "lib/collation.h"
#include "lib/expression.h"
#include "lib/name_text.h"
#include "lib/records_bitmap.h"

namespace veldor {

namespace {

constexpr size_t kShortString = 255;

// The list while the module lives; null before its start and after its end, so that a
// session outliving the module (a static of the program) does not reach a dead list.
std::atomic<TVELDORSessionList*> gList{nullptr};

std::mutex gDialogLock;  // guards gPasswordDialog
TVELDORSession::TPasswordDialog gPasswordDialog;

std::string Short(const std::string& text) { return text.substr(0, kShortString); }

}  // namespace

// ---- The component module ------------------------------------------------------------------

// The module's start makes the list and "Default"; its end destroys them. The engine's
// process-wide objects are touched first so that they are built before, and therefore
// destroyed after, the module: ending "Default" at process exit still finds them.
// ShutdownEngine is a no-op here (the engine has not started) that builds the engine's
// state record.
struct TComponentModule {
  TComponentModule() {
    ProcessTokenStack();
    ProcessBitmapStack();
    LanguageCharMaps();
    GetCollation(0, 0);
    GetLastEngineErrorCode();
    ShutdownEngine();
    List = std::make_unique<TVELDORSessionList>();
  }
  ~TComponentModule() { List.reset(); }
  std::unique_ptr<TVELDORSessionList> List;
};

namespace {
TComponentModule& Module() {
  static TComponentModule module;
  return module;
}
// The module starts with the program (static initialisation of this file).
[[maybe_unused]] const bool kModuleStarted = (Module(), true);
}  // namespace

TVELDORSessionList& Sessions() { return *Module().List; }

TVELDORSession& DefaultSession() { return *Sessions().Default(); }

// ---- Session list ---------------------------------------------------------------------------

TVELDORSessionList::TVELDORSessionList() {
  gList = this;
  Default_ = std::make_unique<TVELDORSession>(TDefaultSessionKey());
}

TVELDORSessionList::~TVELDORSessionList() {
  std::vector<TVELDORSession*> sessions;
  {
    std::lock_guard<std::mutex> guard(ListLock_);
    sessions = Sessions_;
  }
  // Sessions made by the program belong to it: they are ended here, not destroyed.
  for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
    if (*it == Default_.get()) continue;
    try {
      (*it)->SetActive(false);
    } catch (...) {
      ApplicationHandleException();
    }
  }
  Default_.reset();
  gList = nullptr;
}

TVELDORSession* TVELDORSessionList::FindSession(const std::string& name) const {
  std::lock_guard<std::mutex> guard(ListLock_);
  if (name.empty()) return Default_.get();
  for (TVELDORSession* s : Sessions_)
    if (EqualsIgnoreCase(s->SessionName(), name)) return s;
  return nullptr;
}

TVELDORSession& TVELDORSessionList::GetSession(const std::string& name) const {
  TVELDORSession* s = FindSession(name);
  if (!s) ComponentError(SSessionNameInvalid, name);
  return *s;
}

int TVELDORSessionList::Count() const {
  std::lock_guard<std::mutex> guard(ListLock_);
  return int(Sessions_.size());
}

TVELDORSession* TVELDORSessionList::Session(int index) const {
  std::lock_guard<std::mutex> guard(ListLock_);
  return Sessions_.at(size_t(index));
}

void TVELDORSessionList::Add(TVELDORSession* session) {
  std::lock_guard<std::mutex> guard(ListLock_);
  if (Sessions_.empty()) session->IsDefault_ = true;
  Sessions_.push_back(session);
}

void TVELDORSessionList::Remove(TVELDORSession* session) {
  std::lock_guard<std::mutex> guard(ListLock_);
  Sessions_.erase(std::remove(Sessions_.begin(), Sessions_.end(), session), Sessions_.end());
}

int TVELDORSessionList::TakeAutoNumber() {
  std::lock_guard<std::mutex> guard(ListLock_);
  for (size_t i = 0; i < AutoNumbers_.size(); ++i)
    if (!AutoNumbers_[i]) {
      AutoNumbers_[i] = true;
      return int(i);
    }
  AutoNumbers_.push_back(true);
  return int(AutoNumbers_.size() - 1);
}

void TVELDORSessionList::FreeAutoNumber(int number) {
  std::lock_guard<std::mutex> guard(ListLock_);
  if (number >= 0 && size_t(number) < AutoNumbers_.size()) AutoNumbers_[size_t(number)] = false;
}

// ---- The session lock -----------------------------------------------------------------------

// The raw lock: entered and left without making the session current or activating it.
class TVELDORSession::TLock {
 public:
  explicit TLock(TVELDORSession& session) : Session_(session) { Session_.EnterLock(); }
  ~TLock() { Session_.LeaveLock(); }
  TLock(const TLock&) = delete;
  TLock& operator=(const TLock&) = delete;

 private:
  TVELDORSession& Session_;
};

void TVELDORSession::EnterLock() {
  TVELDORSessionList* list = gList.load();
  if (list) list->SessionLock().lock();
  ++LockDepth_;
}

void TVELDORSession::LeaveLock() {
  --LockDepth_;
  TVELDORSessionList* list = gList.load();
  if (list) list->SessionLock().unlock();
}

void TVELDORSession::LockSession() {
  EnterLock();
  if (LockDepth_ > 1) return;
  try {
    if (!Active())
      Activate();
    else
      SetCurrentEngineSession(Engine_);
  } catch (...) {
    LeaveLock();
    throw;
  }
}

void TVELDORSession::UnlockSession() { LeaveLock(); }

// ---- Life ---------------------------------------------------------------------------------

TVELDORSession::TVELDORSession(TDefaultSessionKey) : TComponent(nullptr) {
  SessionName_ = "Default";
  gList.load()->Add(this);
}

TVELDORSession::TVELDORSession(TComponent* owner) : TComponent(owner) {
  if (owner)
    for (int i = 0; i < owner->ComponentCount(); ++i) {
      auto* other = dynamic_cast<TVELDORSession*>(owner->Component(i));
      if (other && other != this && other->AutoSessionName_) ComponentError(SAutoSessionExists);
    }
  Sessions().Add(this);
}

TVELDORSession::~TVELDORSession() {
  SetDestroying();
  try {
    Deactivate(true);
  } catch (...) {
    ApplicationHandleException();
  }
  TVELDORSessionList* list = gList.load();
  if (list && AutoNumber_ >= 0) list->FreeAutoNumber(AutoNumber_);
  std::vector<TVELDORDatabase*> databases = Databases_;
  for (TVELDORDatabase* d : databases) d->SessionDestroyed();
  if (list) list->Remove(this);
}

void TVELDORSession::CheckInactive() const {
  if (Active()) ComponentError(SSessionActive);
}

// ---- Activation ---------------------------------------------------------------------------

void TVELDORSession::SetActive(bool value) {
  if (Loading()) {
    StreamedActive_ = value;
    return;
  }
  if (value == Active()) return;
  if (value)
    Activate();
  else
    Deactivate(false);
}

void TVELDORSession::Activate() {
  TLock lock(*this);
  if (Active()) return;
  try {
    if (OnStartup) OnStartup(*this);
    if (SessionName_.empty()) ComponentError(SSessionNameMissing);
    if (!IsDefault_) DefaultSession().SetActive(true);
    if (SessionType_ == stRemote)
      throw EDatabaseError("Session " + SessionName_ +
                           ": remote sessions need the remote client, which this build does not have");
    if (IsDefault_) {
      InitEngine();
      Engine_ = GetDefaultEngineSession();
    } else {
      OwnedEngine_ = std::make_unique<TDataSession>(0);
      Engine_ = OwnedEngine_.get();
      SetCurrentEngineSession(Engine_);
    }
    Engine_->SetPrivateDirectory(PrivateDir_);
    Engine_->SetStrictChangeDetection(StrictChangeDetection_);
    Engine_->SetForceBufferFlush(ForceBufferFlush_);
    Engine_->SetLockRetryCount(LockRetryCount_);
    Engine_->SetLockWaitTime(LockWaitTime_);
    Engine_->SetProgressSteps(ProgressSteps_);
  } catch (...) {
    Deactivate(true);
    throw;
  }
}

// Ending "Default" ends the engine under every other session, so the other active sessions
// are ended first (last made first): nothing is left running on an ended engine.
void TVELDORSession::Deactivate(bool force) {
  TLock lock(*this);
  if (Deactivating_) return;
  Deactivating_ = true;
  struct TClear {
    bool& Flag;
    ~TClear() { Flag = false; }
  } clear{Deactivating_};

  if (IsDefault_) {
    TVELDORSessionList* list = gList.load();
    int count = list ? list->Count() : 0;
    for (int i = count - 1; i >= 0; --i) {
      TVELDORSession* other = list->Session(i);
      if (other != this && other->Active()) other->Deactivate(force);
    }
  }
  if (Engine_) SetCurrentEngineSession(Engine_);
  // A database that cannot close (a data set refusing to close) keeps the session active,
  // unless the session is being destroyed: then it is shown and closing goes on.
  std::vector<TVELDORDatabase*> databases = Databases_;
  for (auto it = databases.rbegin(); it != databases.rend(); ++it) {
    TVELDORDatabase* d = *it;
    if (std::find(Databases_.begin(), Databases_.end(), d) == Databases_.end()) continue;
    try {
      if (d->Temporary_) {
        d->DoClose();
        if (d->Owner()) d->Owner()->DestroyOwned(d);
      } else {
        d->DoClose();
      }
    } catch (...) {
      if (!force) throw;
      ApplicationHandleException();
      d->Handle_ = nullptr;
      d->Borrowed_ = false;
    }
  }
  if (IsDefault_) {
    Engine_ = nullptr;
    ShutdownEngine();
  } else {
    Engine_ = nullptr;
    OwnedEngine_.reset();
    TVELDORSessionList* list = gList.load();
    if (list && list->Default_ && list->Default_->Active())
      SetCurrentEngineSession(list->Default_->Engine_);
  }
}

void TVELDORSession::Loaded() {
  TComponent::Loaded();
  if (AutoSessionName_) AttachOwnerComponents();
  if (StreamedActive_) SetActive(true);
}

// ---- Properties -----------------------------------------------------------------------------

void TVELDORSession::SetSessionName(const std::string& name) {
  if (name == SessionName_) return;
  if (AutoSessionName_ && !InternalRename_) ComponentError(SAutoSessionActive);
  CheckInactive();
  if (!name.empty()) {
    TVELDORSession* other = Sessions().FindSession(name);
    if (other && other != this) ComponentError(SSessionNameExists, name);
  }
  SessionName_ = name;
}

void TVELDORSession::SetAutoSessionName(bool value) {
  if (value == AutoSessionName_) return;
  if (!value) {
    if (AutoNumber_ >= 0) Sessions().FreeAutoNumber(AutoNumber_);
    AutoNumber_ = -1;
    AutoSessionName_ = false;
    return;
  }
  CheckInactive();
  if (Owner())
    for (int i = 0; i < Owner()->ComponentCount(); ++i) {
      auto* other = dynamic_cast<TVELDORSession*>(Owner()->Component(i));
      if (other && other != this) ComponentError(SAutoSessionExclusive);
    }
  {
    TLock lock(*this);
    AutoNumber_ = Sessions().TakeAutoNumber();
  }
  AutoSessionName_ = true;
  try {
    DeriveAutoName();
  } catch (...) {
    Sessions().FreeAutoNumber(AutoNumber_);
    AutoNumber_ = -1;
    AutoSessionName_ = false;
    throw;
  }
  if (!Loading()) AttachOwnerComponents();
}

void TVELDORSession::DeriveAutoName() {
  InternalRename_ = true;
  struct TClear {
    bool& Flag;
    ~TClear() { Flag = false; }
  } clear{InternalRename_};
  SetSessionName(Name() + "_" + std::to_string(AutoNumber_ + 1));
}

void TVELDORSession::SetName(const std::string& name) {
  if (AutoSessionName_) CheckInactive();
  TComponent::SetName(name);
  if (AutoSessionName_) DeriveAutoName();
}

void TVELDORSession::AttachComponent(TComponent* component) {
  if (auto* dataSet = dynamic_cast<TVELDORDBDataSet*>(component)) {
    if (dataSet->SessionName() != SessionName_) dataSet->SetSessionName(SessionName_);
  } else if (auto* database = dynamic_cast<TVELDORDatabase*>(component)) {
    if (database->SessionName() != SessionName_) database->SetSessionName(SessionName_);
  }
}

void TVELDORSession::AttachOwnerComponents() {
  if (!Owner()) return;
  for (int i = 0; i < Owner()->ComponentCount(); ++i) AttachComponent(Owner()->Component(i));
}

void TVELDORSession::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opInsert && AutoSessionName_ && !Loading() && component != this &&
      component->Owner() == Owner())
    AttachComponent(component);
}

void TVELDORSession::SetForceBufferFlush(bool value) {
  TLock lock(*this);
  if (Active() && value != ForceBufferFlush_) Engine_->SetForceBufferFlush(value);
  ForceBufferFlush_ = value;
}

void TVELDORSession::SetStrictChangeDetection(bool value) {
  TLock lock(*this);
  if (Active() && value != StrictChangeDetection_) Engine_->SetStrictChangeDetection(value);
  StrictChangeDetection_ = value;
}

void TVELDORSession::SetLockRetryCount(uint8_t value) {
  TLock lock(*this);
  if (Active() && value != LockRetryCount_) Engine_->SetLockRetryCount(value);
  LockRetryCount_ = value;
}

void TVELDORSession::SetLockWaitTime(uint16_t value) {
  TLock lock(*this);
  if (Active() && value != LockWaitTime_) Engine_->SetLockWaitTime(value);
  LockWaitTime_ = value;
}

void TVELDORSession::SetProgressSteps(uint16_t value) {
  if (value > 100) return;
  TLock lock(*this);
  if (Active() && value != ProgressSteps_) Engine_->SetProgressSteps(value);
  ProgressSteps_ = value;
}

void TVELDORSession::SetPrivateDir(const std::string& value) {
  TLock lock(*this);
  if (Active() && value != PrivateDir_) Engine_->SetPrivateDirectory(value);
  PrivateDir_ = value;
}

void TVELDORSession::SetSessionType(TSessionType value) {
  CheckInactive();
  SessionType_ = value;
}
void TVELDORSession::SetRemoteType(TRemoteType value) {
  CheckInactive();
  RemoteType_ = value;
}
void TVELDORSession::SetRemoteHost(const std::string& value) {
  CheckInactive();
  RemoteHost_ = value;
}
void TVELDORSession::SetRemoteAddress(const std::string& value) {
  CheckInactive();
  RemoteAddress_ = value;
}
void TVELDORSession::SetRemotePort(int32_t value) {
  CheckInactive();
  RemotePort_ = value;
}
void TVELDORSession::SetRemoteService(const std::string& value) {
  CheckInactive();
  RemoteService_ = value;
}
void TVELDORSession::SetRemoteUser(const std::string& value) {
  CheckInactive();
  RemoteUser_ = value;
}
void TVELDORSession::SetRemotePassword(const std::string& value) {
  CheckInactive();
  RemotePassword_ = value;
}

// ---- Passwords ------------------------------------------------------------------------------

void TVELDORSession::AddPassword(const std::string& password) {
  std::string stored = Short(StoredText(password, "Password"));
  TSessionLockGuard lock(*this);
  Engine_->AddPassword(stored);
}

void TVELDORSession::RemovePassword(const std::string& password) {
  std::string stored = Short(StoredText(password, "Password"));
  TSessionLockGuard lock(*this);
  Engine_->DeletePassword(stored);
}

void TVELDORSession::RemoveAllPasswords() {
  TSessionLockGuard lock(*this);
  Engine_->DeleteAllPasswords();
}

bool TVELDORSession::PasswordRequest() {
  if (OnPassword) {
    bool continueOpen = false;
    OnPassword(*this, continueOpen);
    return continueOpen;
  }
  TPasswordDialog dialog;
  {
    std::lock_guard<std::mutex> guard(gDialogLock);
    dialog = gPasswordDialog;
  }
  return dialog ? dialog(*this) : false;
}

void TVELDORSession::SetPasswordDialog(TPasswordDialog dialog) {
  std::lock_guard<std::mutex> guard(gDialogLock);
  gPasswordDialog = std::move(dialog);
}

// ---- Databases ------------------------------------------------------------------------------

namespace {
// Database names compare without regard to case, except names that are paths: on this
// platform two directories whose names differ only in case are two directories.
bool SameDatabaseName(const std::string& a, const std::string& b) {
  if (HasDirectoryPart(a) || HasDirectoryPart(b)) return a == b;
  return EqualsIgnoreCase(a, b);
}
}  // namespace

TVELDORDatabase* TVELDORSession::FindDatabase(const std::string& name) const {
  for (TVELDORDatabase* d : Databases_) {
    if (name.empty()) {
      if (d->DatabaseName_.empty() && d->Temporary_) return d;
    } else if (SameDatabaseName(d->DatabaseName_, name)) {
      return d;
    }
  }
  return nullptr;
}

// Under the session lock: a database component of `owner` that shares its handle and has
// this name, else any database component of the name; none makes a temporary database
// (directory = the name, except for "Memory"), which is destroyed again when it cannot
// open. The use count rises on success.
TVELDORDatabase& TVELDORSession::OpenDatabase(const std::string& name, TComponent* owner) {
  TSessionLockGuard lock(*this);
  TVELDORDatabase* database = nullptr;
  for (TVELDORDatabase* d : Databases_)
    if (d->Owner() == owner && d->HandleShared_ && SameDatabaseName(d->DatabaseName_, name)) {
      database = d;
      break;
    }
  if (!database) database = FindDatabase(name);
  bool made = false;
  if (!database) {
    database = CreateOwned<TVELDORDatabase>();
    made = true;
    database->SessionName_ = SessionName_;
    database->BindSession(this);
    database->Temporary_ = true;
    database->DatabaseName_ = name;
    if (!EqualsIgnoreCase(name, "Memory")) {
      if (SessionType_ == stLocal)
        database->Directory_ = name;
      else
        database->RemoteDatabase_ = name;
    } else if (SessionType_ == stRemote) {
      database->RemoteDatabase_ = name;
    }
    database->KeepConnection_ = KeepConnections_;
  }
  try {
    database->Open();
  } catch (...) {
    if (made) DestroyOwned(database);
    throw;
  }
  ++database->UseCount_;
  return *database;
}

void TVELDORSession::CloseDatabase(TVELDORDatabase* database) {
  if (!database) return;
  TLock lock(*this);
  if (database->UseCount_ > 0) --database->UseCount_;
  // A database closing its data sets hears each of them let go; it finishes on its own.
  if (database->UseCount_ > 0 || database->KeepConnection_ || database->Closing_) return;
  if (database->Temporary_) {
    if (database->Destroying_) return;
    database->DoClose();
    if (database->Owner()) database->Owner()->DestroyOwned(database);
  } else {
    database->DoClose();
  }
}

void TVELDORSession::AddDatabase(TVELDORDatabase* database) {
  if (std::find(Databases_.begin(), Databases_.end(), database) == Databases_.end())
    Databases_.push_back(database);
}

void TVELDORSession::RemoveDatabase(TVELDORDatabase* database) {
  Databases_.erase(std::remove(Databases_.begin(), Databases_.end(), database), Databases_.end());
}

}  // namespace veldor
