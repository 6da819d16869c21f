#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/status.h"
#include "line/line_db.h"
#include "line/scratch_pg.h"

namespace ftmd::line::test {

// The PostgreSQL server of this test process, started on first use; stopped
// when the process ends, however it ends (see ScratchPg).
ScratchPg& pg_server();

// Test names end with the engine: "/sqlite", "/postgres".
inline std::string engine_name(const ::testing::TestParamInfo<std::string>& engine) { return engine.param; }

// A new, empty line database (no schema yet) on `engine`: "sqlite" (a file
// in a temporary folder) or "postgres" (a database of its own on
// pg_server()). Removed by the destructor.
class TestDb {
 public:
  explicit TestDb(const std::string& engine);
  ~TestDb();
  TestDb(const TestDb&) = delete;
  TestDb& operator=(const TestDb&) = delete;

  const std::string& url() const { return url_; }
  bool postgres() const { return engine_ == "postgres"; }
  const std::string& name() const { return name_; }
  std::unique_ptr<LineDb> open(std::chrono::milliseconds retry_within = kDefaultRetryWithin,
                               Access access = Access::kReadWrite) const;
  // SQL text as the database's owner, around the line's rules.
  Status sql(const std::string& text) const;

 private:
  std::string engine_, name_, dir_, url_;
};

struct Ran {
  int code = 0;
  std::string out, err;
};
// ftmline in this process, on database `url`.
Ran ftmline(const std::string& url, const std::vector<std::string>& args);

}  // namespace ftmd::line::test
