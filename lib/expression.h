// Expression trees: the node type, the process-wide node pool and the tree operations.
//
// `TExpToken` is at once a scanner token, a node of a parsed filter or SQL expression, and
// the value that evaluation produces for a node. Every node comes from the one
// `TExpTokenStack` of the process and goes back to it on every path, errors included; a
// tree owns its nodes through its root and is freed with `FreeTokenTree`, which callers
// reach through the move-only holder `TTokenTree`. The pool is shared by all threads and
// guarded by its own mutex; a tree itself is used by one thread at a time. This file does
// not parse (see expression_parser.h), type-check or evaluate.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace veldor {

class TDataQuery;  // the SQL query of a sub-select; owned by its statement, never by a node

// Node kinds.
inline constexpr uint8_t kTokenUnary = 1;
inline constexpr uint8_t kTokenBinary = 2;
inline constexpr uint8_t kTokenStringCompare = 3;  // made by the checker, never by the parser
inline constexpr uint8_t kTokenColumn = 4;
inline constexpr uint8_t kTokenConstant = 5;
inline constexpr uint8_t kTokenSubSelect = 6;
inline constexpr uint8_t kTokenFunction = 10;
inline constexpr uint8_t kTokenPredicate = 12;

// Operator codes of unary and binary nodes.
inline constexpr uint8_t kOpEqual = 3;
inline constexpr uint8_t kOpNotEqual = 4;
inline constexpr uint8_t kOpGreater = 5;
inline constexpr uint8_t kOpLess = 6;
inline constexpr uint8_t kOpGreaterOrEqual = 7;
inline constexpr uint8_t kOpLessOrEqual = 8;
inline constexpr uint8_t kOpNot = 9;
inline constexpr uint8_t kOpAnd = 10;
inline constexpr uint8_t kOpOr = 11;
inline constexpr uint8_t kOpNegate = 15;
inline constexpr uint8_t kOpPlusSign = 16;
inline constexpr uint8_t kOpAdd = 17;  // also ||
inline constexpr uint8_t kOpSubtract = 18;
inline constexpr uint8_t kOpMultiply = 19;
inline constexpr uint8_t kOpDivide = 20;

// Extended predicate codes (each the code of a character).
inline constexpr uint8_t kPredLike = ' ';
inline constexpr uint8_t kPredNotLike = '+';
inline constexpr uint8_t kPredBetween = ')';
inline constexpr uint8_t kPredNotBetween = '*';
inline constexpr uint8_t kPredInList = '!';
inline constexpr uint8_t kPredNotInList = ',';
inline constexpr uint8_t kPredInSelect = '"';
inline constexpr uint8_t kPredNotInSelect = '-';

// Function codes.
inline constexpr uint8_t kFuncSum = 23;
inline constexpr uint8_t kFuncRunSum = 24;
inline constexpr uint8_t kFuncCount = 25;
inline constexpr uint8_t kFuncMin = 26;
inline constexpr uint8_t kFuncMax = 27;
inline constexpr uint8_t kFuncAvg = 28;
inline constexpr uint8_t kFuncUpper = 36;
inline constexpr uint8_t kFuncLower = 37;
inline constexpr uint8_t kFuncSubstring = 46;
inline constexpr uint8_t kFuncReplace = 47;
inline constexpr uint8_t kFuncPos = 48;
inline constexpr uint8_t kFuncOccurs = 49;
inline constexpr uint8_t kFuncTrimLeading = 50;
inline constexpr uint8_t kFuncTrimTrailing = 51;
inline constexpr uint8_t kFuncTrimBoth = 52;
inline constexpr uint8_t kFuncLength = 53;
inline constexpr uint8_t kFuncCast = 54;
inline constexpr uint8_t kFuncExtractYear = 55;
inline constexpr uint8_t kFuncExtractMonth = 56;
inline constexpr uint8_t kFuncExtractWeek = 57;
inline constexpr uint8_t kFuncExtractDay = 58;
inline constexpr uint8_t kFuncExtractDayOfWeek = 59;
inline constexpr uint8_t kFuncExtractHour = 60;
inline constexpr uint8_t kFuncExtractMinute = 61;
inline constexpr uint8_t kFuncExtractSecond = 62;
inline constexpr uint8_t kFuncIf = 63;
inline constexpr uint8_t kFuncAbs = 64;
inline constexpr uint8_t kFuncRound = 65;

