// Small pieces shared by the files of the statement parser; not part of its interface.
#pragma once

#include <string>

#include "engine/field_types.h"
#include "lib/expression.h"

namespace veldor::sql_detail {

inline std::string Cut255(const std::string& s) { return s.size() > 255 ? s.substr(0, 255) : s; }

// A column named by a primary: a column node names its column; a string constant names
// the column of that text and becomes a column node. Anything else names nothing (binding
// refuses it).
inline void TakeColumnNode(TExpToken* node) {
  if (node->Kind == kTokenConstant && node->DataType == FIELD_STRING && !node->IsParameter && !node->IsNull) {
    node->Kind = kTokenColumn;
    node->ColumnName = Cut255(node->Text);
    node->DataType = 0;
    node->SetDataSize(0);
  }
}

}  // namespace veldor::sql_detail
