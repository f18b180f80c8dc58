// The journal of one table: a file beside the table's files (same name, ".JNL") that holds
// the bytes a transaction writes to the data, index and BLOB files until its commit has
// made them durable, so that a commit happens whole or not at all whatever moment the
// process dies. The journal is never part of the table format: a table without one is an
// ordinary table, and readers of the format never look for it.
//
// `TJournal` owns the journal file of a transaction in progress and the in-memory map of
// which byte ranges of the table's files it holds; it overlays the table's file handlers
// (see `TFileOverlay`), so that this process reads its own journaled changes while other
// processes go on reading the table files. The static functions inspect, replay and
// remove a journal left behind by a process that died. Used by its table's thread only.
//
// File layout (numbers little-endian):
//
//   journal header, at 0
//   offset  width  meaning
//   0       8      "VELDORJN"
//   8       4      format version, 1
//   12      4      zero
//
//   entry, from 16 on, one after another
//   offset  width  meaning
//   0       1      kind: 1 bytes for a file, 2 the end of a file set
//   1       1      file: 0 data, 1 index, 2 BLOB
//   2       2      zero
//   4       4      length n of the bytes (0 for kind 2)
//   8       8      offset in the file (kind 2: the new end of the file)
//   16      n      the bytes
//
//   commit mark, the last 24 bytes of a committed journal
//   offset  width  meaning
//   0       8      "COMMITJN"
//   8       8      length L of everything before the mark (the mark stands at L)
//   16      4      CRC-32 (IEEE) of those L bytes
//   20      4      "VJCM"
//
// Life cycle (who may create, commit, copy and remove a journal while which lock is held,
// and how other processes tell a live journal from a dead one) is part of the lock protocol
// written at the top of table_locking.cpp. The journal file is held open exclusively by its
// owner from its creation until its name is gone.
//
// A journal whose last 24 bytes are not a sound mark (magic, length equal to its place,
// checksum over what precedes it) never committed and is discarded whole. Before the mark,
// bytes written again are rewritten in place in the entry that holds them (a page written
// back twice takes its room once); once the mark is written nothing changes until the
// journal is removed. Replaying applies the
// entries in order, so a later entry wins over an earlier one for the bytes both cover.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/file_layer.h"

namespace veldor {

inline constexpr const char* kJournalExtension = ".JNL";
inline constexpr size_t kJournalHeaderSize = 16;
inline constexpr size_t kJournalEntryHeaderSize = 16;
inline constexpr size_t kJournalMarkSize = 24;
inline constexpr int kJournalFiles = 3;  // data, index, BLOB
// Memory a journal works with besides its map: the tail of new entries, or at the commit
// the window and buffer of its checksum and copy.
inline constexpr size_t kJournalWorkingBytes = 512 << 10;

// The journal's name for a table whose data file is `dataFileName`: the data file's name
// as it stands on disk (see ResolveDiskFileName) with its extension replaced, so that every
// process, whatever spelling of the table's name it was given, finds it by one look-up.
std::string JournalFileNameFor(const std::string& dataFileName);

// CRC-32 (IEEE 802.3, reflected) of `size` bytes, continuing from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);

class TJournal : public TFileOverlay {
 public:
  // `fileName` is the journal's full name; `files` the table's data, index and BLOB
  // handlers (the BLOB one nullptr when the table has none), which must outlive the
  // journal; `tableName` names the table in errors. Nothing is created until the first
  // write reaches the journal.
  TJournal(std::string fileName, std::array<TFileHandler*, kJournalFiles> files,
           std::string tableName);
  // Detaches from the handlers; a journal not committed is closed and removed (nothing
  // raised), a committed one whose copy did not finish is left for recovery.
  ~TJournal() override;
  TJournal(const TJournal&) = delete;
  TJournal& operator=(const TJournal&) = delete;

  // Sets or clears the overlay on the table's handlers.
  void Attach();
  void Detach();
  // Whether anything was written to the journal.
  bool Written() const { return Journal_.IsOpen(); }
  // Bytes of the journal file so far.
  int64_t Size() const { return End_; }
  // Whether the commit mark is written (the journal then holds a committed change).
  bool Sealed() const { return Sealed_; }

