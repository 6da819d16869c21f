#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace ftmd {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t entries(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class AtomicFileTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_ = fs::temp_directory_path() / ("atomic-file-" + std::to_string(::getpid()));
};

TEST_F(AtomicFileTest, ReplacesTheWholeFileKeepsItsModeAndLeavesNoTemp) {
  const std::string path = (dir_ / "r.json").string();
  ASSERT_TRUE(write_file_atomic(path, "first, longer content"));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  Status second = write_file_atomic(path, "second");
  ASSERT_TRUE(second) << second.message();
  EXPECT_EQ(slurp(path), "second");
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(entries(dir_), 1u);

  // A directory that is not there: an error naming the temp file and errno.
  Status failed = write_file_atomic((dir_ / "missing" / "r.json").string(), "x");
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.message().rfind("cannot create " + (dir_ / "missing" / ".r.json.").string(), 0), 0u)
      << failed.message();
  EXPECT_NE(failed.message().find(": No such file or directory"), std::string::npos);
}

// Opened, the replacement exists only as a hidden temp file; the file itself
// appears whole at the commit, and an uncommitted one leaves nothing behind.
TEST_F(AtomicFileTest, TwoStepsCreateTheFileWholeOrNotAtAll) {
  const fs::path path = dir_ / "lan4.network";
  {
    AtomicFile file(path.string());
    ASSERT_TRUE(file.open());
    EXPECT_FALSE(fs::exists(path));
    ASSERT_EQ(entries(dir_), 1u);
    EXPECT_TRUE(fs::directory_iterator(dir_)->path().filename().string().starts_with(".lan4.network."));
    AtomicFile moved(std::move(file));
    ASSERT_TRUE(moved.commit("[Match]\n"));
  }
  EXPECT_EQ(slurp(path), "[Match]\n");
  {
    AtomicFile abandoned(path.string());
    ASSERT_TRUE(abandoned.open());
    EXPECT_EQ(entries(dir_), 2u);
  }
  EXPECT_EQ(entries(dir_), 1u);
  EXPECT_EQ(slurp(path), "[Match]\n");
}

}  // namespace
}  // namespace ftmd
