#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

constexpr char kSourceDir[] = "/data/dante_data/activation/";
constexpr char kWebDir[] = "/var/www/html/";
constexpr char kLan4Address[] = "192.0.2.1";
constexpr char kSocUid[] = "0x1122334455667788\n";

// One handed-over file as the PC sees it: its commands and the texts that
// differ between the two files.
struct Handover {
  std::string name;
  std::string publish;
  std::string confirm;
  std::string publish_missing;
  std::string confirm_missing;
  std::string not_published;
  std::string copy_failed;
};

const Handover kDeviceLic{"device.lic",
                          "at+ftm,dantedevlic=",
                          "at+ftm,checkdantedevlic=",
                          "ERROR, device.lic is empty or does not exist\n",
                          "ERROR,device.lic is empty or does not exist\n",
                          "ERROR,device.lic need download first\n",
                          "ERROR, copy operation failed\n"};
const Handover kManufacturerCert{"manufacturer.cert",
                                 "at+ftm,dantecert=",
                                 "at+ftm,checkdantecert=",
                                 "ERROR,manufacturer.cert is empty or does not exist\n",
                                 "ERROR,manufacturer.cert is empty or does not exist\n",
                                 "ERROR,manufacturer.cert need download first\n",
                                 "ERROR,copy operation failed\n"};
const Handover kBoth[] = {kDeviceLic, kManufacturerCert};

// Bytes no text handling would leave alone: NULs, line ends, high bytes,
// more than one read's worth.
std::string activation_bytes(const std::string& name) {
  std::string bytes = name + "\r\n";
  for (int i = 0; i < 3000; ++i)
    bytes.push_back(static_cast<char>((static_cast<std::size_t>(i) * 37 + name.size()) % 256));
  return bytes;
}

// The board's web server serves /var/www/html; the test downloads as the PC
// does, from its own network namespace through lan4.
class Activation : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    // The server starts beside the daemon: wait until it answers at all.
    ASSERT_TRUE(wait_until([&] {
      return pc({"busybox", "wget", "-q", "-O", "-", "http://192.0.2.1/"}).output.find("can't connect") ==
             std::string::npos;
    })) << "the web server never answered";
  }

  vboard::Board::ExecResult pc(const std::vector<std::string>& argv, const std::string& input = {}) {
    return board().run_on_pc(argv, 10s, input);
  }
  void put_source(const Handover& f, const std::optional<std::string>& content) {
    board().set_activation_file(f.name, content);
  }
  std::optional<std::string> published(const Handover& f) {
    return board().read_file(std::string(kWebDir) + f.name);
  }
  // The body of `url`, nothing when the download failed. -q: on success the
  // output is the body alone.
  std::optional<std::string> download(const std::string& url) {
    auto r = pc({"busybox", "wget", "-q", "-O", "-", url});
    if (r.status != 0) return std::nullopt;
    return r.output;
  }
  // MD5 by coreutils, not by the daemon's code.
  std::string md5sum(const std::string& bytes) {
    auto r = pc({"md5sum"}, bytes);
    return r.status == 0 ? r.output.substr(0, 32) : "<md5sum failed: " + r.output + ">";
  }
};

TEST_F(Activation, HandsOverBothFilesOverHttpWithTheirDigest) {
  for (const Handover& f : kBoth) {
    SCOPED_TRACE(f.name);
    const std::string content = activation_bytes(f.name);
    put_source(f, content);

    const std::string url = std::string("http://") + kLan4Address + "/" + f.name;
    EXPECT_EQ(ask_text(f.publish + "?"), "OK," + url + "\n");
    auto downloaded = download(url);
    ASSERT_TRUE(downloaded) << "download of " << url << " failed";
    EXPECT_EQ(*downloaded, content);

    // The digest is the source's, in lower case, then the hardware id with
    // its own line end: the reply ends in two.
    const std::string digest = md5sum(*downloaded);
    std::size_t mark = syslog().mark();
    EXPECT_EQ(ask_text(f.confirm + "?"), "OK," + digest + "," + kSocUid + "\n");
    EXPECT_TRUE(syslog().wait_exact("MD5: " + digest + "\n", kLogDebug, 1s, mark));
    EXPECT_FALSE(published(f)) << "the copy was not withdrawn";
    EXPECT_FALSE(download(url)) << "the server still serves the withdrawn copy";
    EXPECT_EQ(board().read_file(std::string(kSourceDir) + f.name), content) << "the source changed";

    // Withdrawn: a second confirm is a confirm before publish.
    EXPECT_EQ(ask_text(f.confirm + "?"), f.not_published);
  }
  // Publishing again overwrites the copy; a source removed after the publish
  // fails the confirm and keeps the copy.
  put_source(kDeviceLic, "second");
  ASSERT_EQ(ask_text("AT+FTM,DANTEDEVLIC=?"), "OK,http://192.0.2.1/device.lic\n");
  EXPECT_EQ(download("http://192.0.2.1/device.lic"), "second");
  put_source(kDeviceLic, std::nullopt);
  EXPECT_EQ(ask_text("at+ftm,checkdantedevlic=?"), kDeviceLic.confirm_missing);
  EXPECT_EQ(published(kDeviceLic), "second");
}

