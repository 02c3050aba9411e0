#include "discovery/HostPicture.h"

#include "DiscoveryTestSupport.h"
#include "discovery/LaunchServiceManager.h"
#include "insight/SignerChecker.h"
#include "listing/CategoryLoader.h"
#include "listing/Listing.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace daemonary {
namespace {

using test::TemporaryHost;

// Every snapshot is new: the n-th read sees pid 300 + n running "flipper".
class CountingProcessSource final : public ProcessSource {
public:
    ProcessSnapshot allProcesses() const override {
        const int n = ++m_reads;
        return test::snapshotOf({{300 + n, "flipper"}});
    }
    int reads() const { return m_reads; }

private:
    mutable std::atomic<int> m_reads{0};
};

// A host whose tools answer differently on every run, as a busy Mac does: the
// n-th `launchctl list` gives every job pid 100 + n, and the job
// com.example.flip runs only on odd runs. Each run appends its first
// argument to <tool>.args.
class ChangingHostTest : public ::testing::Test {
protected:
    ChangingHostTest() {
        const std::string launchctl = host / "/bin/launchctl";
        test::writeFile(launchctl,
                        "#!/bin/sh\n"
                        "echo \"$1\" >> '" +
                            launchctl +
                            ".args'\n"
                            "n=$(grep -c '^list$' '" +
                            launchctl +
                            ".args')\n"
                            "case \"$1\" in\n"
                            "list)\n"
                            "  printf 'PID\\tStatus\\tLabel\\n'\n"
                            "  printf '%s\\t0\\tcom.example.daemon\\n' $((100 + n))\n"
                            "  printf '%s\\t0\\tcom.example.agent\\n' $((100 + n))\n"
                            "  if [ $((n % 2)) = 1 ]; then\n"
                            "    printf '%s\\t0\\tcom.example.flip\\n' $((100 + n))\n"
                            "  fi ;;\n"
                            "print-disabled)\n"
                            "  printf 'disabled services = {\\n\\t\"com.example.daemon\" => "
                            "disabled\\n}\\n' ;;\n"
                            "esac\n",
                        true);
        test::writeFakeTool(host / "/usr/bin/kmutil", "");
        test::writeFakeTool(host / "/usr/bin/sfltool", "");
        test::writeFakeTool(host / "/usr/bin/osascript", "Helper, /Applications/Helper.app\n");
        test::writeFile(host / "/Library/LaunchDaemons/com.example.daemon.plist",
                        test::definitionXml("com.example.daemon", "/usr/libexec/daemon"));
        test::writeFile(host.home() + "/Library/LaunchAgents/com.example.agent.plist",
                        test::definitionXml("com.example.agent", "/usr/libexec/agent"));
        test::writeFile(host / "/System/Library/LaunchDaemons/com.example.flip.plist",
                        test::definitionXml("com.example.flip", "/usr/libexec/flip"));
    }

    LaunchServiceManager manager() const { return LaunchServiceManager(host.layout(), processes); }
    int runs(std::string_view tool, std::string_view argument) const {
        const std::string args = test::readText(host / (std::string(tool) + ".args"));
        int count = 0;
        for (std::size_t at = 0; (at = args.find(argument, at)) != std::string::npos; ++at) {
            count += at == 0 || args[at - 1] == '\n';
        }
        return count;
    }

