// The line database's assign against the floor of its database: latency
// p50/p99 and throughput with 1, 2, 4 and 8 concurrent clients (threads, each
// with a connection of its own) on PostgreSQL (a server of its own, started
// here) and on SQLite (a file beside it), measured in one run. The floor is
// a bare one-row update transaction on the same database through the same
// client library: on PostgreSQL one UPDATE in its own transaction, on SQLite
// BEGIN IMMEDIATE, UPDATE, COMMIT with the line's settings (WAL,
// synchronous=FULL). Each client updates its own row, so the floor has no
// lock waits of its own. Every assign is a new hardware id: the full path
// (the look-up of the hardware id, the values at the next position of the
// three pools, the unit and its assign event). Prints markdown table rows.
//
//   ftmline_bench [--seconds S] [--engine sqlite|postgres]
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <pqxx/pqxx>
#include <string>
#include <thread>
#include <vector>

#include "common/c_handle.h"
#include "line/line_db.h"
#include "line/scratch_pg.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using ftmd::line::Actor;
using ftmd::line::LineDb;

constexpr int kClientCounts[] = {1, 2, 4, 8};
constexpr int kWarmUp = 20;
constexpr int kSlices = 4;
constexpr double kP50Target = 2.0;  // assign p50 at most this multiple of the floor's at 1 client
// Units the pools hold: enough for every assign of a run with fast flushes
// (about 40 000 assigns per client count at the default 2 s).
constexpr int kPoolUnits = 500'000;

// One client's operation: true when it did what it should.
using Op = std::function<bool(int sequence)>;
using MakeOp = std::function<Op(int client)>;

struct Figures {
  std::vector<double> latencies_ms;  // sorted
  double per_second = 0;
  int failures = 0;
  double p(double fraction) const {
    if (latencies_ms.empty()) return 0;
    auto at = static_cast<std::size_t>(fraction * static_cast<double>(latencies_ms.size()));
    return latencies_ms[std::min(latencies_ms.size() - 1, at)];
  }
};

// Runs `clients` clients for `seconds`; each runs the ops of `makers` in
// turn, so a load that changes meanwhile weighs on each alike. Figures per
// op.
std::vector<Figures> measure(const std::vector<MakeOp>& makers, int clients, double seconds) {
  const std::size_t kinds = makers.size();
  std::vector<std::vector<Figures>> per_client(static_cast<std::size_t>(clients),
                                               std::vector<Figures>(kinds));
  std::atomic<bool> go{false};
  std::atomic<int> ready{0};
  Clock::time_point end;
  {
    std::vector<std::jthread> threads;
    threads.reserve(static_cast<std::size_t>(clients));
    for (int c = 0; c < clients; ++c)
      threads.emplace_back([&, c] {
        std::vector<Op> ops;
        ops.reserve(kinds);
        for (const auto& make : makers) ops.push_back(make(c));
        for (int i = 0; i < kWarmUp; ++i)
          for (auto& op : ops) op(-1 - i);
        ++ready;
        while (!go.load()) std::this_thread::yield();
        auto& mine = per_client[static_cast<std::size_t>(c)];
        for (int i = 0; Clock::now() < end; ++i)
          for (std::size_t k = 0; k < kinds; ++k) {
            auto t0 = Clock::now();
            if (!ops[k](i)) ++mine[k].failures;
            mine[k].latencies_ms.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
          }
      });
    while (ready.load() < clients) std::this_thread::sleep_for(1ms);
    end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go = true;
  }
  std::vector<Figures> figures(kinds);
  for (std::size_t k = 0; k < kinds; ++k) {
    for (const auto& client : per_client) {
      auto& l = figures[k].latencies_ms;
      l.insert(l.end(), client[k].latencies_ms.begin(), client[k].latencies_ms.end());
      figures[k].failures += client[k].failures;
    }
    std::sort(figures[k].latencies_ms.begin(), figures[k].latencies_ms.end());
    figures[k].per_second = static_cast<double>(figures[k].latencies_ms.size()) / seconds;
  }
  return figures;
}

