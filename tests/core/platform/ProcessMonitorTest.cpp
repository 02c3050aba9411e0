#include "platform/ProcessMonitor.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace daemonary {
namespace {

std::string ownCommandName() {
    char name[17] = {};
    ::prctl(PR_GET_NAME, name);
    return name;
}

TEST(ProcessMonitorTest, SnapshotHoldsThisProcessAndNeverPidZero) {
    const ProcessSnapshot snapshot = ProcessMonitor().allProcesses();
    ASSERT_FALSE(snapshot.empty());
    EXPECT_EQ(snapshot.count(0), 0u);
    for (const auto& [pid, info] : snapshot) {
        EXPECT_EQ(pid, info.pid);
        EXPECT_GT(pid, 0);
    }
    const auto self = snapshot.find(::getpid());
    ASSERT_NE(self, snapshot.end());
    EXPECT_EQ(self->second.name, ownCommandName());
    EXPECT_EQ(self->second.uid, ::geteuid());
}

TEST(ProcessMonitorTest, LongAndOddNamesAreListedAsTheKernelKeepsThem) {
    // The child renames itself, reports that it is ready over a pipe, then
    // waits for the parent to close it.
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        ::prctl(PR_SET_NAME, "a) b (c) daemon-with-long-name");
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(release[0], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    const ProcessSnapshot snapshot = ProcessMonitor().allProcesses();
    ::close(release[1]);
    ::close(ready[0]);
    int status = 0;
    ::waitpid(child, &status, 0);

    const auto found = snapshot.find(child);
    ASSERT_NE(found, snapshot.end());
    // Linux keeps 15 bytes of the name; parentheses and spaces survive.
    EXPECT_EQ(found->second.name, "a) b (c) daemon");
    EXPECT_EQ(found->second.uid, ::geteuid());
}

TEST(ProcessMonitorTest, ExitedChildIsNotListed) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(ProcessMonitor().allProcesses().count(child), 0u);
}

// An exited child that nobody has reaped yet still has its /proc entry and
// its name; a stopped job must not keep looking like a running one.
TEST(ProcessMonitorTest, UnreapedChildIsNotListed) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(0);
    }
    // Wait for the exit without reaping it.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(ProcessMonitor().allProcesses().count(child), 0u);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
}

#ifdef __linux__
TEST(ProcessMonitorTest, KernelThreadsAreNoProcessesToMatchJobsBy) {
    // kthreadd is pid 2 where the kernel's threads are visible at all; its
    // children carry names such as "watchdogd" that a Mac job may have too.
    std::ifstream stat("/proc/2/stat");
    std::string line;
    if (!std::getline(stat, line) || line.find("(kthreadd)") == std::string::npos) {
        GTEST_SKIP() << "no kernel threads visible here";
    }
    const ProcessSnapshot snapshot = ProcessMonitor().allProcesses();
    EXPECT_EQ(snapshot.count(2), 0u);
    for (const auto& [pid, info] : snapshot) {
        EXPECT_NE(info.name, "kthreadd") << pid;
    }
    EXPECT_EQ(snapshot.count(::getpid()), 1u);
}
#endif

} // namespace
} // namespace daemonary
