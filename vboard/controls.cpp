#include "vboard/controls.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <optional>
#include <sstream>

#include "common/deadline.h"
#include "vboard/host_client.h"

namespace vboard {
namespace {

using A = ControlArg;
using namespace std::chrono_literals;

// Longest wait a control line takes in milliseconds: ten minutes.
constexpr long kMaxMs = 600000;

std::vector<std::string> split(const std::string& line, char separator = ' ') {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; std::getline(in, w, separator);)
    if (!w.empty()) words.push_back(w);
  return words;
}

std::string joined(std::vector<std::string>::const_iterator from,
                   std::vector<std::string>::const_iterator to) {
  std::string out;
  for (; from != to; ++from) out += (out.empty() ? "" : " ") + *from;
  return out;
}

std::optional<long> parse_number(const std::string& text) {
  try {
    std::size_t used = 0;
    long v = std::stol(text, &used, 0);
    if (used == text.size()) return v;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

constexpr Triggers::LineFault kTriggerFaults[] = {Triggers::LineFault::kNone, Triggers::LineFault::kMissing,
                                                  Triggers::LineFault::kStuckLow,
                                                  Triggers::LineFault::kStuckHigh};
constexpr LogicMcu::Fault kLogicFaults[] = {LogicMcu::Fault::kNone,        LogicMcu::Fault::kSilent,
                                            LogicMcu::Fault::kSplit,       LogicMcu::Fault::kBadChecksum,
                                            LogicMcu::Fault::kUnknownCode, LogicMcu::Fault::kOverlongMsglen};
constexpr char kLogicFaultChoice[] = "none|silent|split|bad-checksum|unknown-code|overlong";
constexpr VolumeAnswer kVolumeAnswers[] = {VolumeAnswer::kEcho,      VolumeAnswer::kNone,
                                           VolumeAnswer::kWrongSync, VolumeAnswer::kWrongCommand,
                                           VolumeAnswer::kShort,     VolumeAnswer::kShifted};

std::string ran(const Board::ExecResult& r) {
  return r.output + (r.status == 0 ? "" : "(exit " + std::to_string(r.status) + ")");
}

const std::vector<Controls::Entry> kTable = {
    {"key",
     {},
     "press and release the reset key (lost when no key test reads the key)",
     [](Controls& c, const ControlArgs&) {
       return c.board().keypad().press_reset_key() ? "" : "the key device is absent";
     }},
    {"key-in",
     {A::number("MS", 0, kMaxMs)},
     "press the reset key MS milliseconds from now, once a key test reads the key (waits up to 20 s for one)",
     [](Controls& c, const ControlArgs& a) {
       c.later(std::chrono::milliseconds(a.number(0)), [&c](const std::stop_token& stop) {
         for (const ftmd::Deadline deadline(20s); !stop.stop_requested() && !deadline.passed();)
           if (c.board().keypad().wait_reader(100ms)) break;
         if (!stop.stop_requested()) c.board().keypad().press_reset_key();
       });
       return std::string();
     }},
    {"usb-stick",
     {A::choice("add|remove")},
     "a USB stick appears on / goes from the host port (kernel uevent)",
     [](Controls& c, const ControlArgs& a) {
       return c.board().uevents().usb_stick(a.choice(0) == 0) ? "" : "sending the uevent failed";
     }},
    {"hangup",
     {},
     "the test PC hangs up /dev/ttyGS0 (the daemon's read returns 0)",
     [](Controls& c, const ControlArgs&) {
       c.board().usb_host().hang_up();
       return std::string();
     }},
    {"replug",
     {},
     "the USB cable is pulled and plugged back (the daemon's read fails with EIO)",
     [](Controls& c, const ControlArgs&) {
       c.board().usb_host().unplug();
       c.board().usb_host().connect();
       return std::string();
     }},
    {"container",
     {A::choice("running|created|paused|stopped|absent")},
     "state of the dante container that runc lists",
     [](Controls& c, const ControlArgs& a) {
       c.board().standins().set_container_status(a.word(0));
       return std::string();
     }},
    {"mcu-volume",
     {A::choice("echo|none|wrong-sync|wrong-command|short|shifted")},
     "how the audio MCU answers a volume request",
     [](Controls& c, const ControlArgs& a) {
       c.board().audio_mcu().set_volume_answer(kVolumeAnswers[a.choice(0)]);
       return std::string();
     }},
    {"mcu-delay",
     {A::number("MS", 0, kMaxMs)},
     "the audio MCU answers volume requests MS milliseconds late",
     [](Controls& c, const ControlArgs& a) {
       c.board().audio_mcu().set_volume_delay(std::chrono::milliseconds(a.number(0)));
       return std::string();
     }},
    {"mcu-leave",
     {A::choice("answer|hold")},
     "whether the audio MCU answers the leave-low-power message",
     [](Controls& c, const ControlArgs& a) {
       c.board().audio_mcu().set_answer_leave_low_power(a.choice(0) == 0);
       return std::string();
     }},
    {"mcu-log",
     {},
     "what the daemon sent the audio MCU: messages (type, command, GPIO 84) and test lines",
     [](Controls& c, const ControlArgs&) {
       std::string out;
       for (const auto& r : c.board().audio_mcu().records()) {
         if (r.kind == RpmsgRecord::Kind::kLine) {
           out += "line " + HostClient::escaped(r.text()) + "\n";
           continue;
         }
         char head[96];
         std::snprintf(head, sizeof(head), "message %02x %02x type %u command %u length %u data", r.bytes[0],
                       r.bytes[1], r.bytes[2] | r.bytes[3] << 8, r.bytes[4] | r.bytes[5] << 8,
                       r.bytes[6] | r.bytes[7] << 8);
         out += head;
         for (std::size_t i = 8; i < 8 + std::min<std::size_t>(4, r.bytes[6]); ++i)
           out += " " + std::to_string(r.bytes[i]);
         out += " (GPIO 84 " + r.gpio84 + ")\n";
       }
       return out;
     }},
    {"gpio",
     {A::number("N", 0, 1023), A::choice("0|1")},
     "level an input GPIO reads (e.g. 9 for trigger detect, 6 for the trigger input)",
     [](Controls& c, const ControlArgs& a) {
       c.board().gpio().set_input(static_cast<int>(a.number(0)), static_cast<int>(a.choice(1)));
       return std::string();
     }},
    {"trigger-fault",
     {A::choice("1|2"), A::choice("none|missing|low|high")},
     "break a trigger output line",
     [](Controls& c, const ControlArgs& a) {
       c.board().triggers().set_fault(static_cast<int>(a.choice(0)) + 1, kTriggerFaults[a.choice(1)]);
       return std::string();
     }},
    {"led",
     {A::word("NAME"), A::choice("remove|add")},
     "remove an LED class device (driver missing) or add it back",
     [](Controls& c, const ControlArgs& a) {
       if (a.choice(1) == 0)
         c.board().leds().remove(a.word(0));
       else
         c.board().leds().add(a.word(0));
       return std::string();
     }},
    {"leds",
     {},
     "show the LEDs' brightness",
     [](Controls& c, const ControlArgs&) {
       std::string out;
       for (const char* n : {"red", "green", "blue"})
         out += std::string(n) + "=" + std::to_string(c.board().leds().brightness(n)) + " ";
       return out;
     }},
    {"logic-answer",
     {A::choice("1|2|3|4|all"), A::number("MS", 0, kMaxMs), A::choice(kLogicFaultChoice).or_none()},
     "how the logic MCU answers requests of a code: after MS milliseconds, and what is wrong with the answer",
     [](Controls& c, const ControlArgs& a) {
       // Code 0 sets all four.
       const auto code = static_cast<std::uint16_t>(a.choice(0) == 4 ? 0 : a.choice(0) + 1);
       c.board().logic_mcu().set_behaviour(
           code, {std::chrono::milliseconds(a.number(1)), kLogicFaults[a.given(2) ? a.choice(2) : 0]});
       return std::string();
     }},
    {"logic-reject",
     {A::choice("on|off")},
     "the logic MCU refuses level sets (failure statuses in its confirmation)",
     [](Controls& c, const ControlArgs& a) {
       c.board().logic_mcu().set_reject_level_set(a.choice(0) == 0);
       return std::string();
     }},
    {"logic-send",
     {A::rest("HEX")},
     "the logic MCU writes these bytes now, asked or not (e.g. AA AA 01 00 02 00 01 48 A0)",
     [](Controls& c, const ControlArgs& a) {
       std::vector<std::uint8_t> bytes;
       for (const auto& h : split(a.word(0))) {
         auto v = parse_number("0x" + h);
         if (!v || *v < 0 || *v > 0xFF) throw ControlError("logic-send: not a byte: " + h);
         bytes.push_back(static_cast<std::uint8_t>(*v));
       }
       return c.board().logic_mcu().send(bytes) ? "" : "the logic MCU port is closed";
     }},
    {"logic-analogue",
     {A::choice("1|2|3|4"), A::number("N", 0, 255)},
     "the number group G reports while in analogue mode (default 50)",
     [](Controls& c, const ControlArgs& a) {
       const int g = static_cast<int>(a.choice(0)) + 1;
       LogicMcu::Group s = c.board().logic_mcu().group(g);
       s.number = static_cast<std::uint8_t>(a.number(1));
       c.board().logic_mcu().set_group(g, s);
       return std::string();
     }},
    {"logic-groups",
     {},
     "the logic MCU's four groups: mode and levels",
     [](Controls& c, const ControlArgs&) {
       std::string out;
       for (int g = 1; g <= 4; ++g) {
         LogicMcu::Group s = c.board().logic_mcu().group(g);
         const char* mode = s.mode == LogicMcuModel::kInput    ? "I"
                            : s.mode == LogicMcuModel::kOutput ? "O"
                                                               : "A";
         out += std::to_string(g) + ":" + mode + "," + (s.first ? "H" : "L") + (s.second ? "H" : "L") + " ";
       }
       return out;
     }},
    {"soc-uid",
     {A::rest("TEXT").or_none()},
     "the hardware id in /sys/devices/soc0/soc_uid (a line feed is added)",
     [](Controls& c, const ControlArgs& a) {
       c.board().set_soc_uid((a.given(0) ? a.word(0) : "") + "\n");
       return std::string();
     }},
    {"next-unit",
     {A::rest("HWID").or_none()},
     "the operator puts the next unit on: a reboot that comes back as a unit never provisioned with "
     "hardware id HWID (default: one above the current)",
     [](Controls& c, const ControlArgs& a) {
       std::optional<std::string> uid =
           a.given(0) ? std::optional(a.word(0) + "\n") : c.board().next_soc_uid();
       if (!uid) throw ControlError("the hardware id is not 0x and hex digits: give the next one");
       c.board().swap_unit(*uid);
       std::string shown = *uid;
       shown.pop_back();
       return "hardware id " + shown;
     }},
    {"os-version",
     {A::word("VERSION")},
     "VERSION_ID in /etc/os-release",
     [](Controls& c, const ControlArgs& a) {
       c.board().set_os_release("NAME=\"Tamo Linux\"\nVERSION_ID=" + a.word(0) + "\n");
       return std::string();
     }},
    {"env",
     {A::word("NAME").or_none(), A::rest("VALUE").or_none()},
     "list the U-Boot environment, or set (with no value, delete) a variable",
     [](Controls& c, const ControlArgs& a) {
       std::string out;
       if (!a.given(0)) {
         for (const auto& [k, v] : c.board().uboot_env().read().value_or(UbootEnv::Vars{}))
           out.append(k).append("=").append(v).append("\n");
       } else if (!a.given(1)) {
         c.board().uboot_env().unset(a.word(0));
       } else {
         c.board().uboot_env().set(a.word(0), a.word(1));
       }
       return out;
     }},
    {"lan4-address",
     {A::word("CIDR|none")},
     "IPv4 address of lan4 (192.0.2.1/24 at boot)",
     [](Controls& c, const ControlArgs& a) {
       return c.board().network().set_address("lan4", a.word(0) == "none" ? "" : a.word(0)) ? ""
                                                                                            : "ip failed";
     }},
    {"activation-file",
     {A::word("NAME"), A::rest("absent|empty|TEXT")},
     "an activation file in /data/dante_data/activation (device.lic, manufacturer.cert)",
     [](Controls& c, const ControlArgs& a) {
       std::optional<std::string> content;
       if (a.word(1) == "empty") content = "";
       if (a.word(1) != "empty" && a.word(1) != "absent") content = a.word(1) + "\n";
       c.board().set_activation_file(a.word(0), content);
       return std::string();
     }},
    {"http-get",
     {A::word("URL")},
     "download URL over HTTP as the test PC (through lan4): size and MD5 of the bytes",
     [](Controls& c, const ControlArgs& a) {
       // -q: on success the output is the body alone.
       auto body = c.board().run_on_pc({"busybox", "wget", "-q", "-O", "-", a.word(0)});
       if (body.status != 0) return "download failed: " + body.output;
       auto sum = c.board().run_on_pc({"md5sum"}, 10s, body.output);
       return std::to_string(body.output.size()) + " bytes, md5 " + sum.output.substr(0, 32);
     }},
    {"macs",
     {},
     "MAC addresses of eth0, lan4 and lan3 as the kernel shows them",
     [](Controls& c, const ControlArgs&) {
       std::string out;
       for (const char* i : {"eth0", "lan4", "lan3"})
         out += std::string(i) + "=" + c.board().network().mac(i).value_or("?") + " ";
       return out;
     }},
    {"env-tools",
     {A::choice("libubootenv|u-boot")},
     "U-Boot tool family: an unset variable prints name= or nothing",
     [](Controls& c, const ControlArgs& a) {
       c.board().standins().set_env_tools(a.choice(0) == 1 ? StandIns::EnvTools::kUboot
                                                           : StandIns::EnvTools::kLibubootenv);
       return std::string();
     }},
    {"fw-setenv",
     {A::choice("ok|fail")},
     "fw_setenv stores (ok) or stores nothing and exits 1 (fail)",
     [](Controls& c, const ControlArgs& a) {
       c.board().standins().set_fw_setenv_fails(a.choice(0) == 1);
       return std::string();
     }},
    {"unit-dir",
     {A::choice("writable|readonly")},
     "the systemd-networkd unit directory /etc/systemd/network",
     [](Controls& c, const ControlArgs& a) {
       return c.board().network().set_unit_dir_writable(a.choice(0) == 0) ? "" : "mount failed";
     }},
    {"wait-reboot",
     {},
     "wait (up to 10 s) until `reboot` runs once more",
     [](Controls& c, const ControlArgs&) {
       int want = c.reboots_waited() + 1;
       if (!c.board().standins().wait_reboot(want, 10s)) return std::string("reboot did not run");
       c.reboots_waited() = want;
       return std::string("reboot ran (the board would restart now)");
     }},
    {"reboot-mode",
     {A::choice("reenumerate|log"), A::number("BOOT-MS", 0, kMaxMs).or_none()},
     "what `reboot` does: the PC's port goes and is back after BOOT-MS (default 1500) with ftmd restarted, "
     "or "
     "it is only recorded",
     [](Controls& c, const ControlArgs& a) {
       c.board().set_reboot_reenumerates(a.choice(0) == 0,
                                         std::chrono::milliseconds(a.given(1) ? a.number(1) : 1500));
       return std::string();
     }},
    {"sleep",
     {A::number("MS", 0, kMaxMs)},
     "pause the session",
     [](Controls&, const ControlArgs& a) {
       std::this_thread::sleep_for(std::chrono::milliseconds(a.number(0)));
       return std::string();
     }},
    {"restart",
     {},
     "restart ftmd on the same board (as after a reboot) and wait until it serves",
     [](Controls& c, const ControlArgs&) {
       std::size_t mark = c.board().syslog().mark();
       c.board().start_daemon();
       return c.board().wait_serving(30s, mark) ? "ftmd serving again" : "ftmd did not serve";
     }},
    {"sh",
     {A::rest("COMMAND")},
     "run a shell command inside the board",
     [](Controls& c, const ControlArgs& a) { return ran(c.board().shell(a.word(0))); }},
    {"pc",
     {A::rest("COMMAND")},
     "run a shell command on the host as the test PC (its network reaches lan4)",
     [](Controls& c, const ControlArgs& a) {
       return ran(c.board().run_on_pc({"/bin/sh", "-c", a.word(0)}));
     }},
    {"log",
     {A::number("N", 1, 1000000).or_none()},
     "the daemon's last N syslog lines (default 20), with their levels",
     [](Controls& c, const ControlArgs& a) {
       const auto n = static_cast<std::size_t>(a.given(0) ? a.number(0) : 20);
       auto lines = c.board().syslog().lines();
       std::string out;
       for (std::size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i)
         out += "<" + std::to_string(lines[i].level) + "> " + lines[i].text +
                (lines[i].text.ends_with('\n') ? "" : "\n");
       return out;
     }},
};

}  // namespace

Controls::~Controls() {
  std::lock_guard lock(mutex_);
  pending_.clear();  // requests stop and joins
}

void Controls::later(std::chrono::milliseconds delay, std::function<void(std::stop_token)> action) {
  std::lock_guard lock(mutex_);
  pending_.emplace_back([delay, action = std::move(action)](const std::stop_token& stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock l(m);
    if (!cv.wait_for(l, stop, delay, [] { return false; }) && !stop.stop_requested()) action(stop);
  });
}

const std::vector<Controls::Entry>& Controls::table() { return kTable; }

std::string Controls::usage(const Entry& e) {
  std::string out = e.name;
  for (const auto& a : e.args) {
    std::string text = std::string(a.name) + (a.kind == ControlArg::Kind::kRest ? "..." : "");
    out += " " + (a.optional ? "[" + text + "]" : text);
  }
  return out;
}

std::string Controls::help() {
  std::string out;
  for (const auto& e : kTable) {
    std::string u = usage(e);
    out += "  " + u + std::string(u.size() < 34 ? 34 - u.size() : 1, ' ') + e.help + "\n";
  }
  return out;
}

std::pair<const Controls::Entry*, ControlArgs> Controls::parse(const std::string& line) {
  const auto words = split(line);
  if (words.empty()) return {nullptr, {}};
  const auto entry =
      std::find_if(kTable.begin(), kTable.end(), [&](const Entry& e) { return words[0] == e.name; });
  if (entry == kTable.end()) throw ControlError("unknown control: " + words[0] + " (try help)");
  ControlArgs args;
  auto next = words.begin() + 1;
  for (const auto& decl : entry->args) {
    if (next == words.end()) {
      if (decl.optional) break;
      throw ControlError("usage: " + usage(*entry));
    }
    long value = 0;
    if (decl.kind == ControlArg::Kind::kNumber) {
      auto n = parse_number(*next);
      if (!n || *n < decl.min || *n > decl.max)
        throw ControlError(std::string(entry->name) + ": " + decl.name + " must be a number from " +
                           std::to_string(decl.min) + " to " + std::to_string(decl.max) + ", not " + *next);
      value = *n;
    } else if (decl.kind == ControlArg::Kind::kChoice) {
      const auto choices = split(decl.name, '|');
      auto at = std::find(choices.begin(), choices.end(), *next);
      if (at == choices.end())
        throw ControlError(std::string(entry->name) + ": " + *next + " is not one of " + decl.name);
      value = at - choices.begin();
    }
    args.words_.push_back(decl.kind == ControlArg::Kind::kRest ? joined(next, words.end()) : *next);
    args.values_.push_back(value);
    next = decl.kind == ControlArg::Kind::kRest ? words.end() : next + 1;
  }
  if (next != words.end()) throw ControlError("usage: " + usage(*entry));
  return {&*entry, std::move(args)};
}

std::string Controls::run(const std::string& line) {
  auto [entry, args] = parse(line);
  return entry ? entry->run(*this, args) : std::string();
}

}  // namespace vboard
