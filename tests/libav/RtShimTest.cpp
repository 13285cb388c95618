#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>

#include "FFmpegLoader.h"
#include "LibAV.h"
#include "TestSupport.h"

namespace {

int CallVsprintf(char* buf, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = av.my_vsprintf(buf, format, args);
  va_end(args);
  return n;
}

}  // namespace

TEST(RtShim, BehavesAsTheCRuntime) {
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  ASSERT_TRUE(FFmpegLoader().LoadLibraries(LibraryBit(liRTShim)));

  char buf[64];
  EXPECT_EQ(av.my_snprintf(buf, 6, "%d-%s", 12345, "xyz"), 9);
  EXPECT_STREQ(buf, "12345");
  EXPECT_EQ(CallVsprintf(buf, "[%s @ %08X]", "mp3", 0xABCu), 16);
  EXPECT_STREQ(buf, "[mp3 @ 00000ABC]");

  char* end = nullptr;
  EXPECT_EQ(av.my_strtol("0x1F:", &end, 0), 31);
  EXPECT_EQ(*end, ':');
  EXPECT_EQ(av.my_strtol("017", nullptr, 0), 15);
  EXPECT_DOUBLE_EQ(av.my_strtod("2.5e1rest", &end), 25.0);
  EXPECT_STREQ(end, "rest");

  char words[] = "a|b||c";
  std::vector<std::string> parts;
  for (char* w = av.my_strtok(words, "|"); w; w = av.my_strtok(nullptr, "|")) parts.push_back(w);
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "b", "c"}));

  testing_support::TTempDir dir;
  const std::string path = dir.File("stats.log");
  FILE* f = av.my_fopen(path.c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(av.my_fprintf(f, "frame= %5d q= %2.1f\n", 7, 2.5), 20);
  EXPECT_EQ(av.my_fwrite("xyz", 1, 3, f), 3u);
  EXPECT_EQ(av.my_ftell(f), 23);
  EXPECT_EQ(av.my_fseek(f, 0, SEEK_SET), 0);
  char back[32] = {0};
  EXPECT_EQ(av.my_fread(back, 1, sizeof(back) - 1, f), 23u);
  EXPECT_STREQ(back, "frame=     7 q= 2.5\nxyz");
  EXPECT_EQ(av.my_fclose(f), 0);
  EXPECT_EQ(av.my_fopen((dir.File("missing") + "/x").c_str(), "rb"), nullptr);
}
