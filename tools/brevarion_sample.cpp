// brevarion-sample: makes the sample library, all twenty volume tables filled with the
// invented texts of sample_texts.cpp, in a directory (made when missing). It refuses a
// directory that already holds a volume unless told to replace them, so that nobody's
// own library is overwritten by accident.
//
// The volumes are written through exclusive cursors, which keep their work in the
// engine's caches until they close. SIGINT and SIGTERM are taken between entries: the
// volumes are closed (and so written whole) before the program ends by that signal.

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "lib/exception.h"
#include "tools/library_volumes.h"
#include "tools/sample_texts.h"
#include "tools/veldor_tool.h"

using namespace veldor;
using namespace veldor::tool;

namespace {

constexpr const char kUsage[] =
    "usage: brevarion-sample [--force] DIR\n"
    "Makes the sample library of the Brevarion reader in DIR (made when missing): twenty\n"
    "volume tables, A_book to w_book, filled with invented texts. A DIR that already holds\n"
    "a volume table is refused; --force replaces the volume tables it holds.\n";

int Fail(const std::string& message, int status) {
  std::fflush(stdout);
  std::fprintf(stderr, "brevarion-sample: %s\n", message.c_str());
  return status;
}

// Makes `directory` and its parents; false with a message when it cannot.
bool MakeDirectory(const std::string& directory, std::string& why) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  struct stat st {};
  if (stat(directory.c_str(), &st) != 0) {
    why = "cannot make the directory " + directory + ": " + (error ? error.message() : std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = directory + " is not a directory";
    return false;
  }
  return true;
}

std::string Listed(const std::vector<std::string>& names, size_t shown) {
  std::string out;
  for (size_t i = 0; i < names.size() && i < shown; ++i) out += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > shown) out += " and " + std::to_string(names.size() - shown) + " more";
  return out;
}

// Ends the process by `signal` with its default action, so that a shell sees it.
[[noreturn]] void EndBySignal(int signal) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace

int main(int argc, char** argv) {
  InstallStopHandlers();
  bool force = false;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--force") {
      force = true;
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fputs(kUsage, stderr);
      return Fail("unknown option " + a, 2);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string directory = positional[0];
  std::string why;
  if (!MakeDirectory(directory, why)) return Fail(why, 1);

  size_t added = 0;
  try {
    const std::vector<TSampleEntry> entries = MakeSampleEntries();
    TLibrary library(directory, true);
    const std::vector<std::string> present = library.PresentVolumeFiles();
    if (!present.empty() && !force)
      return Fail(directory + " already holds volume tables (" + Listed(present, 4) +
                      "); give --force to replace them with the sample library",
                  1);
    if (!present.empty()) {
      // Replacing the files of a volume another program reads or writes would pull them
      // from under it.
      const std::vector<std::string> inUse = library.VolumesInUse();
      if (!inUse.empty())
        return Fail("cannot replace " + Listed(inUse, 4) + " in " + directory +
                        ": in use by another program; close it first",
                    1);
    }
    try {
      for (int v = 0; v < kVolumeCount; ++v) library.CreateVolume(v, force);
      size_t words = 0;
      for (const TSampleEntry& e : entries) {
        StopPoint();
        library.Add(e.Entry);
        words += e.Words;
        ++added;
      }
      {
        TDeferStops defer;  // writing the volumes back runs to its end
        library.Close();
      }
      std::printf("made the sample library in %s: %d volumes, %zu entries, %zu words\n", directory.c_str(),
                  kVolumeCount, entries.size(), words);
    } catch (const TStopped& e) {
      TDeferStops defer;
      library.Close();
      Fail("stopped by " + SignalName(e.Signal) + " after " + std::to_string(added) + " of " +
               std::to_string(entries.size()) + " entries: " + directory +
               " holds part of the sample library; run again with --force to make it whole",
           0);
      EndBySignal(e.Signal);
    }
  } catch (const TToolError& e) {
    return Fail(e.what(), 1);
  } catch (const EVELDOREngineError& e) {
    return Fail(EngineMessage(e.Message, e.ErrorTableName, e.ErrorDatabaseName), 1);
  } catch (const Exception& e) {
    return Fail(Shown(e.Message), 1);
  } catch (const std::exception& e) {
    return Fail(e.what(), 1);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Fail("cannot write the output", 1);
  if (StopSignal() != 0) EndBySignal(StopSignal());
  return 0;
}
