#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/session.h"
#include "tests/tables/table_fixture.h"

namespace veldor::test {
namespace {

constexpr int kAccessDenied = -int(VELDOR_OSEACCES);

// A session over a fresh directory of real table files.
class SessionTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    canonical_ = std::filesystem::canonical(dir_).string() + "/";
    session_ = std::make_unique<TDataSession>(0);
    db_ = session_->OpenDataDirectory("", dir_);
  }
  void TearDown() override {
    session_.reset();
    TableTest::TearDown();
  }

  std::string MakeDirectory(const std::string& name) {
    std::string path = dir_ + name;
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
    return path;
  }

  // Creates table `name` (an integer Id and a string Name) and closes it again.
  static void MakeTable(TDataDirectory& db, const std::string& name, bool inMemory = false) {
    TDataTable* t = nullptr;
    ASSERT_EQ(db.CreateTable(name, inMemory, SimpleDefinition(), false, t), 0);
    ASSERT_EQ(db.CloseTable(t), 0);
  }

  static TDataTable* Open(TDataDirectory& db, const std::string& name, bool exclusive = false,
                          bool clone = false) {
    TDataTable* t = nullptr;
    EXPECT_EQ(db.OpenTable(name, exclusive, false, clone, {}, t), 0) << name;
    return t;
  }

  std::string canonical_;
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* db_ = nullptr;
};

TEST_F(SessionTest, SpellingsOfOneDirectoryShareOneDatabase) {
  std::string d = MakeDirectory("d");
  TDataDirectory* first = session_->OpenDataDirectory("", d);
  EXPECT_EQ(first->Path(), d + "/");
  EXPECT_EQ(first->Key(), canonical_ + "d/");
  for (const std::string& spelling : {d + "/", dir_ + "./d", "  " + d + "/ "})
    EXPECT_EQ(session_->OpenDataDirectory("", spelling), first) << spelling;
  EXPECT_EQ(first->OpenCount(), 4);
  // "Memory" with the canonical directory has the same key; without one, the empty key.
  EXPECT_EQ(session_->OpenDataDirectory("Memory", canonical_ + "d"), first);
  TDataDirectory* memory = session_->OpenDataDirectory("Memory", "");
  EXPECT_EQ(session_->OpenDataDirectory(" MEMORY ", "  "), memory);
  EXPECT_EQ(memory->Key(), "");
  EXPECT_EQ(memory->Path(), "");
  // A directory that does not exist is keyed by its path as given.
  TDataDirectory* missing = session_->OpenDataDirectory("", dir_ + "nope");
  EXPECT_EQ(missing->Key(), dir_ + "nope/");
  EXPECT_EQ(session_->OpenDataDirectory("", dir_ + "nope/"), missing);
  EXPECT_NE(session_->OpenDataDirectory("", dir_ + "./nope"), missing);
  EXPECT_NE(session_->OpenDataDirectory("", d + "/sub"), first);
  EXPECT_EQ(session_->DirectoryCount(), 6u);  // db_, d, Memory, nope, ./nope, d/sub

  // Another session's database is not this session's to close.
  TDataSession other(0);
  TDataDirectory* foreign = other.OpenDataDirectory("", d);
  EXPECT_NE(foreign, first);
  session_->CloseDataDirectory(foreign);
  EXPECT_EQ(foreign->OpenCount(), 1);

  for (int i = 0; i < 4; ++i) session_->CloseDataDirectory(first);
  EXPECT_EQ(first->OpenCount(), 1);
  EXPECT_EQ(session_->DirectoryCount(), 6u);
  session_->CloseDataDirectory(first);
  EXPECT_EQ(session_->DirectoryCount(), 5u);
  EXPECT_NE(session_->OpenDataDirectory("", d), foreign);
}

