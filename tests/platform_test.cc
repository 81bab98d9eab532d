// The memory limits of cgroups, read from directories laid out as the
// cgroup file systems show them.

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "platform/platform.h"

namespace {

// A fresh directory holding `files` (path: text), removed at the end.
class cgroup_tree {
 public:
  explicit cgroup_tree(const std::map<std::string, std::string>& files) {
    std::string pattern = "/tmp/propslice-cgroups-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    for (const auto& [path, text] : files) {
      for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir((root_ + "/" + path.substr(0, slash)).c_str(), 0777);
      std::ofstream(root_ + "/" + path) << text;
    }
  }
  ~cgroup_tree() {
    (void)nftw(root_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); },
               16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

constexpr std::uint64_t mb = 1 << 20;

std::string v2_stat(std::uint64_t active_file, std::uint64_t inactive_file) {
  return "anon 4096\nfile " + std::to_string(active_file + inactive_file) + "\nactive_file " +
         std::to_string(active_file) + "\ninactive_file " + std::to_string(inactive_file) + "\n";
}

}  // namespace

TEST(CgroupMemoryLimit, UnifiedHierarchy) {
  struct row {
    const char* name;
    std::map<std::string, std::string> files;
    std::string self;  // /proc/self/cgroup
    std::string mount_root;
    std::uint64_t limit;
    std::string mounted_at = "";  // below the directory laid out
  };
  const std::string m300 = std::to_string(300 * mb) + "\n";
  const row rows[] = {
      {"no limit anywhere", {{"a/memory.max", "max\n"}, {"a/b/memory.max", "max\n"}}, "0::/a/b\n", "/",
       UINT64_MAX},
      {"its own", {{"a/memory.max", "max\n"}, {"a/b/memory.max", m300}}, "0::/a/b\n", "/", 300 * mb},
      {"an ancestor's, lower", {{"a/memory.max", std::to_string(200 * mb) + "\n"}, {"a/b/memory.max", m300}},
       "0::/a/b\n", "/", 200 * mb},
      // What is in use is taken off, page cache aside.
      {"less what is in use",
       {{"a/memory.max", m300}, {"a/memory.current", std::to_string(120 * mb) + "\n"},
        {"a/memory.stat", v2_stat(30 * mb, 40 * mb)}},
       "0::/a\n", "/", 250 * mb},
      {"all in use", {{"a/memory.max", m300}, {"a/memory.current", std::to_string(400 * mb) + "\n"}},
       "0::/a\n", "/", 0},
      {"page cache only", {{"a/memory.max", m300}, {"a/memory.current", std::to_string(100 * mb) + "\n"},
        {"a/memory.stat", v2_stat(0, 100 * mb)}},
       "0::/a\n", "/", 300 * mb},
      // Mounted from inside a container: the mount shows /c and below.
      {"below the mount's root", {{"memory.max", std::to_string(100 * mb) + "\n"}, {"b/memory.max", m300}},
       "0::/c/b\n", "/c", 100 * mb},
      // From another cgroup namespace: nothing above the mount is read.
      {"outside the mount's root",
       {{"m/memory.max", std::to_string(100 * mb) + "\n"}, {"b/memory.max", std::to_string(50 * mb) + "\n"}},
       "0::/../b\n", "/", 100 * mb, "/m"},
      {"v1 lines beside", {{"a/memory.max", m300}}, "12:memory:/x\n1:name=systemd:/y\n0::/a\n", "/",
       300 * mb},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    cgroup_tree tree(r.files);
    platform::cgroup_mounts mounts;
    mounts.unified = {tree.root() + r.mounted_at, r.mount_root};
    EXPECT_EQ(platform::cgroup_memory_limit(r.self, mounts), r.limit);
  }
}

TEST(CgroupMemoryLimit, MemoryControllerOfVersion1) {
  const std::string unlimited = "9223372036854771712\n";  // what v1 shows for none
  const std::string own = "4:memory:/a/b\n0::/\n";
  struct row {
    const char* name;
    std::map<std::string, std::string> files;
    std::string self;  // /proc/self/cgroup
    std::uint64_t limit;
  };
  const row rows[] = {
      {"its own", {{"memory.limit_in_bytes", unlimited}, {"a/memory.limit_in_bytes", std::to_string(300 * mb)}},
       "4:cpu,memory:/a\n0::/\n", 300 * mb},
      {"the parent's, counting its children",
       {{"a/memory.limit_in_bytes", std::to_string(200 * mb)}, {"a/memory.use_hierarchy", "1\n"},
        {"a/b/memory.limit_in_bytes", unlimited}},
       own, 200 * mb},
      {"the parent's, not counting them",
       {{"a/memory.limit_in_bytes", std::to_string(200 * mb)}, {"a/memory.use_hierarchy", "0\n"},
        {"a/b/memory.limit_in_bytes", unlimited}},
       own, 9223372036854771712u},
      {"an ancestor's the mount hides",
       {{"a/b/memory.limit_in_bytes", unlimited},
        {"a/b/memory.stat", "cache 0\nhierarchical_memory_limit " + std::to_string(100 * mb) + "\n"}},
       own, 100 * mb},
      {"less what is in use",
       {{"a/b/memory.limit_in_bytes", std::to_string(300 * mb)},
        {"a/b/memory.usage_in_bytes", std::to_string(150 * mb)},
        {"a/b/memory.stat", "total_active_file " + std::to_string(20 * mb) + "\ntotal_inactive_file " +
                                std::to_string(30 * mb) + "\n"}},
       own, 200 * mb},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    cgroup_tree tree(r.files);
    platform::cgroup_mounts mounts;
    mounts.memory = {tree.root(), "/"};
    EXPECT_EQ(platform::cgroup_memory_limit(r.self, mounts), r.limit);
  }
}

TEST(CgroupMemoryLimit, MountsFound) {
  const std::string mountinfo =
      "23 1 0:21 / /proc rw,nosuid - proc proc rw\n"
      "33 32 0:30 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
      "36 32 0:33 /c /sys/fs/cgroup/mem\\040ory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
      "42 32 0:39 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
      "43 32 0:40 / /elsewhere rw,relatime - cgroup2 cgroup2 rw\n";
  platform::cgroup_mounts mounts = platform::find_cgroup_mounts(mountinfo);
  EXPECT_EQ(mounts.unified.directory, "/sys/fs/cgroup/unified");
  EXPECT_EQ(mounts.unified.root, "/");
  EXPECT_EQ(mounts.memory.directory, "/sys/fs/cgroup/mem ory");
  EXPECT_EQ(mounts.memory.root, "/c");
  EXPECT_EQ(platform::find_cgroup_mounts("1 2 0:1 / / rw - ext4 /dev/vda rw\n").memory.directory, "");
}
