#include "DiscoveryTestSupport.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <string>

namespace daemonary {
namespace {

// Every long option the command-line tool's sources spell as a literal is
// one it accepts or prints; the README must name each.
TEST(CliReadmeTest, EveryLongOptionOfTheToolIsInTheReadme) {
    const std::string readme = test::readText(DAEMONARY_SOURCE_DIR "/README.md");
    ASSERT_FALSE(readme.empty());
    const std::regex literal(R"re("(--[a-z][a-z0-9-]*))re");
    std::set<std::string> options;
    for (const auto& entry : std::filesystem::directory_iterator(DAEMONARY_SOURCE_DIR "/src/cli")) {
        const std::string source = test::readText(entry.path().string());
        for (auto match = std::sregex_iterator(source.begin(), source.end(), literal);
             match != std::sregex_iterator(); ++match) {
            options.insert((*match)[1].str());
        }
    }
    EXPECT_THAT(options, ::testing::IsSupersetOf({"--help", "--scope", "--version"}));
    for (const std::string& option : options) {
        const std::regex named("(^|[^a-z-])" + option + "([^a-z-]|$)");
        EXPECT_TRUE(std::regex_search(readme, named)) << option << " is not in README.md";
    }
}

} // namespace
} // namespace daemonary
