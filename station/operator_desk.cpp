#include "operator_desk.h"

#include <algorithm>
#include <cctype>
#include <regex>

#include "pc/text.h"

namespace ftmd::station {
namespace {

// How often a waiting ask looks again even without a notification; the
// predicate decides, this only bounds each wait.
constexpr std::chrono::seconds kWaitSlice{1};

std::string lower_trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string quoted(std::string_view text) { return "\"" + pc::escape_reply(text) + "\""; }

}  // namespace

const char* question_kind_name(QuestionKind kind) {
  switch (kind) {
    case QuestionKind::kConfirm:
      return "confirm";
    case QuestionKind::kJudge:
      return "judge";
    case QuestionKind::kScan:
      return "scan";
  }
  return "confirm";
}

std::optional<std::string> normalise_answer(QuestionKind kind, std::string_view text, std::string* why) {
  auto refuse = [&](std::string reason) -> std::optional<std::string> {
    if (why) *why = std::move(reason);
    return std::nullopt;
  };
  if (kind == QuestionKind::kScan) {
    if (text.empty()) return refuse("the scanned value is empty");
    for (unsigned char c : text)
      if (c < 0x20 || c == 0x7f)
        return refuse("the scanned value " + quoted(text) + " has a control character");
    return std::string(text);
  }
  const std::string word = lower_trimmed(text);
  const bool yes = word == "yes" || word == "y";
  const bool no = word == "no" || word == "n";
  if (kind == QuestionKind::kConfirm) {
    if (yes) return "yes";
    if (no) return "no";
    return refuse("a confirmation is yes or no, not " + quoted(text));
  }
  if (yes || word == "pass" || word == "p") return "pass";
  if (no || word == "fail" || word == "f") return "fail";
  return refuse("a judgement is pass or fail, not " + quoted(text));
}

void OperatorDesk::add_listener(Listener listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(listener));
}

void OperatorDesk::notify(const OpenQuestion& question, bool open) const {
  for (const auto& listener : listeners_) listener(question, open);
}

std::optional<Answer> OperatorDesk::ask(const std::string& slot, const Question& question,
                                        const std::function<void(const OpenQuestion&)>& opened) {
  OpenQuestion open;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return std::nullopt;
    open = {next_id_++, slot, question, std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
    entries_.push_back({open, std::nullopt, false});
  }
  if (opened) opened(open);
  notify(open, true);

  std::optional<Answer> answer;
  {
    std::unique_lock lock(mutex_);
    auto mine = [&] {
      return std::find_if(entries_.begin(), entries_.end(),
                          [&](const Entry& e) { return e.open.id == open.id; });
    };
    for (;;) {
      auto it = mine();
      if (it == entries_.end()) break;  // cannot happen: only this ask removes its entry
      if (it->answer || it->withdrawn) {
        answer = it->answer;
        entries_.erase(it);
        break;
      }
      changed_.wait_for(lock, kWaitSlice, [&] {
        auto e = mine();
        return e == entries_.end() || e->answer || e->withdrawn;
      });
    }
  }
  notify(open, false);
  return answer;
}

AnswerResult OperatorDesk::answer(const std::string& slot, std::uint64_t id, std::string_view value,
                                  const std::string& who, const std::string& channel) {
  std::unique_lock lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.open.id == id && e.open.slot == slot && !e.answer && !e.withdrawn;
  });
  if (it == entries_.end()) return {false, "slot " + slot + " has no open question " + std::to_string(id)};
  const Question& q = it->open.question;
  std::string why;
  auto normal = normalise_answer(q.kind, value, &why);
  if (!normal) return {false, why};
  if (q.kind == QuestionKind::kScan) {
    bool matched = false;
    try {
      matched = std::regex_match(*normal, std::regex(q.pattern, std::regex::ECMAScript));
    } catch (const std::regex_error& e) {
      return {false, "the pattern " + quoted(q.pattern) + " is not a valid regular expression: " + e.what()};
    }
    if (!matched)
      return {false,
              "the scanned value " + quoted(*normal) + " does not match the pattern " + quoted(q.pattern)};
  }
  Answer a;
  a.value = std::move(*normal);
  a.who = who;
  a.channel = channel;
  a.asked_at = it->open.asked_at;
  a.answered_at = std::chrono::system_clock::now();
  a.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 it->open.opened);
  it->answer = std::move(a);
  lock.unlock();
  changed_.notify_all();
  return {true, {}};
}

std::vector<OpenQuestion> OperatorDesk::open_questions() const {
  std::lock_guard lock(mutex_);
  std::vector<OpenQuestion> out;
  for (const auto& e : entries_)
    if (!e.answer && !e.withdrawn) out.push_back(e.open);
  return out;
}

void OperatorDesk::withdraw_slot(const std::string& slot) {
  {
    std::lock_guard lock(mutex_);
    for (auto& e : entries_)
      if (e.open.slot == slot && !e.answer) e.withdrawn = true;
  }
  changed_.notify_all();
}

void OperatorDesk::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& e : entries_)
      if (!e.answer) e.withdrawn = true;
  }
  changed_.notify_all();
}

bool OperatorDesk::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace ftmd::station
