#include "tools/kirn/ember/glow.h"

#include <cstring>

namespace kirn::ember {
namespace {

constexpr uint32_t kRootTag = 0;
constexpr uint32_t kParameterTag = 1;
constexpr uint32_t kCommandTag = 2;
constexpr uint32_t kNodeTag = 3;
constexpr uint32_t kElementCollectionTag = 4;
constexpr uint32_t kQualifiedParameterTag = 9;
constexpr uint32_t kQualifiedNodeTag = 10;
constexpr uint32_t kRootCollectionTag = 11;
constexpr uint32_t kMatrixTag = 13;
constexpr uint32_t kConnectionTag = 16;
constexpr uint32_t kQualifiedMatrixTag = 17;
constexpr uint32_t kLabelTag = 18;
constexpr uint32_t kFunctionTag = 19;
constexpr uint32_t kQualifiedFunctionTag = 20;

class Reader {
 public:
  Reader(const BerTree& tree, const GlowLimits& limits, std::vector<GlowRequest>* out)
      : t_(tree), limits_(limits), out_(out) {}

  bool Root(std::string* error) {
    const int root = t_.root();
    const Tlv& r = t_.at(root);
    if (r.cls != TagClass::kApplication || r.number != kRootTag || !r.constructed) {
      *error = "not a Glow root";
      return false;
    }
    const int collection = t_.Child(root, TagClass::kApplication, kRootCollectionTag);
    if (collection >= 0 && !Collection(collection, {})) {
      *error = error_;
      return false;
    }
    return true;
  }

 private:
  bool Fail(const char* why) {
    error_ = why;
    return false;
  }

  // A collection's items: each a [0] around one element.
  bool Collection(int collection, const Path& parent) {
    if (!t_.at(collection).constructed) return Fail("a collection that is not constructed");
    for (int item = t_.at(collection).first_child; item >= 0; item = t_.at(item).next_sibling) {
      const Tlv& i = t_.at(item);
      if (i.cls != TagClass::kContext || i.number != 0 || !i.constructed) {
        return Fail("a collection item that is not [0]");
      }
      const int element = t_.Inner(item);
      if (element < 0) return Fail("an empty collection item");
      if (!Element(element, parent)) return false;
    }
    return true;
  }

  bool Add(GlowRequest r) {
    if (out_->size() >= limits_.max_requests) return Fail("too many requests in one message");
    out_->push_back(std::move(r));
    return true;
  }

  bool Command(int element, const Path& path) {
    int64_t number = 0;
    if (!t_.Integer(t_.Inner(t_.Child(element, TagClass::kContext, 0)), &number)) {
      return Fail("a command without its number");
    }
    GlowRequest r;
    r.path = path;
    switch (number) {
      case kCommandGetDirectory:
        r.kind = GlowRequest::Kind::kGetDirectory;
        break;
      case kCommandSubscribe:
        r.kind = GlowRequest::Kind::kSubscribe;
        break;
      case kCommandUnsubscribe:
        r.kind = GlowRequest::Kind::kUnsubscribe;
        break;
      default:
        r.kind = GlowRequest::Kind::kOther;
        break;
    }
    return Add(std::move(r));
  }

