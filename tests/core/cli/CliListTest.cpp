#include "Cli.h"
#include "DiscoveryTestSupport.h"
#include "ListCommand.h"
#include "PrettyJson.h"
#include "discovery/LaunchServiceManager.h"
#include "discovery/MetadataManager.h"
#include "listing/CategoryLoader.h"
#include "model/LaunchItemJson.h"
#include "text/JsonText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

#if defined(DAEMONARY_HOSTSIM_PATH)
#include "discovery/LaunchctlTable.h"
#include "platform/FileSystem.h"
#include "platform/ToolRunner.h"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

namespace daemonary {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<LaunchScope> scopesOf(const std::vector<std::string>& arguments) {
    auto parsed = parseListOptions(arguments);
    const auto* options = std::get_if<ListOptions>(&parsed);
    return options ? options->scopes : std::vector<LaunchScope>{};
}

TEST(CliListOptionsTest, ScopesComeInSidebarOrderOnce) {
    EXPECT_EQ(scopesOf({}).size(), 8u);
    EXPECT_EQ(scopesOf({"--scope", "all"}), scopesOf({}));
    EXPECT_THAT(
        scopesOf({"--scope", "Others", "--json", "--scope=Privileged", "--scope", "Others",
                  "--scope", "macOS"}),
        ElementsAre(LaunchScope::privilegedHelperTools, LaunchScope::macos, LaunchScope::others));
    auto parsed = parseListOptions({"--json", "--defaults"});
    ASSERT_TRUE(std::holds_alternative<ListOptions>(parsed));
    EXPECT_TRUE(std::get<ListOptions>(parsed).json);
    EXPECT_TRUE(std::get<ListOptions>(parsed).defaults);
}

TEST(CliListOptionsTest, UsageErrorsExitTwoAndNameTheValidScopes) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"list", "--scope", "macos"},
          std::vector<std::string>{"list", "--scope"}, std::vector<std::string>{"list", "--all"},
          std::vector<std::string>{}}) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(runCli(arguments, out, err), 2);
        EXPECT_EQ(out.str(), "");
        EXPECT_THAT(err.str(), HasSubstr("Usage: daemonary-cli"));
    }
    std::ostringstream out;
    std::ostringstream err;
    // A mistyped command: the error and where help is, not the whole help.
    EXPECT_EQ(runCli({"frobnicate"}, out, err), 2);
    EXPECT_EQ(err.str(), "daemonary-cli: unknown command \"frobnicate\"\n"
                         "Run \"daemonary-cli --help\" for the commands.\n");
    err.str({});
    runCli({"list", "--scope", "privilegedHelperTools"}, out, err);
    EXPECT_THAT(
        err.str(),
        HasSubstr("unknown scope \"privilegedHelperTools\"; valid names: "
                  "Privileged, System, User, macOS, Mach, Kernel, Others, Background, all"));

    std::ostringstream help;
    EXPECT_EQ(runCli({"--help"}, help, err), 0);
    EXPECT_THAT(help.str(), HasSubstr("list [--scope NAME]... [--json] [--defaults]"));
}

LaunchItem sample(std::string label, std::optional<std::string> path, LaunchScope scope) {
    LaunchItem item;
    item.label = std::move(label);
    item.path = std::move(path);
    item.status = ServiceStatus::active;
    item.scope = scope;
    item.type = ServiceType::other;
    return item;
}

TEST(CliListOutputTest, JsonKeepsRecordsAndStaysValidForAnyBytes) {
    test::TemporaryHost folder;
    test::writeFile(folder / "/mach.plist", test::plistXml("<array><string>m</string></array>"));
    const test::LogCapture log; // the other two lists are missing
    const MetadataManager metadata(folder.root());

    LaunchItem kext = sample("K.kext", "/Library/Extensions/K\xFF.kext", LaunchScope::kernel);
    kext.index = 3;
    const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories = {
        {LaunchScope::mach, {sample("m", std::nullopt, LaunchScope::mach)}},
        {LaunchScope::kernel, {kext}},
    };

    const auto plain = nlohmann::ordered_json::parse(listJson(categories, nullptr));
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_EQ(plain.begin().key(), "Mach");
    EXPECT_EQ(plain["Mach"][0],
              (nlohmann::ordered_json{
                  {"label", "m"}, {"status", "Active"}, {"scope", "Mach"}, {"type", "Other"}}));
    EXPECT_EQ(plain["Kernel"][0]["index"], 3);
    EXPECT_EQ(plain["Kernel"][0]["path"], "/Library/Extensions/K\xEF\xBF\xBD.kext");

    const auto withDefaults = nlohmann::json::parse(listJson(categories, &metadata));
    EXPECT_EQ(withDefaults["Mach"][0]["systemDefault"], true);
    EXPECT_EQ(withDefaults["Kernel"][0]["systemDefault"], false);
}

