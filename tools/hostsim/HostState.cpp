#include "HostState.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace daemonary::hostsim {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// Reads one object field by field, remembering the first type error so that
// a hand-edited state file gets a message naming the offending field.
class FieldReader {
public:
    FieldReader(const json& object, std::string where, std::string& error)
        : m_object(object), m_where(std::move(where)), m_error(error) {}

    const json* find(const char* key) const {
        auto it = m_object.find(key);
        return it == m_object.end() || it->is_null() ? nullptr : &*it;
    }

    std::optional<std::string> string(const char* key) {
        const json* value = find(key);
        if (value == nullptr)
            return std::nullopt;
        if (!value->is_string()) {
            fail(key, "a string");
            return std::nullopt;
        }
        return value->get<std::string>();
    }

    template <typename Int> std::optional<Int> integer(const char* key) {
        const json* value = find(key);
        if (value == nullptr)
            return std::nullopt;
        if (value->is_number_unsigned()) {
            auto n = value->get<std::uint64_t>();
            if (n <= static_cast<std::uint64_t>(std::numeric_limits<Int>::max()))
                return static_cast<Int>(n);
        } else if (value->is_number_integer()) {
            auto n = value->get<std::int64_t>();
            if (n >= static_cast<std::int64_t>(std::numeric_limits<Int>::min()) &&
                (n < 0 || static_cast<std::uint64_t>(n) <=
                              static_cast<std::uint64_t>(std::numeric_limits<Int>::max())))
                return static_cast<Int>(n);
        }
        fail(key, "an integer in range");
        return std::nullopt;
    }

    std::optional<bool> boolean(const char* key) {
        const json* value = find(key);
        if (value == nullptr)
            return std::nullopt;
        if (!value->is_boolean()) {
            fail(key, "true or false");
            return std::nullopt;
        }
        return value->get<bool>();
    }

    void fail(const char* key, const char* expected) {
        if (m_error.empty())
            m_error = m_where + "." + key + ": expected " + expected;
    }

private:
    const json& m_object;
    std::string m_where;
    std::string& m_error;
};

std::optional<BackgroundRecord> readBackgroundRecord(const json& value, const std::string& where,
                                                     std::string& error) {
    if (!value.is_object()) {
        error = where + ": expected an object";
        return std::nullopt;
    }
    FieldReader fields(value, where, error);
    BackgroundRecord record;
    auto name = fields.string("name");
    auto type = fields.string("type");
    if (!name || !type) {
        if (error.empty())
            error = where + ": needs name and type";
        return std::nullopt;
    }
    record.name = *name;
    record.type = *type;
    record.uid = fields.integer<std::int32_t>("uid");
    record.uuid = fields.string("uuid").value_or("");
    record.developerName = fields.string("developerName");
    record.teamIdentifier = fields.string("teamIdentifier");
    record.identifier = fields.string("identifier");
    record.url = fields.string("url");
    record.executablePath = fields.string("executablePath");
    record.bundleIdentifier = fields.string("bundleIdentifier");
    record.parentIdentifier = fields.string("parentIdentifier");
    record.enabled = fields.boolean("enabled").value_or(true);
    record.allowed = fields.boolean("allowed").value_or(true);
    record.notified = fields.boolean("notified").value_or(true);
    if (!error.empty())
        return std::nullopt;
    return record;
}

std::optional<JobProcess> readProcess(const json& value, const std::string& where,
                                      std::string& error) {
    if (!value.is_object()) {
        error = where + ": expected an object";
        return std::nullopt;
    }
    FieldReader fields(value, where, error);
    JobProcess process;
    auto pid = fields.integer<std::int32_t>("pid");
    auto startTime = fields.integer<std::uint64_t>("startTime");
    auto name = fields.string("name");
    if (!pid || !startTime || !name) {
        if (error.empty())
            error = where + ": needs pid, startTime and name";
        return std::nullopt;
    }
    process.pid = *pid;
    process.startTime = *startTime;
    process.name = *name;
    return process;
}

std::optional<Job> readJob(const json& value, const std::string& where, std::string& error) {
    if (!value.is_object()) {
        error = where + ": expected an object";
        return std::nullopt;
    }
    FieldReader fields(value, where, error);
    Job job;
    auto label = fields.string("label");
    if (!label) {
        fields.fail("label", "a string");
        return std::nullopt;
    }
    job.label = *label;
    job.path = fields.string("path");
    job.program = fields.string("program");
    job.fixedPid = fields.integer<std::int32_t>("pid");
    job.lastExitStatus = fields.integer<std::int64_t>("status").value_or(0);
    job.running = fields.boolean("running").value_or(false);
    if (const json* process = fields.find("process"))
        job.process = readProcess(*process, where + ".process", error);
    if (!error.empty())
        return std::nullopt;
    return job;
}

