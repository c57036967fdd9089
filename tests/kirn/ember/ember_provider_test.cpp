// The Ember+ provider's session logic without sockets: consumers as byte streams, the drivers as
// the model a survey would hand it, the route commands it sends collected.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tools/kirn/ember/provider.h"

namespace kirn::ember {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = Provider::Clock;

const Path kMatrixA = {1, 12, 1, 1};
const Path kTargetsA = {1, 12, 1, 1, 1, 1};

// A consumer's message: requests at `path` (a matrix when it has four arcs, as kMatrixA).
Bytes Command(const Path& path, int64_t command) {
  Bytes frames;
  S101Encoder::Message(ConsumerCommand(path, command, path.size() == 4), &frames);
  return frames;
}

Bytes Take(const Path& matrix, int target, std::vector<uint32_t> sources, Operation op) {
  Bytes frames;
  S101Encoder::Message(ConsumerTake(matrix, target, sources, op), &frames);
  return frames;
}

// The provider with driver 12 (router A, device 101: 16 sources, 8 destinations) and what it
// does collected.
struct Fixture {
  std::vector<std::string> commands;
  std::vector<std::string> traces;
  std::vector<uint64_t> closed;
  std::map<uint64_t, S101Decoder> readers;
  Clock::time_point now = Clock::now();
  std::unique_ptr<Provider> p;
  DriverInfo driver;

  explicit Fixture(ProviderOptions options = {}) {
    Provider::Sink sink;
    sink.route = [this](int, const std::string& c) {
      commands.push_back(c);
      return true;
    };
    sink.trace = [this](const std::string& t) { traces.push_back(t); };
    sink.close = [this](uint64_t s, const std::string&) { closed.push_back(s); };
    p = std::make_unique<Provider>(sink, options);
    driver.number = 12;
    driver.up = true;
    driver.controller = "MC1000";
    driver.version = "1.0.0.0";
    driver.interface_mode = 2;
    driver.comms_state = 1;
    driver.active_controller = 1;
    driver.park_source = 7;
    driver.reply_timeout_ms = 250;
    driver.routers = {RouterInfo{'A', 101, 16, 8}};
    p->Drivers({driver}, now);
  }
  void Send(uint64_t session, const Bytes& bytes) {
    p->Received(session, bytes.data(), bytes.size(), now);
  }
  TableInfo Table() const {
    TableInfo t;
    t.device = 101;
    t.tally = {1, 2, 3, 4, 5, 6, 65535, 0};
    t.lock.assign(8, 0);
    t.controller_lock.assign(8, 0);
    t.park_name = "PARK";
    return t;
  }
  // Everything the session has to read, decoded.
  std::vector<GlowElement> Read(uint64_t session, size_t* messages = nullptr) {
    std::vector<GlowElement> all;
    const uint8_t* data = nullptr;
    size_t size = 0;
    Bytes bytes;
    while (p->Peek(session, &data, &size)) {
      bytes.insert(bytes.end(), data, data + size);
      p->Sent(session, size);
    }
    std::vector<S101Event> events;
    EXPECT_TRUE(readers[session].Feed(bytes.data(), bytes.size(), &events));
    if (messages) *messages = events.size();
    for (const S101Event& e : events) {
      std::vector<GlowElement> elements;
      std::string error;
      EXPECT_TRUE(
          DecodeElements(e.payload.data(), e.payload.size(), GlowLimits{}, &elements, &error))
          << error;
      all.insert(all.end(), elements.begin(), elements.end());
    }
    return all;
  }
};

const GlowElement* Find(const std::vector<GlowElement>& all, const Path& path) {
  for (const GlowElement& e : all) {
    if (e.path == path) return &e;
  }
  return nullptr;
}

// The connections sent for the matrix, target -> (source or -1, disposition), last one wins.
std::map<int64_t, std::pair<int64_t, int64_t>> Connections(const std::vector<GlowElement>& all) {
  std::map<int64_t, std::pair<int64_t, int64_t>> out;
  for (const GlowElement& e : all) {
    if (e.path != kMatrixA) continue;
    for (const auto& c : e.connections) {
      out[c.target] = {c.sources.empty() ? -1 : static_cast<int64_t>(c.sources[0]), c.disposition};
    }
  }
  return out;
}

TEST(EmberProvider, BrowseTheTreeAndReadTheMatrixWithItsLabels) {
  Fixture f;
  f.p->Open(1, "127.0.0.1:1");
  f.Send(1, Command({}, kCommandGetDirectory));
  std::vector<GlowElement> got = f.Read(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].path, (Path{1}));
  EXPECT_EQ(got[0].identifier, "xarvel");