TEST_F(SessionTest, EmptyDirectoryResolvesToTheWorkingDirectoryOfCreation) {
  std::string a = MakeDirectory("a"), b = MakeDirectory("b");
  std::filesystem::path previous = std::filesystem::current_path();
  ASSERT_EQ(chdir(a.c_str()), 0);
  auto session = std::make_unique<TDataSession>(0);
  ASSERT_EQ(chdir(b.c_str()), 0);
  TDataDirectory* db = session->OpenDataDirectory("", "");
  std::filesystem::current_path(previous);
  EXPECT_EQ(session->WorkingDirectory(), canonical_ + "a/");
  EXPECT_EQ(db->Path(), canonical_ + "a/");
  EXPECT_EQ(db->Key(), canonical_ + "a/");

  // The private directory falls back to the working directory; blank values are ignored.
  EXPECT_EQ(session->GetPrivateDirectory(), canonical_ + "a/");
  const struct {
    const char* Set;
    const char* Expected;
  } steps[] = {{"", "WORK"},          {"  /tmp/p  ", "/tmp/p/"}, {"", "/tmp/p/"},
               {"   ", "/tmp/p/"},    {"/q/", "/q/"}};
  for (const auto& step : steps) {
    session->SetPrivateDirectory(step.Set);
    std::string expected = std::string(step.Expected) == "WORK" ? canonical_ + "a/" : step.Expected;
    EXPECT_EQ(session->GetPrivateDirectory(), expected) << "'" << step.Set << "'";
  }
}

TEST_F(SessionTest, ProgressStepPercent) {
  EXPECT_EQ(session_->ProgressSteps(), 20);
  const struct {
    uint16_t Steps, Percent;
  } cases[] = {{0, 100}, {1, 100}, {3, 33}, {20, 5}, {100, 1}, {101, 1}, {65535, 1}};
  for (const auto& c : cases) {
    session_->SetProgressSteps(c.Steps);
    EXPECT_EQ(session_->ProgressStepPercent(), c.Percent) << c.Steps;
  }
}

TEST_F(SessionTest, PasswordsCompareExactly) {
  session_->AddPassword("");
  session_->AddPassword("Secret");
  session_->AddPassword("Secret");
  session_->AddPassword("other");
  EXPECT_EQ(session_->Passwords(), (std::vector<std::string>{"Secret", "other"}));
  EXPECT_TRUE(session_->PasswordExists("Secret"));
  for (const char* miss : {"secret", "SECRET", "Secret ", ""})
    EXPECT_FALSE(session_->PasswordExists(miss)) << "'" << miss << "'";
  session_->DeletePassword("secret");
  EXPECT_EQ(session_->Passwords().size(), 2u);
  session_->DeletePassword("Secret");
  EXPECT_EQ(session_->Passwords(), (std::vector<std::string>{"other"}));
  session_->DeleteAllPasswords();
  EXPECT_TRUE(session_->Passwords().empty());
}

TEST_F(SessionTest, OpenTablesFollowTheSessionSettings) {
  MakeTable(*db_, "t");
  TDataTable* t = Open(*db_, "t");
  ASSERT_NE(t, nullptr);
  session_->SetForceBufferFlush(true);
  session_->SetStrictChangeDetection(true);
  session_->SetLockRetryCount(3);
  session_->SetLockWaitTime(7);
  const TTableSettings& s = t->Settings();
  EXPECT_EQ(&s, &session_->TableSettings());
  EXPECT_TRUE(s.ForceBufferFlush);
  EXPECT_TRUE(s.StrictChangeDetection);
  EXPECT_EQ(s.LockRetryCount, 3);
  EXPECT_EQ(s.LockWaitTime, 7);
}

TEST_F(SessionTest, OpensOfOneTableShareOneTableObject) {
  MakeTable(*db_, "parts");
  TDataTable* a = Open(*db_, "parts");
  TDataTable* b = Open(*db_, " PARTS.dat ");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->OpenCount(), 2);
  EXPECT_EQ(db_->TableCount(), 1u);
  EXPECT_EQ(db_->CloseTable(a), 0);
  EXPECT_TRUE(a->IsOpen());
  EXPECT_EQ(a->OpenCount(), 1);
  EXPECT_EQ(db_->CloseTable(b), 0);
  EXPECT_EQ(db_->TableCount(), 0u);

  TDataTable stranger(db_, dir_);
  EXPECT_EQ(db_->CloseTable(&stranger), -int(VELDOR_OSENOENT));
}

