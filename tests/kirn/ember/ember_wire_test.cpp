// The Ember+ core against fixed byte sequences: S101 framing (the references were seen on the wire
// between a consumer and a provider from npm), the BER subset, and the Glow requests consumers
// send in their several forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/kirn/ember/ber.h"
#include "tools/kirn/ember/glow.h"
#include "tools/kirn/ember/s101.h"

namespace kirn::ember {
namespace {

using Bytes = std::vector<uint8_t>;

// A keep-alive request and its answer, and a GetDirectory on the root, as seen on the wire.
const Bytes kKeepAliveRequest = {0xFE, 0x00, 0x0E, 0x01, 0x01, 0x94, 0xE4, 0xFF};
const Bytes kKeepAliveResponse = {0xFE, 0x00, 0x0E, 0x02, 0x01, 0xFD, 0xDC, 0xCE, 0xFF};
const Bytes kRootDirectoryFrame = {0xFE, 0x00, 0x0E, 0x00, 0x01, 0xC0, 0x01, 0x02, 0x1F,
                                   0x02, 0x60, 0x0B, 0x6B, 0x09, 0xA0, 0x07, 0x62, 0x05,
                                   0xA0, 0x03, 0x02, 0x01, 0x20, 0xB4, 0xEC, 0xFF};
const Bytes kRootDirectory = {0x60, 0x0B, 0x6B, 0x09, 0xA0, 0x07, 0x62,
                              0x05, 0xA0, 0x03, 0x02, 0x01, 0x20};

std::vector<S101Event> Feed(S101Decoder& d, const Bytes& bytes, bool one_at_a_time = false) {
  std::vector<S101Event> events;
  if (one_at_a_time) {
    for (uint8_t b : bytes) EXPECT_TRUE(d.Feed(&b, 1, &events)) << d.error();
  } else {
    EXPECT_TRUE(d.Feed(bytes.data(), bytes.size(), &events)) << d.error();
  }
  return events;
}

std::vector<GlowRequest> Requests(const Bytes& payload, std::string* error = nullptr) {
  std::vector<GlowRequest> out;
  std::string e;
  EXPECT_EQ(DecodeRequests(payload.data(), payload.size(), GlowLimits{}, &out, &e),
            error == nullptr)
      << e;
  if (error) *error = e;
  return out;
}

TEST(EmberWire, FramesMatchTheWire) {
  Bytes out;
  S101Encoder::KeepAliveResponse(&out);
  EXPECT_EQ(out, kKeepAliveResponse);  // the CRC's 0xFE escaped
  out.clear();
  S101Encoder::KeepAliveRequest(&out);
  EXPECT_EQ(out, kKeepAliveRequest);
  out.clear();
  S101Encoder::Message(kRootDirectory, &out);
  EXPECT_EQ(out, kRootDirectoryFrame);

  S101Decoder d;
  Bytes both = kKeepAliveRequest;
  both.insert(both.end(), kRootDirectoryFrame.begin(), kRootDirectoryFrame.end());
  const std::vector<S101Event> events = Feed(d, both, true);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, S101Event::Kind::kKeepAliveRequest);
  EXPECT_EQ(events[1].payload, kRootDirectory);
  const std::vector<GlowRequest> r = Requests(events[1].payload);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, GlowRequest::Kind::kGetDirectory);
  EXPECT_TRUE(r[0].path.empty());
}

TEST(EmberWire, LargeMessagesTravelAsSeveralPacketsWithEscapes) {
  Bytes payload(10000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  Bytes out;
  S101Encoder::Message(payload, &out, 4096);
  // Three frames: first (0x80), middle (0x00), last (0x40); no reserved byte unescaped inside.
  std::vector<size_t> starts;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == 0xFE) starts.push_back(i);
  }
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(out[starts[0] + 5], 0x80);
  EXPECT_EQ(out[starts[1] + 5], 0x00);
  EXPECT_EQ(out[starts[2] + 5], 0x40);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0xFF), 3);
  S101Decoder d;
  const std::vector<S101Event> events = Feed(d, out);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].payload, payload);
}