  bool Element(int element, const Path& parent) {
    const Tlv& e = t_.at(element);
    if (e.cls != TagClass::kApplication || !e.constructed)
      return Fail("an element of no known kind");
    if (e.number == kCommandTag) return Command(element, parent);
    const bool numbered = e.number == kNodeTag || e.number == kParameterTag ||
                          e.number == kMatrixTag || e.number == kFunctionTag;
    const bool qualified = e.number == kQualifiedNodeTag || e.number == kQualifiedParameterTag ||
                           e.number == kQualifiedMatrixTag || e.number == kQualifiedFunctionTag;
    // Templates, streams, invocation results: nothing a router's provider answers.
    if (!numbered && !qualified) return true;
    const int id = t_.Inner(t_.Child(element, TagClass::kContext, 0));
    Path path;
    if (numbered) {
      int64_t number = 0;
      if (!t_.Integer(id, &number) || number < 0 || number > 0xFFFFFFFFll) {
        return Fail("an element without a number");
      }
      path = parent;
      path.push_back(static_cast<uint32_t>(number));
    } else if (!t_.RelativeOid(id, &path)) {
      return Fail("a qualified element without a path");
    }
    if (path.size() > limits_.max_path) return Fail("a path too long");

    // A command among the children: that is the whole request.
    const int children = t_.Inner(t_.Child(element, TagClass::kContext, 2));
    if (children >= 0) {
      const Tlv& c = t_.at(children);
      if (c.cls != TagClass::kApplication || c.number != kElementCollectionTag) {
        return Fail("children that are not an element collection");
      }
      bool command = false;
      for (int item = c.first_child; item >= 0; item = t_.at(item).next_sibling) {
        const int inner = t_.Inner(item);
        if (inner >= 0 && t_.at(inner).cls == TagClass::kApplication &&
            t_.at(inner).number == kCommandTag) {
          if (!Command(inner, path)) return false;
          command = true;
        }
      }
      if (command) return true;
    }
    const bool matrix = e.number == kMatrixTag || e.number == kQualifiedMatrixTag;
    const int connections = t_.Child(element, TagClass::kContext, 5);
    // Consumers send an empty connection list along with requests below the matrix.
    bool took = false;
    if (matrix && connections >= 0 && !Take(connections, path, &took)) return false;
    if (took) return true;
    const bool parameter = e.number == kParameterTag || e.number == kQualifiedParameterTag;
    if (parameter) {
      const int contents = t_.Inner(t_.Child(element, TagClass::kContext, 1));
      if (contents >= 0 && t_.Child(contents, TagClass::kContext, 2) >= 0) {
        GlowRequest r;
        r.kind = GlowRequest::Kind::kSetValue;
        r.path = path;
        return Add(std::move(r));
      }
    }
    if (children >= 0) return Collection(children, path);
    return true;
  }

  // Reads the connections of a take; `took` says whether there were any.
  bool Take(int connections, const Path& path, bool* took) {
    const int sequence = t_.Inner(connections);
    GlowRequest r;
    r.kind = GlowRequest::Kind::kTake;
    r.path = path;
    if (sequence < 0) return true;
    const Tlv& s = t_.at(sequence);
    if (s.cls != TagClass::kUniversal || s.number != kSequence || !s.constructed) {
      return Fail("connections that are not a sequence");
    }
    for (int item = s.first_child; item >= 0; item = t_.at(item).next_sibling) {
      const int c = t_.Inner(item);
      if (t_.at(item).cls != TagClass::kContext || t_.at(item).number != 0 || c < 0 ||
          t_.at(c).cls != TagClass::kApplication || t_.at(c).number != kConnectionTag) {
        return Fail("a connection of no known form");
      }
      if (++connections_ > limits_.max_connections) return Fail("too many connections");
      TakeConnection tc;
      if (!t_.Integer(t_.Inner(t_.Child(c, TagClass::kContext, 0)), &tc.target)) {
        return Fail("a connection without its target");
      }
      const int sources = t_.Child(c, TagClass::kContext, 1);
      if (sources >= 0 && !t_.RelativeOid(t_.Inner(sources), &tc.sources)) {
        return Fail("a connection whose sources do not read");
      }
      const int operation = t_.Child(c, TagClass::kContext, 2);
      if (operation >= 0) {
        int64_t op = 0;
        if (!t_.Integer(t_.Inner(operation), &op) || op < 0 || op > 2) {
          return Fail("a connection with an unknown operation");
        }
        tc.operation = static_cast<Operation>(op);
      }
      r.connections.push_back(std::move(tc));
    }
    if (r.connections.empty()) return true;
    *took = true;
    return Add(std::move(r));
  }