TEST_F(SessionTest, ExclusiveOpensOfAnOpenTable) {
  MakeTable(*db_, "t");
  const struct {
    bool FirstExclusive, SecondExclusive, Clone;
    int Expected;
  } cases[] = {
      {false, false, false, 0},           {false, true, false, kAccessDenied},
      {true, false, false, kAccessDenied}, {true, true, false, kAccessDenied},
      {true, false, true, 0},             {true, true, true, 0},
      {false, true, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.FirstExclusive << c.SecondExclusive << c.Clone);
    TDataTable* first = Open(*db_, "t", c.FirstExclusive);
    TDataTable* second = nullptr;
    EXPECT_EQ(db_->OpenTable("t", c.SecondExclusive, false, c.Clone, {}, second), c.Expected);
    EXPECT_EQ(second, c.Expected == 0 ? first : nullptr);
    EXPECT_EQ(first->OpenCount(), c.Expected == 0 ? 2 : 1);
    EXPECT_EQ(first->Exclusive(), c.FirstExclusive);  // the first opener's options stay
    if (second) db_->CloseTable(second);
    db_->CloseTable(first);
    EXPECT_EQ(db_->TableCount(), 0u);
  }
}

TEST_F(SessionTest, RegistryRefusalsAndFailures) {
  // A table that fails to open is not registered.
  TDataTable* t = nullptr;
  EXPECT_EQ(ErrorOf([&] { db_->OpenTable("missing", false, false, false, {}, t); }),
            VELDOR_OSENOENT);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(db_->TableCount(), 0u);

  MakeTable(*db_, "t");
  TDataTable* open = Open(*db_, "t");
  TDataTable* created = nullptr;
  EXPECT_EQ(db_->CreateTable("T", false, SimpleDefinition(), false, created), kAccessDenied);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(db_->DeleteTable("t", false), kAccessDenied);
  EXPECT_EQ(db_->RenameTable("t", false, "u"), kAccessDenied);
  EXPECT_TRUE(db_->TableExists("t", false));
  db_->CloseTable(open);

  // Unregistered tables are renamed and deleted through a passing table object.
  EXPECT_EQ(db_->RenameTable("t", false, "u"), 0);
  EXPECT_FALSE(db_->TableExists("t", false));
  EXPECT_TRUE(db_->TableExists("u.dat", false));
  EXPECT_EQ(db_->DeleteTable("u", false), 0);
  EXPECT_FALSE(db_->TableExists("u", false));
  EXPECT_EQ(ErrorOf([&] { db_->DeleteTable("u", false); }), VELDOR_OSENOENT);
  EXPECT_EQ(db_->TableCount(), 0u);
}

TEST_F(SessionTest, InMemoryAndDiskTablesOfOneNameStayApart) {
  TDataDirectory* memory = session_->OpenDataDirectory("Memory", dir_);
  ASSERT_EQ(memory, db_);  // "Memory" with a directory shares that directory's database
  const std::string name = "apart" + std::to_string(getpid());
  TDataTable* inMemory = nullptr;
  TDataTable* onDisk = nullptr;
  ASSERT_EQ(db_->CreateTable(name, true, SimpleDefinition(), false, inMemory), 0);
  EXPECT_TRUE(db_->TableExists(name, true));
  EXPECT_FALSE(db_->TableExists(name, false));
  ASSERT_EQ(db_->CreateTable(name, false, SimpleDefinition(), false, onDisk), 0);
  EXPECT_NE(inMemory, onDisk);
  EXPECT_EQ(db_->TableCount(), 2u);
  EXPECT_EQ(db_->FindTable(name, true), inMemory);
  EXPECT_EQ(db_->FindTable(name, false), onDisk);
  db_->CloseTable(inMemory);
  db_->CloseTable(onDisk);
  EXPECT_EQ(db_->DeleteTable(name, true), 0);
  EXPECT_FALSE(db_->TableExists(name, true));
  EXPECT_TRUE(db_->TableExists(name, false));
}

TEST_F(SessionTest, TempTableNamesSkipExistingTables) {
  std::string prefix = std::to_string(gettid()).substr(0, 5);
  std::string first = db_->GetTempTableName(false);
  EXPECT_EQ(first, prefix + "0.DAT");
  MakeTable(*db_, first);
  EXPECT_EQ(db_->GetTempTableName(false), prefix + "1.DAT");
  EXPECT_EQ(db_->GetTempTableName(true), prefix + "0.DAT");  // no such in-memory table
}

