// kirn metrics: the workstation's HTTP server for monitoring. This is its main: it reads the
// command line, listens, and hands the server to one run of the wired rooms (metrics_run.h).
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/service_notify.h"
#include "platform/debug_output.h"
#include "tools/kirn/common/tool_client.h"
#include "tools/kirn/history/history_query.h"
#include "tools/kirn/metrics/metrics_commands.h"
#include "tools/kirn/metrics/metrics_run.h"
#include "tools/kirn/server/host_names.h"
#include "tools/kirn/server/http_server.h"
#include "tools/kirn/server/web_access.h"

namespace kirn {

const char kMetricsHelp[] =
    "usage: kirn metrics [--listen ADDR:PORT] [--web-config FILE] [--allowed-host NAME]...\n"
    "                    [--history FILE | --no-history] [--history-days N]\n"
    "                    [--history-max-mb N] [--ember ADDR:PORT]... [--ember-allow A/P]...\n"
    "                    [--ember-max-per-address N] [--ember-read-only] [--ember-access N]\n"
    "Serves the figures and the health of every driver on the workstation bus over HTTP:\n"
    "  /metrics   the Prometheus text exposition (format 0.0.4): xarvel_up, xarvel_comms_ok,\n"
    "             xarvel_link_up, xarvel_routes_total, ... labelled driver (the driver's own\n"
    "             device number), router (a router's device id), controller (A, B, serial),\n"
    "             kind and reason\n"
    "  /healthz   one line per driver, the check of 'kirn status --check' with its default\n"
    "             thresholds; 503 when one of them is CRITICAL (a driver that does not\n"
    "             answer is) or there is no bus, else 200\n"
    "  /          a read-only status page in the browser: every driver at a glance (the\n"
    "             dialog's interface mode, link mode and status of controllers A and B,\n"
    "             active controller, lock infodriver, message line, routes and drops, last\n"
    "             save), updated twice a second\n"
    "  /driver/N  driver N's panel (the fields of its status dialog), its router table and\n"
    "             one router's crosspoints (?router=DEV): every destination with the source\n"
    "             that feeds it, numbers and names, locks marked, changes highlighted; paged,\n"
    "             with a search box\n"
    "  /api/status, /api/driver/N[?router=DEV]\n"
    "             the same as JSON, for scripts (docs/monitoring.md)\n"
    "  /api/events[?driver=N[&router=DEV]]\n"
    "             the changes as server-sent events: a snapshot (the overview, or driver N\n"
    "             with router DEV's crosspoints), then route, mode and link events as they\n"
    "             happen; Last-Event-ID resumes; at most 64 streams, 16 from one address,\n"
    "             apart from the connections below\n"
    "  /api/history/N?router=DEV[&dest=D][&since=T][&until=T][&limit=L][&cursor=C]\n"
    "             driver N's recorded changes of router DEV (of destination D), newest\n"
    "             first, with the router's gaps: at most L rows (default 100, at most\n"
    "             1000) and 'next', the cursor of the next (older) page, or null\n"
    "It learns the drivers from the interface's registrations and remembers every driver\n"
    "it has heard from. At each request it asks all of them at once, under one deadline of\n"
    "1 s: a driver that does not answer in time, or has gone, shows as xarvel_up 0 and\n"
    "holds up nothing else. Requests that come while the drivers are being asked wait for\n"
    "the next round; rounds start at most ten times a second.\n"
    "  --listen ADDR:PORT  where to serve (default 127.0.0.1:9436): a numeric IPv4 address\n"
    "                      or a bracketed IPv6 one; port 0 picks a free port. Only the\n"
    "                      loopback address unless another one is given.\n"
    "  --web-config FILE   TLS and passwords, in the web configuration file format of\n"
    "                      the Prometheus exporters (YAML): tls_server_config (cert_file,\n"
    "                      key_file, client_auth_type, client_ca_file, client_allowed_sans,\n"
    "                      min_version, max_version, cipher_suites, curve_preferences,\n"
    "                      prefer_server_cipher_suites), http_server_config (http2,\n"
    "                      headers) and basic_auth_users (user: bcrypt hash, as made by\n"
    "                      'htpasswd -nBC 10 USER'). Every path is under the same rules.\n"
    "                      The file (and the certificate and key) is read again when it\n"
    "                      changes, looked at once a second; a broken new file keeps the\n"
    "                      last good one, and so does one that drops every user or TLS\n"
    "                      unless it says 'basic_auth_users: none' or 'tls_server_config:\n"
    "                      none'. TLS offers only ECDHE with AEAD ciphers unless\n"
    "                      cipher_suites says otherwise. A good password is remembered;\n"
    "                      after 5 wrong ones an address waits (1 s, doubling, up to\n"
    "                      30 s: 429); at most 10 password checks a second in all (503).\n"
    "                      Without it on an address other than loopback, anyone on the\n"
    "                      network reads everything: a warning says so (and /healthz).\n"
    "  --allowed-host NAME without passwords, only requests for loopback names, the\n"
    "                      listening address (for 0.0.0.0 or [::] also this machine's\n"
    "                      names and addresses) and these names are served; any other\n"
    "                      Host is answered 421 (a page rebinding its name to this\n"
    "                      address reads nothing). Repeatable.\n"
    "Names of sources and destinations are the interface's name look-ups, read a few at a\n"
    "time and kept for a minute; the drivers are only ever asked for their counters, status\n"
    "panel and router tables, and nothing a request says reaches them beyond which.\n"
    "Only GET and HEAD are served (others: 405); an unknown path gets 404; a malformed\n"
    "request or one with a body 400, a target over 1024 bytes 414, one whose request line or\n"
    "headers outgrow 16 KiB 414 or 431; a line that is not HTTP at all is closed unanswered.\n"
    "Two Content-Length or Host headers, a bare CR or a signed Content-Length: 400.\n"
    "At most 256 connections, 8 from one address (IPv6: one /64), and of them at most 128\n"
    "still in their handshake or head from addresses not served in the last 10 minutes;\n"
    "one that has not sent a whole request head 5 s after connecting (or after its last\n"
    "answer) is closed. History queries run on a worker, each within 500 ms, at most 2\n"
    "at a time from one address (429) and 16 in all (503).\n"
    "The crosspoint history: every tally change the drivers report (each revertive the\n"
    "interface relays to kirn metrics) is recorded with the time in milliseconds, the\n"
    "driver, router, destination, source and both names as they were, in an SQLite\n"
    "database (WAL; written in batches on a thread of its own). Whatever the feed misses\n"
    "is a gap row: relays the interface dropped, its start and stop, a bus loss, a driver\n"
    "gone or not answering, a driver in RX only. After a gap the driver's tables are read\n"
    "again and the destinations that differ from the history are written as found.\n"
    "Ask it with 'kirn history'. When the file cannot be written (a full disk, no\n"
    "permission) recording is off (a warning, xarvel_exporter_history_up 0, a /healthz\n"
    "line) and is tried again every 5 s; everything else goes on serving. A file written\n"
    "by a newer kirn is refused and left untouched (docs/history.md).\n"
    "  --history FILE      the history (default $KIRN_HISTORY, else\n"
    "                      $XDG_STATE_HOME/kirn/history.db, else\n"
    "                      ~/.local/state/kirn/history.db)\n"
    "  --no-history        record nothing\n"
    "  --history-days N    keep N days (default 90; 0: no age limit)\n"
    "  --history-max-mb N  keep the used pages under N MiB (default 1024; 0: no limit),\n"
    "                      oldest first; the last change of every destination before the\n"
    "                      cut is kept, so the state at the cut stays known\n"
    "Ember+ (docs/ember.md): every router of every driver as a matrix that panels and\n"
    "control systems browse, watch and route, from the same survey as the page.\n"
    "  --ember ADDR:PORT   also serve Ember+ there (repeatable; off unless given;\n"
    "                      127.0.0.1:9000 is the usual choice). A take becomes the control\n"
    "                      system's route command to the driver (RC); what the driver would\n"
    "                      refuse (RX only, a lock, out of range) is answered locked at once,\n"
    "                      the rest pending, then modified with the revertive, or the\n"
    "                      connection as it stands after twice the driver's reply timeout.\n"
    "                      Ember+ has no authentication: keep it on loopback, or allow only\n"
    "                      the panels' addresses, behind a firewall.\n"
    "  --ember-allow ADDRESS[/PREFIX]\n"
    "                      only these peers may connect (repeatable; IPv4 or IPv6); others\n"
    "                      are closed at accept with a line in the journal\n"
    "  --ember-max-per-address N\n"
    "                      consumers from one address at once (default 16; 128 in all)\n"
    "  --ember-read-only   consumers browse and watch; every take is answered locked\n"
    "  --ember-access N    the access number of its route commands (0..1000, default 0,\n"
    "                      which the access list always allows)\n"
    "Prints 'listening http://ADDR:PORT' (https:// with TLS) once it serves, then\n"
    "'ember ADDR:PORT' for each Ember+ address; without a bus it serves all the\n"
    "same (xarvel_exporter_bus_up 0) and connects once there is one. Ends on SIGTERM or\n"
    "SIGINT (exit 0). Exit 1 when it cannot listen on the address, 2 on a usage error.\n";

namespace {

// Reads the command line into `o`: -1 when it reads, else the exit code of the usage error
// (told on standard error).
int ParseOptions(const Args& args, MetricsOptions* o) {
  o->history.path = DefaultHistoryPath();
  std::string ember_error;
  for (size_t i = 0; i < args.size(); ++i) {
    long long n = 0;
    if (args[i] == "--listen") {
      if (i + 1 >= args.size()) return UsageError("metrics", "--listen needs ADDR:PORT");
      o->listen = args[++i];
    } else if (args[i] == "--web-config") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return UsageError("metrics", "--web-config needs a FILE");
      }
      o->web_config = args[++i];
    } else if (args[i] == "--allowed-host") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return UsageError("metrics", "--allowed-host needs a NAME");
      }
      o->allowed_hosts.push_back(args[++i]);
    } else if (args[i] == "--history") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return UsageError("metrics", "--history needs a FILE");
      }
      o->history.path = args[++i];
    } else if (args[i] == "--no-history") {
      o->record = false;
    } else if (args[i] == "--history-days") {
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 0, 100000, &n)) {
        return UsageError("metrics", "--history-days takes a number of days 0..100000");
      }
      o->history.days = static_cast<int>(n);
      ++i;
    } else if (args[i] == "--history-max-mb") {
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 0, 1LL << 30, &n)) {
        return UsageError("metrics", "--history-max-mb takes a number of MiB");
      }
      o->history.max_bytes = n * 1024 * 1024;
      ++i;
    } else if (args[i] == "--history-max-pages") {
      // Not in the help: a full disk made on purpose (tests, benchmarks).
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 1, 1LL << 40, &n)) {
        return UsageError("metrics", "--history-max-pages takes a number");
      }
      o->history.max_pages = n;
      ++i;
    } else if (const int taken = ember::ParseEmberOption(args, &i, &o->ember, &ember_error);
               taken != 0) {
      if (taken < 0) return UsageError("metrics", ember_error);
    } else if (args[i] == "--" && i + 1 == args.size()) {
      break;
    } else {
      return UsageError("metrics", "unexpected argument '" + args[i] + "'");
    }
  }
  return -1;
}

}  // namespace

