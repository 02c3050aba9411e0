#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace daemonary::hostsim {

// A process the simulator started for a job. The start time (clock ticks
// after boot, /proc/PID/stat field 22) and name tell it apart from any later
// process that reuses the pid.
struct JobProcess {
    std::int32_t pid = 0;
    std::uint64_t startTime = 0;
    std::string name;
    bool operator==(const JobProcess&) const = default;
};

struct Job {
    std::string label;
    std::optional<std::string> path;      // definition, relative to the host root
    std::optional<std::string> program;   // as the definition names it
    std::optional<std::int32_t> fixedPid; // shown as is, never signalled (synthetic hosts)
    std::int64_t lastExitStatus = 0;
    bool running = false; // runs while the host is booted
    std::optional<JobProcess> process;
    bool operator==(const Job&) const = default;
};

struct LoginItem {
    std::string name;
    std::string path; // relative to the host root
    bool operator==(const LoginItem&) const = default;
};

struct LoadedExtension {
    std::int32_t index = 0;
    std::int32_t refs = 0;
    std::string address = "0";
    std::string size = "0";
    std::string wired = "0";
    std::string identifier;
    std::string version = "1";
    std::string uuid;
    std::vector<std::int32_t> linkedAgainst;
    bool operator==(const LoadedExtension&) const = default;
};

// Who really signed the code: the anchor its chain ends in, whatever the
// certificates call themselves. selfSigned is a chain its signer made, which
// verifies as a signature but satisfies no requirement of Apple's.
enum class SigningKind { developerId, apple, adHoc, selfSigned };

// How codesign itself misbehaves on a file, for the cases a real one meets
// now and then: it dies of a signal, or it never answers.
enum class CodesignFault { none, crash, hang };

struct SignedCode {
    SigningKind kind = SigningKind::developerId;
    std::optional<std::string> identifier; // else the bundle's or file's own
    std::string organization = "Example Software";
    std::string teamIdentifier = "A1B2C3D4E5"; // empty: "not set"
    // The chain's names, leaf first, as the report prints them; empty: the
    // names the kind's real chain has. Names prove nothing: a forged chain
    // can be called "Apple Root CA".
    std::vector<std::string> authorities;
    std::uint64_t reportPaddingBytes = 0; // extra report lines, for pipe tests
    bool tampered = false;                // --verify rejects the signature
    CodesignFault fault = CodesignFault::none;
    bool operator==(const SignedCode&) const = default;
};

// Which published shape `sfltool dumpbtm` prints.
enum class BtmShape {
    newer,   // macOS 14 and later: flush left, "#N:", commas, hex, no "visible"
    older,   // macOS 13: indented and aligned, "#N ", decimal, "Indentifier",
             // apps named by their code requirement
    excerpt, // as guides quote it: no UID header, no numbers, shifted indentation
};

// One Background Task Management record, as `sfltool dumpbtm` prints it.
struct BackgroundRecord {
    // The UID block it is printed in; nothing: the caller's own.
    std::optional<std::int32_t> uid;
    std::string uuid;
    std::string name;
    std::string type; // words: "agent", "legacy daemon", "login item", "app", "developer"
    std::optional<std::string> developerName;
    std::optional<std::string> teamIdentifier;
    std::optional<std::string> identifier;
    std::optional<std::string> url;
    std::optional<std::string> executablePath;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> parentIdentifier;
    bool enabled = true;
    bool allowed = true; // "Allow in the Background"
    bool notified = true;
    bool operator==(const BackgroundRecord&) const = default;
};

// launchd's database of disabled services for one domain: label -> disabled
// (false: explicitly enabled again). `launchctl print-disabled` lists it.
using DisabledSet = std::map<std::string, bool>;

struct HostState {
    std::vector<Job> jobs;
    std::vector<LoginItem> loginItems;
    std::vector<LoadedExtension> extensions;
    std::map<std::string, SignedCode> signedCode; // keyed by relative path
    DisabledSet disabledGui;        // the user's GUI domain, whatever the caller's uid
    DisabledSet disabledSystem;     // the system domain
    DisabledSet disabledLoginItems; // the GUI domain's login items
    std::vector<BackgroundRecord> backgroundItems;
    BtmShape btmShape = BtmShape::newer;
    bool operator==(const HostState&) const = default;
};

struct StateParseResult {
    std::optional<HostState> state;
    std::string error;
};

StateParseResult hostStateFromJson(std::string_view text);
std::string hostStateToJson(const HostState& state);

} // namespace daemonary::hostsim
