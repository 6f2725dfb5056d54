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
    if (v <= 0xffffffff) return raw({0xce}).be(v, 4);
    return raw({0xcf}).be(v, 8);
  }
  // Smallest signed form for negative values.
  Pack& sint(std::int64_t v) {
    if (v >= 0) return uint(static_cast<std::uint64_t>(v));
    if (v >= -32) return raw({static_cast<int>(static_cast<std::uint8_t>(v))});
    if (v >= -128) return raw({0xd0}).be(static_cast<std::uint64_t>(v), 1);
    if (v >= -32768) return raw({0xd1}).be(static_cast<std::uint64_t>(v), 2);
    if (v >= INT32_MIN) return raw({0xd2}).be(static_cast<std::uint64_t>(v), 4);
    return raw({0xd3}).be(static_cast<std::uint64_t>(v), 8);
  }
  Pack& i8(std::int8_t v) { return raw({0xd0, static_cast<std::uint8_t>(v)}); }
  Pack& f64(double v) { return raw({0xcb}).be(std::bit_cast<std::uint64_t>(v), 8); }
  Pack& f32(float v) { return raw({0xca}).be(std::bit_cast<std::uint32_t>(v), 4); }
  Pack& str(std::string_view s) {
    if (s.size() < 32) {
      raw({0xa0 | static_cast<int>(s.size())});
    } else if (s.size() <= 0xff) {
      raw({0xd9}).be(s.size(), 1);
    } else {
      raw({0xda}).be(s.size(), 2);
    }
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  Pack& bin(std::string_view s) {
    raw({0xc4}).be(s.size(), 1);
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  Pack& array(std::uint32_t n) {
    if (n < 16) return raw({0x90 | static_cast<int>(n)});
    if (n <= 0xffff) return raw({0xdc}).be(n, 2);
    return raw({0xdd}).be(n, 4);
  }
  Pack& map(std::uint32_t n) {
    if (n < 16) return raw({0x80 | static_cast<int>(n)});
    if (n <= 0xffff) return raw({0xde}).be(n, 2);
    return raw({0xdf}).be(n, 4);
  }
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
  std::vector<std::uint8_t> out_;
};

}  // namespace vesko::testing

#endif  // VESKO_TESTS_MODELS_MSGPACK_BUILDER_H_
