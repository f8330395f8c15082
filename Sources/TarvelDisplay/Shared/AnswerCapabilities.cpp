#include "TarvelDisplay/Shared/AnswerCapabilities.hpp"

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Random.hpp"

namespace tarvel::Display {
namespace {

AnswerOutcome refusal(int status, std::string_view text) {
  return {.status = status, .body = Coding::encode(Json{{"error", text}})};
}

}  // namespace

std::optional<std::string> AnswerCapabilities::issue(const UUID& replyId,
                                                     AgentReplyDecision decision) {
  auto secret = Random::hexadecimal(secretBytes);
  if (!secret) {
    return std::nullopt;
  }
  const std::scoped_lock guard(mutex);
  entries.emplace(*secret, Entry{.replyId = replyId, .decision = decision});
  order.push_back(*secret);
  while (order.size() > maximumKept) {
    entries.erase(order.front());
    order.pop_front();
  }
  return secret;
}

AnswerOutcome AnswerCapabilities::redeem(std::string_view secret, const AnswerFunction& answer,
                                         std::string_view from) {
  Entry taken;
  {
    const std::scoped_lock guard(mutex);
    const auto found = entries.find(std::string(secret));
    if (found == entries.end()) {
      return refusal(404, "no answer has this address (it may be too old)");
    }
    if (found->second.use != Use::unused) {
      return refusal(409, "this answer was already given");
    }
    found->second.use = Use::answering;
    taken = found->second;
  }
  const AnswerOutcome outcome =
      answer(taken.replyId, AgentReply{.replyId = taken.replyId, .decision = taken.decision}, from);
  const std::scoped_lock guard(mutex);
  const auto found = entries.find(std::string(secret));
  if (outcome.status == 200) {
    if (found != entries.end()) {
      found->second.use = Use::used;
    }
    return outcome;
  }
  if (found != entries.end()) {
    found->second.use = Use::unused;  // not given: the next try asks again
  }
  // The prompt is over (answered elsewhere, released, its agent went on) or long forgotten.
  if (outcome.status == 409 || outcome.status == 404) {
    return refusal(410, "this prompt no longer waits for an answer");
  }
  return outcome;
}

}  // namespace tarvel::Display