// The listing writes its document piece by piece; the bytes must be those of
// the library's own dump of the whole document, with the controls jsonText
// escapes beyond the library's.
TEST(CliListOutputTest, JsonIsWrittenAsTheLibraryDumpsIt) {
    using Json = nlohmann::ordered_json;
    const auto libraryDump = [](const Json& value) { return jsonText(value, 2); };
    const std::string awkward[] = {
        "plain /Library/LaunchAgents/com.example.plist",
        "quote \" backslash \\ slash /",
        std::string("controls \x01\x1f\t\n\r\b\f and NUL ") + '\0' + " end",
        "DEL \x7f",
        "CSI \xC2\x9B and override \xE2\x80\xAE",
        "caf\xC3\xA9 \xF0\x9F\x9A\x80",
        "invalid \xFF, cut \xC3",
        "overlong \xC0\xAF, surrogate \xED\xA0\x80",
        "",
    };
    std::vector<Json> values = {Json::object(),
                                Json::array(),
                                Json(nullptr),
                                Json(true),
                                Json(false),
                                Json(-12),
                                Json(std::uint64_t{18446744073709551615u}),
                                Json(0.1),
                                Json(1e300)};
    for (const std::string& text : awkward) {
        values.emplace_back(text);
        values.push_back(Json{{text, text}, {"list", Json::array({text, 1, Json::object()})}});
    }
    for (const Json& value : values) {
        std::string written;
        appendPrettyJson(written, value, 0);
        EXPECT_EQ(written, libraryDump(value)) << libraryDump(value);
        // Deeper in a document, as listJson places records.
        const Json nested = {{"outer", Json::array({value, value})}};
        std::string deeper = "{\n  \"outer\": [\n    ";
        appendPrettyJson(deeper, value, 4);
        deeper += ",\n    ";
        appendPrettyJson(deeper, value, 4);
        deeper += "\n  ]\n}";
        EXPECT_EQ(deeper, libraryDump(nested));
    }

    test::TemporaryHost folder;
    const test::LogCapture log; // no lists of defaults: nothing is a default
    const MetadataManager metadata(folder.root());
    LaunchItem kext = sample("K\"ext", "/Library/Extensions/K\xFF.kext", LaunchScope::kernel);
    kext.index = 3;
    LaunchItem running = sample("caf\xC3\xA9\n", "/a\\b", LaunchScope::system);
    running.pid = -7;
    running.executablePath = "/usr/libexec/x";
    const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories = {
        {LaunchScope::system, {running, kext}},
        {LaunchScope::mach, {}},
        {LaunchScope::kernel, {kext}},
    };
    for (const MetadataManager* withDefaults : {static_cast<const MetadataManager*>(nullptr),
                                                static_cast<const MetadataManager*>(&metadata)}) {
        Json document = Json::object();
        for (const auto& [scope, items] : categories) {
            Json records = Json::array();
            for (const LaunchItem& item : items) {
                Json record = toJson(item);
                if (withDefaults) {
                    record["systemDefault"] = withDefaults->isSystemDefault(item);
                }
                records.push_back(std::move(record));
            }
            document[std::string(toText(scope))] = std::move(records);
        }
        EXPECT_EQ(listJson(categories, withDefaults), libraryDump(document));

        // Problems are a last key, with the same escaping.
        const std::vector<DefinitionProblem> problems = {{"/Library/LaunchDaemons/\x1b\xFF.plist",
                                                          ProblemReason::doesNotParse,
                                                          LaunchScope::system}};
        document["problems"] = Json::array({toJson(problems[0])});
        EXPECT_EQ(listJson(categories, withDefaults, nullptr, nullptr, &problems),
                  libraryDump(document));
    }
    EXPECT_EQ(listJson({}, nullptr), "{}");
    const std::vector<DefinitionProblem> none;
    EXPECT_EQ(listJson({}, nullptr, nullptr, nullptr, &none),
              libraryDump(Json{{"problems", Json::array()}}));
}

