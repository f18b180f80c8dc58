// Expression nodes, the node pool and the tree operations. Every walk over a tree uses an
// explicit stack: parsed trees may be deep along one side (a long chain of + or an IN
// list of thousands of items), and the call stack must not bound them.
#include "lib/expression.h"

#include <atomic>
#include <cstring>
#include <set>
#include <utility>

#include "engine/errors.h"
#include "lib/byte_order.h"
#include "lib/name_text.h"

namespace veldor {

// ---- TExpToken ---------------------------------------------------------------------------

TExpToken::TExpToken() : Value(kValueStep, 0) {}

void TExpToken::Clear() {
  // A standard-size buffer is zeroed and kept; a larger one is replaced by a fresh one.
  std::vector<uint8_t> value = std::move(Value);
  if (Capacity == kValueStep && value.size() == size_t(kValueStep))
    std::memset(value.data(), 0, value.size());
  else
    value.assign(size_t(kValueStep), 0);
  *this = TExpToken(TNoValue{});
  Value = std::move(value);
}

void TExpToken::SetDataSize(int32_t size) {
  if (size < 0) size = 0;
  if (size > Capacity) {
    const int32_t steps = (size + kValueStep - 1) / kValueStep;
    Capacity = steps * kValueStep;
    Value.resize(size_t(Capacity), 0);
  }
  DataSize = size;
}

void TExpToken::CopyFrom(const TExpToken& other) {
  if (this == &other) return;
  const int32_t links = LeftOffset, rights = RightOffset, thirds = ThirdOffset, position = WritePosition;
  *this = other;
  LeftOffset = links;
  RightOffset = rights;
  ThirdOffset = thirds;
  WritePosition = position;
}

void TExpToken::SetStringValue(const std::string& text) {
  SetDataSize(int32_t(text.size()) + 1);
  std::memcpy(Value.data(), text.data(), text.size());
  Value[text.size()] = 0;
}

// ---- TExpTokenStack ----------------------------------------------------------------------

TExpTokenStack::TExpTokenStack() { FreeList.reserve(kInitialCapacity); }

TExpTokenStack::~TExpTokenStack() = default;

TExpToken* TExpTokenStack::AcquireToken() {
  std::unique_ptr<TExpToken> token;
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (!FreeList.empty()) {
      token = std::move(FreeList.back());
      FreeList.pop_back();
    } else {
      ++Created;
    }
  }
  if (token) {
    token->Clear();
  } else {
    token = std::make_unique<TExpToken>();
  }
  return token.release();
}

void TExpTokenStack::ReleaseToken(TExpToken*& token) noexcept {
  if (token == nullptr) return;
  std::unique_ptr<TExpToken> owned(token);
  token = nullptr;
  // A grown value goes back to the memory manager now; Clear gives the node a fresh
  // standard buffer when it is handed out again.
  if (owned->Value.size() > size_t(TExpToken::kValueStep)) std::vector<uint8_t>().swap(owned->Value);
  std::unique_ptr<TExpToken> surplus;  // freed after the lock is let go
  std::lock_guard<std::mutex> guard(Lock);
  if (FreeList.size() >= kMaxFreeNodes) {
    surplus = std::move(owned);
    --Created;
    return;
  }
  try {
    FreeList.push_back(std::move(owned));
  } catch (...) {
    // No room to keep it: the node is simply freed (owned goes out of scope).
    --Created;
  }
}

size_t TExpTokenStack::FreeCount() const {
  std::lock_guard<std::mutex> guard(Lock);
  return FreeList.size();
}

size_t TExpTokenStack::CreatedCount() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Created;
}

namespace {

// Whether the process's pool is gone. Constant-initialised and trivially destructible, so
// it can be read while static objects are destroyed and still give nodes back.
std::atomic<bool> ProcessStackGone{false};

struct TProcessStack {
  TExpTokenStack Stack;
  ~TProcessStack() { ProcessStackGone.store(true); }
};

}  // namespace

