// A tiny MessagePack writer for tests: byte strings are spelled out in the
// test itself rather than kept as binary fixtures.
#ifndef VESKO_TESTS_MODELS_MSGPACK_BUILDER_H_
#define VESKO_TESTS_MODELS_MSGPACK_BUILDER_H_

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::testing {

class Pack {
 public:
  Pack& raw(std::initializer_list<int> bytes) {
    for (int b : bytes) out_.push_back(static_cast<std::uint8_t>(b));
    return *this;
  }
  Pack& append(const Pack& other) {
    out_.insert(out_.end(), other.out_.begin(), other.out_.end());
    return *this;
  }
  Pack& nil() { return raw({0xc0}); }
  Pack& boolean(bool v) { return raw({v ? 0xc3 : 0xc2}); }
  // Smallest unsigned form.
  Pack& uint(std::uint64_t v) {
    if (v < 128) return raw({static_cast<int>(v)});
    if (v <= 0xff) return raw({0xcc}).be(v, 1);
    if (v <= 0xffff) return raw({0xcd}).be(v, 2);
    return v <= 0xffffffff ? raw({0xce}).be(v, 4) : raw({0xcf}).be(v, 8);
  }
  // Smallest signed form for negative values.
  Pack& sint(std::int64_t v) {
    const auto bits = static_cast<std::uint64_t>(v);
    if (v >= 0) return uint(bits);
    if (v >= -32) return raw({static_cast<int>(bits & 0xff)});
    if (v >= -128) return raw({0xd0}).be(bits, 1);
    if (v >= -32768) return raw({0xd1}).be(bits, 2);
    return v >= INT32_MIN ? raw({0xd2}).be(bits, 4) : raw({0xd3}).be(bits, 8);
  }
  Pack& f64(double v) { return raw({0xcb}).be(std::bit_cast<std::uint64_t>(v), 8); }
  Pack& f32(float v) { return raw({0xca}).be(std::bit_cast<std::uint32_t>(v), 4); }
  Pack& str(std::string_view s) {
    if (s.size() < 32) {
      raw({0xa0 | static_cast<int>(s.size())});
    } else {
      s.size() <= 0xff ? raw({0xd9}).be(s.size(), 1) : raw({0xda}).be(s.size(), 2);
    }
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  Pack& bin(std::string_view s) {
    raw({0xc4}).be(s.size(), 1);
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  Pack& array(std::uint32_t n) { return head(n, 0x90, 0xdc); }
  Pack& map(std::uint32_t n) { return head(n, 0x80, 0xde); }
  Pack& floats(std::initializer_list<double> values) {
    array(static_cast<std::uint32_t>(values.size()));
    for (double v : values) f64(v);
    return *this;
  }
  Pack& strs(std::initializer_list<std::string_view> values) {
    array(static_cast<std::uint32_t>(values.size()));
    for (auto v : values) str(v);
    return *this;
  }

  std::span<const std::uint8_t> bytes() const { return out_; }
  const std::vector<std::uint8_t>& vec() const { return out_; }
  std::string as_string() const { return std::string(out_.begin(), out_.end()); }

 private:
  Pack& be(std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  // An array or map header: the fix form, else the 16-bit (`marker16`) or
  // 32-bit (`marker16` + 1) one.
  Pack& head(std::uint32_t n, int fix, int marker16) {
    if (n < 16) return raw({fix | static_cast<int>(n)});
    return n <= 0xffff ? raw({marker16}).be(n, 2) : raw({marker16 + 1}).be(n, 4);
  }
  std::vector<std::uint8_t> out_;
};

}  // namespace vesko::testing

#endif  // VESKO_TESTS_MODELS_MSGPACK_BUILDER_H_
