// Facts about local files and the text helpers that names need.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>

#include "SourceFile.h"
#include "TestSupport.h"
#include "Text.h"

using testing_support::TTempDir;

TEST(Names, ACutNeverSplitsACharacter) {
  const std::string chinese = "\xe4\xb8\xad\xe6\x96\x87";  // two 3-byte characters
  const std::string emoji = "a\xf0\x9f\x8e\xb5";           // 'a' and a 4-byte character
  struct TCase {
    std::string Text;
    size_t Bytes;
    std::string Expected;
  } const cases[] = {
      {"abcdef", 3, "abc"},           {"abc", 10, "abc"},
      {chinese, 6, chinese},          {chinese, 5, "\xe4\xb8\xad"},
      {chinese, 4, "\xe4\xb8\xad"},   {chinese, 3, "\xe4\xb8\xad"},
      {chinese, 2, ""},               {emoji, 4, "a"},
      {emoji, 1, "a"},                {emoji, 5, emoji},
      {"", 0, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text + " to " + std::to_string(c.Bytes));
    EXPECT_EQ(CutUtf8(c.Text, c.Bytes), c.Expected);
  }
}

TEST(Names, TheLimitOfAFolderToBeMadeIsItsParentsLimit) {
  TTempDir dir;
  const size_t limit = FileNameLimit(dir.Path());
  EXPECT_GE(limit, 14u);
  EXPECT_LE(limit, static_cast<size_t>(NAME_MAX));
  EXPECT_EQ(FileNameLimit(dir.File("to/be/made")), limit);
  EXPECT_EQ(FileNameLimit(dir.File("to/be/made/")), limit);
  EXPECT_EQ(FileNameLimit(""), FileNameLimit("."));
}

TEST(FileIdentity, ATimeFarInTheFutureIsHeldNotOverflowed) {
  TTempDir dir;
  const std::string path = dir.File("future.wav");
  std::ofstream(path) << "x";
  struct TCase {
    int64_t Seconds;
    int64_t Expected;
  } const cases[] = {
      {1700000000, INT64_C(1700000000) * 1000000000 + 5},
      {INT64_C(10413792000), INT64_MAX},  // 2300-01-01
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Seconds);
    const timespec times[2] = {{static_cast<time_t>(c.Seconds), 5},
                               {static_cast<time_t>(c.Seconds), 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    if (st.st_mtim.tv_sec != c.Seconds)
      GTEST_SKIP() << "the file system keeps no such time: " << st.st_mtim.tv_sec;
    TFileIdentity first, second;
    ASSERT_TRUE(ReadFileIdentity(path, first));
    ASSERT_TRUE(ReadFileIdentity(path, second));
    EXPECT_EQ(first.ModifiedNs, c.Expected);
    EXPECT_TRUE(first.Unchanged(second));
  }
}