  f.Send(1, Command({1}, kCommandGetDirectory));
  got = f.Read(1);
  const GlowElement* driver = Find(got, {1, 12});
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->identifier, "driver-12");
  EXPECT_EQ(driver->description, "MC1000 (ver 1.0.0.0)");
  EXPECT_TRUE(driver->online);

  f.Send(1, Command({1, 12}, kCommandGetDirectory));
  got = f.Read(1);
  ASSERT_NE(Find(got, {1, 12, 1}), nullptr);
  EXPECT_EQ(Find(got, {1, 12, 1})->identifier, "A");
  ASSERT_NE(Find(got, {1, 12, 103}), nullptr);
  EXPECT_EQ(Find(got, {1, 12, 103})->integer, 2);  // TX/RX

  // The matrix answers at once with its contents and a child; its connections come with the
  // tally, which the provider now wants read.
  f.Send(1, Command(kMatrixA, kCommandGetDirectory));
  got = f.Read(1);
  const GlowElement* matrix = Find(got, kMatrixA);
  ASSERT_NE(matrix, nullptr);
  EXPECT_EQ(matrix->targets, 8);
  EXPECT_EQ(matrix->sources, 17);
  EXPECT_EQ(matrix->labels, (std::vector<Path>{{1, 12, 1, 1, 1}}));
  EXPECT_EQ(matrix->children, (std::vector<Path>{{1, 12, 1, 1, 1}}));
  EXPECT_TRUE(matrix->connections.empty());
  EXPECT_EQ(f.p->WantedTables(), (std::map<int, std::set<int>>{{12, {101}}}));
  f.p->Table(f.Table(), f.p->revertive_mark(), f.now);
  EXPECT_TRUE(f.p->WantedTables().empty());
  const auto c = Connections(f.Read(1));
  ASSERT_EQ(c.size(), 8u);
  EXPECT_EQ(c.at(0), std::make_pair(int64_t{1}, int64_t{0}));
  EXPECT_EQ(c.at(6).first, -1);  // no source known
  EXPECT_EQ(c.at(7).first, 0);   // the park source's stand-in

  // Labels: names as the interface gives them, source 0 the park row; a later change is pushed.
  f.p->Name(101, 1, 1, "DEST 1");
  f.p->Name(101, 0, 5, "CAM 5");
  f.Send(1, Command(kTargetsA, kCommandGetDirectory));
  got = f.Read(1);
  const GlowElement* targets = Find(got, kTargetsA);
  ASSERT_NE(targets, nullptr);
  EXPECT_EQ(targets->children.size(), 8u);
  EXPECT_EQ(Find(got, {1, 12, 1, 1, 1, 1, 0})->text, "DEST 1");
  EXPECT_EQ(Find(got, {1, 12, 1, 1, 1, 1, 0})->identifier, "t-0");
  f.Send(1, Command({1, 12, 1, 1, 1, 2}, kCommandGetDirectory));
  got = f.Read(1);
  EXPECT_EQ(Find(got, {1, 12, 1, 1, 1, 2, 0})->text, "PARK");
  EXPECT_EQ(Find(got, {1, 12, 1, 1, 1, 2, 5})->text, "CAM 5");
  f.p->Flush();
  f.Read(1);
  f.p->Name(101, 1, 1, "STUDIO 1");
  f.p->Flush();
  got = f.Read(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].path, (Path{1, 12, 1, 1, 1, 1, 0}));
  EXPECT_EQ(got[0].text, "STUDIO 1");
  EXPECT_EQ(got[0].identifier, "t-0");

  // A directory request on a leaf answers the leaf.
  f.Send(1, Command({1, 12, 1, 2}, kCommandGetDirectory));
  got = f.Read(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].integer, 101);
}

