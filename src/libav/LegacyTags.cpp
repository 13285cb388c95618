// The legacy-text repair applied to an opened input's dictionaries.
#include "LegacyText.h"
#include "LibAV.h"

namespace {

void Collect(const AVDictionary* dict, std::vector<std::pair<std::string, std::string>>& tags) {
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av.av_dict_get(dict, "", entry, AV_DICT_IGNORE_SUFFIX)))
    tags.emplace_back(entry->key, entry->value ? entry->value : "");
}

// The dictionary made anew from its share of the repaired values, in its
// order (a key given twice stays twice).
void Replace(AVDictionary** dict, const std::vector<std::pair<std::string, std::string>>& tags,
             size_t& at) {
  const int count = av.av_dict_count(*dict);
  AVDictionary* fresh = nullptr;
  for (int i = 0; i < count; ++i, ++at)
    av.av_dict_set(&fresh, tags[at].first.c_str(), tags[at].second.c_str(), AV_DICT_MULTIKEY);
  av.av_dict_free(dict);
  *dict = fresh;
}

}  // namespace

std::string RepairInputTags(AVFormatContext* context, TTagEncoding choice) {
  if (!context) return "";
  std::vector<std::pair<std::string, std::string>> tags;
  Collect(context->metadata, tags);
  for (unsigned s = 0; s < context->nb_streams; ++s) Collect(context->streams[s]->metadata, tags);
  const std::string taken = RepairLegacyTags(tags, choice);
  if (taken.empty()) return taken;
  size_t at = 0;
  Replace(&context->metadata, tags, at);
  for (unsigned s = 0; s < context->nb_streams; ++s)
    Replace(&context->streams[s]->metadata, tags, at);
  return taken;
}
