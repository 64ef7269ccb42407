// The working tree and the configuration template.
#include "service/working_tree.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "fakes/config_template.h"
#include "fakes/mem_file_system.h"
#include "platform/error.h"

namespace kvx {
namespace {

// Program directory with a non-ASCII letter, as a Windows-1252 text.
constexpr char kDir[] = "/opt/Kav\xEFro/";

// The expected template for kDir, written out by hand.
const std::string kTemplate = TemplateText(kDir);

class WorkingTreeTest : public ::testing::Test {
 protected:
  WorkingTreeTest() {
    files_.AddDirectory("/opt");
    files_.AddDirectory("/opt/Kav\xEFro");
  }
  std::string Path(const char* relative) const {
    return std::string(kDir) + relative;
  }

  MemFileSystem files_;
};

TEST_F(WorkingTreeTest, TemplateHasThirtyLinesWithTheProgramDirectory) {
  const LineList lines = ConfigTemplate(kDir);
  EXPECT_EQ(lines.Lines().size(), 30u);
  EXPECT_EQ(lines.Text(), kTemplate);
}

TEST_F(WorkingTreeTest, FreshStartCreatesTheTreeAndBothTemplates) {
  EXPECT_TRUE(PrepareWorkingTree(files_, kDir));
  for (const char* dir :
       {"KvxTCPIP", "KvxTCPIP/Logs", "KvxTCPIP/Config", "KvxTCPIP/XML"}) {
    EXPECT_TRUE(files_.DirectoryExists(Path(dir))) << dir;
  }
  // Windows-1252 bytes, CR LF, no byte-order mark.
  EXPECT_EQ(files_.Content(Path("KvxTCPConfig.xml")), kTemplate);
  EXPECT_EQ(files_.Content(Path("KvxTCPIP/Config/readme.xml")), kTemplate);
  EXPECT_FALSE(files_.DirectoryExists(Path("KvxTCPData")));
}

TEST_F(WorkingTreeTest, ExistingFilesAreNeverRewritten) {
  struct Case {
    const char* name;
    bool readme_present, config_present, want_config_written;
  } cases[] = {
      {"nothing present", false, false, true},
      {"readme only", true, false, true},
      {"config only", false, true, false},
      {"both present", true, true, false},
  };
  for (const auto& c : cases) {
    MemFileSystem files;
    files.AddDirectory("/opt");
    files.AddDirectory("/opt/Kav\xEFro");
    files.AddDirectory(Path("KvxTCPIP"));
    files.AddDirectory(Path("KvxTCPIP/Config"));
    // An existing file, even an empty or broken one, stays as it is.
    if (c.readme_present) files.AddFile(Path("KvxTCPIP/Config/readme.xml"), "");
    if (c.config_present) files.AddFile(Path("KvxTCPConfig.xml"), "<Port>1");
    EXPECT_EQ(PrepareWorkingTree(files, kDir), c.want_config_written) << c.name;
    EXPECT_EQ(files.Content(Path("KvxTCPIP/Config/readme.xml")),
              c.readme_present ? "" : kTemplate)
        << c.name;
    EXPECT_EQ(files.Content(Path("KvxTCPConfig.xml")),
              c.config_present ? "<Port>1" : kTemplate)
        << c.name;
    EXPECT_TRUE(files.DirectoryExists(Path("KvxTCPIP/Logs"))) << c.name;
  }
}

TEST_F(WorkingTreeTest, ADirectoryThatCannotBeCreatedIsPassedOver) {
  files_.FailWritesUnder(Path("KvxTCPIP/Logs"));
  EXPECT_TRUE(PrepareWorkingTree(files_, kDir));
  EXPECT_FALSE(files_.DirectoryExists(Path("KvxTCPIP/Logs")));
  EXPECT_TRUE(files_.DirectoryExists(Path("KvxTCPIP/XML")));
}

TEST_F(WorkingTreeTest, AMissingTreeFailsOnTheFirstTemplateWrite) {
  files_.FailWritesUnder(Path("KvxTCPIP"));
  try {
    PrepareWorkingTree(files_, kDir);
    ADD_FAILURE() << "no exception";
  } catch (const KvxError& e) {
    EXPECT_EQ(
        std::string(e.what()),
        CannotCreateFileMessage(Path("KvxTCPIP/Config/readme.xml"), ENOENT));
  }
  EXPECT_FALSE(files_.FileExists(Path("KvxTCPConfig.xml")));
}

}  // namespace
}  // namespace kvx