TEST(EmberWire, MalformedFramesAreRefused) {
  struct Case {
    const char* what;
    Bytes bytes;
    S101Limits limits;
  };
  Bytes bad_crc = kRootDirectoryFrame;
  bad_crc[bad_crc.size() - 2] ^= 1;
  // A message in packets of 4 bytes without its first packet: it starts with a middle one.
  Bytes middle_first;
  {
    Bytes m;
    S101Encoder::Message(kRootDirectory, &m, 4);
    const auto second = std::find(m.begin() + 1, m.end(), 0xFE);
    middle_first.assign(second, m.end());
  }
  S101Limits small;
  small.max_frame = 16;
  S101Limits small_message;
  small_message.max_message = 8;
  Bytes multi;
  S101Encoder::Message(kRootDirectory, &multi, 4);
  const Case cases[] = {
      {"bad CRC", bad_crc, {}},
      {"outside a frame", {0x00, 0xFE}, {}},
      {"frame in frame", {0xFE, 0x00, 0xFE}, {}},
      {"escape before the end", {0xFE, 0x00, 0xFD, 0xFF}, {}},
      {"too short", {0xFE, 0x00, 0x0E, 0xFF}, {}},
      {"packet outside a message", middle_first, {}},
      {"frame over its limit", kRootDirectoryFrame, small},
      {"message over its limit", multi, small_message},
  };
  for (const Case& c : cases) {
    S101Decoder d(c.limits);
    std::vector<S101Event> events;
    EXPECT_FALSE(d.Feed(c.bytes.data(), c.bytes.size(), &events)) << c.what;
    EXPECT_TRUE(d.failed()) << c.what;
    // Once failed, it stays so.
    EXPECT_FALSE(d.Feed(kKeepAliveRequest.data(), kKeepAliveRequest.size(), &events)) << c.what;
  }
}

TEST(EmberWire, BerValuesAndDefiniteLengths) {
  auto bytes = [](auto&& write) {
    BerWriter w;
    write(w);
    return w.Take();
  };
  EXPECT_EQ(bytes([](BerWriter& w) { w.Integer(0); }), (Bytes{0x02, 0x01, 0x00}));
  EXPECT_EQ(bytes([](BerWriter& w) { w.Integer(127); }), (Bytes{0x02, 0x01, 0x7F}));
  EXPECT_EQ(bytes([](BerWriter& w) { w.Integer(128); }), (Bytes{0x02, 0x02, 0x00, 0x80}));
  EXPECT_EQ(bytes([](BerWriter& w) { w.Integer(-1); }), (Bytes{0x02, 0x01, 0xFF}));
  EXPECT_EQ(bytes([](BerWriter& w) { w.Integer(-129); }), (Bytes{0x02, 0x02, 0xFF, 0x7F}));
  EXPECT_EQ(bytes([](BerWriter& w) { w.ContextInteger(4, 16); }),
            (Bytes{0xA4, 0x03, 0x02, 0x01, 0x10}));  // targetCount 16
  EXPECT_EQ(bytes([](BerWriter& w) {
              w.RelativeOid({1, 12, 200});
            }),
            (Bytes{0x0D, 0x04, 0x01, 0x0C, 0x81, 0x48}));
  EXPECT_EQ(bytes([](BerWriter& w) { w.RelativeOid({}); }), (Bytes{0x0D, 0x00}));
  // Lengths of 128 and more take the long form, and a container's length counts it.
  const Bytes long_text = bytes([](BerWriter& w) {
    w.Begin(Context(1));
    w.Utf8(std::string(300, 'x'));
    w.End();
  });
  ASSERT_EQ(long_text.size(), 4u + 4u + 300u);
  EXPECT_EQ(Bytes(long_text.begin(), long_text.begin() + 8),
            (Bytes{0xA1, 0x82, 0x01, 0x30, 0x0C, 0x82, 0x01, 0x2C}));
  BerTree t;
  std::string error;
  ASSERT_TRUE(t.Parse(long_text.data(), long_text.size(), BerLimits{}, &error)) << error;
  std::string text;
  ASSERT_TRUE(t.Utf8(t.Inner(t.root()), &text));
  EXPECT_EQ(text.size(), 300u);
}