TEST(EmberProvider, TakeToModifiedAndEveryOtherSubscriberSeesTheTally) {
  Fixture f;
  f.p->Table(f.Table(), f.p->revertive_mark(), f.now);
  for (uint64_t s : {1, 2}) {
    f.p->Open(s, "127.0.0.1:" + std::to_string(s));
    f.Send(s, Command(kMatrixA, kCommandGetDirectory));
    f.Read(s);
  }
  // Target 2 (destination 3) from source 5, asked as "connect": an absolute take on oneToN.
  f.Send(1, Take(kMatrixA, 2, {5}, Operation::kConnect));
  EXPECT_EQ(f.commands, (std::vector<std::string>{"RC 101 5 3 ',---' 0"}));
  EXPECT_EQ(Connections(f.Read(1)).at(2), std::make_pair(int64_t{3}, int64_t{2}));  // pending
  f.p->Revertive(101, 3, 5, f.now);
  f.p->Flush();
  EXPECT_EQ(Connections(f.Read(1)), (std::map<int64_t, std::pair<int64_t, int64_t>>{{2, {5, 1}}}));
  EXPECT_EQ(Connections(f.Read(2)), (std::map<int64_t, std::pair<int64_t, int64_t>>{{2, {5, 0}}}));

  // A change made elsewhere (the front panel, the control system) reaches both as tally.
  f.p->Revertive(101, 8, 9, f.now);
  f.p->Flush();
  for (uint64_t s : {1, 2})
    EXPECT_EQ(Connections(f.Read(s)).at(7), std::make_pair(int64_t{9}, int64_t{0}));

  // Disconnect routes source 0, which the driver turns into its park source 7.
  f.Send(2, Take(kMatrixA, 0, {}, Operation::kDisconnect));
  EXPECT_EQ(f.commands.back(), "RC 101 0 1 ',---' 0");
  f.p->Revertive(101, 1, 7, f.now);
  EXPECT_EQ(Connections(f.Read(2)).at(0), std::make_pair(int64_t{7}, int64_t{1}));

  // No revertive: at twice the reply timeout the take is answered with the connection as it
  // stands, tally.
  f.Send(1, Take(kMatrixA, 4, {6}, Operation::kAbsolute));
  EXPECT_EQ(Connections(f.Read(1)).at(4).second, 2);
  EXPECT_EQ(f.p->Tick(f.now + std::chrono::milliseconds(400)), 101);
  EXPECT_TRUE(f.Read(1).empty());
  f.p->Tick(f.now + std::chrono::milliseconds(501));
  EXPECT_EQ(Connections(f.Read(1)).at(4), std::make_pair(int64_t{5}, int64_t{0}));

  // A driver that reads route commands destination first gets them so.
  f.driver.source_to_dest = false;
  f.driver.dest_to_source = true;
  f.p->Drivers({f.driver}, f.now);
  f.Send(1, Take(kMatrixA, 1, {4}, Operation::kAbsolute));
  EXPECT_EQ(f.commands.back(), "RC 101 2 4 ',---' 0");
}