// How a transaction on one table ends.
enum class TEnding { Commit, Rollback, DestroyDatabase };

TEST_F(SessionTest, TransactionsKeepClosedTablesUntilTheyEnd) {
  const struct {
    bool Exclusive;
    TEnding Ending;
    int32_t Records;
  } cases[] = {
      {false, TEnding::Commit, 1},          {true, TEnding::Commit, 1},
      {false, TEnding::Rollback, 0},        {true, TEnding::Rollback, 0},
      {false, TEnding::DestroyDatabase, 0}, {true, TEnding::DestroyDatabase, 0},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "exclusive " << c.Exclusive << " ending " << int(c.Ending));
    std::string name = "t" + std::to_string(round++);
    MakeTable(*db_, name);
    TDataTable* t = Open(*db_, name, c.Exclusive);
    ASSERT_EQ(db_->StartTransaction(), 0);
    EXPECT_TRUE(db_->InTransaction());
    EXPECT_TRUE(t->InTransaction());
    if (!c.Exclusive) t->WriteLock();
    Append(*t, 7, "seven");
    if (!c.Exclusive) t->WriteUnlock();

    // Kept after its last close, and found again with its uncommitted record.
    EXPECT_EQ(db_->CloseTable(t), 0);
    EXPECT_EQ(db_->FindTable(name, false), t);
    EXPECT_EQ(t->OpenCount(), 0);
    EXPECT_EQ(Open(*db_, name, c.Exclusive), t);
    EXPECT_EQ(t->RecordCount(), 1);
    EXPECT_EQ(db_->CloseTable(t), 0);
    // The kept table is open for the transaction: no delete, and no exclusive use of a
    // table kept shared; a shared opener of an exclusive one shares it.
    EXPECT_EQ(db_->DeleteTable(name, false), kAccessDenied);
    TDataTable* other = nullptr;
    EXPECT_EQ(db_->OpenTable(name, !c.Exclusive, false, false, {}, other),
              c.Exclusive ? 0 : kAccessDenied);
    if (other) {
      EXPECT_EQ(other, t);
      db_->CloseTable(other);
    }

    switch (c.Ending) {
      case TEnding::Commit:
        db_->CommitTransaction(true, false);
        break;
      case TEnding::Rollback:
        db_->RollbackTransaction();
        break;
      case TEnding::DestroyDatabase:
        session_->CloseDataDirectory(db_);
        db_ = session_->OpenDataDirectory("", dir_);
        break;
    }
    EXPECT_EQ(db_->TableCount(), 0u);
    EXPECT_FALSE(db_->InTransaction());
    TDataTable* check = Open(*db_, name);
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->RecordCount(), c.Records);
    if (c.Records == 1) {
      EXPECT_EQ(IdOf(*check, 1), 7);
    }
    db_->CloseTable(check);
  }
}

TEST_F(SessionTest, AnIntermediateCommitWritesAndStaysInTheTransaction) {
  MakeTable(*db_, "t");
  TDataTable* t = Open(*db_, "t");
  ASSERT_EQ(db_->StartTransaction(), 0);
  t->WriteLock();
  Append(*t, 1, "one");
  t->WriteUnlock();
  db_->CloseTable(t);
  db_->CommitTransaction(false, false);
  EXPECT_FALSE(db_->InTransaction());
  EXPECT_TRUE(t->InTransaction());
  EXPECT_EQ(db_->FindTable("t", false), t);

  // Another session reads what was written so far.
  TDataSession reader(0);
  TDataDirectory* theirs = reader.OpenDataDirectory("", dir_);
  TDataTable* seen = Open(*theirs, "t");
  ASSERT_NE(seen, nullptr);
  EXPECT_NE(seen, t);
  EXPECT_EQ(seen->RecordCount(), 1);
  theirs->CloseTable(seen);

  db_->CommitTransaction(true, false);
  EXPECT_FALSE(t == db_->FindTable("t", false));
  EXPECT_EQ(db_->TableCount(), 0u);
}

