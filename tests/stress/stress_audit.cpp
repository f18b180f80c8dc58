#include "tests/stress/stress_audit.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "engine/errors.h"

namespace veldor::stress {
namespace {

constexpr size_t kExamples = 6;

bool Transactional(const std::string& kind) { return kind == "transfer" || kind == "spawn" || kind == "merge"; }

int64_t OpeningValue(int32_t id) { return IsAccountId(id) ? kOpeningBalance : 0; }

}  // namespace

std::string CodeText(int code) {
  if (code == kMissingRecord) return "record not found";
  if (code == kNotReadLocked) return "read lock not held after ReadLock";
  std::string name = GetEngineErrorName(uint16_t(code));
  return (name.empty() ? "code" : name) + " (" + std::to_string(code) + ")";
}

bool TAudit::Refused(const TOp& op) {
  if (op.Cramped && op.Code == VELDOR_WRITEERR) return true;
  if (Transactional(op.Kind)) return op.Code == VELDOR_LOCKTIMEOUT || op.Code == VELDOR_RECLOCKFAILED;
  return ContentionCode(op.Code);
}

void TAudit::Problem(const std::string& check, const std::string& text) {
  TFinding& f = Findings_[check];
  ++f.Count;
  for (auto& example : f.Examples)
    if (example.first == text) {
      ++example.second;
      return;
    }
  if (f.Examples.size() < kExamples) f.Examples.emplace_back(text, 1);
}

std::string TAudit::Describe(int32_t id, const TOp& op) const {
  std::ostringstream out;
  out << op.Kind << ' ' << id << " (" << op.Worker << ": ";
  if (op.Kind == "transfer")
    out << "account " << op.A << " -> " << op.B << ", amount " << op.C;
  else if (op.Kind == "spawn")
    out << "account " << op.A << " -> new pocket " << op.B << ", amount " << op.C;
  else if (op.Kind == "merge")
    out << "pocket " << op.A << " -> account " << op.B << ", amount " << op.C;
  else if (op.Kind == "append" || op.Kind == "delete")
    out << "spare " << op.A;
  else if (op.Kind == "edit")
    out << "account " << op.A;
  out << "; ";
  if (op.Outcome == kOk)
    out << "reported OK";
  else if (op.Outcome == kFailed)
    out << "reported failed at " << op.Stage << " with " << CodeText(op.Code);
  else if (!op.DiedAt.empty())
    out << "no outcome: its process killed itself at " << op.DiedAt;
  else
    out << "no outcome: its process was killed";
  out << ')';
  return out.str();
}

void TAudit::ReadLog(const std::string& path, const std::string& worker, bool crampedWriter) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    char tag = 0;
    s >> tag;
    bool parsed = true;
    if (tag == 'B' || tag == 'F') {
      int32_t id = 0;
      TOp op;
      s >> id >> op.Kind;
      if (tag == 'F') {
        s >> op.Stage >> op.Code;
        op.Outcome = kFailed;
      } else {
        op.Stage = Transactional(op.Kind) ? "commit" : "call";
      }
      s >> op.A >> op.B >> op.C;
      op.Worker = worker;
      op.Cramped = crampedWriter;
      parsed = bool(s);
      if (parsed) Ops_[id] = op;
    } else if (tag == 'E') {
      int32_t id = 0;
      std::string word;
      s >> id >> word;
      auto it = Ops_.find(id);
      parsed = bool(s) && it != Ops_.end();
      if (parsed && word == "ok") {
        it->second.Outcome = kOk;
      } else if (parsed) {
        it->second.Outcome = kFailed;
        s >> it->second.Code;
      }
    } else if (tag == 'K') {
      int32_t id = 0;
      std::string point;
      int pass = 0;
      s >> id >> point >> pass;
      const std::string at = point + (pass > 1 ? "#" + std::to_string(pass) : "");
      ++Deaths_[id == 0 ? at + " while opening" : at];
      if (auto it = Ops_.find(id); it != Ops_.end()) it->second.DiedAt = at;
    } else if (tag == 'R') {
      std::string reader, mode;
      int64_t sum = 0, count = 0, accounts = 0, mismatches = 0;
      int32_t first = 0;
      s >> reader >> mode >> sum >> count >> accounts >> mismatches >> first;
      parsed = bool(s);
      if (!parsed) {
        Problem("log", worker + ": line not understood: \"" + line + "\"");
        continue;
      }
      ++Reads_[reader + " " + mode];
      std::ostringstream what;
      what << worker << ", " << mode << ": ";
      if (reader == "sql") {
        if (sum != kTotal) {
          what << "SUM(V) " << sum << " over COUNT(*) " << count << " records, the total is " << kTotal;
          Problem("sql-sum", what.str());
        }
      } else if (sum != kTotal || accounts != kAccounts || mismatches != 0) {
        what << "sum " << sum << " (total " << kTotal << ") over " << count << " records, " << accounts
             << " of " << kAccounts << " accounts";
        if (mismatches != 0)
          what << ", " << mismatches << " values the read's own ledger entries do not explain (first: record "
               << first << ")";
        Problem("cursor-read", what.str());
      }
    } else if (tag == 'X') {
      std::string reader, mode;
      int code = 0;
      s >> reader >> mode >> code;
      parsed = bool(s);
      if (parsed) ++Reads_[reader + " " + mode + " refused"];
      if (parsed && !ContentionCode(code)) Problem("read-error", worker + ", " + reader + " " + mode + ": " + CodeText(code));
    } else if (tag == 'O') {
      int64_t opens = 0;
      s >> opens;
      parsed = bool(s);
      if (parsed) Reads_["opener opens"] += opens;
    } else if (tag == 'U') {
      std::string what;
      int code = 0;
      s >> what >> code;
      parsed = bool(s);
      if (parsed) Problem("worker-error", worker + ": " + what + " raised " + CodeText(code));
    } else {
      parsed = false;
    }
    if (!parsed) Problem("log", worker + ": line not understood: \"" + line + "\"");
  }
}

