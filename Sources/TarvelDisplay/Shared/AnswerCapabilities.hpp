#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelDisplay/Shared/AnswerOutcome.hpp"

namespace tarvel::Display {

// Answer addresses that carry their own authority: each is a secret of 256 random bits bound to
// one prompt and one decision, handed out in a message (a phone's push) so that whoever holds it
// may give that one answer without the page's token. An address answers once: used, it is
// refused (409); once its prompt is no longer waiting, it is refused as gone (410); an address
// never handed out, or forgotten, is not found (404).
// Thread: every function may be called from any thread; `mutex` guards the table, and no lock
// is held while an answer is delivered.
class AnswerCapabilities {
 public:
  // The service's own answer: (replyId, reply, the surface it came from) to an outcome.
  using AnswerFunction =
      std::function<AnswerOutcome(const UUID&, const AgentReply&, std::string_view from)>;

  // Addresses remembered; beyond this the oldest are forgotten.
  static constexpr std::size_t maximumKept = 4096;
  // Random bytes in one (64 hexadecimal digits in the address).
  static constexpr std::size_t secretBytes = 32;

  // A new secret that answers `replyId` with `decision` (allow or deny); absent when the kernel
  // gives no random bytes.
  std::optional<std::string> issue(const UUID& replyId, AgentReplyDecision decision);

  // Gives the answer `secret` stands for through `answer`, as coming from `from`.
  AnswerOutcome redeem(std::string_view secret, const AnswerFunction& answer,
                       std::string_view from);

 private:
  enum class Use { unused, answering, used };
  struct Entry {
    UUID replyId;
    AgentReplyDecision decision = AgentReplyDecision::deny;
    Use use = Use::unused;
  };

  mutable std::mutex mutex;
  std::unordered_map<std::string, Entry> entries;
  std::deque<std::string> order;  // oldest first, to forget the oldest
};

}  // namespace tarvel::Display