TEST(CliListOutputTest, TableColumnsLineUp) {
    LaunchItem running = sample("com.example.long.label", "/p/a", LaunchScope::system);
    running.pid = 12345;
    LaunchItem stopped = sample("short", std::nullopt, LaunchScope::system);
    stopped.status = ServiceStatus::inactive;

    std::ostringstream out;
    writeListTable(out, LaunchScope::system, {running, stopped}, nullptr);
    std::istringstream lines(out.str());
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "System: 2 items, 1 running");
    EXPECT_EQ(rows[1], "LABEL                   PID    STATUS    PATH");
    EXPECT_EQ(rows[2], "com.example.long.label  12345  Active    /p/a");
    EXPECT_EQ(rows[3], "short                       -  Inactive  -");
}

// The categories load at the same time; what they give, and what they log,
// must be what loading them one after another gives.
TEST(CliCategoryLoadTest, ConcurrentLoadsMatchLoadsOneAfterAnother) {
    using test::definitionXml;
    using test::writeFile;
    const test::TemporaryHost host;
    writeFile(host / "/Library/LaunchDaemons/com.example.a.plist", definitionXml("com.example.a"));
    writeFile(host / "/Library/LaunchAgents/broken.plist", "not a property list");
    writeFile(host / "/System/Library/LaunchDaemons/com.apple.b.plist",
              definitionXml("com.apple.b", "/usr/libexec/bd"));
    writeFile(host.home() + "/Library/LaunchAgents/com.example.c.plist",
              definitionXml("com.example.c", "/Applications/C.app/Contents/MacOS/C"));
    writeFile(host / "/Library/PrivilegedHelperTools/com.example.helper", "tool");
    test::writeFakeTool(host / "/bin/launchctl",
                        "PID\tStatus\tLabel\n12\t0\tcom.example.a\n-\t0\tcom.example.mach\n");
    // No osascript and no kmutil: their failures are log lines as well.
    const LaunchServiceManager manager(
        host.layout(), std::make_shared<test::FixedProcessSource>(test::snapshotOf({{40, "bd"}})));
    const std::vector<LaunchScope> scopes(allScopes().begin(), allScopes().end());

    std::vector<std::vector<LaunchItem>> oneByOne;
    std::vector<std::string> oneByOneLines;
    {
        const test::LogCapture log;
        // Background Task Management is read once per load, before the categories.
        const BackgroundTaskTable backgroundTasks = manager.loadBackgroundTasks();
        for (const LaunchScope scope : scopes) {
            oneByOne.push_back(manager.loadItems(scope, backgroundTasks));
        }
        oneByOneLines = log.lines();
    }
    ASSERT_GT(oneByOneLines.size(), scopes.size());

    for (int round = 0; round < 3; ++round) {
        const test::LogCapture log;
        const auto loaded = loadCategories(manager, scopes);
        ASSERT_EQ(loaded.size(), scopes.size());
        for (std::size_t i = 0; i < scopes.size(); ++i) {
            EXPECT_EQ(loaded[i].first, scopes[i]);
            EXPECT_EQ(loaded[i].second, oneByOne[i]) << toText(scopes[i]);
        }
        EXPECT_EQ(log.lines(), oneByOneLines);
    }
}

