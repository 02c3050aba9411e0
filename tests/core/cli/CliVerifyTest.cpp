#include "../signing/SigningFixtures.h"
#include "Cli.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace daemonary {
namespace {

using namespace daemonary::test;

struct VerifyRun {
    int status = 0;
    std::string out;
    std::string err;
};

VerifyRun verify(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "verify");
    std::ostringstream out;
    std::ostringstream err;
    VerifyRun run;
    run.status = runCli(arguments, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

TEST(CliVerifyTest, JsonGivesOneObjectPerPathAndTheExitStatusFollowsTheClasses) {
    const VerifyRun run = verify({"--json", sentryUniversal(), esbuildArm64(), esbuildX64()});
    EXPECT_EQ(run.status, 1); // the unsigned esbuild is not intact
    const nlohmann::json array = nlohmann::json::parse(run.out);
    ASSERT_EQ(array.size(), 3u);
    EXPECT_EQ(array[0]["path"], sentryUniversal());
    EXPECT_EQ(array[0]["class"], "Developer ID");
    EXPECT_EQ(array[0]["teamIdentifier"], "97JCY7859U");
    EXPECT_EQ(array[0]["cdhashes"]["arm64"], "0b061c70be64938c3cefa26bb236f2ef5d6c9425");
    EXPECT_EQ(array[0]["architectures"], nlohmann::json::array({"x86_64", "arm64"}));
    EXPECT_EQ(array[0]["hardenedRuntime"], true);
    EXPECT_TRUE(array[0]["reason"].is_null());
    EXPECT_EQ(array[1]["class"], "Ad hoc");
    EXPECT_TRUE(array[1]["teamIdentifier"].is_null());
    EXPECT_EQ(array[2]["class"], "Unsigned");

    const VerifyRun intact = verify({sentryUniversal(), esbuildArm64()});
    EXPECT_EQ(intact.status, 0);
    EXPECT_THAT(intact.out, ::testing::HasSubstr("Developer ID — GetSentry LLC (97JCY7859U)"));
}

TEST(CliVerifyTest, UsageErrorsExitWithTwo) {
    EXPECT_EQ(verify({}).status, kCliUsageError);
    const VerifyRun unknown = verify({"--jsno", sentryUniversal()});
    EXPECT_EQ(unknown.status, kCliUsageError);
    EXPECT_THAT(unknown.err, ::testing::HasSubstr("unknown option"));
    // After "--" a name that looks like an option is a path.
    const VerifyRun path = verify({"--", "--json"});
    EXPECT_EQ(path.status, 1);
    EXPECT_THAT(path.out, ::testing::HasSubstr("--json: Invalid"));
}

} // namespace
} // namespace daemonary
