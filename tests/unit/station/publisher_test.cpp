// The station's state for the line view: a database that fails is said
// once, however often the state changes, and the final state is idle.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "publisher.h"
#include "wait_until.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;

TEST(Publisher, AFailingDatabaseIsSaidOnceAndItsRecoveryOnce) {
  const auto dir = std::filesystem::temp_directory_path() / ("publisher-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string url = "sqlite:" + (dir / "line.db").string();
  std::FILE* err = std::tmpfile();
  LiveState state;
  state.update([](StationSnapshot& s) {
    s.station = "st";
    s.slots.emplace_back().name = "a";
  });
  std::string error;
  auto publisher = StationPublisher::start(state, {url, "pc", (dir / "outbox").string()}, err, &error);
  ASSERT_TRUE(publisher) << error;
  // No schema yet: every publish fails, through many changes and two beats.
  int changes = 0;
  EXPECT_TRUE(test::wait_until(
      [&] {
        state.update_slot(0, [&](SlotView& s) { s.unit.serial = "SN" + std::to_string(++changes); });
        return publisher->failures() >= 2;
      },
      10s, 50ms));
  EXPECT_GT(changes, 20);
  EXPECT_LE(publisher->failures(), 3);  // the beats only, not every change
  ASSERT_TRUE(line::open_line_db(url).value()->init({"st", "op"}).ok());
  EXPECT_TRUE(test::wait_until([&] { return publisher->published() >= 1; }, 10s));
  publisher.reset();  // publishes the final state
  auto stations = line::open_line_db(url).value()->stations();
  ASSERT_TRUE(stations.ok() && stations->size() == 1);
  EXPECT_EQ((*stations)[0].status.slots.at(0).verdict, "idle");
  EXPECT_EQ((*stations)[0].status.slots.at(0).sn, "");
  std::rewind(err);
  char text[4096] = {};
  std::string said(text, std::fread(text, 1, sizeof text - 1, err));
  std::fclose(err);
  EXPECT_EQ(said.substr(0, said.find(':', 30)),
            "ftmstation: line database: the station's state cannot be published");
  EXPECT_NE(said.find("\nftmstation: line database: the station's state is published again\n"),
            std::string::npos)
      << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ftmd::station
