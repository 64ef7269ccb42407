// Line lists saved to and loaded from files.
#include "platform/line_list_file.h"

#include <gtest/gtest.h>

#include "core/line_list.h"
#include "fakes/mem_file_system.h"
#include "platform/error.h"

namespace kvx {
namespace {

TEST(LineListFileTest, SavesJoinedAndLoadsThroughTheMark) {
  MemFileSystem fs;
  fs.AddDirectory("/d");
  SaveLineList(fs, "/d/f.txt", LineList("x\ny"));
  EXPECT_EQ(fs.Content("/d/f.txt"), "x\r\ny\r\n");
  SaveLineListText(fs, "/d/g.txt", "x\ny");
  EXPECT_EQ(fs.Content("/d/g.txt"), "x\r\ny\r\n");
  fs.AddFile("/d/u16.txt", std::string("\xFF\xFEx\0\n\0y\0", 8));
  EXPECT_EQ(LoadLineList(fs, "/d/u16.txt").Text(), "x\r\ny\r\n");
}

TEST(LineListFileTest, ReportsFilesThatCannotBeCreatedOrOpened) {
  MemFileSystem fs;
  try {
    SaveLineList(fs, "/missing/f.txt", LineList("x"));
    FAIL();
  } catch (const KvxError& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot create file \"/missing/f.txt\". No such file or "
                 "directory.");
  }
  try {
    LoadLineList(fs, "/nope.xml");
    FAIL();
  } catch (const KvxError& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot open file \"/nope.xml\". No such file or directory.");
  }
}

}  // namespace
}  // namespace kvx