  const BerTree& t_;
  const GlowLimits& limits_;
  std::vector<GlowRequest>* out_;
  size_t connections_ = 0;
  std::string error_;
};

// Reads a provider's elements into GlowElement records.
class ElementReader {
 public:
  ElementReader(const BerTree& tree, const GlowLimits& limits, std::vector<GlowElement>* out)
      : t_(tree), limits_(limits), out_(out) {}

  bool Root() {
    const int root = t_.root();
    if (t_.at(root).cls != TagClass::kApplication || t_.at(root).number != kRootTag) {
      return Fail("not a Glow root");
    }
    const int collection = t_.Child(root, TagClass::kApplication, kRootCollectionTag);
    return collection < 0 || Collection(collection, {}, nullptr);
  }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const char* why) {
    error_ = why;
    return false;
  }
  bool Collection(int collection, const Path& parent, std::vector<Path>* paths) {
    for (int item = t_.at(collection).first_child; item >= 0; item = t_.at(item).next_sibling) {
      const int element = t_.Inner(item);
      if (element < 0) return Fail("an empty collection item");
      if (!Element(element, parent, paths)) return false;
    }
    return true;
  }
  // A context field's string (empty when absent).
  std::string Text(int set, uint32_t n) const {
    std::string s;
    t_.Utf8(t_.Inner(t_.Child(set, TagClass::kContext, n)), &s);
    return s;
  }
  bool Element(int element, const Path& parent, std::vector<Path>* paths) {
    const Tlv& e = t_.at(element);
    if (e.cls != TagClass::kApplication || !e.constructed)
      return Fail("an element of no known kind");
    GlowElement g;
    const int id = t_.Inner(t_.Child(element, TagClass::kContext, 0));
    switch (e.number) {
      case kCommandTag:
        g.type = GlowElement::Type::kCommand;
        g.path = parent;
        if (!t_.Integer(id, &g.command)) return Fail("a command without its number");
        out_->push_back(std::move(g));
        return true;
      case kNodeTag:
      case kQualifiedNodeTag:
        g.type = GlowElement::Type::kNode;
        break;
      case kParameterTag:
      case kQualifiedParameterTag:
        g.type = GlowElement::Type::kParameter;
        break;
      case kMatrixTag:
      case kQualifiedMatrixTag:
        g.type = GlowElement::Type::kMatrix;
        break;
      default:
        return true;
    }
    const bool qualified = e.number == kQualifiedNodeTag || e.number == kQualifiedParameterTag ||
                           e.number == kQualifiedMatrixTag;
    if (qualified) {
      if (!t_.RelativeOid(id, &g.path)) return Fail("a qualified element without a path");
    } else {
      int64_t number = 0;
      if (!t_.Integer(id, &number) || number < 0 || number > 0xFFFFFFFFll) {
        return Fail("an element without a number");
      }
      g.path = parent;
      g.path.push_back(static_cast<uint32_t>(number));
    }
    if (g.path.size() > limits_.max_path) return Fail("a path too long");
    if (paths) paths->push_back(g.path);
    const int set = t_.Inner(t_.Child(element, TagClass::kContext, 1));
    if (set >= 0) {
      g.identifier = Text(set, 0);
      g.description = Text(set, 1);
      if (g.type == GlowElement::Type::kNode) {
        t_.Boolean(t_.Inner(t_.Child(set, TagClass::kContext, 3)), &g.online);
      } else if (g.type == GlowElement::Type::kParameter) {
        const int value = t_.Inner(t_.Child(set, TagClass::kContext, 2));
        bool b = false;
        if (t_.Utf8(value, &g.text) || t_.Integer(value, &g.integer)) {
          g.has_value = true;
        } else if (t_.Boolean(value, &b)) {
          g.has_value = true;
          g.integer = b ? 1 : 0;
        }
        bool online = true;
        if (t_.Boolean(t_.Inner(t_.Child(set, TagClass::kContext, 9)), &online)) g.online = online;
      } else {
        t_.Integer(t_.Inner(t_.Child(set, TagClass::kContext, 4)), &g.targets);
        t_.Integer(t_.Inner(t_.Child(set, TagClass::kContext, 5)), &g.sources);
        const int labels = t_.Inner(t_.Child(set, TagClass::kContext, 10));
        for (int l = labels < 0 ? -1 : t_.at(labels).first_child; l >= 0;
             l = t_.at(l).next_sibling) {
          Path base;
          const int label = t_.Inner(l);
          if (t_.RelativeOid(t_.Inner(t_.Child(label, TagClass::kContext, 0)), &base)) {
            g.labels.push_back(base);
          }
        }
      }
    }
    const int connections = t_.Inner(t_.Child(element, TagClass::kContext, 5));
    for (int item = connections < 0 ? -1 : t_.at(connections).first_child; item >= 0;
         item = t_.at(item).next_sibling) {
      const int c = t_.Inner(item);
      GlowElement::Connection gc;
      if (!t_.Integer(t_.Inner(t_.Child(c, TagClass::kContext, 0)), &gc.target)) {
        return Fail("a connection without its target");
      }
      t_.RelativeOid(t_.Inner(t_.Child(c, TagClass::kContext, 1)), &gc.sources);
      t_.Integer(t_.Inner(t_.Child(c, TagClass::kContext, 3)), &gc.disposition);
      g.connections.push_back(std::move(gc));
    }
    const size_t at = out_->size();
    out_->push_back(g);
    const int children = t_.Inner(t_.Child(element, TagClass::kContext, 2));
    if (children >= 0) {
      std::vector<Path> paths_of_children;
      if (!Collection(children, g.path, &paths_of_children)) return false;
      (*out_)[at].children = std::move(paths_of_children);
    }
    return true;
  }

