#include "toolkit/stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace veldor {

int64_t StreamOffsetAdd(int64_t a, int64_t b) {
  int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) throw EStreamError("Invalid stream position");
  return sum;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream cannot change its size"); }

int64_t TStream::Size() {
  int64_t position = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count < 0 || (count != 0 && Read(buffer, count) != count)) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count < 0 || (count != 0 && Write(buffer, count) != count))
    throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count < 0) throw EStreamError("Stream read error");
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<uint8_t> chunk(size_t(std::min<int64_t>(count, 65536)));
  int64_t copied = 0;
  while (copied < count) {
    int64_t n = std::min<int64_t>(count - copied, int64_t(chunk.size()));
    source.ReadBuffer(chunk.data(), n);
    WriteBuffer(chunk.data(), n);
    copied += n;
  }
  return copied;
}

std::vector<uint8_t> TStream::ReadRest() {
  std::vector<uint8_t> out;
  uint8_t chunk[8192];
  for (;;) {
    int64_t n = Read(chunk, sizeof chunk);
    if (n <= 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || Position_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - Position_);
  std::memcpy(buffer, Data_.data() + Position_, size_t(n));
  Position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = StreamOffsetAdd(Position_, count);
  if (end > Size()) SetSize(end);
  std::memcpy(Data_.data() + Position_, buffer, size_t(count));
  Position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TStreamOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? Position_ : Size();
  int64_t target = StreamOffsetAdd(base, offset);
  if (target < 0) throw EStreamError("Invalid stream position");
  Position_ = target;
  return Position_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Invalid stream size");
  if (uint64_t(size) > Data_.max_size()) throw EStreamError("Out of memory while expanding memory stream");
  try {
    Data_.resize(size_t(size), 0);
  } catch (const std::bad_alloc&) {
    throw EStreamError("Out of memory while expanding memory stream");
  } catch (const std::length_error&) {
    throw EStreamError("Out of memory while expanding memory stream");
  }
  if (Position_ > size) Position_ = size;
}

void TMemoryStream::Clear() {
  Data_.clear();
  Position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  std::vector<uint8_t> bytes = source.ReadRest();
  Data_ = std::move(bytes);
  Position_ = 0;
}

}  // namespace veldor
