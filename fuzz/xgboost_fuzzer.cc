// The boosted-tree file goes through both stages that outside bytes reach:
// the record decoder with its generic tree values, then the conversion of
// every tree into TreeNodes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "models/model_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto file = vesko::decode_xgboost_model(std::span<const std::uint8_t>(data, size));
  if (!file) {
    if (file.error().empty()) __builtin_trap();
    return 0;
  }
  auto model = vesko::collect_tree_nodes(std::move(file).value());
  if (!model && std::string_view(model.error()).substr(0, 28) != "Failed to deserialize tree: ") {
    __builtin_trap();
  }
  return 0;
}