  const BerTree& t_;
  const GlowLimits& limits_;
  std::vector<GlowElement>* out_;
  std::string error_;
};

// Builds one small element in a buffer of its own (every length under 128, the short form), to be
// appended to the message whole: the many connections and labels of a large answer are written
// without the message's bookkeeping per TLV. The bytes are those the message's writer makes.
class SmallElement {
 public:
  static constexpr size_t kMax = 128;
  void Begin(uint8_t tag) {
    open_[depth_++] = n_;
    b_[n_++] = tag;
    b_[n_++] = 0;
  }
  void End() {
    const size_t at = open_[--depth_];
    b_[at + 1] = static_cast<uint8_t>(n_ - at - 2);
  }
  void ContextInteger(uint32_t context, int64_t value) {
    Begin(Context(context));
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i)
      bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (56 - 8 * i));
    int first = 0;
    while (first < 7 && ((bytes[first] == 0x00 && (bytes[first + 1] & 0x80) == 0) ||
                         (bytes[first] == 0xFF && (bytes[first + 1] & 0x80) != 0))) {
      ++first;
    }
    Primitive(static_cast<uint8_t>(kInteger), bytes + first, static_cast<size_t>(8 - first));
    End();
  }
  void ContextUtf8(uint32_t context, std::string_view text) {
    Begin(Context(context));
    Primitive(static_cast<uint8_t>(kUtf8String), reinterpret_cast<const uint8_t*>(text.data()),
              text.size());
    End();
  }
  // A RELATIVE-OID of at most one arc.
  void ContextOid(uint32_t context, const uint32_t* arc, size_t count) {
    Begin(Context(context));
    uint8_t groups[5];
    size_t g = 0;
    if (count > 0) {
      uint32_t v = *arc;
      do {
        groups[g++] = static_cast<uint8_t>(v & 0x7F);
        v >>= 7;
      } while (v != 0);
    }
    b_[n_++] = static_cast<uint8_t>(kRelativeOid);
    b_[n_++] = static_cast<uint8_t>(g);
    while (g > 0) {
      --g;
      b_[n_++] = static_cast<uint8_t>(groups[g] | (g > 0 ? 0x80 : 0));
    }
    End();
  }
  const uint8_t* data() const { return b_; }
  size_t size() const { return n_; }

 private:
  void Primitive(uint8_t tag, const uint8_t* value, size_t length) {
    b_[n_++] = tag;
    b_[n_++] = static_cast<uint8_t>(length);
    std::memcpy(b_ + n_, value, length);
    n_ += length;
  }

  uint8_t b_[kMax];
  size_t n_ = 0;
  size_t open_[8] = {};
  int depth_ = 0;
};