TEST(EmberWire, LabelsAndConnectionsWrittenInOnePieceAreTheGeneralWritersBytes) {
  // A label of every text length around the one-piece bound (and a long one, in the long form)
  // against the general parameter writer.
  for (const size_t length : {0u, 1u, 55u, 56u, 57u, 58u, 64u, 200u}) {
    const std::string text(length, 'n');
    GlowMessage fast;
    fast.StringParameter(65535, "s-65535", text);
    GlowMessage general;
    general.BeginElement(GlowMessage::Type::kParameter, Path{1, 2, 65535}, false);
    ParameterFields f;
    f.identifier = "s-65535";
    f.text = text;
    general.Parameter(f);
    general.EndElement();
    EXPECT_EQ(fast.Finish(), general.Finish()) << length;
  }
  // Target 300 from source 200, modified; and one without a source.
  BerWriter w;
  w.Begin(Context(0));
  w.Begin(Application(16));
  w.ContextInteger(0, 300);
  w.ContextRelativeOid(1, {200});
  w.ContextInteger(3, 1);
  w.End();
  w.End();
  w.Begin(Context(0));
  w.Begin(Application(16));
  w.ContextInteger(0, 0);
  w.ContextRelativeOid(1, {});
  w.ContextInteger(3, 0);
  w.End();
  w.End();
  GlowMessage m;
  m.Connection(ConnectionFields{300, true, 200, Disposition::kModified});
  m.Connection(ConnectionFields{0, false, 7, Disposition::kTally});
  const Bytes made = m.Finish();
  const Bytes expected = w.Take();
  ASSERT_GE(made.size(), expected.size() + 4);
  EXPECT_EQ(Bytes(made.begin() + 4, made.begin() + 4 + static_cast<long>(expected.size())),
            expected);
  // A RELATIVE-OID whose value needs the long form of its length.
  BerWriter many;
  many.RelativeOid(std::vector<uint32_t>(30, 0xFFFFFFFFu));
  const Bytes oid = many.Take();
  ASSERT_EQ(oid.size(), 3u + 150u);
  EXPECT_EQ(Bytes(oid.begin(), oid.begin() + 3), (Bytes{0x0D, 0x81, 150}));
}

