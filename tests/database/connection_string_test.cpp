#include "database/connection_string.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

Settings DatabaseSettings(std::string server, std::string password) {
  Settings s;
  s.FSQLServer = std::move(server);
  s.FSQLDatabase = "Zefo";
  s.FSQLInlognaam = "kavero";
  s.FSQLPaswoord = std::move(password);
  return s;
}

TEST(ConnectionStringTest, ServerAddressForms) {
  const struct {
    const char* data_source;
    const char* want;
  } kCases[] = {
      {"db01", "db01,1433"},
      {"  db01  ", "db01,1433"},
      {"db01,1500", "db01,1500"},
      {"db01 , 1500 ", "db01,1500"},
      {"tcp:db01,1500", "db01,1500"},
      {"TCP:10.0.0.5", "10.0.0.5,1433"},
      {"db01\\SQLEXPRESS", "db01\\SQLEXPRESS"},
      {"db01\\SQLEXPRESS,1500", "db01,1500"},
      {" ", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ServerAddress(c.data_source), c.want) << c.data_source;
  }
}

TEST(ConnectionStringTest, FreeTdsValuesAreBracedUndoubled) {
  EXPECT_EQ(
      BuildConnectionString(DatabaseSettings("db01", "a;b={c}d}"), "FreeTDS"),
      "DRIVER={FreeTDS};SERVER={db01,1433};DATABASE={Zefo};"
      "UID={kavero};PWD={a;b={c}d}};TDS_Version=7.4;");
}

TEST(ConnectionStringTest, OtherDriversDoubleTheClosingBrace) {
  EXPECT_EQ(BuildConnectionString(DatabaseSettings("db01,1500", "a;b}c"),
                                  "ODBC Driver 18 for SQL Server"),
            "DRIVER={ODBC Driver 18 for SQL Server};SERVER={db01,1500};"
            "DATABASE={Zefo};UID={kavero};PWD={a;b}}c};");
}

TEST(ConnectionStringTest, FreeTdsCannotTakeBraceSemicolon) {
  EXPECT_FALSE(
      BuildConnectionString(DatabaseSettings("db01", "x};y"), "FreeTDS"));
  EXPECT_FALSE(BuildConnectionString(DatabaseSettings("db01", "pw"),
                                     "/usr/lib/x86_64-linux-gnu/odbc/"
                                     "libtdsodbc.so")
                   ->empty());
  EXPECT_TRUE(BuildConnectionString(DatabaseSettings("db01", "x};y"),
                                    "ODBC Driver 18 for SQL Server"));
}

}  // namespace
}  // namespace kvx