TEST(CliListOutputTest, SignersAddAKeyAndAColumnOnlyWhenAsked) {
    LaunchItem helper = sample("helper", "/Library/PrivilegedHelperTools/helper",
                               LaunchScope::privilegedHelperTools);
    helper.executablePath = "/Library/PrivilegedHelperTools/helper";
    LaunchItem app = sample("App", "/Applications/App.app", LaunchScope::privilegedHelperTools);
    LaunchItem hung = sample("hung", std::nullopt, LaunchScope::privilegedHelperTools);
    hung.executablePath = "/opt/hung";
    const LaunchItem nothing = sample("nothing", std::nullopt, LaunchScope::privilegedHelperTools);
    const std::vector<LaunchItem> items = {helper, app, hung, nothing};
    const std::map<std::string, Signer> signers = {
        {"/Library/PrivilegedHelperTools/helper",
         Signer{SignerKind::developerId, "Contoso Ltd", "C0N7050L7D", "", {}}},
        {"/Applications/App.app", Signer{SignerKind::apple, "", "", "", {}}},
        {"/opt/hung", Signer{SignerKind::unknown, "", "", "codesign did not answer in time", {}}},
    };
    const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>> categories = {
        {LaunchScope::privilegedHelperTools, items}};

    // Without the option, not a byte changes.
    EXPECT_EQ(listJson(categories, nullptr, nullptr), listJson(categories, nullptr));
    EXPECT_EQ(listJson(categories, nullptr).find("signer"), std::string::npos);

    const auto document = nlohmann::json::parse(listJson(categories, nullptr, nullptr, &signers));
    const auto& records = document["Privileged"];
    EXPECT_EQ(records[0]["signer"], "Developer ID: Contoso Ltd (C0N7050L7D)");
    EXPECT_EQ(records[0]["team"], "C0N7050L7D");
    EXPECT_EQ(records[1]["signer"], "Apple");
    EXPECT_FALSE(records[1].contains("team"));
    EXPECT_EQ(records[2]["signer"], "Unknown");
    EXPECT_EQ(records[2]["signerReason"], "codesign did not answer in time");
    EXPECT_FALSE(records[3].contains("signer"));

    std::ostringstream out;
    writeListTable(out, LaunchScope::privilegedHelperTools, items, nullptr, nullptr, &signers);
    std::istringstream lines(out.str());
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[1], "LABEL    PID  STATUS  SIGNER                                  PATH");
    EXPECT_EQ(rows[2], "helper     -  Active  Developer ID: Contoso Ltd (C0N7050L7D)  "
                       "/Library/PrivilegedHelperTools/helper");
    EXPECT_EQ(rows[3], "App        -  Active  Apple                                   "
                       "/Applications/App.app");
    EXPECT_EQ(rows[5], "nothing    -  Active  -                                       -");
}

#if defined(DAEMONARY_HOSTSIM_PATH)

