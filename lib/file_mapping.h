// A read-only shared mapping of one open disk file, through which the data file copies the
// records of a walk without a system call each. Owned by the `TPhysicalFile` of that file
// and used only under its mutex; it knows nothing of records or tables.
//
// The mapping reserves 4 GiB of address space once (every engine file stays below its lock
// bytes at 2^32), so that a file that grows needs no remapping and a copied pointer never
// moves. It never touches bytes past the size it last saw with fstat, or the end this
// process cut the file to; a file shortened behind the engine's back (another program, a
// protocol breach) turns the bus error of the copy into a refusal, never a crash. Callers
// fall back to ordinary reads whenever a copy is refused.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veldor {

// Address space one file's mapping reserves; bytes at or past it are read, not mapped.
inline constexpr uint64_t kMappingReserve = uint64_t{1} << 32;

// Whether disk files may be read through mappings (default true). Off, every read is a
// system call, as on file systems where mappings are not trusted; mappings made before
// stay but are no longer used. Process-wide; safe from any thread.
void SetFileMappingAllowed(bool allowed);
bool FileMappingAllowed();

class TFileMapping {
 public:
  TFileMapping() = default;
  ~TFileMapping() { Release(); }
  TFileMapping(const TFileMapping&) = delete;
  TFileMapping& operator=(const TFileMapping&) = delete;

  // Copies `count` slots of `slotSize` bytes, slot i from file offset offsets[i] to
  // out + i x slotSize, mapping the file of descriptor `fd` on first use. False when the
  // copy cannot be made this way (mapping off or refused by the system, a slot past the
  // file's end or the reservation, the file cut short meanwhile); `out` then holds nothing
  // usable and the caller reads. The offsets may come in any order; slots are fetched a
  // few ahead of the copy, which hides the memory latency of a scattered walk. The file is
  // mapped only once the copies asked for add up to a share of its pages, so that short
  // work on a table reads as before.
  bool CopySlots(int fd, const int64_t* offsets, size_t count, size_t slotSize, uint8_t* out);

  // This process cut the file to `size` bytes: nothing past it is copied again until a
  // later fstat sees it.
  void Truncated(int64_t size);

  // Unmaps (the descriptor is closing). A forked child calls it too: the parent's mapping
  // is no use to a process that must open the file itself.
  void Release();

  bool Mapped() const { return base_ != nullptr; }

 private:
  const uint8_t* base_ = nullptr;
  int64_t end_ = 0;       // bytes known to be in the file
  bool refused_ = false;  // the system refused the mapping; never asked again
  uint64_t requested_ = 0;  // slots asked for before the file was mapped
};

}  // namespace veldor
