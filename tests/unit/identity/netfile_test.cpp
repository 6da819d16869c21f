#include "identity/netfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ftmd {
namespace {

namespace fs = std::filesystem;

constexpr char kMac[] = "00:1B:2C:3D:4E:5F";
constexpr char kLan4Defaults[] = "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n";
constexpr char kLan4Full[] =
    "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n";

TEST(NetfileEdit, MacFormatIsSixUpperCasePairsWithColons) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"00:1B:2C:3D:4E:5F", true},   {"FF:FF:FF:FF:FF:FF", true},    {"00:1b:2c:3d:4e:5f", false},
      {"00-1B-2C-3D-4E-5F", false},  {"00:1B:2C:3D:4E:5G", false},   {"00:1B:2C:3D:4E:5", false},
      {"00:1B:2C:3D:4E:5F:", false}, {"00:1B:2C:3D:4E:5F\n", false}, {"001B2C3D4E5F", false},
      {"001:B2C:3D4:E5F:", false},   {":0:1B:2C:3D:4E:5F", false},   {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(check_mac_format(c.text), c.ok) << c.text;
}

struct EditCase {
  const char* name;
  std::string before;
  std::string after;
};

TEST(NetfileEdit, EnsureMatchEntry) {
  const EditCase cases[] = {
      {"empty file", "", "[Match]\nName=lan4\n"},
      {"other interface", "[Match]\nName=lan3\nX=1\n", "[Match]\nName=lan4\nName=lan3\nX=1\n"},
      {"header on last line", "A=1\n[Match]\n", "A=1\n[Match]\n"},
      {"no header, no final line feed", "A=1", "A=1\n[Match]\nName=lan4\n"},
      {"header as substring", "# [Match] here\nB=2\n", "# [Match] here\nName=lan4\nB=2\n"},
      {"only first header counts", "[Match]\nName=lan4\n[Match]\nName=lan3\n",
       "[Match]\nName=lan4\n[Match]\nName=lan3\n"},
      {"blank next line", "[Match]\n\nName=lan4\n", "[Match]\nName=lan4\n\nName=lan4\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(netfile_ensure_entry(c.before, "[Match]", "Name=lan4"), c.after) << c.name;
}

TEST(NetfileEdit, EnsureDefaults) {
  const EditCase cases[] = {
      {"from nothing", "", kLan4Defaults},
      {"network section lacks DHCP", "[Match]\nName=lan4\n[Network]\nAddress=192.0.2.1/24\n",
       "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\nAddress=192.0.2.1/24\n"},
      {"only a link section", "[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n",
       "[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(netfile_ensure_defaults(c.before, "Name=lan4"), c.after) << c.name;
}

TEST(NetfileEdit, FindStoredMac) {
  const struct {
    const char* name;
    std::string text;
    std::optional<std::string> mac;
  } cases[] = {
      {"no link section", "[Match]\nName=lan4\nMACAddress=00:1B:2C:3D:4E:5F\n", std::nullopt},
      {"entry before link ignored", "MACAddress=11:11:11:11:11:11\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n",
       kMac},
      {"later section still counts", "[Link]\n[Network]\nMACAddress=00:1B:2C:3D:4E:5F\n", kMac},
      {"first entry decides", "[Link]\nMACAddress=00:1B:2C:3D:4E:5F\nMACAddress=22:22:22:22:22:22\n", kMac},
      {"rest of the line ignored", "[Link]\nMACAddress=00:1B:2C:3D:4E:5F # x\n", kMac},
      {"lower case returned unchecked", "[Link]\nMACAddress=00:1b:2c:3d:4e:5f\n", "00:1b:2c:3d:4e:5f"},
      {"short value keeps its line feed", "[Link]\nMACAddress=00:1B\n", "00:1B\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(netfile_find_mac(c.text), c.mac) << c.name;
}

TEST(NetfileEdit, RewriteMac) {
  const EditCase cases[] = {
      {"lower case replaced",
       "[Match]\nName=lan4\n[Link]\nMACAddress=00:1b:2c:3d:4e:5f\n[Network]\nDHCP=ipv4\n",
       "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n"},
      {"other link entry stays in place",
       "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n[Link]\nMTUBytes=1500\nMACAddress=11:11:11:11:11:11\n",
       "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\nMTUBytes=1500\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n"},
      {"stray entries everywhere",
       "MACAddress=AA:AA:AA:AA:AA:AA\n[Match]\nName=lan4\n[Link]\n[Link]\n# MACAddress=old\nA=1\n",
       "[Match]\nName=lan4\nA=1\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n"},
      {"no final line feed", "[Match]\nName=lan4",
       "[Match]\nName=lan4\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(netfile_rewrite_mac(c.before, kMac), c.after) << c.name;
}

// The file operations, on a private directory instead of /etc/systemd/network.
class NetfileFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("ftmd-netfile-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void spit(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
  static ino_t inode(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_ino;
  }
  std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
};

TEST_F(NetfileFiles, CreatesDirectoriesAndTheSixLines) {
  mode_t old_umask = ::umask(022);
  fs::path unit = root_ / "etc/systemd/network/lan4.network";
  EXPECT_TRUE(netfile_update_unit(unit.c_str(), "Name=lan4", kMac));
  ::umask(old_umask);
  EXPECT_EQ(slurp(unit), kLan4Full);
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "etc/systemd").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);  // 0775 less the umask
  EXPECT_EQ(entries(unit.parent_path()), std::vector<std::string>{"lan4.network"});
  EXPECT_EQ(netfile_read_mac(unit.c_str()), kMac);
}

// Every update replaces the file by rename (a new inode, its mode kept),
// never in place; one that already holds defaults and address is not touched.
TEST_F(NetfileFiles, RewritesWholeKeepingTheMode) {
  const struct {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"lower case", "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n[Link]\nMACAddress=00:1b:2c:3d:4e:5f\n",
       kLan4Full},
      {"same address, defaults missing", "[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n",
       "[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n"},
      {"empty file", "", kLan4Full},
      {"other address", std::string(kLan4Defaults) + "[Link]\nMACAddress=11:11:11:11:11:11\n", kLan4Full},
      {"all there", std::string("# keep me\n") + kLan4Full, std::string("# keep me\n") + kLan4Full},
  };
  for (const auto& c : cases) {
    fs::path unit = root_ / "lan4.network";
    spit(unit, c.before);
    ::chmod(unit.c_str(), 0600);
    ino_t ino = inode(unit);
    EXPECT_TRUE(netfile_update_unit(unit.c_str(), "Name=lan4", kMac)) << c.name;
    EXPECT_EQ(slurp(unit), c.after) << c.name;
    EXPECT_EQ(inode(unit) == ino, c.before == c.after) << c.name;
    struct stat st {};
    ::stat(unit.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << c.name;
    EXPECT_EQ(entries(root_), std::vector<std::string>{"lan4.network"}) << c.name;
  }
}

TEST_F(NetfileFiles, FailuresWriteNothing) {
  // A path that is not one of the two unit files.
  fs::path other = root_ / "sub/eth0.network";
  EXPECT_FALSE(netfile_update_mac(other.c_str(), kMac));
  EXPECT_TRUE(entries(root_ / "sub").empty());

  // A path component that is a file.
  spit(root_ / "plain", "x");
  EXPECT_FALSE(netfile_update_unit((root_ / "plain/dir/lan4.network").c_str(), "Name=lan4", kMac));
  EXPECT_EQ(slurp(root_ / "plain"), "x");

  // The unit file path is a directory: unreadable, left alone.
  fs::create_directories(root_ / "lan4.network");
  EXPECT_FALSE(netfile_update_unit((root_ / "lan4.network").c_str(), "Name=lan4", kMac));
  EXPECT_TRUE(fs::is_directory(root_ / "lan4.network"));
  EXPECT_FALSE(netfile_read_mac((root_ / "lan4.network").c_str()));
  EXPECT_FALSE(netfile_read_mac((root_ / "missing.network").c_str()));
  spit(root_ / "lower.network", "[Link]\nMACAddress=00:1b:2c:3d:4e:5f\n");
  EXPECT_FALSE(netfile_read_mac((root_ / "lower.network").c_str()));
}

}  // namespace
}  // namespace ftmd
