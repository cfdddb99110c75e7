// The CPUs and memory this process may really use. On a farm node or in a container that is
// often much less than the machine has: the affinity mask (taskset, Slurm's CPU binding) and the
// control group's CPU quota and memory limit bound it, and going past them oversubscribes the
// CPUs or wakes the OOM killer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// CPUs this process may run on (its affinity mask), no more than its control groups' CPU quota
// allows (rounded up). At least 1.
int UsableCpuCount();

// Bytes this process may still allocate: the tighter of the system's available memory and what
// its control groups' memory limits leave. nullopt when neither can be read.
std::optional<std::int64_t> UsableMemoryBytes();

// What the control groups of this process allow, the tightest over every level of the hierarchy
// it sits in; nullopt where nothing is limited.
struct CgroupLimits {
  std::optional<double> cpus;                  // quota / period
  std::optional<std::int64_t> memoryHeadroom;  // limit minus usage
};

// The pieces below read only through their arguments, so that any machine's files can be shown
// to them.

// The text of a file, or nullopt when it cannot be read.
using ReadTextFile = std::function<std::optional<std::string>(const std::string& path)>;

// Finds this process's control groups from /proc/self/mountinfo and /proc/self/cgroup, then
// reads the limits (cgroup v2 cpu.max, memory.max and memory.current; v1 cpu.cfs_quota_us,
// cpu.cfs_period_us, memory.limit_in_bytes and memory.usage_in_bytes) through read.
CgroupLimits ReadCgroupLimits(const ReadTextFile& read);

// cgroup v2 cpu.max ("max 100000" or "150000 100000"): CPUs the quota allows, nullopt for none.
std::optional<double> CpuQuotaV2(const std::string& cpuMax);
// cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us; a quota of -1 means none.
std::optional<double> CpuQuotaV1(const std::string& quotaUs, const std::string& periodUs);
// A memory limit ("max" or bytes) minus the usage, never below 0; nullopt when unlimited (v2
// "max", or v1's page-rounded INT64_MAX) or unreadable. The usage counts the page cache; the
// part of it the kernel reclaims first (inactive_file, or v1's total_inactive_file, in the
// group's memory.stat) counts as free, since it goes before the limit is reached.
std::optional<std::int64_t> MemoryHeadroom(const std::string& limit, const std::string& usage,
                                           const std::string& stat);
// MemAvailable of /proc/meminfo in bytes.
std::optional<std::int64_t> MemAvailableBytes(const std::string& meminfo);

// CPUs to use given the affinity count and a quota: the quota rounded up, within 1 and the count.
int CpuCountWithin(int affinityCpus, std::optional<double> quotaCpus);
