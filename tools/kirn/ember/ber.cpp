#include "tools/kirn/ember/ber.h"

#include <cstring>

namespace kirn::ember {

bool BerTree::Parse(const uint8_t* data, size_t size, const BerLimits& limits, std::string* error) {
  data_ = data;
  size_ = size;
  limits_ = limits;
  tlvs_.clear();
  error_.clear();
  int index = -1;
  size_t end = size == 0 ? 0 : ParseOne(0, size, 1, &index);
  if (size == 0) error_ = "empty message";
  if (end != 0 && end != size) error_ = "bytes after the message";
  if (!error_.empty()) {
    tlvs_.clear();
    if (error) *error = error_;
    return false;
  }
  return true;
}

size_t BerTree::ParseOne(size_t pos, size_t end, int depth, int* index) {
  if (depth > limits_.max_depth) {
    error_ = "nested too deep";
    return 0;
  }
  if (tlvs_.size() >= limits_.max_tlvs) {
    error_ = "too many elements";
    return 0;
  }
  if (pos >= end) {
    error_ = "a tag past the end";
    return 0;
  }
  const uint8_t tag = data_[pos++];
  if ((tag & 0x1F) == 0x1F) {
    error_ = "a tag number of several bytes";
    return 0;
  }
  Tlv t;
  t.cls = static_cast<TagClass>(tag >> 6);
  t.constructed = (tag & 0x20) != 0;
  t.number = tag & 0x1F;
  if (t.cls == TagClass::kUniversal && t.number == 0) {
    error_ = "an end-of-contents marker out of place";
    return 0;
  }
  if (pos >= end) {
    error_ = "a length past the end";
    return 0;
  }
  const uint8_t first = data_[pos++];
  bool indefinite = false;
  size_t length = 0;
  if (first < 0x80) {
    length = first;
  } else if (first == 0x80) {
    indefinite = true;
  } else {
    const size_t n = first & 0x7F;
    if (n > 4) {
      error_ = "a length of more than 4 bytes";
      return 0;
    }
    if (end - pos < n) {
      error_ = "a length past the end";
      return 0;
    }
    for (size_t i = 0; i < n; ++i) length = (length << 8) | data_[pos++];
  }
  if (indefinite && !t.constructed) {
    error_ = "an indefinite length on a primitive value";
    return 0;
  }
  if (!indefinite && length > end - pos) {
    error_ = "a value past the end of its container";
    return 0;
  }
  t.offset = pos;
  t.length = indefinite ? 0 : length;
  *index = static_cast<int>(tlvs_.size());
  tlvs_.push_back(t);
  if (!t.constructed) return pos + length;

  const size_t stop = indefinite ? end : pos + length;
  int last = -1;
  while (true) {
    if (indefinite) {
      if (stop - pos >= 2 && data_[pos] == 0 && data_[pos + 1] == 0) {
        pos += 2;
        break;
      }
      if (pos >= stop) {
        error_ = "an indefinite length without its end";
        return 0;
      }
    } else if (pos >= stop) {
      break;
    }
    int child = -1;
    pos = ParseOne(pos, stop, depth + 1, &child);
    if (pos == 0) return 0;
    if (last < 0) {
      tlvs_[static_cast<size_t>(*index)].first_child = child;
    } else {
      tlvs_[static_cast<size_t>(last)].next_sibling = child;
    }
    last = child;
  }
  return pos;
}

int BerTree::Child(int parent, TagClass cls, uint32_t number) const {
  if (parent < 0 || !at(parent).constructed) return -1;
  for (int c = at(parent).first_child; c >= 0; c = at(c).next_sibling) {
    if (at(c).cls == cls && at(c).number == number) return c;
  }
  return -1;
}

const uint8_t* BerTree::Value(int index, uint32_t number) const {
  if (index < 0) return nullptr;
  const Tlv& t = at(index);
  if (t.cls != TagClass::kUniversal || t.constructed || t.number != number) return nullptr;
  return data_ + t.offset;
}

bool BerTree::Integer(int index, int64_t* value) const {
  const uint8_t* p = Value(index, kInteger);
  if (!p) return false;
  const size_t n = at(index).length;
  if (n == 0 || n > 8) return false;
  uint64_t v = (p[0] & 0x80) ? ~uint64_t{0} : 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  *value = static_cast<int64_t>(v);
  return true;
}

bool BerTree::Boolean(int index, bool* value) const {
  const uint8_t* p = Value(index, kBoolean);
  if (!p || at(index).length != 1) return false;
  *value = p[0] != 0;
  return true;
}

bool BerTree::Utf8(int index, std::string* value) const {
  const uint8_t* p = Value(index, kUtf8String);
  if (!p) return false;
  value->assign(reinterpret_cast<const char*>(p), at(index).length);
  return true;
}

bool BerTree::RelativeOid(int index, std::vector<uint32_t>* arcs) const {
  const uint8_t* p = Value(index, kRelativeOid);
  if (!p) return false;
  arcs->clear();
  const size_t n = at(index).length;
  uint64_t arc = 0;
  int bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    if (++bytes > 5) return false;
    arc = (arc << 7) | (p[i] & 0x7F);
    if ((p[i] & 0x80) == 0) {
      if (arc > 0xFFFFFFFFu) return false;
      arcs->push_back(static_cast<uint32_t>(arc));
      arc = 0;
      bytes = 0;
    }
  }
  // An arc whose last byte still had the high bit: cut short.
  return bytes == 0;
}

