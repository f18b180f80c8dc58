#include "reader/rtf_tokenizer.h"

#include <algorithm>

namespace veldor {
namespace {

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Bytes below a space carry no text in RTF (line ends are for the writer's convenience);
// a tab byte is the one exception and reads as a tab.
bool IsDropped(char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

TRtfToken TRtfTokenizer::Next() {
  for (;;) {
    while (position_ < input_.size() && IsDropped(input_[position_])) ++position_;
    TRtfToken token;
    if (position_ >= input_.size()) return token;
    switch (input_[position_]) {
      case '{':
        ++position_;
        token.Kind = TRtfTokenKind::GroupStart;
        return token;
      case '}':
        ++position_;
        token.Kind = TRtfTokenKind::GroupEnd;
        return token;
      case '\\':
        token = ReadControl();
        // An End before the end of the input is a control that said nothing (\' without
        // a hex digit): read on.
        if (token.Kind == TRtfTokenKind::End && position_ < input_.size()) continue;
        return token;
      default:
        return ReadText();
    }
  }
}

TRtfToken TRtfTokenizer::ReadText() {
  const size_t start = position_;
  while (position_ < input_.size()) {
    const char c = input_[position_];
    if (c == '\\' || c == '{' || c == '}' || IsDropped(c)) break;
    ++position_;
  }
  TRtfToken token;
  token.Kind = TRtfTokenKind::Text;
  token.Text = input_.substr(start, position_ - start);
  return token;
}

TRtfToken TRtfTokenizer::ReadControl() {
  ++position_;  // the backslash
  TRtfToken token;
  if (position_ >= input_.size()) return token;  // a lone backslash at the end
  const char first = input_[position_];

  if (!IsLetter(first)) {
    ++position_;
    if (first == '\'') {
      int value = 0;
      int digits = 0;
      while (digits < 2 && position_ < input_.size()) {
        const int v = HexValue(input_[position_]);
        if (v < 0) break;
        value = value * 16 + v;
        ++digits;
        ++position_;
      }
      if (digits == 0) return token;
      token.Kind = TRtfTokenKind::HexByte;
      token.Byte = static_cast<uint8_t>(value);
      return token;
    }
    token.Kind = TRtfTokenKind::ControlSymbol;
    token.Symbol = first == '\r' ? '\n' : first;
    return token;
  }

  const size_t start = position_;
  while (position_ < input_.size() && IsLetter(input_[position_])) ++position_;
  token.Kind = TRtfTokenKind::ControlWord;
  token.Text = input_.substr(start, position_ - start);

  // A '-' belongs to the word only when a digit follows it.
  bool negative = false;
  if (position_ + 1 < input_.size() && input_[position_] == '-' && IsDigit(input_[position_ + 1])) {
    negative = true;
    ++position_;
  }
  if (position_ < input_.size() && IsDigit(input_[position_])) {
    int64_t value = 0;
    while (position_ < input_.size() && IsDigit(input_[position_])) {
      if (value < kRtfParameterLimit) value = value * 10 + (input_[position_] - '0');
      ++position_;
    }
    if (value > kRtfParameterLimit) value = kRtfParameterLimit;
    token.HasParameter = true;
    token.Parameter = static_cast<int32_t>(negative ? -value : value);
  }
  // One space ends the word and is part of it.
  if (position_ < input_.size() && input_[position_] == ' ') ++position_;

  if (token.Text == "bin") {
    const size_t wanted = token.Parameter > 0 ? static_cast<size_t>(token.Parameter) : 0;
    const size_t length = std::min(wanted, input_.size() - position_);
    token.Kind = TRtfTokenKind::Binary;
    token.Text = input_.substr(position_, length);
    position_ += length;
  }
  return token;
}

}  // namespace veldor
