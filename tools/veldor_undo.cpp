// The undo snapshot of a table's files.

#include "tools/veldor_undo.h"

#include "engine/blob_file.h"
#include "engine/errors.h"
#include "engine/table_header.h"
#include "lib/file_layer.h"
#include "tools/veldor_tool.h"

namespace veldor::tool {

TTableUndo::TTableUndo(TDataTable& table, TKeep data, TKeep blob) : InMemory_(table.InMemory()) {
  struct TSource {
    TFileHandler* Handler;
    TKeep Keep;
    size_t HeaderSize;
  };
  std::vector<TSource> sources{{&table.DataFile(), data, size_t(RecordsOffset(table.FieldCount()))},
                               {&table.IndexFile(), TKeep::Whole, 0}};
  if (table.HasBlobFile()) sources.push_back({&table.BlobFile(), blob, kBlobHeaderSize});
  for (const TSource& s : sources) {
    TFileHandler left(CopyName(s.Handler->FileName()), InMemory_);
    if (left.Exists())
      throw TToolError(CopyName(s.Handler->FileName()) +
                       " is left from an earlier command that was killed before it finished, so " +
                       table.Name() + " may hold part of its work: check it with 'veldor verify', then delete " +
                       "the .undo files");
  }
  try {
    for (const TSource& s : sources) {
      TFile file{s.Handler->FileName(), s.Keep, {}, 0, false};
      if (s.Keep == TKeep::Whole) {
        file.Copied = true;  // a copy cut short is removed as well
        Files_.push_back(file);
        s.Handler->CopyTo(CopyName(file.Name));
      } else {
        TFileSection section(*s.Handler);
        file.Length = s.Handler->Size();
        file.Header.resize(size_t(std::min<int64_t>(file.Length, int64_t(s.HeaderSize))));
        s.Handler->Seek(kSeekFromStart, 0);
        s.Handler->Read(file.Header.data(), file.Header.size());
        Files_.push_back(std::move(file));
      }
    }
  } catch (...) {
    for (const TFile& f : Files_) {
      try {
        TFileHandler copy(CopyName(f.Name), InMemory_);
        if (f.Copied && copy.Exists()) copy.Delete();
      } catch (...) {
      }
    }
    throw;
  }
}

TTableUndo::~TTableUndo() {
  if (Keep_) return;
  for (const TFile& f : Files_) {
    if (!f.Copied) continue;
    try {
      TFileHandler copy(CopyName(f.Name), InMemory_);
      if (copy.Exists()) copy.Delete();
    } catch (...) {
    }
  }
}

void TTableUndo::Restore() {
  TDeferStops defer;
  try {
    for (TFile& f : Files_) {
      if (f.Keep == TKeep::Whole) {
        TFileHandler damaged(f.Name, InMemory_);
        if (damaged.Exists()) damaged.Delete();
        TFileHandler copy(CopyName(f.Name), InMemory_);
        copy.Rename(f.Name);
        f.Copied = false;  // it is the table's file again
      } else {
        TFileHandler file(f.Name, InMemory_);
        file.SetExclusive(true);
        file.Open();
        try {
          file.Seek(kSeekFromStart, 0);
          file.Write(f.Header.data(), f.Header.size());
          file.Seek(kSeekFromStart, f.Length);
          file.Write(nullptr, 0);  // the end of the file where it was
          file.Flush();
        } catch (...) {
          file.Close();
          throw;
        }
        file.Close();
      }
    }
  } catch (const EVELDOREngineError& e) {
    Keep_ = true;
    std::string copies;
    for (const TFile& f : Files_)
      if (f.Copied) copies += (copies.empty() ? "" : ", ") + CopyName(f.Name);
    throw TToolError("the table's files could not be put back as they were (" +
                     EngineMessage(e.Message, e.ErrorTableName, e.ErrorDatabaseName) + ")" +
                     (copies.empty() ? "" : "; the copies " + copies + " are kept"));
  }
}

}  // namespace veldor::tool
