#include "tools/kirn/server/host_names.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>

namespace kirn {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

bool IsLoopbackListen(const std::string& listen_host) {
  if (listen_host == "[::1]") return true;
  in_addr a{};
  return ::inet_pton(AF_INET, listen_host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::set<std::string> HostNamesFor(const std::string& listen_host,
                                   const std::vector<std::string>& allowed) {
  std::set<std::string> names;
  names.insert(Lower(listen_host));
  for (const std::string& name : allowed) names.insert(Lower(name));
  if (listen_host != "0.0.0.0" && listen_host != "[::]") return names;
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') names.insert(Lower(host));
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return names;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = "";
    if (i->ifa_addr->sa_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text,
                  sizeof text);
      names.insert(text);
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, text,
                  sizeof text);
      // A link-local address carries its zone after '%', which a Host header never does.
      std::string t(text);
      names.insert("[" + t.substr(0, t.find('%')) + "]");
    }
  }
  ::freeifaddrs(list);
  return names;
}

}  // namespace kirn