uint32_t ElementTag(GlowMessage::Type type, bool qualified) {
  switch (type) {
    case GlowMessage::Type::kNode:
      return qualified ? kQualifiedNodeTag : kNodeTag;
    case GlowMessage::Type::kParameter:
      return qualified ? kQualifiedParameterTag : kParameterTag;
    case GlowMessage::Type::kMatrix:
      return qualified ? kQualifiedMatrixTag : kMatrixTag;
  }
  return kNodeTag;
}

}  // namespace

bool DecodeRequests(const uint8_t* data, size_t size, const GlowLimits& limits,
                    std::vector<GlowRequest>* requests, std::string* error) {
  BerTree tree;
  requests->clear();
  if (!tree.Parse(data, size, limits.ber, error)) return false;
  Reader reader(tree, limits, requests);
  if (!reader.Root(error)) {
    requests->clear();
    return false;
  }
  return true;
}

bool DecodeElements(const uint8_t* data, size_t size, const GlowLimits& limits,
                    std::vector<GlowElement>* elements, std::string* error) {
  BerTree tree;
  elements->clear();
  if (!tree.Parse(data, size, limits.ber, error)) return false;
  ElementReader reader(tree, limits, elements);
  if (!reader.Root()) {
    *error = reader.error();
    return false;
  }
  return true;
}

GlowMessage::GlowMessage() {
  writer_.Begin(Application(kRootTag));
  writer_.Begin(Application(kRootCollectionTag));
}

void GlowMessage::BeginElement(Type type, const Path& path, bool qualified) {
  writer_.Begin(Context(0));
  writer_.Begin(Application(ElementTag(type, qualified)));
  if (qualified) {
    writer_.ContextRelativeOid(0, path);
  } else {
    writer_.ContextInteger(0, path.empty() ? 0 : path.back());
  }
}

void GlowMessage::BeginElement(Type type, uint32_t number) {
  writer_.Begin(Context(0));
  writer_.Begin(Application(ElementTag(type, false)));
  writer_.ContextInteger(0, number);
}

void GlowMessage::EndElement() {
  writer_.End();
  writer_.End();
}

void GlowMessage::Node(const NodeFields& f) {
  writer_.Begin(Context(1));
  writer_.Begin(kSetTag);
  writer_.ContextUtf8(0, f.identifier);
  if (!f.description.empty()) writer_.ContextUtf8(1, f.description);
  if (f.is_root) writer_.ContextBoolean(2, true);
  writer_.ContextBoolean(3, f.is_online);
  writer_.End();
  writer_.End();
}

void GlowMessage::Parameter(const ParameterFields& f) {
  writer_.Begin(Context(1));
  writer_.Begin(kSetTag);
  writer_.ContextUtf8(0, f.identifier);
  if (!f.description.empty()) writer_.ContextUtf8(1, f.description);
  switch (f.type) {
    case ParameterFields::Type::kInteger:
    case ParameterFields::Type::kEnum:
      writer_.ContextInteger(2, f.integer);
      break;
    case ParameterFields::Type::kString:
      writer_.ContextUtf8(2, f.text);
      break;
    case ParameterFields::Type::kBoolean:
      writer_.ContextBoolean(2, f.boolean);
      break;
  }
  writer_.ContextInteger(5, f.access);
  if (f.type == ParameterFields::Type::kEnum) writer_.ContextUtf8(7, f.enumeration);
  if (!f.is_online) writer_.ContextBoolean(9, false);
  writer_.ContextInteger(13, static_cast<int64_t>(f.type));
  writer_.End();
  writer_.End();
}

