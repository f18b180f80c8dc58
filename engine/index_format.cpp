#include "engine/index_format.h"

#include <algorithm>
#include <cstring>

#include "lib/byte_order.h"

namespace veldor {

// ---- TIndexDescriptor --------------------------------------------------------------------

TIndexDescriptor TIndexDescriptor::FromBytes(const uint8_t* bytes) {
  TIndexDescriptor d;
  std::memcpy(d.Bytes.data(), bytes, kIndexDescriptorSize);
  return d;
}

void TIndexDescriptor::ToBytes(uint8_t* bytes) const {
  std::memcpy(bytes, Bytes.data(), kIndexDescriptorSize);
}

std::string TIndexDescriptor::Name() const { return LoadShortString(&Bytes[0], 30); }

void TIndexDescriptor::SetName(std::string_view name) { StoreShortString(&Bytes[0], 30, name); }

int16_t TIndexDescriptor::KeyLength() const { return LoadI16(&Bytes[31]); }
void TIndexDescriptor::SetKeyLength(int16_t length) { StoreI16(&Bytes[31], length); }
uint16_t TIndexDescriptor::FieldNumber(int position) const {
  return LoadU16(&Bytes[54 + 2 * size_t(position)]);
}
void TIndexDescriptor::SetFieldNumber(int position, uint16_t number) {
  StoreU16(&Bytes[54 + 2 * size_t(position)], number);
}
int32_t TIndexDescriptor::RootPage() const { return LoadI32(&Bytes[86]); }
void TIndexDescriptor::SetRootPage(int32_t page) { StoreI32(&Bytes[86], page); }
int32_t TIndexDescriptor::FreePage() const { return LoadI32(&Bytes[90]); }
void TIndexDescriptor::SetFreePage(int32_t page) { StoreI32(&Bytes[90], page); }

// ---- TIndexHeader ------------------------------------------------------------------------

void TIndexHeader::SetChangeCounter(int32_t value) { StoreI32(&Bytes[0], value); }
int32_t TIndexHeader::NextPageNumber() const { return LoadI32(&Bytes[9]); }
void TIndexHeader::SetNextPageNumber(int32_t page) { StoreI32(&Bytes[9], page); }

TIndexDescriptor TIndexHeader::Descriptor(int slot) const {
  return TIndexDescriptor::FromBytes(&Bytes[14 + kIndexDescriptorSize * size_t(slot)]);
}

void TIndexHeader::SetDescriptor(int slot, const TIndexDescriptor& descriptor) {
  descriptor.ToBytes(&Bytes[14 + kIndexDescriptorSize * size_t(slot)]);
}

int32_t TIndexHeader::ActiveRecords() const { return LoadI32(&Bytes[3974]); }
void TIndexHeader::SetActiveRecords(int32_t count) { StoreI32(&Bytes[3974], count); }

void TIndexHeader::PrepareForWrite() {
  SetChangeCounter(int32_t(uint32_t(ChangeCounter()) + 1));
  StoreU32(&Bytes[4], 0);
  std::memset(&Bytes[3980], 0, kIndexHeaderSize - 3980);
}

}  // namespace veldor
