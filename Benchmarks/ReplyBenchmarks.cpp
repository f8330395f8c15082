#include <stdlib.h>

#include <filesystem>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/AgentReplyPromptBuilder.hpp"
#include "TarvelCore/Hooks/ProviderDecisionMapper.hpp"
#include "TarvelCore/Sockets/UnixReplyClient.hpp"
#include "TarvelCore/Sockets/UnixReplyServer.hpp"

namespace {

using namespace tarvel;

// One whole reply exchange: a hook thread registers, the display answers, the hook returns.
void registerAndAnswer(benchmark::State& state) {
  std::string directory = "/tmp/tarvel-replybench-XXXXXX";
  if (::mkdtemp(directory.data()) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::filesystem::path socket = std::filesystem::path(directory) / "reply.sock";
  UnixReplyServer server(socket, {});
  if (server.start()) {
    state.SkipWithError("start failed");
    return;
  }
  for (auto _ : state) {
    const UUID id = UUID::random();
    std::optional<AgentReply> result;
    std::thread hook([&] { result = UnixReplyClient::awaitReply(id, socket, 10); });
    while (!server.submit(AgentReply{.replyId = id, .decision = AgentReplyDecision::allow})) {
      std::this_thread::yield();
    }
    hook.join();
    benchmark::DoNotOptimize(result);
  }
  server.stop();
  std::filesystem::remove_all(directory);
}
BENCHMARK(registerAndAnswer)->UseRealTime();

const char* questionDocument =
    R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"AskUserQuestion",)"
    R"("tool_input":{"questions":[{"question":"Which file?","header":"Files","multiSelect":true,)"
    R"("options":[{"label":"src/a.txt","description":"first"},{"label":"src/b.txt"}]},)"
    R"({"question":"Run tests?","options":[{"label":"Yes"},{"label":"No"}]}]}})";

void buildQuestionPrompt(benchmark::State& state) {
  const AgentHookPayload payload = *AgentHookInput::decode(questionDocument);
  const UUID id = UUID::random();
  for (auto _ : state) {
    benchmark::DoNotOptimize(AgentReplyPromptBuilder::make(payload, id));
  }
}
BENCHMARK(buildQuestionPrompt);

void mapQuestionAnswer(benchmark::State& state) {
  const AgentHookPayload payload = *AgentHookInput::decode(questionDocument);
  const AgentReply reply{
      .replyId = UUID::random(),
      .decision = AgentReplyDecision::allow,
      .answers = std::map<std::string, std::vector<std::string>>{
          {"Which file?", {"src/a.txt", "src/b.txt"}}, {"Run tests?", {"Yes"}}}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ProviderDecisionMapper::data(AgentProvider::claudeCode, payload, reply));
  }
}
BENCHMARK(mapQuestionAnswer);

}  // namespace