void GlowMessage::Matrix(const MatrixFields& f) {
  writer_.Begin(Context(1));
  writer_.Begin(kSetTag);
  writer_.ContextUtf8(0, f.identifier);
  if (!f.description.empty()) writer_.ContextUtf8(1, f.description);
  writer_.ContextInteger(2, 0);  // oneToN
  writer_.ContextInteger(3, 0);  // linear
  writer_.ContextInteger(4, f.targets);
  writer_.ContextInteger(5, f.sources);
  if (!f.labels.empty()) {
    writer_.Begin(Context(10));
    writer_.Begin(kSequenceTag);
    writer_.Begin(Context(0));
    writer_.Begin(Application(kLabelTag));
    writer_.ContextRelativeOid(0, f.labels);
    writer_.ContextUtf8(1, f.labels_description);
    writer_.End();
    writer_.End();
    writer_.End();
    writer_.End();
  }
  writer_.End();
  writer_.End();
}

void GlowMessage::BeginChildren() {
  writer_.Begin(Context(2));
  writer_.Begin(Application(kElementCollectionTag));
}

void GlowMessage::EndChildren() {
  writer_.End();
  writer_.End();
}

void GlowMessage::BeginConnections() {
  writer_.Begin(Context(5));
  writer_.Begin(kSequenceTag);
}

void GlowMessage::Connection(const ConnectionFields& f) {
  SmallElement e;
  e.Begin(Context(0));
  e.Begin(Application(kConnectionTag));
  e.ContextInteger(0, f.target);
  e.ContextOid(1, &f.source, f.has_source ? 1 : 0);
  e.ContextInteger(3, static_cast<int64_t>(f.disposition));
  e.End();
  e.End();
  writer_.Append(e.data(), e.size());
}

void GlowMessage::StringParameter(uint32_t number, std::string_view identifier,
                                  std::string_view text) {
  // Short ones in one piece; the lengths of a longer one may need the long form.
  if (identifier.size() + text.size() <= 64) {
    SmallElement e;
    e.Begin(Context(0));
    e.Begin(Application(kParameterTag));
    e.ContextInteger(0, number);
    e.Begin(Context(1));
    e.Begin(kSetTag);
    e.ContextUtf8(0, identifier);
    e.ContextUtf8(2, text);
    e.ContextInteger(5, 1);
    e.ContextInteger(13, static_cast<int64_t>(ParameterFields::Type::kString));
    e.End();
    e.End();
    e.End();
    e.End();
    writer_.Append(e.data(), e.size());
    return;
  }
  BeginElement(Type::kParameter, number);
  ParameterFields f;
  f.identifier = identifier;
  f.text = text;
  Parameter(f);
  EndElement();
}

void GlowMessage::EndConnections() {
  writer_.End();
  writer_.End();
}

std::vector<uint8_t> GlowMessage::Finish() {
  writer_.End();
  writer_.End();
  return writer_.Take();
}

std::vector<uint8_t> ConsumerCommand(const Path& path, int64_t command, bool matrix) {
  BerWriter w;
  w.Begin(Application(0));
  w.Begin(Application(11));
  w.Begin(Context(0));
  if (!path.empty()) {
    w.Begin(Application(matrix ? 17 : 10));
    w.ContextRelativeOid(0, path);
    w.Begin(Context(2));
    w.Begin(Application(4));
    w.Begin(Context(0));
  }
  w.Begin(Application(2));
  w.ContextInteger(0, command);
  while (!w.closed()) w.End();
  return w.Take();
}

std::vector<uint8_t> ConsumerTake(const Path& matrix, int64_t target,
                                  const std::vector<uint32_t>& sources, Operation operation) {
  BerWriter w;
  w.Begin(Application(0));
  w.Begin(Application(11));
  w.Begin(Context(0));
  w.Begin(Application(17));
  w.ContextRelativeOid(0, matrix);
  w.Begin(Context(5));
  w.Begin(kSequenceTag);
  w.Begin(Context(0));
  w.Begin(Application(16));
  w.ContextInteger(0, target);
  w.ContextRelativeOid(1, sources);
  w.ContextInteger(2, static_cast<int>(operation));
  while (!w.closed()) w.End();
  return w.Take();
}

}  // namespace kirn::ember
