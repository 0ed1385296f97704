// Tests of `hospd publish`, run as a program on a real data folder.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "BuildSignature.h"
#include "FileDate.h"
#include "HospdProcess.h"

namespace fs = std::filesystem;

namespace {

// A data folder with its Clients folder, a build to publish and two key pairs.
class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Clients());
    std::string error;
    ASSERT_TRUE(BuildSignature::MakeKeyPair(Path("key"), Path("key.pub"), error)) << error;
  }

  std::string Path(const std::string& name) const { return root_.Path(name); }
  fs::path Clients() const { return root_.Path() / "data" / "Clients"; }

  // `hospd publish BUILD ARGUMENTS... --data DATA`; its exit status.
  int Publish(const std::string& bytes, std::vector<std::string> arguments) {
    WriteBytes(Path("build"), bytes);
    arguments.insert(arguments.begin(), {"publish", Path("build")});
    arguments.insert(arguments.end(), {"--data", Path("data")});
    return RunHospd(arguments).status;
  }

  // The Clients folder: each file's bytes, permission bits and inode.
  std::map<std::string, std::string> ClientsState() const {
    std::map<std::string, std::string> state;
    for (const auto& entry : fs::directory_iterator(Clients())) {
      struct stat info {};
      ::stat(entry.path().c_str(), &info);
      state[entry.path().filename().string()] = ReadBytes(entry.path()) + "|" +
                                                std::to_string(info.st_mode & 0777) + "|" +
                                                std::to_string(info.st_ino);
    }
    return state;
  }

  // Whether NAME.sig is a statement signed with the key that names NAME's bytes and the date
  // the server announces for it, its file's.
  bool Verifies(const std::string& name) const {
    const auto statement =
        BuildSignature::ReadStatement({Path("key.pub")}, (Clients() / (name + ".sig")).string());
    const std::string bytes = ReadBytes(Clients() / name);
    return statement && statement->sha256 == BuildSignature::Sha256Hex(bytes) &&
           statement->size == bytes.size() &&
           statement->date == GetFilePackedDate((Clients() / name).string());
  }

  TempFolder root_{"hosp-publish"};
};

// Each publish replaces the build and its signature by renames (new files, never rewritten
// in place), leaves nothing else behind, and removes an old signature when unsigned.
TEST_F(PublishTest, ReplacesTheBuildAndItsSignatureByRenames) {
  ASSERT_EQ(Publish("first build", {"--key", Path("key")}), 0);
  EXPECT_TRUE(Verifies("Pellomarquin.exe"));
  const auto first = ClientsState();

  ASSERT_EQ(Publish("second build", {"--key", Path("key")}), 0);
  const auto second = ClientsState();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_TRUE(Verifies("Pellomarquin.exe"));
  EXPECT_EQ(ReadBytes(Clients() / "Pellomarquin.exe"), "second build");
  for (const auto& [name, state] : second) {
    EXPECT_NE(state.substr(state.rfind('|')), first.at(name).substr(first.at(name).rfind('|')))
        << name << " was rewritten in place";
    EXPECT_NE(state.find("|420|"), std::string::npos) << name << " is not mode 0644";
  }

  ASSERT_EQ(Publish("third build", {}), 0);
  EXPECT_EQ(ReadBytes(Clients() / "Pellomarquin.exe"), "third build");
  EXPECT_FALSE(fs::exists(Clients() / "Pellomarquin.exe.sig"));

  ASSERT_EQ(Publish("other program", {"--name", "Other.exe", "--key", Path("key")}), 0);
  EXPECT_TRUE(Verifies("Other.exe"));
  EXPECT_EQ(ClientsState().size(), 3u);
}

// A publish that cannot be done changes nothing in the Clients folder.
TEST_F(PublishTest, RefusesWithoutTouchingTheFolder) {
  ASSERT_EQ(Publish("published build", {"--key", Path("key")}), 0);
  const auto before = ClientsState();
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> arguments;
  } rows[] = {
      {"NameWithFolder", "new", {"--name", "sub/Other.exe"}},
      {"NameGoingUp", "new", {"--name", ".."}},
      {"NameWithBackslash", "new", {"--name", "..\\Other.exe"}},
      {"MissingKey", "new", {"--key", Path("no-such-key")}},
      {"PublicKeyForPrivate", "new", {"--key", Path("key.pub")}},
      {"EmptyBuild", "", {"--key", Path("key")}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Publish(row.bytes, row.arguments), 1) << row.name;
    EXPECT_EQ(ClientsState(), before) << row.name;
  }
}

}  // namespace
