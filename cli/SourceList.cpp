// The files of a quellon-cli run.
#include "SourceList.h"

#include <sys/stat.h>

#include <array>

#include "OptionComposer.h"
#include "SourceTree.h"

namespace {

}  // namespace

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ListSources(const TCliOptions& options, std::vector<TFileJob>& jobs, std::string& error) {
  jobs.clear();
  for (const std::string& given : options.Files) {
    // Without -r a folder is one more file that cannot be converted: it
    // fails alone (with a hint) and the others convert.
    if (!options.Recursive || !IsFolder(given)) {
      TFileJob job;
      job.Source = given;
      jobs.push_back(job);
      continue;
    }
    std::vector<TTreeFile> files;
    if (!ListSourceTree(given, files, error)) return false;
    for (const TTreeFile& file : files) {
      TFileJob job;
      job.Source = file.Path;
      job.FromFolder = true;
      if (options.KeepTree) job.RelativeFolder = file.RelativeFolder;
      jobs.push_back(job);
    }
  }
  return true;
}

bool AudioOutputFormat(const std::string& format) {
  static constexpr std::array<const char*, 7> audio = {"wav", "mp3", "mp2", "aac",
                                                       "wma", "ogg", "ac3"};
  return ItemIndex(audio, format) >= 0;
}
