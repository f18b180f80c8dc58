// Join planning and the walk over joined rows.
//
// Planning splits the checked WHERE and ON conditions at their top-level ANDs: a
// comparison between columns of two tables joins them (the outer table's `TTableJoin` for
// the inner one), a part that names one table is that table's condition (pushed down to
// its cursor as a filter when the query runs), anything else is residual and judged on
// each joined row. The walk is a nested loop in join order: for each row of an outer table
// the inner table's join filter is rebuilt with the outer values as constants, so the
// inner cursor's filter optimizer reaches the matching rows through an index when one
// serves the column.
#include <algorithm>
#include <set>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "sql/select.h"

namespace veldor {
namespace {

bool IsAnd(const TExpToken* n) { return n != nullptr && n->Kind == kTokenBinary && n->Code == kOpAnd; }

// What a subtree refers to: its tables, whether it holds a sub-select, and the join side
// marked on its comparisons (0 when it came from WHERE).
struct TReferences {
  std::set<TSourceTable*> Tables;
  bool SubSelect = false;
  uint8_t JoinSide = 0;
};

TReferences ReferencesOf(const TExpToken* root) {
  TReferences refs;
  std::vector<const TExpToken*> pending;
  if (root != nullptr) pending.push_back(root);
  while (!pending.empty()) {
    const TExpToken* n = pending.back();
    pending.pop_back();
    if (n->Kind == kTokenColumn && n->SourceTable != nullptr) refs.Tables.insert(static_cast<TSourceTable*>(n->SourceTable));
    if (n->Kind == kTokenSubSelect) refs.SubSelect = true;
    if (IsComparisonNode(n) && n->JoinSide != 0) refs.JoinSide = n->JoinSide;
    for (const TExpToken* link : {n->Left, n->Right, n->Third})
      if (link != nullptr) pending.push_back(link);
  }
  return refs;
}

// Detaches the top-level AND operands of `root` (which it frees) in their order.
std::vector<TTokenTree> SplitConjuncts(TTokenTree root) {
  std::vector<TTokenTree> parts;
  std::vector<TExpToken*> pending;
  if (root) pending.push_back(root.Release());
  while (!pending.empty()) {
    TExpToken* n = pending.back();
    pending.pop_back();
    if (IsAnd(n)) {
      if (n->Right != nullptr) pending.push_back(n->Right);
      if (n->Left != nullptr) pending.push_back(n->Left);
      n->Left = n->Right = nullptr;
      ReleaseToken(n);
      continue;
    }
    n->Parent = nullptr;
    parts.emplace_back(n);
  }
  return parts;
}

// `tree` AND `part` (either may be empty).
TTokenTree AndOf(TTokenTree tree, TTokenTree part) {
  if (!tree) return part;
  if (!part) return tree;
  TTokenTree node = TTokenTree::New();
  node->Kind = kTokenBinary;
  node->Code = kOpAnd;
  node->Text = "AND";
  node->DataType = FIELD_BOOLEAN;
  node->DataSize = 2;
  tree->Parent = node.Get();
  part->Parent = node.Get();
  node->Left = tree.Release();
  node->Right = part.Release();
  return node;
}

// Swaps the operands of every comparison under AND and OR nodes and mirrors the operators.
void TurnAround(TExpToken* root) {
  std::vector<TExpToken*> pending{root};
  while (!pending.empty()) {
    TExpToken* n = pending.back();
    pending.pop_back();
    if (n == nullptr) continue;
    if (IsComparisonNode(n)) {
      std::swap(n->Left, n->Right);
      n->Code = MirroredComparison(n->Code);
    } else if (n->Kind == kTokenBinary && (n->Code == kOpAnd || n->Code == kOpOr)) {
      pending.push_back(n->Left);
      pending.push_back(n->Right);
    }
  }
}

TTokenTree Evaluate(TDataQuery& query, const TExpToken* tree) {
  return EvaluateExpression(tree, nullptr, &query, query.Sort, query.Language, SourceFetcher(), &SubSelectAnswers());
}

// Whether a condition holds for the current joined row.
bool Holds(TDataQuery& query, const TExpToken* condition) { return IsTrueValue(Evaluate(query, condition).Get()); }

// Puts the tables in an order where every join's outer table comes before its inner
// table, lowest JoinOrder first among those free to go, and numbers them so.
void OrderTables(TDataQuery& query) {
  std::vector<std::unique_ptr<TSourceTable>> rest = std::move(query.SourceTables);
  query.SourceTables.clear();
  std::set<const TSourceTable*> placed;
  while (!rest.empty()) {
    size_t best = rest.size();
    for (size_t i = 0; i < rest.size(); ++i) {
      const TSourceTable& t = *rest[i];
      if (t.JoinedBy != nullptr && placed.count(t.JoinedBy->Outer) == 0) continue;
      if (best == rest.size() || t.JoinOrder < rest[best]->JoinOrder) best = i;
    }
    if (best == rest.size()) FailSql("Internal join optimization error");
    placed.insert(rest[best].get());
    query.SourceTables.push_back(std::move(rest[best]));
    rest.erase(rest.begin() + std::ptrdiff_t(best));
  }
  for (size_t i = 0; i < query.SourceTables.size(); ++i) query.SourceTables[i]->JoinOrder = uint16_t(i + 1);
}

// Adds a join condition (left operand on `left`'s table, right on `right`'s).
void AddJoinCondition(TTokenTree condition, TSourceTable* left, TSourceTable* right, bool outer) {
  auto joinOf = [](TSourceTable* from, TSourceTable* to) -> TTableJoin* {
    for (auto& j : from->Joins)
      if (j->Inner == to) return j.get();
    return nullptr;
  };
  TTableJoin* join = joinOf(left, right);
  if (join == nullptr) join = joinOf(right, left);
  if (join == nullptr) {
    TSourceTable* o = left->JoinOrder <= right->JoinOrder ? left : right;
    TSourceTable* i = o == left ? right : left;
    if (!outer && i->JoinedBy != nullptr && o->JoinedBy == nullptr) std::swap(o, i);
    if (i->JoinedBy != nullptr)
      FailSql("Internal join error - table correlation name \"" + i->CorrelationName + "\"" +
              " is target of multiple " + "join conditions in WHERE or JOIN clause");
    auto made = std::make_unique<TTableJoin>();
    made->Outer = o;
    made->Inner = i;
    made->JoinKind = 1;
    join = made.get();
    o->Joins.push_back(std::move(made));
    i->JoinedBy = join;
    if (i->JoinOrder <= o->JoinOrder) i->JoinOrder = uint16_t(o->JoinOrder + 1);
  }
  if (outer) join->JoinKind = 2;
  if (left != join->Inner) TurnAround(condition.Get());
  join->Condition = AndOf(std::move(join->Condition), std::move(condition));
}

// The preserved table of a left outer join that `table` is the outer table of, if any.
TTableJoin* LeftJoinFrom(TSourceTable* table) {
  for (auto& j : table->Joins)
    if (j->JoinKind == 2) return j.get();
  return nullptr;
}

void SortJoinConditions(TDataQuery& query) {
  // Conditions that name one table, or none, stay in Condition; the rest is residual.
  std::vector<TTokenTree> parts = SplitConjuncts(std::move(query.Condition));
  std::vector<TTokenTree> single;
  for (TTokenTree& part : parts) {
    const TReferences refs = ReferencesOf(part.Get());
    if (IsComparisonNode(part.Get()) && !refs.SubSelect) {
      const TReferences left = ReferencesOf(part->Left);
      const TReferences right = ReferencesOf(part->Right);
      if (left.Tables.size() > 1 || right.Tables.size() > 1)
        FailSql("The join condition cannot contain multiple table correlation names in either the left or right "
                "operand in WHERE or JOIN clause");
      if (left.Tables.size() == 1 && right.Tables.size() == 1 && *left.Tables.begin() != *right.Tables.begin()) {
        AddJoinCondition(std::move(part), *left.Tables.begin(), *right.Tables.begin(),
                         part->JoinSide == kJoinSideLeft || part->JoinSide == kJoinSideRight);
        continue;
      }
    }
    if (refs.Tables.size() == 1 && !refs.SubSelect) {
      single.push_back(std::move(part));
      continue;
    }
    query.ResidualCondition = AndOf(std::move(query.ResidualCondition), std::move(part));
  }
  for (TTokenTree& part : single) {
    const TReferences refs = ReferencesOf(part.Get());
    TSourceTable* table = *refs.Tables.begin();
    // An ON condition on the preserved table of a left join decides which of its rows find
    // matches; it does not remove rows.
    if (refs.JoinSide != 0 && (table->JoinedBy == nullptr || table->JoinedBy->JoinKind != 2)) {
      if (TTableJoin* join = LeftJoinFrom(table)) {
        join->OuterCondition = AndOf(std::move(join->OuterCondition), std::move(part));
        continue;
      }
    }
    // A WHERE condition on the inner table of a left join judges the joined rows, NULL rows
    // included (WHERE x IS NULL keeps the rows without a match); as a filter on the table it
    // would remove matches instead and let their NULL rows through.
    if (refs.JoinSide == 0 && table->JoinedBy != nullptr && table->JoinedBy->JoinKind == 2) {
      query.ResidualCondition = AndOf(std::move(query.ResidualCondition), std::move(part));
      continue;
    }
    query.Condition = AndOf(std::move(query.Condition), std::move(part));
  }
}

// The prepared form of a single-table condition for its table's cursor.
TTokenTree PrepareFor(TDataQuery& query, TSourceTable& table, const TExpToken* condition) {
  TDataTable& t = *table.Cursor->Table();
  return PrepareExpression(condition, &query, true, false, uint16_t(t.Language()), t.SortId(), SourceFetcher());
}

TFilter* InstallFilter(TSourceTable& table, TTokenTree prepared, bool onlyIfServed) {
  TDataCursor& cursor = *table.Cursor;
  TFilter* filter = cursor.AddFilter(nullptr, nullptr, true, false, false, false, nullptr, true, prepared.Release());
  if (onlyIfServed && filter->OptimizeLevel == kOptimizeNone) {
    cursor.DropFilter(filter);
    return nullptr;
  }
  cursor.ActivateFilter(filter);
  table.PushedFilters.push_back(filter);
  return filter;
}

// Rebuilds the inner table's filter of `join` from the outer table's current row. False
// when the row's ON conditions rule out every match.
bool RebuildJoinFilter(TDataQuery& query, TTableJoin& join) {
  if (join.OuterCondition && !Holds(query, join.OuterCondition.Get())) return false;
  TTokenTree tree = CopyTokenTree(join.Condition.Get());
  std::vector<TExpToken*> pending{tree.Get()};
  while (!pending.empty()) {
    TExpToken* n = pending.back();
    pending.pop_back();
    if (n == nullptr) continue;
    if (IsComparisonNode(n)) {
      TTokenTree value = Evaluate(query, n->Right);
      value->Kind = kTokenConstant;
      value->Parent = n;
      FreeTokenTree(n->Right);
      n->Right = value.Release();
    } else if (n->Kind == kTokenBinary && (n->Code == kOpAnd || n->Code == kOpOr)) {
      pending.push_back(n->Left);
      pending.push_back(n->Right);
    }
  }
  TTokenTree prepared = PrepareFor(query, *join.Inner, tree.Get());
  TDataCursor& cursor = *join.Inner->Cursor;
  if (join.Filter == nullptr)
    join.Filter = InstallFilter(*join.Inner, std::move(prepared), false);
  else
    cursor.SetFilterExpression(prepared.Release(), join.Filter);
  return true;
}

}  // namespace

void PlanJoins(TDataQuery& query) {
  if (query.Condition) SortJoinConditions(query);
  OrderTables(query);
}

void ClearRunState(TDataQuery& query) {
  for (auto& table : query.SourceTables) {
    if (table->Cursor && table->Cursor->IsOpen() && table->Cursor->FilterCount() > 0) table->Cursor->DropFilter(nullptr);
    table->PushedFilters.clear();
    for (auto& join : table->Joins) join->Filter = nullptr;
    table->NullRow = 0;
    table->AtEnd = 0;
  }
  query.UnindexedCondition.Reset();
  query.PushedConditions.clear();
}

void PushConditions(TDataQuery& query, int pass) {
  if (!query.Condition) return;
  // One filter per table, over all of its conditions: the optimizer serves what an index
  // can and judges the rest only on what the indexes left.
  for (auto& table : query.SourceTables) {
    if (std::find(query.PushedConditions.begin(), query.PushedConditions.end(), table.get()) !=
        query.PushedConditions.end())
      continue;
    TTokenTree mine;
    std::vector<TExpToken*> walk{query.Condition.Get()};
    std::vector<TExpToken*> own;
    while (!walk.empty()) {
      TExpToken* n = walk.back();
      walk.pop_back();
      if (IsAnd(n)) {
        walk.push_back(n->Right);
        walk.push_back(n->Left);
        continue;
      }
      if (ReferencesOf(n).Tables.count(table.get()) != 0) own.push_back(n);
    }
    if (own.empty()) continue;
    // A lone condition is prepared from where it stands; several are joined by AND first.
    if (own.size() > 1)
      for (TExpToken* n : own) mine = AndOf(std::move(mine), CopyTokenTree(n));
    const TExpToken* condition = own.size() > 1 ? mine.Get() : own.front();
    const bool only = query.SourceTables.size() == 1;
    const bool innerTarget = table->JoinedBy != nullptr && table->JoinedBy->JoinKind == 1;
    if (pass == 1) {
      if (InstallFilter(*table, PrepareFor(query, *table, condition), true) == nullptr) continue;
    } else if (only || !innerTarget) {
      InstallFilter(*table, PrepareFor(query, *table, condition), false);
    } else {
      query.UnindexedCondition = AndOf(std::move(query.UnindexedCondition),
                                       own.size() > 1 ? std::move(mine) : CopyTokenTree(condition));
    }
    query.PushedConditions.push_back(table.get());
  }
}

void ReorderJoins(TDataQuery& query) {
  if (query.NoJoinOptimize || query.SourceTables.size() < 2) return;
  TSourceTable* driving = query.SourceTables.front().get();
  TSourceTable* best = nullptr;
  int64_t bestCount = driving->Cursor->GetRecordCount();
  for (auto& table : query.SourceTables) {
    TSourceTable* t = table.get();
    if (t == driving || t->IsTarget || t->JoinedBy == nullptr || t->JoinedBy->JoinKind != 1) continue;
    // The table an UPDATE or DELETE changes, and the tables joined to it, never drive.
    if (t->JoinedBy->Outer->IsTarget ||
        std::any_of(t->Joins.begin(), t->Joins.end(), [](const auto& j) { return j->Inner->IsTarget != 0; }))
      continue;
    const TSourceTable* x = t;
    bool inner = true;
    while (x->JoinedBy != nullptr && inner) {
      inner = x->JoinedBy->JoinKind == 1;
      x = x->JoinedBy->Outer;
    }
    if (!inner || x != driving) continue;
    const int64_t count = t->Cursor->GetRecordCount();
    if (count < bestCount) {
      best = t;
      bestCount = count;
    }
  }
  if (best == nullptr) return;
  // Turn every join on the path from the driving table to `best` around.
  std::vector<TTableJoin*> path;
  for (TSourceTable* x = best; x->JoinedBy != nullptr; x = x->JoinedBy->Outer) path.push_back(x->JoinedBy);
  for (TTableJoin* join : path) {
    TSourceTable* oldOuter = join->Outer;
    TSourceTable* oldInner = join->Inner;
    auto at = std::find_if(oldOuter->Joins.begin(), oldOuter->Joins.end(),
                           [&](const auto& j) { return j.get() == join; });
    if (at == oldOuter->Joins.end()) FailSql("Internal join optimization error");
    std::unique_ptr<TTableJoin> owned = std::move(*at);
    oldOuter->Joins.erase(at);
    join->Outer = oldInner;
    join->Inner = oldOuter;
    TurnAround(join->Condition.Get());
    oldInner->Joins.push_back(std::move(owned));
  }
  best->JoinedBy = nullptr;
  for (TTableJoin* join : path) join->Inner->JoinedBy = join;
  best->JoinOrder = 0;
  OrderTables(query);
}

void WalkJoinedRows(TDataQuery& query, const std::function<bool()>& row, TStatementProgress& progress) {
  const size_t n = query.SourceTables.size();
  const int64_t total = query.SourceTables.front()->Cursor->GetRecordCount();
  int64_t visited = 0;
  std::function<bool(size_t)> walk = [&](size_t level) -> bool {
    if (level == n) {
      if (query.ResidualCondition && !Holds(query, query.ResidualCondition.Get())) return true;
      if (query.UnindexedCondition && !Holds(query, query.UnindexedCondition.Get())) return true;
      return row();
    }
    TSourceTable& table = *query.SourceTables[level];
    TDataCursor& cursor = *table.Cursor;
    if (!progress.Poll()) return false;
    const bool viable = table.JoinedBy == nullptr || RebuildJoinFilter(query, *table.JoinedBy);
    bool matched = false;
    if (viable) {
      cursor.SetToBegin();
      while (cursor.GetNextRecord(table.RecordBuffer.data()) == 0) {
        matched = true;
        // A stop is answered at every row of every table: a driving row can stand for a
        // long walk of the tables joined to it.
        if (!progress.Poll()) return false;
        if (level == 0 && total > 0 && !progress(int(++visited * 100 / total))) return false;
        if (!walk(level + 1)) return false;
      }
    }
    table.AtEnd = 1;
    if (!matched && table.JoinedBy != nullptr && table.JoinedBy->JoinKind == 2) {
      table.NullRow = 1;
      const bool go = walk(level + 1);
      table.NullRow = 0;
      if (!go) return false;
    }
    return true;
  };
  walk(0);
}

}  // namespace veldor
