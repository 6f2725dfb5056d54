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

// Decodes one tree value from `p`; "<error>" + message on failure.
json tree_value(const Pack& p, std::string* error = nullptr) {
  MsgpackReader reader(p.bytes());
  Marker m;
  json out;
  if (!reader.read_marker(m) || !decode_value(reader, m, out)) {
    if (error) *error = reader.error();
    return json("<error>");
  }
  return out;
}

std::string tree_value_error(const Pack& p) {
  std::string error;
  tree_value(p, &error);
  return error;
}

TEST(TreeValue, Kinds) {
  EXPECT_TRUE(tree_value(Pack().nil()).is_null());
  EXPECT_TRUE(tree_value(Pack().f64(NAN)).is_null());
  EXPECT_TRUE(tree_value(Pack().f32(-INFINITY)).is_null());
  EXPECT_TRUE(tree_value(Pack().i8(5)).is_number_unsigned());
  EXPECT_TRUE(tree_value(Pack().sint(-5)).is_number_integer());
  EXPECT_FALSE(tree_value(Pack().sint(-5)).is_number_unsigned());
  EXPECT_EQ(tree_value(Pack().f32(0.5f)), json(0.5));
  EXPECT_EQ(tree_value(Pack().str("f3")), json("f3"));
  // Keys sorted by bytes; the later of two equal keys wins; later keys may be binary.
  json obj = tree_value(
      Pack().map(4).str("leaf").uint(1).str("b").nil().bin("leaf").uint(2).str("a").array(0));
  EXPECT_EQ(obj.dump(), R"({"a":[],"b":null,"leaf":2})");
  EXPECT_EQ(tree_value(Pack().map(0)), json::object());
}

TEST(TreeValue, Messages) {
  const struct {
    Pack bytes;
    const char* message;
  } cases[] = {
      {Pack().bin("x"), "invalid type: byte array, expected any valid JSON value"},
      {Pack().raw({0xd4, 0x01, 0x00}),
       "invalid type: newtype struct, expected any valid JSON value"},
      {Pack().raw({0xc1}), "wrong msgpack marker Reserved"},
      {Pack().str("\xed\xa0\x80"),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {Pack().map(1).uint(0).nil(), "invalid type: integer `0`, expected a string key"},
      {Pack().map(1).bin("k").nil(), "invalid type: byte array, expected a string key"},
      {Pack().map(1).array(0).nil(), "invalid type: sequence, expected a string key"},
      {Pack().map(2).str("a").nil().uint(0).nil(), "invalid type: integer `0`, expected a string"},
      {Pack().map(2).str("a").nil().bin("\xff").nil(),
       "invalid value: byte array, expected a string"},
      {Pack().map(2).str("a").nil().str("\xff").nil(),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {Pack().array(2).nil(), "IO error while reading marker: failed to fill whole buffer"},
  };
  for (const auto& c : cases) EXPECT_EQ(tree_value_error(c.bytes), c.message);
}

// One tree converted as load converts it: the node, or the conversion text
// without the "Failed to deserialize tree: " that collect_tree_nodes puts
// before it.
Expected<TreeNode> tree_node_from_value(const json& value) {
  XGBoostModelFile file;
  file.trees.push_back(value);
  Expected<XGBoostModel> model = collect_tree_nodes(std::move(file));
  if (!model)
    return Failure{model.error().substr(std::string("Failed to deserialize tree: ").size())};
  return std::move(model->trees[0]);
}

std::string node_error(const json& value) {
  auto node = tree_node_from_value(value);
  return node ? "<ok>" : node.error();
}

TEST(TreeNodeFromValue, ObjectAndArrayForms) {
  auto leaf = tree_node_from_value(json::parse(R"({"nodeid": 4, "leaf": 2, "yes": null,
      "Leaf": "ignored", "nodeId": "ignored", "split_condition": -1})"));
  ASSERT_TRUE(leaf) << leaf.error();
  EXPECT_EQ(leaf->nodeid, 4u);
  EXPECT_EQ(leaf->leaf, 2.0);
  EXPECT_EQ(leaf->split_condition, -1.0);
  EXPECT_FALSE(leaf->yes || leaf->split || leaf->no || leaf->missing);
  EXPECT_TRUE(leaf->children.empty());

  auto split = tree_node_from_value(json::parse(R"({"nodeid": 0, "split": "f12",
      "split_condition": 0.5, "yes": 1, "no": 2, "missing": 1,
      "children": [[1, null, null, null, null, null, 0.25], [2]]})"));
  ASSERT_TRUE(split) << split.error();
  EXPECT_EQ(split->split, "f12");
  EXPECT_EQ(split->no, 2u);
  ASSERT_EQ(split->children.size(), 2u);
  EXPECT_EQ(split->children[0].leaf, 0.25);
  EXPECT_EQ(split->children[1].nodeid, 2u);
  EXPECT_FALSE(split->children[1].leaf.has_value());

  auto parent =
      tree_node_from_value(json::parse(R"({"nodeid": 0, "children": [[5], {"nodeid": 6}]})"));
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->children.at(1).nodeid, 6u);
}

TEST(TreeNodeFromValue, Messages) {
  const struct {
    const char* value;
    const char* message;
  } cases[] = {
      {R"({"leaf": 1})", "missing field `nodeid`"},
      {R"({"nodeId": 1})", "missing field `nodeid`"},
      {R"({"nodeid": 1.5})", "invalid type: floating point `1.5`, expected usize"},
      {R"({"nodeid": 1.0})", "invalid type: floating point `1.0`, expected usize"},
      {R"({"nodeid": 1e16})", "invalid type: floating point `1e16`, expected usize"},
      {R"({"nodeid": 1e-7})", "invalid type: floating point `1e-7`, expected usize"},
      {R"({"nodeid": 0.00012})", "invalid type: floating point `0.00012`, expected usize"},
      {R"({"nodeid": 1234567890123456.0})",
       "invalid type: floating point `1234567890123456.0`, expected usize"},
      {R"({"nodeid": -2.5e-30})", "invalid type: floating point `-2.5e-30`, expected usize"},
      {R"({"nodeid": -1})", "invalid value: integer `-1`, expected usize"},
      {R"({"nodeid": null})", "invalid type: null, expected usize"},
      {R"({"nodeid": true})", "invalid type: boolean `true`, expected usize"},
      {R"({"nodeid": "a\"b"})", R"(invalid type: string "a\"b", expected usize)"},
      {R"({"nodeid": 0, "yes": -3})", "invalid value: integer `-3`, expected usize"},
      {R"({"nodeid": 0, "no": [1]})", "invalid type: sequence, expected usize"},
      {R"({"nodeid": 0, "missing": {}})", "invalid type: map, expected usize"},
      {R"({"nodeid": 0, "split": 3})", "invalid type: integer `3`, expected a string"},
      {R"({"nodeid": 0, "leaf": "x"})", R"(invalid type: string "x", expected f64)"},
      {R"({"nodeid": 0, "split_condition": false})", "invalid type: boolean `false`, expected f64"},
      {R"({"nodeid": 0, "children": null})", "invalid type: null, expected a sequence"},
      {R"({"nodeid": 0, "children": {}})", "invalid type: map, expected a sequence"},
      // children convert first, so the child's error wins over the node's own.
      {R"({"nodeid": -1, "children": [{"nodeid": 1.5}]})",
       "invalid type: floating point `1.5`, expected usize"},
      // In the array form the node's own elements come first.
      {R"([-1, null, null, null, null, null, null, [{"nodeid": 1.5}]])",
       "invalid value: integer `-1`, expected usize"},
      {"[]", "invalid length 0, expected struct TreeNode with 8 elements"},
      {"[0, null, null, null, null, null, null, [], 9]",
       "invalid length 9, expected fewer elements in array"},
      {"[0, 1]", "invalid type: integer `1`, expected a string"},
      {"7", "invalid type: integer `7`, expected struct TreeNode"},
      {"\"t\"", "invalid type: string \"t\", expected struct TreeNode"},
      {"null", "invalid type: null, expected struct TreeNode"},
  };
  for (const auto& c : cases) EXPECT_EQ(node_error(json::parse(c.value)), c.message) << c.value;
}

