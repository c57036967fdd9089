// Glow, the Ember+ tree's definitions in BER, in the subset a router's provider needs: what a
// consumer asks (read from its messages) and the nodes, parameters and matrices sent back.
//
// A message is Root [APPLICATION 0] holding a RootElementCollection [APPLICATION 11] of [0]
// elements. Elements are numbered (Node 3, Parameter 1, Matrix 13: a number, nested inside their
// parent's children [2] ElementCollection [APPLICATION 4]) or qualified (QualifiedNode 10,
// QualifiedParameter 9, QualifiedMatrix 17: the whole path as a RELATIVE-OID). A Command
// [APPLICATION 2] stands as a child of the element it is about, or in the root collection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/kirn/ember/ber.h"

namespace kirn::ember {

using Path = std::vector<uint32_t>;

// Command numbers.
inline constexpr int64_t kCommandSubscribe = 30;
inline constexpr int64_t kCommandUnsubscribe = 31;
inline constexpr int64_t kCommandGetDirectory = 32;
inline constexpr int64_t kCommandInvoke = 33;

// Matrix connection operations and dispositions.
enum class Operation : int { kAbsolute = 0, kConnect = 1, kDisconnect = 2 };
enum class Disposition : int { kTally = 0, kModified = 1, kPending = 2, kLocked = 3 };

// One connection a consumer asks for.
struct TakeConnection {
  int64_t target = 0;
  std::vector<uint32_t> sources;
  Operation operation = Operation::kAbsolute;
};

// One thing a consumer's message asks, about the element at `path` (empty: the root).
struct GlowRequest {
  enum class Kind { kGetDirectory, kSubscribe, kUnsubscribe, kTake, kSetValue, kOther };
  Kind kind = Kind::kOther;
  Path path;
  // For kTake: the connections the message carries, as sent.
  std::vector<TakeConnection> connections;
};

struct GlowLimits {
  BerLimits ber;
  // Requests (commands, takes, value changes) in one message.
  size_t max_requests = 1024;
  // Connections of all the takes of one message.
  size_t max_connections = 65536;
  // Arcs of one path.
  size_t max_path = 16;
};

// Reads the requests of one message (the joined payload of an S101 message). An element with a
// command child stands for that command only, whatever else it carries (consumers send their
// cached contents and connections along); a matrix without one that carries connections is a
// take of those connections; a parameter that carries a value is a value change; otherwise its
// children are read. False with `error` set when the message is not a well-formed Glow root or
// exceeds the limits; elements of kinds not used here (functions, templates, streams) are skipped.
bool DecodeRequests(const uint8_t* data, size_t size, const GlowLimits& limits,
                    std::vector<GlowRequest>* requests, std::string* error);

// What a consumer sends, for the tests, the benchmark and anything else that stands in for one
// (a message's Glow payload, to be framed by S101Encoder::Message). A command at `path` (empty:
// the root) as a qualified node, or as a qualified matrix when `matrix`:
std::vector<uint8_t> ConsumerCommand(const Path& path, int64_t command, bool matrix);
// A take on the matrix at `matrix`: `target` from `sources`.
std::vector<uint8_t> ConsumerTake(const Path& matrix, int64_t target,
                                  const std::vector<uint32_t>& sources,
                                  Operation operation = Operation::kAbsolute);

// An element as a consumer reads it from a provider's message (tests, benchmarks, fuzzing): its
// whole path (nested elements get their parent's), what it carries of the fields used here.
struct GlowElement {
  enum class Type { kNode, kParameter, kMatrix, kCommand };
  struct Connection {
    int64_t target = 0;
    std::vector<uint32_t> sources;
    int64_t disposition = 0;
  };
  Type type = Type::kNode;
  Path path;
  std::string identifier;
  std::string description;
  bool online = true;
  // A parameter's value, as text or integer (booleans 0 or 1), when it has one.
  bool has_value = false;
  std::string text;
  int64_t integer = 0;
  // A matrix's counts (-1: not sent), labels' base paths and connections; a command's number.
  int64_t targets = -1;
  int64_t sources = -1;
  std::vector<Path> labels;
  std::vector<Connection> connections;
  int64_t command = 0;
  // The paths of its children, in order.
  std::vector<Path> children;
};

// Reads every element of a message, depth first. False with `error` set as DecodeRequests.
bool DecodeElements(const uint8_t* data, size_t size, const GlowLimits& limits,
                    std::vector<GlowElement>* elements, std::string* error);

// What the provider sends of an element.
struct NodeFields {
  std::string identifier;
  std::string description;
  bool is_root = false;  // sent only when true
  bool is_online = true;
};
struct ParameterFields {
  enum class Type { kInteger = 1, kString = 3, kBoolean = 4, kEnum = 6 };
  std::string identifier;
  std::string description;
  Type type = Type::kString;
  int64_t integer = 0;   // kInteger, kEnum
  std::string text;      // kString
  bool boolean = false;  // kBoolean
  // For kEnum: the entries' names, one a line, entry n on line n.
  std::string enumeration;
  // 1 read, 3 read-write.
  int access = 1;
  bool is_online = true;  // sent only when false
};
struct MatrixFields {
  std::string identifier;
  std::string description;
  int64_t targets = 0;
  int64_t sources = 0;
  // The label node's path, none when empty.
  Path labels;
  std::string labels_description;
};
struct ConnectionFields {
  int64_t target = 0;
  bool has_source = false;  // false: the sources are sent empty
  uint32_t source = 0;
  Disposition disposition = Disposition::kTally;
};

// Builds one message: Root, RootElementCollection, then the elements added.
class GlowMessage {
 public:
  enum class Type { kNode, kParameter, kMatrix };

  GlowMessage();
  // Opens an element in the root collection, or among the children of the open element: qualified
  // (its whole path) or numbered (the path's last arc).
  void BeginElement(Type type, const Path& path, bool qualified);
  // Opens a numbered element: `number` is its path's last arc.
  void BeginElement(Type type, uint32_t number);
  void Node(const NodeFields& f);
  void Parameter(const ParameterFields& f);
  // Matrix contents: type oneToN, linear addressing, the counts and the labels.
  void Matrix(const MatrixFields& f);
  void BeginChildren();
  void EndChildren();
  void BeginConnections();
  void Connection(const ConnectionFields& f);
  void EndConnections();
  // A numbered string parameter, read-only and online, without a description (a label): the
  // bytes Parameter() makes for it, made faster.
  void StringParameter(uint32_t number, std::string_view identifier, std::string_view text);
  void EndElement();

  // The bytes so far (the open TLVs not closed yet).
  size_t size() const { return writer_.size(); }
  // Closes the root and hands the message over. REQUIRES: every element ended.
  std::vector<uint8_t> Finish();

 private:
  BerWriter writer_;
};

}  // namespace kirn::ember
