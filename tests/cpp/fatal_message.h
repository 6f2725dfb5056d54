// The message of the FatalError a call throws, or "no failure": failures are
// compared by their exact text.
#ifndef VESKO_TESTS_FATAL_MESSAGE_H_
#define VESKO_TESTS_FATAL_MESSAGE_H_

#include <string>

#include "common/fatal_error.h"

namespace vesko {

template <typename Call>
std::string fatal_message(Call&& call) {
  try {
    call();
  } catch (const FatalError& error) {
    return error.what();
  }
  return "no failure";
}

}  // namespace vesko

#endif  // VESKO_TESTS_FATAL_MESSAGE_H_
