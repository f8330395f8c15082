#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "TarvelCore/Sockets/UnixSocketClient.hpp"
#include "TarvelDisplay/DisplayServiceTest.hpp"
#include "TarvelDisplay/Service/DisplayService.hpp"
#include "TarvelDisplay/Service/SessionStore.hpp"

namespace tarvel::Display {
namespace {

// What the service shows is saved and loads again, within the bounds of the sessions file.
using namespace std::chrono_literals;
using Testing::agentDocument;
using Testing::TemporaryFolder;

TEST_F(DisplayServiceTest, NothingShownIsLostToAFailedSaveAStopOrTheBound) {
  service = startService();
  const auto saved = [&] {
    std::ifstream file(directory / "sessions.json");
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  const auto failures = [&] {
    const std::string text = service->standardError();
    std::size_t count = 0;
    for (auto at = text.find("could not be saved"); at != std::string::npos;
         at = text.find("could not be saved", at + 1)) {
      ++count;
    }
    return count;
  };
  const auto prompt = [&](const std::string& session) {
    std::string document = agentDocument("claude/UserPromptSubmit.json");
    const std::string original = "f4c0ee25-073b-4dab-af99-9e3fb0e47089";
    for (auto at = document.find(original); at != std::string::npos; at = document.find(original)) {
      document.replace(at, original.size(), session);
    }
    startHook(document).wait();
  };
  prompt("saved-first");
  ASSERT_TRUE(eventually([&] { return saved().find("saved-first") != std::string::npos; }));
  const auto failSaves = [&] {
    std::filesystem::remove(directory / "sessions.json");
    std::filesystem::create_directory(directory / "sessions.json");  // where the file goes
  };
  {
    SCOPED_TRACE("a failed save is tried again once it can succeed");
    failSaves();
    const std::size_t before = failures();
    prompt("after-a-failed-save");
    ASSERT_TRUE(eventually([&] { return failures() > before; })) << service->standardError();
    std::filesystem::remove(directory / "sessions.json");
    EXPECT_TRUE(eventually(
        [&] { return saved().find("after-a-failed-save") != std::string::npos; }));
  }
  {
    SCOPED_TRACE("a stop saves what a failed save left unsaved");
    failSaves();
    const std::size_t before = failures();
    prompt("before-the-stop");
    ASSERT_TRUE(eventually([&] { return failures() > before; })) << service->standardError();
    std::filesystem::remove(directory / "sessions.json");
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0) << service->standardError();
    EXPECT_NE(saved().find("before-the-stop"), std::string::npos);
  }
  {
    SCOPED_TRACE("sessions kept while running are bounded as saved ones, finished ones first");
    service = startService();
    std::string lines;
    const Date start = Dates::now();
    for (std::size_t number = 0; number < SessionStore::maximumSavedSessions + 100; ++number) {
      AgentEvent event{.type = AgentEventType::completed,
                       .sessionId = "finished-" + std::to_string(number),
                       .provider = AgentProvider::claudeCode,
                       .timestamp = start + std::chrono::milliseconds(number)};
      lines += encodeEventLine(event);
      if (number % 1000 == 999) {  // a connection carries at most a mebibyte
        ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
        lines.clear();
      }
    }
    ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
    prompt("active-last");
    // Connections are read side by side, so the prompt may be folded before the last finished
    // sessions: wait until the state holds every event sent. The cheap status is asked until
    // then, so that the test does not keep a slow (sanitized, busy) service busier with whole
    // states of thousands of sessions; folding them all may take minutes there.
    const std::uint64_t sent = SessionStore::maximumSavedSessions + 101;
    Json status;
    EXPECT_TRUE(eventually(
        [&] {
          const auto parsed = Coding::parse(api("GET", "/v1/status").body);
          status = parsed ? *parsed : Json::object();
          return status.value("eventsReceived", std::uint64_t{0}) >= sent &&
                 state().dump().find("active-last") != std::string::npos;
        },
        10min))
        << "last status: " << status.dump();
    const std::size_t shown = state()["sessions"].size();
    EXPECT_EQ(shown, SessionStore::maximumSavedSessions);
    const std::string listed = state().dump();
    EXPECT_NE(listed.find("saved-first"), std::string::npos);  // still running
    EXPECT_EQ(listed.find("finished-0\""), std::string::npos);  // the oldest finished went
    EXPECT_NE(listed.find("finished-599\""), std::string::npos);
  }
  {
    SCOPED_TRACE("another machine that floods the service keeps to its share; this one's stay");
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0) << service->standardError();
    std::filesystem::remove(directory / "sessions.json");
    service = startService();
    const Date start = Dates::now();
    const auto activeLine = [&](const std::string& session, std::optional<std::string> host,
                                std::size_t number) {
      AgentEvent event{.type = AgentEventType::toolStarted,
                       .sessionId = session,
                       .provider = AgentProvider::claudeCode,
                       .timestamp = start + std::chrono::milliseconds(number)};
      if (host) {
        event.origin = AgentOrigin{.host = std::move(host)};
      }
      return encodeEventLine(event);
    };
    ASSERT_FALSE(UnixSocketClient::sendBytes(activeLine("local-oldest", std::nullopt, 0),
                                             directory / "agent.sock"));
    const std::size_t flood = DisplayService::remoteHostShare + 500;
    std::string lines;
    for (std::size_t number = 0; number < flood; ++number) {
      lines += activeLine("far-" + std::to_string(number), "farhost", number + 1);
      if (number % 1000 == 999) {
        ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
        lines.clear();
      }
    }
    lines += activeLine("near-0", "nearhost", flood + 1);
    ASSERT_FALSE(UnixSocketClient::sendBytes(lines, directory / "agent.sock"));
    EXPECT_TRUE(eventually([&] {
      return state()["service"]["eventsReceived"].get<std::uint64_t>() >= flood + 2;
    }));
    std::size_t far = 0;
    std::string others;
    EXPECT_TRUE(eventually([&] {
      far = 0;
      others.clear();
      const Json now = state();
      for (const Json& session : now["sessions"]) {
        const std::string id = session["id"].get<std::string>();
        if (id.starts_with("far-")) {
          ++far;
        } else {
          others += id + " ";
        }
      }
      return far > 0 && far <= DisplayService::remoteHostShare;
    }));
    EXPECT_EQ(far, DisplayService::remoteHostShare);
    EXPECT_NE(others.find("local-oldest "), std::string::npos) << others;
    EXPECT_NE(others.find("near-0@nearhost "), std::string::npos) << others;
    const std::string listed = state().dump();
    EXPECT_EQ(listed.find("\"far-0@farhost\""), std::string::npos);  // the oldest of the flood went
    EXPECT_NE(listed.find("far-" + std::to_string(flood - 1) + "@farhost\""), std::string::npos);
  }
}

TEST(SessionStore, WhatIsSavedAlwaysLoadsAgainAndKeepsActiveSessionsFirst) {
  const TemporaryFolder folder("store");
  const std::filesystem::path file = folder.path / "sessions.json";
  std::vector<AgentSession> sessions;
  const Date start = Dates::now();
  for (int number = 0; number < 1200; ++number) {
    AgentSession session;
    session.id = "claude-code:s" + std::to_string(number);
    session.provider = AgentProvider::claudeCode;
    session.currentActivity = std::string(40000, 'x');
    session.updatedAt = start + std::chrono::seconds(number);
    session.startedAt = session.updatedAt;
    session.state = number % 10 == 0 ? AgentState::running : AgentState::completed;
    if (!session.isActive()) {
      session.completedAt = session.updatedAt;
    }
    sessions.push_back(std::move(session));
  }
  ASSERT_FALSE(SessionStore::save(file, sessions));
  EXPECT_LE(std::filesystem::file_size(file), SessionStore::maximumSavedBytes + 4096);
  const auto loaded = SessionStore::load(file);
  EXPECT_FALSE(loaded.message);
  ASSERT_FALSE(loaded.sessions.empty());
  EXPECT_LE(loaded.sessions.size(), SessionStore::maximumSavedSessions);
  // Every active session is kept; the finished ones left out are the oldest.
  const auto active = std::count_if(loaded.sessions.begin(), loaded.sessions.end(),
                                    [](const AgentSession& session) { return session.isActive(); });
  EXPECT_EQ(active, 120);
  const auto newestFinished =
      std::find_if(loaded.sessions.begin(), loaded.sessions.end(),
                   [](const AgentSession& session) { return session.id == "claude-code:s1199"; });
  EXPECT_NE(newestFinished, loaded.sessions.end());

  // Many sessions with full histories: every one is saved, each with the same number of its
  // newest events, as many as the events' bound lets through; with room for all, the file is the
  // encoder's own text.
  SessionList many;
  for (int number = 0; number < 300; ++number) {
    AgentEvent event{.sessionId = "claude-code:h" + std::to_string(number),
                     .provider = AgentProvider::claudeCode,
                     .activity = "Step 0",
                     .timestamp = start};
    AgentSession session = AgentSession::fromEvent(event);
    for (int step = 1; step < 50; ++step) {
      event.id = UUID::random();
      event.activity = "Step " + std::to_string(step);
      event.timestamp = start + std::chrono::milliseconds(step);
      session.apply(event);
    }
    many.emplace_back(std::move(session));
  }
  const auto decodeFile = [](const std::string& text) {
    std::vector<AgentSession> decoded;
    const auto parsed = Coding::parse(text);
    for (const Json& element : parsed->at("sessions")) {
      decoded.push_back(Codable<AgentSession>::decode(element, "sessions"));
    }
    return decoded;
  };
  const std::vector<AgentSession> trimmed = decodeFile(SessionStore::encodeBounded(
      many, SessionStore::maximumSavedSessions, SessionStore::maximumSavedBytes, 300 * 10 * 300));
  ASSERT_EQ(trimmed.size(), many.size());
  const std::size_t kept = trimmed.front().recentEvents.size();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, 50u);
  for (const AgentSession& session : trimmed) {
    ASSERT_EQ(session.recentEvents.size(), kept);
    EXPECT_EQ(session.recentEvents.front().activity, "Step 49");
    EXPECT_EQ(session.currentActivity, "Step 49");
  }
  const SessionList few(many.begin(), many.begin() + 3);
  std::vector<AgentSession> fewRecords;
  for (const SharedSession& session : few) {
    fewRecords.push_back(*session);
  }
  EXPECT_EQ(SessionStore::encodeBounded(few), SessionStore::encode(fewRecords));
}

TEST(SessionStore, SaveScheduleSavesAtMostOncePerInterval) {
  SessionStore::SaveSchedule schedule(std::chrono::milliseconds(1000));
  const auto start = SessionStore::SaveSchedule::Clock::now();
  EXPECT_FALSE(schedule.isDue(start));
  schedule.markChanged();
  EXPECT_TRUE(schedule.isDue(start));
  schedule.didSave(start);
  schedule.markChanged();
  EXPECT_FALSE(schedule.isDue(start + std::chrono::milliseconds(999)));
  EXPECT_TRUE(schedule.isDue(start + std::chrono::milliseconds(1000)));
}

}  // namespace
}  // namespace tarvel::Display
