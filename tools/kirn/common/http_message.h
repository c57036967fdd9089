// A request as kirn's HTTP server hands it to a handler, and the answer a handler gives: plain
// values, so that the rooms that make answers (the page, the history's API) need not know the
// server (tools/kirn/server/http_server.h) that carries them.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kirn {

struct HttpRequest {
  bool head = false;  // HEAD rather than GET
  std::string path;   // the path without its query, as decoded by the library
  // The query's arguments as decoded by the library (the first of a repeated name; an argument
  // without '=' has an empty value).
  std::map<std::string, std::string> args;
  // The Last-Event-ID header (an event stream's reconnect), empty when there is none.
  std::string last_event_id;
  // The client it came from (its address; an IPv6 one by its /64), for limits per client.
  std::string client;
  // The value of argument `name`, or `absent`.
  std::string Arg(const std::string& name, const std::string& absent = "") const {
    auto it = args.find(name);
    return it == args.end() ? absent : it->second;
  }
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  // Extra headers; one named like a default header of the server (kSecurityHeaders in
  // http_server.h) replaces it.
  std::vector<std::pair<std::string, std::string>> headers;
};

}  // namespace kirn