TEST(EmberWire, ConsumersRequestsInEveryForm) {
  // A take inside a qualified matrix 1.12.1.1: target 3, source 5, operation connect; written
  // with indefinite lengths everywhere a consumer may use them.
  const Bytes take = {0x60, 0x80, 0x6B, 0x80, 0xA0, 0x80, 0x71, 0x80, 0xA0, 0x06, 0x0D,
                      0x04, 0x01, 0x0C, 0x01, 0x01, 0xA5, 0x80, 0x30, 0x80, 0xA0, 0x80,
                      0x70, 0x80, 0xA0, 0x03, 0x02, 0x01, 0x03, 0xA1, 0x03, 0x0D, 0x01,
                      0x05, 0xA2, 0x03, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::vector<GlowRequest> r = Requests(take);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, GlowRequest::Kind::kTake);
  EXPECT_EQ(r[0].path, (Path{1, 12, 1, 1}));
  ASSERT_EQ(r[0].connections.size(), 1u);
  EXPECT_EQ(r[0].connections[0].target, 3);
  EXPECT_EQ(r[0].connections[0].sources, (std::vector<uint32_t>{5}));
  EXPECT_EQ(r[0].connections[0].operation, Operation::kConnect);

  // The same matrix nested (Node 1 > Node 12 > Node 1 > Matrix 1) with the consumer's cached
  // contents and a connection; with a subscribe command among its children, it is only that.
  auto nested = [](bool command) {
    BerWriter w;
    w.Begin(Application(0));
    w.Begin(Application(11));
    for (uint32_t number : {1, 12, 1}) {
      w.Begin(Context(0));
      w.Begin(Application(3));
      w.ContextInteger(0, number);
      w.Begin(Context(2));
      w.Begin(Application(4));
    }
    w.Begin(Context(0));
    w.Begin(Application(13));
    w.ContextInteger(0, 1);
    w.Begin(Context(1));
    w.Begin(kSetTag);
    w.ContextUtf8(0, "crosspoints");
    w.ContextInteger(4, 8);
    w.End();
    w.End();
    if (command) {
      w.Begin(Context(2));
      w.Begin(Application(4));
      w.Begin(Context(0));
      w.Begin(Application(2));
      w.ContextInteger(0, kCommandSubscribe);
      w.End();
      w.End();
      w.End();
      w.End();
    }
    w.Begin(Context(5));
    w.Begin(kSequenceTag);
    w.Begin(Context(0));
    w.Begin(Application(16));
    w.ContextInteger(0, 2);
    w.ContextRelativeOid(1, {4});
    w.End();
    w.End();
    w.End();
    w.End();
    w.End();
    w.End();
    for (int i = 0; i < 3; ++i) {
      w.End();
      w.End();
      w.End();
      w.End();
    }
    w.End();
    w.End();
    EXPECT_TRUE(w.closed());
    return w.Take();
  };
  r = Requests(nested(false));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, GlowRequest::Kind::kTake);
  EXPECT_EQ(r[0].path, (Path{1, 12, 1, 1}));
  EXPECT_EQ(r[0].connections[0].operation, Operation::kAbsolute);
  r = Requests(nested(true));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, GlowRequest::Kind::kSubscribe);
  EXPECT_EQ(r[0].path, (Path{1, 12, 1, 1}));
}

// Bytes from a string of hex digits.
Bytes Hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(EmberWire, TheNpmConsumersDirectoryRequestBelowAMatrix) {
  // node-emberplus 3.0.8 asking for the matrix's labels node 1.12.1.1.1: nested numbered nodes,
  // the matrix carrying an empty connection list beside the child with the command (whose
  // dirFieldMask is -1).
  const Bytes request = Hex(
      "60556b53a051634fa003020101a2486446a0446342a00302010ca23b6439a0376335a003020101a22e642ca02a"
      "6d28a003020101a21d641ba0196317a003020101a210640ea00c620aa003020120a1030201ffa5023000");
  const std::vector<GlowRequest> r = Requests(request);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, GlowRequest::Kind::kGetDirectory);
  EXPECT_EQ(r[0].path, (Path{1, 12, 1, 1, 1}));
}

TEST(EmberWire, HostileMessagesAreRefusedWithinTheLimits) {
  std::string error;
  // Nested deeper than the limit: 100 [0] wrappers.
  Bytes deep;
  for (int i = 0; i < 100; ++i) {
    deep.push_back(0xA0);
    deep.push_back(0x80);
  }
  deep.insert(deep.end(), 200, 0x00);
  Requests(deep, &error);
  EXPECT_EQ(error, "nested too deep");
  // A length past its container, a truncated indefinite length, a tag number of several bytes.
  Requests({0x60, 0x05, 0x6B, 0x09, 0x00}, &error);
  EXPECT_EQ(error, "a value past the end of its container");
  Requests({0x60, 0x80, 0x6B, 0x80, 0x00, 0x00}, &error);
  EXPECT_EQ(error, "an indefinite length without its end");
  Requests({0x7F, 0x81, 0x00, 0x00}, &error);
  EXPECT_EQ(error, "a tag number of several bytes");
  // More elements than the limit allows.
  GlowLimits few;
  few.ber.max_tlvs = 4;
  std::vector<GlowRequest> out;
  EXPECT_FALSE(DecodeRequests(kRootDirectory.data(), kRootDirectory.size(), few, &out, &error));
  EXPECT_EQ(error, "too many elements");
}

}  // namespace
}  // namespace kirn::ember