// One node. Fields in their fixed order; `Value` holds the value in the record encoding of
// `DataType` (strings NUL-terminated), little-endian, and always has `Capacity` bytes,
// a whole multiple of 256. `Parent`, `Left`, `Right` and `Third` point at other pool nodes
// of the same tree; the tree owns `Left`, `Right` and `Third`, never `Parent`, `SubQuery`
// or `SourceTable`.
struct TExpToken {
  static constexpr int32_t kValueStep = 256;

  TExpToken();

  int32_t Capacity = kValueStep;
  std::string Text;
  uint8_t Kind = 0;
  uint8_t Code = 0;
  uint8_t OptimizeLevel = 0;
  uint8_t JoinSide = 0;
  uint8_t Visited = 0;
  std::string ColumnName;       // at most 255 characters
  uint16_t FieldNumber = 0;
  std::string CorrelationName;  // at most 255 characters
  void* SourceTable = nullptr;  // the SQL source table the column is bound to (opaque here)
  TDataQuery* SubQuery = nullptr;
  std::vector<uint8_t> Value;
  uint8_t IsNull = 0;
  uint8_t IsParameter = 0;
  int32_t PartialLength = 0;
  uint8_t CaseInsensitive = 0;
  uint8_t DataType = 0;
  uint8_t SubType = 0;
  int32_t DataSize = 0;
  uint8_t Scale = 0;
  uint8_t BoundFromString = 0;
  uint8_t SavedType = 0;
  uint8_t SavedSubType = 0;
  int32_t SavedSize = 0;
  uint8_t SavedScale = 0;
  TExpToken* Parent = nullptr;
  TExpToken* Left = nullptr;
  TExpToken* Right = nullptr;
  TExpToken* Third = nullptr;
  int32_t LeftOffset = 0;
  int32_t RightOffset = 0;
  int32_t ThirdOffset = 0;
  int32_t WritePosition = 0;

  // Every field back to a new node's state: a zeroed 256-byte `Value`, no links.
  void Clear();
  // Sets `DataSize`, growing `Value` in steps of 256 (new bytes zero) when it holds less.
  // Negative sizes count as 0.
  void SetDataSize(int32_t size);
  // Copies every field up to and including `Third`, and the `Value` bytes (links are
  // copied as they are: the caller decides what they mean in its tree).
  void CopyFrom(const TExpToken& other);
  // Stores a NUL-terminated string value: `DataSize` = length + 1.
  void SetStringValue(const std::string& text);

 private:
  struct TNoValue {};
  explicit TExpToken(TNoValue) {}
};

// The pool of free nodes. Nodes handed out are plain pointers owned by the caller's tree
// until they come back through `ReleaseToken`; destroying the pool frees the free nodes.
// The pool keeps at most `kMaxFreeNodes` free nodes, each with a standard 256-byte value:
// nodes given back beyond that are freed, and a grown value buffer is freed before its
// node is kept, so a huge expression or a long text value does not hold its memory for
// the rest of the process.
class TExpTokenStack {
 public:
  static constexpr size_t kInitialCapacity = 256;
  static constexpr size_t kMaxFreeNodes = 16384;

  TExpTokenStack();
  ~TExpTokenStack();
  TExpTokenStack(const TExpTokenStack&) = delete;
  TExpTokenStack& operator=(const TExpTokenStack&) = delete;

  // The last free node, cleared, or a new node when none is free.
  TExpToken* AcquireToken();
  // Gives `token` back (null does nothing) and sets the caller's pointer to null. A node
  // the pool has no room for is freed.
  void ReleaseToken(TExpToken*& token) noexcept;

  size_t FreeCount() const;
  // Nodes created by this pool and not freed; created minus free is the number handed out.
  size_t CreatedCount() const;

 private:
  mutable std::mutex Lock;
  std::vector<std::unique_ptr<TExpToken>> FreeList;  // guarded by Lock
  size_t Created = 0;                                // guarded by Lock
};

// The process's pool, created on first use and destroyed when the library ends.
TExpTokenStack& ProcessTokenStack();
TExpToken* AcquireToken();
void ReleaseToken(TExpToken*& token) noexcept;