  // The commit: checksums what the journal holds, appends the mark, makes the journal
  // durable, copies the entries into the table's files (detached first), makes them
  // durable and removes the journal. A failure before the mark leaves the journal as it
  // was (attached again), so that the caller may roll back; a failure after it leaves the
  // committed journal for recovery at the next open. Nothing to do when nothing was
  // written.
  void Commit();
  // Drops what the journal holds (a rollback): detaches, closes and removes the file.
  void Discard();

  // TFileOverlay
  void OverlayWrite(int slot, int64_t position, const void* buffer, size_t count) override;
  size_t OverlayRead(int slot, int64_t position, uint8_t* buffer, size_t count,
                     size_t got) override;
  int64_t OverlaySize(int slot) override;
  bool OverlayCovers(int slot, int64_t position, size_t count) override;
  bool OverlayLeavesAlone(int slot, int64_t position, size_t count) override;

  // ---- A journal found beside a table ----
  // What a look from outside finds under a journal's name (see the lock protocol in
  // table_locking.cpp): none; one its owner holds open (a change in progress, or a commit
  // being copied); or one nobody holds, left by a process that died (or whose copy
  // failed), with or without a sound commit mark.
  enum class TFound { None, Live, Dead, DeadCommitted };
  static TFound Probe(const std::string& fileName);
  // Whether the open `journal` ends in a sound commit mark; `body` receives the length
  // before the mark. Never raises for bad content (a read error is raised).
  static bool Committed(TFileHandler& journal, int64_t& body);
  // Checks every entry of a committed journal against `files` (a file the table lacks, a
  // length past the body: VELDOR_FILECORRUPT, nothing written), then copies them into
  // the files and makes those durable.
  static void Replay(TFileHandler& journal, int64_t body,
                     const std::array<TFileHandler*, kJournalFiles>& files,
                     const std::string& tableName);
  // Under the table's whole write lock (or its exclusive open): replays the dead journal
  // at `fileName` into `files` when it has a sound mark, and removes it (one without a
  // mark is only removed). True when it replayed one. A live one, or none, is left alone.
  static bool Settle(const std::string& fileName,
                     const std::array<TFileHandler*, kJournalFiles>& files,
                     const std::string& tableName);
  // Empties the open `journal` durably, removes its name and only then closes it, so that
  // nothing of it can be replayed and no other process ever finds it under its name
  // without its owner's hold on it.
  static void Remove(TFileHandler& journal);

 private:
  // A range of a table file held by the journal: its bytes start at `Data` in the journal,
  // in the last entry that covers them.
  struct TExtent {
    int64_t End;
    int64_t Data;
  };
  struct TFileState {
    bool Known = false;
    int64_t End = 0;           // the file's size as the transaction sees it
    int64_t DiskEnd = 0;       // its size on disk when the journal first touched it
    int64_t ZeroFrom = INT64_MAX;  // disk bytes from here on were cut off by a set end
    std::map<int64_t, TExtent> Extents;  // by first byte; never overlapping
  };

  TFileState& State(int slot);
  void Open();
  // Adds an entry at the journal's end; entries gather in the tail buffer and reach the
  // file a run at a time.
  void Append(const uint8_t* header, const void* bytes, size_t count);
  // Moves bytes of the journal between `buffer` and wherever they are now: the file, or
  // the tail not written yet.
  void JournalWrite(int64_t offset, const uint8_t* bytes, size_t count);
  void JournalRead(int64_t offset, uint8_t* bytes, size_t count);
  // Writes the tail to the file.
  void FlushTail();
  // The first range that ends after `position` (it may start before it), or the map's end.
  static std::map<int64_t, TExtent>::iterator FirstExtentFrom(TFileState& state, int64_t position);
  // Removes [from, to) from the map, keeping the parts of ranges outside it.
  static void Cut(TFileState& state, int64_t from, int64_t to);

  std::string FileName_;
  std::array<TFileHandler*, kJournalFiles> Files_;
  std::string TableName_;
  TFileHandler Journal_;
  int64_t End_ = 0;
  std::vector<uint8_t> Tail_;  // the journal's last bytes, from TailStart_ to End_
  int64_t TailStart_ = 0;
  bool Attached_ = false;
  bool Sealed_ = false;  // the mark is written: the journal must not be removed on failure
  std::array<TFileState, kJournalFiles> States_;
};

}  // namespace veldor
