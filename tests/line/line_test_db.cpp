#include "line/line_test_db.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/c_handle.h"
#include "line/ftmline_cli.h"

namespace ftmd::line::test {

ScratchPg& pg_server() {
  static std::unique_ptr<ScratchPg> server = [] {
    std::string error;
    auto pg = ScratchPg::start(&error);
    if (!pg) {
      std::fprintf(stderr, "cannot start the test's PostgreSQL server: %s\n", error.c_str());
      std::abort();
    }
    return pg;
  }();
  return *server;
}

TestDb::TestDb(const std::string& engine) : engine_(engine) {
  static std::atomic<int> made{0};
  name_ = "line" + std::to_string(::getpid()) + "_" + std::to_string(made++);
  if (postgres()) {
    EXPECT_TRUE(pg_server().sql("CREATE DATABASE " + name_).ok());
    url_ = pg_server().conninfo(name_);
  } else {
    char dir[] = "/tmp/ftmline-test.XXXXXX";
    EXPECT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    url_ = "sqlite:" + dir_ + "/line.db";
  }
}

TestDb::~TestDb() {
  if (postgres()) (void)pg_server().sql("DROP DATABASE " + name_ + " WITH (FORCE)");
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

std::unique_ptr<LineDb> TestDb::open(std::chrono::milliseconds retry_within, Access access) const {
  auto db = open_line_db(url_, retry_within, access);
  EXPECT_TRUE(db.ok()) << url_;
  return db ? std::move(*db) : nullptr;
}

Status TestDb::sql(const std::string& text) const {
  if (postgres()) return pg_server().sql(text, name_);
  using Sqlite = CHandle<sqlite3, sqlite3_close_v2>;
  sqlite3* raw = nullptr;
  sqlite3_open_v2((dir_ + "/line.db").c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Sqlite db(raw);
  char* error = nullptr;
  if (sqlite3_exec(db.get(), text.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return {};
  std::string message = error ? error : "sqlite3_exec failed";
  sqlite3_free(error);
  return Status::failure(message);
}

namespace {

// A FILE* that collects what is written to it.
class Capture {
 public:
  Capture() : file_(open_memstream(&data_, &size_)) {}
  ~Capture() {
    if (file_) std::fclose(file_);
    std::free(data_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

}  // namespace

Ran ftmline(const std::string& url, const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"--db", url.c_str(), "--station", "st1", "--operator", "op1"};
  for (const auto& a : args) argv.push_back(a.c_str());
  Capture out, err;
  int code = run_ftmline(argv, out.file(), err.file());
  return {code, out.text(), err.text()};
}

}  // namespace ftmd::line::test
