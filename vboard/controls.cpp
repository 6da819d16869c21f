#include "vboard/controls.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <sstream>

#include "vboard/host_client.h"

namespace vboard {
namespace {

std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

void need(const std::vector<std::string>& args, std::size_t n, const char* usage) {
  if (args.size() != n) throw ControlError(std::string("usage: ") + usage);
}

int number(const std::string& text) {
  try {
    std::size_t used = 0;
    int v = std::stoi(text, &used, 0);
    if (used == text.size()) return v;
  } catch (const std::exception&) {
  }
  throw ControlError("not a number: " + text);
}

// The rest of the line after the control's name, as typed.
std::string joined(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& a : args) out += (out.empty() ? "" : " ") + a;
  return out;
}

Triggers::LineFault trigger_fault(const std::string& name) {
  if (name == "none") return Triggers::LineFault::kNone;
  if (name == "missing") return Triggers::LineFault::kMissing;
  if (name == "low") return Triggers::LineFault::kStuckLow;
  if (name == "high") return Triggers::LineFault::kStuckHigh;
  throw ControlError("trigger fault: none|missing|low|high");
}

LogicMcu::Fault logic_fault(const std::string& name) {
  using F = LogicMcu::Fault;
  if (name == "none") return F::kNone;
  if (name == "silent") return F::kSilent;
  if (name == "split") return F::kSplit;
  if (name == "bad-checksum") return F::kBadChecksum;
  if (name == "unknown-code") return F::kUnknownCode;
  if (name == "overlong") return F::kOverlongMsglen;
  throw ControlError("logic fault: none|silent|split|bad-checksum|unknown-code|overlong");
}

VolumeAnswer volume_answer(const std::string& name) {
  if (name == "echo") return VolumeAnswer::kEcho;
  if (name == "none") return VolumeAnswer::kNone;
  if (name == "wrong-sync") return VolumeAnswer::kWrongSync;
  if (name == "wrong-command") return VolumeAnswer::kWrongCommand;
  if (name == "short") return VolumeAnswer::kShort;
  if (name == "shifted") return VolumeAnswer::kShifted;
  throw ControlError("mcu-volume: echo|none|wrong-sync|wrong-command|short|shifted");
}

const std::vector<Controls::Entry> kTable = {
    {"key", "", "press and release the reset key",
     [](Controls& c, const auto& a) {
       need(a, 0, "key");
       return c.board().keypad().press_reset_key() ? "" : "the key device is absent";
     }},
    {"key-in", "MS", "press the reset key MS milliseconds from now (for a pending key test)",
     [](Controls& c, const auto& a) {
       need(a, 1, "key-in MS");
       c.later(std::chrono::milliseconds(number(a[0])), [&c] { c.board().keypad().press_reset_key(); });
       return std::string();
     }},
    {"usb-stick", "add|remove", "a USB stick appears on / goes from the host port (kernel uevent)",
     [](Controls& c, const auto& a) {
       need(a, 1, "usb-stick add|remove");
       if (a[0] != "add" && a[0] != "remove") throw ControlError("usage: usb-stick add|remove");
       return c.board().uevents().usb_stick(a[0] == "add") ? "" : "sending the uevent failed";
     }},
    {"hangup", "", "the test PC hangs up /dev/ttyGS0 (the daemon's read returns 0)",
     [](Controls& c, const auto& a) {
       need(a, 0, "hangup");
       c.board().usb_host().hang_up();
       return std::string();
     }},
    {"replug", "", "the USB cable is pulled and plugged back (the daemon's read fails with EIO)",
     [](Controls& c, const auto& a) {
       need(a, 0, "replug");
       c.board().usb_host().unplug();
       c.board().usb_host().connect();
       return std::string();
     }},
    {"container", "running|created|paused|stopped|absent", "state of the dante container that runc lists",
     [](Controls& c, const auto& a) {
       need(a, 1, "container STATE");
       c.board().standins().set_container_status(a[0]);
       return std::string();
     }},
    {"mcu-volume", "echo|none|wrong-sync|wrong-command|short|shifted",
     "how the audio MCU answers a volume request",
     [](Controls& c, const auto& a) {
       need(a, 1, "mcu-volume echo|none|wrong-sync|wrong-command|short|shifted");
       c.board().audio_mcu().set_volume_answer(volume_answer(a[0]));
       return std::string();
     }},
    {"mcu-delay", "MS", "the audio MCU answers volume requests MS milliseconds late",
     [](Controls& c, const auto& a) {
       need(a, 1, "mcu-delay MS");
       c.board().audio_mcu().set_volume_delay(std::chrono::milliseconds(number(a[0])));
       return std::string();
     }},
    {"mcu-leave", "answer|hold", "whether the audio MCU answers the leave-low-power message",
     [](Controls& c, const auto& a) {
       need(a, 1, "mcu-leave answer|hold");
       if (a[0] != "answer" && a[0] != "hold") throw ControlError("usage: mcu-leave answer|hold");
       c.board().audio_mcu().set_answer_leave_low_power(a[0] == "answer");
       return std::string();
     }},
    {"mcu-log", "", "what the daemon sent the audio MCU: messages (type, command, GPIO 84) and test lines",
     [](Controls& c, const auto& a) {
       need(a, 0, "mcu-log");
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
    {"gpio", "N 0|1", "level an input GPIO reads (e.g. 9 for trigger detect, 6 for the trigger input)",
     [](Controls& c, const auto& a) {
       need(a, 2, "gpio N 0|1");
       c.board().gpio().set_input(number(a[0]), number(a[1]));
       return std::string();
     }},
    {"trigger-fault", "1|2 none|missing|low|high", "break a trigger output line",
     [](Controls& c, const auto& a) {
       need(a, 2, "trigger-fault 1|2 none|missing|low|high");
       c.board().triggers().set_fault(number(a[0]), trigger_fault(a[1]));
       return std::string();
     }},
    {"led", "NAME remove|add", "remove an LED class device (driver missing) or add it back",
     [](Controls& c, const auto& a) {
       need(a, 2, "led NAME remove|add");
       if (a[1] == "remove") {
         c.board().leds().remove(a[0]);
       } else if (a[1] == "add") {
         c.board().leds().add(a[0]);
       } else {
         throw ControlError("usage: led NAME remove|add");
       }
       return std::string();
     }},
    {"leds", "", "show the LEDs' brightness",
     [](Controls& c, const auto& a) {
       need(a, 0, "leds");
       std::string out;
       for (const char* n : {"red", "green", "blue"})
         out += std::string(n) + "=" + std::to_string(c.board().leds().brightness(n)) + " ";
       return out;
     }},
    {"logic-answer", "1-4|all MS [none|silent|split|bad-checksum|unknown-code|overlong]",
     "how the logic MCU answers requests of a code: after MS milliseconds, and what is wrong with the answer",
     [](Controls& c, const auto& a) {
       if (a.size() != 2 && a.size() != 3) throw ControlError("usage: logic-answer 1-4|all MS [FAULT]");
       std::uint16_t code = a[0] == "all" ? 0 : static_cast<std::uint16_t>(number(a[0]));
       if (code > 4) throw ControlError("logic-answer: code 1-4 or all");
       LogicMcu::Behaviour b{std::chrono::milliseconds(number(a[1])),
                             logic_fault(a.size() == 3 ? a[2] : "none")};
       c.board().logic_mcu().set_behaviour(code, b);
       return std::string();
     }},
    {"logic-reject", "on|off", "the logic MCU refuses level sets (failure statuses in its confirmation)",
     [](Controls& c, const auto& a) {
       need(a, 1, "logic-reject on|off");
       if (a[0] != "on" && a[0] != "off") throw ControlError("usage: logic-reject on|off");
       c.board().logic_mcu().set_reject_level_set(a[0] == "on");
       return std::string();
     }},
    {"logic-send", "HEX...",
     "the logic MCU writes these bytes now, asked or not (e.g. AA AA 01 00 02 00 01 48 A0)",
     [](Controls& c, const auto& a) {
       if (a.empty()) throw ControlError("usage: logic-send HEX...");
       std::vector<std::uint8_t> bytes;
       for (const auto& h : a) {
         int v = number("0x" + h);
         if (v < 0 || v > 0xFF) throw ControlError("not a byte: " + h);
         bytes.push_back(static_cast<std::uint8_t>(v));
       }
       return c.board().logic_mcu().send(bytes) ? "" : "the logic MCU port is closed";
     }},
    {"logic-groups", "", "the logic MCU's four groups: mode and levels",
     [](Controls& c, const auto& a) {
       need(a, 0, "logic-groups");
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
    {"soc-uid", "TEXT", "the hardware id in /sys/devices/soc0/soc_uid (a line feed is added)",
     [](Controls& c, const auto& a) {
       c.board().set_soc_uid(joined(a) + "\n");
       return std::string();
     }},
    {"os-version", "VERSION", "VERSION_ID in /etc/os-release",
     [](Controls& c, const auto& a) {
       need(a, 1, "os-version VERSION");
       c.board().set_os_release("NAME=\"Tamo Linux\"\nVERSION_ID=" + a[0] + "\n");
       return std::string();
     }},
    {"env", "NAME [VALUE]", "set (or with no value, delete) a U-Boot environment variable",
     [](Controls& c, const auto& a) {
       if (a.empty()) {
         std::string out;
         for (const auto& [k, v] : c.board().uboot_env().read().value_or(UbootEnv::Vars{}))
           out += k + "=" + v + "\n";
         return out;
       }
       if (a.size() == 1) {
         c.board().uboot_env().unset(a[0]);
       } else {
         std::vector<std::string> rest(a.begin() + 1, a.end());
         c.board().uboot_env().set(a[0], joined(rest));
       }
       return std::string();
     }},
    {"lan4-address", "CIDR|none", "IPv4 address of lan4 (192.0.2.1/24 at boot)",
     [](Controls& c, const auto& a) {
       need(a, 1, "lan4-address CIDR|none");
       return c.board().network().set_address("lan4", a[0] == "none" ? "" : a[0]) ? "" : "ip failed";
     }},
    {"activation-file", "NAME absent|empty|TEXT...",
     "an activation file in /data/dante_data/activation (device.lic, manufacturer.cert)",
     [](Controls& c, const auto& a) {
       if (a.size() < 2) throw ControlError("usage: activation-file NAME absent|empty|TEXT...");
       std::vector<std::string> rest(a.begin() + 1, a.end());
       std::optional<std::string> content;
       if (a[1] == "empty") {
         content = "";
       } else if (a[1] != "absent") {
         content = joined(rest) + "\n";
       }
       c.board().set_activation_file(a[0], content);
       return std::string();
     }},
    {"http-get", "URL", "download URL over HTTP as the test PC (through lan4): size and MD5 of the bytes",
     [](Controls& c, const auto& a) {
       need(a, 1, "http-get URL");
       // -q: on success the output is the body alone.
       auto body = c.board().run_on_pc({"busybox", "wget", "-q", "-O", "-", a[0]});
       if (body.status != 0) return "download failed: " + body.output;
       auto sum = c.board().run_on_pc({"md5sum"}, std::chrono::seconds(10), body.output);
       return std::to_string(body.output.size()) + " bytes, md5 " + sum.output.substr(0, 32);
     }},
    {"macs", "", "MAC addresses of eth0, lan4 and lan3 as the kernel shows them",
     [](Controls& c, const auto& a) {
       need(a, 0, "macs");
       std::string out;
       for (const char* i : {"eth0", "lan4", "lan3"})
         out += std::string(i) + "=" + c.board().network().mac(i).value_or("?") + " ";
       return out;
     }},
    {"env-tools", "libubootenv|u-boot", "U-Boot tool family: an unset variable prints name= or nothing",
     [](Controls& c, const auto& a) {
       need(a, 1, "env-tools libubootenv|u-boot");
       if (a[0] != "libubootenv" && a[0] != "u-boot") throw ControlError("env-tools libubootenv|u-boot");
       c.board().standins().set_env_tools(a[0] == "u-boot" ? StandIns::EnvTools::kUboot
                                                           : StandIns::EnvTools::kLibubootenv);
       return std::string();
     }},
    {"fw-setenv", "ok|fail", "fw_setenv stores (ok) or stores nothing and exits 1 (fail)",
     [](Controls& c, const auto& a) {
       need(a, 1, "fw-setenv ok|fail");
       if (a[0] != "ok" && a[0] != "fail") throw ControlError("fw-setenv ok|fail");
       c.board().standins().set_fw_setenv_fails(a[0] == "fail");
       return std::string();
     }},
    {"unit-dir", "writable|readonly", "the systemd-networkd unit directory /etc/systemd/network",
     [](Controls& c, const auto& a) {
       need(a, 1, "unit-dir writable|readonly");
       if (a[0] != "writable" && a[0] != "readonly") throw ControlError("unit-dir writable|readonly");
       return c.board().network().set_unit_dir_writable(a[0] == "writable") ? "" : "mount failed";
     }},
    {"wait-reboot", "", "wait (up to 10 s) until `reboot` runs once more",
     [](Controls& c, const auto& a) {
       need(a, 0, "wait-reboot");
       int want = c.reboots_waited() + 1;
       if (!c.board().standins().wait_reboot(want, std::chrono::seconds(10)))
         return std::string("reboot did not run");
       c.reboots_waited() = want;
       return std::string("reboot ran (the board would restart now)");
     }},
    {"reboot-mode", "reenumerate|log [BOOT-MS]",
     "what `reboot` does: the PC's port goes and is back after BOOT-MS (default 1500) with ftmd restarted, "
     "or "
     "it is only recorded",
     [](Controls& c, const auto& a) {
       if (a.empty() || a.size() > 2 || (a[0] != "reenumerate" && a[0] != "log"))
         throw ControlError("usage: reboot-mode reenumerate|log [BOOT-MS]");
       int boot_ms = a.size() == 2 ? number(a[1]) : 1500;
       if (boot_ms < 0) throw ControlError("reboot-mode: BOOT-MS must not be negative");
       c.board().set_reboot_reenumerates(a[0] == "reenumerate", std::chrono::milliseconds(boot_ms));
       return std::string();
     }},
    {"sleep", "MS", "pause the session",
     [](Controls&, const auto& a) {
       need(a, 1, "sleep MS");
       std::this_thread::sleep_for(std::chrono::milliseconds(number(a[0])));
       return std::string();
     }},
    {"restart", "", "restart ftmd on the same board (as after a reboot) and wait until it serves",
     [](Controls& c, const auto& a) {
       need(a, 0, "restart");
       std::size_t mark = c.board().syslog().mark();
       c.board().start_daemon();
       return c.board().wait_serving(std::chrono::seconds(30), mark) ? "ftmd serving again"
                                                                     : "ftmd did not serve";
     }},
    {"sh", "COMMAND...", "run a shell command inside the board",
     [](Controls& c, const auto& a) {
       auto r = c.board().shell(joined(a));
       return r.output + (r.status == 0 ? "" : "(exit " + std::to_string(r.status) + ")");
     }},
    {"pc", "COMMAND...", "run a shell command on the host as the test PC (its network reaches lan4)",
     [](Controls& c, const auto& a) {
       auto r = c.board().run_on_pc({"/bin/sh", "-c", joined(a)});
       return r.output + (r.status == 0 ? "" : "(exit " + std::to_string(r.status) + ")");
     }},
    {"log", "[N]", "the daemon's last N syslog lines (default 20), with their levels",
     [](Controls& c, const auto& a) {
       std::size_t n = a.empty() ? 20 : static_cast<std::size_t>(number(a[0]));
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

void Controls::later(std::chrono::milliseconds delay, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  pending_.emplace_back([delay, action = std::move(action)](std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock l(m);
    if (!cv.wait_for(l, stop, delay, [] { return false; })) {
      if (!stop.stop_requested()) action();
    }
  });
}

const std::vector<Controls::Entry>& Controls::table() { return kTable; }

std::string Controls::help() {
  std::string out;
  for (const auto& e : kTable) {
    std::string usage = std::string(e.name) + (e.args[0] ? std::string(" ") + e.args : "");
    out += "  " + usage + std::string(usage.size() < 34 ? 34 - usage.size() : 1, ' ') + e.help + "\n";
  }
  return out;
}

std::string Controls::run(const std::string& line) {
  auto words = split(line);
  if (words.empty()) return {};
  std::vector<std::string> args(words.begin() + 1, words.end());
  for (const auto& e : kTable)
    if (words[0] == e.name) return e.run(*this, args);
  throw ControlError("unknown control: " + words[0] + " (try help)");
}

}  // namespace vboard
