// Microbenchmarks of the daemon's pure code paths: the host frame codec, the
// command lookup over the 32 rows and the logic MCU text builders. They are
// far below the cost of one pty round trip; they are here to catch
// regressions. No handler runs (handlers touch the device).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "common/host_frame.h"
#include "daemon/command_table.h"
#include "logicmcu/logic_frame.h"

namespace {

constexpr std::array<std::uint8_t, ftmd::kHostHeaderSize> kHeader{0x55, 0xaa, 0x01, 0x02, 0x03, 0x04, 0x05};

std::vector<std::uint8_t> request_frame(std::string_view text) {
  std::vector<std::uint8_t> frame(ftmd::kHostBodyOffset + text.size());
  frame.resize(ftmd::host_request_encode(kHeader, text, frame));
  return frame;
}

void BM_HostRequestDecode(benchmark::State& state) {
  const auto frame = request_frame("at+ftm,ftmver=?");
  std::array<char, ftmd::kCommandBufferSize> command{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ftmd::host_request_length(frame));
    benchmark::DoNotOptimize(ftmd::host_request_command(frame, command));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_HostRequestDecode);

// Reply encoding for a short reply and for the longest text a reply carries.
void BM_HostReplyEncode(benchmark::State& state) {
  const auto frame = request_frame("at+ftm,ftmver=?");
  const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
  std::array<std::uint8_t, ftmd::kHostReplyFrameMax> out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ftmd::host_reply_encode(frame, text.c_str(), out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HostReplyEncode)->Arg(12)->Arg(1023);

// What the test PC does with a reply: size it and check it.
void BM_HostReplyCheck(benchmark::State& state) {
  const auto request = request_frame("at+ftm,ftmver=?");
  std::array<std::uint8_t, ftmd::kHostReplyFrameMax> reply{};
  const std::size_t size = ftmd::host_reply_encode(request, "ftmd 1.0.0\n", reply);
  const std::span<const std::uint8_t> received(reply.data(), size);
  for (auto _ : state) {
    std::string_view text;
    benchmark::DoNotOptimize(ftmd::host_reply_frame_size(received));
    benchmark::DoNotOptimize(ftmd::host_reply_check(received, kHeader, &text));
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_HostReplyCheck);

// Looks up every row of the table once per iteration (the first row is found
// after one compare, the last after 32), plus a command no row takes.
void BM_FindCommandAllRows(benchmark::State& state) {
  std::vector<std::string> commands;
  for (const auto& entry : ftmd::kCommandTable) commands.push_back(std::string(entry.prefix) + "?");
  for (auto _ : state) {
    for (const auto& command : commands) benchmark::DoNotOptimize(ftmd::find_command(command.c_str()));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(commands.size()));
}
BENCHMARK(BM_FindCommandAllRows);

void BM_FindCommandUnknown(benchmark::State& state) {
  const char* command = "at+ftm,nosuchcommand=?";
  for (auto _ : state) benchmark::DoNotOptimize(ftmd::find_command(command));
}
BENCHMARK(BM_FindCommandUnknown);

void BM_LogicModeText(benchmark::State& state) {
  const std::array<std::uint8_t, 8> data{1, ftmd::kLogicModeInput, 2, ftmd::kLogicModeOutput,
                                         3, ftmd::kLogicModeA,     4, 0x99};
  for (auto _ : state) benchmark::DoNotOptimize(ftmd::logic_mode_text(data));
}
BENCHMARK(BM_LogicModeText);

void BM_LogicValueText(benchmark::State& state) {
  const std::array<std::uint8_t, 12> data{1, ftmd::kLogicModeInput, 0x10, 2, ftmd::kLogicModeOutput, 0x01,
                                          3, ftmd::kLogicModeA,     50,   4, ftmd::kLogicModeA,      1};
  for (auto _ : state) benchmark::DoNotOptimize(ftmd::logic_value_text(data));
}
BENCHMARK(BM_LogicValueText);

void BM_LogicSetResultText(benchmark::State& state) {
  const std::array<std::uint8_t, 6> data{1, 0, 0, 1, 0, 0};
  for (auto _ : state) benchmark::DoNotOptimize(ftmd::logic_set_result_text(data));
}
BENCHMARK(BM_LogicSetResultText);

}  // namespace

BENCHMARK_MAIN();
