// brevarion-import: adds a person's own texts to the library in a directory. Each SOURCE
// is a folder (its .rtf and .txt files) or a single file. Author and title come from the
// folder's manifest.csv when it lists the file, else from the file's name
// ("Surname, First name - Title.rtf", or "Surname - Title.txt"). RTF files are stored as
// their bytes; text files (UTF-8, or Windows-1252 when they are not UTF-8) are stored as
// RTF that keeps every character. Each entry goes to the volume of its surname's first
// letter; a missing volume is created.
//
// A file that cannot go in is reported, naming it, and skipped; the rest go on. Volumes
// are opened shared and every entry is written through as it is added, under the
// engine's locks, so other programs may use the volumes meanwhile. SIGINT and SIGTERM
// only set a request, looked at between files: the entry being added is finished first.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "lib/exception.h"
#include "tools/library_rtf.h"
#include "tools/library_volumes.h"
#include "tools/veldor_tool.h"
#include "tools/veldor_values.h"

using namespace veldor;
using namespace veldor::tool;

namespace {

constexpr const char kUsage[] =
    "usage: brevarion-import DIR SOURCE...\n"
    "Adds texts to the Brevarion library in DIR. A SOURCE is a folder (its .rtf and .txt\n"
    "files) or one such file. Author and title come from the folder's manifest.csv when it\n"
    "lists the file (UTF-8, header: file,surname,first name,title), else (and for files\n"
    "given one by one) from the file's name: \"Surname, First name - Title.rtf\" or\n"
    "\"Surname - Title.txt\". Text files are UTF-8 (or Windows-1252) and are stored as RTF.\n"
    "Each text goes to the volume of its surname's first letter; missing volumes are made.\n"
    "Files that cannot go in are named on standard error and skipped; the exit status is 0\n"
    "only when every file went in. Ctrl-C stops between files, keeping what went in.\n";

// No text is taken that is larger than this.
constexpr off_t kMaxTextBytes = 64 * 1024 * 1024;
constexpr const char* kManifest = "manifest.csv";

// One file to import, or a problem found before it is read.
struct TJob {
  std::string Path;
  std::string Surname, FirstName, Title;  // UTF-8, as the person wrote them
  std::string Problem;                    // not empty: why it is skipped
};

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

std::string Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  const size_t last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

// ".rtf" or ".txt" (lower case) for a name with either ending in any case, else "".
std::string TextEnding(const std::string& name) {
  if (name.size() < 5) return "";
  const std::string ending = Lower(name.substr(name.size() - 4));
  return ending == ".rtf" || ending == ".txt" ? ending : "";
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Joined(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Author and title from a file name "Surname, First name - Title.ext" or
// "Surname - Title.ext" (the first " - " divides author from title).
bool NamesFromFileName(const std::string& fileName, TJob& job) {
  const std::string stem = fileName.substr(0, fileName.size() - 4);
  const size_t dash = stem.find(" - ");
  if (dash == std::string::npos) return false;
  const std::string author = stem.substr(0, dash);
  const size_t comma = author.find(',');
  job.Surname = Trimmed(std::string_view(author).substr(0, comma));
  job.FirstName = comma == std::string::npos ? "" : Trimmed(std::string_view(author).substr(comma + 1));
  job.Title = Trimmed(std::string_view(stem).substr(dash + 3));
  return !job.Surname.empty() && !job.Title.empty();
}

const char kNameForm[] =
    "the name is not in the form 'Surname, First name - Title' or 'Surname - Title' (and no manifest.csv "
    "lists the file)";

TJob FileJob(const std::string& path) {
  TJob job;
  job.Path = path;
  if (!NamesFromFileName(BaseName(path), job)) job.Problem = kNameForm;
  return job;
}

// The bytes of a regular file of at most kMaxTextBytes; false with `why` otherwise.
bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& why) {
  // O_NONBLOCK: opening a FIFO does not wait for a writer (it is refused below).
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    why = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    why = std::string("cannot be read: ") + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "is not a regular file";
    ok = false;
  } else if (st.st_size > kMaxTextBytes) {
    why = "is larger than 64 MB, more than a text can be";
    ok = false;
  }
  bytes.clear();
  char block[65536];
  while (ok) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      why = std::string("cannot be read: ") + std::strerror(errno);
      ok = false;
    } else if (off_t(bytes.size()) + n > kMaxTextBytes) {
      why = "is larger than 64 MB, more than a text can be";  // it grew while being read
      ok = false;
    } else {
      bytes.append(block, size_t(n));
    }
  }
  close(fd);
  return ok;
}