std::optional<LoginItem> readLoginItem(const json& value, const std::string& where,
                                       std::string& error) {
    if (!value.is_object()) {
        error = where + ": expected an object";
        return std::nullopt;
    }
    FieldReader fields(value, where, error);
    auto name = fields.string("name");
    auto path = fields.string("path");
    if (!name || !path) {
        if (error.empty())
            error = where + ": needs name and path";
        return std::nullopt;
    }
    return LoginItem{*name, *path};
}

std::optional<LoadedExtension> readExtension(const json& value, const std::string& where,
                                             std::int32_t position, std::string& error) {
    if (!value.is_object()) {
        error = where + ": expected an object";
        return std::nullopt;
    }
    FieldReader fields(value, where, error);
    LoadedExtension extension;
    auto identifier = fields.string("identifier");
    if (!identifier) {
        fields.fail("identifier", "a string");
        return std::nullopt;
    }
    extension.identifier = *identifier;
    extension.index = fields.integer<std::int32_t>("index").value_or(position + 1);
    extension.refs = fields.integer<std::int32_t>("refs").value_or(0);
    extension.address = fields.string("address").value_or("0");
    extension.size = fields.string("size").value_or("0");
    extension.wired = fields.string("wired").value_or("0");
    extension.version = fields.string("version").value_or("1");
    extension.uuid = fields.string("uuid").value_or("00000000-0000-0000-0000-000000000000");
    if (const json* linked = fields.find("linkedAgainst")) {
        if (!linked->is_array()) {
            fields.fail("linkedAgainst", "an array of integers");
        } else {
            for (const json& n : *linked) {
                if (!n.is_number_integer()) {
                    fields.fail("linkedAgainst", "an array of integers");
                    break;
                }
                extension.linkedAgainst.push_back(static_cast<std::int32_t>(n.get<std::int64_t>()));
            }
        }
    }
    if (!error.empty())
        return std::nullopt;
    return extension;
}

std::optional<SigningKind> signingKindFromText(std::string_view text) {
    if (text == "developerID")
        return SigningKind::developerId;
    if (text == "apple")
        return SigningKind::apple;
    if (text == "adhoc")
        return SigningKind::adHoc;
    if (text == "selfSigned")
        return SigningKind::selfSigned;
    return std::nullopt;
}

const char* signingKindText(SigningKind kind) {
    switch (kind) {
    case SigningKind::developerId:
        return "developerID";
    case SigningKind::apple:
        return "apple";
    case SigningKind::adHoc:
        return "adhoc";
    case SigningKind::selfSigned:
        return "selfSigned";
    }
    return "developerID";
}

std::optional<SignedCode> readSignedCode(const json& value, const std::string& where,
                                         std::string& error) {
    if (!value.is_object()) {
        error = where + ": expected an object";
        return std::nullopt;
    }
    FieldReader fields(value, where, error);
    SignedCode code;
    if (auto kind = fields.string("kind")) {
        auto parsed = signingKindFromText(*kind);
        if (!parsed) {
            fields.fail("kind", "\"developerID\", \"apple\", \"adhoc\" or \"selfSigned\"");
            return std::nullopt;
        }
        code.kind = *parsed;
    }
    code.identifier = fields.string("identifier");
    if (auto organization = fields.string("organization"))
        code.organization = *organization;
    if (auto team = fields.string("teamIdentifier"))
        code.teamIdentifier = *team;
    if (const json* names = fields.find("authorities")) {
        bool strings = names->is_array();
        for (std::size_t i = 0; strings && i < names->size(); ++i)
            strings = (*names)[i].is_string();
        if (!strings) {
            fields.fail("authorities", "an array of strings");
            return std::nullopt;
        }
        code.authorities = names->get<std::vector<std::string>>();
    }
    code.reportPaddingBytes = fields.integer<std::uint64_t>("reportPaddingBytes").value_or(0);
    code.tampered = fields.boolean("tampered").value_or(false);
    if (auto fault = fields.string("fault")) {
        if (*fault == "crash")
            code.fault = CodesignFault::crash;
        else if (*fault == "hang")
            code.fault = CodesignFault::hang;
        else {
            fields.fail("fault", "\"crash\" or \"hang\"");
            return std::nullopt;
        }
    }
    if (!error.empty())
        return std::nullopt;
    return code;
}

