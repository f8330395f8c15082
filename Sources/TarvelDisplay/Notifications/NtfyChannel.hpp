#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "TarvelCore/Platform/WorkQueue.hpp"
#include "TarvelDisplay/Notifications/NtfyMessage.hpp"
#include "TarvelDisplay/Shared/AnswerCapabilities.hpp"
#include "TarvelDisplay/Shared/Answerers.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

struct NtfyOptions {
  NtfyMessage::Topic topic;
  // Sent as "Authorization: Bearer …" with every message; absent: none.
  std::optional<std::string> token;
  // Allow and Deny buttons, each an answer address under `publicBase`.
  bool answers = false;
  // The question and the command in the message.
  bool detail = true;
  // Where a phone reaches this service's page and answer addresses ("https://host:port");
  // absent: no Open and no answer buttons.
  std::optional<std::string> publicBase;
  // A session that finishes or fails after running longer than this gets a plain message.
  std::optional<std::chrono::seconds> finishedAfter;
  // How long an agent that shows no dialog of its own while its hook waits is held when only the
  // phone can answer (its message says so; the service lets it go then).
  std::chrono::seconds phoneHold{30};
  // A message or a look at the server that takes longer has failed.
  std::chrono::milliseconds timeout{5000};
};

// Pushes to a phone through an ntfy server: one message per live prompt (with answer buttons
// whose addresses `capabilities` issues, when asked) and one per session that finished after a
// long run, posted as JSON to the server's root on a thread of its own, so that publishing never
// holds the service's thread or an answer. The phone counts among `answerers` while the last
// message was taken: a message that fails (refused, an HTTP error, no answer within the time-out)
// is logged once per outage ("ntfy") and the phone is detached, so that the service lets go of
// the prompts nobody else can answer; it is attached again once the server answers a look at its
// health (after 2 s, doubling up to a minute) or a message is taken. It is first attached once
// the server answers at all.
// Thread: start() and stop() from one thread; `hub`, `answerers` and `capabilities` must outlive
// the channel. stop() returns at once when the hub is closed, otherwise within about a second.
class NtfyChannel {
 public:
  NtfyChannel(const StateHub& hub, NtfyOptions options, Answerers& answerers,
              AnswerCapabilities& capabilities);
  ~NtfyChannel();
  NtfyChannel(const NtfyChannel&) = delete;
  NtfyChannel& operator=(const NtfyChannel&) = delete;
  NtfyChannel(NtfyChannel&&) = delete;
  NtfyChannel& operator=(NtfyChannel&&) = delete;

  void start();
  // Ends the thread (a message underway is given up) and detaches the phone.
  void stop();

  struct Connection;

 private:
  void run();

  const StateHub& hub;
  NtfyOptions options;
  Answerers& answerers;
  AnswerCapabilities& capabilities;
  std::atomic<bool> stopping{false};
  LabeledThread thread;
};

}  // namespace tarvel::Display
