// Any byte string must decode to a record or to one message; the sanitizers
// catch every read past the input and every leak on the way out.
#include <cstddef>
#include <cstdint>
#include <span>

#include "models/model_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto record = vesko::decode_naive_bayes_model(std::span<const std::uint8_t>(data, size));
  if (!record && record.error().empty()) __builtin_trap();  // every failure says why
  return 0;
}
