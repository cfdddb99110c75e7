// How many CPUs and how much memory a run may use, read from the control-group files of
// typical machines (a desktop, a Slurm node with cgroup v1, containers with cgroup v2) and from
// the real affinity mask.
#include <gtest/gtest.h>
#include <sched.h>

#include <map>
#include <thread>

#include "BatchRun.h"
#include "SystemResources.h"

namespace {

constexpr std::int64_t kMiB = 1 << 20;

const char kV2Mounts[] =
    "25 30 0:23 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 "
    "rw,nsdelegate\n"
    "30 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";
const char kV1Mounts[] =
    "31 22 0:28 / /sys/fs/cgroup ro,nosuid - tmpfs tmpfs ro,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup "
    "rw,cpu,cpuacct\n"
    "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime shared:12 - cgroup cgroup rw,memory\n"
    "36 31 0:33 / /sys/fs/cgroup/cpuset rw,relatime shared:13 - cgroup cgroup rw,cpuset\n";

struct MachineCase {
  const char* name;
  std::map<std::string, std::string> files;
  std::optional<double> cpus;
  std::optional<std::int64_t> memoryHeadroom;
};

void PrintTo(const MachineCase& c, std::ostream* os) {
  *os << c.name;
}

const MachineCase kMachines[] = {
    {"NoControlGroupsMounted",
     {{"/proc/self/mountinfo", "30 1 8:1 / / rw - ext4 /dev/sda1 rw\n"},
      {"/proc/self/cgroup", "0::/\n"}},
     std::nullopt,
     std::nullopt},
    {"V2NothingLimited",
     {{"/proc/self/mountinfo", kV2Mounts},
      {"/proc/self/cgroup", "0::/user.slice/session-2.scope\n"},
      {"/sys/fs/cgroup/user.slice/session-2.scope/cpu.max", "max 100000\n"},
      {"/sys/fs/cgroup/user.slice/session-2.scope/memory.max", "max\n"},
      {"/sys/fs/cgroup/user.slice/session-2.scope/memory.current", "123456789\n"}},
     std::nullopt,
     std::nullopt},
    {"V2QuotaAndLimitOfTheOwnGroup",
     {{"/proc/self/mountinfo", kV2Mounts},
      {"/proc/self/cgroup", "0::/job/step\n"},
      {"/sys/fs/cgroup/job/step/cpu.max", "150000 100000\n"},
      {"/sys/fs/cgroup/job/step/memory.max", "1073741824\n"},
      {"/sys/fs/cgroup/job/step/memory.current", "268435456\n"},
      {"/sys/fs/cgroup/job/step/memory.stat", "anon 201326592\ninactive_file 67108864\n"}},
     1.5,
     1024 * kMiB - (256 - 64) * kMiB},
    {"V2TighterLimitsOnAParentGroup",
     {{"/proc/self/mountinfo", kV2Mounts},
      {"/proc/self/cgroup", "0::/job/step\n"},
      {"/sys/fs/cgroup/job/step/cpu.max", "max 100000\n"},
      {"/sys/fs/cgroup/job/step/memory.max", "max\n"},
      {"/sys/fs/cgroup/job/step/memory.current", "100\n"},
      {"/sys/fs/cgroup/job/cpu.max", "50000 100000\n"},
      {"/sys/fs/cgroup/job/memory.max", "536870912\n"},
      {"/sys/fs/cgroup/job/memory.current", "524288000\n"}},
     0.5,
     512 * kMiB - 500 * kMiB},
    {"V2ContainerWithItsOwnNamespace",
     {{"/proc/self/mountinfo", kV2Mounts},
      {"/proc/self/cgroup", "0::/\n"},
      {"/sys/fs/cgroup/cpu.max", "200000 100000\n"},
      {"/sys/fs/cgroup/memory.max", "2147483648\n"},
      {"/sys/fs/cgroup/memory.current", "3000000000\n"}},  // over the limit: nothing left
     2.0,
     0},
    {"V1SlurmJob",
     {{"/proc/self/mountinfo", kV1Mounts},
      {"/proc/self/cgroup",
       "6:cpuset:/slurm/uid_1000/job_42\n4:memory:/slurm/uid_1000/job_42/step_0\n"
       "3:cpu,cpuacct:/slurm/uid_1000/job_42/step_0\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/slurm/uid_1000/job_42/step_0/cpu.cfs_quota_us", "-1\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/slurm/uid_1000/job_42/step_0/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/slurm/uid_1000/job_42/cpu.cfs_quota_us", "400000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/slurm/uid_1000/job_42/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/memory/slurm/uid_1000/job_42/step_0/memory.limit_in_bytes", "4294967296\n"},
      {"/sys/fs/cgroup/memory/slurm/uid_1000/job_42/step_0/memory.usage_in_bytes", "1073741824\n"},
      // the group's own inactive_file is smaller than its subtree's, which the usage counts
      {"/sys/fs/cgroup/memory/slurm/uid_1000/job_42/step_0/memory.stat",
       "cache 1\ninactive_file 1048576\ntotal_inactive_file 104857600\n"},
      {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
      {"/sys/fs/cgroup/memory/memory.usage_in_bytes", "8000000000\n"}},
     4.0,
     4096 * kMiB - (1024 - 100) * kMiB},
    {"V1NothingLimited",
     {{"/proc/self/mountinfo", kV1Mounts},
      {"/proc/self/cgroup", "4:memory:/process_api/4645\n3:cpu,cpuacct:/\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/memory/process_api/4645/memory.limit_in_bytes", "9223372036854771712\n"},
      {"/sys/fs/cgroup/memory/process_api/4645/memory.usage_in_bytes", "3760660480\n"}},
     std::nullopt,
     std::nullopt},
    {"V1ContainerMountedAtItsOwnGroup",
     // The container sees the host's group path, but its hierarchy is mounted at that group.
     {{"/proc/self/mountinfo",
       "40 31 0:32 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"
       "41 31 0:29 /docker/abc /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu,cpuacct\n"},
      {"/proc/self/cgroup", "4:memory:/docker/abc\n3:cpu,cpuacct:/docker/abc\n"},
      {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "50000\n"},
      {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "268435456\n"},
      {"/sys/fs/cgroup/memory/memory.usage_in_bytes", "67108864\n"}},
     0.5,
     192 * kMiB},
};

class CgroupLimitsTest : public ::testing::TestWithParam<MachineCase> {};

}  // namespace

TEST_P(CgroupLimitsTest, TightestLimitOverTheGroupsOfTheProcess) {
  const MachineCase& c = GetParam();
  const CgroupLimits limits =
      ReadCgroupLimits([&](const std::string& path) -> std::optional<std::string> {
        const auto it = c.files.find(path);
        if (it == c.files.end()) return std::nullopt;
        return it->second;
      });
  EXPECT_EQ(limits.cpus, c.cpus);
  EXPECT_EQ(limits.memoryHeadroom, c.memoryHeadroom);
}

INSTANTIATE_TEST_SUITE_P(Machines, CgroupLimitsTest, ::testing::ValuesIn(kMachines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SystemResourcesTest, QuotaBoundsTheCpusRoundedUp) {
  struct Row {
    int affinity;
    std::optional<double> quota;
    int cpus;
  };
  const Row rows[] = {{2, std::nullopt, 2}, {2, 0.5, 1},          {8, 1.5, 2},
                      {2, 16.0, 2},         {0, std::nullopt, 1}, {64, 0.01, 1}};
  for (const Row& row : rows) {
    EXPECT_EQ(CpuCountWithin(row.affinity, row.quota), row.cpus)
        << row.affinity << " CPUs, quota " << row.quota.value_or(-1);
  }
}

TEST(SystemResourcesTest, MemAvailableOfMeminfo) {
  EXPECT_EQ(MemAvailableBytes("MemTotal:       16316412 kB\nMemFree:         1279360 kB\n"
                              "MemAvailable:    9041724 kB\nBuffers:          500000 kB\n"),
            std::int64_t{9041724} * 1024);
  EXPECT_EQ(MemAvailableBytes("MemTotal:       16316412 kB\nMemFree:         1279360 kB\n"),
            std::nullopt);  // kernels before 3.14
  EXPECT_EQ(MemAvailableBytes(""), std::nullopt);
}

TEST(SystemResourcesTest, MalformedLimitFilesMeanNoLimit) {
  EXPECT_EQ(CpuQuotaV2(""), std::nullopt);
  EXPECT_EQ(CpuQuotaV2("garbage 100000"), std::nullopt);
  EXPECT_EQ(CpuQuotaV2("0 100000"), std::nullopt);
  EXPECT_EQ(CpuQuotaV1("100000", "0"), std::nullopt);
  EXPECT_EQ(MemoryHeadroom("1000", "", ""), std::nullopt);
  EXPECT_EQ(MemoryHeadroom("12ab", "10", ""), std::nullopt);
}

// `taskset -c 0 raw2dpx ...`: one CPU, however many the machine has.
TEST(SystemResourcesTest, AffinityMaskLimitsTheCpusAndTheJobs) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  int firstCpu = 0;
  while (!CPU_ISSET(firstCpu, &all)) ++firstCpu;

  int cpus = 0;
  int jobs = 0;
  // A thread of its own, so that the test's other threads keep their mask.
  std::thread restricted([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(firstCpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) return;
    cpus = UsableCpuCount();
    jobs = SuggestedJobs(1000);
    sched_setaffinity(0, sizeof all, &all);
  });
  restricted.join();
  EXPECT_EQ(cpus, 1);
  EXPECT_EQ(jobs, 1);
}
