// Tests of the profile-file reader that hospctl uses for Hosp.ini.
#include "IniFile.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>

// Sections and keys ignore case, blanks and quotes around values go, comments and stray lines are
// skipped.
TEST(IniFileTest, ReadsSectionsAndKeys) {
  IniFile ini;
  ini.Parse(
      "; servers of the ward\r\n"
      "[DataServer]\r\n"
      "IP = 10.0.0.5 \r\n"
      "Port=8701\r\n"
      "port=9999\r\n"
      "no equals sign here\r\n"
      "[ functionserver ]\n"
      "# another comment\n"
      "ip=\"fs.example\"\n"
      "Port=\n"
      "Path=C:\\Hosp=1\n");
  EXPECT_EQ(ini.Read("DataServer", "IP"), "10.0.0.5");
  EXPECT_EQ(ini.Read("DATASERVER", "port"), "8701");
  EXPECT_EQ(ini.Read("FunctionServer", "IP"), "fs.example");
  EXPECT_EQ(ini.Read("FunctionServer", "Port", "x"), "");
  EXPECT_EQ(ini.Read("FunctionServer", "Path"), "C:\\Hosp=1");
  EXPECT_EQ(ini.Read("FunctionServer", "Missing", "fallback"), "fallback");
  EXPECT_EQ(ini.Read("Other", "IP"), "");
}

// Keys before any section belong to the unnamed one, not to a named section.
TEST(IniFileTest, KeysOutsideSections) {
  IniFile ini;
  ini.Parse("IP=1.2.3.4\n[DataServer]\nPort=1\n");
  EXPECT_EQ(ini.Read("DataServer", "IP"), "");
  EXPECT_EQ(ini.Read("", "IP"), "1.2.3.4");
}

// Loading reads a real file; a missing file gives false and no values.
TEST(IniFileTest, LoadsFile) {
  const std::string path = "/tmp/hosp-ini-test-" + std::to_string(getpid()) + ".ini";
  std::ofstream(path) << "[DataServer]\nIP=127.0.0.1\n";
  IniFile ini;
  ASSERT_TRUE(ini.Load(path));
  EXPECT_EQ(ini.Read("DataServer", "IP"), "127.0.0.1");
  std::filesystem::remove(path);
  EXPECT_FALSE(ini.Load(path));
  EXPECT_EQ(ini.Read("DataServer", "IP"), "");
}
