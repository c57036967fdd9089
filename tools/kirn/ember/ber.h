// The subset of BER (the basic encoding rules of ASN.1) that Ember+'s Glow messages use:
// single-byte tags (universal, application and context classes, numbers 0..30), definite lengths
// in their short and long forms and the indefinite form on reading, and the universal values
// INTEGER, BOOLEAN, UTF8String and RELATIVE-OID.
//
// Reading parses a whole message into a flat tree of TLVs at once, under limits on depth and
// count, so that the Glow layer walks a tree that is known to be well formed. Writing always uses
// definite lengths: consumers are known to mishandle indefinite ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kirn::ember {

// Tag classes as they stand in the top two bits of a tag byte.
enum class TagClass : uint8_t { kUniversal = 0, kApplication = 1, kContext = 2, kPrivate = 3 };

// Universal tag numbers used here.
inline constexpr uint32_t kBoolean = 1;
inline constexpr uint32_t kInteger = 2;
inline constexpr uint32_t kReal = 9;
inline constexpr uint32_t kUtf8String = 12;
inline constexpr uint32_t kRelativeOid = 13;
inline constexpr uint32_t kSequence = 16;
inline constexpr uint32_t kSet = 17;

// The tag byte of a constructed application tag [APPLICATION n] and of an explicit context tag
// [n] (always constructed in Glow). REQUIRES: n <= 30.
constexpr uint8_t Application(uint32_t n) {
  return static_cast<uint8_t>(0x60 | n);
}
constexpr uint8_t Context(uint32_t n) {
  return static_cast<uint8_t>(0xA0 | n);
}
inline constexpr uint8_t kSequenceTag = 0x30;
inline constexpr uint8_t kSetTag = 0x31;

struct BerLimits {
  // Nesting of constructed TLVs.
  int max_depth = 64;
  // TLVs in one message.
  size_t max_tlvs = 1u << 18;
};

// One TLV of a parsed message. For a constructed TLV the children follow as a linked list of
// indices into the tree; for a primitive one `offset` and `length` locate its value bytes.
struct Tlv {
  TagClass cls = TagClass::kUniversal;
  bool constructed = false;
  uint32_t number = 0;
  size_t offset = 0;
  size_t length = 0;
  int first_child = -1;
  int next_sibling = -1;
};

class BerTree {
 public:
  // Parses `data` (which must stay alive while the tree is used): exactly one TLV, nothing after
  // it. False with `error` set when the bytes are not well formed or exceed `limits`: a tag
  // number above 30 or of several bytes, a length of more than 4 bytes or past the data, an
  // indefinite length on a primitive TLV, an end-of-contents marker out of place, too deep, too
  // many TLVs.
  bool Parse(const uint8_t* data, size_t size, const BerLimits& limits, std::string* error);

  const Tlv& at(int index) const { return tlvs_[static_cast<size_t>(index)]; }
  int root() const { return tlvs_.empty() ? -1 : 0; }
  size_t size() const { return tlvs_.size(); }

  // The first child of `parent` with this class and number; -1 when none (or not constructed).
  int Child(int parent, TagClass cls, uint32_t number) const;
  // The only child of an explicit tag (its wrapped value); -1 when it has none.
  int Inner(int parent) const { return parent < 0 ? -1 : at(parent).first_child; }

  // Values of primitive TLVs; false when the TLV is not of that universal type or its value does
  // not read (an integer of more than 8 bytes, an arc of more than 32 bits).
  bool Integer(int index, int64_t* value) const;
  bool Boolean(int index, bool* value) const;
  bool Utf8(int index, std::string* value) const;
  bool RelativeOid(int index, std::vector<uint32_t>* arcs) const;

 private:
  // Parses one TLV at `pos` (below `end`) as a child of `parent`; returns the position after it,
  // or 0 with error_ set. `*index` receives its index.
  size_t ParseOne(size_t pos, size_t end, int depth, int* index);
  // The value bytes of a primitive universal TLV of type `number`, or nullptr.
  const uint8_t* Value(int index, uint32_t number) const;

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  BerLimits limits_;
  std::vector<Tlv> tlvs_;
  std::string error_;
};

// Writes BER with definite lengths. Begin() opens a constructed TLV whose length is filled in by
// the matching End(); values are written whole.
class BerWriter {
 public:
  void Begin(uint8_t tag);
  // Closes the last Begin(); nothing when none is open.
  void End();
  // An explicit context tag [n] around one value.
  void ContextInteger(uint32_t n, int64_t value);
  void ContextUtf8(uint32_t n, std::string_view value);
  void ContextBoolean(uint32_t n, bool value);
  void ContextRelativeOid(uint32_t n, const std::vector<uint32_t>& arcs);

  void Integer(int64_t value);
  void Boolean(bool value);
  void Utf8(std::string_view value);
  void RelativeOid(const std::vector<uint32_t>& arcs);
  void RelativeOid(const uint32_t* arcs, size_t count);

  // Every Begin() has been ended.
  bool closed() const { return open_.empty(); }
  size_t size() const { return out_.size(); }
  const std::vector<uint8_t>& bytes() const { return out_; }
  std::vector<uint8_t> Take();
  void Reserve(size_t bytes) { out_.reserve(bytes); }
  // Appends TLVs written elsewhere, whole.
  void Append(const uint8_t* bytes, size_t size) { out_.insert(out_.end(), bytes, bytes + size); }

 private:
  void Primitive(uint8_t tag, const uint8_t* value, size_t length);
  void Length(size_t length);

  std::vector<uint8_t> out_;
  std::vector<size_t> open_;  // where each open TLV's tag byte is
};

}  // namespace kirn::ember