// The folder's manifest rows by file name. Problems of single rows become jobs with a
// problem; a manifest that cannot be read at all raises TToolError.
std::map<std::string, TJob> ReadManifest(const std::string& folder, const std::string& manifestName,
                                         std::vector<TJob>& problems) {
  const std::string path = Joined(folder, manifestName);
  std::string text, why;
  if (!ReadFileBytes(path, text, why)) throw TToolError(path + " " + why);
  TCsvReader reader(text);
  std::vector<std::string> cells;
  std::map<std::string, TJob> rows;
  std::map<std::string, size_t> lineOf;
  try {
    if (!reader.Next(cells)) throw TToolError("it is empty: a header line file,surname,first name,title is needed");
    int column[4] = {-1, -1, -1, -1};
    static const char* const kColumns[] = {"file", "surname", "first name", "title"};
    for (size_t k = 0; k < cells.size(); ++k)
      for (int c = 0; c < 4; ++c)
        if (Lower(Trimmed(cells[k])) == kColumns[c]) column[c] = int(k);
    for (int c = 0; c < 4; ++c)
      if (column[c] < 0)
        throw TToolError(std::string("line 1: the header has no column '") + kColumns[c] +
                         "' (it needs file,surname,first name,title)");
    const size_t width = cells.size();
    while (reader.Next(cells)) {
      const std::string where = path + " line " + std::to_string(reader.Line());
      // A row that names no file of its own is a problem of the manifest's line.
      auto lineProblem = [&](const std::string& what) { problems.push_back({where, "", "", "", what}); };
      if (cells.size() != width) {
        lineProblem(std::to_string(cells.size()) + " cells, the header has " + std::to_string(width));
        continue;
      }
      const std::string file = Trimmed(cells[size_t(column[0])]);
      if (file.empty() || file.find('/') != std::string::npos) {
        lineProblem("the file cell must name a file of the folder, not '" + file + "'");
        continue;
      }
      if (lineOf.count(file) > 0) {
        lineProblem(file + " is listed again (first on line " + std::to_string(lineOf[file]) + ")");
        continue;
      }
      lineOf[file] = reader.Line();
      TJob row{Joined(folder, file), Trimmed(cells[size_t(column[1])]), Trimmed(cells[size_t(column[2])]),
               Trimmed(cells[size_t(column[3])]), ""};
      // A row without a surname or title keeps its file from going in under another name.
      if (row.Surname.empty() || row.Title.empty())
        row.Problem = where + " gives no " + (row.Surname.empty() ? "surname" : "title");
      rows[file] = row;
    }
  } catch (const TToolError& e) {
    throw TToolError(path + ": " + e.what());
  }
  return rows;
}

// The jobs of one folder: its .rtf and .txt files in name order (hidden ones left out).
void AddFolder(const std::string& folder, std::vector<TJob>& jobs) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    jobs.push_back({folder, "", "", "", std::string("cannot be read: ") + std::strerror(errno)});
    return;
  }
  std::vector<std::string> files;
  std::string manifestName;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    struct stat st {};
    if (stat(Joined(folder, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (Lower(name) == kManifest && (manifestName.empty() || name == kManifest)) manifestName = name;
    if (!TextEnding(name).empty()) files.push_back(name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    jobs.push_back({folder, "", "", "", "holds no .rtf or .txt files"});
    return;
  }
  std::map<std::string, TJob> listed;
  if (!manifestName.empty()) {
    try {
      std::vector<TJob> problems;
      listed = ReadManifest(folder, manifestName, problems);
      jobs.insert(jobs.end(), problems.begin(), problems.end());
    } catch (const TToolError& e) {
      // Names taken from file names instead could be wrong: the folder's files wait.
      std::fprintf(stderr, "brevarion-import: %s\n", e.what());
      for (const std::string& name : files)
        jobs.push_back({Joined(folder, name), "", "", "", "skipped: the manifest of its folder cannot be used"});
      return;
    }
    for (const auto& [name, row] : listed)
      if (!std::binary_search(files.begin(), files.end(), name))
        jobs.push_back({row.Path, "", "", "",
                        "is listed in " + manifestName + " but is no .rtf or .txt file of the folder"});
  }
  for (const std::string& name : files) {
    auto found = listed.find(name);
    jobs.push_back(found != listed.end() ? found->second : FileJob(Joined(folder, name)));
  }
}

// The engine's form of one job's names and text.
TEntry EntryOf(const TJob& job, const std::string& bytes) {
  TEntry entry;
  entry.Surname = Stored(job.Surname, "the surname");
  entry.FirstName = Stored(job.FirstName, "the first name");
  entry.Title = Stored(job.Title, "the title");
  VolumeOfSurname(entry.Surname);  // a surname that fits no volume is refused before reading on
  if (TextEnding(job.Path) == ".rtf") {
    if (!LooksLikeRtf(bytes)) throw TToolError("it does not start with {\\rtf, so it is no RTF file");
    entry.Text = bytes;
  } else {
    if (bytes.find_first_not_of(" \t\r\n\f\v") == std::string::npos) throw TToolError("the text is empty");
    entry.Text = RtfOfPlainText(bytes);
  }
  return entry;
}

[[noreturn]] void EndBySignal(int signal) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);
}

