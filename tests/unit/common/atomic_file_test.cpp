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

TEST(AtomicFile, ReplacesTheWholeFileKeepsItsModeAndLeavesNoTemp) {
  fs::path dir = fs::temp_directory_path() / ("atomic-file-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "r.json").string();

  ASSERT_TRUE(write_file_atomic(path, "first, longer content")) << "";
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  Status second = write_file_atomic(path, "second");
  ASSERT_TRUE(second) << second.message();
  EXPECT_EQ(slurp(path), "second");
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  // A directory that is not there: an error naming the temp file and errno.
  const std::string missing = (dir / "missing" / "r.json").string();
  Status failed = write_file_atomic(missing, "x");
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.message().rfind("cannot create " + (dir / "missing" / ".r.json.").string(), 0), 0u)
      << failed.message();
  EXPECT_NE(failed.message().find(": No such file or directory"), std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ftmd
