// The batch's outputs named by a name pattern: the pattern parsed once per
// text, each file's name expanded from its tags (a cue track's own tags over
// its image's) when the file is composed.
#include "Batch.h"
#include "Text.h"

bool TConversionBatch::NameFromPattern(const TBatchFile& file, TComposerState& state,
                                       std::string& why) {
  state.Output.PatternName.clear();
  if (Choices.NamePattern.empty()) return true;
  if (Choices.NamePattern != PatternText) {
    PatternText = Choices.NamePattern;
    PatternError.clear();
    TNamePattern parsed;
    if (parsed.Parse(PatternText, PatternError)) Pattern = std::move(parsed);
  }
  if (!PatternError.empty()) {
    why = PatternError;
    return false;
  }

  TNameSource source;
  source.Path = file.Source;
  source.SubPath = file.RelativeFolder;
  source.Tags = file.Facts.Tags;
  if (file.Track) {
    // The sheet's tags over the image's; an empty one takes the image's away
    // (its title is the whole image's, not the track's).
    for (const auto& tag : file.Track->Tags) {
      const std::string key = LowerCase(tag.first);
      if (tag.second.empty())
        source.Tags.erase(key);
      else if (IsNameTag(key))
        source.Tags[key] = tag.second;
    }
    if (file.Track->Title.empty())
      source.Tags["title"] = StrFormat("Track %02d", file.Track->Number);
    source.Name = file.Track->Label();
  }
  std::string root = state.Output.Folder;
  if (root == SAME_AS_INPUT) {
    const size_t slash = file.Source.rfind('/');
    root = slash == std::string::npos ? "." : file.Source.substr(0, slash + 1);
  }
  state.Output.PatternName = Pattern.Expand(source, FileNameLimit(root));
  return true;
}

std::string TConversionBatch::PreviewOutputName(uint64_t id, std::string* why) {
  TBatchFile* file = Find(id);
  if (!file || !file->Probed) return "";
  PreviewReserved = Reserved;
  const std::vector<TFileIdentity> held = std::move(SourceIds);
  SourceIds.clear();
  for (const TBatchFile& other : FFiles) NoteSource(other);
  TInputOptions input;
  TOutputOptions output;
  std::vector<TOutputOptions> more;
  std::string reason;
  TReasonCode code = rcNone;
  const int64_t expected = file->ExpectedMs;
  const bool composed = Compose(*file, input, output, more, reason, code, true);
  file->ExpectedMs = expected;
  SourceIds = held;
  PreviewReserved.clear();
  if (why) *why = composed ? "" : reason;
  return composed ? output.FileName : "";
}
