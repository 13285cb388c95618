// Output names from a source's tags.
//
// A name pattern is literal text with fields in braces, and "/" between the
// folders it makes below the output folder:
//
//   {albumartist}/{year} - {album}/{disc}{track:02} - {title}
//
// Fields (NameFieldsText lists them for help texts):
//   title        the title tag; the source's name when it has none
//   artist       the artist tag; else the album artist; else "Unknown Artist"
//   albumartist  the album artist tag; else the artist; else "Unknown Artist"
//   album        "Unknown Album" when missing
//   track, disc  the number ("3" of "3/12"); nothing when missing
//   year         the first four digits of the date ("2004" of "2004-05-01");
//                "Unknown Year" when missing
//   genre, composer   "Unknown Genre", "Unknown Composer" when missing
//   name         the source's file name without its extension
//   folder       the name of the source's folder
//   subpath      the source's sub-folder below the folder given ("CD1/Live");
//                its folders are kept, and a "/{subpath}/" with none vanishes
// "{track:02}" pads a number with zeros to two digits (a value that is not a
// number is left as it is); "{{" and "}}" are literal braces.
//
// Names are safe on any file system a player may use (FAT included) and stay
// below the output folder, whatever the tags hold: a field's value never
// makes a folder (its "/" and "\" become "_", like : * ? " < > | and control
// characters); each folder or file name has its leading blanks and dots and
// trailing blanks and dots taken off, is cut at a UTF-8 character to the
// limit given, and "_" stands for a name that would be empty; names Windows
// keeps for devices ("CON", "NUL", "COM1" ...) get a "_".
//
// Threads: a parsed pattern is a plain value, read-only once parsed; Expand
// may run on any thread. Nothing here reads the file system or throws
// (except on allocation failure).
#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <vector>

// What a pattern is expanded from, for one source.
struct TNameSource {
  std::string Path;     // the source's path: its name and its folder's name
  std::string Name;     // {name} when not the name of Path (a track of an image); "" none
  std::string SubPath;  // its folder below the folder given; "" at the top or given itself
  // Its tags, keys in lower case (the probe's keys: "album_artist", "date",
  // "track" ...); only the keys IsNameTag accepts are read.
  std::map<std::string, std::string> Tags;
};

class TNamePattern {
 public:
  // Reads a pattern; false, with a one-line English reason (naming the
  // field or brace at fault), for an empty pattern, an unknown field, an
  // unbalanced brace, a bad width, a pattern that starts or ends with "/",
  // has an empty folder ("//") or a "." or ".." folder. The pattern held
  // before stays unchanged on failure.
  bool Parse(const std::string& text, std::string& why);
  // No pattern parsed: outputs are named after their sources.
  bool Empty() const { return Parts.empty(); }
  const std::string& Text() const { return FText; }
  // The output's path relative to the output folder, without extension:
  // components separated by "/", each safe (see above) and at most
  // componentLimit bytes (the composer cuts the last one again to leave
  // room for its extension and a " (2)"). "" when Empty().
  std::string Expand(const TNameSource& source, size_t componentLimit = 255) const;

 private:
  struct TPiece {
    int Field = -1;  // index into the field list; -1: literal Text
    std::string Text;
    int Width = 0;  // zero padding of numbers; 0 none
  };
  std::vector<std::vector<TPiece>> Parts;  // one list per component
  std::string FText;
};

// The field names, comma-separated, for help texts and reasons.
std::string NameFieldsText();
// Whether a tag key (lower case) is one the fields read: a probe keeps only these.
bool IsNameTag(const std::string& key);
// A text as one safe file or folder name of at most limit bytes (see above);
// "/" in it is no folder.
std::string SafeNameComponent(const std::string& text, size_t limit = 255);