// Releases `root`, then its subtrees (Left, Right, Third), to the process's pool; null does
// nothing. Walks with its own stack, so tree depth is not bounded by the call stack.
void FreeTokenTree(TExpToken* root) noexcept;

// Owns one tree and frees it when destroyed. Move-only.
class TTokenTree {
 public:
  TTokenTree() = default;
  explicit TTokenTree(TExpToken* root) : Root(root) {}
  ~TTokenTree() { FreeTokenTree(Root); }
  TTokenTree(TTokenTree&& other) noexcept : Root(other.Release()) {}
  TTokenTree& operator=(TTokenTree&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TTokenTree(const TTokenTree&) = delete;
  TTokenTree& operator=(const TTokenTree&) = delete;

  // A fresh node from the process's pool.
  static TTokenTree New() { return TTokenTree(AcquireToken()); }

  TExpToken* Get() const { return Root; }
  TExpToken* operator->() const { return Root; }
  TExpToken& operator*() const { return *Root; }
  explicit operator bool() const { return Root != nullptr; }
  // Hands the tree to the caller, who must free it.
  TExpToken* Release() noexcept {
    TExpToken* root = Root;
    Root = nullptr;
    return root;
  }
  void Reset(TExpToken* root = nullptr) noexcept {
    FreeTokenTree(Root);
    Root = root;
  }

 private:
  TExpToken* Root = nullptr;
};

// A deep copy of the tree from the pool (empty for null). Parent links inside the copy
// point at the copied parents; the copy's root has no parent.
TTokenTree CopyTokenTree(const TExpToken* root);

// Both null, or the same shape with equal node fields: Kind, Code, ColumnName and
// CorrelationName (without regard to case), IsParameter, PartialLength, CaseInsensitive,
// DataType, SubType, DataSize, Scale, and for constants IsNull and the value bytes.
bool SameExpression(const TExpToken* a, const TExpToken* b);

// A comparison node (=, <>, <, >, <=, >=), also in the string form the checker makes.
inline bool IsComparisonNode(const TExpToken* n) {
  return n != nullptr && (n->Kind == kTokenBinary || n->Kind == kTokenStringCompare) && n->Code >= kOpEqual &&
         n->Code <= kOpLessOrEqual;
}

// The comparison that holds with the operands swapped: `<` and `>`, `<=` and `>=` trade
// places; every other code is its own mirror.
inline uint8_t MirroredComparison(uint8_t code) {
  switch (code) {
    case kOpGreater: return kOpLess;
    case kOpLess: return kOpGreater;
    case kOpGreaterOrEqual: return kOpLessOrEqual;
    case kOpLessOrEqual: return kOpGreaterOrEqual;
    default: return code;
  }
}

// True for a column node; for unary, function and predicate nodes the answer of Left
// (for IF of Left, Right and Third); for binary nodes of Left or Right; false otherwise.
bool ReferencesColumn(const TExpToken* node);

// True for an aggregate (SUM, RUNSUM, COUNT, MIN, MAX, AVG); for IF of its three arguments;
// for unary, function and predicate nodes of Left; for binary nodes of Left or Right.
bool ContainsAggregate(const TExpToken* node);

// The self-contained byte form of a tree, depth first: a node's record, then its Left,
// Right and Third subtrees. Each record item is a 32-bit little-endian length and that
// many bytes: Text, Kind, Code, OptimizeLevel, ColumnName, FieldNumber, DataSize, Value,
// IsNull, PartialLength, CaseInsensitive, DataType, SubType, Scale, and the offsets of
// the Left, Right and Third records (0 for none). The root record is at offset 0. Fills
// the nodes' WritePosition and ...Offset fields. A null root gives no bytes.
std::vector<uint8_t> SerializeTokenTree(TExpToken* root);

// Reads what SerializeTokenTree wrote. Damaged input (short items, wrong item widths,
// offsets that point backwards, outside the bytes or at a record already used) raises
// VELDOR_REMOTEINVREQUEST; nothing is allocated beyond what the bytes describe. No bytes
// give an empty tree.
TTokenTree DeserializeTokenTree(const uint8_t* bytes, size_t length);

}  // namespace veldor