void BerWriter::Begin(uint8_t tag) {
  open_.push_back(out_.size());
  out_.push_back(tag);
  out_.push_back(0);  // the length, short form until End() knows better
}

void BerWriter::End() {
  if (open_.empty()) return;
  const size_t start = open_.back();
  open_.pop_back();
  const size_t length = out_.size() - start - 2;
  if (length < 0x80) {
    out_[start + 1] = static_cast<uint8_t>(length);
    return;
  }
  uint8_t bytes[4];
  size_t n = 0;
  for (size_t v = length; v != 0; v >>= 8) bytes[n++] = static_cast<uint8_t>(v & 0xFF);
  out_[start + 1] = static_cast<uint8_t>(0x80 | n);
  out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(start + 2), n, 0);
  for (size_t i = 0; i < n; ++i) out_[start + 2 + i] = bytes[n - 1 - i];
}

void BerWriter::Length(size_t length) {
  if (length < 0x80) {
    out_.push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t bytes[4];
  size_t n = 0;
  for (size_t v = length; v != 0; v >>= 8) bytes[n++] = static_cast<uint8_t>(v & 0xFF);
  out_.push_back(static_cast<uint8_t>(0x80 | n));
  for (size_t i = 0; i < n; ++i) out_.push_back(bytes[n - 1 - i]);
}

void BerWriter::Primitive(uint8_t tag, const uint8_t* value, size_t length) {
  out_.push_back(tag);
  Length(length);
  out_.insert(out_.end(), value, value + length);
}

void BerWriter::Integer(int64_t value) {
  // The shortest two's complement form: drop leading bytes that only repeat the sign.
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (56 - 8 * i));
  int first = 0;
  while (first < 7 && ((bytes[first] == 0x00 && (bytes[first + 1] & 0x80) == 0) ||
                       (bytes[first] == 0xFF && (bytes[first + 1] & 0x80) != 0))) {
    ++first;
  }
  Primitive(kInteger, bytes + first, static_cast<size_t>(8 - first));
}

void BerWriter::Boolean(bool value) {
  const uint8_t b = value ? 0xFF : 0x00;
  Primitive(kBoolean, &b, 1);
}

void BerWriter::Utf8(std::string_view value) {
  Primitive(kUtf8String, reinterpret_cast<const uint8_t*>(value.data()), value.size());
}

void BerWriter::RelativeOid(const std::vector<uint32_t>& arcs) {
  RelativeOid(arcs.data(), arcs.size());
}

void BerWriter::RelativeOid(const uint32_t* arcs, size_t count) {
  // Five bytes at most an arc: written in place, cut to what was used.
  out_.push_back(kRelativeOid);
  Length(0);
  const size_t length_at = out_.size() - 1;
  const size_t start = out_.size();
  out_.resize(start + 5 * count);
  uint8_t* out = out_.data() + start;
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    uint8_t groups[5];
    int g = 0;
    uint32_t v = arcs[i];
    do {
      groups[g++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v != 0);
    while (g > 0) {
      --g;
      out[n++] = static_cast<uint8_t>(groups[g] | (g > 0 ? 0x80 : 0));
    }
  }
  out_.resize(start + n);
  if (n < 0x80) {
    out_[length_at] = static_cast<uint8_t>(n);
    return;
  }
  // A long form: the length bytes go in before the value.
  uint8_t bytes[4];
  size_t k = 0;
  for (size_t v = n; v != 0; v >>= 8) bytes[k++] = static_cast<uint8_t>(v & 0xFF);
  out_[length_at] = static_cast<uint8_t>(0x80 | k);
  out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(start), k, 0);
  for (size_t i = 0; i < k; ++i) out_[start + i] = bytes[k - 1 - i];
}

void BerWriter::ContextInteger(uint32_t n, int64_t value) {
  Begin(Context(n));
  Integer(value);
  End();
}

void BerWriter::ContextUtf8(uint32_t n, std::string_view value) {
  Begin(Context(n));
  Utf8(value);
  End();
}

void BerWriter::ContextBoolean(uint32_t n, bool value) {
  Begin(Context(n));
  Boolean(value);
  End();
}

void BerWriter::ContextRelativeOid(uint32_t n, const std::vector<uint32_t>& arcs) {
  Begin(Context(n));
  RelativeOid(arcs);
  End();
}

std::vector<uint8_t> BerWriter::Take() {
  std::vector<uint8_t> out;
  out.swap(out_);
  open_.clear();
  return out;
}

}  // namespace kirn::ember