TExpTokenStack& ProcessTokenStack() {
  static TProcessStack instance;
  return instance.Stack;
}

TExpToken* AcquireToken() {
  if (ProcessStackGone.load()) return std::make_unique<TExpToken>().release();
  return ProcessTokenStack().AcquireToken();
}

void ReleaseToken(TExpToken*& token) noexcept {
  if (ProcessStackGone.load()) {
    std::unique_ptr<TExpToken> owned(token);
    token = nullptr;
    return;
  }
  ProcessTokenStack().ReleaseToken(token);
}

// ---- Tree operations ---------------------------------------------------------------------

void FreeTokenTree(TExpToken* root) noexcept {
  if (root == nullptr) return;
  // Each node is released after its links were pushed; the order of release does not
  // matter to anyone, only that every node goes back. Third is pushed first so that Left
  // is released first, as the tree's owner expects.
  std::vector<TExpToken*> pending;
  try {
    pending.reserve(64);
  } catch (...) {
  }
  pending.push_back(root);
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    TExpToken* links[3] = {node->Third, node->Right, node->Left};
    node->Left = node->Right = node->Third = nullptr;
    ReleaseToken(node);
    for (TExpToken* link : links)
      if (link != nullptr) pending.push_back(link);
  }
}

TTokenTree CopyTokenTree(const TExpToken* root) {
  if (root == nullptr) return TTokenTree();
  TTokenTree copy = TTokenTree::New();
  copy->CopyFrom(*root);
  copy->Parent = nullptr;
  copy->Left = copy->Right = copy->Third = nullptr;
  // (source node, its copy, already attached to the copied tree)
  std::vector<std::pair<const TExpToken*, TExpToken*>> pending{{root, copy.Get()}};
  while (!pending.empty()) {
    auto [source, target] = pending.back();
    pending.pop_back();
    const TExpToken* sources[3] = {source->Left, source->Right, source->Third};
    TExpToken** slots[3] = {&target->Left, &target->Right, &target->Third};
    for (int i = 0; i < 3; ++i) {
      if (sources[i] == nullptr) continue;
      TExpToken* child = AcquireToken();
      child->CopyFrom(*sources[i]);
      child->Left = child->Right = child->Third = nullptr;
      child->Parent = sources[i]->Parent == source ? target : sources[i]->Parent;
      *slots[i] = child;
      pending.emplace_back(sources[i], child);
    }
  }
  return copy;
}

namespace {

bool SameNode(const TExpToken& a, const TExpToken& b) {
  if (a.Kind != b.Kind || a.Code != b.Code || !EqualsIgnoreCase(a.ColumnName, b.ColumnName) ||
      !EqualsIgnoreCase(a.CorrelationName, b.CorrelationName) || a.IsParameter != b.IsParameter ||
      a.PartialLength != b.PartialLength || a.CaseInsensitive != b.CaseInsensitive ||
      a.DataType != b.DataType || a.SubType != b.SubType || a.DataSize != b.DataSize ||
      a.Scale != b.Scale)
    return false;
  if (a.Kind == kTokenConstant) {
    if (a.IsNull != b.IsNull) return false;
    if (a.DataSize > 0 && std::memcmp(a.Value.data(), b.Value.data(), size_t(a.DataSize)) != 0)
      return false;
  }
  return true;
}

}  // namespace

bool SameExpression(const TExpToken* a, const TExpToken* b) {
  std::vector<std::pair<const TExpToken*, const TExpToken*>> pending{{a, b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x == nullptr || y == nullptr) {
      if (x != y) return false;
      continue;
    }
    if (!SameNode(*x, *y)) return false;
    pending.emplace_back(x->Left, y->Left);
    pending.emplace_back(x->Right, y->Right);
    pending.emplace_back(x->Third, y->Third);
  }
  return true;
}

