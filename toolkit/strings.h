// Lists of text lines: the SQL text of a query, the names a data set hands out.
//
// `TStrings` owns its lines (UTF-8 or engine text alike: it never converts) and tells
// subclasses before and after every change; `TStringList` turns those into the
// OnChanging and OnChange events. Batches between BeginUpdate and EndUpdate report one
// change. One thread at a time.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace veldor {

class TStrings {
 public:
  TStrings() = default;
  virtual ~TStrings() = default;
  TStrings(const TStrings&) = delete;
  TStrings& operator=(const TStrings&) = delete;

  int Count() const { return int(Lines_.size()); }
  // Line `index`; std::out_of_range outside 0 .. Count - 1.
  const std::string& operator[](int index) const { return Lines_.at(size_t(index)); }
  const std::vector<std::string>& Lines() const { return Lines_; }
  // Returns the index of the new line.
  int Add(const std::string& line);
  void Insert(int index, const std::string& line);  // 0 <= index <= Count
  void Delete(int index);
  void Put(int index, const std::string& line);
  void Clear();
  // The first line equal to `line` (exactly), or -1.
  int IndexOf(const std::string& line) const;
  // Every line followed by "\n".
  std::string Text() const;
  // Replaces the lines: `text` split at "\r\n", "\n" or "\r"; a final line break adds no
  // empty line.
  void SetText(std::string_view text);
  void Assign(const TStrings& source);
  bool Equals(const TStrings& other) const { return Lines_ == other.Lines_; }

  // Changes between these report one change (nested batches count).
  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return UpdateCount_; }

 protected:
  // Before and after each change outside a batch, and around a whole batch.
  virtual void Changing() {}
  virtual void Changed() {}

 private:
  void Before();
  void After();

  std::vector<std::string> Lines_;
  int UpdateCount_ = 0;
};

class TStringList : public TStrings {
 public:
  std::function<void(TStringList&)> OnChanging;
  std::function<void(TStringList&)> OnChange;

 protected:
  void Changing() override;
  void Changed() override;
};

}  // namespace veldor
