// `TVELDORDatabase`: one database of a session, named by DatabaseName, pointing at a
// directory of table files (or at the in-memory database "Memory").
//
// While connected it holds one reference to an engine database (`TDataDirectory`) of its
// session's engine session, or borrows the engine database of another open database
// component of the same name (HandleShared). It lists, and does not own, the data sets
// that use it; closing it closes them. A temporary database is made and owned by its
// session for data sets that name no database component. One thread at a time; opening
// and closing run under the session lock.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "components/session.h"
#include "toolkit/component.h"

namespace veldor {

class TVELDORDBDataSet;

class TVELDORDatabase : public TComponent {
 public:
  using TNotifyEvent = std::function<void(TVELDORDatabase&)>;

  // Binds to the default session, or to the owner's auto-session when it has one.
  explicit TVELDORDatabase(TComponent* owner = nullptr);
  // Closes (errors are shown, not raised) and leaves its session.
  ~TVELDORDatabase() override;

  // ---- Open and close ----
  bool Connected() const { return Handle_ != nullptr; }
  // While loading only the value is stored. Opening: BeforeConnect, name checks, binding
  // to the session (activating it), then the engine database; a failure leaves it closed.
  // Closing closes every data set that uses it first.
  void SetConnected(bool value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }
  // Closes every data set that uses it, the last first.
  void CloseDataSets();

  // ---- Properties ----
  std::string EngineVersion() const { return kComponentEngineVersion; }
  void SetEngineVersion(const std::string&) {}
  const std::string& DatabaseName() const { return DatabaseName_; }
  // Only while closed. A non-temporary database's name must begin with a letter, "_" or
  // a character 129 to 254 and hold no "/" ("Database name %s is not valid."), and no
  // other database component of the session may carry it ("... already exists.").
  void SetDatabaseName(const std::string& name);
  const std::string& Directory() const { return Directory_; }
  void SetDirectory(const std::string& value);
  const std::string& RemoteDatabase() const { return RemoteDatabase_; }
  void SetRemoteDatabase(const std::string& value);
  bool HandleShared() const { return HandleShared_; }
  void SetHandleShared(bool value);
  bool KeepConnection() const { return KeepConnection_; }
  // False closes the database at once when no data set uses it.
  void SetKeepConnection(bool value);
  const std::string& SessionName() const { return SessionName_; }
  // Only while closed; binds to that session at once when it exists.
  void SetSessionName(const std::string& name);

  // ---- State ----
  // The engine database while connected (owned by the engine session), else null.
  TDataDirectory* Handle() const { return Handle_; }
  TVELDORSession* Session() const { return Session_; }
  bool Temporary() const { return Temporary_; }
  bool Borrowed() const { return Borrowed_; }
  int UseCount() const { return UseCount_; }
  int DataSetCount() const { return int(DataSets_.size()); }
  TVELDORDBDataSet* DataSet(int index) const { return DataSets_.at(size_t(index)); }

  TNotifyEvent BeforeConnect;

 protected:
  void Loaded() override;

 private:
  friend class TVELDORSession;
  friend class TVELDORDBDataSet;

  void DoOpen();
  void DoClose();
  void CheckClosed() const;
  // Leaves the current session and joins `session` (null: none).
  void BindSession(TVELDORSession* session);
  // Binds to the session SessionName names; with `raise`, an unknown name raises.
  void BindToNamedSession(bool raise);
  // Refuses a name another component of the session carries (a temporary database no data
  // set uses gives way instead).
  void CheckNameUnique();
  // The session is going away: close (unless it is "Default") and fall back to "Default".
  void SessionDestroyed();
  void AddDataSet(TVELDORDBDataSet* dataSet);
  void RemoveDataSet(TVELDORDBDataSet* dataSet);

  TVELDORSession* Session_ = nullptr;
  TDataDirectory* Handle_ = nullptr;
  std::vector<TVELDORDBDataSet*> DataSets_;
  bool Temporary_ = false;
  int UseCount_ = 0;
  bool StreamedConnected_ = false;
  bool Borrowed_ = false;
  bool Destroying_ = false;
  bool Closing_ = false;  // DoClose is closing the data sets

  std::string DatabaseName_;
  std::string Directory_;
  std::string RemoteDatabase_;
  bool HandleShared_ = false;
  bool KeepConnection_ = true;
  std::string SessionName_;
};

}  // namespace veldor
