#include "baseline/Snapshot.h"

#include "DiscoveryTestSupport.h"
#include "baseline/Sha256.h"
#include "baseline/SnapshotDiff.h"
#include "baseline/SnapshotFile.h"
#include "discovery/LaunchServiceManager.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "text/Text.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <utime.h>

namespace daemonary {
namespace {

using test::TemporaryHost;
using test::writeFile;

// --- SHA-256 ---------------------------------------------------------------

TEST(Sha256Test, KnownAnswers) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    };
    for (const Case& item : cases) {
        EXPECT_EQ(sha256Hex(item.input), item.digest) << item.input;
        // Fed a byte at a time, the digest is the same.
        Sha256 pieces;
        for (const char ch : item.input) {
            pieces.update(std::string_view(&ch, 1));
        }
        EXPECT_EQ(Sha256::toHex(pieces.finish()), item.digest) << item.input;
    }
}

TEST(Sha256Test, MillionLettersIncrementally) {
    Sha256 hash;
    const std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) {
        hash.update(thousand);
    }
    EXPECT_EQ(Sha256::toHex(hash.finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// --- Fingerprints ----------------------------------------------------------

LaunchItem itemAt(const std::string& path, std::string label = "com.example.job",
                  LaunchScope scope = LaunchScope::system) {
    LaunchItem item;
    item.label = std::move(label);
    item.path = path;
    item.scope = scope;
    item.type = ServiceType::launchDaemon;
    item.status = ServiceStatus::inactive;
    return item;
}

void setModified(const std::string& path, std::int64_t seconds) {
    const utimbuf times{static_cast<time_t>(seconds), static_cast<time_t>(seconds)};
    ::utime(path.c_str(), &times);
}

TEST(FingerprintTest, KindsOfPath) {
    TemporaryHost host;
    FingerprintReader reader(host.layout());
    const std::string plist = host / "/Library/LaunchDaemons/a.plist";
    writeFile(plist, "<plist/>");
    const std::string large = host / "/Library/PrivilegedHelperTools/huge";
    writeFile(large, "");
    std::filesystem::resize_file(large, kMaxReadableFileBytes + 1);
    setModified(large, 1700000000);
    const std::string fifo = host / "/Library/LaunchDaemons/fifo.plist";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const Fingerprint file = reader.read(itemAt(plist));
    EXPECT_EQ(file.kind, Fingerprint::Kind::file);
    EXPECT_EQ(file.sha256, sha256Hex("<plist/>"));

    const Fingerprint big = reader.read(itemAt(large));
    EXPECT_EQ(big.kind, Fingerprint::Kind::largeFile);
    EXPECT_FALSE(big.sha256);
    ASSERT_TRUE(big.stamp);
    EXPECT_EQ(big.stamp->size, kMaxReadableFileBytes + 1);
    EXPECT_EQ(big.stamp->modified, 1700000000);

    // A FIFO must neither block nor be taken for a file, nor as a program.
    EXPECT_EQ(reader.read(itemAt(fifo)).kind, Fingerprint::Kind::unreadable);
    LaunchItem fifoProgram = itemAt(plist);
    fifoProgram.executablePath = fifo;
    const Fingerprint withFifo = reader.read(fifoProgram);
    EXPECT_EQ(withFifo.executable, fifo);
    EXPECT_FALSE(withFifo.executableStamp || withFifo.programSha256);
    EXPECT_EQ(reader.read(itemAt(host / "/nowhere")).kind, Fingerprint::Kind::missing);
    LaunchItem pathless;
    pathless.label = "com.example.mach";
    EXPECT_EQ(reader.read(pathless).kind, Fingerprint::Kind::none);
}

TEST(FingerprintTest, BundleHashesInformationAndStampsExecutable) {
    TemporaryHost host;
    FingerprintReader reader(host.layout());
    const std::string app = host / "/Applications/Tool.app";
    const std::string information = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                    "<key>CFBundleExecutable</key><string>Tool</string>"
                                    "</dict></plist>";
    writeFile(app + "/Contents/Info.plist", information);
    writeFile(app + "/Contents/MacOS/Tool", "12345", true);
    setModified(app + "/Contents/MacOS/Tool", 1600000000);

    const Fingerprint bundle = reader.read(itemAt(app));
    EXPECT_EQ(bundle.kind, Fingerprint::Kind::bundle);
    EXPECT_EQ(bundle.sha256, sha256Hex(information));
    EXPECT_EQ(bundle.executable, app + "/Contents/MacOS/Tool");
    ASSERT_TRUE(bundle.executableStamp);
    EXPECT_EQ(bundle.executableStamp->size, 5u);
    EXPECT_EQ(bundle.executableStamp->modified, 1600000000);
    EXPECT_TRUE(bundle.executableStamp->inode && bundle.executableStamp->changedNanoseconds);
    EXPECT_EQ(bundle.programSha256, sha256Hex("12345"));
    ASSERT_TRUE(bundle.definition);
    EXPECT_EQ((*bundle.definition)["CFBundleExecutable"], "Tool");

    // A startup item keeps its own property list at the top; with no declared
    // executable the record's program stands in.
    const std::string startup = host / "/Library/StartupItems/Legacy";
    writeFile(startup + "/StartupParameters.plist", "{ Description = legacy; }");
    writeFile(startup + "/Legacy", "#!/bin/sh\n", true);
    LaunchItem item = itemAt(startup);
    item.executablePath = startup + "/Legacy";
    const Fingerprint legacy = reader.read(item);
    EXPECT_EQ(legacy.sha256, sha256Hex("{ Description = legacy; }"));
    EXPECT_EQ(legacy.executable, startup + "/Legacy");
}

// Rewritten in place, or replaced, under the same size and modification time:
// the program is what changed, even read by the reader that hashed it before.
TEST(FingerprintTest, ProgramSwappedUnderSameSizeAndTimeIsAChange) {
    struct Case {
        const char* name;
        std::uint64_t hashLimit;
        bool replace; // a new file renamed over the old one
    };
    const Case cases[] = {
        {"rewritten in place, hashed", FingerprintReader::kDefaultProgramHashLimit, false},
        {"replaced, hashed", FingerprintReader::kDefaultProgramHashLimit, true},
        {"replaced, over the hash limit", 4, true},
    };
    for (const Case& item : cases) {
        TemporaryHost host;
        const std::string program = "/Library/Application Support/X/vpnd";
        writeFile(host / program, "original", true);
        setModified(host / program, 1700000000);
        const std::string plist = host / "/Library/LaunchDaemons/com.example.vpnd.plist";
        writeFile(plist, test::definitionXml("com.example.vpnd", program));
        LaunchItem daemon = itemAt(plist, "com.example.vpnd");
        daemon.executablePath = program; // as the Mac names it
        FingerprintReader reader(host.layout(), item.hashLimit);
        const auto take = [&] {
            return Snapshot::take({{LaunchScope::system, {daemon}}}, reader, "2026-12-07T13:00:00Z",
                                  "h", "u");
        };
        const Snapshot baseline = take();
        EXPECT_EQ(baseline.records[0].fingerprint.executable, host / program) << item.name;
        EXPECT_EQ(baseline.programHashLimit, item.hashLimit) << item.name;
        EXPECT_TRUE(SnapshotDiff::between(baseline, take(), {LaunchScope::system}).empty())
            << item.name;

        if (item.replace) {
            writeFile(host / program + ".new", "swapped!", true);
            setModified(host / program + ".new", 1700000000);
            std::filesystem::rename(host / program + ".new", host / program);
        } else {
            writeFile(host / program, "swapped!", true);
            setModified(host / program, 1700000000);
        }
        const SnapshotDiff diff = SnapshotDiff::between(baseline, take(), {LaunchScope::system});
        ASSERT_EQ(diff.modified.size(), 1u) << item.name;
        const auto& changes = diff.modified[0].changes;
        ASSERT_EQ(changes.size(), 1u) << item.name;
        EXPECT_EQ(changes[0].key, "program") << item.name;
        const std::string description = changes[0].description();
        EXPECT_TRUE(description.starts_with("program changed: ")) << description;
        if (item.hashLimit > 8) {
            EXPECT_NE(description.find(sha256Hex("original") + " → " + sha256Hex("swapped!")),
                      std::string::npos)
                << description;
        }
    }
}

// --- The document ----------------------------------------------------------

Snapshot sampleSnapshot() {
    Snapshot snapshot;
    snapshot.takenAt = "2026-12-07T13:00:00Z";
    snapshot.hostName = "mac-17";
    snapshot.userName = "admin";
    snapshot.programHashLimit = 1024;
    snapshot.scopes = {LaunchScope::system, LaunchScope::others};
    LaunchItem daemon = itemAt("/Library/LaunchDaemons/a.plist", "com.example.a");
    daemon.executablePath = "/usr/local/bin/a";
    daemon.pid = 42;
    daemon.status = ServiceStatus::active;
    Fingerprint file;
    file.kind = Fingerprint::Kind::file;
    file.sha256 = std::string(64, 'a');
    file.executable = "/usr/local/bin/a";
    file.executableStamp = FileStamp{9, 1700000000, 77, 1700000000123456789};
    file.programSha256 = std::string(64, 'c');
    file.definition = nlohmann::json{{"Label", "com.example.a"}, {"RunAtLoad", true}};
    LaunchItem plugin = itemAt("/Library/Extensions/X.plugin", "X", LaunchScope::others);
    plugin.type = ServiceType::other;
    Fingerprint bundle;
    bundle.kind = Fingerprint::Kind::bundle;
    bundle.sha256 = std::string(64, 'b');
    bundle.executable = "/Library/Extensions/X.plugin/Contents/MacOS/X";
    bundle.executableStamp = FileStamp{123, -5, {}, {}};
    // Every background fact survives the document, the disallowed state above all.
    daemon.allowedInBackground = false;
    daemon.orphaned = true;
    daemon.parentApp = "/Applications/A.app";
    BackgroundItem facts;
    facts.name = "A";
    facts.type = "legacy daemon (0x10010)";
    facts.typeFlags = 0x10010;
    facts.dispositionFlags = BackgroundItem::kEnabled | BackgroundItem::kNotified;
    facts.url = "/Library/LaunchDaemons/a.plist";
    daemon.backgroundItem = facts;
    LaunchItem huge = itemAt("/Library/PrivilegedHelperTools/h", "h", LaunchScope::system);
    Fingerprint large;
    large.kind = Fingerprint::Kind::largeFile;
    large.stamp = FileStamp{kMaxReadableFileBytes + 1, 1700000000, 12, 13};
    snapshot.records = {{daemon, file}, {huge, large}, {plugin, bundle}};
    snapshot.problems = {
        {"/Library/LaunchDaemons/b.plist", ProblemReason::doesNotParse, LaunchScope::system}};
    return snapshot;
}

TEST(SnapshotTest, RoundTripsThroughItsDocument) {
    const Snapshot snapshot = sampleSnapshot();
    const std::string text = snapshot.toJsonText();
    const auto document = nlohmann::json::parse(text);
    EXPECT_EQ(document["format"], 2);
    EXPECT_EQ(document["programHashLimit"], 1024);
    EXPECT_EQ(document["categories"]["System"][0]["fingerprint"]["programSha256"],
              std::string(64, 'c'));
    auto parsed = Snapshot::fromJsonText(text);
    ASSERT_TRUE(std::holds_alternative<Snapshot>(parsed))
        << std::get<SnapshotError>(parsed).message;
    EXPECT_EQ(std::get<Snapshot>(parsed), snapshot);

    // Written only when there are problems; absent means none.
    Snapshot clean = snapshot;
    clean.problems.clear();
    EXPECT_FALSE(nlohmann::json::parse(clean.toJsonText()).contains("problems"));
    auto withoutProblems = Snapshot::fromJsonText(clean.toJsonText());
    ASSERT_TRUE(std::holds_alternative<Snapshot>(withoutProblems));
    EXPECT_EQ(std::get<Snapshot>(withoutProblems), clean);
}

// A baseline saved by an older version still reads, and what it did not
// record (programs, inodes, parsed definitions) is not reported as changed.
TEST(SnapshotTest, ReadsFormatOneAndComparesWhatItRecorded) {
    const auto read = SnapshotFile::read(DAEMONARY_TEST_DATA_DIR "/snapshots/format-1.json");
    ASSERT_TRUE(std::holds_alternative<Snapshot>(read)) << std::get<SnapshotError>(read).message;
    const Snapshot& old = std::get<Snapshot>(read);
    EXPECT_EQ(old.format, 1);
    EXPECT_FALSE(old.programHashLimit);
    ASSERT_EQ(old.records.size(), 3u);

    // The present as this version records it, the files unchanged.
    Snapshot present = old;
    present.format = Snapshot::kFormat;
    present.programHashLimit = FingerprintReader::kDefaultProgramHashLimit;
    Fingerprint& daemon = present.records[0].fingerprint;
    daemon.executable = "/Library/Application Support/Example/vpnd";
    daemon.executableStamp = FileStamp{100, 5, 7, 8};
    daemon.programSha256 = std::string(64, 'e');
    daemon.definition = nlohmann::json{{"Label", "com.example.vpnd"}};
    present.records[1].fingerprint.stamp->inode = 3;
    Fingerprint& plugin = present.records[2].fingerprint;
    plugin.executableStamp->inode = 11;
    plugin.executableStamp->changedNanoseconds = 12;
    plugin.programSha256 = std::string(64, 'f');
    const auto scopes = Snapshot::defaultScopes();
    EXPECT_TRUE(SnapshotDiff::between(old, present, scopes).empty());

    daemon.sha256 = std::string(64, '9');
    plugin.executableStamp->size = 124;
    const SnapshotDiff diff = SnapshotDiff::between(old, present, scopes);
    ASSERT_EQ(diff.modified.size(), 2u);
    EXPECT_EQ(diff.modified[0].changes[0].description(), "contents changed");
    EXPECT_EQ(diff.modified[1].changes[0].key, "program");

    // Written again, it is the present format.
    auto again = Snapshot::fromJsonText(old.toJsonText());
    ASSERT_TRUE(std::holds_alternative<Snapshot>(again));
    EXPECT_EQ(std::get<Snapshot>(again).format, Snapshot::kFormat);
    EXPECT_EQ(std::get<Snapshot>(again).records, old.records);
}

TEST(SnapshotTest, TakeKeepsCategoryOrderAndFacts) {
    TemporaryHost host;
    writeFile(host / "/Library/LaunchDaemons/a.plist", "x");
    const Snapshot::Categories categories = {
        {LaunchScope::others, {itemAt(host / "/nowhere", "o", LaunchScope::others)}},
        {LaunchScope::system, {itemAt(host / "/Library/LaunchDaemons/a.plist")}},
    };
    FingerprintReader reader(host.layout());
    const Snapshot snapshot = Snapshot::take(categories, reader, "2026-12-07T13:00:00Z", "h", "u");
    EXPECT_EQ(snapshot.scopes, (std::vector{LaunchScope::system, LaunchScope::others}));
    ASSERT_EQ(snapshot.records.size(), 2u);
    EXPECT_EQ(snapshot.records[0].fingerprint.sha256, sha256Hex("x"));
    EXPECT_EQ(snapshot.records[1].fingerprint.kind, Fingerprint::Kind::missing);
    EXPECT_TRUE(parseUtcTimestamp(Snapshot::take({}, reader).takenAt));
}

TEST(SnapshotTest, TimestampsRoundTripAndRejectOtherShapes) {
    const auto time = parseUtcTimestamp("2026-12-07T13:05:09Z");
    ASSERT_TRUE(time);
    EXPECT_EQ(formatUtcTimestamp(*time), "2026-12-07T13:05:09Z");
    for (const char* bad : {"2026-12-07 13:05:09Z", "2026-12-07T13:05:09", "2026-13-07T13:05:09Z",
                            "2026-12-07T13:05:09+01:00", "x026-12-07T13:05:09Z", ""}) {
        EXPECT_FALSE(parseUtcTimestamp(bad)) << bad;
    }
}

// --- Hostile files -----------------------------------------------------------

std::string withField(const std::string& pointer, const nlohmann::json& value) {
    nlohmann::json document = nlohmann::json::parse(sampleSnapshot().toJsonText());
    if (value.is_discarded()) {
        document[nlohmann::json::json_pointer(pointer).parent_pointer()].erase(
            nlohmann::json::json_pointer(pointer).back());
    } else {
        document[nlohmann::json::json_pointer(pointer)] = value;
    }
    return document.dump();
}

TEST(SnapshotFileTest, DamagedDocumentsNameFileAndFault) {
    const nlohmann::json removed(nlohmann::json::value_t::discarded);
    struct Case {
        std::string name;
        std::string text;
        std::string expected; // part of the message
    };
    const std::vector<Case> cases = {
        {"not JSON", "this is not json", "not valid JSON"},
        {"truncated", sampleSnapshot().toJsonText().substr(0, 200), "not valid JSON"},
        {"array", "[1, 2]", "not a JSON object"},
        {"no format", withField("/format", removed), "missing \"format\""},
        {"future format", withField("/format", 3), "format 3 is newer"},
        {"old format", withField("/format", 0), "unknown format 0"},
        {"text format", withField("/format", "1"), "\"format\" must be an integer"},
        {"no time", withField("/takenAt", removed), "missing \"takenAt\""},
        {"bad time", withField("/takenAt", "yesterday"), "\"takenAt\" must be a UTC time"},
        {"host number", withField("/hostName", 5), "\"hostName\" must be a string"},
        {"categories list", withField("/categories", nlohmann::json::array()),
         "\"categories\" must be an object"},
        {"unknown category", withField("/categories/Elsewhere", nlohmann::json::array()),
         "unknown category \"Elsewhere\""},
        {"record label", withField("/categories/System/0/label", 7),
         "System record 0: \"label\" must be a string"},
        {"record status", withField("/categories/System/1/status", "sleeping"),
         "System record 1: unknown status"},
        {"scope mismatch", withField("/categories/System/0/scope", "Others"),
         "does not match its category"},
        {"no fingerprint", withField("/categories/System/0/fingerprint", removed),
         "missing \"fingerprint\""},
        {"fingerprint kind", withField("/categories/System/0/fingerprint/kind", "maybe"),
         "unknown kind \"maybe\""},
        {"short digest", withField("/categories/System/0/fingerprint/sha256", "abc"),
         "\"sha256\" must be 64"},
        {"program digest", withField("/categories/System/0/fingerprint/programSha256", "ABC"),
         "\"programSha256\" must be 64"},
        {"definition list", withField("/categories/System/0/fingerprint/definition", "x"),
         "\"definition\" must be an object"},
        {"hash limit", withField("/programHashLimit", -1), "\"programHashLimit\" must be"},
        {"negative size", withField("/categories/System/1/fingerprint/size", -1),
         "\"size\" must be an integer"},
        {"executable path", withField("/categories/Others/0/fingerprint/executable/path", true),
         "\"path\" must be a string"},
        {"problems object", withField("/problems", nlohmann::json::object()),
         "\"problems\" must be an array"},
        {"problem reason", withField("/problems/0/reason", "cursed"),
         "problem 0: unknown reason \"cursed\""},
        {"problem path", withField("/problems/0/path", removed), "problem 0: a problem needs"},
        {"problem elsewhere", withField("/problems/0/category", "User"),
         "category \"User\" is not in the snapshot"},
        {"deep nesting", std::string(100000, '[') + std::string(100000, ']'), "nests deeper"},
    };
    TemporaryHost host;
    for (const Case& item : cases) {
        const std::string path = host.root() + "/baseline.json";
        writeFile(path, item.text);
        const auto result = SnapshotFile::read(path);
        ASSERT_TRUE(std::holds_alternative<SnapshotError>(result)) << item.name;
        const std::string& message = std::get<SnapshotError>(result).message;
        EXPECT_TRUE(message.starts_with(path + ": ")) << item.name << ": " << message;
        EXPECT_NE(message.find(item.expected), std::string::npos) << item.name << ": " << message;
        // Reading never changes the file.
        EXPECT_EQ(readFile(path), item.text) << item.name;
    }
}

// What kind of fault it is, for a person: the window says it in words.
TEST(SnapshotFileTest, FaultsAreSortedForPeople) {
    using Kind = SnapshotError::Kind;
    const std::string whole = sampleSnapshot().toJsonText();
    const std::vector<std::pair<std::string, Kind>> cases = {
        {"this is not json", Kind::notJson},
        {"<?xml version=\"1.0\"?><plist/>", Kind::notJson},
        {"[1, 2]", Kind::notJson},
        {withField("/format", nlohmann::json(nlohmann::json::value_t::discarded)), Kind::notJson},
        {whole.substr(0, 200), Kind::cutShort},
        {whole.substr(0, whole.size() / 2), Kind::cutShort},
        {"{\"format\": 2, \"categories\": {\"Othe", Kind::cutShort},
        {withField("/format", 3), Kind::newer},
        {withField("/takenAt", "yesterday"), Kind::unusable},
        {withField("/categories/System/0/label", 7), Kind::unusable},
    };
    TemporaryHost host;
    const std::string path = host.root() + "/baseline.json";
    for (const auto& [text, kind] : cases) {
        writeFile(path, text);
        const auto result = SnapshotFile::read(path);
        ASSERT_TRUE(std::holds_alternative<SnapshotError>(result)) << text.substr(0, 60);
        EXPECT_EQ(std::get<SnapshotError>(result).kind, kind) << text.substr(0, 60);
    }
    const auto missing = SnapshotFile::read(host.root() + "/nothing.json");
    ASSERT_TRUE(std::holds_alternative<SnapshotError>(missing));
    EXPECT_EQ(std::get<SnapshotError>(missing).kind, Kind::unreadable);
}

TEST(SnapshotFileTest, RefusesLargeAndSpecialFilesWithoutReading) {
    TemporaryHost host;
    const std::string large = host.root() + "/large.json";
    writeFile(large, "");
    std::filesystem::resize_file(large, 100 * 1024 * 1024);
    const auto tooLarge = SnapshotFile::read(large);
    ASSERT_TRUE(std::holds_alternative<SnapshotError>(tooLarge));
    EXPECT_NE(std::get<SnapshotError>(tooLarge).message.find("too large"), std::string::npos);

    const std::string fifo = host.root() + "/fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto special = SnapshotFile::read(fifo);
    ASSERT_TRUE(std::holds_alternative<SnapshotError>(special));
    EXPECT_NE(std::get<SnapshotError>(special).message.find("not a regular file"),
              std::string::npos);

    const auto missing = SnapshotFile::read(host.root() + "/none.json");
    ASSERT_TRUE(std::holds_alternative<SnapshotError>(missing));
    EXPECT_NE(std::get<SnapshotError>(missing).message.find("none.json: "), std::string::npos);
}

// --- Atomic writing ------------------------------------------------------------

int failingRename(const char*, const char*) {
    errno = ENOSPC;
    return -1;
}

std::vector<std::string> namesIn(const std::string& folder) {
    return listDirectory(folder).value_or(std::vector<std::string>{});
}

TEST(SnapshotFileTest, WritesAtomicallyAndReadsBack) {
    TemporaryHost host;
    const std::string path = host.root() + "/baseline.json";
    ASSERT_FALSE(SnapshotFile::write(path, sampleSnapshot()));
    const auto read = SnapshotFile::read(path);
    ASSERT_TRUE(std::holds_alternative<Snapshot>(read));
    EXPECT_EQ(std::get<Snapshot>(read), sampleSnapshot());

    Snapshot newer = sampleSnapshot();
    newer.takenAt = "2026-12-08T09:00:00Z";
    ASSERT_FALSE(SnapshotFile::write(path, newer));
    EXPECT_EQ(std::get<Snapshot>(SnapshotFile::read(path)).takenAt, newer.takenAt);
    // No temporary file is left behind.
    EXPECT_EQ(namesIn(host.root()), (std::vector<std::string>{"Users", "baseline.json"}));
}

TEST(SnapshotFileTest, FailedReplacementKeepsOldBaseline) {
    TemporaryHost host;
    const std::string path = host.root() + "/baseline.json";
    ASSERT_FALSE(SnapshotFile::write(path, sampleSnapshot()));
    const auto before = readFile(path);

    Snapshot newer = sampleSnapshot();
    newer.records.clear();
    const auto error = SnapshotFile::write(path, newer, &failingRename);
    ASSERT_TRUE(error);
    EXPECT_NE(error->message.find("cannot replace " + path), std::string::npos) << error->message;
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(namesIn(host.root()), (std::vector<std::string>{"Users", "baseline.json"}));

    // A real failure: the target is a folder that is not empty.
    const std::string folder = host.root() + "/taken";
    writeFile(folder + "/inside", "keep");
    ASSERT_TRUE(SnapshotFile::write(folder, newer));
    EXPECT_EQ(readFile(folder + "/inside"), "keep");
    EXPECT_EQ(namesIn(host.root()), (std::vector<std::string>{"Users", "baseline.json", "taken"}));

    // And one before anything is written: the folder does not exist.
    EXPECT_TRUE(SnapshotFile::write(host.root() + "/absent/baseline.json", newer));
}

// --- The diff ------------------------------------------------------------------

SnapshotRecord record(LaunchScope scope, std::string label, std::optional<std::string> path,
                      std::string digest = std::string(64, '0')) {
    SnapshotRecord result;
    result.item.label = std::move(label);
    result.item.path = std::move(path);
    result.item.scope = scope;
    result.item.type = ServiceType::launchAgent;
    result.item.status = ServiceStatus::inactive;
    if (result.item.path) {
        result.fingerprint.kind = Fingerprint::Kind::file;
        result.fingerprint.sha256 = std::move(digest);
    }
    return result;
}

Snapshot snapshotOf(std::vector<SnapshotRecord> records,
                    std::vector<LaunchScope> scopes = {allScopes().begin(), allScopes().end()}) {
    Snapshot snapshot;
    snapshot.takenAt = "2026-12-07T13:00:00Z";
    snapshot.scopes = std::move(scopes);
    snapshot.records = std::move(records);
    return snapshot;
}

std::vector<std::string> labels(const std::vector<SnapshotRecord>& records) {
    std::vector<std::string> result;
    for (const auto& item : records) {
        result.push_back(std::string(toText(item.item.scope)) + "/" + item.item.label);
    }
    return result;
}

TEST(SnapshotDiffTest, IdentityAndOrder) {
    const auto user = LaunchScope::user;
    const auto system = LaunchScope::system;
    const Snapshot before = snapshotOf({
        record(user, "b", "/u/b.plist"),
        record(user, "gone", "/u/gone.plist"),
        record(system, "moved", "/old/moved.plist"),
        record(system, "same", "/s/same.plist"),
    });
    const Snapshot after = snapshotOf({
        record(user, "z-new", "/u/z.plist"),
        record(system, "same", "/s/same.plist"),
        record(system, "moved", "/new/moved.plist"),
        record(user, "b", "/u/b.plist"),
        record(user, "a-new", std::nullopt),
    });
    const SnapshotDiff diff = SnapshotDiff::between(before, after, Snapshot::defaultScopes());
    // A record that moved is another record: one removed, one added.
    EXPECT_EQ(labels(diff.added),
              (std::vector<std::string>{"System/moved", "User/a-new", "User/z-new"}));
    EXPECT_EQ(labels(diff.removed), (std::vector<std::string>{"System/moved", "User/gone"}));
    EXPECT_TRUE(diff.modified.empty());
    EXPECT_EQ(diff.removed[0].item.path, "/old/moved.plist");

    // The type is part of the identity too.
    SnapshotRecord retyped = record(user, "b", "/u/b.plist");
    retyped.item.type = ServiceType::loginItem;
    const SnapshotDiff typed = SnapshotDiff::between(snapshotOf({record(user, "b", "/u/b.plist")}),
                                                     snapshotOf({retyped}), {user});
    EXPECT_EQ(typed.added.size(), 1u);
    EXPECT_EQ(typed.removed.size(), 1u);

    // Swapping the sides swaps added and removed and nothing else.
    const SnapshotDiff reverse = SnapshotDiff::between(after, before, Snapshot::defaultScopes());
    EXPECT_EQ(reverse.added, diff.removed);
    EXPECT_EQ(reverse.removed, diff.added);
}

TEST(SnapshotDiffTest, UnreadableDefinitionsAreChanges) {
    const auto problem = [](LaunchScope scope, std::string path, ProblemReason reason) {
        return DefinitionProblem{std::move(path), reason, scope};
    };
    const auto system = LaunchScope::system;
    const auto user = LaunchScope::user;
    Snapshot before = snapshotOf({});
    before.problems = {problem(system, "/s/same.plist", ProblemReason::noLabel),
                       problem(user, "/u/fixed.plist", ProblemReason::doesNotParse),
                       problem(user, "/u/worse.plist", ProblemReason::labelNotString)};
    Snapshot after = snapshotOf({});
    after.problems = {problem(user, "/u/worse.plist", ProblemReason::notRegularFile),
                      problem(system, "/s/new.plist", ProblemReason::doesNotParse),
                      problem(system, "/s/same.plist", ProblemReason::noLabel)};

    const SnapshotDiff diff = SnapshotDiff::between(before, after, Snapshot::defaultScopes());
    EXPECT_FALSE(diff.empty());
    EXPECT_EQ(diff.size(), 4u);
    // Category order, then path; a new reason is a new problem.
    EXPECT_EQ(diff.addedProblems,
              (std::vector{problem(system, "/s/new.plist", ProblemReason::doesNotParse),
                           problem(user, "/u/worse.plist", ProblemReason::notRegularFile)}));
    EXPECT_EQ(diff.removedProblems,
              (std::vector{problem(user, "/u/fixed.plist", ProblemReason::doesNotParse),
                           problem(user, "/u/worse.plist", ProblemReason::labelNotString)}));

    // Only the compared categories, and only those both sides cover.
    EXPECT_EQ(SnapshotDiff::between(before, after, {system}).size(), 1u);
    Snapshot withoutUser = after;
    withoutUser.scopes = {system};
    EXPECT_EQ(SnapshotDiff::between(before, withoutUser, Snapshot::defaultScopes()).size(), 1u);
}

TEST(SnapshotDiffTest, EachKindOfChange) {
    const auto scope = LaunchScope::system;
    struct Case {
        std::string name;
        std::function<void(SnapshotRecord&)> change;
        std::vector<std::string> fields; // empty: no difference
    };
    const std::vector<Case> cases = {
        {"status and pid",
         [](SnapshotRecord& r) {
             r.item.status = ServiceStatus::active;
             r.item.pid = 77;
         },
         {}},
        {"contents",
         [](SnapshotRecord& r) { r.fingerprint.sha256 = std::string(64, 'f'); },
         {"contents"}},
        {"executable path",
         [](SnapshotRecord& r) { r.item.executablePath = "/bin/other"; },
         {"executablePath"}},
        {"switched off in the background",
         [](SnapshotRecord& r) { r.item.allowedInBackground = false; },
         {"allowedInBackground"}},
        {"file became a folder",
         [](SnapshotRecord& r) {
             r.fingerprint = Fingerprint{};
             r.fingerprint.kind = Fingerprint::Kind::bundle;
         },
         {"kind"}},
        {"file grew too large",
         [](SnapshotRecord& r) {
             r.fingerprint = Fingerprint{};
             r.fingerprint.kind = Fingerprint::Kind::largeFile;
             r.fingerprint.stamp = FileStamp{1, 2, {}, {}};
         },
         {"kind"}},
    };
    for (const Case& item : cases) {
        SnapshotRecord old = record(scope, "job", "/Library/LaunchDaemons/job.plist");
        old.item.executablePath = "/bin/job";
        SnapshotRecord now = old;
        item.change(now);
        const SnapshotDiff diff =
            SnapshotDiff::between(snapshotOf({old}), snapshotOf({now}), Snapshot::defaultScopes());
        EXPECT_TRUE(diff.added.empty() && diff.removed.empty()) << item.name;
        std::vector<std::string> fields;
        for (const auto& modified : diff.modified) {
            EXPECT_EQ(modified.before, old);
            EXPECT_EQ(modified.after, now);
            for (const auto& change : modified.changes) {
                fields.push_back(change.key);
            }
        }
        EXPECT_EQ(fields, item.fields) << item.name;
    }
}

// Each change as the window and `diff` begin to say it; empty: no difference.
using Mutation = std::function<void(Fingerprint&)>;
struct ChangeCase {
    std::string name;
    Mutation change;
    std::vector<std::string> descriptions;
};

void expectDescriptions(const SnapshotRecord& old, const std::vector<ChangeCase>& cases) {
    for (const ChangeCase& item : cases) {
        SnapshotRecord now = old;
        item.change(now.fingerprint);
        const auto changes = SnapshotDiff::changesBetween(old, now);
        ASSERT_EQ(changes.size(), item.descriptions.size()) << item.name;
        for (std::size_t i = 0; i < changes.size(); ++i) {
            EXPECT_TRUE(changes[i].description().starts_with(item.descriptions[i]))
                << item.name << ": " << changes[i].description();
        }
    }
}

TEST(SnapshotDiffTest, DefinitionChangesKeyByKey) {
    SnapshotRecord old = record(LaunchScope::system, "job", "/Library/LaunchDaemons/job.plist",
                                std::string(64, 'a'));
    old.fingerprint.definition = nlohmann::json::parse(R"({"Label": "job",
        "ProgramArguments": ["/bin/job", "-q"], "RunAtLoad": false,
        "KeepAlive": {"SuccessfulExit": false, "NetworkState": true}})");
    const auto edit = [](std::function<void(nlohmann::json&)> change) -> Mutation {
        return [change](Fingerprint& f) {
            f.sha256 = std::string(64, 'b');
            change(*f.definition);
        };
    };
    expectDescriptions(old, {
                                {"argument added",
                                 edit([](auto& d) { d["ProgramArguments"].push_back("--evil"); }),
                                 {"ProgramArguments: added \"--evil\""}},
                                // Counted, not looked up: a second "-q" is an addition.
                                {"argument repeated",
                                 edit([](auto& d) { d["ProgramArguments"].push_back("-q"); }),
                                 {"ProgramArguments: added \"-q\""}},
                                {"flag flipped",
                                 edit([](auto& d) { d["RunAtLoad"] = true; }),
                                 {"RunAtLoad: false → true"}},
                                {"keys added and removed",
                                 edit([](auto& d) {
                                     d["Disabled"] = true;
                                     d.erase("KeepAlive");
                                 }),
                                 {"Disabled added: true", "KeepAlive removed"}},
                                {"nested keys",
                                 edit([](auto& d) {
                                     d["KeepAlive"]["SuccessfulExit"] = true;
                                     d["KeepAlive"].erase("NetworkState");
                                 }),
                                 {"KeepAlive: removed NetworkState; SuccessfulExit: false → true"}},
                                // Another form of the same definition (binary, spacing): the bytes.
                                {"same keys", edit([](auto&) {}), {"contents changed"}},
                                {"not kept parsed",
                                 [](Fingerprint& f) {
                                     f.sha256 = std::string(64, 'b');
                                     f.definition.reset();
                                 },
                                 {"contents changed"}},
                            });
}

TEST(SnapshotDiffTest, ProgramsByDigestElseByStamp) {
    SnapshotRecord old = record(LaunchScope::system, "job", "/Library/LaunchDaemons/job.plist");
    old.fingerprint.executable = "/usr/local/bin/job";
    old.fingerprint.executableStamp = FileStamp{10, 0, 5, 100};
    old.fingerprint.programSha256 = std::string(64, '1');
    const auto unhashed = [](Fingerprint& f) { f.programSha256.reset(); };
    expectDescriptions(
        old,
        {
            {"other digest",
             [](Fingerprint& f) { f.programSha256 = std::string(64, '2'); },
             {"program changed: SHA-256 " + std::string(64, '1') + " → " + std::string(64, '2')}},
            // The digest is the proof: a copy with a new inode is the same program.
            {"same digest, other stamp", [](Fingerprint& f) { f.executableStamp->inode = 6; }, {}},
            {"over the limit, same stamp", unhashed, {}},
            {"over the limit, other inode",
             [&](Fingerprint& f) {
                 unhashed(f);
                 f.executableStamp->inode = 6;
             },
             {"program changed: 10 bytes"}},
            {"over the limit, other change time",
             [&](Fingerprint& f) {
                 unhashed(f);
                 f.executableStamp->changedNanoseconds = 101;
             },
             {"program changed: 10 bytes"}},
            {"gone",
             [](Fingerprint& f) { f.executableStamp.reset(), f.programSha256.reset(); },
             {"program gone"}},
            // Another program path is the record's change, said once.
            {"other path", [](Fingerprint& f) { f.executable = "/tmp/job"; }, {}},
        });

    SnapshotRecord large = record(LaunchScope::privilegedHelperTools, "h", "/h");
    large.fingerprint = Fingerprint{};
    large.fingerprint.kind = Fingerprint::Kind::largeFile;
    large.fingerprint.stamp = FileStamp{20000000, 5, 1, 1};
    expectDescriptions(
        large, {
                   {"touched",
                    [](Fingerprint& f) { f.stamp->modified = 6; },
                    {"modified 1970-01-01T00:00:05Z → 1970-01-01T00:00:06Z"}},
                   {"replaced", [](Fingerprint& f) { f.stamp->inode = 2; }, {"inode 1 → 2"}},
               });
}

TEST(SnapshotDiffTest, JobTableOnlyWhenNamedAndOnlyWhereBothCover) {
    const Snapshot before = snapshotOf({record(LaunchScope::user, "u", "/u")});
    const Snapshot after = snapshotOf({
        record(LaunchScope::user, "u", "/u"),
        record(LaunchScope::mach, "com.example.xpc", std::nullopt),
        record(LaunchScope::kernel, "k", "/k"),
    });
    EXPECT_TRUE(SnapshotDiff::between(before, after, {LaunchScope::user}).empty());
    const auto byDefault = SnapshotDiff::between(before, after, Snapshot::defaultScopes());
    EXPECT_EQ(labels(byDefault.added), (std::vector<std::string>{"Kernel/k"}));
    const auto named = SnapshotDiff::between(before, after, {LaunchScope::mach});
    EXPECT_EQ(labels(named.added), (std::vector<std::string>{"Mach/com.example.xpc"}));

    // A category one side did not record is not all added or all removed.
    const Snapshot partial =
        snapshotOf({record(LaunchScope::user, "u", "/u")}, {LaunchScope::user});
    EXPECT_TRUE(SnapshotDiff::between(partial, after, Snapshot::defaultScopes()).empty());
}

TEST(SnapshotDiffTest, RepeatedIdentitiesPairInOrder) {
    const auto scope = LaunchScope::mach;
    const Snapshot before = snapshotOf({record(scope, "dup", std::nullopt)});
    const Snapshot after =
        snapshotOf({record(scope, "dup", std::nullopt), record(scope, "dup", std::nullopt)});
    const auto diff = SnapshotDiff::between(before, after, {scope});
    EXPECT_EQ(diff.added.size(), 1u);
    EXPECT_TRUE(diff.removed.empty());
    EXPECT_EQ(SnapshotDiff::between(after, before, {scope}).removed.size(), 1u);
}

} // namespace
} // namespace daemonary

