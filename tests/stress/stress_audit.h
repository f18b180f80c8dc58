// The judgement of a stress run: what the workers' logs say the engine told them, against
// the records the table holds afterwards. Runs in the parent after every worker has ended.
//
// An operation whose commit came back OK must be in the table; one that came back failed
// (or failed before its commit) must have left no trace; one whose worker died before it
// heard (killed) may be either, but whole. Every record's value must be its opening value
// plus what the ledger entries in the table moved to and from it, so that nothing was
// applied in part. Every read a reader logged must have seen the fixed total. Findings are
// grouped by check, each with a count and its first examples.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/stress/stress_workload.h"

namespace veldor::stress {

// One record of the table as the parent reads it after the run.
struct TTableRecord {
  int32_t Id = 0, Kind = 0, V = 0, Txn = 0, Src = 0, Dst = 0, Amt = 0, Edits = 0;
  std::string Note;
  std::string Memo;
};

struct TFinding {
  int64_t Count = 0;
  // The first few different texts, each with the times it came.
  std::vector<std::pair<std::string, int64_t>> Examples;
};

class TAudit {
 public:
  // Reads the log of one process; `worker` names it in findings ("killed-writer#3").
  // `crampedWriter`: its commits meet a full disk, so VELDOR_WRITEERR is a refusal there.
  // Inside a transaction (the table lock held) a record cannot change under its reader, so
  // VELDOR_KEYORRECDELETED is a refusal only outside one.
  void ReadLog(const std::string& path, const std::string& worker, bool crampedWriter);
  // Compares the table's records, read after the run, with the logs.
  void Judge(const std::vector<TTableRecord>& records);
  // Adds a finding under `check`.
  void Problem(const std::string& check, const std::string& text);

  const std::map<std::string, TFinding>& Findings() const { return Findings_; }
  // What the run did: operations by kind and outcome, reads, deaths at fault points.
  std::string Summary() const;

 private:
  enum TOutcome { kUnknown, kOk, kFailed };
  struct TOp {
    std::string Kind, Worker;
    int64_t A = 0, B = 0, C = 0;
    TOutcome Outcome = kUnknown;
    int Code = 0;
    std::string Stage;  // start, work, commit (or call)
    bool Cramped = false;
    std::string DiedAt;  // the fault point its process killed itself at, if it did
  };
  std::string Describe(int32_t id, const TOp& op) const;
  // Whether `op` failed for a reason sharing the table explains.
  static bool Refused(const TOp& op);

  std::map<int32_t, TOp> Ops_;
  std::map<std::string, TFinding> Findings_;
  std::map<std::string, int64_t> Reads_;   // by reader and mode
  std::map<std::string, int64_t> Deaths_;  // fault point the killed writer died at
};

// "VELDOR_LOCKTIMEOUT (10249)".
std::string CodeText(int code);

}  // namespace veldor::stress