std::unique_ptr<LineDb> open_db(const std::string& url) {
  auto db = ftmd::line::open_line_db(url);
  if (!db) {
    std::fprintf(stderr, "line_bench: %s\n", db.error().message.c_str());
    std::exit(1);
  }
  return std::move(*db);
}

void check(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "line_bench: %s failed\n", what.c_str());
  std::exit(1);
}

// Creates the schema and pools big enough for every assign of the run.
void fill(const std::string& url) {
  auto db = open_db(url);
  Actor actor{"bench", "bench"};
  check(db->init(actor).ok(), "init");
  check(db->import_macs("02:00:00:00:00:00", std::uint64_t{2} * kPoolUnits, actor).ok(), "import-macs");
  for (auto kind : {ftmd::line::SerialKind::kSn, ftmd::line::SerialKind::kCsn}) {
    std::vector<std::string> values;
    values.reserve(kPoolUnits);
    for (int i = 0; i < kPoolUnits; ++i)
      values.push_back(std::string(kind_name(kind)) + std::to_string(1'000'000 + i));
    check(db->import_serials(kind, values, actor).ok(), "import-serials");
  }
}

// Each client assigns new hardware ids ("B<n>-<client>-<sequence>", a new n
// for every client made).
MakeOp assign_clients(const std::string& url) {
  return [url](int client) -> Op {
    static std::atomic<int> made{0};
    auto db = std::shared_ptr<LineDb>(open_db(url));
    std::string prefix = "B" + std::to_string(++made) + "-" + std::to_string(client) + "-";
    return [db, prefix](int n) {
      auto assigned = db->assign(prefix + std::to_string(n), {"bench", "bench"});
      return assigned.ok() && assigned->is_new;
    };
  };
}

MakeOp pg_floor_clients(const std::string& conninfo) {
  {
    pqxx::connection c(conninfo);
    pqxx::work tx(c);
    tx.exec("CREATE TABLE IF NOT EXISTS bench_floor (id integer PRIMARY KEY, n bigint NOT NULL)");
    tx.exec("INSERT INTO bench_floor SELECT i, 0 FROM generate_series(0, 15) AS i ON CONFLICT DO NOTHING");
    tx.commit();
  }
  return [conninfo](int client) -> Op {
    auto c = std::make_shared<pqxx::connection>(conninfo);
    c->prepare("floor", "UPDATE bench_floor SET n = n + 1 WHERE id = $1");
    return [c, client](int) {
      pqxx::nontransaction tx(*c);
      return tx.exec_prepared("floor", client).affected_rows() == 1;
    };
  };
}

using Sqlite = ftmd::CHandle<sqlite3, sqlite3_close_v2>;
using Statement = ftmd::CHandle<sqlite3_stmt, sqlite3_finalize>;