namespace daemonary {
namespace {

// --- Snapshots of a Mac's disk ----------------------------------------------

// Between two disks, two users' records under one label are two records. The
// disk's facts survive the document; one without them reads as live, and
// malformed ones are refused.
TEST(SnapshotDiskTest, UsersTellRecordsApartAndDiskFactsRoundTrip) {
    SnapshotRecord alices = record(LaunchScope::user, "helper", std::nullopt);
    alices.item.user = "alice";
    SnapshotRecord bobs = alices;
    bobs.item.user = "bob";
    Snapshot before = snapshotOf({alices});
    before.markReadFromDisk("/Volumes/Mac", {"bob", "alice"});
    Snapshot after = snapshotOf({bobs});
    after.markReadFromDisk("/b", {"bob"});
    const SnapshotDiff users = SnapshotDiff::between(before, after, {LaunchScope::user});
    ASSERT_EQ(users.added.size(), 1u);
    EXPECT_EQ(users.added[0].item.user, "bob");

    const auto document = nlohmann::json::parse(before.toJsonText());
    EXPECT_EQ(std::get<Snapshot>(Snapshot::fromJsonText(document.dump())), before);
    nlohmann::json changed = document;
    changed.erase("offline"), changed.erase("users"), changed.erase("root");
    EXPECT_FALSE(std::get<Snapshot>(Snapshot::fromJsonText(changed.dump())).offline);
    changed["users"] = nlohmann::json::array({"alice", 7});
    EXPECT_TRUE(std::holds_alternative<SnapshotError>(Snapshot::fromJsonText(changed.dump())));
}

// The folders named for watching are the ones discovery reads: a definition
// placed in any of them shows up in that category.
TEST(DirectoriesReadTest, EveryFolderFeedsItsCategory) {
    TemporaryHost host;
    Log::setSink([](std::string_view) {});
    const LaunchServiceManager manager(host.layout());
    EXPECT_TRUE(manager.directoriesRead(LaunchScope::mach).empty());
    for (const LaunchScope scope : {LaunchScope::system, LaunchScope::user, LaunchScope::macos,
                                    LaunchScope::privilegedHelperTools, LaunchScope::others}) {
        const auto folders = manager.directoriesRead(scope);
        ASSERT_FALSE(folders.empty()) << toText(scope);
        for (std::size_t i = 0; i < folders.size(); ++i) {
            const std::string label = "com.example.watched" + std::to_string(i);
            const bool launchd = scope == LaunchScope::system || scope == LaunchScope::user ||
                                 scope == LaunchScope::macos;
            // Startup-item folders hold one folder per item.
            const bool startup = folders[i].ends_with("StartupItems");
            if (startup) {
                writeFile(folders[i] + "/" + label + "/" + label, "#!/bin/sh\n", true);
            } else {
                writeFile(folders[i] + "/" + label + (launchd ? ".plist" : ""),
                          launchd ? test::definitionXml(label, "/usr/bin/true") : "x", !launchd);
            }
            const auto items = manager.loadItems(scope);
            const bool found = std::any_of(items.begin(), items.end(), [&](const LaunchItem& item) {
                return item.path && item.path->starts_with(folders[i] + "/" + label);
            });
            EXPECT_TRUE(found) << toText(scope) << ": " << folders[i];
        }
    }
    const auto kernel = manager.directoriesRead(LaunchScope::kernel);
    EXPECT_EQ(kernel,
              (std::vector{host.layout().systemExtensions(), host.layout().libraryExtensions()}));
    Log::setSink({});
}

} // namespace
} // namespace daemonary
