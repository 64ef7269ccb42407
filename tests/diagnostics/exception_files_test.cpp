// Exception and status files: names, contents and failures.
#include "diagnostics/exception_files.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/mem_file_system.h"
#include "platform/error.h"

namespace kvx {
namespace {

class ExceptionFilesTest : public ::testing::Test {
 protected:
  ExceptionFilesTest() {
    for (const char* d : {"/p", "/p/KvxTCPIP", "/p/KvxTCPIP/Logs"}) {
      fs_.AddDirectory(d);
    }
  }
  MemFileSystem fs_;
  FakeClock clock_;
  ExceptionFiles files_{fs_, clock_, "/p/"};
};

TEST_F(ExceptionFilesTest, WritesEachKindUnderItsNameAsLines) {
  files_.TCPServerException(
      KvxError("Socket Error # 104\r\nConnection reset by peer."));
  files_.TCPServerListenException(KvxError("line one\nline two"));
  files_.TCPServerStatus("");
  EXPECT_EQ(fs_.Files(),
            (std::map<std::string, std::string>{
                {"/p/KvxTCPIP/Logs/TCP_EX_2505201014030757.txt",
                 "Socket Error # 104\r\nConnection reset by peer.\r\n"},
                {"/p/KvxTCPIP/Logs/TCP_LE_2505201014030757.txt",
                 "line one\r\nline two\r\n"},
                {"/p/KvxTCPIP/Logs/TCP_ST_2505201014030757.txt", ""},
            }));
}

TEST_F(ExceptionFilesTest, WritesInnerExceptionsAfterTheOuterOne) {
  try {
    try {
      throw KvxError("inner");
    } catch (...) {
      std::throw_with_nested(KvxError("outer"));
    }
  } catch (const std::exception& e) {
    files_.TCPServerException(e);
  }
  EXPECT_EQ(fs_.Content("/p/KvxTCPIP/Logs/TCP_EX_2505201014030757.txt"),
            "outer\r\ninner\r\n");
}

TEST_F(ExceptionFilesTest, ALaterFileInTheSameSecondReplacesTheEarlier) {
  files_.TCPServerException(KvxError("first"));
  files_.TCPServerException(KvxError("second"));
  EXPECT_EQ(fs_.Content("/p/KvxTCPIP/Logs/TCP_EX_2505201014030757.txt"),
            "second\r\n");
}

TEST_F(ExceptionFilesTest, TheHandlerStackDirectoryIsNeverCreated) {
  EXPECT_THROW(files_.ServerIOHandlerStack1Status("x"), KvxError);
  EXPECT_FALSE(fs_.DirectoryExists("/p/KvxTCPData"));
}

}  // namespace
}  // namespace kvx
