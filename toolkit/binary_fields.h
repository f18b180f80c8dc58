// Byte and BLOB field objects.
//
// Bytes and variable-bytes fields hold Size raw bytes in the record (the engine keeps no
// length for variable bytes: all Size bytes are the value); a shorter value is padded
// with zeros and a longer one cut to Size, as the engine stores it. BLOB fields hold no
// value in the record: every read and write goes through a stream the data set makes
// (CreateBlobStream), which owns the engine side. Their text forms are the bytes taken
// as Windows-1252 text and made UTF-8 (and back, refusing what Windows-1252 cannot hold).
#pragma once

#include "toolkit/fields.h"

namespace veldor {

class TBytesField : public TField {
 public:
  explicit TBytesField(int size = 16) : TBytesField(ftBytes, size) {}
  int DataSize() const override { return Size(); }

 protected:
  TBytesField(TFieldType type, int size) : TField(type, size) {}
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  std::vector<uint8_t> GetAsBytes() const override;
  void SetAsBytesValue(const std::vector<uint8_t>& bytes) override;
  TVariant GetValue() const override { return TVariant::Bytes(GetAsBytes()); }
};

class TVarBytesField : public TBytesField {
 public:
  explicit TVarBytesField(int size = 16) : TBytesField(ftVarBytes, size) {}
};

class TBlobField : public TField {
 public:
  explicit TBlobField(TFieldType type = ftBlob) : TField(type, 0) {}
  int DataSize() const override { return 0; }
  bool IsBlob() const override { return true; }
  // A field a stream wrote to is null exactly when it is now empty.
  bool IsNull() const override;
  // Empties the BLOB (a write stream that writes nothing).
  void Clear() override;
  // Replaces the value with the rest of `stream` / appends the value to `stream`.
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;

 protected:
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& text) override;
  std::vector<uint8_t> GetAsBytes() const override;
  void SetAsBytesValue(const std::vector<uint8_t>& bytes) override;
  TVariant GetValue() const override { return TVariant::Bytes(GetAsBytes()); }
};

// Text BLOBs (memo, formatted memo): their value is text.
class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TFieldType type = ftMemo) : TBlobField(type) {}

 protected:
  TVariant GetValue() const override { return TVariant(GetAsString()); }
};

class TGraphicField : public TBlobField {
 public:
  TGraphicField() : TBlobField(ftGraphic) {}
};

}  // namespace veldor
