// A small program that exercises the engine's files end to end: it creates a table with an
// index and a memo field in a temporary directory, writes a few records with their keys
// and texts, reopens the table, walks the index in order and prints what it finds.
// It stands in for the reader until the reader exists.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/btree.h"
#include "engine/data_table.h"
#include "engine/errors.h"
#include "engine/index_key.h"
#include "lib/byte_order.h"
#include "lib/temp_dir.h"

using namespace veldor;

namespace {

TFieldDescriptor Field(uint16_t number, const char* name, uint8_t type, uint8_t size = 0,
                       uint8_t subType = 0) {
  TFieldDescriptor f;
  f.SetFieldNumber(number);
  f.SetFieldName(name);
  f.SetFieldType(type);
  f.SetDeclaredSize(size);
  f.SetSubType(subType);
  return f;
}

struct TEntry {
  const char* Author;
  const char* Title;
  const char* Text;
};

}  // namespace

int main() {
  std::string made = MakeTempDirectory("veldor-smoke");
  if (made.empty()) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string dir = made + "/";
  const TEntry entries[] = {
      {"Woolf", "The Waves", "The sun had not yet risen."},
      {"Austen", "Emma", "Emma Woodhouse, handsome, clever, and rich."},
      {"Melville", "Moby-Dick", "Call me Ishmael."},
  };
  int status = 0;
  try {
    TTableDefinition d;
    d.Fields = {Field(1, "Id", FIELD_INTEGER, 0, SUBTYPE_AUTOINC), Field(2, "Author", FIELD_STRING, 40),
                Field(3, "Title", FIELD_STRING, 60), Field(4, "Text", FIELD_BLOB, 0, SUBTYPE_FMTMEMO)};
    PrepareFieldDefinitions(d.Fields, "a_book");
    TIndexDescriptor primary;
    primary.SetFieldNumber(0, 1);
    TIndexDescriptor byAuthor;
    byAuthor.SetName("ByAuthor");
    byAuthor.SetFieldNumber(0, 2);
    byAuthor.SetCaseInsensitive(true);
    d.Indexes = {primary, byAuthor};
    d.Language = 0x0409;

    {
      TDataTable table(nullptr, dir);
      table.SetName("a_book");
      table.Create(d);
      TKeyLayout layout(table.IndexFile().Descriptor(1), table.DataFile().Fields(), table.Collation());
      TKeyLayout idLayout(table.IndexFile().Descriptor(0), table.DataFile().Fields(), table.Collation());
      TBTree authors(table.IndexFile(), 1, layout);
      TBTree ids(table.IndexFile(), 0, idLayout);
      TIndexPath path;
      for (const TEntry& e : entries) {
        TRecordPin record(table.DataFile().AllocateRecord());
        record->Clear(true);
        const auto& fields = table.DataFile().Fields();
        TValueContext context{&table.Collation()};
        PutFieldValue(record->Data(), fields[1], e.Author, context);
        PutFieldValue(record->Data(), fields[2], e.Title, context);
        TBlobBuffer text;
        text.Data.assign(e.Text, e.Text + std::string(e.Text).size());
        text.Modified = true;
        text.Save(table.BlobFile());
        int32_t first = text.FirstBlock;
        PutFieldValue(record->Data(), fields[3], &first, context);
        StoreI32(record->Data() + fields[3].Offset() + 5, text.BlobId);
        record->SetModified();
        std::vector<uint8_t> key(size_t(layout.KeyLength())), idKey(size_t(idLayout.KeyLength()));
        layout.BuildKey(record->Data(), key.data());
        idLayout.BuildKey(record->Data(), idKey.data());
        authors.Insert(key.data(), record->RecordNumber(), path);
        ids.Insert(idKey.data(), record->RecordNumber(), path);
        table.IndexFile().IncrementActiveRecords();
      }
      table.Close();
    }

    TDataTable table(nullptr, dir);
    table.SetName("a_book");
    table.Open();
    table.VerifyHeaders();
    TKeyLayout layout(table.IndexFile().Descriptor(1), table.DataFile().Fields(), table.Collation());
    TBTree authors(table.IndexFile(), 1, layout);
    std::printf("VELDOR engine 3.03: table a_book, %d records, index ByAuthor:\n",
                table.IndexFile().ActiveRecords());
    for (int64_t n = 1; n <= authors.KeyCount(); ++n) {
      TIndexPath path;
      authors.SeekOrdinal(n, path);
      TPageRef leaf(table.IndexFile().GetPage(1, path.Current().Page));
      TRecordPin record(table.DataFile().GetRecord(leaf->Reference(path.Current().Position)));
      const auto& fields = table.DataFile().Fields();
      char author[41] = {}, title[61] = {};
      GetFieldValue(record->Data(), fields[1], author);
      GetFieldValue(record->Data(), fields[2], title);
      TBlobBuffer text;
      text.FirstBlock = LoadI32(record->Data() + fields[3].Offset() + 1);
      text.BlobId = LoadI32(record->Data() + fields[3].Offset() + 5);
      text.Load(table.BlobFile());
      std::printf("  %-10s %-12s %.*s\n", author, title, int(text.Data.size()),
                  reinterpret_cast<const char*>(text.Data.data()));
    }
    std::string problem = authors.Check();
    std::printf("index check: %s\n", problem.empty() ? "sound" : problem.c_str());
    if (!problem.empty()) status = 1;
    table.Close();
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