// The table lock is tried 8193 times, 3 ms apart, before it is given up: this case waits
// for that on purpose.
TEST_F(SessionTest, AFailedStartRollsBackTheTablesThatBegan) {
  MakeTable(*db_, "a");
  MakeTable(*db_, "b");
  TDataSession holder(0);
  TDataDirectory* theirs = holder.OpenDataDirectory("", dir_);
  TDataTable* held = Open(*theirs, "b");
  ASSERT_EQ(theirs->StartTransaction(), 0);
  ASSERT_TRUE(held->TableLocked());

  TDataTable* a = Open(*db_, "a");
  TDataTable* b = Open(*db_, "b");
  EXPECT_EQ(db_->StartTransaction(), -int(VELDOR_LOCKTIMEOUT));
  EXPECT_FALSE(db_->InTransaction());
  EXPECT_FALSE(a->InTransaction());
  EXPECT_FALSE(a->TableLocked());
  EXPECT_FALSE(b->InTransaction());

  theirs->RollbackTransaction();
  EXPECT_EQ(db_->StartTransaction(), 0);
  EXPECT_TRUE(a->InTransaction());
  EXPECT_TRUE(b->InTransaction());
  db_->RollbackTransaction();
}

// A cursor or statement stand-in that logs its destruction by the database.
struct TFakeObject : TDatabaseObject {
  TFakeObject(TDataDirectory* db, bool statement, std::string name, std::vector<std::string>* log,
              bool unregisters = true)
      : Db(db), Statement(statement), Name(std::move(name)), Log(log), Unregisters(unregisters) {}
  void DestroyByDatabase() override {
    Log->push_back(Name);
    if (!Unregisters) return;
    if (Statement)
      Db->UnregisterStatement(this);
    else
      Db->UnregisterCursor(this);
  }
  TDataDirectory* Db;
  bool Statement;
  std::string Name;
  std::vector<std::string>* Log;
  bool Unregisters;
};

TEST_F(SessionTest, TrackedObjectsAreFreedWithTheirDatabase) {
  const struct {
    int32_t TrackObjects;
    std::vector<std::string> Freed;
  } cases[] = {{0, {}}, {1, {"s1", "lazy", "c1"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.TrackObjects);
    TDataSession session(c.TrackObjects);
    TDataDirectory* db = session.OpenDataDirectory("", dir_);
    EXPECT_EQ(db->Cursors() != nullptr, c.TrackObjects != 0);
    EXPECT_EQ(db->Statements() != nullptr, c.TrackObjects != 0);
    std::vector<std::string> log;
    TFakeObject c1(db, false, "c1", &log), c2(db, false, "c2", &log);
    TFakeObject lazy(db, false, "lazy", &log, false), s1(db, true, "s1", &log);
    db->RegisterCursor(&c1);
    db->RegisterCursor(&c2);
    db->RegisterCursor(&lazy);
    db->RegisterStatement(&s1);
    db->UnregisterCursor(&c2);
    if (c.TrackObjects) {
      EXPECT_EQ(db->Cursors()->size(), 2u);
    }
    session.CloseDataDirectory(db);
    EXPECT_EQ(log, c.Freed);
  }
}

TEST(EngineTest, StartAndEnd) {
  ShutdownEngine();
  EXPECT_EQ(ErrorOf([] { GetDefaultEngineSession(); }), VELDOR_NOTINITIALIZED);
  InitEngine();
  TDataSession* first = GetDefaultEngineSession();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->TrackObjects(), 0);
  EXPECT_FALSE(first->Remote());
  InitEngine();
  EXPECT_EQ(GetDefaultEngineSession(), first);

  TDataSession mine(0);
  SetCurrentEngineSession(&mine);
  EXPECT_EQ(GetDefaultEngineSession(), &mine);
  ShutdownEngine();  // frees the default session, never the one installed by the caller
  EXPECT_EQ(ErrorOf([] { GetDefaultEngineSession(); }), VELDOR_NOTINITIALIZED);
  EXPECT_EQ(mine.OpenDataDirectory("", "/tmp")->OpenCount(), 1);
  InitEngine();
  EXPECT_NE(GetDefaultEngineSession(), &mine);
  ShutdownEngine();
}

}  // namespace
}  // namespace veldor::test
