// Turns fuzzer bytes into the nine MessagePack files of a model set: small
// vocabularies of the kinds of terms each tokenizer makes, idf, scalers of
// every kind and length, the four classifiers, boosted trees with
// shared, repeated and missing children, and the meta classifier; each
// record in map, index or array form. About one set in four disagrees with
// itself (lengths and columns that do not fit), and now and then a file has
// a byte corrupted. Choices fall back to the plain one when the bytes run
// out, so a short input gives a small, well-formed set.
#ifndef VESKO_FUZZ_MODEL_SET_WRITER_H_
#define VESKO_FUZZ_MODEL_SET_WRITER_H_

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/msgpack_builder.h"
#include "valid_utf8.h"

namespace vesko::fuzz {

using testing::Pack;

constexpr std::size_t kFeatures = 29;
// Deep enough for chains of split nodes that name one child for two or three
// branches, whose walk over every branch doubles with each level; the input's
// bytes bound the size of every tree.
constexpr int kMaxTreeDepth = 16;

// Words the vocabularies and the e-mails share, so that e-mails hit columns.
constexpr std::string_view kWords[] = {"free",   "money", "click", "here",   "meeting", "viagra",
                                       "the",    "win",   "prize", "naïve",  "straße",  "日本語",
                                       "emoji😀", "x1",    "42",    "subject"};

// One record field: its name, its value, and what stands in for it when it
// is left out of an array form before a field that is present.
struct Field {
  const char* name;
  std::optional<Pack> value;  // absent: not given
  Pack placeholder;
};

class ModelSetWriter {
 public:
  // Decides first whether this model set agrees with itself: about one in
  // four disagree, with lengths and columns that do not fit each other.
  explicit ModelSetWriter(FuzzedDataProvider& in) : in_(in), disagree_(rarely(4)) {}

  // True once in `n` draws, never once the bytes run out, so that a short
  // input yields a plain model set rather than an odd one.
  bool rarely(int n) { return in_.ConsumeIntegralInRange(1, n) == n; }

  // Mostly small, ordinary values; now and then the ones arithmetic trips on.
  double number() {
    switch (in_.ConsumeIntegralInRange(0, 15)) {
      case 1:
        return 0.0;
      case 2:
        return -0.0;
      case 3:
        return std::numeric_limits<double>::quiet_NaN();
      case 4:
        return std::numeric_limits<double>::infinity();
      case 5:
        return -std::numeric_limits<double>::infinity();
      case 6:
        return 1e300;
      case 7:
        return in_.ConsumeFloatingPoint<double>();
      case 8:
        return 1.0;
      default:
        return in_.ConsumeFloatingPointInRange(-4.0, 4.0);
    }
  }

  void write_number(Pack& p, double v) {
    switch (in_.ConsumeIntegralInRange(0, 7)) {
      case 1:
        p.f32(static_cast<float>(v));
        return;
      case 2:
        if (std::isfinite(v) && std::fabs(v) < 1e15) {
          p.sint(static_cast<std::int64_t>(v));
          return;
        }
        break;
      default:
        break;
    }
    p.f64(v);
  }

  // `expected` values; in a disagreeing set, now and then one short or one
  // long, none, or anything up to 40.
  std::size_t length_near(std::size_t expected) {
    if (!disagree_ || !rarely(3)) return expected;
    switch (in_.ConsumeIntegralInRange(0, 3)) {
      case 1:
        return expected + 1;
      case 2:
        return 0;
      case 3:
        return in_.ConsumeIntegralInRange<std::size_t>(0, 40);
      default:
        return expected == 0 ? 0 : expected - 1;
    }
  }

  Pack floats(std::size_t count) {
    Pack p;
    if (rarely(32)) {
      // A list of floats also accepts binary data, one float per byte.
      p.bin(in_.ConsumeBytesAsString(count));
      return p;
    }
    p.array(static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) write_number(p, number());
    return p;
  }

  Pack classes() {
    Pack p;
    const std::size_t n = rarely(6) ? 3 : 2;
    p.array(static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) p.str(i == 0 ? "clean" : "spam");
    return p;
  }

  Pack matrix(std::size_t rows, std::size_t columns) {
    Pack p;
    p.array(static_cast<std::uint32_t>(rows));
    for (std::size_t r = 0; r < rows; ++r) p.append(floats(length_near(columns)));
    return p;
  }

