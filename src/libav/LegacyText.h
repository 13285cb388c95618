// Text in legacy encodings: tags whose bytes claim Latin-1 (ID3v1, ID3v2
// with encoding byte 0, APE, RIFF INFO) but hold GBK, Big5, Shift-JIS or
// EUC-KR, and text files (cue sheets) in any of these. The encoding is
// decided per file over all its legacy text at once (uchardet), and taken
// only when the decoded text is made of that script's characters; real
// Latin-1 text ("Beyoncé") stays as it is. Plain functions, any thread
// (uchardet and iconv objects are made per call).
#pragma once
#include <string>
#include <utility>
#include <vector>

struct AVFormatContext;

// What the user chose for text that claims Latin-1.
enum TTagEncoding : int {
  teAuto = 0,    // guessed per file
  teLatin1 = 1,  // taken as it claims
  teGbk = 2,     // GB18030 (GB2312 and GBK are subsets)
  teBig5 = 3,
  teShiftJis = 4,
  teEucKr = 5
};

// "auto", "latin1", "gbk", "big5", "shift-jis", "euc-kr" (any case); false
// for another name.
bool ParseTagEncoding(const std::string& name, TTagEncoding& encoding);
const char* TagEncodingName(TTagEncoding encoding);

// A text file's bytes as UTF-8: a UTF-8 or UTF-16 byte order mark is
// honoured, valid UTF-8 stays, anything else is decoded in the encoding
// chosen or guessed. encodingTaken names what was taken ("UTF-8",
// "GB18030", "BIG5", ...). Bytes that are no UTF-8 and no East Asian text
// (guessed as for tags) are Latin-1 ("WINDOWS-1252"). False, with the
// reason, when the bytes are not text (NUL or other control bytes, invalid
// UTF-16, or undecodable in the encoding chosen).
bool TextToUtf8(const std::string& bytes, TTagEncoding choice, std::string& utf8,
                std::string& encodingTaken, std::string& error);

// Tag values as the libraries read them (Latin-1 turned into UTF-8, or raw
// bytes that are not valid UTF-8) repaired in place when their bytes are a
// legacy encoding. Returns the encoding taken ("" when nothing changed).
// Plain ASCII and UTF-8 beyond U+00FF are never touched. teAuto decides over
// all values at once: at least 4 non-ASCII bytes (two double-byte
// characters; fewer are too little to tell from a Latin-1 accent), an
// encoding uchardet names (or, when it names none, bytes in the strict form
// of GB2312: no ASCII byte inside a character, mostly common hanzi), every value
// decoding in it, and nothing but East Asian characters, punctuation and
// ASCII in the result; else nothing changes. A chosen encoding takes each
// value that decodes in it; teLatin1 changes nothing.
std::string RepairLegacyTags(std::vector<std::pair<std::string, std::string>>& tags,
                             TTagEncoding choice);

// The tags of an opened input, its own and its streams', repaired as one
// file's (RepairLegacyTags) in the context's dictionaries. The media
// libraries must be bound; call it on the thread that owns the context,
// before anything reads its tags. Returns the encoding taken.
std::string RepairInputTags(AVFormatContext* context, TTagEncoding choice);
