// Tests of spool/install_root.cc: the pointer file beside the module names
// the root by its first line; without one the module's directory, and
// without a module of our own name the built-in default, are the root.
#include "spool/install_root.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/module_path.h"
#include "tests/harness/temp_dir.h"

namespace spool {
namespace {

// Installs the module at <dir>/ext/dudarovuvadu.so for one test.
class InstallRootTest : public ::testing::Test {
 protected:
  InstallRootTest() {
    dir_.MakeDir("ext");
    platform::testing::OverrideModulePath(dir_.Path("ext/dudarovuvadu.so"));
  }
  ~InstallRootTest() override { platform::testing::ClearModulePathOverride(); }

  harness::TempDir dir_;
};

TEST_F(InstallRootTest, WithoutPointerFileTheRootIsTheModuleDirectory) {
  EXPECT_EQ(ResolveInstallRoot(), dir_.Path("ext"));
  EXPECT_EQ(ResolveInstallRoot(kCounterPathCapacity), dir_.Path("ext"));
}

TEST_F(InstallRootTest, PointerFileFirstLineIsTheRoot) {
  struct Case {
    std::string stored;
    std::string root;
  };
  const std::vector<Case> cases = {
      {"/srv/spool\r\n", "/srv/spool"},
      {"/srv/spool", "/srv/spool"},
      {"/srv/spool\n", "/srv/spool"},
      {"/srv/spool\r\nsecond line\r\nthird\r\n", "/srv/spool"},
      {"/srv/spool\r\r\n", "/srv/spool"},  // CR CR LF reads as CR LF: both cut
      {"", ""},                            // empty file: empty root
      {"\r\n", "\n"},                      // one character long: nothing is cut
      {"\n", "\n"},
      {"a\r\n", "a"},
      {" spaced root \r\n", " spaced root "},
      {std::string(300, 'x') + "\r\n", std::string(255, 'x')},  // 255 characters at most
  };
  for (const Case& c : cases) {
    dir_.WriteFile("ext/dudarovuvadu.dir", c.stored);
    EXPECT_EQ(ResolveInstallRoot(), c.root) << "pointer file: " << c.stored;
  }
}

TEST_F(InstallRootTest, EditedPointerFileTakesEffectOnTheNextCall) {
  dir_.WriteFile("ext/dudarovuvadu.dir", "/first\r\n");
  EXPECT_EQ(ResolveInstallRoot(), "/first");
  dir_.WriteFile("ext/dudarovuvadu.dir", "/second\r\n");
  EXPECT_EQ(ResolveInstallRoot(), "/second");
  ASSERT_EQ(std::remove(dir_.Path("ext/dudarovuvadu.dir").c_str()), 0);
  EXPECT_EQ(ResolveInstallRoot(), dir_.Path("ext"));
}

TEST_F(InstallRootTest, PointerFileThatIsADirectoryIsNoPointerFile) {
  dir_.MakeDir("ext/dudarovuvadu.dir");
  EXPECT_EQ(ResolveInstallRoot(), dir_.Path("ext"));
}

TEST_F(InstallRootTest, PointerFileThatCannotBeOpenedFailsTheRequest) {
  dir_.WriteFile("ext/dudarovuvadu.dir", "/pointed\r\n");
  platform::testing::FailNthFileOpen(1);
  const InstallRoot root = ResolveRequestRoot();
  platform::testing::FailNthFileOpen(0);
  EXPECT_EQ(root.failure, "!Can't read " + dir_.Path("ext/dudarovuvadu.dir"));
  EXPECT_EQ(root.spool, "");
  EXPECT_EQ(root.counters, "");
  // Readable again, it names the root.
  EXPECT_EQ(ResolveRequestRoot().spool, "/pointed");
}

TEST_F(InstallRootTest, ModuleNameLongerThanTheCapacityIsCut) {
  dir_.WriteFile("ext/dudarovuvadu.dir", "/pointed\r\n");
  // The name is cut to "<dir>/ext/dudar": its directory is still ext, but
  // the pointer path no longer fits the buffer, so it is not opened.
  const std::string cut = dir_.Path("ext/dudar");
  EXPECT_EQ(ResolveInstallRoot(cut.size() + 1), dir_.Path("ext"));
  // Cut inside the directory name, the directory is the one above.
  const std::string cut_in_dir = dir_.Path("ex");
  EXPECT_EQ(ResolveInstallRoot(cut_in_dir.size() + 1), dir_.path());
}

TEST(InstallRootNameTest, NameWithoutSeparatorAfterItsFirstCharacterStaysWhole) {
  for (const std::string name : {"dudarovuvadu.so", "/dudarovuvadu.so"}) {
    platform::testing::OverrideModulePath(name);
    EXPECT_EQ(ResolveInstallRoot(), name);
  }
  platform::testing::ClearModulePathOverride();
}

TEST(InstallRootNameTest, WithoutModuleAndPointerFileTheDefaultRootIsUsed) {
  // No module of our own name: the pointer file is looked for beside the
  // test executable, where there is none.
  // The built-in root of each platform.
  const std::string expected = platform::kPathSeparator == '\\'
                                   ? "c:\\program files\\quorvel\\dudarovuvadu"
                                   : "/opt/quorvel/dudarovuvadu";
  platform::testing::OverrideModulePath("");
  EXPECT_EQ(ResolveInstallRoot(), expected);
  EXPECT_EQ(std::string(kDefaultInstallRoot), expected);
  platform::testing::ClearModulePathOverride();
}

}  // namespace
}  // namespace spool
