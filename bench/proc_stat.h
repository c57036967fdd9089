// What the benchmarks read of /proc: the CPU time of a process or of each of its threads, a
// memory figure of its status, and the machine's busy and total time.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "child_process.h"

namespace bench {

// Clock ticks a second, the unit of the CPU times below.
inline double TicksPerSecond() {
  return static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// utime + stime in clock ticks from a stat file (/proc/PID/stat or /proc/PID/task/TID/stat),
// -1 when it cannot be read.
inline long long CpuTicksOf(const std::filesystem::path& stat_file) {
  const std::string stat = child::ReadAll(stat_file);
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  long long user = 0;
  long long system = 0;
  // After the command's closing parenthesis: the state and 10 more fields before utime and
  // stime (fields 14 and 15 of the file).
  if (std::sscanf(stat.c_str() + close + 1,
                  " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &user, &system) != 2) {
    return -1;
  }
  return user + system;
}

// The CPU time (user + system) of process `pid` in clock ticks, -1 when it cannot be read.
inline long long CpuTicks(pid_t pid) {
  return CpuTicksOf("/proc/" + std::to_string(pid) + "/stat");
}

// The same in seconds, -1 when it cannot be read.
inline double CpuSeconds(pid_t pid) {
  const long long ticks = CpuTicks(pid);
  return ticks < 0 ? -1 : static_cast<double>(ticks) / TicksPerSecond();
}

// The CPU time of each thread of `pid` in clock ticks, by thread id.
inline std::map<int, long long> ThreadTicks(pid_t pid) {
  std::map<int, long long> out;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const long long ticks = CpuTicksOf(entry.path() / "stat");
    if (ticks >= 0) out[std::atoi(entry.path().filename().c_str())] = ticks;
  }
  return out;
}

// A value in kB of /proc/PID/status ("VmRSS", "VmHWM"), -1 when absent.
inline long StatusKb(pid_t pid, const std::string& key) {
  const std::string status = child::ReadAll("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\n" + key + ":");
  if (at == std::string::npos) return -1;
  return std::atol(status.c_str() + at + key.size() + 2);
}

// The machine's busy and total jiffies (all CPUs), from /proc/stat; {0, 1} when unreadable.
inline std::pair<long long, long long> MachineTicks() {
  const std::string stat = child::ReadAll("/proc/stat");
  long long v[8] = {};
  if (std::sscanf(stat.c_str(), "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1], &v[2],
                  &v[3], &v[4], &v[5], &v[6], &v[7]) != 8) {
    return {0, 1};
  }
  long long total = 0;
  for (long long x : v) total += x;
  return {total - v[3] - v[4], total};
}

}  // namespace bench
