#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ftmd::station {

// Where the slots' questions to the operator wait for an answer. A slot's
// runner asks and blocks; the web view, the terminal and the operator hook
// answer, and the first valid answer wins. Pure bookkeeping: no I/O, so
// every channel codes against the same rules. Thread-safe.

enum class QuestionKind {
  kConfirm,  // "Plug the trigger test plug in": yes (done, go on) or no
  kJudge,    // "Is the LED red?": pass or fail decides the step
  kScan,     // "Scan the serial number label": a text that must match `pattern`
};
const char* question_kind_name(QuestionKind kind);  // "confirm", "judge", "scan"

struct Question {
  QuestionKind kind = QuestionKind::kConfirm;
  std::string text;     // what the operator is asked, as the plan words it
  std::string pattern;  // scan: an ECMAScript regular expression the whole value must match
  std::string step;     // the step that asks, for messages
  std::string action;   // the operator hook's action id ("" none)
};

// The names of the channels an answer can come from.
inline constexpr char kChannelTerminal[] = "terminal";
inline constexpr char kChannelHook[] = "hook";
inline constexpr char kChannelWeb[] = "web";

struct Answer {
  // Normalised: confirm "yes" or "no"; judge "pass" or "fail"; scan the
  // scanned text exactly.
  std::string value;
  std::string who;      // the operator's name, or the badge the page sent
  std::string channel;  // kChannelTerminal, kChannelHook or kChannelWeb
  std::chrono::system_clock::time_point asked_at;
  std::chrono::system_clock::time_point answered_at;
  std::chrono::milliseconds took{0};  // from the question opening to the answer (steady clock)

  // For judge and confirm: whether the answer lets the step pass.
  bool positive() const { return value == "yes" || value == "pass"; }
};

struct OpenQuestion {
  std::uint64_t id = 0;  // never 0; unique for the desk's life
  std::string slot;      // the slot that asks
  Question question;
  std::chrono::steady_clock::time_point opened;
  std::chrono::system_clock::time_point asked_at;
};

// What answer() did: accepted, or refused with a reason that names what was
// wrong ("slot b has no open question 12", "\"X12\" does not match the
// pattern \"SN[0-9]{6}\"", "a judgement is pass or fail, not \"maybe\"").
struct AnswerResult {
  bool accepted = false;
  std::string refusal;
  explicit operator bool() const { return accepted; }
};

// The value `text` stands for as an answer to a question of `kind`: confirm
// takes yes/y/no/n, judge pass/p/fail/f and also yes/y/no/n (any case,
// blanks around ignored); scan takes the text as it is. Nothing and the
// reason when it is not an answer of that kind (the pattern is not checked
// here).
std::optional<std::string> normalise_answer(QuestionKind kind, std::string_view text, std::string* why);

class OperatorDesk {
 public:
  // Told of every question as it opens (`open` true) and as it closes
  // (answered or withdrawn). Called outside the desk's lock, on the thread
  // that opened or closed it; must not block for long.
  using Listener = std::function<void(const OpenQuestion& question, bool open)>;
  // Adds a listener; call before any question is asked.
  void add_listener(Listener listener);

  // Asks `question` for `slot` and waits for the answer. `opened` (may be
  // empty) is called with the question once it can be answered, before the
  // wait (the runner shows it in the live state there). Nothing when the
  // question was withdrawn (the slot is aborted, or the desk closed) before
  // an answer came. A scan's pattern must be a valid regular expression.
  std::optional<Answer> ask(const std::string& slot, const Question& question,
                            const std::function<void(const OpenQuestion&)>& opened = {});

  // Answers question `id` of `slot` with `value` (see normalise_answer; a
  // scan value must also match the pattern and be printable). The first
  // accepted answer wins; later ones are refused as no longer open.
  AnswerResult answer(const std::string& slot, std::uint64_t id, std::string_view value,
                      const std::string& who, const std::string& channel);

  // The questions open now, oldest first.
  std::vector<OpenQuestion> open_questions() const;

  // Withdraws the open questions of `slot`: their asks return nothing.
  void withdraw_slot(const std::string& slot);
  // Withdraws every open question and makes every later ask return nothing
  // at once (the station is stopping).
  void close();
  bool closed() const;

 private:
  struct Entry {
    OpenQuestion open;
    std::optional<Answer> answer;
    bool withdrawn = false;
  };
  void notify(const OpenQuestion& question, bool open) const;

  mutable std::mutex mutex_;  // guards entries_, next_id_, closed_ (listeners_ is set before use)
  std::condition_variable changed_;
  std::vector<Entry> entries_;  // the open ones, and answered ones until their asker took the answer
  std::uint64_t next_id_ = 1;
  bool closed_ = false;
  std::vector<Listener> listeners_;
};

}  // namespace ftmd::station
