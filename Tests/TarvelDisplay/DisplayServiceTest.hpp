#pragma once

#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Support/ChildProcess.hpp"
#include "Support/Fixtures.hpp"
#include "Support/TemporaryHome.hpp"
#include "Support/Waiting.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"

// The fixture of the service's tests: a real `tarvel serve` in a home of the test's own, real
// hooks, and the API over its socket.
namespace tarvel::Display {

using Testing::ChildProcess;
using Testing::eventually;
using Testing::program;

// The status line of the answer to a GET of `path` over `socket`, or to `request` as written;
// empty when none comes.
inline std::string statusLine(const UniqueFd& socket, const std::string& path,
                              std::string request = {}) {
  if (request.empty()) {
    request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  }
  if (!socket || ::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
                     static_cast<ssize_t>(request.size())) {
    return {};
  }
  std::string answer;
  char byte = 0;
  while (!answer.ends_with("\r\n") && ::recv(socket.get(), &byte, 1, 0) == 1) {
    answer.push_back(byte);
  }
  return answer.ends_with("\r\n") ? answer.substr(0, answer.size() - 2) : std::string();
}

// A real `tarvel serve` in a temporary HOME, real hooks, and the API over its socket.
class DisplayServiceTest : public ::testing::Test {
 protected:
  // The programs end before their home goes.
  void TearDown() override {
    hooks.clear();
    service.reset();
  }

  // By default prompts are held for answers through the API alone, as scripts answer them.
  std::unique_ptr<ChildProcess> startService(
      const std::vector<std::string>& options = {"--hold-without-answerers"}) {
    std::vector<std::string> command{program("tarvel"), "serve"};
    command.insert(command.end(), options.begin(), options.end());
    auto process = std::make_unique<ChildProcess>(command, home);
    EXPECT_TRUE(eventually([&] {
      return UnixSocketSupport::isPathAccepting(directory / "api.sock") || process->hasEnded();
    })) << process->standardError();
    return process;
  }

  ChildProcess& startHook(const std::string& document,
                          const std::string& provider = "claude-code") {
    hooks.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{program("tarvel-hook"), "--provider", provider}, home, document));
    return *hooks.back();
  }

  // Reads the event stream (as an answerer of `kind` unless empty) until stopped.
  struct Reader {
    std::atomic<bool> stop{false};
    std::thread thread;
    ~Reader() { end(); }
    void end() {
      stop = true;
      if (thread.joinable()) {
        thread.join();
      }
    }
  };
  std::unique_ptr<Reader> attach(const std::string& kind) {
    auto reader = std::make_unique<Reader>();
    reader->thread = std::thread([this, kind, raw = reader.get()] {
      ApiClient::readEvents(
          directory / "api.sock", [](std::string_view, std::string_view) {}, raw->stop, kind);
    });
    return reader;
  }

  std::vector<std::string> answererKinds() {
    std::vector<std::string> kinds;
    for (const Json& entry : state().value("answerers", Json::array())) {
      kinds.push_back(entry.value("kind", ""));
      EXPECT_TRUE(Dates::parseISO8601(entry.value("since", ""))) << entry.dump();
    }
    return kinds;
  }
  void waitForAnswerers(const std::vector<std::string>& kinds) {
    EXPECT_TRUE(eventually([&] { return answererKinds() == kinds; }))
        << "answerers: " << state().value("answerers", Json::array()).dump();
  }

  ApiClient::Response api(std::string_view method, std::string_view path,
                          std::string_view body = {}) {
    // Generous: a busy machine may keep the service from answering for a few seconds.
    auto response =
        ApiClient::request(directory / "api.sock", method, path, body, Testing::generousBound);
    EXPECT_TRUE(response) << (response ? "" : response.error());
    return response ? *response : ApiClient::Response{};
  }

  Json state() {
    auto parsed = Coding::parse(api("GET", "/v1/state").body);
    return parsed ? *parsed : Json::object();
  }

  // The live prompts' replyIds by session id, once there are `count` of them.
  std::map<std::string, std::string> waitForPrompts(std::size_t count) {
    std::map<std::string, std::string> prompts;
    EXPECT_TRUE(eventually([&] {
      prompts.clear();
      const Json now = state();
      for (const Json& prompt : now.value("prompts", Json::array())) {
        prompts[prompt["sessionId"].get<std::string>()] = prompt["replyId"].get<std::string>();
      }
      return prompts.size() == count;
    })) << "live prompts: "
        << prompts.size();
    return prompts;
  }

  Testing::TemporaryFolder temporary{"service"};
  const std::filesystem::path home = temporary.path;
  const std::filesystem::path directory = home / ".tarvel";
  std::unique_ptr<ChildProcess> service;
  std::vector<std::unique_ptr<ChildProcess>> hooks;
};

}  // namespace tarvel::Display