// `daemonary-cli list --json --defaults` against a fresh copy of the demo
// host, run the way a user runs it.
class CliListEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder.root().empty());
        // Job processes outlive the tool run that started them; adopting
        // them lets the test reap them after shutdown instead of leaving
        // zombies that still carry a job's name.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        const ToolResult made = runTool(DAEMONARY_SOURCE_DIR "/scripts/make-demo-host",
                                        {host, DAEMONARY_HOSTSIM_PATH}, true, true);
        ASSERT_EQ(made.exitStatus, 0) << made.standardError;
        booted = true;
    }

    void TearDown() override {
        if (booted) {
            const ToolResult shutdown = runTool(
                "/usr/bin/env", {"DAEMONARY_HOST_ROOT=" + host, DAEMONARY_HOSTSIM_PATH, "shutdown"},
                true, true);
            EXPECT_EQ(shutdown.exitStatus, 0) << shutdown.standardError;
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    ToolResult runCliList() const {
        return runTool("/usr/bin/env",
                       {"DAEMONARY_HOST_ROOT=" + host, "HOME=" + host + "/Users/demo",
                        DAEMONARY_BINARY_DIR "/bin/daemonary-cli", "list", "--json", "--defaults"},
                       true, true);
    }

    test::TemporaryHost folder;
    std::string host = folder.root() + "/demo";
    bool booted = false;
};

const nlohmann::ordered_json* findLabel(const nlohmann::ordered_json& records,
                                        std::string_view label) {
    for (const auto& record : records) {
        if (record["label"] == label) {
            return &record;
        }
    }
    return nullptr;
}

std::size_t countLabel(const nlohmann::ordered_json& records, std::string_view label) {
    std::size_t count = 0;
    for (const auto& record : records) {
        count += record["label"] == label ? 1 : 0;
    }
    return count;
}

std::string processName(std::int32_t pid) {
    std::string name = test::readText("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

// The app's SMAppService jobs are listed with their records, the one the
// booted host runs is running, the deleted app's agent is an orphan, and the
// legacy agent switched off in System Settings is marked where it lives.
TEST_F(CliListEndToEndTest, BackgroundItemsFromTheDemoHost) {
    const auto list = [this](std::string_view scope) {
        const ToolResult run =
            runTool("/usr/bin/env",
                    {"DAEMONARY_HOST_ROOT=" + host, "HOME=" + host + "/Users/demo",
                     DAEMONARY_BINARY_DIR "/bin/daemonary-cli", "list", "--json", "--scope",
                     std::string(scope)},
                    true, true);
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        return nlohmann::ordered_json::parse(run.standardOutput);
    };
    const auto background = list("Background");
    ASSERT_EQ(background.size(), 1u);
    const auto& records = background["Background"];
    const auto* agent = findLabel(records, "com.adventureworks.Harbor.agent");
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ((*agent)["status"], "Active");
    EXPECT_EQ(processName((*agent)["pid"].get<std::int32_t>()), "HarborAgent");
    EXPECT_EQ((*agent)["parentApp"], host + "/Applications/Harbor.app");
    EXPECT_EQ((*agent)["backgroundItem"]["developerName"], "Adventure Works");
    EXPECT_FALSE(agent->contains("allowedInBackground"));
    for (const char* label :
         {"com.adventureworks.Harbor.daemon", "com.adventureworks.Harbor.Helper"}) {
        EXPECT_NE(findLabel(records, label), nullptr) << label;
    }
    const auto* orphan = findLabel(records, "net.litware.Sync.agent");
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ((*orphan)["orphaned"], true);
    EXPECT_EQ(countLabel(records, "io.tailspin.audio.menu"), 0u);

    const auto system = list("System");
    const auto* legacy = findLabel(system["System"], "io.tailspin.audio.menu");
    ASSERT_NE(legacy, nullptr);
    EXPECT_EQ((*legacy)["allowedInBackground"], false);
    // Marked running in the host's state, but boot left it alone.
    EXPECT_EQ((*legacy)["status"], "Inactive");
}

TEST_F(CliListEndToEndTest, EveryCategoryFromTheDemoHost) {
    const ToolResult run = runCliList();
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    // Discovery logs on standard error; standard output is one JSON document.
    EXPECT_THAT(run.standardError, Not(HasSubstr("Scanning directory")));
    EXPECT_THAT(run.standardError, Not(HasSubstr("No variant specified")));
    const auto document = nlohmann::ordered_json::parse(run.standardOutput);

    std::vector<std::string> keys;
    for (const auto& [key, records] : document.items()) {
        keys.push_back(key);
        EXPECT_FALSE(records.empty()) << key;
        for (const auto& record : records) {
            ASSERT_TRUE(record.contains("systemDefault")) << record.dump();
            EXPECT_TRUE(record["systemDefault"].is_boolean());
            EXPECT_EQ(record["scope"] == "Kernel", key == "Kernel") << record.dump();
        }
    }
    EXPECT_THAT(keys, ElementsAre("Privileged", "System", "User", "macOS", "Mach", "Kernel",
                                  "Others", "Background"));

    // The job table as the host's launchctl reports it now.
    const ToolResult listing = runTool(host + "/bin/launchctl", {"list"}, true, false);
    const LaunchctlTable table = parseLaunchctlList(listing.standardOutput);

    // User: the Skyline login item merged into the launch agent that runs the
    // application's helper, which is a real process under its own name.
    const auto& user = document["User"];
    const auto* agent = findLabel(user, "com.northwind.Skyline.agent");
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ((*agent)["type"], "Launch Agent");
    EXPECT_EQ((*agent)["status"], "Active");
    EXPECT_EQ(countLabel(user, "Skyline"), 0u);
    const auto* notecraft = findLabel(user, "Notecraft");
    ASSERT_NE(notecraft, nullptr);
    EXPECT_EQ((*notecraft)["type"], "Login Item");
    EXPECT_EQ((*notecraft)["systemDefault"], false);
    const std::int32_t agentPid = (*agent)["pid"].get<std::int32_t>();
    ASSERT_NE(table.find("com.northwind.Skyline.agent"), nullptr);
    EXPECT_EQ(table.find("com.northwind.Skyline.agent")->pid, agentPid);
    EXPECT_EQ(processName(agentPid), "SkylineHelper");
    // The demo's one disabled agent says so; an agent enabled again does not.
    const auto* disabled = findLabel(user, "local.demo.backup-notes");
    ASSERT_NE(disabled, nullptr);
    EXPECT_EQ((*disabled)["disabled"], true);
    EXPECT_FALSE(agent->contains("disabled"));

    // Kernel: a third-party bundle whose name says nothing, matched through
    // the identifier in its Info.plist, and not a system default.
    const auto* audio = findLabel(document["Kernel"], "TailspinAudio.kext");
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ((*audio)["status"], "Active");
    EXPECT_EQ((*audio)["systemDefault"], false);
    const auto state = nlohmann::json::parse(test::readText(host + "/.hostsim/state.json"));
    std::optional<std::int32_t> loadedIndex;
    for (const auto& extension : state["extensions"]) {
        if (extension["identifier"] == "io.tailspin.driver.TailspinAudioDevice") {
            loadedIndex = extension["index"].get<std::int32_t>();
        }
    }
    ASSERT_TRUE(loadedIndex.has_value());
    EXPECT_EQ((*audio)["index"], *loadedIndex);
    EXPECT_FALSE(audio->contains("pid"));

    // System: the bad definitions are left out; a running daemon has the
    // pid the job table gives it.
    const auto& system = document["System"];
    for (const auto& record : system) {
        EXPECT_FALSE(record.value("path", "").ends_with("com.contoso.broken.plist"));
    }
    const auto* tailspind = findLabel(system, "io.tailspin.tailspind");
    ASSERT_NE(tailspind, nullptr);
    ASSERT_NE(table.find("io.tailspin.tailspind"), nullptr);
    EXPECT_EQ((*tailspind)["pid"], *table.find("io.tailspin.tailspind")->pid);

    // Privileged: the helper tool runs as that same process, found by name.
    const auto* helper = findLabel(document["Privileged"], "tailspind");
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ((*helper)["pid"], (*tailspind)["pid"]);
    EXPECT_EQ((*helper)["systemDefault"], false);

    // macOS and Mach carry the shipped lists.
    const auto* bootpd = findLabel(document["macOS"], "com.apple.bootpd");
    ASSERT_NE(bootpd, nullptr);
    EXPECT_EQ((*bootpd)["systemDefault"], true);
    EXPECT_EQ(document["Mach"].size(), table.size());
    for (const auto& record : document["Mach"]) {
        EXPECT_FALSE(record.contains("path"));
        EXPECT_EQ(record["type"], "Launch Service");
    }

    // Others: one entry name in the system and the user folder.
    EXPECT_EQ(countLabel(document["Others"], "NorthwindDocs.mdimporter (Spotlight Plug-ins)"), 2u);
}

TEST_F(CliListEndToEndTest, DemoHostProblemsOnlyWithTheFlag) {
    // A FIFO no one writes to: reading it would block the listing for ever.
    ASSERT_EQ(::mkfifo((host + "/Library/LaunchDaemons/com.example.pipe.plist").c_str(), 0644), 0);
    const auto list = [this](std::vector<std::string> options) {
        std::vector<std::string> arguments = {"DAEMONARY_HOST_ROOT=" + host,
                                              "HOME=" + host + "/Users/demo",
                                              DAEMONARY_BINARY_DIR "/bin/daemonary-cli",
                                              "list",
                                              "--scope",
                                              "System"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ToolResult run = runTool("/usr/bin/env", arguments, true, true);
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        return run.standardOutput;
    };

    const auto document = nlohmann::ordered_json::parse(list({"--json", "--problems"}));
    std::vector<std::string> found;
    for (const auto& problem : document["problems"]) {
        found.push_back(problem["category"].get<std::string>() + " " +
                        std::string(lastPathComponent(problem["path"].get<std::string>())) + ": " +
                        problem["reason"].get<std::string>());
    }
    EXPECT_THAT(found, ElementsAre("System com.contoso.broken.plist: does not parse",
                                   "System com.example.pipe.plist: not a regular file",
                                   "System com.litware.numeric-label.plist: Label is not a string",
                                   "System com.adatum.nolabel.plist: no Label"));

    const std::string text = list({"--problems"});
    EXPECT_THAT(text, HasSubstr("Definitions that could not be read (4)"));
    EXPECT_THAT(text, HasSubstr(host + "/Library/LaunchDaemons/com.contoso.broken.plist\n"));
    EXPECT_THAT(list({}), ::testing::Not(HasSubstr("could not be read")));
    EXPECT_FALSE(nlohmann::ordered_json::parse(list({"--json"})).contains("problems"));
}

#endif

} // namespace
} // namespace daemonary