void TAudit::Judge(const std::vector<TTableRecord>& records) {
  std::map<int32_t, const TTableRecord*> byId;
  int64_t sum = 0;
  for (const TTableRecord& r : records) {
    if (!byId.emplace(r.Id, &r).second) Problem("stray-record", "Id " + std::to_string(r.Id) + " appears twice");
    sum += r.V;
  }
  if (sum != kTotal)
    Problem("sum", "the table's values add up to " + std::to_string(sum) + " over " +
                       std::to_string(records.size()) + " records, the total is " + std::to_string(kTotal));

  // Errors the workers were given that sharing does not explain.
  for (const auto& [id, op] : Ops_)
    if (op.Outcome == kFailed && !Refused(op)) Problem("worker-error", Describe(id, op));

  // The ledger: which transactions took effect, and what they moved.
  std::set<int32_t> ledger;
  std::map<int32_t, int64_t> moved;
  for (const TTableRecord& r : records) {
    if (r.Kind != kLedger) continue;
    ledger.insert(r.Id);
    moved[r.Src] -= r.Amt;
    moved[r.Dst] += r.Amt;
    auto it = Ops_.find(r.Id);
    std::ostringstream entry;
    entry << "ledger entry " << r.Id << " (Txn " << r.Txn << ", " << r.Src << " -> " << r.Dst << ", amount "
          << r.Amt << ")";
    if (it == Ops_.end() || !Transactional(it->second.Kind)) {
      Problem("stray-record", entry.str() + " belongs to no logged transaction");
      continue;
    }
    const TOp& op = it->second;
    if (r.Txn != r.Id || r.Src != op.A || r.Dst != op.B || (op.C >= 0 && r.Amt != op.C))
      Problem("ledger-entry", entry.str() + " differs from what its worker wrote: " + Describe(r.Id, op));
  }

  // Every value is its opening value plus what the ledger moved: nothing applied in part.
  for (const TTableRecord& r : records) {
    if (r.Kind == kLedger) continue;
    const auto m = moved.find(r.Id);
    const int64_t expected = OpeningValue(r.Id) + (m == moved.end() ? 0 : m->second);
    if (r.V != expected)
      Problem("ledger-replay", "record " + std::to_string(r.Id) + " (kind " + std::to_string(r.Kind) + ", Txn " +
                                   std::to_string(r.Txn) + ") holds " + std::to_string(r.V) +
                                   ", its opening value and the ledger's moves give " + std::to_string(expected));
  }
  for (const auto& [id, delta] : moved)
    if (byId.count(id) == 0 && OpeningValue(id) + delta != 0)
      Problem("ledger-replay", "record " + std::to_string(id) + " is gone, yet the ledger leaves it " +
                                   std::to_string(OpeningValue(id) + delta));

  // What each record is.
  int64_t ballast = 0;
  for (int32_t k = 1; k <= kAccounts; ++k) {
    const int32_t id = AccountId(k);
    if (byId.count(id) == 0 || byId[id]->Kind != kAccount) Problem("stray-record", "account " + std::to_string(id) + " is missing");
  }
  for (const TTableRecord& r : records) {
    auto it = Ops_.find(r.Id);
    std::string id = std::to_string(r.Id);
    if (r.Kind == kAccount && !IsAccountId(r.Id)) Problem("stray-record", "account record with Id " + id);
    if (r.Kind == kBallast) {
      ++ballast;
      if (r.Id / kAccountSpacing < 1 || r.Id / kAccountSpacing > kAccounts || r.Id % kAccountSpacing == 0 ||
          r.Id % kAccountSpacing > kBallastPerAccount || r.Txn != 0 || !r.Note.empty() || r.Edits != 0)
        Problem("stray-record", "ballast record " + id + " is not as it was made");
    }
    if (r.Kind == kSpare && (it == Ops_.end() || it->second.Kind != "append"))
      Problem("stray-record", "spare " + id + " was appended by no logged operation");
    if (r.Kind == kSpare && r.Memo != SpareMemo(r.Id))
      Problem("spare", "spare " + id + " has a Memo of " + std::to_string(r.Memo.size()) + " bytes that is not its text");
    if (r.Kind == kPocket) {
      auto spawn = Ops_.find(r.Txn);
      if (spawn == Ops_.end() || spawn->second.Kind != "spawn" || spawn->second.B != r.Id)
        Problem("stray-record", "pocket " + id + " (Txn " + std::to_string(r.Txn) + ") was made by no logged spawn");
    }
    if (r.Kind < kAccount || r.Kind > kBallast) Problem("stray-record", "record " + id + " of kind " + std::to_string(r.Kind));
    if (r.Kind == kAccount && r.Txn != 0 && ledger.count(r.Txn) == 0) {
      auto op = Ops_.find(r.Txn);
      Problem("account-mark", "account " + id + " carries the mark of " +
                                  (op == Ops_.end() ? "unknown operation " + std::to_string(r.Txn) : Describe(r.Txn, op->second)) +
                                  ", whose ledger entry is not in the table");
    }
  }

  if (ballast != int64_t(kAccounts) * kBallastPerAccount)
    Problem("stray-record", std::to_string(ballast) + " ballast records, " +
                                std::to_string(kAccounts * kBallastPerAccount) + " were made");

  // Transactions: in the ledger exactly when their commit was reported OK (either way for
  // those that never heard).
  for (const auto& [id, op] : Ops_) {
    if (!Transactional(op.Kind)) continue;
    const bool present = ledger.count(id) != 0;
    if (op.Outcome == kOk && !present) Problem("ok-commit-lost", Describe(id, op) + ": not in the table");
    if (op.Outcome == kFailed && present) Problem("failed-commit-took-effect", Describe(id, op) + ": in the table");
  }

  // Spares: appended and deleted outside transactions, each call whole or not at all.
  std::map<int32_t, std::vector<std::pair<int32_t, const TOp*>>> deletes;
  for (const auto& [id, op] : Ops_)
    if (op.Kind == "delete") deletes[int32_t(op.A)].emplace_back(id, &op);
  for (const auto& [id, op] : Ops_) {
    if (op.Kind != "append") continue;
    const bool present = byId.count(id) != 0;
    const std::pair<int32_t, const TOp*>* deletedOk = nullptr;
    const std::pair<int32_t, const TOp*>* deletedFailed = nullptr;
    bool deleteUnknown = false;
    for (const auto& d : deletes[id]) {
      if (d.second->Outcome == kOk) deletedOk = &d;
      if (d.second->Outcome == kFailed) deletedFailed = &d;
      if (d.second->Outcome == kUnknown) deleteUnknown = true;
    }
    if (present && op.Outcome == kFailed) Problem("failed-commit-took-effect", Describe(id, op) + ": the spare is in the table");
    if (present && deletedOk)
      Problem("ok-commit-lost", Describe(deletedOk->first, *deletedOk->second) + ": the spare is still in the table");
    if (!present && op.Outcome == kOk && !deletedOk && !deleteUnknown) {
      if (deletedFailed)
        Problem("failed-commit-took-effect", Describe(deletedFailed->first, *deletedFailed->second) + ": the spare is gone");
      else
        Problem("ok-commit-lost", Describe(id, op) + ": the spare is not in the table");
    }
  }

  // Edits: each account counts the edits that reached it.
  std::map<int64_t, int64_t> editsOk, editsUnknown;
  for (const auto& [id, op] : Ops_) {
    if (op.Kind != "edit") continue;
    if (op.Outcome == kOk) ++editsOk[op.A];
    if (op.Outcome == kUnknown) ++editsUnknown[op.A];
  }
  for (const TTableRecord& r : records) {
    if (r.Kind != kAccount) continue;
    const int64_t ok = editsOk[r.Id], unknown = editsUnknown[r.Id];
    std::string account = "account " + std::to_string(r.Id);
    if (r.Edits < ok)
      Problem("ok-commit-lost", account + " counts " + std::to_string(r.Edits) + " edits, " + std::to_string(ok) +
                                    " were reported OK (an edit was lost or overwritten)");
    if (r.Edits > ok + unknown)
      Problem("failed-commit-took-effect", account + " counts " + std::to_string(r.Edits) + " edits, only " +
                                               std::to_string(ok + unknown) + " were not reported failed");
    if (r.Note.empty()) continue;
    const int32_t noteOp = r.Note[0] == 'e' ? std::atoi(r.Note.c_str() + 1) : 0;
    auto it = Ops_.find(noteOp);
    if (it == Ops_.end() || it->second.Kind != "edit" || it->second.A != r.Id)
      Problem("stray-record", account + " has the Note \"" + r.Note + "\" that no logged edit of it wrote");
    else if (it->second.Outcome == kFailed)
      Problem("failed-commit-took-effect", Describe(noteOp, it->second) + ": its Note is on the account");
  }
}

std::string TAudit::Summary() const {
  std::map<std::string, std::array<int64_t, 3>> byKind;  // unknown, ok, failed
  for (const auto& [id, op] : Ops_) ++byKind[op.Kind][op.Outcome];
  std::ostringstream out;
  out << "operations:";
  for (const auto& [kind, n] : byKind)
    out << ' ' << kind << " " << n[kOk] << " ok/" << n[kFailed] << " failed/" << n[kUnknown] << " unknown;";
  out << "\nreads:";
  for (const auto& [what, n] : Reads_) out << ' ' << what << ' ' << n << ';';
  if (!Deaths_.empty()) {
    out << "\nkilled writer died at:";
    for (const auto& [point, n] : Deaths_) out << ' ' << point << ' ' << n << ';';
  }
  return out.str();
}

}  // namespace veldor::stress