TEST_F(Activation, RepliesForMissingEmptyAndUnpublishedFiles) {
  for (const Handover& f : kBoth) {
    SCOPED_TRACE(f.name);
    const std::string copy = std::string(kWebDir) + f.name;
    for (const std::optional<std::string>& source :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
      put_source(f, source);  // absent, then empty
      EXPECT_EQ(ask_text(f.publish + "?"), f.publish_missing);
      EXPECT_FALSE(published(f)) << "a refused publish left a copy";
      EXPECT_EQ(ask_text(f.confirm + "?"), f.confirm_missing);
    }
    put_source(f, "licence");
    EXPECT_EQ(ask_text(f.confirm + "?"), f.not_published);
    board().write_file(copy, "");  // an empty copy is no copy
    EXPECT_EQ(ask_text(f.confirm + "?"), f.not_published);
    board().shell("rm -f " + copy);
  }
}

TEST_F(Activation, WrongArgumentsAreInvalidCommands) {
  for (const Handover& f : kBoth) {
    put_source(f, "content");
    for (const std::string& command : {f.publish, f.confirm})
      for (const char* argument : {"", "??", "?\n", " ?", "?x"})
        EXPECT_EQ(ask_text(command + argument), "Invalid Cmd\n") << command << '"' << argument << '"';
    EXPECT_FALSE(published(f)) << "a refused publish left a copy";
  }
}

TEST_F(Activation, Lan4WithoutAddressRefusesPublishBeforeLookingAtTheArgument) {
  put_source(kDeviceLic, "content");
  ASSERT_EQ(ask_text("at+ftm,dantedevlic=?"), "OK,http://192.0.2.1/device.lic\n");
  ASSERT_TRUE(board().network().set_address("lan4", ""));

  for (const char* command :
       {"at+ftm,dantedevlic=?", "at+ftm,dantedevlic=??", "at+ftm,dantecert=", "at+ftm,dantecert=?"}) {
    std::size_t mark = syslog().mark();
    EXPECT_EQ(ask_text(command), "ERROR,Not insert Dante Network\n") << command;
    auto error = syslog().wait_exact("Error getting IP address", kLogError, 1s, mark);
    auto failed = syslog().wait_exact("Failed to get IPv4 address of lan4\n", kLogError, 1s, mark);
    EXPECT_TRUE(error && failed && error->when <= failed->when) << command;
  }
  // Confirm needs no address: the earlier copy is still confirmed.
  EXPECT_EQ(ask_text("at+ftm,checkdantedevlic=?").substr(0, 3), "OK,");

  // Another address is the one the URL carries.
  ASSERT_TRUE(board().network().set_address("lan4", "192.0.2.77/24"));
  EXPECT_EQ(ask_text("at+ftm,dantedevlic=?"), "OK,http://192.0.2.77/device.lic\n");
  EXPECT_EQ(download("http://192.0.2.77/device.lic"), "content");
}

TEST_F(Activation, UnreadableHardwareIdKeepsTheCopyPublished) {
  put_source(kDeviceLic, "content");
  ASSERT_EQ(ask_text("at+ftm,dantedevlic=?"), "OK,http://192.0.2.1/device.lic\n");
  board().hw().set_fault("/sys/devices/soc0/soc_uid", vboard::HwTree::Fault::kOpenFails);
  EXPECT_EQ(ask_text("at+ftm,checkdantedevlic=?"), "ERROR\n");
  EXPECT_EQ(published(kDeviceLic), "content");
  board().hw().clear_faults();
  // An id without a line end: the reply has just its own. It is the id the
  // hwid query reports.
  board().set_soc_uid("0xABCDEF");
  EXPECT_EQ(ask_text("at+ftm,hwid=?"), "OK,0xABCDEF");
  EXPECT_EQ(ask_text("at+ftm,checkdantedevlic=?"), "OK,9a0364b9e99bb480dd25e1f0284c8555,0xABCDEF\n");
}

TEST_F(Activation, FailedCopyIsReported) {
  for (const Handover& f : kBoth) {
    put_source(f, "content");
    // The copy's path is a directory holding a non-empty directory of the
    // same name: cp copies into it and cannot overwrite that one.
    board().shell(std::string("mkdir -p ") + kWebDir + f.name + "/" + f.name + "/x");
    EXPECT_EQ(ask_text(f.publish + "?"), f.copy_failed) << f.name;
  }
}

}  // namespace
}  // namespace ftmd::test
