// Tree values as the decoder builds them, and their conversion into TreeNodes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "models/model_files.h"
#include "models/msgpack_builder.h"
#include "models/tree_value.h"

namespace vesko {
namespace {

using nlohmann::json;
using testing::Pack;

std::string type(const std::string& what, const std::string& expected) {
  return "invalid type: " + what + ", expected " + expected;
}

// One tree value decoded from `p`, or the message as a string value.
json tree_value(const Pack& p) {
  MsgpackReader reader(p.bytes());
  Marker m;
  json out;
  if (!reader.read_marker(m) || !decode_value(reader, m, out)) return reader.error();
  return out;
}

TEST(TreeValue, KindsAndMessages) {
  // NaN and the infinities read as null, so such a leaf is absent.
  EXPECT_TRUE(tree_value(Pack().nil()).is_null());
  EXPECT_TRUE(tree_value(Pack().f64(NAN)).is_null());
  EXPECT_TRUE(tree_value(Pack().f32(-INFINITY)).is_null());
  // Keys sorted by bytes; the later of two equal keys wins; later keys may be binary.
  const Pack object = Pack().map(4).str("leaf").uint(1).str("b").nil().bin("leaf").uint(2);
  EXPECT_EQ(tree_value(Pack(object).str("a").array(0)).dump(), R"({"a":[],"b":null,"leaf":2})");

  const std::string utf8 =
      "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0";
  const std::pair<Pack, std::string> cases[] = {
      {Pack().bin("x"), type("byte array", "any valid JSON value")},
      {Pack().raw({0xd4, 0x01, 0x00}), type("newtype struct", "any valid JSON value")},
      {Pack().raw({0xc1}), "wrong msgpack marker Reserved"},
      {Pack().str("\xed\xa0\x80"), utf8},
      {Pack().map(1).uint(0).nil(), type("integer `0`", "a string key")},
      {Pack().map(1).bin("k").nil(), type("byte array", "a string key")},
      {Pack().map(2).str("a").nil().uint(0).nil(), type("integer `0`", "a string")},
      {Pack().map(2).str("a").nil().bin("\xff").nil(),
       "invalid value: byte array, expected a string"},
      {Pack().map(2).str("a").nil().str("\xff").nil(), utf8},
      {Pack().array(2).nil(), "IO error while reading marker: failed to fill whole buffer"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(tree_value(bytes), message);
}

// Trees converted as load converts them: the nodes, or the first failing
// tree's message.
Expected<XGBoostModel> converted(std::initializer_list<const char*> trees) {
  XGBoostModelFile file;
  for (const char* tree : trees) file.trees.push_back(json::parse(tree));
  return collect_tree_nodes(std::move(file));
}

TEST(TreeNodeFromValue, ObjectAndArrayForms) {
  auto model = converted({R"({"nodeid": 4, "leaf": 2, "yes": null, "Leaf": "ignored",
                              "nodeId": "ignored", "split_condition": -1})",
                          R"({"nodeid": 0, "split": "f12", "split_condition": 0.5, "yes": 1,
                              "no": 2, "missing": 3,
                              "children": [[1, null, null, null, null, null, 0.25], [2]]})",
                          R"({"nodeid": 0, "children": [[5], {"nodeid": 6}]})"});
  ASSERT_TRUE(model) << model.error();
  const TreeNode& leaf = model->trees[0];
  EXPECT_TRUE(leaf.nodeid == 4 && leaf.leaf == 2.0 && leaf.split_condition == -1.0);
  EXPECT_FALSE(leaf.yes || leaf.split || leaf.no || leaf.missing || !leaf.children.empty());
  const TreeNode& split = model->trees[1];
  EXPECT_TRUE(split.split == "f12" && split.split_condition == 0.5 && !split.leaf);
  EXPECT_TRUE(split.yes == 1u && split.no == 2u && split.missing == 3u);
  ASSERT_EQ(split.children.size(), 2u);
  EXPECT_EQ(split.children[0].leaf, 0.25);
  EXPECT_TRUE(split.children[1].nodeid == 2 && !split.children[1].leaf);
  EXPECT_EQ(model->trees[2].children.at(1).nodeid, 6u);
}

