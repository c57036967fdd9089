// Fuzz target: the Ember+ provider's reading of what consumers send. A consumer's bytes go through
// the S101 decoder, the BER and Glow reading, and the provider's sessions, with one driver of two
// routers in its model.
//
// Input: byte 0 chooses how the rest is sent. Bit 0 clear: the rest is a message's payload, framed
// properly by the encoder (the CRC right, so that the BER and Glow reading get the input), in
// packets of (byte 0 >> 1) + 1 bytes; the decoder must give it back whole. Bit 0 set: the rest is
// the raw byte stream. Whatever the input: nothing crashes or overruns, the requests of a message
// stay within the limits, and everything the provider answers reads back as well-formed Glow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tools/kirn/ember/glow.h"
#include "tools/kirn/ember/provider.h"
#include "tools/kirn/ember/s101.h"

namespace {

using kirn::ember::DriverInfo;
using kirn::ember::Provider;

std::unique_ptr<Provider> MakeProvider() {
  Provider::Sink sink;
  sink.route = [](int, const std::string&) { return true; };
  kirn::ember::ProviderOptions options;
  options.max_unsent = 1u << 20;
  auto p = std::make_unique<Provider>(sink, options);
  DriverInfo d;
  d.number = 12;
  d.up = true;
  d.interface_mode = 2;
  d.park_source = 3;
  d.routers = {{'A', 101, 16, 32}, {'B', 102, 300, 600}};
  p->Drivers({d}, Provider::Clock::now());
  kirn::ember::TableInfo t;
  t.device = 101;
  t.tally.assign(32, 2);
  t.lock.assign(32, 0);
  t.lock[4] = 1;
  t.controller_lock.assign(32, 0);
  p->Table(t, 0, Provider::Clock::now());
  p->Name(101, 1, 1, "DEST 1");
  return p;
}

// Drains session 1's output and checks that it reads back.
void Drain(Provider& p) {
  kirn::ember::S101Decoder reader;
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::vector<kirn::ember::S101Event> events;
  for (int guard = 0; guard < 100000 && p.Peek(1, &data, &size); ++guard) {
    if (!reader.Feed(data, size, &events)) std::abort();
    p.Sent(1, size);
  }
  for (const auto& e : events) {
    if (e.kind != kirn::ember::S101Event::Kind::kMessage) continue;
    std::vector<kirn::ember::GlowElement> elements;
    std::string error;
    if (!kirn::ember::DecodeElements(e.payload.data(), e.payload.size(), {}, &elements, &error)) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const std::vector<uint8_t> rest(data + 1, data + size);
  std::vector<uint8_t> stream;
  if ((mode & 1) == 0) {
    kirn::ember::S101Encoder::Message(rest, &stream, static_cast<size_t>(mode >> 1) + 1);
    kirn::ember::S101Decoder d;
    std::vector<kirn::ember::S101Event> events;
    if (!d.Feed(stream.data(), stream.size(), &events) || events.size() != 1 ||
        events[0].payload != rest) {
      std::abort();
    }
    std::vector<kirn::ember::GlowRequest> requests;
    std::string error;
    const kirn::ember::GlowLimits limits;
    if (kirn::ember::DecodeRequests(rest.data(), rest.size(), limits, &requests, &error)) {
      size_t connections = 0;
      for (const auto& r : requests) connections += r.connections.size();
      if (requests.size() > limits.max_requests || connections > limits.max_connections) {
        std::abort();
      }
    }
  } else {
    stream = rest;
  }
  static std::unique_ptr<Provider> provider = MakeProvider();
  provider->Open(1, "fuzz");
  provider->Received(1, stream.data(), stream.size(), Provider::Clock::now());
  provider->Flush();
  Drain(*provider);
  provider->Tick(Provider::Clock::now() + std::chrono::hours(1));
  Drain(*provider);
  provider->Closed(1);
  return 0;
}
