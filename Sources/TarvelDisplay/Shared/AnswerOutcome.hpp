#pragma once

#include <string>

namespace tarvel::Display {

// What an answer through the API came to, as an HTTP status and JSON body.
struct AnswerOutcome {
  int status = 200;
  std::string body;
};

}  // namespace tarvel::Display