TEST(TreeNodeFromValue, Messages) {
  const std::string usize = "usize";
  const std::pair<const char*, std::string> cases[] = {
      // clang-format off
      {R"({"leaf": 1})", "missing field `nodeid`"},
      {R"({"nodeId": 1})", "missing field `nodeid`"},
      {R"({"nodeid": 1.5})", type("floating point `1.5`", usize)},
      {R"({"nodeid": 1.0})", type("floating point `1.0`", usize)},
      {R"({"nodeid": 1e16})", type("floating point `1e16`", usize)},
      {R"({"nodeid": 1e-7})", type("floating point `1e-7`", usize)},
      {R"({"nodeid": 0.00012})", type("floating point `0.00012`", usize)},
      {R"({"nodeid": 1234567890123456.0})", type("floating point `1234567890123456.0`", usize)},
      {R"({"nodeid": -2.5e-30})", type("floating point `-2.5e-30`", usize)},
      {R"({"nodeid": -1})", "invalid value: integer `-1`, expected usize"},
      {R"({"nodeid": null})", type("null", usize)},
      {R"({"nodeid": true})", type("boolean `true`", usize)},
      {R"({"nodeid": "a\"b"})", type(R"(string "a\"b")", usize)},
      {R"({"nodeid": 0, "yes": -3})", "invalid value: integer `-3`, expected usize"},
      {R"({"nodeid": 0, "no": [1]})", type("sequence", usize)},
      {R"({"nodeid": 0, "missing": {}})", type("map", usize)},
      {R"({"nodeid": 0, "split": 3})", type("integer `3`", "a string")},
      {R"({"nodeid": 0, "leaf": "x"})", type(R"(string "x")", "f64")},
      {R"({"nodeid": 0, "split_condition": false})", type("boolean `false`", "f64")},
      {R"({"nodeid": 0, "children": null})", type("null", "a sequence")},
      {R"({"nodeid": 0, "children": {}})", type("map", "a sequence")},
      // children convert first, so the child's error wins over the node's own;
      {R"({"nodeid": -1, "children": [{"nodeid": 1.5}]})", type("floating point `1.5`", usize)},
      // in the array form the node's own elements come first.
      {R"([-1, null, null, null, null, null, null, [{"nodeid": 1.5}]])",
       "invalid value: integer `-1`, expected usize"},
      {"[]", "invalid length 0, expected struct TreeNode with 8 elements"},
      {"[0, null, null, null, null, null, null, [], 9]",
       "invalid length 9, expected fewer elements in array"},
      {"[0, 1]", type("integer `1`", "a string")},
      {"7", type("integer `7`", "struct TreeNode")},
      {"\"t\"", type("string \"t\"", "struct TreeNode")},
      {"null", type("null", "struct TreeNode")},
      // clang-format on
  };
  for (const auto& [value, message] : cases) {
    EXPECT_EQ(converted({value}).error(), "Failed to deserialize tree: " + message) << value;
  }
  // The first failing tree wins; no tree is no failure.
  EXPECT_EQ(converted({"[1]", "[2]", R"({"leaf": 1})", "[]"}).error(),
            "Failed to deserialize tree: missing field `nodeid`");
  EXPECT_TRUE(converted({}));
}

// Record array, trees array, then node maps nested through "children"
// arrays: 2 + 2 * depth levels with the last node's map counted once.
TEST(CollectTreeNodes, DeepestTreeTheBudgetAllows) {
  for (int depth : {510, 511}) {
    Pack p;
    p.array(5).array(1);
    for (int i = 0; i < depth; ++i) p.map(2).str("nodeid").uint(0).str("children").array(1);
    p.map(1).str("nodeid").uint(1).uint(1).f64(0.3).f64(0.5).strs({"clean", "spam"});
    auto file = decode_xgboost_model(p.bytes());
    auto model = file ? collect_tree_nodes(std::move(file).value()) : Failure{file.error()};
    ASSERT_EQ(model ? "<ok>" : model.error(), depth == 510 ? "<ok>" : "depth limit exceeded");
    if (!model) continue;
    const TreeNode* node = &model->trees[0];
    int levels = 0;
    for (; !node->children.empty(); ++levels) node = &node->children[0];
    EXPECT_TRUE(levels == depth && node->nodeid == 1);
  }
}

}  // namespace
}  // namespace vesko
