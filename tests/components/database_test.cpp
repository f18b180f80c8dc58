// Database components: temporary databases made from a table's directory, kept and shared
// under KeepConnections; named databases with their name rules; closing a database with
// its data sets; handle sharing.
#include "tests/components/component_fixture.h"

namespace veldor::test {
namespace {

class Database : public ComponentTest {};

TEST_F(Database, ATablePathMakesATemporaryDatabaseThatIsKeptAndShared) {
  MakePeople();
  MakePeople("others");
  TVELDORTable& first = Table();
  first.Open();
  TVELDORDatabase* temporary = first.Database();
  ASSERT_NE(temporary, nullptr);
  EXPECT_TRUE(temporary->Temporary());
  EXPECT_EQ(temporary->DatabaseName(), dir_);
  EXPECT_EQ(temporary->Directory(), dir_);
  EXPECT_EQ(temporary->Session(), &DefaultSession());
  // A name holding "/" opens the engine database with an empty name, by its directory.
  ASSERT_NE(temporary->Handle(), nullptr);
  EXPECT_EQ(temporary->Handle()->Name(), "");
  EXPECT_EQ(temporary->Handle()->Path(), dir_);
  EXPECT_EQ(temporary->UseCount(), 1);

  // A second table in the same directory uses the same database.
  TVELDORTable& second = Table("others");
  second.Open();
  EXPECT_EQ(second.Database(), temporary);
  EXPECT_EQ(temporary->UseCount(), 2);
  first.Close();
  second.Close();
  // KeepConnections (the default) keeps it open after its last data set closed.
  EXPECT_EQ(DefaultSession().FindDatabase(dir_), temporary);
  EXPECT_TRUE(temporary->Connected());
  EXPECT_EQ(temporary->UseCount(), 0);
  first.Open();
  EXPECT_EQ(first.Database(), temporary);
}

TEST_F(Database, WithoutKeepConnectionsTheTemporaryDatabaseGoesWithItsLastDataSet) {
  MakePeople();
  TVELDORSession s;
  s.SetSessionName("Brief");
  s.SetKeepConnections(false);
  TVELDORTable t;
  t.SetSessionName("Brief");
  t.SetTableName(dir_ + "people");
  t.Open();
  ASSERT_NE(s.FindDatabase(dir_), nullptr);
  EXPECT_FALSE(s.FindDatabase(dir_)->KeepConnection());
  t.Close();
  EXPECT_EQ(s.FindDatabase(dir_), nullptr);
  EXPECT_EQ(s.DatabaseCount(), 0);
  // Directory names are paths here: another spelling in case is another directory.
  std::string upper = dir_;
  for (char& c : upper) c = char(toupper(c));
  t.Close();
  t.SetTableName(upper + "people");
  EXPECT_EQ(EngineCodeOf([&] { t.Open(); }), VELDOR_OSENOENT);
  EXPECT_EQ(s.DatabaseCount(), 0);  // the failed open left no database behind
}

TEST_F(Database, NamedDatabaseComponents) {
  MakePeople();
  TVELDORDatabase db;
  EXPECT_EQ(db.SessionName(), "Default");
  EXPECT_EQ(DatabaseMessageOf([&] { db.Open(); }), "Database name is missing.");
  for (const char* bad : {"1st", "a/b", "/data/", " lead", "-x"})
    EXPECT_EQ(DatabaseMessageOf([&] { db.SetDatabaseName(bad); }), std::string("Database name ") + bad + " is not valid.");
  db.SetDatabaseName("Sales");
  db.SetDirectory(dir_);
  int connects = 0;
  db.BeforeConnect = [&](TVELDORDatabase&) { ++connects; };
  db.Open();
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(db.Handle()->Name(), "Sales");
  EXPECT_EQ(DatabaseMessageOf([&] { db.SetDatabaseName("Other"); }),
            "Cannot perform this operation on an open database.");
  EXPECT_EQ(DatabaseMessageOf([&] { db.SetDirectory("/tmp/"); }),
            "Cannot perform this operation on an open database.");
  EXPECT_EQ(DatabaseMessageOf([&] { db.SetSessionName("Default"); }), "");  // unchanged: nothing to do

  TVELDORDatabase twin;
  twin.SetDatabaseName("SALES");
  EXPECT_EQ(DatabaseMessageOf([&] { twin.Open(); }), "Database name SALES already exists.");
  EXPECT_FALSE(twin.Connected());

  // Tables name it by DatabaseName; closing the database closes them.
  TVELDORTable a, b;
  for (TVELDORTable* t : {&a, &b}) {
    t->SetDatabaseName("sales");
    t->SetTableName("people");
    t->Open();
    EXPECT_EQ(t->Database(), &db);
  }
  EXPECT_EQ(DatabaseMessageOf([&] { a.SetDatabaseName("x"); }), "Cannot perform this operation on an open dataset");
  EXPECT_EQ(db.DataSetCount(), 2);
  db.Close();
  EXPECT_FALSE(a.Active());
  EXPECT_FALSE(b.Active());
  EXPECT_EQ(db.DataSetCount(), 0);
  EXPECT_EQ(a.Database(), nullptr);
  a.Open();
  EXPECT_TRUE(db.Connected());
}

TEST_F(Database, ANamedComponentReplacesAnIdleTemporaryDatabase) {
  MakePeople();
  TVELDORTable t;
  t.SetDatabaseName("Work");
  t.SetTableName("people");
  // No component named Work: a temporary one, whose directory is the name itself.
  EXPECT_EQ(EngineCodeOf([&] { t.Open(); }), VELDOR_OSENOENT);
  TVELDORDatabase work;
  work.SetDatabaseName("Work");
  work.SetDirectory(dir_);
  work.Open();
  t.Open();
  EXPECT_EQ(t.Database(), &work);
}

TEST_F(Database, SharedHandlesOutliveEitherComponent) {
  MakePeople();
  TVELDORDatabase lender, borrower;
  for (TVELDORDatabase* d : {&lender, &borrower}) {
    d->SetDatabaseName("Shared");
    d->SetDirectory(dir_);
    d->SetHandleShared(true);
  }
  lender.Open();
  borrower.Open();
  EXPECT_TRUE(borrower.Borrowed());
  EXPECT_EQ(borrower.Handle(), lender.Handle());
  TDataDirectory* handle = lender.Handle();
  EXPECT_EQ(handle->OpenCount(), 2);

  // A borrower closing leaves the lender open.
  borrower.Close();
  EXPECT_TRUE(lender.Connected());
  EXPECT_EQ(handle->OpenCount(), 1);
  borrower.Open();
  // The lender closing first leaves the borrower's engine database alive and usable.
  lender.Close();
  ASSERT_TRUE(borrower.Connected());
  {
    TDataCursor cursor(borrower.Handle());
    cursor.SetTableName("people");
    cursor.Open();
    EXPECT_EQ(cursor.GetRecordCount(), 5);
  }
  EXPECT_EQ(borrower.Handle()->OpenCount(), 1);
  borrower.Close();
}

TEST_F(Database, TheMemoryDatabase) {
  TVELDORTable t;
  t.SetDatabaseName("memory");
  t.SetTableName("nothing");
  EXPECT_EQ(t.DatabaseName(), "memory");
  EXPECT_FALSE(t.Exists());
  TVELDORDatabase* memory = DefaultSession().FindDatabase("MEMORY");
  ASSERT_NE(memory, nullptr);
  EXPECT_TRUE(memory->Temporary());
  EXPECT_EQ(memory->Directory(), "");
  EXPECT_EQ(memory->Handle()->Path(), "");
}

TEST_F(Database, SessionsOwnTheirDatabases) {
  MakePeople();
  auto s = std::make_unique<TVELDORSession>();
  s->SetSessionName("Short");
  TVELDORDatabase named;
  named.SetSessionName("Short");
  EXPECT_EQ(named.Session(), s.get());
  named.SetDatabaseName("Named");
  named.SetDirectory(dir_);
  named.Open();
  TVELDORTable t;
  t.SetSessionName("Short");
  t.SetTableName(dir_ + "people");
  t.Open();
  EXPECT_EQ(s->DatabaseCount(), 2);
  s.reset();  // its temporary database goes with it; the named one falls back to Default
  EXPECT_FALSE(t.Active());
  EXPECT_FALSE(named.Connected());
  EXPECT_EQ(named.SessionName(), "");
  EXPECT_EQ(named.Session(), &DefaultSession());
  EXPECT_EQ(DatabaseMessageOf([&] { t.Open(); }), "Session name Short is not valid.");
}

}  // namespace
}  // namespace veldor::test
