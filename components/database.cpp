// Database components: binding to a session, the name rules, opening and closing the
// engine database, and sharing one engine database between components of one name.
#include "components/database.h"

#include <algorithm>

#include "components/component_errors.h"
#include "components/dataset.h"
#include "engine/field_types.h"
#include "lib/name_text.h"

namespace veldor {

namespace {
bool SameName(const std::string& a, const std::string& b) {
  if (HasDirectoryPart(a) || HasDirectoryPart(b)) return a == b;
  return EqualsIgnoreCase(a, b);
}
}  // namespace

TVELDORDatabase::TVELDORDatabase(TComponent* owner) : TComponent(owner) {
  TVELDORSession* session = nullptr;
  if (owner)
    for (int i = 0; i < owner->ComponentCount() && !session; ++i) {
      auto* s = dynamic_cast<TVELDORSession*>(owner->Component(i));
      if (s && s->AutoSessionName()) session = s;
    }
  if (!session) session = &DefaultSession();
  SessionName_ = session->SessionName();
  BindSession(session);
}

TVELDORDatabase::~TVELDORDatabase() {
  SetDestroying();
  Destroying_ = true;
  try {
    DoClose();
  } catch (...) {
    ApplicationHandleException();
    Handle_ = nullptr;
  }
  std::vector<TVELDORDBDataSet*> dataSets = DataSets_;
  for (TVELDORDBDataSet* d : dataSets) d->DatabaseGone(this);
  BindSession(nullptr);
}

void TVELDORDatabase::CheckClosed() const {
  if (Connected()) ComponentError(SDatabaseOpen);
}

void TVELDORDatabase::BindSession(TVELDORSession* session) {
  if (Session_ == session) return;
  if (Session_) Session_->RemoveDatabase(this);
  Session_ = session;
  if (Session_) Session_->AddDatabase(this);
}

void TVELDORDatabase::BindToNamedSession(bool raise) {
  TVELDORSession* session =
      raise ? &Sessions().GetSession(SessionName_) : Sessions().FindSession(SessionName_);
  BindSession(session);
}

void TVELDORDatabase::SessionDestroyed() {
  const bool fromDefault = Session_ && Session_->IsDefault();
  if (!fromDefault) {
    try {
      DoClose();
    } catch (...) {
      ApplicationHandleException();
    }
  }
  // The engine database went with the session's engine session.
  Handle_ = nullptr;
  Borrowed_ = false;
  UseCount_ = 0;
  SessionName_.clear();
  BindSession(fromDefault ? nullptr : &DefaultSession());
}

void TVELDORDatabase::Loaded() {
  TComponent::Loaded();
  if (StreamedConnected_)
    SetConnected(true);
  else
    BindToNamedSession(false);
}

// ---- Properties -----------------------------------------------------------------------------

void TVELDORDatabase::SetDatabaseName(const std::string& name) {
  if (name == DatabaseName_) return;
  CheckClosed();
  if (!Temporary_ && !name.empty() &&
      (HasDirectoryPart(name) || !IsIdentifierStart(uint8_t(name[0]))))
    ComponentError(SDatabaseNameInvalid, name);
  DatabaseName_ = name;
}

void TVELDORDatabase::SetDirectory(const std::string& value) {
  if (value == Directory_) return;
  CheckClosed();
  Directory_ = value;
}

void TVELDORDatabase::SetRemoteDatabase(const std::string& value) {
  if (value == RemoteDatabase_) return;
  CheckClosed();
  RemoteDatabase_ = value;
}

void TVELDORDatabase::SetHandleShared(bool value) {
  if (value == HandleShared_) return;
  CheckClosed();
  HandleShared_ = value;
}

void TVELDORDatabase::SetKeepConnection(bool value) {
  KeepConnection_ = value;
  if (!value && Connected() && UseCount_ == 0 && DataSets_.empty()) DoClose();
}

void TVELDORDatabase::SetSessionName(const std::string& name) {
  if (name == SessionName_ && Session_) return;
  CheckClosed();
  SessionName_ = name;
  if (!Loading()) BindToNamedSession(false);
}

// ---- Open and close -------------------------------------------------------------------------

void TVELDORDatabase::SetConnected(bool value) {
  if (Loading()) {
    StreamedConnected_ = value;
    return;
  }
  if (value)
    DoOpen();
  else
    DoClose();
}

// A component of the same name in the session gives way when it is a temporary database
// that no data set uses; otherwise two components may share a name only when both share
// their handle.
void TVELDORDatabase::CheckNameUnique() {
  if (!Session_) return;
  std::vector<TVELDORDatabase*> others = Session_->Databases_;
  for (TVELDORDatabase* other : others) {
    if (other == this || !SameName(other->DatabaseName_, DatabaseName_)) continue;
    if (other->HandleShared_ && HandleShared_) continue;
    if (other->Temporary_ && other->DataSets_.empty() && other->UseCount_ == 0) {
      other->DoClose();
      if (other->Owner()) other->Owner()->DestroyOwned(other);
      continue;
    }
    ComponentError(SDatabaseNameExists, DatabaseName_);
  }
}

void TVELDORDatabase::DoOpen() {
  if (Connected()) return;
  if (BeforeConnect) BeforeConnect(*this);
  if (DatabaseName_.empty() && !Temporary_) ComponentError(SDatabaseNameMissing);
  TVELDORSession& session = Sessions().GetSession(SessionName_);
  BindSession(&session);
  if (!Temporary_) {
    try {
      CheckNameUnique();
    } catch (...) {
      DatabaseName_.clear();
      throw;
    }
  }
  session.SetActive(true);
  TSessionLockGuard lock(session);
  if (HandleShared_) {
    for (TVELDORDatabase* other : session.Databases_) {
      if (other == this || !other->Connected() || !other->HandleShared_ ||
          !SameName(other->DatabaseName_, DatabaseName_))
        continue;
      // The borrowed engine database gets a reference of its own, so that it lives as long
      // as either component uses it, whichever closes first.
      Handle_ = other->Handle_;
      Handle_->AddReference();
      Borrowed_ = true;
      return;
    }
  }
  const std::string engineName = HasDirectoryPart(DatabaseName_) ? "" : DatabaseName_;
  Handle_ = session.EngineSession()->OpenDataDirectory(engineName, Directory_, false);
}

void TVELDORDatabase::CloseDataSets() {
  std::vector<TVELDORDBDataSet*> dataSets = DataSets_;
  for (auto it = dataSets.rbegin(); it != dataSets.rend(); ++it) {
    if (std::find(DataSets_.begin(), DataSets_.end(), *it) == DataSets_.end()) continue;
    (*it)->CloseDataSet();
  }
}

void TVELDORDatabase::DoClose() {
  if (!Connected() || Closing_) return;
  Closing_ = true;
  struct TClear {
    bool& Flag;
    ~TClear() { Flag = false; }
  } clear{Closing_};
  CloseDataSets();
  if (Session_ && Session_->EngineSession()) {
    TSessionLockGuard lock(*Session_);
    Session_->EngineSession()->CloseDataDirectory(Handle_);
  }
  Handle_ = nullptr;
  Borrowed_ = false;
  UseCount_ = 0;
}

void TVELDORDatabase::AddDataSet(TVELDORDBDataSet* dataSet) {
  if (std::find(DataSets_.begin(), DataSets_.end(), dataSet) == DataSets_.end())
    DataSets_.push_back(dataSet);
}

void TVELDORDatabase::RemoveDataSet(TVELDORDBDataSet* dataSet) {
  DataSets_.erase(std::remove(DataSets_.begin(), DataSets_.end(), dataSet), DataSets_.end());
}

}  // namespace veldor