TEST(CollectTreeNodes, FirstFailingTreeWinsAndEmptyIsFine) {
  XGBoostModelFile empty;
  empty.base_score = 0.25;
  empty.classes = {"clean", "spam"};
  auto none = collect_tree_nodes(empty);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->trees.empty());
  EXPECT_EQ(none->base_score, 0.25);
  EXPECT_EQ(none->classes.size(), 2u);

  XGBoostModelFile file;
  file.trees = {json::parse("[1]"), json::parse("[2]"), json::parse(R"({"leaf": 1})"),
                json::parse("[]")};
  auto failed = collect_tree_nodes(file);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "Failed to deserialize tree: missing field `nodeid`");

  file.trees.resize(2);
  file.n_estimators = 2;
  auto two = collect_tree_nodes(file);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->trees[1].nodeid, 2u);
  EXPECT_EQ(two->n_estimators, 2u);
}

TEST(CollectTreeNodes, DeepestTreeTheBudgetAllows) {
  // Record array, trees array, then node maps nested through "children"
  // arrays: 2 + 2 * depth levels with the last node's map counted once.
  auto file_with_depth = [](int depth) {
    Pack p;
    p.array(5).array(1);
    for (int i = 0; i < depth; ++i) p.map(2).str("nodeid").uint(0).str("children").array(1);
    p.map(1).str("nodeid").uint(1);
    p.uint(1).f64(0.3).f64(0.5).strs({"clean", "spam"});
    return p;
  };
  auto deep = decode_xgboost_model(file_with_depth(510).bytes());
  ASSERT_TRUE(deep) << deep.error();
  auto model = collect_tree_nodes(std::move(deep).value());
  ASSERT_TRUE(model) << model.error();
  const TreeNode* node = &model->trees[0];
  int levels = 0;
  while (!node->children.empty()) {
    node = &node->children[0];
    ++levels;
  }
  EXPECT_EQ(levels, 510);
  EXPECT_EQ(node->nodeid, 1u);
  EXPECT_EQ(decode_xgboost_model(file_with_depth(511).bytes()).error(), "depth limit exceeded");
}

}  // namespace
}  // namespace vesko
