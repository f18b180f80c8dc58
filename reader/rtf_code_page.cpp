#include "reader/rtf_code_page.h"

#include <unicode/ucnv.h>

#include <cstdint>
#include <string>

#include "lib/code_page.h"

namespace veldor {

int CodePageOfCharset(int charset, int documentCodePage) {
  switch (charset) {
    case 0: return 1252;     // ANSI
    case 2: return 1252;     // Symbol: the font draws its own glyphs on these bytes
    case 77: return 10000;   // Macintosh Roman
    case 128: return 932;    // Shift-JIS
    case 129: return 949;    // Hangul
    case 134: return 936;    // GB2312
    case 136: return 950;    // Big5
    case 161: return 1253;   // Greek
    case 162: return 1254;   // Turkish
    case 163: return 1258;   // Vietnamese
    case 177: return 1255;   // Hebrew
    case 178: return 1256;   // Arabic
    case 186: return 1257;   // Baltic
    case 204: return 1251;   // Cyrillic
    case 222: return 874;    // Thai
    case 238: return 1250;   // Eastern European
    case 254: return 437;    // PC 437
    case 255: return 850;    // OEM
    default: return documentCodePage;
  }
}

void TRtfDecoder::TCloser::operator()(UConverter* converter) const { ucnv_close(converter); }

TRtfDecoder::TRtfDecoder() = default;
TRtfDecoder::~TRtfDecoder() = default;

UConverter* TRtfDecoder::Converter(int codePage) {
  auto found = converters_.find(codePage);
  if (found != converters_.end()) return found->second.get();
  TConverter converter;
  const std::string number = std::to_string(codePage);
  const std::string names[] = {
      codePage == 10000 ? std::string("macintosh") : "windows-" + number, "cp" + number,
      "ibm-" + number};
  for (const std::string& name : names) {
    UErrorCode status = U_ZERO_ERROR;
    converter.reset(ucnv_open(name.c_str(), &status));
    if (U_SUCCESS(status) && converter) break;
    converter.reset();
  }
  return converters_.emplace(codePage, std::move(converter)).first->second.get();
}

void TRtfDecoder::Decode(int codePage, std::string_view bytes, QString& out) {
  bool ascii = true;
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    out.append(QLatin1StringView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return;
  }
  if (codePage == 65001) {
    out.append(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return;
  }
  // ICU counts in 32 bits; a run too long for that (never in a real text) reads as 1252.
  const bool fits = bytes.size() < static_cast<size_t>(INT32_MAX / 2);
  UConverter* converter = codePage == 1252 || !fits ? nullptr : Converter(codePage);
  if (converter) {
    // Every byte of the code pages RTF names decodes to at most two UTF-16 units.
    const qsizetype start = out.size();
    const int32_t capacity = static_cast<int32_t>(bytes.size()) * 2 + 1;
    out.resize(start + capacity);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        ucnv_toUChars(converter, reinterpret_cast<UChar*>(out.data() + start), capacity,
                      bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    if (U_SUCCESS(status)) {
      out.resize(start + length);
      return;
    }
    out.resize(start);
  }
  out.reserve(out.size() + static_cast<qsizetype>(bytes.size()));
  for (char c : bytes) out.append(QChar(Windows1252ToUnicode(static_cast<uint8_t>(c))));
}

}  // namespace veldor