namespace {

// Depth-first search for a node that `hit` accepts, descending by the rules both
// questions share: IF into all three arguments, unary, function and predicate nodes into
// Left, binary nodes into Left and Right, nothing else.
template <typename Hit>
bool AnyNode(const TExpToken* node, Hit hit) {
  std::vector<const TExpToken*> pending;
  if (node != nullptr) pending.push_back(node);
  while (!pending.empty()) {
    const TExpToken* n = pending.back();
    pending.pop_back();
    if (hit(*n)) return true;
    auto push = [&](const TExpToken* link) {
      if (link != nullptr) pending.push_back(link);
    };
    if (n->Kind == kTokenFunction && n->Code == kFuncIf) {
      push(n->Left);
      push(n->Right);
      push(n->Third);
    } else if (n->Kind == kTokenUnary || n->Kind == kTokenFunction || n->Kind == kTokenPredicate) {
      push(n->Left);
    } else if (n->Kind == kTokenBinary) {
      push(n->Left);
      push(n->Right);
    }
  }
  return false;
}

}  // namespace

bool ReferencesColumn(const TExpToken* node) {
  return AnyNode(node, [](const TExpToken& n) { return n.Kind == kTokenColumn; });
}

bool ContainsAggregate(const TExpToken* node) {
  return AnyNode(node, [](const TExpToken& n) {
    return n.Kind == kTokenFunction && n.Code >= kFuncSum && n.Code <= kFuncAvg;
  });
}

// ---- Byte form ---------------------------------------------------------------------------

namespace {

constexpr int kRecordItems = 17;

void PutItem(std::vector<uint8_t>& out, const void* bytes, size_t length) {
  const size_t at = out.size();
  out.resize(at + 4 + length);
  StoreU32(out.data() + at, uint32_t(length));
  if (length > 0) std::memcpy(out.data() + at + 4, bytes, length);
}

void PutByte(std::vector<uint8_t>& out, uint8_t value) { PutItem(out, &value, 1); }

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
  uint8_t b[2];
  StoreU16(b, value);
  PutItem(out, b, 2);
}

void PutI32(std::vector<uint8_t>& out, int32_t value) {
  uint8_t b[4];
  StoreI32(b, value);
  PutItem(out, b, 4);
}

[[noreturn]] void RaiseDamaged() {
  RaiseEngineError(VELDOR_REMOTEINVREQUEST, "", "", "", "", "", "", "damaged expression tree");
}

// Reads the items of one record, refusing anything that leaves the bytes.
class TRecordReader {
 public:
  TRecordReader(const uint8_t* bytes, size_t length, size_t at) : Bytes(bytes), Length(length), At(at) {}

  std::pair<const uint8_t*, size_t> Item() {
    if (Length - At < 4) RaiseDamaged();
    const size_t size = LoadU32(Bytes + At);
    At += 4;
    if (Length - At < size) RaiseDamaged();
    const uint8_t* data = Bytes + At;
    At += size;
    return {data, size};
  }
  const uint8_t* Fixed(size_t width) {
    auto [data, size] = Item();
    if (size != width) RaiseDamaged();
    return data;
  }
  std::string Text(size_t limit) {
    auto [data, size] = Item();
    if (size > limit) RaiseDamaged();
    return std::string(reinterpret_cast<const char*>(data), size);
  }

 private:
  const uint8_t* Bytes;
  size_t Length;
  size_t At;
};

}  // namespace

