#include "tools/kirn/ember/glow.h"

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
  writer_.Begin(Context(0));
  writer_.Begin(Application(kConnectionTag));
  writer_.ContextInteger(0, f.target);
  writer_.Begin(Context(1));
  if (f.has_source) {
    writer_.RelativeOid({f.source});
  } else {
    writer_.RelativeOid({});
  }
  writer_.End();
  writer_.ContextInteger(3, static_cast<int64_t>(f.disposition));
  writer_.End();
  writer_.End();
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

}  // namespace kirn::ember