TEST(EmberProvider, TakesTheDriverWouldRefuseAreAnsweredLockedAtOnce) {
  Fixture f;
  TableInfo t = f.Table();
  t.lock[3] = 1;             // destination 4 locked by the control system
  t.controller_lock[4] = 1;  // destination 5 locked at the controller
  f.p->Table(t, f.p->revertive_mark(), f.now);
  f.p->Open(1, "127.0.0.1:1");
  struct Case {
    int target;
    std::vector<uint32_t> sources;
    const char* why;
  };
  for (const Case& c :
       {Case{3, {5}, "locked by the control system"}, Case{4, {5}, "locked at the controller"},
        Case{0, {17}, "source 17 out of range"}, Case{0, {1, 2}, "one source a target"}}) {
    f.Send(1, Take(kMatrixA, c.target, c.sources, Operation::kAbsolute));
    EXPECT_EQ(Connections(f.Read(1)).at(c.target).second, 3) << c.why;
    ASSERT_FALSE(f.traces.empty());
    EXPECT_NE(f.traces.back().find(c.why), std::string::npos) << f.traces.back();
  }
  f.driver.interface_mode = 1;  // RX only
  f.p->Drivers({f.driver}, f.now);
  f.Send(1, Take(kMatrixA, 0, {5}, Operation::kAbsolute));
  EXPECT_EQ(Connections(f.Read(1)).at(0).second, 3);
  EXPECT_NE(f.traces.back().find("RX only"), std::string::npos);
  EXPECT_TRUE(f.commands.empty());

  // A lock the provider learns of only after sending: the refreshed table answers the take.
  f.driver.interface_mode = 2;
  f.p->Drivers({f.driver}, f.now);
  f.Send(1, Take(kMatrixA, 5, {5}, Operation::kAbsolute));
  EXPECT_EQ(f.commands.size(), 1u);
  EXPECT_EQ(Connections(f.Read(1)).at(5).second, 2);
  // No revertive for a while: the tables are read again.
  f.p->Table(t, f.p->revertive_mark(), f.now);
  EXPECT_TRUE(f.p->WantedTables().empty());
  f.p->Tick(f.now + std::chrono::milliseconds(300));
  EXPECT_EQ(f.p->WantedTables().size(), 1u);
  t.lock[5] = 1;
  f.p->Table(t, f.p->revertive_mark(), f.now);
  EXPECT_EQ(Connections(f.Read(1)).at(5).second, 3);

  ProviderOptions read_only;
  read_only.read_only = true;
  Fixture r(read_only);
  r.p->Table(r.Table(), r.p->revertive_mark(), r.now);
  r.p->Open(1, "127.0.0.1:1");
  r.Send(1, Take(kMatrixA, 0, {5}, Operation::kAbsolute));
  EXPECT_EQ(Connections(r.Read(1)).at(0).second, 3);
  EXPECT_TRUE(r.commands.empty());
  EXPECT_NE(r.traces.back().find("read-only"), std::string::npos);
}