// {"label": true, ...}: true for disabled, false for enabled.
bool readDisabledSet(const json& value, const std::string& where, DisabledSet& set,
                     std::string& error) {
    if (!value.is_object()) {
        error = where + ": expected an object of labels";
        return false;
    }
    for (auto entry = value.begin(); entry != value.end(); ++entry) {
        if (!entry.value().is_boolean()) {
            error = where + "." + entry.key() + ": expected true or false";
            return false;
        }
        set[entry.key()] = entry.value().get<bool>();
    }
    return true;
}

bool readDisabled(const json& root, HostState& state, std::string& error) {
    auto it = root.find("disabled");
    if (it == root.end() || it->is_null())
        return true;
    if (!it->is_object()) {
        error = "disabled: expected an object";
        return false;
    }
    const std::pair<const char*, DisabledSet*> domains[] = {
        {"gui", &state.disabledGui},
        {"system", &state.disabledSystem},
        {"loginItems", &state.disabledLoginItems}};
    for (auto entry = it->begin(); entry != it->end(); ++entry) {
        DisabledSet* set = nullptr;
        for (const auto& [name, target] : domains) {
            if (entry.key() == name)
                set = target;
        }
        if (set == nullptr) {
            error = "disabled." + entry.key() + ": expected gui, system or loginItems";
            return false;
        }
        if (!entry.value().is_null() &&
            !readDisabledSet(entry.value(), "disabled." + entry.key(), *set, error))
            return false;
    }
    return true;
}

template <typename Reader>
bool readArray(const json& root, const char* key, std::string& error, Reader reader) {
    auto it = root.find(key);
    if (it == root.end() || it->is_null())
        return true;
    if (!it->is_array()) {
        error = std::string(key) + ": expected an array";
        return false;
    }
    std::int32_t position = 0;
    for (const json& element : *it) {
        if (!reader(element, std::string(key) + "[" + std::to_string(position) + "]", position))
            return false;
        ++position;
    }
    return true;
}

} // namespace

StateParseResult hostStateFromJson(std::string_view text) {
    StateParseResult result;
    json root = json::parse(text.begin(), text.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        result.error = "not a JSON object";
        return result;
    }

    HostState state;
    std::string& error = result.error;
    bool ok =
        readArray(root, "jobs", error, [&](const json& v, const std::string& w, std::int32_t) {
            auto job = readJob(v, w, error);
            if (job)
                state.jobs.push_back(std::move(*job));
            return job.has_value();
        });
    ok = ok && readArray(root, "loginItems", error,
                         [&](const json& v, const std::string& w, std::int32_t) {
                             auto item = readLoginItem(v, w, error);
                             if (item)
                                 state.loginItems.push_back(std::move(*item));
                             return item.has_value();
                         });
    ok = ok && readArray(root, "backgroundItems", error,
                         [&](const json& v, const std::string& w, std::int32_t) {
                             auto record = readBackgroundRecord(v, w, error);
                             if (record)
                                 state.backgroundItems.push_back(std::move(*record));
                             return record.has_value();
                         });
    if (ok) {
        auto shape = root.find("btmShape");
        if (shape != root.end() && !shape->is_null()) {
            if (!shape->is_string() ||
                (*shape != "older" && *shape != "newer" && *shape != "excerpt")) {
                error = "btmShape: expected \"older\", \"newer\" or \"excerpt\"";
                ok = false;
            } else {
                state.btmShape = *shape == "older"     ? BtmShape::older
                                 : *shape == "excerpt" ? BtmShape::excerpt
                                                       : BtmShape::newer;
            }
        }
    }
    ok = ok && readArray(root, "extensions", error,
                         [&](const json& v, const std::string& w, std::int32_t position) {
                             auto extension = readExtension(v, w, position, error);
                             if (extension)
                                 state.extensions.push_back(std::move(*extension));
                             return extension.has_value();
                         });
    if (ok) {
        auto it = root.find("signed");
        if (it != root.end() && !it->is_null()) {
            if (!it->is_object()) {
                error = "signed: expected an object";
                ok = false;
            } else {
                for (auto entry = it->begin(); ok && entry != it->end(); ++entry) {
                    auto code = readSignedCode(entry.value(), "signed[" + entry.key() + "]", error);
                    ok = code.has_value();
                    if (ok)
                        state.signedCode.emplace(entry.key(), std::move(*code));
                }
            }
        }
    }
    ok = ok && readDisabled(root, state, error);
    if (ok)
        result.state = std::move(state);
    return result;
}

