#include "features/literal_set.h"

#include <algorithm>
#include <bit>
#include <deque>
#include <stdexcept>

namespace vesko {

LiteralSet::LiteralSet(const std::vector<std::string_view>& literals) {
  if (literals.empty() || literals.size() > kMaxLiterals) {
    throw std::invalid_argument("LiteralSet takes 1 to 128 literals");
  }
  literal_count_ = literals.size();
  for (std::string_view literal : literals) max_length_ = std::max(max_length_, literal.size());

  // Bytes that appear in no literal share class 0: they send every state back
  // to the root, and the table stays narrow.
  class_count_ = 1;
  for (std::string_view literal : literals) {
    if (literal.empty()) throw std::invalid_argument("LiteralSet literals must not be empty");
    for (char ch : literal) {
      auto b = static_cast<unsigned char>(ch);
      if (byte_class_[b] == 0) byte_class_[b] = static_cast<std::uint8_t>(class_count_++);
    }
  }

  // The trie, with -1 for a missing edge.
  std::vector<std::vector<int>> child(1, std::vector<int>(class_count_, -1));
  std::vector<LiteralMask> own(1);
  for (std::size_t id = 0; id < literals.size(); ++id) {
    int state = 0;
    for (char ch : literals[id]) {
      std::uint8_t cls = byte_class_[static_cast<unsigned char>(ch)];
      if (child[state][cls] < 0) {
        child[state][cls] = static_cast<int>(child.size());
        child.emplace_back(class_count_, -1);
        own.emplace_back();
      }
      state = child[state][cls];
    }
    own[state].set(id);
    all_.set(id);
  }

  // Breadth-first: complete the transitions through the failure links and let
  // every state report the literals of its failure chain too.
  const std::size_t states = child.size();
  std::vector<int> fail(states, 0);
  std::vector<std::vector<int>> next(states, std::vector<int>(class_count_, 0));
  std::deque<int> queue;
  for (std::size_t cls = 0; cls < class_count_; ++cls) {
    int c = child[0][cls];
    if (c >= 0) {
      next[0][cls] = c;
      queue.push_back(c);
    }
  }
  while (!queue.empty()) {
    int state = queue.front();
    queue.pop_front();
    own[state] |= own[fail[state]];
    for (std::size_t cls = 0; cls < class_count_; ++cls) {
      int c = child[state][cls];
      if (c >= 0) {
        fail[c] = next[fail[state]][cls];
        next[state][cls] = c;
        queue.push_back(c);
      } else {
        next[state][cls] = next[fail[state]][cls];
      }
    }
  }

  // Renumber: states without output first (the root among them, as 0), then
  // the output states from the next power of two of offsets on.
  std::vector<std::uint32_t> row(states);
  std::uint32_t plain = 0;
  for (std::size_t s = 0; s < states; ++s) {
    if (own[s].none()) row[s] = plain++;
  }
  const auto classes = static_cast<std::uint32_t>(class_count_);
  output_threshold_ = std::bit_ceil(plain * classes);
  first_output_row_ = (output_threshold_ + classes - 1) / classes;
  std::uint32_t output_row = first_output_row_;
  for (std::size_t s = 0; s < states; ++s) {
    if (own[s].any()) row[s] = output_row++;
  }
  next_offset_.assign(static_cast<std::size_t>(output_row) * classes, 0);
  outputs_.resize(states - plain);
  for (std::size_t s = 0; s < states; ++s) {
    for (std::size_t cls = 0; cls < class_count_; ++cls) {
      next_offset_[row[s] * class_count_ + cls] = row[next[s][cls]] * classes;
    }
    if (own[s].any()) outputs_[row[s] - first_output_row_] = own[s];
  }
}

LiteralMask LiteralSet::scan(const unsigned char* bytes, std::size_t size, std::uint32_t offset,
                             LiteralMask found) const {
  const std::uint32_t* next = next_offset_.data();
  for (std::size_t i = 0; i < size; ++i) {
    offset = next[offset + byte_class_[bytes[i]]];
    if (is_output(offset)) [[unlikely]] {
      found |= output(offset);
      if (found == all_) break;
    }
  }
  return found;
}

LiteralMask LiteralSet::find(std::string_view text) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  // Each byte costs a dependent table load, so the text is cut into kLanes
  // parts whose automata run in lockstep, their loads overlapping. Each part
  // but the last reads on max_length_ - 1 bytes into the next, so every
  // occurrence lies wholly within one part.
  const std::size_t part = size / kLanes;
  if (part < 4 * max_length_) return scan(bytes, size, 0, LiteralMask());
  const std::uint32_t* next = next_offset_.data();
  std::uint32_t offsets[kLanes] = {};
  LiteralMask found;
  const unsigned char* parts[kLanes];
  for (std::size_t lane = 0; lane < kLanes; ++lane) parts[lane] = bytes + lane * part;
  for (std::size_t i = 0; i < part; ++i) {
    std::uint32_t any = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      offsets[lane] = next[offsets[lane] + byte_class_[parts[lane][i]]];
      any |= offsets[lane];
    }
    if (is_output(any)) [[unlikely]] {
      for (std::uint32_t offset : offsets) {
        if (is_output(offset)) found |= output(offset);
      }
      if (found == all_) return found;
    }
  }
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    const std::size_t from = lane * part + part;
    const std::size_t to = lane + 1 < kLanes ? from + max_length_ - 1 : size;
    found = scan(bytes + from, to - from, offsets[lane], found);
  }
  return found;
}

}  // namespace vesko
