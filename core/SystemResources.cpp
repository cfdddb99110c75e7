#include "SystemResources.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::optional<std::int64_t> ParseInt64(const std::string& text) {
  const std::vector<std::string> words = Words(text);
  if (words.size() != 1) return std::nullopt;
  std::int64_t value = 0;
  const char* end = words[0].data() + words[0].size();
  const auto [ptr, ec] = std::from_chars(words[0].data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

bool Contains(const std::vector<std::string>& items, const std::string& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

template <typename T>
std::optional<T> Tighter(std::optional<T> a, std::optional<T> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// One mounted control-group hierarchy: where it is mounted and which group is its root.
struct CgroupMount {
  std::string root;
  std::string mountPoint;
};

// The folders of the group at path in a hierarchy, from the group itself up to the mount point.
// A path outside the mount's root (a container that sees the host's paths) gives just the mount.
std::vector<std::string> GroupFolders(const CgroupMount& mount, std::string path) {
  if (mount.root != "/") {
    if (path.rfind(mount.root, 0) == 0 &&
        (path.size() == mount.root.size() || path[mount.root.size()] == '/')) {
      path.erase(0, mount.root.size());
    } else {
      path.clear();
    }
  }
  std::vector<std::string> folders;
  while (!path.empty() && path != "/") {
    folders.push_back(mount.mountPoint + path);
    path.erase(path.find_last_of('/'));
  }
  folders.push_back(mount.mountPoint);
  return folders;
}

struct GroupPlaces {
  std::optional<CgroupMount> unified, cpu, memory;  // v2; v1's cpu and memory controllers
  std::string unifiedPath, cpuPath, memoryPath;     // the process's group in each
};

GroupPlaces FindGroups(const std::string& mountinfo, const std::string& cgroup) {
  GroupPlaces places;
  std::istringstream mounts(mountinfo);
  for (std::string line; std::getline(mounts, line);) {
    const std::vector<std::string> fields = Words(line);
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (dash == fields.end() || dash - fields.begin() < 5 || fields.end() - dash < 4) continue;
    const CgroupMount mount{fields[3], fields[4]};
    const std::string& type = dash[1];
    if (type == "cgroup2" && !places.unified) {
      places.unified = mount;
    } else if (type == "cgroup") {
      const std::vector<std::string> options = Split(dash[3], ',');
      if (Contains(options, "cpu") && !places.cpu) places.cpu = mount;
      if (Contains(options, "memory") && !places.memory) places.memory = mount;
    }
  }
  std::istringstream groups(cgroup);
  for (std::string line; std::getline(groups, line);) {
    // hierarchy-id:controllers:path, the controllers empty for v2
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::vector<std::string> controllers =
        Split(line.substr(first + 1, second - first - 1), ',');
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) places.unifiedPath = path;
    if (Contains(controllers, "cpu")) places.cpuPath = path;
    if (Contains(controllers, "memory")) places.memoryPath = path;
  }
  return places;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return text.str();
}

int AffinityCpuCount() {
  // Masks grow with the machine: retry with room for more CPUs while the call says too small.
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int result = sched_getaffinity(0, size, set);
    const int count = result == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (result == 0) return count;
    if (errno != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

}  // namespace

std::optional<double> CpuQuotaV2(const std::string& cpuMax) {
  const std::vector<std::string> words = Words(cpuMax);
  if (words.empty() || words.size() > 2 || words[0] == "max") return std::nullopt;
  const std::optional<std::int64_t> quota = ParseInt64(words[0]);
  const std::optional<std::int64_t> period =
      words.size() == 2 ? ParseInt64(words[1]) : std::optional<std::int64_t>(100000);
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  return static_cast<double>(*quota) / static_cast<double>(*period);
}

std::optional<double> CpuQuotaV1(const std::string& quotaUs, const std::string& periodUs) {
  const std::optional<std::int64_t> quota = ParseInt64(quotaUs);
  const std::optional<std::int64_t> period = ParseInt64(periodUs);
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  return static_cast<double>(*quota) / static_cast<double>(*period);
}

std::optional<std::int64_t> MemoryHeadroom(const std::string& limit, const std::string& usage,
                                           const std::string& stat) {
  const std::optional<std::int64_t> bytes = ParseInt64(limit);
  // v1 says "no limit" with INT64_MAX rounded down to a page; no machine has 2^62 bytes.
  if (!bytes || *bytes >= (std::int64_t{1} << 62)) return std::nullopt;
  const std::optional<std::int64_t> used = ParseInt64(usage);
  if (!used) return std::nullopt;
  // v1 counts usage over the subtree, so its subtree figure (total_) is the one that matches.
  std::optional<std::int64_t> inactive, totalInactive;
  std::istringstream lines(stat);
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> words = Words(line);
    if (words.size() != 2) continue;
    if (words[0] == "inactive_file") inactive = ParseInt64(words[1]);
    if (words[0] == "total_inactive_file") totalInactive = ParseInt64(words[1]);
  }
  const std::int64_t reclaimable =
      std::clamp<std::int64_t>(totalInactive.value_or(inactive.value_or(0)), 0, *used);
  return std::max<std::int64_t>(0, *bytes - (*used - reclaimable));
}

std::optional<std::int64_t> MemAvailableBytes(const std::string& meminfo) {
  std::istringstream lines(meminfo);
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> words = Words(line);
    if (words.size() == 3 && words[0] == "MemAvailable:" && words[2] == "kB") {
      const std::optional<std::int64_t> kilobytes = ParseInt64(words[1]);
      if (kilobytes && *kilobytes >= 0) return *kilobytes * 1024;
    }
  }
  return std::nullopt;
}

int CpuCountWithin(int affinityCpus, std::optional<double> quotaCpus) {
  int cpus = std::max(1, affinityCpus);
  if (quotaCpus && *quotaCpus > 0) {
    cpus = static_cast<int>(std::min<double>(cpus, std::ceil(*quotaCpus)));
  }
  return std::max(1, cpus);
}

CgroupLimits ReadCgroupLimits(const ReadTextFile& read) {
  CgroupLimits limits;
  const std::optional<std::string> mountinfo = read("/proc/self/mountinfo");
  const std::optional<std::string> cgroup = read("/proc/self/cgroup");
  if (!mountinfo || !cgroup) return limits;
  const GroupPlaces places = FindGroups(*mountinfo, *cgroup);
  auto text = [&](const std::string& path) { return read(path).value_or(""); };

  if (places.unified && !places.unifiedPath.empty()) {
    for (const std::string& folder : GroupFolders(*places.unified, places.unifiedPath)) {
      limits.cpus = Tighter(limits.cpus, CpuQuotaV2(text(folder + "/cpu.max")));
      limits.memoryHeadroom =
          Tighter(limits.memoryHeadroom,
                  MemoryHeadroom(text(folder + "/memory.max"), text(folder + "/memory.current"),
                                 text(folder + "/memory.stat")));
    }
  }
  if (places.cpu && !places.cpuPath.empty()) {
    for (const std::string& folder : GroupFolders(*places.cpu, places.cpuPath)) {
      limits.cpus = Tighter(limits.cpus, CpuQuotaV1(text(folder + "/cpu.cfs_quota_us"),
                                                    text(folder + "/cpu.cfs_period_us")));
    }
  }
  if (places.memory && !places.memoryPath.empty()) {
    for (const std::string& folder : GroupFolders(*places.memory, places.memoryPath)) {
      limits.memoryHeadroom =
          Tighter(limits.memoryHeadroom, MemoryHeadroom(text(folder + "/memory.limit_in_bytes"),
                                                        text(folder + "/memory.usage_in_bytes"),
                                                        text(folder + "/memory.stat")));
    }
  }
  return limits;
}

int UsableCpuCount() {
  return CpuCountWithin(AffinityCpuCount(), ReadCgroupLimits(ReadFile).cpus);
}

std::optional<std::int64_t> UsableMemoryBytes() {
  const std::optional<std::string> meminfo = ReadFile("/proc/meminfo");
  return Tighter(meminfo ? MemAvailableBytes(*meminfo) : std::nullopt,
                 ReadCgroupLimits(ReadFile).memoryHeadroom);
}