    TemporaryHost host;
    std::shared_ptr<CountingProcessSource> processes = std::make_shared<CountingProcessSource>();
};

std::map<std::string, LaunchItem> byLabel(const std::vector<LaunchItem>& items) {
    std::map<std::string, LaunchItem> found;
    for (const LaunchItem& item : items) {
        found.emplace(item.label, item);
    }
    return found;
}

TEST_F(ChangingHostTest, EveryCategoryOfOneLoadSeesTheSameRunOfEachTool) {
    const test::LogCapture log;
    const LaunchServiceManager discovery = manager();
    const std::vector<LaunchScope> scopes(allScopes().begin(), allScopes().end());
    std::map<LaunchScope, std::map<std::string, LaunchItem>> categories;
    for (auto& [scope, items] : loadCategories(discovery, scopes)) {
        categories[scope] = byLabel(items);
    }

    // One run of each tool for the whole load, whatever the categories read.
    EXPECT_EQ(runs("/bin/launchctl", "list"), 1);
    EXPECT_EQ(processes->reads(), 1);
    EXPECT_EQ(runs("/usr/bin/sfltool", "dumpbtm"), 1);
    EXPECT_EQ(runs("/usr/bin/kmutil", "showloaded"), 1);
    EXPECT_EQ(runs("/usr/bin/osascript", "-e"), 2); // the warm-up and the query

    // The first run's answer, in every category that lists the job.
    const auto& mach = categories[LaunchScope::mach];
    ASSERT_EQ(mach.size(), 3u);
    for (const auto& [label, job] : mach) {
        EXPECT_EQ(job.pid, 101) << label;
        EXPECT_EQ(job.status, ServiceStatus::active) << label;
    }
    const LaunchItem& daemon = categories[LaunchScope::system].at("com.example.daemon");
    const LaunchItem& agent = categories[LaunchScope::user].at("com.example.agent");
    const LaunchItem& flip = categories[LaunchScope::macos].at("com.example.flip");
    for (const LaunchItem* record : {&daemon, &agent, &flip}) {
        EXPECT_EQ(record->pid, mach.at(record->label).pid) << record->label;
        EXPECT_EQ(record->status, ServiceStatus::active) << record->label;
        EXPECT_EQ(record->pidSource, PidSource::launchd) << record->label;
    }
    EXPECT_EQ(categories[LaunchScope::user].count("Helper"), 1u);
}

TEST_F(ChangingHostTest, AListingReadsTheDisabledStateOnceBesideTheSameJobTable) {
    const test::LogCapture log;
    const LaunchServiceManager discovery = manager();
    const Listing listing =
        Listing::load(discovery, ListingRequest{{LaunchScope::system, LaunchScope::mach}},
                      SignerChecker(host.layout()));
    EXPECT_EQ(runs("/bin/launchctl", "list"), 1);
    EXPECT_EQ(runs("/bin/launchctl", "print-disabled"), 2); // user and system domain
    ASSERT_TRUE(listing.disabled.has_value());
    ASSERT_EQ(listing.categories.size(), 2u);
    const LaunchItem& daemon = listing.categories[0].second.at(0);
    EXPECT_EQ(listing.disabled->isDisabled(daemon), std::optional<bool>(true));
    EXPECT_EQ(daemon.pid, byLabel(listing.categories[1].second).at(daemon.label).pid);
    // Neither the kernel's nor the login items' tools: no category asked.
    EXPECT_EQ(runs("/usr/bin/kmutil", "showloaded"), 0);
    EXPECT_EQ(runs("/usr/bin/osascript", "-e"), 0);
}

TEST_F(ChangingHostTest, OneCategoryAsksOnlyTheToolsItReads) {
    const test::LogCapture log;
    const LaunchServiceManager discovery = manager();
    discovery.loadItems(LaunchScope::kernel);
    EXPECT_EQ(runs("/usr/bin/kmutil", "showloaded"), 1);
    EXPECT_EQ(runs("/bin/launchctl", "list"), 0);
    EXPECT_EQ(processes->reads(), 0);
    EXPECT_EQ(runs("/usr/bin/sfltool", "dumpbtm"), 0);

    // A reload is a new picture: the job has stopped since.
    const auto first = byLabel(discovery.loadItems(LaunchScope::macos));
    const auto second = byLabel(discovery.loadItems(LaunchScope::macos));
    EXPECT_EQ(first.at("com.example.flip").status, ServiceStatus::active);
    EXPECT_EQ(second.at("com.example.flip").status, ServiceStatus::inactive);
    EXPECT_EQ(runs("/bin/launchctl", "list"), 2);
    EXPECT_EQ(runs("/usr/bin/kmutil", "showloaded"), 1);
    EXPECT_EQ(runs("/usr/bin/osascript", "-e"), 0);
}

TEST_F(ChangingHostTest, APartNotAskedForRunsOnceWhenReadFromSeveralThreads) {
    const test::LogCapture log;
    const HostPicture picture = manager().takePicture({});
    std::vector<std::thread> readers;
    std::atomic<int> active{0};
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&picture, &active] {
            const LaunchctlEntry* entry = picture.jobs().find("com.example.flip");
            active += entry != nullptr && entry->pid.has_value();
        });
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(active, 4);
    EXPECT_EQ(runs("/bin/launchctl", "list"), 1);
    EXPECT_EQ(runs("/bin/launchctl", "print-disabled"), 0);
}

TEST(HostPictureTest, LinesOfARunAreWrittenOnceInAFixedOrder) {
    TemporaryHost host; // no tools at all
    const test::LogCapture log;
    {
        const HostPicture picture = HostPicture::take(
            host.layout(), std::make_shared<test::FixedProcessSource>(ProcessSnapshot()),
            {.jobs = true,
             .processes = true,
             .disabled = false,
             .loadedExtensions = false,
             .backgroundTasks = true,
             .loginItems = false});
        EXPECT_TRUE(picture.jobs().empty());
        EXPECT_TRUE(picture.backgroundTasks().empty());
        picture.writeLog();
        picture.writeLog();
        const HostPicture copy = picture;
        EXPECT_EQ(copy.takenAt(), picture.takenAt());
    }
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("sfltool dumpbtm"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("launchctl"), std::string::npos) << lines[1];
}

} // namespace
} // namespace daemonary
