// The GlusterFS mount of a folder read from a process table: a tree laid out
// as /proc is, so no real mount is needed.
#include <gtest/gtest.h>

#include <string>

#include "platform/glusterfs_mount.h"
#include "tests/harness/temp_dir.h"

namespace platform {
namespace {

std::string CommandLine(std::initializer_list<std::string> arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += argument + '\0';
  return text;
}

// A process table with a local root, two GlusterFS mounts and the client of
// one of them, caches off; a name that is no process id holds a client that
// keeps them.
class ProcessTable : public harness::TempDir {
 public:
  ProcessTable() {
    MakeDir("self");
    WriteFile("self/mountinfo",
              "22 1 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n"
              "40 22 0:35 / /dudarovuvadu-test/portal rw - fuse.glusterfs g:/portal rw\n"
              "41 22 0:36 / /dudarovuvadu-test/other rw - fuse.glusterfs g:/other rw\n");
    AddProcess("1", {"/sbin/init"});
    AddProcess("77", {"/usr/sbin/glusterfs", "--entry-timeout=0", "--attribute-timeout=0",
                      "--volfile-server=g", "--volfile-id=portal", "/dudarovuvadu-test/portal"});
    AddProcess("self-client", {"/usr/sbin/glusterfs", "/dudarovuvadu-test/portal"});
  }
  void AddProcess(const std::string& name, std::initializer_list<std::string> arguments) const {
    MakeDir(name);
    WriteFile(name + "/cmdline", CommandLine(arguments));
  }
};

TEST(GlusterFsMountPosixTest, TellsTheMountAndItsClientsCaching) {
  const ProcessTable table;
  EXPECT_EQ(ReadGlusterFsMount("/dudarovuvadu-test/local/root", table.path()),
            (GlusterFsMount{NameCaching::kNotGlusterFs, ""}));
  EXPECT_EQ(ReadGlusterFsMount("/dudarovuvadu-test/portal/root", table.path()),
            (GlusterFsMount{NameCaching::kCachesOff, "/dudarovuvadu-test/portal"}));
  EXPECT_EQ(ReadGlusterFsMount("/dudarovuvadu-test/other/root", table.path()),
            (GlusterFsMount{NameCaching::kUnknown, "/dudarovuvadu-test/other"}));
  // A second client of the same mount that keeps its caches.
  table.AddProcess("78", {"/usr/sbin/glusterfs", "--volfile-server=g", "--volfile-id=portal",
                          "/dudarovuvadu-test/portal"});
  EXPECT_EQ(ReadGlusterFsMount("/dudarovuvadu-test/portal/root", table.path()),
            (GlusterFsMount{NameCaching::kCachesOn, "/dudarovuvadu-test/portal"}));
}

TEST(GlusterFsMountPosixTest, NoMountTableIsUnknown) {
  const harness::TempDir empty;
  EXPECT_EQ(ReadGlusterFsMount("/dudarovuvadu-test/portal", empty.path()),
            (GlusterFsMount{NameCaching::kUnknown, ""}));
}

TEST(GlusterFsMountPosixTest, ALocalFolderOfThisMachineIsNotOnGlusterFs) {
  const harness::TempDir dir;
  EXPECT_EQ(ReadGlusterFsMount(dir.path(), "/proc").caching, NameCaching::kNotGlusterFs);
}

}  // namespace
}  // namespace platform