void Report(const std::string& path, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "brevarion-import: %s: %s\n", path.c_str(), message.c_str());
}

std::string Summary(int imported, size_t volumes, int skipped) {
  return "imported " + std::to_string(imported) + (imported == 1 ? " text" : " texts") + " into " +
         std::to_string(volumes) + (volumes == 1 ? " volume, " : " volumes, ") + std::to_string(skipped) +
         " skipped";
}

}  // namespace

int main(int argc, char** argv) {
  InstallStopHandlers();
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a.size() > 1 && a[0] == '-' && a != "--") {
      std::fputs(kUsage, stderr);
      std::fprintf(stderr, "brevarion-import: unknown option %s\n", a.c_str());
      return 2;
    }
    if (a != "--") positional.push_back(a);
  }
  if (positional.size() < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string directory = positional[0];
  struct stat st {};
  if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "brevarion-import: %s is not a directory (make it first, or run brevarion-sample)\n",
                 directory.c_str());
    return 1;
  }

  std::vector<TJob> jobs;
  for (size_t i = 1; i < positional.size(); ++i) {
    const std::string& source = positional[i];
    if (stat(source.c_str(), &st) != 0) {
      jobs.push_back({source, "", "", "", std::string("cannot be read: ") + std::strerror(errno)});
    } else if (S_ISDIR(st.st_mode)) {
      AddFolder(source, jobs);
    } else if (TextEnding(source).empty()) {
      jobs.push_back({source, "", "", "", "only .rtf and .txt files are imported"});
    } else {
      jobs.push_back(FileJob(source));
    }
  }

  int imported = 0, skipped = 0;
  std::set<int> volumes;
  try {
    TLibrary library(directory, false);
    size_t done = 0;
    try {
      TProgressLine progress("importing");
      for (const TJob& job : jobs) {
        progress.Show(int(done * 100 / jobs.size()));
        StopPoint();
        ++done;
        if (!job.Problem.empty()) {
          Report(job.Path, job.Problem);
          ++skipped;
          continue;
        }
        try {
          std::string bytes, why;
          if (!ReadFileBytes(job.Path, bytes, why)) throw TToolError(why);
          const TEntry entry = EntryOf(job, bytes);
          bytes.clear();
          bool created = false;
          const int volume = library.Add(entry, &created);
          volumes.insert(volume);
          if (created) std::printf("made the new volume %s\n", Volumes()[size_t(volume)].TableName);
          ++imported;
        } catch (const TToolError& e) {
          Report(job.Path, e.what());
          ++skipped;
        } catch (const EVELDOREngineError& e) {
          Report(job.Path, EngineMessage(e.Message, e.ErrorTableName, e.ErrorDatabaseName));
          ++skipped;
        }
      }
    } catch (const TStopped& e) {
      TDeferStops defer;
      library.Close();
      std::fflush(stdout);
      std::fprintf(stderr, "brevarion-import: stopped by %s: %s before the stop; %s and the files after it were not read\n",
                   SignalName(e.Signal).c_str(), Summary(imported, volumes.size(), skipped).c_str(),
                   jobs[done].Path.c_str());
      EndBySignal(e.Signal);
    }
    TDeferStops defer;
    library.Close();
  } catch (const EVELDOREngineError& e) {
    std::fprintf(stderr, "brevarion-import: %s\n", EngineMessage(e.Message, e.ErrorTableName, e.ErrorDatabaseName).c_str());
    return 1;
  } catch (const Exception& e) {
    std::fprintf(stderr, "brevarion-import: %s\n", Shown(e.Message).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "brevarion-import: %s\n", e.what());
    return 1;
  }
  std::printf("%s\n", Summary(imported, volumes.size(), skipped).c_str());
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "brevarion-import: cannot write the output\n");
    return 1;
  }
  if (StopSignal() != 0) EndBySignal(StopSignal());
  return skipped == 0 ? 0 : 1;
}
