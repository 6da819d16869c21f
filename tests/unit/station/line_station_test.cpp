// The station's rules on the line database that need no database: what a
// unit's read-backs say it carries, when that stops it, and the route.
#include <gtest/gtest.h>

#include "line_station.h"

namespace ftmd::station {
namespace {

using State = Carried::State;

TEST(LineStation, ReadBacksSayWhatAUnitCarries) {
  struct Case {
    std::string reply;
    bool macs;
    State state;
    std::string text;
  };
  const Case cases[] = {
      {"ERROR,null\n", false, State::kNone, ""},
      {"OK,SN0001\n", false, State::kValue, "SN0001"},
      {"Error: failed to run command\n", false, State::kUnreadable, "Error: failed to run command\n"},
      {"OK,\n", false, State::kUnreadable, "OK,\n"},
      {"ERROR,ethmac read error\n", true, State::kNone, ""},
      {"OK,ethmac=001B2C3D4E5F,001B2C3D4E60\n", true, State::kValue, "001B2C3D4E5F,001B2C3D4E60"},
      {"ERROR,Mac2 read error\n", true, State::kUnreadable, "ERROR,Mac2 read error\n"},
  };
  for (const auto& c : cases) {
    Carried got = c.macs ? carried_macs(c.reply) : carried_serial(c.reply);
    EXPECT_EQ(got.state, c.state) << c.reply;
    EXPECT_EQ(got.text, c.text) << c.reply;
  }
}

TEST(LineStation, AUnitCarryingAnotherIdentityIsStopped) {
  const line::Identity held{"0xA", "SN1", "C1", "001B2C3D4E5F", "001B2C3D4E60"};
  const Carried none, partial{State::kUnreadable, "ERROR,Mac2 read error\n"};
  auto value = [](const std::string& text) { return Carried{State::kValue, text}; };
  struct Case {
    CarriedIdentity carried;
    bool line_holds;
    std::string conflict;
  };
  const Case cases[] = {
      {{none, none, none}, false, ""},
      {{none, none, none}, true, ""},
      {{value("SN1"), value("C1"), value("001B2C3D4E5F,001B2C3D4E60")}, true, ""},  // a retest
      {{value("SN1"), none, partial}, true, ""},  // a run cut short on this line
      {{value("X9"), none, none},
       false,
       "the unit carries sn \"X9\", but the line holds no identity for it: it was provisioned elsewhere"},
      {{none, none, partial},
       false,
       "the unit carries MAC addresses that do not read back whole (\"ERROR,Mac2 read error\\n\"), but the "
       "line "
       "holds no identity for it: it was provisioned elsewhere"},
      {{value("SN1"), value("C2"), none},
       true,
       "the unit carries sn \"SN1\", csn \"C2\", but the line holds sn \"SN1\", csn \"C1\", MACs "
       "001B2C3D4E5F,001B2C3D4E60 for it"},
      {{none, none, value("001B2C3D4E61,001B2C3D4E62")},
       true,
       "the unit carries MACs 001B2C3D4E61,001B2C3D4E62, but the line holds sn \"SN1\", csn \"C1\", MACs "
       "001B2C3D4E5F,001B2C3D4E60 for it"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(identity_conflict(c.carried, c.line_holds ? std::optional(held) : std::nullopt), c.conflict);
}

TEST(LineStation, RouteRefusesAPassedUnitUnlessRetestAndSendsARepeatFailureToRepair) {
  const AttemptLimit plan_limit{2, "from the plan"};
  struct Case {
    line::RouteFacts facts;
    bool retest;
    std::string refusal;
  };
  const Case cases[] = {
      {{false, 0, 0, 0}, false, ""},
      {{false, 3, 1, 2}, false, ""},  // aborted runs do not count
      {{true, 1, 0, 0}, true, ""},
      {{true, 4, 3, 0}, true, ""},
      {{true, 1, 0, 0},
       false,
       "it already passed plan \"p\": take it off the line, or test it again with --retest"},
      {{false, 2, 2, 0},
       true,
       "it failed plan \"p\" 2 times, the attempt limit (2, from the plan): send to repair"},
  };
  for (const auto& c : cases) EXPECT_EQ(route_refusal(c.facts, "p", c.retest, plan_limit), c.refusal);
  EXPECT_EQ(route_refusal({false, 3, 3, 0}, "p", false, AttemptLimit{}),
            "it failed plan \"p\" 3 times, the attempt limit (3, the station's default): send to repair");
}

}  // namespace
}  // namespace ftmd::station
