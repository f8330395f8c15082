#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "TarvelDisplay/History/AnswerHistory.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"

namespace tarvel::Display {

// What became of the prompts that ended: the last few for every surface that showed them
// ("endedPrompts"), the outcome a session shows from its last prompt's end until its next event
// ("sessionOutcomes"), and one row of the answer history each. A prompt may end before its
// waiting event arrives (released at registration): its row waits for the event, for a while.
// Thread: every function from any thread; `mutex` guards everything.
class PromptEndings {
 public:
  static constexpr std::size_t keptEndings = 32;
  // Sessions whose outcome is kept; beyond this the oldest outcome goes.
  static constexpr std::size_t keptOutcomes = 1024;
  // Endings that wait for their event; one waiting longer than this is forgotten.
  static constexpr std::chrono::minutes eventWait{1};

  // `history` (may be null: no rows) must outlive this object.
  explicit PromptEndings(AnswerHistory* history) : history(history) {}

  // `prompt` ended: `outcome` ("allowed", "denied", "answered", "answeredInAgent", "released"),
  // `by` as AnswerRecord::by says. Its session shows it until sessionWentOn().
  void ended(const LivePrompt& prompt, std::string_view outcome, std::string_view by,
             Date endedAt);
  // The prompt `replyId` ended before its waiting event arrived.
  void endedBeforeItsEvent(const UUID& replyId, std::string_view outcome, std::string_view by,
                           Date endedAt);
  // The waiting event of a prompt that had already ended; false when no ending waited for it.
  bool arrived(const LivePrompt& prompt);
  // The session's next event: the outcome of its last prompt is no longer what it shows.
  void sessionWentOn(const std::string& sessionId);

  // {replyId, sessionId, outcome, by, endedAt}, oldest first.
  Json encodedEndings() const;
  // {sessionId: {outcome, by, endedAt}}.
  Json encodedSessionOutcomes() const;

 private:
  struct Ending {
    UUID replyId;
    std::string sessionId;
    std::string outcome;
    std::string by;
    Date endedAt{};
  };
  void endLocked(const LivePrompt& prompt, const Ending& ending);

  AnswerHistory* history;
  mutable std::mutex mutex;
  std::deque<Ending> endings;  // newest last
  std::map<std::string, Ending> outcomes;  // by session id
  std::map<UUID, Ending> unseen;            // ended before their event
};

}  // namespace tarvel::Display
