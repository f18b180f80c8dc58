#include "toolkit/binary_fields.h"

#include <algorithm>

#include "lib/code_page.h"
#include "toolkit/dataset.h"
#include "toolkit/stream.h"

namespace veldor {

std::vector<uint8_t> TBytesField::GetAsBytes() const {
  std::vector<uint8_t> bytes(size_t(std::max(DataSize(), 0)), 0);
  if (!GetData(bytes.data())) return {};
  return bytes;
}

void TBytesField::SetAsBytesValue(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> raw(size_t(std::max(DataSize(), 0)), 0);
  std::copy_n(bytes.begin(), std::min(bytes.size(), raw.size()), raw.begin());
  SetData(raw.data());
}

std::string TBytesField::GetAsString() const {
  std::vector<uint8_t> bytes = GetAsBytes();
  return Windows1252ToUtf8(std::string(bytes.begin(), bytes.end()));
}

void TBytesField::SetAsStringValue(const std::string& text) {
  std::string stored = StoredText(text);
  SetAsBytesValue(std::vector<uint8_t>(stored.begin(), stored.end()));
}

// ---- BLOBs ----

bool TBlobField::IsNull() const {
  if (Modified() && DataSet()) {
    std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
    return stream->Size() == 0;
  }
  return TField::IsNull();
}

void TBlobField::Clear() {
  if (!DataSet()) DatabaseErrorFmt(SNoSuchField, FieldName());
  DataSet()->CreateBlobStream(this, bmWrite);
}

std::vector<uint8_t> TBlobField::GetAsBytes() const {
  if (!DataSet()) return {};
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  return stream->ReadRest();
}

void TBlobField::SetAsBytesValue(const std::vector<uint8_t>& bytes) {
  if (!DataSet()) DatabaseErrorFmt(SNoSuchField, FieldName());
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(this, bmWrite);
  stream->WriteBuffer(bytes.data(), int64_t(bytes.size()));
}

std::string TBlobField::GetAsString() const {
  std::vector<uint8_t> bytes = GetAsBytes();
  return Windows1252ToUtf8(std::string(bytes.begin(), bytes.end()));
}

void TBlobField::SetAsStringValue(const std::string& text) {
  std::string stored = StoredText(text);
  SetAsBytesValue(std::vector<uint8_t>(stored.begin(), stored.end()));
}

void TBlobField::LoadFromStream(TStream& source) {
  SetAsBytesValue(source.ReadRest());
}

void TBlobField::SaveToStream(TStream& target) const {
  std::vector<uint8_t> bytes = GetAsBytes();
  target.WriteBuffer(bytes.data(), int64_t(bytes.size()));
}

}  // namespace veldor
