// Byte streams: the abstract `TStream` that BLOB streams derive from, and `TMemoryStream`.
//
// A stream owns its position; a memory stream also owns its bytes. Read and Write move
// what they can and say how much; ReadBuffer and WriteBuffer demand all of it and raise
// EStreamError otherwise. Positions are never negative. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/exception.h"

namespace veldor {

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

enum TStreamOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  TStream() = default;
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Copies up to `count` bytes from the position into `buffer` and advances the position
  // by the bytes copied, which it returns (0 at or past the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes `count` bytes at the position and advances it; returns the bytes written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // The new position: `offset` from the beginning, the position or the end. A result
  // below 0 raises EStreamError and leaves the position unchanged.
  virtual int64_t Seek(int64_t offset, TStreamOrigin origin) = 0;
  // Cuts or extends (with zeros) the stream; streams that cannot raise EStreamError.
  virtual void SetSize(int64_t size);

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }
  // The stream's length; the position is kept.
  virtual int64_t Size();

  // Read/Write that must move all `count` bytes: EStreamError "Stream read error" or
  // "Stream write error" otherwise (what could be moved is moved).
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies `count` bytes from `source`'s position (0: the whole of `source` from its
  // beginning); returns the bytes copied. Raises when `source` has fewer.
  int64_t CopyFrom(TStream& source, int64_t count);
  // The bytes from the position to the end.
  std::vector<uint8_t> ReadRest();
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TStreamOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return int64_t(Data_.size()); }

  const std::vector<uint8_t>& Data() const { return Data_; }
  void Clear();
  void LoadFromStream(TStream& source);

 private:
  std::vector<uint8_t> Data_;
  int64_t Position_ = 0;
};

// Adds two stream positions or sizes; EStreamError when the sum leaves the 64-bit range.
int64_t StreamOffsetAdd(int64_t a, int64_t b);

}  // namespace veldor