  // A linear model has a single row or one per class; a disagreeing set may
  // have none or three.
  std::size_t class_rows(std::size_t usual) {
    if (disagree_ && rarely(3)) return in_.ConsumeBool() ? 0 : 3;
    return usual;
  }

  std::string word() {
    return std::string(kWords[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kWords) - 1)]);
  }

  // Three code points out of a word and its neighbour, spaces included.
  std::string trigram() {
    const std::string text = " " + word() + " " + word() + " ";
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    }
    starts.push_back(text.size());
    const std::size_t first = in_.ConsumeIntegralInRange<std::size_t>(0, starts.size() - 4);
    return text.substr(starts[first], starts[first + 3] - starts[first]);
  }

  // A term of the kind the model's tokenizer makes (file number 1 to 4), or
  // now and then any text.
  std::string term(int model) {
    if (rarely(16)) {
      const std::string raw = in_.ConsumeRandomLengthString(12);
      return make_valid_utf8(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
    }
    switch (model) {
      case 1:
        return word();
      case 2:
        return word() + " " + word();
      case 3:
        return trigram();
      default:
        return in_.ConsumeBool() ? word() : word() + " " + word();
    }
  }

  // A column for term i of n: its own, or now and then another one of the
  // n (two terms, one column); in a disagreeing set also one just past them
  // or far beyond anything.
  std::uint64_t column(std::size_t i, std::size_t n) {
    if (!rarely(8)) return i;
    switch (in_.ConsumeIntegralInRange(0, disagree_ ? 3 : 0)) {
      case 1:
        return in_.ConsumeIntegralInRange<std::uint64_t>(n, n + 2);
      case 2:
        return std::uint64_t{1} << 32;
      case 3:
        return std::numeric_limits<std::uint64_t>::max();
      default:
        return in_.ConsumeIntegralInRange<std::uint64_t>(0, n == 0 ? 0 : n - 1);
    }
  }

  // The fields as an array in declaration order that stops after the last
  // field given (and holds at least `minimum` elements); the fields not given
  // before it are their placeholders.
  static Pack array_form(const std::vector<Field>& fields, std::size_t minimum) {
    std::size_t last = minimum;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].value) last = i + 1;
    }
    Pack p;
    p.array(static_cast<std::uint32_t>(last));
    for (std::size_t i = 0; i < last; ++i) {
      p.append(fields[i].value ? *fields[i].value : fields[i].placeholder);
    }
    return p;
  }

  // Encodes the fields as a map keyed by name, a map keyed by index, or an
  // array in declaration order that stops after the last field given.
  Pack record(std::vector<Field>& fields) {
    Pack p;
    const int form = in_.ConsumeIntegralInRange(0, 2);
    if (form == 2) return array_form(fields, 0);
    const bool unknown_key = rarely(8);
    std::uint32_t given = unknown_key ? 1 : 0;
    for (const Field& f : fields) given += f.value ? 1 : 0;
    p.map(given);
    if (unknown_key) p.str("comment").str("ignored");
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!fields[i].value) continue;
      if (form == 0) {
        p.str(fields[i].name);
      } else {
        p.uint(i);
      }
      p.append(*fields[i].value);
    }
    return p;
  }

  template <typename Make>
  std::optional<Pack> sometimes(int one_in, Make make) {
    if (in_.ConsumeIntegralInRange(0, one_in - 1) == 0) return std::nullopt;
    return make();
  }

  // One value on its own, for a field.
  template <typename Write>
  static Pack one(Write write) {
    Pack p;
    write(p);
    return p;
  }
  static Pack nil() {
    return one([](Pack& p) { p.nil(); });
  }
  static Pack text(std::string_view s) {
    return one([&](Pack& p) { p.str(s); });
  }
  static Pack uint(std::uint64_t v) {
    return one([&](Pack& p) { p.uint(v); });
  }
  Pack some_number() {
    return one([&](Pack& p) { write_number(p, number()); });
  }

  Pack scaler_vector() {
    if (rarely(8)) return nil();
    return floats(length_near(kFeatures));
  }

  // Returns the record and its vocabulary size (the model's TF-IDF columns).
  Pack tfidf(int model, std::size_t& columns) {
    columns = in_.ConsumeIntegralInRange<std::size_t>(0, 6);
    Pack vocabulary;
    vocabulary.map(static_cast<std::uint32_t>(columns));
    for (std::size_t i = 0; i < columns; ++i) {
      vocabulary.str(term(model)).uint(column(i, columns));
    }
    static constexpr const char* kScalerTypes[] = {"standard", "minmax", "none", "", "Standard"};
    static constexpr const char* kNorms[] = {"l2", "l1", "none", ""};
    std::vector<Field> fields = {
        {"vocabulary", vocabulary, {}},
        {"idf", floats(length_near(columns)), {}},
        {"max_features", uint(in_.ConsumeIntegral<std::uint16_t>()), {}},
        {"sublinear_tf",
         sometimes(2, [&] { return one([&](Pack& p) { p.boolean(in_.ConsumeBool()); }); }),
         one([](Pack& p) { p.boolean(false); })},
        {"norm", sometimes(2, [&] { return text(kNorms[in_.ConsumeIntegralInRange(0, 3)]); }),
         text("l2")},
        {"scaler_type",
         sometimes(4, [&] { return text(kScalerTypes[in_.ConsumeIntegralInRange(0, 4)]); }), nil()},
        {"scaler_mean", sometimes(3, [&] { return scaler_vector(); }), nil()},
        {"scaler_scale", sometimes(3, [&] { return scaler_vector(); }), nil()},
        {"scaler_min", sometimes(3, [&] { return scaler_vector(); }), nil()},
    };
    return record(fields);
  }

  Pack naive_bayes(std::size_t columns) {
    return weights_per_class("feature_log_prob", "class_log_prior", 2, columns);
  }

  Pack logistic(std::size_t inputs) {
    std::vector<Field> fields = {
        {"coef", matrix(class_rows(1), inputs), {}},
        {"intercept", floats(length_near(1)), {}},
        {"classes", classes(), {}},
        {"scaler_mean", sometimes(2, [&] { return floats(length_near(inputs)); }), nil()},
        {"scaler_scale", sometimes(2, [&] { return floats(length_near(inputs)); }), nil()},
    };
    return record(fields);
  }

  Pack svm(std::size_t columns) { return weights_per_class("coef", "intercept", 1, columns); }

  // A record of weight rows over a model's columns and its features, one
  // offset per row, and the classes: naive Bayes and the linear SVM.
  Pack weights_per_class(const char* rows, const char* offsets, std::size_t classes_near,
                         std::size_t columns) {
    std::vector<Field> fields = {
        {rows, matrix(class_rows(classes_near), columns + kFeatures), {}},
        {offsets, floats(length_near(classes_near)), {}},
        {"classes", classes(), {}},
    };
    return record(fields);
  }

  // "f" and a column index most often, else the spellings the index parser
  // must read as 0 or as a column far away.
  std::string split(std::size_t inputs) {
    static constexpr const char* kOdd[] = {"",
                                           "f",
                                           "F3",
                                           "f+2",
                                           "ff1",
                                           "f-1",
                                           "f+",
                                           "f 1",
                                           "feature",
                                           "f99999999999999999999",
                                           "f18446744073709551615",
                                           "f007"};
    if (rarely(6)) {
      return kOdd[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kOdd) - 1)];
    }
    return "f" + std::to_string(in_.ConsumeIntegralInRange<std::size_t>(0, inputs + 1));
  }

  static Pack optional_id(std::optional<std::uint64_t> id) { return id ? uint(*id) : nil(); }

  // One node and its subtree. A split node has up to three children whose
  // ids its yes, no and missing mostly name; now and then they name one
  // child twice or three times, a child that is not there, or nothing, and a
  // split node may carry a leaf value as well.
  Pack node(std::uint64_t id, int depth, std::size_t inputs) {
    const bool leaf_only = depth >= kMaxTreeDepth || in_.ConsumeIntegralInRange(0, 2) == 0;
    std::optional<Pack> leaf, split_name, condition, yes, no, missing, children;
    if (leaf_only) {
      leaf = some_number();
    } else {
      split_name = sometimes(16, [&] { return text(split(inputs)); });
      condition = sometimes(16, [&] { return some_number(); });
      const std::size_t n_children = in_.ConsumeIntegralInRange<std::size_t>(0, 3);
      std::vector<std::uint64_t> ids;
      for (std::size_t c = 0; c < n_children; ++c) {
        // Ids mostly distinct; now and then a repeat, which the walk must
        // resolve to the first child that carries it.
        ids.push_back(c > 0 && rarely(8) ? ids[0] : id * 3 + 1 + c);
      }
      auto target = [&]() -> std::optional<std::uint64_t> {
        const int pick = in_.ConsumeIntegralInRange(0, 7);
        if (pick == 5) return std::nullopt;
        if (pick == 6) return id * 3 + 10;  // no such child
        if (ids.empty()) return std::nullopt;
        return ids[static_cast<std::size_t>(pick) % ids.size()];
      };
      const std::optional<std::uint64_t> y = target();
      if (rarely(6)) {  // one child for every branch
        yes = optional_id(y);
        no = optional_id(y);
        missing = optional_id(y);
      } else {
        yes = sometimes(8, [&] { return optional_id(y); });
        no = sometimes(8, [&] { return optional_id(target()); });
        missing = sometimes(4, [&] { return optional_id(target()); });
      }
      Pack list;
      list.array(static_cast<std::uint32_t>(n_children));
      for (std::uint64_t child : ids) list.append(node(child, depth + 1, inputs));
      children = list;
      if (rarely(8)) leaf = some_number();
    }
    std::vector<Field> fields = {
        {"nodeid", uint(id), {}},
        {"split", split_name, nil()},
        {"split_condition", condition, nil()},
        {"yes", yes, nil()},
        {"no", no, nil()},
        {"missing", missing, nil()},
        {"leaf", leaf, nil()},
        {"children", children, one([](Pack& p) { p.array(0); })},
    };
    // A node is an object keyed by name or an array by position; keys by
    // index are not node fields.
    Pack p;
    if (rarely(6)) return array_form(fields, 1);
    std::uint32_t given = 0;
    for (const Field& f : fields) given += f.value ? 1 : 0;
    p.map(given);
    for (const Field& f : fields) {
      if (f.value) p.str(f.name).append(*f.value);
    }
    return p;
  }

  Pack xgboost(std::size_t columns) {
    const std::size_t inputs = columns + kFeatures;
    const std::size_t n_trees = in_.ConsumeIntegralInRange<std::size_t>(0, 5);
    Pack trees;
    trees.array(static_cast<std::uint32_t>(n_trees));
    for (std::size_t t = 0; t < n_trees; ++t) trees.append(node(0, 0, inputs));
    static constexpr double kBaseScores[] = {0.5, 0.3, 0.0, 1.0, -0.5, 2.0};
    const double base_score = rarely(4) ? number() : kBaseScores[in_.ConsumeIntegralInRange(0, 5)];
    std::vector<Field> fields = {
        {"trees", trees, {}},
        {"n_estimators", uint(n_trees), {}},
        {"learning_rate", one([](Pack& p) { p.f64(0.3); }), {}},
        {"base_score", one([&](Pack& p) { write_number(p, base_score); }), {}},
        {"classes", classes(), {}},
    };
    return record(fields);
  }

  // Corrupts one byte now and then, so that the decoders' failures are met
  // in the middle of a load as well.
  std::vector<std::uint8_t> bytes_of(const Pack& p) {
    std::vector<std::uint8_t> bytes = p.vec();
    if (!bytes.empty() && rarely(64)) {
      const std::size_t at = in_.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1);
      bytes[at] = in_.ConsumeIntegral<std::uint8_t>();
    }
    return bytes;
  }

  std::string email() {
    static constexpr std::string_view kGlue[] = {
        " ", "  ", "\n", ", ", "! ", "\nSubject: ", " http://x.example/a ", " $100 ", "\t", "..."};
    std::string text;
    const std::size_t pieces = in_.ConsumeIntegralInRange<std::size_t>(0, 12);
    for (std::size_t i = 0; i < pieces; ++i) {
      if (rarely(6)) {
        const std::string raw = in_.ConsumeRandomLengthString(24);
        text += make_valid_utf8(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
      } else {
        std::string w = word();
        if (rarely(4)) w[0] = static_cast<char>(std::toupper(w[0]));
        text += w;
      }
      text += kGlue[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kGlue) - 1)];
    }
    return text;
  }

 private:
  FuzzedDataProvider& in_;
  const bool disagree_;
};

}  // namespace vesko::fuzz

#endif  // VESKO_FUZZ_MODEL_SET_WRITER_H_