MakeOp sqlite_floor_clients(const std::string& path) {
  {
    sqlite3* raw = nullptr;
    sqlite3_open(path.c_str(), &raw);
    Sqlite db(raw);
    check(sqlite3_exec(
              db.get(),
              "CREATE TABLE IF NOT EXISTS bench_floor (id INTEGER PRIMARY KEY, n INTEGER NOT NULL);"
              "INSERT OR IGNORE INTO bench_floor WITH RECURSIVE i(x) AS (SELECT 0 UNION ALL SELECT x + 1 "
              "FROM i WHERE x < 15) SELECT x, 0 FROM i;",
              nullptr, nullptr, nullptr) == SQLITE_OK,
          "the floor table");
  }
  return [path](int client) -> Op {
    struct Conn {
      Sqlite db;
      Statement begin, update, commit;
    };
    auto conn = std::make_shared<Conn>();
    sqlite3* raw = nullptr;
    sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    conn->db.reset(raw);
    sqlite3_busy_timeout(raw, 5000);
    sqlite3_exec(raw, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
    auto prepare = [raw](const char* sql) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(raw, sql, -1, &s, nullptr);
      return Statement(s);
    };
    conn->begin = prepare("BEGIN IMMEDIATE");
    conn->update = prepare("UPDATE bench_floor SET n = n + 1 WHERE id = ?");
    conn->commit = prepare("COMMIT");
    sqlite3_bind_int(conn->update.get(), 1, client);
    return [conn](int) {
      bool ok = true;
      for (sqlite3_stmt* s : {conn->begin.get(), conn->update.get(), conn->commit.get()}) {
        ok = ok && sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
      }
      if (!ok) sqlite3_exec(conn->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      return ok;
    };
  };
}

// Per client count: assign and the floor one after the other for the
// latencies; then each alone for its throughput, in alternating slices, so a
// machine whose load changes during the run weighs on both alike.
void report(const char* engine, const MakeOp& floor, const MakeOp& assign, double seconds) {
  bool postgres = std::strcmp(engine, "PostgreSQL") == 0;
  constexpr std::size_t kCounts = std::size(kClientCounts);
  std::vector<Figures> assign_latency, floor_latency;
  for (int clients : kClientCounts) {
    auto both = measure({assign, floor}, clients, seconds);
    assign_latency.push_back(both[0]);
    floor_latency.push_back(both[1]);
  }
  // Every client count in each slice: a load that changes during the run
  // weighs on the throughput with 1 client as on that with 8.
  std::array<double, kCounts> assigns{}, floors{};
  for (int slice = 0; slice < kSlices; ++slice)
    for (std::size_t i = 0; i < kCounts; ++i) {
      assigns[i] += measure({assign}, kClientCounts[i], seconds / kSlices)[0].per_second / kSlices;
      floors[i] += measure({floor}, kClientCounts[i], seconds / kSlices)[0].per_second / kSlices;
    }
  for (std::size_t i = 0; i < kCounts; ++i) {
    const Figures& a = assign_latency[i];
    const Figures& f = floor_latency[i];
    double ratio = f.p(0.5) > 0 ? a.p(0.5) / f.p(0.5) : 0;
    std::string target, verdict;
    if (kClientCounts[i] == 1) {
      target = "assign p50 ≤ 2× floor";
      verdict = ratio <= kP50Target ? "met" : "**missed**";
    }
    if (a.failures + f.failures > 0)
      verdict += " (" + std::to_string(a.failures + f.failures) + " failed ops)";
    std::printf("| %s | %d | %.2f / %.2f ms | %.0f/s | %.2f / %.2f ms | %.0f/s | %.1f | %s | %s |\n", engine,
                kClientCounts[i], a.p(0.5), a.p(0.99), assigns[i], f.p(0.5), f.p(0.99), floors[i], ratio,
                target.c_str(), verdict.c_str());
  }
  double growth = assigns.front() > 0 ? assigns.back() / assigns.front() : 0.0;
  std::printf("| %s | 1 → 8 | assigns/s ×%.2f | | | | | %s | %s |\n", engine, growth,
              postgres ? "grows with clients" : "(one writer at a time)",
              postgres ? (growth > 1 ? "met" : "**missed**") : "");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--engine") == 0) only = argv[i + 1];
  }
  std::printf(
      "| engine | clients | assign p50 / p99 | assign | floor p50 / p99 | floor | p50 ratio | target | |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  std::fflush(stdout);
  if (only.empty() || only == "postgres") {
    std::string error;
    auto pg = ftmd::line::ScratchPg::start(&error);
    check(pg != nullptr, "starting PostgreSQL: " + error);
    check(pg->sql("CREATE DATABASE bench").ok(), "CREATE DATABASE");
    std::string conninfo = pg->conninfo("bench");
    fill(conninfo);
    report("PostgreSQL", pg_floor_clients(conninfo), assign_clients(conninfo), seconds);
  }
  if (only.empty() || only == "sqlite") {
    char dir[] = "/tmp/ftmline-bench.XXXXXX";
    check(::mkdtemp(dir) != nullptr, "mkdtemp");
    std::string path = std::string(dir) + "/line.db";
    fill("sqlite:" + path);
    report("SQLite", sqlite_floor_clients(path), assign_clients("sqlite:" + path), seconds);
    std::filesystem::remove_all(dir);
  }
  return 0;
}