std::vector<uint8_t> SerializeTokenTree(TExpToken* root) {
  std::vector<uint8_t> out;
  if (root == nullptr) return out;
  // (node, position of the offset item in its parent's record that must point at it)
  std::vector<std::pair<TExpToken*, size_t>> pending{{root, 0}};
  while (!pending.empty()) {
    auto [node, patch] = pending.back();
    pending.pop_back();
    const size_t at = out.size();
    node->WritePosition = int32_t(at);
    if (node != root) StoreU32(out.data() + patch, uint32_t(at));
    node->LeftOffset = node->RightOffset = node->ThirdOffset = 0;
    const int32_t size = node->DataSize < 0 ? 0 : node->DataSize;
    PutItem(out, node->Text.data(), node->Text.size());
    PutByte(out, node->Kind);
    PutByte(out, node->Code);
    PutByte(out, node->OptimizeLevel);
    PutItem(out, node->ColumnName.data(), node->ColumnName.size());
    PutU16(out, node->FieldNumber);
    PutI32(out, size);
    PutItem(out, node->Value.data(), size_t(std::min<int32_t>(size, int32_t(node->Value.size()))));
    PutByte(out, node->IsNull);
    PutI32(out, node->PartialLength);
    PutByte(out, node->CaseInsensitive);
    PutByte(out, node->DataType);
    PutByte(out, node->SubType);
    PutByte(out, node->Scale);
    const size_t offsets = out.size();
    PutI32(out, 0);
    PutI32(out, 0);
    PutI32(out, 0);
    // Third first on the stack so that Left's subtree is laid out first. The patch
    // positions point at each offset item's 4 value bytes.
    if (node->Third != nullptr) pending.emplace_back(node->Third, offsets + 16 + 4);
    if (node->Right != nullptr) pending.emplace_back(node->Right, offsets + 8 + 4);
    if (node->Left != nullptr) pending.emplace_back(node->Left, offsets + 4);
  }
  // Mirror the offsets into the nodes' fields now that every record has its place.
  std::vector<TExpToken*> walk{root};
  while (!walk.empty()) {
    TExpToken* node = walk.back();
    walk.pop_back();
    if (node->Left) node->LeftOffset = node->Left->WritePosition, walk.push_back(node->Left);
    if (node->Right) node->RightOffset = node->Right->WritePosition, walk.push_back(node->Right);
    if (node->Third) node->ThirdOffset = node->Third->WritePosition, walk.push_back(node->Third);
  }
  return out;
}

TTokenTree DeserializeTokenTree(const uint8_t* bytes, size_t length) {
  if (length == 0) return TTokenTree();
  if (bytes == nullptr || length < size_t(kRecordItems) * 4) RaiseDamaged();
  TTokenTree root = TTokenTree::New();
  std::set<size_t> used{0};
  std::vector<std::pair<TExpToken*, size_t>> pending{{root.Get(), 0}};
  while (!pending.empty()) {
    auto [node, at] = pending.back();
    pending.pop_back();
    TRecordReader reader(bytes, length, at);
    node->Text = reader.Text(length);
    node->Kind = *reader.Fixed(1);
    node->Code = *reader.Fixed(1);
    node->OptimizeLevel = *reader.Fixed(1);
    node->ColumnName = reader.Text(255);
    node->FieldNumber = LoadU16(reader.Fixed(2));
    const int32_t size = LoadI32(reader.Fixed(4));
    auto [value, valueSize] = reader.Item();
    if (size < 0 || size_t(size) != valueSize) RaiseDamaged();
    node->SetDataSize(size);
    if (valueSize > 0) std::memcpy(node->Value.data(), value, valueSize);
    node->IsNull = *reader.Fixed(1);
    node->PartialLength = LoadI32(reader.Fixed(4));
    node->CaseInsensitive = *reader.Fixed(1);
    node->DataType = *reader.Fixed(1);
    node->SubType = *reader.Fixed(1);
    node->Scale = *reader.Fixed(1);
    TExpToken** slots[3] = {&node->Left, &node->Right, &node->Third};
    size_t offsets[3];
    for (size_t& offset : offsets) offset = LoadU32(reader.Fixed(4));
    for (int i = 0; i < 3; ++i) {
      const size_t offset = offsets[i];
      if (offset == 0) continue;
      // Records only point forward and each is used once: no cycles, no shared nodes.
      if (offset <= at || offset >= length || !used.insert(offset).second) RaiseDamaged();
      *slots[i] = AcquireToken();  // attached at once, so a later failure frees it
      pending.emplace_back(*slots[i], offset);
    }
  }
  return root;
}

}  // namespace veldor
