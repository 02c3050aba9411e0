#include "discovery/KernelServiceManager.h"

#include "DiscoveryTestSupport.h"
#include "PlistTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace daemonary {
namespace {

using test::labelsOf;
using test::LogCapture;
using test::plistXml;
using test::TemporaryHost;
using test::writeFakeTool;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

constexpr std::string_view kListing =
    "Index Refs Address            Size       Wired      Name (Version) UUID <Linked Against>\n"
    "    1  142 0                  0          0          com.apple.kpi.bsd (20.5.0) "
    "52A1E876-863E-38E3-AC80-09BBAB13B752 <>\n"
    "   10   12 0xffffff8003544000 0x92000    0x92000    com.apple.kec.corecrypto (11.1) "
    "F5F1255F-6552-3CF4-A9DB-D60EFDEB4A9A <8 7 6 5 3 1>\n";

TEST(KernelListingTest, IndexAndIdentifierOfDataLinesOnly) {
    EXPECT_THAT(
        KernelServiceManager::parseLoadedExtensions(kListing),
        UnorderedElementsAre(Pair("com.apple.kpi.bsd", 1), Pair("com.apple.kec.corecrypto", 10)));
    // Five columns, or a first column that is not a number: not a data line.
    EXPECT_EQ(KernelServiceManager::parseLoadedExtensionLine("3 1 0 0 0"), std::nullopt);
    EXPECT_EQ(KernelServiceManager::parseLoadedExtensionLine("x3 1 0 0 0 com.a (1)"), std::nullopt);
    EXPECT_EQ(KernelServiceManager::parseLoadedExtensionLine("\t7\t1  0 0\t0 com.a"),
              (std::pair<std::string, std::int32_t>{"com.a", 7}));
    // A later line for the same identifier wins.
    EXPECT_THAT(KernelServiceManager::parseLoadedExtensions("1 0 0 0 0 com.a\r\n2 0 0 0 0 com.a"),
                ElementsAre(Pair("com.a", 2)));
}

std::string infoPlist(std::string_view identifier) {
    return plistXml("<dict><key>CFBundleIdentifier</key><string>" + std::string(identifier) +
                    "</string></dict>");
}

class KernelExtensionsTest : public ::testing::Test {
protected:
    KernelExtensionsTest() {
        const std::string system = host / "/System/Library/Extensions";
        const std::string library = host / "/Library/Extensions";
        // Matched by name as com.apple.driver.Foo; its Info.plist names another
        // loaded identifier and must not be consulted.
        writeFile(system + "/Foo.kext/Contents/Info.plist", infoPlist("com.example.other"));
        // Matched only through Info.plist.
        writeFile(library + "/Vendor.kext/Contents/Info.plist", infoPlist("com.vendor.driver"));
        // Saved as UTF-16 by an editor; read like UTF-8.
        writeFile(library + "/Wide.kext/Contents/Info.plist",
                  test::encodeUnicode(infoPlist("com.vendor.wide"), 2, false));
        writeFile(library + "/Broken.kext/Contents/Info.plist", "garbage");
        writeFile(library + "/Number.kext/Contents/Info.plist",
                  plistXml("<dict><key>CFBundleIdentifier</key><integer>1</integer></dict>"));
        test::makeDirectory(system + "/Upper.KEXT");
        writeFile(system + "/Plain.kext", "a file, still listed");
        writeFile(system + "/README", "x");
    }
    KernelServiceManager manager() const { return KernelServiceManager(host.layout()); }

    TemporaryHost host;
    LogCapture log;
};

TEST_F(KernelExtensionsTest, BundlesOfBothFoldersMatchedByNameThenInfoPlist) {
    writeFakeTool(host / "/usr/bin/kmutil",
                  "Index Refs Address Size Wired Name (Version) UUID <Linked Against>\n"
                  "   40    0 0 0 0 com.apple.driver.Foo (1) U <>\n"
                  "   41    0 0 0 0 com.example.other (1) U <>\n"
                  "   42    0 0 0 0 com.vendor.driver (1) U <>\n"
                  "   43    0 0 0 0 1 (1) U <>\n"
                  "   44    0 0 0 0 com.vendor.wide (1) U <>\n",
                  "No variant specified, falling back to release\n");

    const std::vector<LaunchItem> items = manager().loadKernelExtensions();
    ASSERT_THAT(labelsOf(items), ElementsAre("Foo.kext", "Plain.kext", "Broken.kext", "Number.kext",
                                             "Vendor.kext", "Wide.kext"));
    EXPECT_EQ(items[0].index, 40);
    EXPECT_EQ(items[0].path, host / "/System/Library/Extensions/Foo.kext");
    EXPECT_EQ(items[4].index, 42);
    EXPECT_EQ(items[4].status, ServiceStatus::active);
    EXPECT_EQ(items[5].index, 44);
    for (const std::size_t unmatched : {1u, 2u, 3u}) {
        EXPECT_EQ(items[unmatched].index, std::nullopt) << items[unmatched].label;
        EXPECT_EQ(items[unmatched].status, ServiceStatus::inactive);
    }
    for (const LaunchItem& item : items) {
        EXPECT_EQ(item.pid, std::nullopt);
        EXPECT_EQ(item.executablePath, std::nullopt);
        EXPECT_EQ(item.scope, LaunchScope::kernel);
        EXPECT_EQ(item.type, ServiceType::kernelExtension);
    }
    EXPECT_EQ(test::readText(host / "/usr/bin/kmutil.args"), "showloaded\n--list-only\n");
    // kmutil's note is kept from the output and logged only as chatter.
    Log::setVerbose(false);
    EXPECT_FALSE(manager().loadedExtensionIndices().empty());
    Log::setVerbose(true);
    EXPECT_THAT(log.lines(), ElementsAre("kmutil: No variant specified, falling back to release"));
}

TEST_F(KernelExtensionsTest, WithoutKmutilEveryBundleIsInactive) {
    const std::vector<LaunchItem> items = manager().loadKernelExtensions();
    EXPECT_EQ(items.size(), 6u);
    for (const LaunchItem& item : items) {
        EXPECT_EQ(item.status, ServiceStatus::inactive) << item.label;
    }
    EXPECT_THAT(
        log.lines(),
        ElementsAre("KernelServiceManager: Failed to run kmutil: No such file or directory"));

    // Output that is not UTF-8 counts as no listing, without a log line.
    writeFakeTool(host / "/usr/bin/kmutil", "   40 0 0 0 0 com.apple.driver.Foo \xFF\n");
    EXPECT_EQ(manager().loadKernelExtensions()[0].status, ServiceStatus::inactive);
    EXPECT_EQ(log.lines().size(), 1u);
}

} // namespace
} // namespace daemonary
