// Shared by the expression tests: a compact printed form of a tree and a parse driver
// that checks the node pool's accounting on every path.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/errors.h"
#include "lib/byte_order.h"
#include "lib/expression.h"
#include "lib/expression_parser.h"

namespace veldor::test {

// Leaves print as their value: columns as [corr.]name, constants as i:5 (32-bit),
// L:5 (64-bit), f:1.5, 'text', #7 (a non-printable character), TRUE/FALSE, NULL, ?,
// date/time/timestamp. Inner nodes print as (label child...), with "_" for an absent
// link before a present one. Labels: operators as written in SQL (neg and pos for the
// signs), predicates by name, functions by upper-case keyword with the code for TRIM and
// EXTRACT. BETWEEN, IN lists, SUBSTRING, REPLACE and CAST print their Right chain flat,
// after Left.
inline std::string Show(const TExpToken* n, bool chainItem = false, int depth = 0);

// Nodes whose Right is a chain of items linked through each item's Right.
inline bool HasChain(const TExpToken* n) {
  return (n->Kind == kTokenPredicate && (n->Code == kPredBetween || n->Code == kPredNotBetween ||
                                         n->Code == kPredInList || n->Code == kPredNotInList)) ||
         (n->Kind == kTokenFunction && (n->Code == kFuncSubstring || n->Code == kFuncReplace || n->Code == kFuncCast));
}

// `chainItem`: the node's Right is the next item of its parent's chain, not its own.
inline std::string Show(const TExpToken* n, bool chainItem, int depth) {
  if (n == nullptr) return "_";
  if (depth > 300) return "...";  // the huge trees of the robustness tests
  std::string label;
  switch (n->Kind) {
    case kTokenUnary:
      label = n->Code == kOpNot ? "NOT" : n->Code == kOpNegate ? "neg" : n->Code == kOpPlusSign ? "pos" : "u?";
      break;
    case kTokenBinary: {
      static const char* ops[] = {"", "", "", "=", "<>", ">", "<", ">=", "<=", "", "AND", "OR",
                                  "", "", "", "", "", "+", "-", "*", "/"};
      label = n->Code <= 20 ? ops[n->Code] : "b?";
      break;
    }
    case kTokenColumn:
      label = n->CorrelationName.empty() ? n->ColumnName : n->CorrelationName + "." + n->ColumnName;
      break;
    case kTokenConstant: {
      char buf[64];
      if (n->IsParameter) label = "?";
      else if (n->IsNull) label = n->DataType == 0 ? "NULL" : "NULL:" + std::to_string(n->DataType);
      else if (n->DataType == 1) {
        const std::string s(reinterpret_cast<const char*>(n->Value.data()), size_t(n->DataSize - 1));
        label = (s.size() == 1 && (uint8_t(s[0]) < 32 || uint8_t(s[0]) > 126)) ? "#" + std::to_string(uint8_t(s[0]))
                                                                                 : "'" + s + "'";
      } else if (n->DataType == 4) label = LoadI16(n->Value.data()) ? "TRUE" : "FALSE";
      else if (n->DataType == 6) label = "i:" + std::to_string(LoadI32(n->Value.data()));
      else if (n->DataType == 18) label = "L:" + std::to_string(LoadI64(n->Value.data()));
      else if (n->DataType == 7) {
        std::snprintf(buf, sizeof buf, "f:%.15g", LoadDouble(n->Value.data()));
        label = buf;
      } else if (n->DataType == 2) label = "date";
      else if (n->DataType == 10) label = "time";
      else if (n->DataType == 11) label = "timestamp";
      else label = "c?";
      break;
    }
    case kTokenSubSelect:
      label = "SELECT";
      break;
    case kTokenFunction:
      for (char c : n->Text) label.push_back(c >= 'a' && c <= 'z' ? char(c - 32) : c);
      if (n->Code >= kFuncTrimLeading && n->Code <= kFuncTrimBoth) label += "/" + std::to_string(n->Code);
      if (n->Code >= kFuncExtractYear && n->Code <= kFuncExtractSecond) label += "/" + std::to_string(n->Code);
      break;
    case kTokenPredicate: {
      switch (n->Code) {
        case kPredLike: label = "LIKE"; break;
        case kPredNotLike: label = "NOTLIKE"; break;
        case kPredBetween: label = "BETWEEN"; break;
        case kPredNotBetween: label = "NOTBETWEEN"; break;
        case kPredInList: label = "IN"; break;
        case kPredNotInList: label = "NOTIN"; break;
        case kPredInSelect: label = "INSELECT"; break;
        case kPredNotInSelect: label = "NOTINSELECT"; break;
        default: label = "p?";
      }
      break;
    }
    default:
      label = "k?";
  }
  if (HasChain(n)) {  // (label Left item item ...)
    std::string out = "(" + label + " " + Show(n->Left, false, depth + 1);
    for (const TExpToken* item = n->Right; item != nullptr; item = item->Right) out += " " + Show(item, true, depth + 1);
    return out + ")";
  }
  const TExpToken* links[3] = {n->Left, chainItem ? nullptr : n->Right, n->Third};
  int last = -1;
  for (int i = 0; i < 3; ++i)
    if (links[i]) last = i;
  if (last < 0) return label;
  std::string out = "(" + label;
  for (int i = 0; i <= last; ++i) out += " " + Show(links[i], false, depth + 1);
  return out + ")";
}

// Nodes handed out by the process's pool and not yet given back.
inline long Outstanding() {
  return long(ProcessTokenStack().CreatedCount()) - long(ProcessTokenStack().FreeCount());
}

struct TParseResult {
  std::string Tree;     // the printed tree, then " |" and the token where the level stopped
  std::string Message;  // the error's message slot, "" when the parse succeeded
  std::string Full;     // the engine error's whole message
};

// Parses `text` at the full-expression level. Every node must be back in the pool once
// the tree (or the failure) is gone, whatever happened.
inline TParseResult Parse(const std::string& text, uint32_t options, const std::string& context = "test clause",
                          TExpressionParser* useParser = nullptr) {
  TParseResult result;
  const long before = Outstanding();
  {
    TExpressionParser own;
    TExpressionParser& parser = useParser ? *useParser : own;
    if (!useParser) parser.ContextName = context;
    try {
      parser.SetExpression(text);
      parser.NextToken();
      TTokenTree tree = parser.ParseExpression(options);
      result.Tree = Show(tree.Get());
      if (!parser.IsToken(kScanEnd)) result.Tree += " |" + parser.TokenText();
    } catch (const EVELDOREngineError& e) {
      result.Message = e.ErrorMessage;
      result.Full = e.Message;
    }
  }
  EXPECT_EQ(Outstanding(), before) << "nodes lost parsing: " << text;
  return result;
}

}  // namespace veldor::test
