#include "terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "pc/text.h"

namespace ftmd::station {
namespace {

// Longer than any answer or label: a line past it (a stuck scanner, a file
// on stdin) is dropped whole rather than matched against a pattern.
constexpr std::size_t kMaxTerminalLine = 4096;

}  // namespace

TerminalAnswers::TerminalAnswers(OperatorDesk& desk, Console& console, int in_fd, std::string operator_name,
                                 std::vector<std::string> slots)
    : desk_(desk),
      console_(console),
      in_fd_(in_fd),
      operator_name_(std::move(operator_name)),
      slots_(std::move(slots)) {
  desk_.add_listener([this](const OpenQuestion& question, bool open) {
    if (open) opened(question);
  });
  reader_ = std::jthread([this](const std::stop_token& stop) { read_loop(stop); });
}

TerminalAnswers::~TerminalAnswers() {
  reader_.request_stop();
  wake_.signal();
}

std::string TerminalAnswers::prefix(const std::string& slot) const {
  return slots_.size() > 1 ? "[" + slot + "] " : "";
}

void TerminalAnswers::opened(const OpenQuestion& question) {
  const QuestionKind kind = question.question.kind;
  if (at_end_.load()) {
    if (kind == QuestionKind::kConfirm)
      desk_.answer(question.slot, question.id, "yes", operator_name_, kChannelTerminal);
    return;
  }
  // Keys typed before the question do not count as its answer.
  if (::isatty(in_fd_) && desk_.open_questions().size() == 1) ::tcflush(in_fd_, TCIFLUSH);
  const bool several = slots_.size() > 1;
  const std::string who = several ? question.slot + " " : "";
  std::string how;
  switch (kind) {
    case QuestionKind::kConfirm:
      how = several ? "\"" + who + "y\" when done, \"" + who + "n\" if it cannot be done"
                    : "Enter when done, n and Enter if it cannot be done";
      break;
    case QuestionKind::kJudge:
      how = "\"" + who + "p\" pass or \"" + who + "f\" fail";
      break;
    case QuestionKind::kScan:
      how = several ? "scan or type it after \"" + who + "\"" : "scan it, or type it and Enter";
      break;
  }
  console_.line(prefix(question.slot) + "     answer: " + how);
}

void TerminalAnswers::take_line(const std::string& raw) {
  std::string line = raw;
  if (line.ends_with('\r')) line.pop_back();
  const auto open = desk_.open_questions();
  if (open.empty()) {
    if (!line.empty()) console_.line("no question is open: \"" + pc::escape_reply(line) + "\" is not taken");
    return;
  }
  const OpenQuestion* target = nullptr;
  std::string value = line;
  // "b p": the first word names a slot that asks.
  const auto space = line.find(' ');
  const std::string first = line.substr(0, space);
  for (const auto& q : open)
    if (q.slot == first && (space != std::string::npos || q.question.kind == QuestionKind::kConfirm)) {
      target = &q;
      value = space == std::string::npos ? std::string() : line.substr(space + 1);
    }
  if (!target) {
    bool one_slot = true;
    for (const auto& q : open) one_slot &= q.slot == open.front().slot;
    if (!one_slot) {
      std::string names;
      for (const auto& q : open) names += (names.empty() ? "" : ", ") + q.slot;
      console_.line("several slots ask (" + names + "): begin the answer with the slot's name");
      return;
    }
    target = &open.front();
  }
  if (target->question.kind == QuestionKind::kConfirm && value.empty()) value = "yes";
  AnswerResult result = desk_.answer(target->slot, target->id, value, operator_name_, kChannelTerminal);
  if (!result) console_.line(prefix(target->slot) + "     not taken: " + result.refusal);
}

void TerminalAnswers::read_loop(const std::stop_token& stop) {
  std::string pending;
  while (!stop.stop_requested()) {
    pollfd fds[2] = {{in_fd_, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (fds[1].revents & POLLIN)) return;
    char buffer[512];
    ssize_t n = ::read(in_fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      if (end <= kMaxTerminalLine) take_line(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
    if (pending.size() > kMaxTerminalLine) {
      console_.line("a line of more than " + std::to_string(kMaxTerminalLine) + " bytes is not taken");
      pending.clear();
    }
  }
  if (stop.stop_requested()) return;
  if (!pending.empty()) take_line(pending);
  // The end of input: what confirmations are open now go on, and so do
  // those to come (opened()).
  at_end_.store(true);
  for (const auto& q : desk_.open_questions())
    if (q.question.kind == QuestionKind::kConfirm)
      desk_.answer(q.slot, q.id, "yes", operator_name_, kChannelTerminal);
}

}  // namespace ftmd::station