TEST(EmberProvider, KeepAlivesGoAheadOfALargeAnswerAndSlowOrBadConsumersAreClosedAlone) {
  ProviderOptions options;
  options.max_unsent = 64 * 1024;
  options.high_water = 8 * 1024;
  Fixture f(options);
  f.driver.routers = {RouterInfo{'A', 101, 4096, 4096}};
  f.p->Drivers({f.driver}, f.now);
  TableInfo t;
  t.device = 101;
  t.tally.assign(4096, 3);
  t.lock.assign(4096, 0);
  t.controller_lock.assign(4096, 0);
  f.p->Table(t, 0, f.now);
  for (uint64_t s : {1, 2, 3}) f.p->Open(s, "127.0.0.1:" + std::to_string(s));
  f.Send(1, Command(kMatrixA, kCommandGetDirectory));
  // Only up to the high-water mark is made at a time.
  EXPECT_LT(f.p->unsent(1), 8u * 1024 + 8192);
  const uint8_t* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(f.p->Peek(1, &data, &size));
  f.p->Sent(1, size / 2);  // half a chunk on the wire
  Bytes keepalive = {0xFE, 0x00, 0x0E, 0x01, 0x01, 0x94, 0xE4, 0xFF};
  f.Send(1, keepalive);
  ASSERT_TRUE(f.p->Peek(1, &data, &size));
  f.p->Sent(1, size);  // the rest of that chunk
  ASSERT_TRUE(f.p->Peek(1, &data, &size));
  EXPECT_EQ(Bytes(data, data + size),
            (Bytes{0xFE, 0x00, 0x0E, 0x02, 0x01, 0xFD, 0xDC, 0xCE, 0xFF}));
  f.p->Sent(1, size);
  size_t messages = 0;
  f.readers[1] = S101Decoder();
  // The whole answer arrives, a few hundred connections a message.
  f.Send(2, Command(kMatrixA, kCommandGetDirectory));
  EXPECT_EQ(Connections(f.Read(2, &messages)).size(), 4096u);
  EXPECT_GE(messages, 4096u / 256);

  // Consumer 3 subscribes and then stops reading: changes pile up until it is closed.
  f.Send(3, Command(kMatrixA, kCommandGetDirectory));
  for (int round = 0; round < 400 && f.closed.empty(); ++round) {
    for (int d = 1; d <= 4096; d += 8) f.p->Revertive(101, d, round % 16, f.now);
    f.p->Flush();
    f.Read(1);
    f.Read(2);
  }
  EXPECT_EQ(f.closed, (std::vector<uint64_t>{3}));
  EXPECT_NE(f.traces.back().find("does not read"), std::string::npos);

  // A malformed frame closes that consumer only.
  f.Send(2, Bytes{0xFE, 0x00, 0x0E, 0x00, 0xFF});
  EXPECT_EQ(f.closed.back(), 2u);
  EXPECT_NE(f.traces.back().find("malformed frame"), std::string::npos);
  EXPECT_EQ(f.p->sessions(), 1u);
  f.p->Revertive(101, 1, 9, f.now);
  f.p->Flush();
  EXPECT_EQ(Connections(f.Read(1)).count(0), 1u);
}

TEST(EmberProvider, DriversThatComeAndGoAreShownNeverRemoved) {
  Fixture f;
  f.p->Flush();
  f.p->Open(1, "127.0.0.1:1");
  f.Send(1, Command({1}, kCommandGetDirectory));
  f.Read(1);
  DriverInfo other = f.driver;
  other.number = 13;
  other.routers = {RouterInfo{'B', 201, 8, 8}};
  f.p->Drivers({f.driver, other}, f.now);
  f.p->Flush();
  // Every element pushed comes with its children, as a directory answer would: a consumer takes
  // the first message naming the element of its pending request as the answer.
  std::vector<GlowElement> got = f.Read(1);
  ASSERT_NE(Find(got, {1}), nullptr);
  EXPECT_EQ(Find(got, {1})->children.size(), 2u);
  EXPECT_NE(Find(got, {1, 13, 2}), nullptr);  // router B
  // A change of driver 12's link, to a consumer that listed its router: the router with its matrix.
  f.Send(1, Command({1, 12, 1}, kCommandGetDirectory));
  f.Read(1);
  f.driver.comms_state = 0;
  f.p->Drivers({f.driver, other}, f.now);
  f.p->Flush();
  got = f.Read(1);
  EXPECT_NE(Find(got, {1, 12, 1, 1}), nullptr);
  f.p->Drivers({other}, f.now);
  f.p->Flush();
  got = f.Read(1);
  ASSERT_NE(Find(got, {1, 12}), nullptr);
  EXPECT_FALSE(Find(got, {1, 12})->online);
  f.Send(1, Command({1}, kCommandGetDirectory));
  got = f.Read(1);
  EXPECT_EQ(Find(got, {1})->children.size(), 2u);
}

}  // namespace
}  // namespace kirn::ember
