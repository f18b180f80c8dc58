// The code pages of RTF text: which code page a font's character set names, and the
// decoding of `\'hh` bytes and 8-bit text into Unicode. Windows-1252 decodes through the
// engine's own table (lib/code_page.h); every other code page, single- or double-byte,
// through an ICU converter opened on first use. A code page neither knows falls back to
// Windows-1252, so every byte decodes to something.
//
// A TRtfDecoder owns its converters and belongs to one reading at a time (one thread).
#pragma once

#include <QString>

#include <map>
#include <memory>
#include <string_view>

struct UConverter;

namespace veldor {

inline constexpr int kRtfDefaultCodePage = 1252;

// The code page of RTF character set number `charset` (\fcharsetN). The "default" set (1)
// and numbers RTF does not define give `documentCodePage`; the ANSI set (0) is 1252.
int CodePageOfCharset(int charset, int documentCodePage);

class TRtfDecoder {
 public:
  TRtfDecoder();
  ~TRtfDecoder();
  TRtfDecoder(const TRtfDecoder&) = delete;
  TRtfDecoder& operator=(const TRtfDecoder&) = delete;

  // Appends the Unicode form of `bytes`, text in code page `codePage`, to `out`.
  void Decode(int codePage, std::string_view bytes, QString& out);

 private:
  struct TCloser {
    void operator()(UConverter* converter) const;
  };
  using TConverter = std::unique_ptr<UConverter, TCloser>;

  // The converter for `codePage`, or null when ICU has none (then 1252 stands in).
  UConverter* Converter(int codePage);

  std::map<int, TConverter> converters_;  // null entries remember a failed open
};

}  // namespace veldor
