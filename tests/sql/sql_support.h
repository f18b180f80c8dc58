// Shared by the SQL parser tests: a one-line printed form of a parsed query and a parse
// driver that checks the node pool's accounting on every path.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../expression/expression_support.h"
#include "sql/statement_parser.h"

namespace veldor::test {

// The comparisons of a condition in prefix order, as their join sides (0 for WHERE).
inline std::string JoinSides(const TExpToken* root) {
  std::string out;
  std::vector<const TExpToken*> pending;
  if (root) pending.push_back(root);
  while (!pending.empty()) {
    const TExpToken* n = pending.back();
    pending.pop_back();
    if (n->Kind == kTokenBinary && n->Code >= kOpEqual && n->Code <= kOpLessOrEqual)
      out += std::to_string(n->JoinSide);
    for (const TExpToken* link : {n->Third, n->Right, n->Left})
      if (link) pending.push_back(link);
  }
  return out;
}

inline std::string Flag(bool on, const char* name) { return on ? std::string(" ") + name : std::string(); }

// The kind, then each filled part in a fixed order. Tables print as
// number:[database]name[@mem]=correlation (with "!" when an alias named it); result
// columns as (text>result name; correlation.source; marks); names as [corr.]name or #n.
inline std::string Describe(const TDataQuery& q) {
  static const char* kinds[] = {"?", "SELECT", "INSERT", "UPDATE", "DELETE", "CREATE TABLE",
                                "ALTER TABLE", "DROP TABLE", "CREATE INDEX", "DROP INDEX"};
  std::string out = q.StatementKind <= 9 ? kinds[q.StatementKind] : "?";
  out += Flag(q.IsSubQuery, "SUB") + Flag(q.Distinct, "DISTINCT");
  for (const auto& c : q.ResultColumns) {
    out += " (" + c->ExpressionText + ">" + c->ResultName + ";";
    if (!c->SourceColumnName.empty())
      out += (c->SourceCorrelation.empty() ? "" : c->SourceCorrelation + ".") + c->SourceColumnName;
    out += Flag(c->IsExpression, "expr") + Flag(c->NameFromAlias == 0, "alias");
    if (c->AggregateKind) out += " agg" + std::to_string(c->AggregateKind);
    out += ")";
  }
  if (!q.TableName.empty() || q.InMemory)
    out += " target=" + std::string(q.InMemory ? "MEMORY:" : "") + q.DatabaseName + q.TableName;
  for (const auto& t : q.SourceTables) {
    out += " " + std::to_string(t->TableNumber) + ":" + t->DatabaseName + t->TableName + (t->InMemory ? "@mem" : "") +
           "=" + t->CorrelationName + (t->AliasGiven ? "!" : "");
  }
  for (size_t i = 0; i < q.UpdateFields.size(); ++i) {
    const auto& f = *q.UpdateFields[i];
    out += " set " + (f.CorrelationName.empty() ? "" : f.CorrelationName + ".") + f.ColumnName;
    if (i < q.UpdateValues.size()) out += "<-" + q.UpdateValues[i]->ExpressionText;
  }
  for (size_t i = q.UpdateFields.size(); i < q.UpdateValues.size(); ++i)
    out += " value " + q.UpdateValues[i]->ExpressionText;
  for (const auto& f : q.CreateFields) {
    out += " col(" + f->ExpressionText + ":" + f->ColumnName;
    if (!f->NewColumnName.empty()) out += ">" + f->NewColumnName;
    if (f->Expression && f->Expression->DataType) {
      out += " t" + std::to_string(f->Expression->DataType);
      if (f->Expression->SubType) out += "/" + std::to_string(f->Expression->SubType);
      for (const TExpToken* a = f->Expression->Right; a; a = a->Right) out += " " + Show(a, true);
    }
    if (f->NewExpression && f->NewExpression->DataType) out += " new t" + std::to_string(f->NewExpression->DataType);
    out += Flag(f->IsAdd, "ADD") + Flag(f->IsRedefine, "REDEFINE") + Flag(f->IsDrop, "DROP");
    if (f->Position) out += " at=" + std::to_string(f->Position);
    if (f->DescriptionGiven) out += " desc=" + f->Description;
    out += Flag(f->NotNullGiven, f->NotNull ? "NOTNULL" : "NULL?");
    if (f->DefaultGiven) out += " default=" + f->DefaultText;
    if (f->MinimumGiven) out += " min=" + f->MinimumText;
    if (f->MaximumGiven) out += " max=" + f->MaximumText;
    if (f->CharCaseGiven) out += " case=" + std::to_string(f->CharCase);
    out += ")";
  }
  for (const auto& i : q.CreateIndexes) {
    out += " index(" + i->IndexName + ":";
    for (size_t k = 0; k < i->ColumnNames.size(); ++k) out += (k ? "," : "") + i->ColumnNames[k];
    int chained = 0;
    for (const TExpToken* c = i->Columns.Get(); c; c = c->Right) ++chained;
    if (chained != int(i->ColumnNames.size())) out += " CHAIN" + std::to_string(chained);
    out += Flag(i->Unique, "UNIQUE") + Flag(i->Descending, "DESC") + Flag(i->NoCase, "NOCASE") +
           Flag(i->IsAdd, "ADD") + Flag(i->IsRedefine, "REDEFINE") + Flag(i->IsDrop, "DROP");
    if (i->Compression) out += " compress=" + std::to_string(i->Compression);
    out += ")";
  }
  if (!q.IndexName.empty()) out += " indexname=" + q.IndexName;
  out += Flag(q.IfExists, "IFEXISTS") + Flag(q.IfNotExists, "IFNOTEXISTS") + Flag(q.NoBackup, "NOBACKUP");
  if (q.DescriptionGiven) out += " tdesc=" + q.TableDescription;
  if (q.BlobBlockSizeGiven) out += " blob=" + std::to_string(q.BlobBlockSize);
  if (q.UserMajorVersionGiven) out += " major=" + std::to_string(q.UserMajorVersion);
  if (q.UserMinorVersionGiven) out += " minor=" + std::to_string(q.UserMinorVersion);
  if (q.LastAutoIncGiven) out += " lastautoinc=" + std::to_string(q.LastAutoInc);
  if (q.Condition) out += " where" + Flag(q.HasCondition, "+") + " " + Show(q.Condition.Get()) + " sides=" + JoinSides(q.Condition.Get());
  out += Flag(q.MultiTable, "MULTI");
  for (const auto& g : q.GroupByColumns)
    out += " group " + (g->ColumnName.empty() ? "#" + std::to_string(g->ColumnNumber)
                                               : (g->CorrelationName.empty() ? "" : g->CorrelationName + ".") + g->ColumnName);
  if (q.HavingCondition) out += " having " + Show(q.HavingCondition.Get());
  for (const auto& o : q.OrderByColumns)
    out += " order " +
           (o->ColumnName.empty() ? "#" + std::to_string(o->ColumnNumber)
                                  : (o->CorrelationName.empty() ? "" : o->CorrelationName + ".") + o->ColumnName) +
           (o->Descending ? " DESC" : "");
  out += Flag(q.HasGroupBy, "HASGROUP") + Flag(q.HasHaving, "HASHAVING") + Flag(q.HasOrderBy, "HASORDER") +
         Flag(q.OrderByNoCase, "NOCASE") + Flag(q.WithLocks, "LOCKS") + Flag(q.NoJoinOptimize, "NOJOINOPT") +
         Flag(q.NoAutoInc, "NOAUTOINC") + Flag(q.HasAverages, "AVG");
  if (q.TopCount) out += " top=" + std::to_string(q.TopCount);
  if (q.UnionKind) out += " unionkind=" + std::to_string(q.UnionKind);
  if (q.LanguageGiven) out += " lang=" + std::to_string(q.LanguageCode);
  if (q.SortGiven) out += " sort=" + std::to_string(q.SortCode);
  if (q.EncryptionGiven) out += " enc=" + q.EncryptionPassword + Flag(q.Encrypted, "on");
  if (q.CommitIntervalGiven) out += " interval=" + std::to_string(q.CommitInterval);
  out += Flag(q.CommitFlush, "FLUSH");
  return out;
}

struct TStatementResult {
  std::vector<std::string> Queries;  // Describe() of every query, in order of creation
  std::string Message;               // the error's message slot, "" when the parse succeeded
  std::string Full;                  // the whole engine message
  uint16_t Code = 0;
  std::string Rest;                  // the token the parse stopped at ("" at the end)
};

// Prepares `text` with a fresh parser. Every node must be back in the pool once the
// parser is gone, whatever happened.
inline TStatementResult ParseSql(const std::string& text) {
  TStatementResult result;
  const long before = Outstanding();
  {
    TStatementParser parser;
    try {
      parser.Prepare(text);
      for (const auto& q : parser.AllQueries()) result.Queries.push_back(Describe(*q));
      result.Rest = parser.Parser.TokenText();
    } catch (const EVELDOREngineError& e) {
      result.Message = e.ErrorMessage;
      result.Full = e.Message;
      result.Code = e.ErrorCode;
    }
  }
  EXPECT_EQ(Outstanding(), before) << "nodes lost parsing: " << text;
  return result;
}

}  // namespace veldor::test
