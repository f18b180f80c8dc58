#include "toolkit/variant.h"

#include <cmath>

#include "lib/code_page.h"
#include "lib/date_time.h"
#include "lib/exception.h"
#include "lib/text_forms.h"

namespace veldor {

const char* VariantKindName(TVariant::TKind kind) {
  static const char* const kNames[] = {"Null", "Boolean", "Integer", "Float", "Currency",
                                       "DateTime", "String", "Bytes", "Array"};
  return kNames[kind];
}

TVariant TVariant::Currency(int64_t amount) {
  TVariant v;
  v.Kind_ = vkCurrency;
  v.Int_ = amount;
  return v;
}

TVariant TVariant::DateTime(double timestamp) {
  TVariant v;
  v.Kind_ = vkDateTime;
  v.Float_ = timestamp;
  return v;
}

TVariant TVariant::Bytes(std::vector<uint8_t> bytes) {
  TVariant v;
  v.Kind_ = vkBytes;
  v.Text_.assign(bytes.begin(), bytes.end());
  return v;
}

void TVariant::CannotConvert(const char* to) const {
  throw EConvertError(std::string("Could not convert variant of type (") + VariantKindName(Kind_) +
                      ") into type (" + to + ")");
}

std::string TVariant::AsString() const {
  switch (Kind_) {
    case vkNull: return "";
    case vkBoolean: return BooleanToText(Int_ != 0);
    case vkInteger: return std::to_string(Int_);
    case vkFloat: return FloatToText(Float_);
    case vkCurrency: return CurrencyToText(Int_);
    case vkDateTime: return TimestampToText(Float_);
    case vkString: return Text_;
    case vkBytes: return Windows1252ToUtf8(Text_);
    case vkArray: break;
  }
  CannotConvert("String");
}

namespace {
bool FitsInt64(double d) { return d >= -9223372036854775808.0 && d < 9223372036854775808.0; }
}  // namespace

int64_t TVariant::AsInteger() const {
  switch (Kind_) {
    case vkBoolean:
    case vkInteger: return Int_;
    case vkCurrency: {
      int64_t q = Int_ / 10000, r = Int_ % 10000;
      if (r >= 5000) ++q;
      if (r <= -5000) --q;
      return q;
    }
    case vkFloat:
    case vkDateTime:
      if (std::isfinite(Float_) && FitsInt64(std::round(Float_))) return int64_t(std::llround(Float_));
      break;
    case vkString: {
      int64_t v;
      if (TryTextToInteger(Text_, INT64_MIN, INT64_MAX, v)) return v;
      break;
    }
    default: break;
  }
  CannotConvert("Integer");
}

double TVariant::AsFloat() const {
  switch (Kind_) {
    case vkBoolean:
    case vkInteger: return double(Int_);
    case vkCurrency: return double(Int_) / 10000.0;
    case vkFloat:
    case vkDateTime: return Float_;
    case vkString: {
      double v;
      if (TryTextToFloat(Text_, v)) return v;
      break;
    }
    default: break;
  }
  CannotConvert("Float");
}

int64_t TVariant::AsCurrency() const {
  switch (Kind_) {
    case vkBoolean:
    case vkInteger:
      if (Int_ <= INT64_MAX / 10000 && Int_ >= INT64_MIN / 10000) return Int_ * 10000;
      break;
    case vkCurrency: return Int_;
    case vkFloat: {
      double scaled = std::round(Float_ * 10000.0);
      if (std::isfinite(scaled) && FitsInt64(scaled)) return int64_t(scaled);
      break;
    }
    case vkString: {
      int64_t v;
      if (TryTextToCurrency(Text_, v)) return v;
      break;
    }
    default: break;
  }
  CannotConvert("Currency");
}

bool TVariant::AsBoolean() const {
  switch (Kind_) {
    case vkBoolean:
    case vkInteger:
    case vkCurrency: return Int_ != 0;
    case vkFloat: return Float_ != 0;
    case vkString: {
      bool v;
      if (TryTextToBoolean(Text_, v)) return v;
      break;
    }
    default: break;
  }
  CannotConvert("Boolean");
}

double TVariant::AsDateTime() const {
  switch (Kind_) {
    case vkInteger: return double(Int_);
    case vkFloat:
    case vkDateTime: return Float_;
    case vkString: {
      double ts;
      int32_t part;
      if (TryTextToTimestamp(Text_, ts)) return ts;
      if (TryTextToDate(Text_, part)) return MakeTimestamp(part, 0);
      if (TryTextToTime(Text_, part)) return double(part);
      break;
    }
    default: break;
  }
  CannotConvert("DateTime");
}

std::vector<uint8_t> TVariant::AsBytes() const {
  switch (Kind_) {
    case vkBytes: return std::vector<uint8_t>(Text_.begin(), Text_.end());
    case vkString: {
      std::string stored = Utf8ToWindows1252(Text_);
      return std::vector<uint8_t>(stored.begin(), stored.end());
    }
    default: break;
  }
  CannotConvert("Bytes");
}

const std::vector<TVariant>& TVariant::Items() const {
  if (Kind_ != vkArray) CannotConvert("Array");
  return Items_;
}

bool TVariant::operator==(const TVariant& other) const {
  if (Kind_ != other.Kind_) return false;
  switch (Kind_) {
    case vkNull: return true;
    case vkBoolean:
    case vkInteger:
    case vkCurrency: return Int_ == other.Int_;
    case vkFloat:
    case vkDateTime: return Float_ == other.Float_;
    case vkString:
    case vkBytes: return Text_ == other.Text_;
    case vkArray: return Items_ == other.Items_;
  }
  return false;
}

}  // namespace veldor
