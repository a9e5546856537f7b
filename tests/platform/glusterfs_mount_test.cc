// Reading a mount table and a GlusterFS client's command line: which mount
// holds a path, and whether the client serving it caches names and
// attributes; on POSIX, both read from a process table.
#include "platform/glusterfs_mount.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/harness/temp_dir.h"

namespace platform {
namespace {

// A mount table as /proc/self/mountinfo gives it: optional fields or none,
// a blank written "\040", and /data mounted over.
const std::string kMountInfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "40 22 0:35 / /srv/portal rw,relatime shared:20 - fuse.glusterfs gluster1:/portal "
    "rw,user_id=0,group_id=0,default_permissions,allow_other,max_read=131072\n"
    "41 40 0:36 / /srv/portal/local rw shared:21 - tmpfs tmpfs rw\n"
    "42 22 0:37 / /mnt/with\\040blank rw - fuse.glusterfs g:/v rw\n"
    "43 22 0:38 / /srv/portal2 rw - ext4 /dev/sdb rw\n"
    "45 22 0:40 / /data rw - ext4 /dev/sdc rw\n"
    "46 45 0:41 / /data rw master:3 - fuse.glusterfs g:/d rw\n"
    "47 22 0:42 / /broken rw\n";

TEST(GlusterFsMountTest, MountHoldingIsTheLongestMountPointOverThePath) {
  const struct {
    const char* path;
    const char* mount_point;  // null: none
    const char* type;
  } cases[] = {
      {"/srv/portal/root", "/srv/portal", "fuse.glusterfs"},
      {"/srv/portal", "/srv/portal", "fuse.glusterfs"},
      {"/srv/portal/", "/srv/portal", "fuse.glusterfs"},
      {"/srv/portal2/root", "/srv/portal2", "ext4"},
      {"/srv/portal/local/root", "/srv/portal/local", "tmpfs"},
      {"/mnt/with blank/root", "/mnt/with blank", "fuse.glusterfs"},
      {"/data/root", "/data", "fuse.glusterfs"},
      {"/broken/root", "/", "ext4"},
      {"/var/portal", "/", "ext4"},
      {"relative/root", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const std::optional<MountEntry> mount = MountHolding(kMountInfo, c.path);
    if (c.mount_point == nullptr) {
      EXPECT_FALSE(mount.has_value()) << c.path;
      continue;
    }
    ASSERT_TRUE(mount.has_value()) << c.path;
    EXPECT_EQ(mount->mount_point, c.mount_point) << c.path;
    EXPECT_EQ(mount->type, c.type) << c.path;
  }
  EXPECT_FALSE(MountHolding("", "/srv").has_value());
}

std::string CommandLine(std::initializer_list<std::string> arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += argument + '\0';
  return text;
}

TEST(GlusterFsMountTest, ClientCachingIsReadFromItsTimeouts) {
  const std::string client = "/usr/sbin/glusterfs";
  const std::string server = "--volfile-server=gluster1";
  const std::string volume = "--volfile-id=portal";
  const struct {
    std::string cmdline;
    ClientCaching caching;
  } cases[] = {
      {CommandLine({client, "--process-name", "fuse", server, volume, "/srv/portal"}),
       ClientCaching::kCachesOn},
      {CommandLine(
           {client, "--entry-timeout=0", "--attribute-timeout=0", server, volume, "/srv/portal"}),
       ClientCaching::kCachesOff},
      {CommandLine({client, "--entry-timeout=0", server, volume, "/srv/portal"}),
       ClientCaching::kCachesOn},
      {CommandLine({client, "--attribute-timeout=0", server, volume, "/srv/portal"}),
       ClientCaching::kCachesOn},
      {CommandLine(
           {client, "--entry-timeout", "0", "--attribute-timeout", "0.0", server, "/srv/portal/"}),
       ClientCaching::kCachesOff},
      {CommandLine({"glusterfs", "entry-timeout=0,attribute-timeout=0", "/srv/portal"}),
       ClientCaching::kCachesOff},
      {CommandLine({client, "--entry-timeout=0", "--attribute-timeout=0", "--entry-timeout=1",
                    "/srv/portal"}),
       ClientCaching::kCachesOn},
      {CommandLine({client, "--entry-timeout=0", "--attribute-timeout=0.5", "/srv/portal"}),
       ClientCaching::kCachesOn},
      {CommandLine({client, "--entry-timeout=0", "--attribute-timeout=", "/srv/portal"}),
       ClientCaching::kCachesOn},
      {CommandLine({client, "--entry-timeout=0", "--attribute-timeout=0", "/srv/portal2"}),
       ClientCaching::kOtherProcess},
      {CommandLine({client, "--volfile-id=/srv/portal", "/srv"}), ClientCaching::kOtherProcess},
      {CommandLine({"/usr/sbin/glusterfsd", "/srv/portal"}), ClientCaching::kOtherProcess},
      {CommandLine({"vi", "/srv/portal"}), ClientCaching::kOtherProcess},
      {"", ClientCaching::kOtherProcess},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GlusterFsClientCaching(c.cmdline, "/srv/portal"), c.caching) << c.cmdline;
  }
}

#ifndef _WIN32
// A process table laid out as /proc is, so no real mount is needed: a local
// root, two GlusterFS mounts and the client of one of them, caches off; a
// name that is no process id holds a client that keeps them.
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

TEST(GlusterFsMountTest, ReadsTheMountAndItsClientsCachingFromAProcessTable) {
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
  // No mount table: nothing is known.
  const harness::TempDir empty;
  EXPECT_EQ(ReadGlusterFsMount("/dudarovuvadu-test/portal", empty.path()),
            (GlusterFsMount{NameCaching::kUnknown, ""}));
}
#endif

}  // namespace
}  // namespace platform
