#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/errors.h"

namespace veldor {
namespace {

EVELDOREngineError Raise(uint16_t code, const std::string& server, const std::string& user,
                         const std::string& database, const std::string& table,
                         const std::string& field, const std::string& index,
                         const std::string& message) {
  try {
    RaiseEngineError(code, server, user, database, table, field, index, message);
  } catch (const EVELDOREngineError& e) {
    return e;
  }
  ADD_FAILURE() << "RaiseEngineError returned";
  return EVELDOREngineError(code);
}

struct MessageCase {
  uint16_t code;
  const char* server;
  const char* user;
  const char* database;
  const char* table;
  const char* field;
  const char* index;
  const char* message;
  const char* expected;
};

TEST(EngineErrorMessages, TemplatesFilledFromTheirSlots) {
  const MessageCase cases[] = {
      {VELDOR_OSENOENT, "", "", "", "customer", "", "", "",
       "VELDOR Engine Error # 11010 Table 'customer' does not exist"},
      {VELDOR_KEYVIOL, "", "", "", "customer", "", "ByName", "",
       "VELDOR Engine Error # 9729 Duplicate key found in the index 'ByName' of the table "
       "'customer'"},
      {VELDOR_REMOTENOTAUTH, "db1", "ann", "sales", "t", "f", "i", "m",
       "VELDOR Engine Error # 11288 The user 'ann' is not authorized to perform this operation "
       "with the database 'sales' on the database server at 'db1'"},
      {VELDOR_REMOTEUNKNOWN, "db1", "", "", "", "", "", "boom",
       "VELDOR Engine Error # 11279 An unknown error ('boom') occurred with the connection to "
       "the database server at 'db1', please check the server log"},
      {VELDOR_OSUNKNOWN, "s", "u", "d", "orders", "f", "i", "m",
       "VELDOR Engine Error # 11047 An unknown operating system error occurred with the table "
       "'orders'"},
      {VELDOR_INVALIDIDXDESC, "", "", "", "parts", "7", "ByCode", "",
       "VELDOR Engine Error # 10023 Invalid field number '7' specified in the index 'ByCode' "
       "for the table 'parts'"},
      {VELDOR_INVALIDFILTER, "", "", "", "parts", "", "", "Expression expected",
       "VELDOR Engine Error # 10051 Filter error for the table 'parts' - Expression expected"},
      {VELDOR_MINVALERR, "", "", "", "parts", "Qty", "", "",
       "VELDOR Engine Error # 9730 The value for the field 'Qty' in the table 'parts' is below "
       "the minimum allowable value"},
      {VELDOR_SQLPARSE, "", "", "", "", "", "", "Table name expected",
       "VELDOR Engine Error # 11949 SQL error - Table name expected"},
      // Templates without "%s" ignore the context.
      {VELDOR_OSENOMEM, "s", "u", "d", "t", "f", "i", "m",
       "VELDOR Engine Error # 11016 There is insufficient operating system memory available "
       "for the current operation"},
      {VELDOR_NOTINITIALIZED, "s", "u", "d", "t", "f", "i", "m",
       "VELDOR Engine Error # 10758 The database engine is not initialized"},
      {VELDOR_REMOTEINVUSER, "s", "u", "d", "t", "f", "i", "m",
       "VELDOR Engine Error # 11290 The user name is either invalid or blank"},
      {VELDOR_REMOTEINVDB, "s", "u", "d", "t", "f", "i", "m",
       "VELDOR Engine Error # 11293 The database name or directory is either invalid or blank"},
      {VELDOR_REMOTEINVDBUSER, "s", "u", "d", "t", "f", "i", "m",
       "VELDOR Engine Error # 11296 The database user name is either invalid or blank"},
      {VELDOR_COMPRESS, "s", "u", "d", "t", "f", "i", "m",
       "VELDOR Engine Error # 15001 Error compressing data"},
      {VELDOR_UNCOMPRESS, "s", "u", "d", "t", "f", "i", "m",
       "VELDOR Engine Error # 15002 Error uncompressing data"},
      // "%" inside a context string is inserted unchanged.
      {VELDOR_OSEACCES, "", "", "", "100%s %d done", "", "", "",
       "VELDOR Engine Error # 11013 Access denied to table '100%s %d done'"},
      // The callback code and unknown codes.
      {VELDOR_REMOTECALLBACK, "", "", "", "t", "", "", "",
       "VELDOR Engine Error # 11284 An unknown error occurred"},
      {12345, "", "", "", "t", "", "", "", "VELDOR Engine Error # 12345 An unknown error occurred"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EVELDOREngineError e =
        Raise(c.code, c.server, c.user, c.database, c.table, c.field, c.index, c.message);
    EXPECT_EQ(e.Message, c.expected);
    EXPECT_STREQ(e.what(), c.expected);
    EXPECT_EQ(e.ErrorCode, c.code);
    EXPECT_EQ(GetLastEngineErrorCode(), c.code);
  }
}

TEST(EngineErrorMessages, PropertiesCopyTheSevenSlots) {
  EVELDOREngineError e = Raise(VELDOR_KEYVIOL, "srv", "usr", "db", "tbl", "fld", "idx", "msg");
  EXPECT_EQ(e.ErrorServerName, "srv");
  EXPECT_EQ(e.ErrorUserName, "usr");
  EXPECT_EQ(e.ErrorDatabaseName, "db");
  EXPECT_EQ(e.ErrorTableName, "tbl");
  EXPECT_EQ(e.ErrorFieldName, "fld");
  EXPECT_EQ(e.ErrorIndexName, "idx");
  EXPECT_EQ(e.ErrorMessage, "msg");
  for (int slot = 0; slot < 7; ++slot) EXPECT_FALSE(GetEngineErrorContext(slot).empty());
  EXPECT_EQ(GetEngineErrorContext(-1), "");
  EXPECT_EQ(GetEngineErrorContext(7), "");
  // A new raise clears every slot the previous one set.
  Raise(VELDOR_OSENOENT, "", "", "", "t", "", "", "");
  EXPECT_EQ(GetEngineErrorContext(kIndex), "");
  EXPECT_EQ(GetEngineErrorContext(kTable), "t");
}

TEST(EngineErrorMessages, LongTextsAreCut) {
  std::string longName(400, 'x');
  EVELDOREngineError e = Raise(VELDOR_OSENOENT, "", "", "", longName, "", "", "");
  EXPECT_EQ(e.ErrorTableName.size(), 255u);
  std::string text = GetEngineErrorMessage(VELDOR_OSENOENT);
  EXPECT_EQ(text.size(), 254u);
  EXPECT_EQ(text.substr(0, 7), "Table '");
  EXPECT_EQ(e.Message, "VELDOR Engine Error # 11010 " + text);
}

TEST(EngineErrorNames, KnownAndUnknownCodes) {
  EXPECT_EQ(GetEngineErrorName(0), "VELDOR_NONE");
  EXPECT_EQ(GetEngineErrorName(9729), "VELDOR_KEYVIOL");
  EXPECT_EQ(GetEngineErrorName(15878), "VELDOR_CANNOTLOADLDDRV");
  EXPECT_EQ(GetEngineErrorName(11284), "VELDOR_REMOTECALLBACK");
  EXPECT_EQ(GetEngineErrorName(1), "");
  EXPECT_EQ(GetEngineErrorName(65535), "");
}

TEST(CheckEngineResult, ZeroIsSilentOtherCodesRaiseFromContext) {
  EXPECT_NO_THROW(CheckEngineResult(0));
  Raise(VELDOR_TABLEEXISTS, "", "", "", "books", "", "", "");
  try {
    CheckEngineResult(VELDOR_TABLEEXISTS);
    FAIL() << "no exception";
  } catch (const EDatabaseError& e) {  // engine errors are database errors
    EXPECT_STREQ(e.what(), "VELDOR Engine Error # 13060 The table 'books' already exists");
  }
}

TEST(EngineErrorContext, ConcurrentRaisesKeepTheirOwnContext) {
  constexpr int kThreads = 4;
  constexpr int kRaises = 2000;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatches] {
      std::string table = "table" + std::to_string(t);
      std::string index = "index" + std::to_string(t);
      for (int i = 0; i < kRaises; ++i) {
        try {
          RaiseEngineError(VELDOR_KEYVIOL, "", "", "", table, "", index, "");
        } catch (const EVELDOREngineError& e) {
          std::string expected = "VELDOR Engine Error # 9729 Duplicate key found in the index '" +
                                 index + "' of the table '" + table + "'";
          if (e.Message != expected || e.ErrorTableName != table || e.ErrorIndexName != index)
            ++mismatches;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(ComponentMessages, FillTheirArgument) {
  EXPECT_EQ(FormatComponentMessage(SSessionNameInvalid, "Main"), "Session name Main is not valid.");
  EXPECT_EQ(FormatComponentMessage(SFieldNotFound, "Qty"), "Field 'Qty' not found");
  EXPECT_EQ(FormatComponentMessage(SNoSQLStatement, "x"), "No SQL statement available");
}

}  // namespace
}  // namespace veldor
