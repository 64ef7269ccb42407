#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include "fakes/read_file.h"
#include "fakes/temp_dir.h"
#include "platform/error.h"

namespace kvx {
namespace {

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

// A new file appears whole under its name; a taken name is never opened,
// and nothing else (no temporary file) is left in the directory.
TEST(PosixFileSystemTest, CreatesNewFilesWholeAndNeverReplaces) {
  TempDir dir;
  PosixFileSystem files;
  const std::string a = dir.path() + "/TCP_COMx_1_1.TXT";
  EXPECT_TRUE(files.CreateNew(a, "first\r\n", nullptr));
  EXPECT_FALSE(files.CreateNew(a, "second\r\n", nullptr));
  EXPECT_EQ(ReadWholeFile(a), "first\r\n");
  EXPECT_TRUE(files.CreateNew(dir.path() + "/empty", "", nullptr));
  EXPECT_EQ(Names(dir.path()),
            (std::set<std::string>{"TCP_COMx_1_1.TXT", "empty"}));

  try {
    files.CreateNew(dir.path() + "/missing/x", "x", nullptr);
    ADD_FAILURE() << "a missing directory must fail";
  } catch (const KvxError& e) {
    EXPECT_EQ(std::string(e.what()),
              CannotCreateFileMessage(dir.path() + "/missing/x", ENOENT));
  }
  EXPECT_EQ(Names(dir.path()).size(), 2u);
}

// A sync batch commits the file system of each of its directories once, and
// is empty after.
TEST(PosixFileSystemTest, SyncsEachDirectoryOfTheBatchOnce) {
  TempDir dir;
  PosixFileSystem files;
  auto batch = files.NewSyncBatch();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(files.CreateNew(dir.path() + "/f" + std::to_string(i), "x",
                                batch.get()));
  }
  EXPECT_EQ(batch->Size(), 3u);
  EXPECT_EQ(files.SyncCount(), 0u);
  files.Sync(*batch);
  EXPECT_EQ(files.SyncCount(), 1u);
  EXPECT_EQ(batch->Size(), 0u);
  files.Sync(*batch);
  EXPECT_EQ(files.SyncCount(), 1u);
}

TEST(PosixFileSystemTest, ListsRemovesAndMeasures) {
  TempDir dir;
  PosixFileSystem files;
  ASSERT_TRUE(files.CreateNew(dir.path() + "/a", "x", nullptr));
  std::filesystem::create_directory(dir.path() + "/sub");
  const auto entries = files.ListFiles(dir.path());
  ASSERT_EQ(entries.size(), 1u) << "directories are not listed";
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_GE(entries[0].modified.year, 2020);
  EXPECT_EQ(files.RemoveFile(dir.path() + "/a"), 0);
  EXPECT_EQ(files.RemoveFile(dir.path() + "/a"), ENOENT);
  EXPECT_TRUE(files.ListFiles(dir.path() + "/none").empty());
  EXPECT_TRUE(files.FreeBytes(dir.path()).has_value());
  EXPECT_FALSE(files.FreeBytes(dir.path() + "/none").has_value());
}

}  // namespace
}  // namespace kvx
