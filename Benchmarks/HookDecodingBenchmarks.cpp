// Throughput and allocation count of hook payload decoding, on a typical Claude Code PreToolUse
// document (about 2 KB) and on a 1 MiB document whose tool input carries a large file.
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include <benchmark/benchmark.h>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"

namespace {

std::atomic<std::size_t> allocationCount{0};

}  // namespace

// Counting replacements of the global allocation functions, for the "allocs" counter. They
// forward to the C allocator, as the default ones do; GCC cannot see that the pair matches.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  allocationCount.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {  // NOLINT(cppcoreguidelines-no-malloc)
    return memory;
  }
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }  // NOLINT(cppcoreguidelines-no-malloc)
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }  // NOLINT(cppcoreguidelines-no-malloc)

namespace {

// Escapes a text as a JSON string body.
std::string escaped(const std::string& text) { return tarvel::Json(text).dump(); }

std::string claudePreToolUse() {
  const std::string oldString =
      "  func handle(_ request: Request) async throws -> Response {\n"
      "    let body = try request.decode(Body.self)\n"
      "    guard body.isValid else { throw ValidationError.invalid(\"body\") }\n"
      "    return try await service.perform(body)\n"
      "  }\n";
  std::string newString = oldString;
  newString.insert(newString.find("return"), "logger.info(\"handling \\(body.id)\")\n    ");
  return R"({"session_id":"da27457f-8ee9-4651-82a5-71a19268b878",)"
         R"("transcript_path":"/home/dev/.claude/projects/-home-dev-proj/da27457f-8ee9-4651-82a5-71a19268b878.jsonl",)"
         R"("cwd":"/home/dev/proj","prompt_id":"02903131-01f4-4f6a-bd4a-4e9052134c09",)"
         R"("permission_mode":"default","effort":{"level":"high"},"hook_event_name":"PreToolUse",)"
         R"("tool_name":"Edit","tool_input":{"file_path":"/home/dev/proj/Sources/Server/RequestHandler.swift",)"
         R"("old_string":)" + escaped(oldString + oldString + oldString) +
         R"(,"new_string":)" + escaped(newString + newString + newString) +
         R"(,"replace_all":false},"tool_use_id":"toolu_01ABCDEFGHJKLMNPQRSTUVWX"})" "\n";
}

std::string largeWriteDocument() {
  const std::string head =
      R"({"session_id":"da27457f-8ee9-4651-82a5-71a19268b878","cwd":"/home/dev/proj",)"
      R"("hook_event_name":"PreToolUse","tool_name":"Write","tool_use_id":"toolu_01",)"
      R"("tool_input":{"file_path":"/home/dev/proj/big.swift","content":")";
  const std::string tail = "\"}}\n";
  const std::string line =
      "    let label = \\\"Zeile \\u00e4\\u00f6\\u00fc \\\\(index)\\\"  // r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\\n";
  std::string document = head;
  while (document.size() + line.size() + tail.size() <= tarvel::AgentHookInput::maximumBytes) {
    document += line;
  }
  document += tail;
  return document;
}

void decode(benchmark::State& state, const std::string& document) {
  if (!tarvel::AgentHookInput::decode(document)) {
    state.SkipWithError("the document does not decode");
    return;
  }
  std::size_t allocations = 0;
  for (auto _ : state) {
    const std::size_t before = allocationCount.load(std::memory_order_relaxed);
    auto payload = tarvel::AgentHookInput::decode(document);
    benchmark::DoNotOptimize(payload);
    allocations += allocationCount.load(std::memory_order_relaxed) - before;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
  state.counters["bytes"] = static_cast<double>(document.size());
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

void BM_DecodeClaudePreToolUse(benchmark::State& state) {
  static const std::string document = claudePreToolUse();
  decode(state, document);
}
BENCHMARK(BM_DecodeClaudePreToolUse);

void BM_DecodeOneMebibyteToolInput(benchmark::State& state) {
  static const std::string document = largeWriteDocument();
  decode(state, document);
}
BENCHMARK(BM_DecodeOneMebibyteToolInput)->Unit(benchmark::kMillisecond);

// The event server's side: one event line as a Codex hook sends it (Benchmarks/event_line.json).
void BM_DecodeEventLine(benchmark::State& state) {
  static const std::string line =
      R"({"activity":"Running rg --line-number --hidden --glob '!node_modules' 'UnixSocketClient::send' S\u2026",)"
      R"("id":"77B440EA-5AE1-4CA4-B5A4-0928500A25ED","metadata":{"hookEvent":"PreToolUse","tool":"Bash",)"
      R"("toolCallId":"call_a61c3597"},"origin":{"processIdentifier":13612,)"
      R"("processStartedAt":"2026-12-08T14:50:00.490Z"},"protocolVersion":1,"provider":"codex",)"
      R"("sessionId":"codex:01a25419-3f7d-7d13-bbee-b12d34515bfa","state":"executingTool",)"
      R"("timestamp":"2026-12-08T14:50:01.311Z","type":"agent.tool.started","workingDirectory":"/home/dev/proj"})";
  if (!tarvel::decodeEventLine(line)) {
    state.SkipWithError("the line does not decode");
    return;
  }
  std::size_t allocations = 0;
  for (auto _ : state) {
    const std::size_t before = allocationCount.load(std::memory_order_relaxed);
    auto event = tarvel::decodeEventLine(line);
    benchmark::DoNotOptimize(event);
    allocations += allocationCount.load(std::memory_order_relaxed) - before;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_DecodeEventLine);

}  // namespace
