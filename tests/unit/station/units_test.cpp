// Units from a CSV and the checks every unit passes before anything is
// written to any of them; template filling with a unit's values.
#include <gtest/gtest.h>

#include "units.h"
#include "variables.h"

namespace ftmd::station {
namespace {

const std::vector<std::string> kAllVariables = {"csn", "lan3_mac", "lan4_mac", "sn"};

TEST(UnitsCsv, ReadsColumnsInAnyOrderWithQuotesAndBlankLines) {
  std::string error;
  auto units = parse_units_csv(
      "\xEF\xBB\xBFLAN4_MAC,Sn,lan3_mac,csn,Order No\n"
      "00:1b:2c:3d:4e:5f,SN0001,001B2C3D4E60,C-1,PO-7\n"
      "\n"
      "\"00-1B-2C-3D-4E-61\", \"SN,0002\" ,001B2C3D4E62,\"C \"\"2\"\"\",\r\n",
      "u.csv", &error);
  ASSERT_TRUE(units) << error;
  auto described = [&] {
    std::vector<std::string> out;
    for (const Unit& u : *units)
      out.push_back(u.origin + "|" + u.sn + "|" + u.csn + "|" + u.lan4_mac + "|" + u.lan3_mac);
    return out;
  };
  // Column names in any case; a column the station does not read is kept.
  EXPECT_EQ(units->at(0).properties,
            (std::vector<std::pair<std::string, std::string>>{{"Order No", "PO-7"}}));
  EXPECT_EQ(units->at(1).properties, (std::vector<std::pair<std::string, std::string>>{{"Order No", ""}}));
  // MACs as typed until checked, then in command form.
  EXPECT_EQ(described(),
            (std::vector<std::string>{"u.csv:2|SN0001|C-1|00:1b:2c:3d:4e:5f|001B2C3D4E60",
                                      "u.csv:4|SN,0002|C \"2\"|00-1B-2C-3D-4E-61|001B2C3D4E62"}));
  EXPECT_TRUE(check_units(*units, kAllVariables).empty());
  EXPECT_EQ(described(), (std::vector<std::string>{"u.csv:2|SN0001|C-1|001B2C3D4E5F|001B2C3D4E60",
                                                   "u.csv:4|SN,0002|C \"2\"|001B2C3D4E61|001B2C3D4E62"}));
}

TEST(UnitsCsv, RefusesMalformedFilesWithLineAndReason) {
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"", "u.csv:1: no header row (sn,csn,lan4_mac,lan3_mac)"},
      {"sn,csn\n", "u.csv:1: no units after the header"},
      {"serial,note\nA,B\n", "u.csv:1: the header names none of the columns sn, csn, lan4_mac, lan3_mac"},
      {"sn,SN\nA,B\n", "u.csv:1: column \"SN\" twice"},
      {"sn,csn\nA,B\nC\n", "u.csv:3: 1 values, the header names 2 columns"},
      {"sn,csn\nA,B\nC,D,E\n", "u.csv:3: 3 values, the header names 2 columns"},
      {"sn,csn\nA,B\nC,\"D\"x\n", "u.csv:3: bad CSV: error parsing data while strict checking enabled"},
      {"sn,csn\nA,B\nC,\"D\n", "u.csv:3: bad CSV: error parsing data while strict checking enabled"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_units_csv(c.text, "u.csv", &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(UnitChecks, RefuseEveryBadValueBeforeAnythingIsWritten) {
  struct Case {
    Unit unit;
    std::vector<std::string> problems;
  };
  // The device stores up to 241 characters; the quotes it adds for its
  // shell do not count.
  const Case cases[] = {
      {{"c", "SN1", "C1", "001B2C3D4E5F", "001B2C3D4E60"}, {}},
      {{"c", "SN1", "C1", "02:00:00:00:00:01", "02-00-00-00-00-02"}, {}},
      {{"c", std::string(240, 'A') + "'", "C1", "001B2C3D4E5F", "001B2C3D4E60"}, {}},
      {{"c", std::string(242, 'A'), "C1", "001B2C3D4E5F", "001B2C3D4E60"},
       {"c: sn is too long for the device (242 characters)"}},
      {{"c", "", "", "", ""},
       {"c: no sn (the plan uses {sn})", "c: no csn (the plan uses {csn})",
        "c: no lan4_mac (the plan uses {lan4_mac})", "c: no lan3_mac (the plan uses {lan3_mac})"}},
      {{"c", "-s", "C1", "001B2C3D4E5F", "001B2C3D4E60"},
       {"c: sn begins with \"-\", which the device refuses"}},
      {{"c", " Tamo is rebooting... 7", " tamo is rebooting...", "001B2C3D4E5F", "001B2C3D4E60"},
       {"c: sn reads back like the reboot reply \"OK, tamo is rebooting...\", which makes the device reboot",
        "c: csn reads back like the reboot reply \"OK, tamo is rebooting...\", which makes the device "
        "reboot"}},
      {{"c", "null", "C=1", "001B2C3D4E5F", "001B2C3D4E60"},
       {"c: sn \"null\" reads back as \"no serial number\"",
        "c: csn has a \"=\", which the device cannot read back"}},
      {{"c", "SN\n1", "C\x80", "001B2C3D4E5F", "001B2C3D4E60"},
       {"c: sn has a byte that is not printable ASCII", "c: csn has a byte that is not printable ASCII"}},
      {{"c", "SN1", "C1", "011B2C3D4E5F", "001B2C3D4E60"},
       {"c: lan4_mac \"011B2C3D4E5F\": a multicast address (odd first octet), not a unit's address"}},
      {{"c", "SN1", "C1", "001B2C3D4E5F", "FF:FF:FF:FF:FF:FF"},
       {"c: lan3_mac \"FF:FF:FF:FF:FF:FF\": a multicast address (odd first octet), not a unit's address"}},
      {{"c", "SN1", "C1", "000000000000", "001B2C3D4E60"},
       {"c: lan4_mac \"000000000000\": the all-zero address is not a unit's address"}},
      {{"c", "SN1", "C1", "001B2C3D4E5", "00:1B:2C:3D:4E-60"},
       {"c: lan4_mac \"001B2C3D4E5\": not a MAC address (12 hex digits, or six pairs with : or -)",
        "c: lan3_mac \"00:1B:2C:3D:4E-60\": not a MAC address (12 hex digits, or six pairs with : or -)"}},
      {{"c", "SN1", "C1", "001b2c3d4e5f", "00:1B:2C:3D:4E:5F"},
       {"c: lan4_mac and lan3_mac are the same address 001B2C3D4E5F"}},
  };
  for (const auto& c : cases) {
    std::vector<Unit> units{c.unit};
    EXPECT_EQ(check_units(units, kAllVariables), c.problems) << c.unit.sn;
  }
}

TEST(UnitChecks, NoMacOrSerialNumberTwiceInARunAndOnlyWhatThePlanUses) {
  std::vector<Unit> units{
      {"u.csv:2", "SN1", "C1", "001B2C3D4E5F", "001B2C3D4E60"},
      {"u.csv:3", "SN2", "C2", "001B2C3D4E61", "00:1b:2c:3d:4e:5f"},
      {"u.csv:4", "SN1", "C1", "001B2C3D4E62", "001B2C3D4E63"},
  };
  EXPECT_EQ(check_units(units, kAllVariables),
            (std::vector<std::string>{"u.csv:3: MAC 001B2C3D4E5F is used twice in this run (also u.csv:2)",
                                      "u.csv:4: sn \"SN1\" is used twice in this run (also u.csv:2)",
                                      "u.csv:4: csn \"C1\" is used twice in this run (also u.csv:2)"}));
  // Values the plan does not use may be missing.
  units = {{"c", "SN1", "", "", ""}};
  EXPECT_TRUE(check_units(units, {"sn"}).empty());
}

TEST(Templates, FillCommandsLiterallyAndExpectationsEscaped) {
  Unit unit{"c", "SN.1+", "C(2)", "001B2C3D4E5F", "001B2C3D4E60"};
  Values values = unit_values(unit);
  EXPECT_EQ(fill("at+ftm,ethmac={lan4_mac},{lan3_mac}", values), "at+ftm,ethmac=001B2C3D4E5F,001B2C3D4E60");
  EXPECT_EQ(fill("{lan4_mac_colons}", values), "00:1B:2C:3D:4E:5F");
  EXPECT_EQ(fill("at+ftm,sn={sn}{", values), "at+ftm,sn=SN.1+{");
  EXPECT_EQ(fill("{ sn}{sn-}{}", values), "{ sn}{sn-}{}");
  EXPECT_EQ(fill_regex("OK,{sn},{csn}\\n?[0-9]{2}", values), "OK,SN\\.1\\+,C\\(2\\)\\n?[0-9]{2}");
  EXPECT_EQ(values.at("sn_report"), "SN.1+\n");
  values = unit_values(Unit{"c", std::string(18, 'S'), std::string(25, 'C'), "", ""});
  EXPECT_EQ(values.at("sn_report"), std::string(18, 'S') + "\n");
  EXPECT_EQ(values.at("csn_report"), std::string(19, 'C'));
}

}  // namespace
}  // namespace ftmd::station
