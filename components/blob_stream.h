// `TVELDORBlobStream`: reads and writes one BLOB field of a data set's current record
// through the data set's cursor.
//
// The stream owns nothing but its position: the BLOB's bytes live in a buffer the cursor
// keeps open for the record image it works on (the data set's active record buffer, which
// must outlive the stream). A stream that wrote leaves the buffer open for the record's
// post; one that only read frees it when destroyed, unless the BLOB was already open in
// that record before the stream (then the stream only borrowed it). One thread at a time.
#pragma once

#include <cstdint>

#include "toolkit/db_common.h"
#include "toolkit/stream.h"

namespace veldor {

class TField;
class TVELDORDataSet;

class TVELDORBlobStream : public TStream {
 public:
  // Opens the BLOB of `field` in the data set's active record. Writing (write and
  // read-write modes) needs a writable field ("Field %s cannot be modified.") and the edit
  // or insert state ("Table is not in edit or insert mode."); write mode empties the BLOB.
  // Without an active record the stream stays closed: it reads and writes nothing.
  // Engine errors of opening are raised.
  TVELDORBlobStream(TField* field, TBlobStreamMode mode);
  // A stream that wrote marks the field modified and sends the field-change notice (an
  // error there is shown, not raised); otherwise the BLOB is freed.
  ~TVELDORBlobStream() override;

  // Bytes from the position; past the end, what remains and then 0.
  int64_t Read(void* buffer, int64_t count) override;
  // Writes at the position (a read-mode stream refuses); returns `count`.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TStreamOrigin origin) override;
  int64_t Size() override;
  // Cuts or extends the BLOB to `size` bytes.
  void SetSize(int64_t size) override;
  // Cuts the BLOB at the position.
  void Truncate();
  bool Opened() const { return Opened_; }

 private:
  uint32_t BlobSize();
  void CheckWritable() const;

  TField* Field_;
  TVELDORDataSet* DataSet_ = nullptr;
  uint16_t FieldNo_ = 0;
  uint8_t* Buffer_ = nullptr;
  TBlobStreamMode Mode_;
  bool Opened_ = false;
  bool Modified_ = false;
  bool Borrowed_ = false;  // the BLOB was open in the record before this stream
  uint32_t Position_ = 0;
};

}  // namespace veldor