int RunMetrics(const Args& args) {
  MetricsOptions options;
  if (const int code = ParseOptions(args, &options); code >= 0) return code;
  sockaddr_storage address;
  socklen_t length = 0;
  std::string error;
  if (!ParseListenAddress(options.listen, &address, &length, &error)) {
    return UsageError("metrics", "--listen " + error);
  }
  std::unique_ptr<WebAccess> access = WebAccess::Load(options.web_config, &error);
  if (!access) return Failure("metrics", error);
  const HttpTls tls = access->tls() ? access->TlsOptions() : HttpTls{};
  std::unique_ptr<HttpServer> server =
      HttpServer::Listen(options.listen, HttpLimits{}, &error, access->tls() ? &tls : nullptr);
  if (!server) return Failure("metrics", error);
  // Without credentials only requests for this machine's own names are served, so that a web
  // page that rebinds its name to this address reads nothing.
  const std::string listen_host = options.listen.substr(0, options.listen.rfind(':'));
  access->Attach(server.get(), HostNamesFor(listen_host, options.allowed_hosts));
  std::string warning;
  if (options.web_config.empty() && !IsLoopbackListen(listen_host)) {
    warning = "XARVEL WARNING - served on " + server->address() +
              " without TLS or a password: anyone on the network can read it (see --web-config)\n";
    plat::OutputDebugString("kirn metrics: " + warning.substr(15), plat::LogLevel::kWarning);
  }
  // A file-size limit makes writes fail (recording goes off) instead of ending the process.
  ::signal(SIGXFSZ, SIG_IGN);
  MetricsRun run(*server, options, warning);
  if (!run.ServeEmber(options.ember, &error)) return Failure("metrics", "--ember " + error);
  run.ShowWebAccess(access.get());

  InstallStopSignals();
  run.Start();
  const std::string scheme = access->tls() ? "https://" : "http://";
  std::printf("listening %s%s\n", scheme.c_str(), server->address().c_str());
  for (const std::string& a : run.ember_addresses()) std::printf("ember %s\n", a.c_str());
  std::fflush(stdout);
  xarvel::ServiceNotify_Send("READY=1\nSTATUS=serving " + scheme + server->address());
  while (!StopRequested()) {
    run.Turn();
    access->Poll();
  }
  xarvel::ServiceNotify_Send("STOPPING=1");
  server.reset();
  return 0;
}

}  // namespace kirn