std::string hostStateToJson(const HostState& state) {
    ordered_json root = ordered_json::object();

    ordered_json jobs = ordered_json::array();
    for (const Job& job : state.jobs) {
        ordered_json entry = ordered_json::object();
        entry["label"] = job.label;
        if (job.path)
            entry["path"] = *job.path;
        if (job.program)
            entry["program"] = *job.program;
        if (job.fixedPid)
            entry["pid"] = *job.fixedPid;
        entry["status"] = job.lastExitStatus;
        if (job.running)
            entry["running"] = true;
        if (job.process) {
            entry["process"] = {{"pid", job.process->pid},
                                {"startTime", job.process->startTime},
                                {"name", job.process->name}};
        }
        jobs.push_back(std::move(entry));
    }
    root["jobs"] = std::move(jobs);

    ordered_json loginItems = ordered_json::array();
    for (const LoginItem& item : state.loginItems)
        loginItems.push_back({{"name", item.name}, {"path", item.path}});
    root["loginItems"] = std::move(loginItems);

    ordered_json extensions = ordered_json::array();
    for (const LoadedExtension& e : state.extensions) {
        extensions.push_back({{"index", e.index},
                              {"refs", e.refs},
                              {"address", e.address},
                              {"size", e.size},
                              {"wired", e.wired},
                              {"identifier", e.identifier},
                              {"version", e.version},
                              {"uuid", e.uuid},
                              {"linkedAgainst", e.linkedAgainst}});
    }
    root["extensions"] = std::move(extensions);

    ordered_json signedCode = ordered_json::object();
    for (const auto& [path, code] : state.signedCode) {
        ordered_json entry = ordered_json::object();
        entry["kind"] = signingKindText(code.kind);
        if (code.identifier)
            entry["identifier"] = *code.identifier;
        entry["organization"] = code.organization;
        entry["teamIdentifier"] = code.teamIdentifier;
        if (!code.authorities.empty())
            entry["authorities"] = code.authorities;
        if (code.reportPaddingBytes > 0)
            entry["reportPaddingBytes"] = code.reportPaddingBytes;
        if (code.tampered)
            entry["tampered"] = true;
        if (code.fault != CodesignFault::none)
            entry["fault"] = code.fault == CodesignFault::crash ? "crash" : "hang";
        signedCode[path] = std::move(entry);
    }
    root["signed"] = std::move(signedCode);

    if (!state.backgroundItems.empty()) {
        ordered_json records = ordered_json::array();
        for (const BackgroundRecord& r : state.backgroundItems) {
            ordered_json entry = ordered_json::object();
            if (r.uid)
                entry["uid"] = *r.uid;
            entry["uuid"] = r.uuid;
            entry["name"] = r.name;
            entry["type"] = r.type;
            const std::pair<const char*, const std::optional<std::string>*> texts[] = {
                {"developerName", &r.developerName},
                {"teamIdentifier", &r.teamIdentifier},
                {"identifier", &r.identifier},
                {"url", &r.url},
                {"executablePath", &r.executablePath},
                {"bundleIdentifier", &r.bundleIdentifier},
                {"parentIdentifier", &r.parentIdentifier}};
            for (const auto& [key, value] : texts) {
                if (*value)
                    entry[key] = **value;
            }
            entry["enabled"] = r.enabled;
            entry["allowed"] = r.allowed;
            entry["notified"] = r.notified;
            records.push_back(std::move(entry));
        }
        root["backgroundItems"] = std::move(records);
    }
    if (state.btmShape != BtmShape::newer)
        root["btmShape"] = state.btmShape == BtmShape::older ? "older" : "excerpt";

    // Only hosts that have disabled or enabled something carry the field.
    if (!state.disabledGui.empty() || !state.disabledSystem.empty() ||
        !state.disabledLoginItems.empty()) {
        ordered_json disabled = ordered_json::object();
        disabled["gui"] = state.disabledGui;
        disabled["system"] = state.disabledSystem;
        disabled["loginItems"] = state.disabledLoginItems;
        root["disabled"] = std::move(disabled);
    }

    return root.dump(1, '\t') + "\n";
}

} // namespace daemonary::hostsim
