// The lexical layer of the RTF reader: splits RTF bytes into group marks, control words,
// control symbols, hexadecimal character bytes, runs of plain text and binary data. It
// knows nothing of what a word means, with one exception: the data of `\binN` is raw bytes
// that must not be scanned, so the tokenizer takes it itself.
//
// Damaged input yields tokens, never an error: a truncated control word or `\'h` ends
// where the bytes end, parameters are clamped, `\binN` takes at most what is left. Tokens
// point into the caller's bytes, which must outlive them. One tokenizer per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veldor {

enum class TRtfTokenKind : uint8_t {
  End,           // no more bytes
  GroupStart,    // {
  GroupEnd,      // }
  ControlWord,   // \word or \wordN: Text is the word's letters
  ControlSymbol, // \ and one non-letter other than ': Symbol is that character
  HexByte,       // \'hh: Byte is the value
  Text,          // a run of plain bytes; line ends and other control bytes but tab are dropped
  Binary,        // the data of \binN: Text is the bytes
};

struct TRtfToken {
  TRtfTokenKind Kind = TRtfTokenKind::End;
  std::string_view Text;
  bool HasParameter = false;
  int32_t Parameter = 0;  // clamped to +-kRtfParameterLimit
  char Symbol = 0;
  uint8_t Byte = 0;
};

// Largest magnitude of a control word's parameter; longer digit strings are clamped to it.
inline constexpr int32_t kRtfParameterLimit = 1'000'000'000;

class TRtfTokenizer {
 public:
  explicit TRtfTokenizer(std::string_view input) : input_(input) {}

  // The next token; End once the input is used up, and on every call after that.
  TRtfToken Next();

 private:
  TRtfToken ReadControl();
  TRtfToken ReadText();

  std::string_view input_;
  size_t position_ = 0;
};

}  // namespace veldor
