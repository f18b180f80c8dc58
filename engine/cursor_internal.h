// What the cursor's source files share and nobody else needs: the operation bracket and
// the guard of the table's write lock.
#pragma once

#include <array>

#include "engine/blob_file.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "lib/byte_order.h"

namespace veldor {

// An operation that keeps finding the table changed gives up after this many attempts.
inline constexpr int kMaxRestarts = 1000;

// The "Sys Deleted" key of a slot status and row identifier.
inline std::array<uint8_t, 5> StatusKey(bool deleted, int32_t rowId) {
  std::array<uint8_t, 5> key{};
  key[0] = deleted ? 1 : 0;
  EncodeInt32Key(rowId, &key[1]);
  return key;
}

// The 8-byte BLOB slot of a field in a record image: reference, then identifier.
inline uint8_t* BlobSlot(uint8_t* record, const TFieldDescriptor& field) {
  return record + field.Offset() + 1;
}
inline const uint8_t* BlobSlot(const uint8_t* record, const TFieldDescriptor& field) {
  return record + field.Offset() + 1;
}

// A buffer naming the value a record's BLOB slot holds (reference and identifier), unloaded.
inline TBlobBuffer StoredBlob(const uint8_t* record, const TFieldDescriptor& field) {
  TBlobBuffer value;
  value.FirstBlock = LoadI32(record + field.Offset() + 1);
  value.BlobId = LoadI32(record + field.Offset() + 5);
  return value;
}

// Holds the table's write lock for a scope; reports whether taking it re-read headers.
class TWriteLockGuard {
 public:
  explicit TWriteLockGuard(TDataTable& table) : Table_(table) { Changed = Table_.WriteLock(); }
  ~TWriteLockGuard() {
    try {
      Table_.WriteUnlock();
    } catch (...) {
      // Unlocking failed: the lock dies with the handle; nothing else can be done here.
    }
  }
  TWriteLockGuard(const TWriteLockGuard&) = delete;
  TWriteLockGuard& operator=(const TWriteLockGuard&) = delete;
  bool Changed = false;

 private:
  TDataTable& Table_;
};

// Holds the cursor's "write under way" mark for a scope.
class TWritingMark {
 public:
  explicit TWritingMark(bool& flag) : Flag_(flag), Old_(flag) { Flag_ = true; }
  ~TWritingMark() { Flag_ = Old_; }
  TWritingMark(const TWritingMark&) = delete;
  TWritingMark& operator=(const TWritingMark&) = delete;

 private:
  bool& Flag_;
  bool Old_;
};

// Keeps an open's first position pending for a scope (see BeginPending_).
class TKeepBegin {
 public:
  explicit TKeepBegin(int& depth) : Depth_(depth) { ++Depth_; }
  ~TKeepBegin() { --Depth_; }
  TKeepBegin(const TKeepBegin&) = delete;
  TKeepBegin& operator=(const TKeepBegin&) = delete;

 private:
  int& Depth_;
};

// Runs `body` between BeginRead and EndRead; a read that finds the table changed throws
// TRestart, after which the cursor re-synchronises and runs `body` again. Nested calls run
// inside the outermost bracket.
template <typename Fn>
auto TDataCursor::Bracketed(Fn body) -> decltype(body()) {
  if (BracketDepth_ > 0) return body();
  SettlePending();
  struct TDepth {
    TDataCursor& Cursor;
    explicit TDepth(TDataCursor& cursor) : Cursor(cursor) { ++Cursor.BracketDepth_; }
    ~TDepth() {
      --Cursor.BracketDepth_;
      Cursor.EndRead();
    }
  } depth(*this);
  BeginRead();
  for (int attempt = 0;; ++attempt) {
    try {
      if (ResyncPending_) ResyncLocal();
      return body();
    } catch (const TRestart&) {
      ResyncPending_ = true;
      if (attempt >= kMaxRestarts) RaiseTableError(VELDOR_LOCKTIMEOUT, TableName_);
    }
  }
}

}  // namespace veldor
