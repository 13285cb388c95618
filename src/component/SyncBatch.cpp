// Sync mode of the batch: up-to-date files, the names an output may replace,
// the state recorded as files complete, and the outputs of gone sources
// (see Batch.h and SyncState.h).
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>

#include "Batch.h"
#include "SourceFile.h"
#include "Text.h"

namespace {



// Gone for certain: no such file (a folder that cannot be read, or a disk
// that is not there, is not "gone").
bool SourceGone(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Normal(const std::string& path) {
  std::string normal = std::filesystem::path(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

}  // namespace

TSyncState* TConversionBatch::SyncStateFor(const std::string& folder) {
  const std::string key = Normal(folder);
  auto found = SyncStates.find(key);
  if (found != SyncStates.end()) return found->second.get();
  auto state = std::make_unique<TSyncState>(key);
  std::string why;
  // An unreadable state knows nothing: every output counts as a user's file
  // (never replaced), and the run rewrites the state at its end.
  if (!state->Load(why) && OnLog) OnLog(0, llError, why);
  return (SyncStates[key] = std::move(state)).get();
}

std::string TConversionBatch::SyncFolderOf(const TBatchFile& file) const {
  if (!Choices.OutputFolder.empty()) return Choices.OutputFolder;
  // Beside the sources: the state lies at the top of what a folder given holds.
  return file.Folder.empty() ? FolderOf(file.Source) : file.Folder;
}

TSyncSource TConversionBatch::SyncSourceOf(const TBatchFile& file) {
  const std::string root = file.Folder.empty() ? FolderOf(file.Source) : file.Folder;
  auto canonical = CanonicalRoots.find(root);
  if (canonical == CanonicalRoots.end()) {
    std::error_code error;
    std::string absolute = std::filesystem::weakly_canonical(root, error).string();
    if (error || absolute.empty()) absolute = std::filesystem::absolute(root, error).string();
    canonical = CanonicalRoots.emplace(root, Normal(absolute)).first;
  }
  TSyncSource source;
  source.Root = canonical->second;
  source.Path = file.Folder.empty() || file.RelativeFolder.empty()
                    ? NameOf(file.Source)
                    : Normal(file.RelativeFolder + "/" + NameOf(file.Source));
  source.Part = file.Track ? file.Track->Number : 0;
  // A source may be kept in several formats, each its own output.
  source.Format = Choices.Format;
  for (char& c : source.Format) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return source;
}

std::string TConversionBatch::SyncDigest(const TBatchFile& file) {
  // Composed from the choices alone, never from the probe, so that the
  // digest is the same for a probed and an unprobed file: the clip asked
  // for (in seconds) stands in for the one fitted into the source.
  TBatchFile bare = file;
  bare.Facts = TSourceFacts();
  bare.ClipStart = bare.ClipEnd = -1;
  TInputOptions input;
  TOutputOptions output;
  std::vector<TOutputOptions> more;
  std::string why;
  TReasonCode code = rcNone;
  if (!Compose(bare, input, output, more, why, code, true)) return std::string();
  // The name pattern decides where the output lies: another pattern is
  // another output.
  const std::string extra =
      StrFormat("keep_tree=%d\nclip=%.3f:%.3f\nalbum_gain=%d\nname=", Choices.KeepTree ? 1 : 0,
                file.Track ? -1.0 : file.ClipStart, file.Track ? -1.0 : file.ClipEnd,
                Choices.AlbumGain ? 1 : 0) +
      Choices.NamePattern;
  return SettingsDigest(input, output, extra);
}

bool TConversionBatch::SyncCheck(TBatchFile& file) {
  TSyncJob job;
  job.StateFolder = SyncFolderOf(file);
  job.Source = SyncSourceOf(file);
  TFileIdentity identity;
  // A source that cannot be read is left to the probe to name.
  if (!ReadFileIdentity(file.Source, identity)) return false;
  job.SourceSize = identity.Size;
  job.SourceModifiedNs = identity.ModifiedNs;
  TSyncState* state = SyncStateFor(job.StateFolder);
  const TSyncEntry* entry = state->BySource(job.Source);
  job.Digest = SyncDigest(file);
  struct stat st;
  if (!entry || !entry->Done) {
    job.Why = "new";
  } else {
    job.Previous = state->FullPath(*entry);
    if (entry->SourceSize != job.SourceSize || entry->SourceModifiedNs != job.SourceModifiedNs)
      job.Why = "source changed";
    else if (stat(job.Previous.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      job.Why = "output missing";
    else if (entry->Digest != job.Digest || job.Digest.empty())
      job.Why = "settings changed";
    // An output edited since (its tags, say) stays: its source and the
    // settings are what decide, and the edits are the user's.
  }
  const bool upToDate = job.Why.empty();
  const std::string previous = job.Previous;
  SyncJobs[file.Id] = std::move(job);
  if (!upToDate) return false;
  file.Output = previous;
  Reserved.insert(file.Output);
  file.SizeBytes = identity.Size;
  EndWithoutTask(file, foUpToDate, rcNone, "up to date");
  return true;
}

bool TConversionBatch::SyncMayReplace(const TBatchFile& file, const std::string& name) {
  TSyncState* state = SyncStateFor(SyncFolderOf(file));
  const TSyncEntry* entry = state->ByOutput(name);
  if (!entry) return false;  // not written by this mode: the user's
  const std::string key = SyncSourceOf(file).Key();
  // The source's own earlier output, edited or not.
  if (entry->Source.Key() == key || (entry->Pending && entry->PendingFor.Key() == key)) return true;
  // Another source's: only when that source is gone and the output is as
  // the mode left it.
  return SourceGone(entry->Source.FullPath()) &&
         (OutputUnchanged(*entry, name) || (entry->Pending && !entry->Done));
}

bool TConversionBatch::SyncQueued(const TBatchFile& file, const std::string& output,
                                  std::string& why) {
  auto job = SyncJobs.find(file.Id);
  if (job == SyncJobs.end()) {
    // Not checked before (its source could not be read then).
    TSyncJob fresh;
    fresh.StateFolder = SyncFolderOf(file);
    fresh.Source = SyncSourceOf(file);
    fresh.Digest = SyncDigest(file);
    job = SyncJobs.emplace(file.Id, std::move(fresh)).first;
  }
  TSyncJob& j = job->second;
  TFileIdentity identity;
  // The source as the job will read it; a change after this point shows in
  // the next run.
  if (j.SourceSize < 0 && ReadFileIdentity(file.Source, identity)) {
    j.SourceSize = identity.Size;
    j.SourceModifiedNs = identity.ModifiedNs;
  }
  return SyncStateFor(j.StateFolder)->NotePending(output, j.Source, j.Digest, why);
}

void TConversionBatch::SyncEnded(const TBatchFile& file) {
  const auto job = SyncJobs.find(file.Id);
  if (job == SyncJobs.end() || file.Output.empty()) return;
  const TSyncJob& j = job->second;
  TSyncState* state = SyncStateFor(j.StateFolder);
  struct stat st;
  if (stat(file.Output.c_str(), &st) != 0) return;
  TSyncEntry entry;
  entry.Output = file.Output;
  entry.Source = j.Source;
  entry.Done = true;
  entry.SourceSize = j.SourceSize;
  entry.SourceModifiedNs = j.SourceModifiedNs;
  entry.OutputSize = st.st_size;
  entry.OutputModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  entry.Digest = j.Digest;
  std::string why;
  if (!state->NoteDone(entry, why) && OnLog) OnLog(file.Id, llError, why);
  // The source's earlier output under another name (the naming changed, or
  // a name became free): removed once the new one is complete, when it is
  // as the mode left it; an edited one is left to the user.
  if (j.Previous.empty() || Normal(j.Previous) == Normal(file.Output)) return;
  const TSyncEntry* previous = state->ByOutput(j.Previous);
  if (!previous || previous->Source.Key() != j.Source.Key()) return;
  if (OutputUnchanged(*previous, j.Previous)) {
    if (unlink(j.Previous.c_str()) != 0) {
      if (OnLog)
        OnLog(file.Id, llError,
              StrFormat("cannot remove the earlier output '%s': %s", j.Previous.c_str(),
                        SystemErrorText(errno).c_str()));
      return;
    }
    if (OnLog)
      OnLog(file.Id, llInfo, StrFormat("earlier output '%s' removed", j.Previous.c_str()));
  }
  if (!state->Forget(j.Previous, why) && OnLog) OnLog(file.Id, llError, why);
}

void TConversionBatch::SyncRunEnded() {
  const bool complete = !FStopped && !(Abort && *Abort);
  if (Choices.DeleteOrphans && complete) {
    // The folders given this run: only their sources can be known gone.
    std::set<std::string> roots;
    std::set<std::string> folders = FolderRoots;
    for (const TBatchFile& file : FFiles)
      if (!file.Folder.empty()) folders.insert(file.Folder);
    for (const TBatchFile& file : FSkipped)
      if (!file.Folder.empty()) folders.insert(file.Folder);
    for (const std::string& folder : folders) {
      if (!IsFolder(folder)) continue;
      TBatchFile probe;
      probe.Folder = folder;
      probe.Source = folder + "/-";
      roots.insert(SyncSourceOf(probe).Root);
      SyncStateFor(SyncFolderOf(probe));  // an output folder whose sources are all gone
    }
    for (auto& [folder, state] : SyncStates) {
      for (const TSyncEntry* entry : state->Entries()) {
        if (!entry->Done || !roots.count(entry->Source.Root) ||
            !SourceGone(entry->Source.FullPath()))
          continue;
        TSyncRemoval removal;
        removal.Output = state->FullPath(*entry);
        removal.Source = entry->Source.FullPath();
        struct stat st;
        const bool exists = lstat(removal.Output.c_str(), &st) == 0;
        std::string why;
        if (!exists) {
          // Nothing to remove: the record goes.
          if (!Choices.DryRun) state->Forget(removal.Output, why);
          continue;
        }
        if (!OutputUnchanged(*entry, removal.Output)) {
          removal.Outcome = roKept;
          removal.Reason = "changed since it was written";
        } else if (Choices.DryRun) {
          removal.Outcome = roPlanned;
        } else if (unlink(removal.Output.c_str()) != 0) {
          removal.Outcome = roFailed;
          removal.Reason = SystemErrorText(errno);
        }
        // Removed, or edited by the user: no longer the mode's.
        if (!Choices.DryRun && removal.Outcome != roFailed &&
            !state->Forget(removal.Output, why) && OnLog)
          OnLog(0, llError, why);
        FRemovals.push_back(removal);
      }
    }
  }
  if (Choices.DryRun) return;
  for (auto& [folder, state] : SyncStates) {
    std::string why;
    // A folder that holds no output and no state stays untouched.
    struct stat st;
    if (state->Entries().empty() &&
        stat((state->Folder() + "/" + SYNC_STATE_NAME).c_str(), &st) != 0)
      continue;
    if (!state->Compact(why) && OnLog) OnLog(0, llError, why);
  }
}
