// Text in legacy encodings: tags whose bytes claim Latin-1 (ID3v1, ID3v2
// with encoding byte 0, APE, RIFF INFO) but hold GBK, Big5, Shift-JIS or
// EUC-KR, and text files (cue sheets) in any of these. The encoding is
// decided per file over all its legacy text at once (uchardet), and taken
// only when the decoded text is made of that script's characters; real
// Latin-1 text ("Beyoncé") stays as it is. Plain functions, any thread.
#pragma once
#include <string>
#include <utility>
#include <vector>

// What the user chose for text that claims Latin-1.
enum TTagEncoding : int {
  teAuto = 0,     // guessed per file
  teLatin1 = 1,   // taken as it claims
  teGbk = 2,      // GB18030 (GB2312 and GBK are subsets)
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
// "GB18030", "BIG5", ...). False, with the reason, when the bytes are not
// text in any of these (NUL bytes, undecodable).
bool TextToUtf8(const std::string& bytes, TTagEncoding choice, std::string& utf8,
                std::string& encodingTaken, std::string& error);

// Tag values as the libraries read them (Latin-1 turned into UTF-8, or raw
// bytes that are not valid UTF-8) repaired in place when their bytes are a
// legacy encoding. Returns the encoding taken ("" when nothing changed).
std::string RepairLegacyTags(std::vector<std::pair<std::string, std::string>>& tags,
                             TTagEncoding choice);
