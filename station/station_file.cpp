#include "station_file.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <set>

#include "pc/text.h"

namespace ftmd::station {
namespace {

constexpr std::size_t kMaxSlotName = 32;

struct FileError {
  int line;
  std::string reason;
};

int line_of(const YAML::Node& node) { return node.Mark().is_null() ? 0 : node.Mark().line + 1; }
[[noreturn]] void fail(const YAML::Node& node, std::string reason) {
  throw FileError{line_of(node), std::move(reason)};
}

std::string text(const YAML::Node& node, const std::string& key) {
  if (!node.IsScalar() || node.Scalar().empty()) fail(node, key + " must be a text");
  return node.Scalar();
}

template <typename Visit>
void for_each_key(const YAML::Node& map, std::initializer_list<std::string_view> known,
                  const std::string& what, Visit visit) {
  std::set<std::string> seen;
  for (auto it = map.begin(); it != map.end(); ++it) {
    const YAML::Node key = it->first;
    const YAML::Node value = it->second;
    if (!key.IsScalar()) fail(key, "a key of " + what + " must be a name");
    const std::string& name = key.Scalar();
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      std::string list;
      for (auto k : known) list.append(list.empty() ? "" : ", ").append(k);
      std::string message = "unknown key \"" + name;
      message.append("\" in ").append(what).append(" (known: ").append(list).append(")");
      fail(key, message);
    }
    if (!seen.insert(name).second) fail(key, ("duplicate key \"" + name).append("\" in ").append(what));
    if (value.IsNull()) fail(key, name + " has no value");
    visit(name, value);
  }
}

SlotChoice parse_slot(const YAML::Node& node) {
  if (!node.IsMap()) fail(node, "a slot is a map: name and one of port, usb_serial, usb_location");
  SlotChoice slot;
  int ports = 0;
  for_each_key(node, {"name", "port", "usb_serial", "usb_location"}, "a slot",
               [&](const std::string& key, const YAML::Node& value) {
                 if (key == "name") {
                   slot.name = text(value, key);
                   if (auto why = slot_name_problem(slot.name); !why.empty()) fail(value, why);
                   return;
                 }
                 ++ports;
                 (key == "port"         ? slot.port.path
                  : key == "usb_serial" ? slot.port.usb_serial
                                        : slot.port.usb_location) = text(value, key);
               });
  if (slot.name.empty()) fail(node, "a slot needs a name");
  if (ports != 1) fail(node, "slot " + slot.name + " needs exactly one of port, usb_serial and usb_location");
  return slot;
}

StationFile parse_document(const YAML::Node& root) {
  if (root.IsNull()) throw FileError{1, "the station file is empty"};
  if (!root.IsMap()) fail(root, "a station file is a map (station, slots, database, records, ...)");
  StationFile f;
  for_each_key(
      root,
      {"station", "slots", "database", "records", "web", "operator_hook", "on_record", "operator", "plan"},
      "the station file", [&](const std::string& key, const YAML::Node& value) {
        if (key == "slots") {
          if (!value.IsSequence() || value.size() == 0)
            fail(value, "slots must be a list of at least one slot");
          for (const auto& node : value) {
            f.slots.push_back(parse_slot(node));
            std::vector<SlotChoice> so_far = f.slots;
            if (auto why = slots_problem(so_far); !why.empty()) fail(node, why);
          }
          return;
        }
        std::string v = text(value, key);
        if (key == "station") f.station = v;
        if (key == "database") f.database = v;
        if (key == "records") f.records = v;
        if (key == "web") f.web = v;
        if (key == "operator_hook") f.operator_hook = v;
        if (key == "on_record") f.on_record = v;
        if (key == "operator") f.operator_name = v;
        if (key == "plan") f.plan = v;
      });
  return f;
}

}  // namespace

std::string slot_name_problem(const std::string& name) {
  const bool good =
      !name.empty() && name.size() <= kMaxSlotName && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-';
      });
  if (good) return {};
  return "bad slot name \"" + name + "\" (letters, digits, \"_\" and \"-\", at most " +
         std::to_string(kMaxSlotName) + ")";
}

std::optional<SlotChoice> parse_slot_arg(const std::string& arg, std::string* error) {
  const auto eq = arg.find('=');
  if (eq == std::string::npos || eq + 1 == arg.size()) {
    *error = "--slot takes NAME=PORT, not \"" + arg + "\"";
    return std::nullopt;
  }
  SlotChoice slot;
  slot.name = arg.substr(0, eq);
  if (auto why = slot_name_problem(slot.name); !why.empty()) {
    *error = why;
    return std::nullopt;
  }
  const std::string port = arg.substr(eq + 1);
  constexpr std::string_view kSerial = "usb-serial:", kLocation = "usb-location:";
  if (port.starts_with(kSerial) && port.size() > kSerial.size())
    slot.port.usb_serial = port.substr(kSerial.size());
  else if (port.starts_with(kLocation) && port.size() > kLocation.size())
    slot.port.usb_location = port.substr(kLocation.size());
  else
    slot.port.path = port;
  return slot;
}

std::string slots_problem(const std::vector<SlotChoice>& slots) {
  std::set<std::string> names, ports;
  for (const auto& slot : slots) {
    if (!names.insert(slot.name).second) return "slot " + slot.name + " twice";
    if (!ports.insert(slot.port.describe()).second)
      return "slot " + slot.name + ": " + slot.port.describe() + " is another slot's port too";
  }
  return {};
}

std::optional<StationFile> parse_station_file(std::string_view text, const std::string& file,
                                              std::string* error) {
  try {
    return parse_document(YAML::Load(std::string(text)));
  } catch (const FileError& e) {
    if (error) *error = file + ":" + std::to_string(e.line) + ": " + e.reason;
  } catch (const YAML::Exception& e) {
    if (error) *error = file + ":" + std::to_string(e.mark.is_null() ? 1 : e.mark.line + 1) + ": " + e.msg;
  }
  return std::nullopt;
}

std::optional<StationFile> load_station_file(const std::string& path, std::string* error) {
  const std::optional<std::string> text = pc::read_text_file(path, "station file", error);
  if (!text) return std::nullopt;
  return parse_station_file(*text, path, error);
}

}  // namespace ftmd::station
