// What keeps several slots apart and their results safe: the operator desk
// (the first valid answer wins, wrong ones are refused with the reason), the
// port lock (a second station is refused and told who holds the port), and
// the record book (a record that cannot be written is kept and written later
// or elsewhere).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "operator_desk.h"
#include "port_lock.h"
#include "record_book.h"
#include "wait_until.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(OperatorDesk, NormalisesAnswersByKind) {
  struct Case {
    QuestionKind kind;
    std::string text;
    std::optional<std::string> value;  // nothing: refused
  };
  const Case cases[] = {
      {QuestionKind::kConfirm, " Y ", "yes"},  {QuestionKind::kConfirm, "no", "no"},
      {QuestionKind::kConfirm, "pass", {}},    {QuestionKind::kJudge, "P", "pass"},
      {QuestionKind::kJudge, "n", "fail"},     {QuestionKind::kJudge, "maybe", {}},
      {QuestionKind::kScan, "SN 01", "SN 01"}, {QuestionKind::kScan, "SN\x1b", {}},
      {QuestionKind::kScan, "", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(normalise_answer(c.kind, c.text, nullptr), c.value) << c.text;
}

TEST(OperatorDesk, TheFirstValidAnswerWinsAndTheRestAreRefusedWithTheReason) {
  OperatorDesk desk;
  std::vector<std::string> seen;
  desk.add_listener(
      [&](const OpenQuestion& q, bool open) { seen.push_back((open ? "open " : "close ") + q.slot); });
  std::optional<Answer> answer;
  std::uint64_t id = 0;
  std::jthread asker([&] {
    answer = desk.ask("b", {QuestionKind::kScan, "Scan the label", "SN[0-9]{3}", "label", {}},
                      [&](const OpenQuestion& q) { id = q.id; });
  });
  ASSERT_TRUE(test::wait_until([&] { return desk.open_questions().size() == 1; }, 5s));
  EXPECT_EQ(desk.answer("a", id, "SN123", "ann", kChannelWeb).refusal,
            "slot a has no open question " + std::to_string(id));
  EXPECT_EQ(desk.answer("b", id, "SN12\n", "ann", kChannelWeb).refusal,
            "the scanned value \"SN12\\n\" has a control character");
  EXPECT_EQ(desk.answer("b", id, "SN12", "ann", kChannelWeb).refusal,
            "the scanned value \"SN12\" does not match the pattern \"SN[0-9]{3}\"");
  EXPECT_TRUE(desk.answer("b", id, "SN123", "badge 42", kChannelWeb));
  EXPECT_FALSE(desk.answer("b", id, "SN124", "ann", kChannelHook));  // too late
  asker.join();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->value, "SN123");
  EXPECT_EQ(answer->who, "badge 42");
  EXPECT_EQ(answer->channel, "web");
  EXPECT_EQ(seen, (std::vector<std::string>{"open b", "close b"}));
  // A station that stops withdraws what is open and asks nothing more.
  std::jthread waiting([&] { answer = desk.ask("c", {QuestionKind::kJudge, "Red?", {}, "led", {}}); });
  ASSERT_TRUE(test::wait_until([&] { return desk.open_questions().size() == 1; }, 5s));
  desk.close();
  waiting.join();
  EXPECT_FALSE(answer);
  EXPECT_FALSE(desk.ask("c", {QuestionKind::kConfirm, "Go?", {}, "x", {}}));
}

class StationFiles : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("station-files-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(StationFiles, ASecondClaimOnAPortIsRefusedNamingTheHolder) {
  PortChoice port{"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0", {}, {}};
  std::string error;
  auto held = PortLock::take(port, "station \"st1\", slot a (pid 1)", &error, dir_);
  ASSERT_TRUE(held) << error;
  EXPECT_EQ(fs::path(held->path()).filename(),
            "ftmstation-path-_dev_serial_by-path_pci-0000_00_14.0-usb-0_2_1.0.lock");
  EXPECT_FALSE(PortLock::take(port, "station \"st2\", slot b", &error, dir_));
  EXPECT_EQ(error, port.path +
                       " is in use by station \"st1\", slot a (pid 1), which holds it (across its unit's "
                       "reboots) until that slot ends; lock " +
                       held->path());
  EXPECT_TRUE(PortLock::take({{}, "1234", {}}, "another", &error, dir_)) << "another port";
  held.reset();
  EXPECT_TRUE(PortLock::take(port, "station \"st2\", slot b", &error, dir_)) << error;
}

TEST_F(StationFiles, ARecordThatCannotBeWrittenIsKeptAndWrittenLaterOrElsewhere) {
  // A records "directory" that is a file fails every write, as a full disk
  // does, even for root.
  const fs::path records = dir_ / "records";
  std::ofstream(records) << "x";
  RecordBook book(records.string(), "20261206T101010Z", "run");
  UnitRecord record;
  record.unit.sn = "SN/1";
  record.index = 3;
  record.verdict = Verdict::kPassed;
  EXPECT_FALSE(book.keep(record));
  EXPECT_EQ(book.pending(), 1u);
  std::string why;
  EXPECT_FALSE(book.junit(&why));
  EXPECT_NE(why.find("Not a directory"), std::string::npos) << why;
  EXPECT_EQ(book.retry(), 1u);
  const auto rescued = book.rescue((dir_ / "rescue").string(), stderr);
  ASSERT_EQ(rescued.size(), 1u);
  EXPECT_TRUE(fs::exists(dir_ / "rescue" / "SN_1-20261206T101010Z-3.json")) << rescued[0];
  fs::remove(records);
  fs::create_directory(records);
  EXPECT_EQ(book.retry(), 0u);
  EXPECT_TRUE(fs::exists(records / "SN_1-20261206T101010Z-3.json"));
  EXPECT_EQ(book.junit(), (records / "junit-20261206T101010Z.xml").string());
  Status written;
  EXPECT_FALSE(book.keep_if_new(record, &written)) << "a unit's own record is not replaced";
}

}  // namespace
}  // namespace ftmd::station
