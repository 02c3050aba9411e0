#include "insight/TriggerFacts.h"

#include "platform/FileSystem.h"
#include "text/Text.h"

#include <array>
#include <cstdio>
#include <optional>
#include <utility>

namespace daemonary {

namespace {

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

class FactList {
public:
    void add(std::string kind, std::string text, PlistValue value, bool unreadable = false) {
        m_facts.push_back({std::move(kind), std::move(text), std::move(value), unreadable});
    }
    // What was found where something else was expected: said plainly, with
    // the value kept so nothing is hidden.
    void unreadable(const std::string& kind, const std::string& what, const std::string& expected,
                    const PlistValue& value) {
        add(kind,
            what + " cannot be read: expected " + expected + ", found " + plistTypeName(value),
            value, true);
    }
    void unreadableBecause(const std::string& kind, const std::string& what,
                           const std::string& reason, const PlistValue& value) {
        add(kind, what + " cannot be read: " + reason, value, true);
    }
    std::vector<TriggerFact> take() { return std::move(m_facts); }

private:
    std::vector<TriggerFact> m_facts;
};

const PlistValue* find(const PlistDictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

void addBoolean(FactList& facts, const PlistDictionary& definition, const std::string& key,
                const char* whenTrue, const char* whenFalse) {
    const PlistValue* value = find(definition, key);
    if (value == nullptr) {
        return;
    }
    if (const bool* flag = value->boolean()) {
        facts.add(key, *flag ? whenTrue : whenFalse, *value);
    } else {
        facts.unreadable(key, key, "a boolean", *value);
    }
}

// --- KeepAlive -----------------------------------------------------------

void addKeepAliveCondition(FactList& facts, const std::string& condition, const PlistValue& value) {
    const std::string kind = "KeepAlive";
    const PlistValue single = PlistDictionary{{condition, value}};
    const std::string what = "KeepAlive condition " + condition;
    auto boolean = [&](const char* whenTrue, const char* whenFalse) {
        if (const bool* flag = value.boolean()) {
            facts.add(kind, *flag ? whenTrue : whenFalse, single);
        } else {
            facts.unreadable(kind, what, "a boolean", value);
        }
    };
    // A dictionary of names to booleans, one fact per name.
    auto perName = [&](const std::string& subject, const char* whenTrue, const char* whenFalse) {
        const PlistDictionary* names = value.dictionary();
        if (names == nullptr) {
            facts.unreadable(kind, what, "a dictionary", value);
            return;
        }
        for (const auto& [name, state] : *names) {
            const PlistValue entry = PlistDictionary{{condition, PlistDictionary{{name, state}}}};
            if (const bool* flag = state.boolean()) {
                facts.add(kind,
                          "Kept alive while " + subject + name + (*flag ? whenTrue : whenFalse),
                          entry);
            } else {
                facts.unreadable(kind, what + " for " + name, "a boolean", state);
            }
        }
    };

    if (condition == "SuccessfulExit") {
        boolean("Kept alive: restarted after it exits with status 0",
                "Kept alive: restarted after it exits with a non-zero status");
    } else if (condition == "Crashed") {
        boolean("Kept alive: restarted after it crashes",
                "Kept alive: restarted after it exits without crashing");
    } else if (condition == "NetworkState") {
        boolean("Kept alive while the network is up", "Kept alive while the network is down");
    } else if (condition == "AfterInitialDemand") {
        boolean("Kept alive once it has first been started on demand",
                "Kept alive from the moment it is loaded");
    } else if (condition == "PathState") {
        perName("", " exists", " does not exist");
    } else if (condition == "OtherJobEnabled") {
        perName("job ", " is loaded", " is not loaded");
    } else {
        facts.add(kind, "Kept alive on a condition launchd may not know: " + condition, single);
    }
}

void addKeepAlive(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* value = find(definition, "KeepAlive");
    if (value == nullptr) {
        return;
    }
    if (const bool* flag = value->boolean()) {
        facts.add("KeepAlive", *flag ? "Kept alive: restarted whenever it exits" : "Not kept alive",
                  *value);
        return;
    }
    const PlistDictionary* conditions = value->dictionary();
    if (conditions == nullptr) {
        facts.unreadable("KeepAlive", "KeepAlive", "a boolean or a dictionary", *value);
        return;
    }
    if (conditions->empty()) {
        facts.add("KeepAlive", "KeepAlive lists no conditions", *value);
        return;
    }
    for (const auto& [condition, state] : *conditions) {
        addKeepAliveCondition(facts, condition, state);
    }
}

// --- Intervals and calendars ---------------------------------------------

void addStartInterval(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* value = find(definition, "StartInterval");
    if (value == nullptr) {
        return;
    }
    const std::int64_t* seconds = value->integer();
    if (seconds == nullptr) {
        facts.unreadable("StartInterval", "StartInterval", "an integer", *value);
    } else if (*seconds <= 0) {
        facts.unreadableBecause("StartInterval", "StartInterval",
                                std::to_string(*seconds) + " is not a positive number of seconds",
                                *value);
    } else {
        facts.add("StartInterval", "Runs " + intervalText(*seconds), *value);
    }
}

constexpr std::array<const char*, 7> kWeekdays = {"Sundays",   "Mondays", "Tuesdays", "Wednesdays",
                                                  "Thursdays", "Fridays", "Saturdays"};
constexpr std::array<const char*, 12> kMonths = {"January",   "February", "March",    "April",
                                                 "May",       "June",     "July",     "August",
                                                 "September", "October",  "November", "December"};

struct CalendarField {
    const char* key;
    std::int64_t minimum;
    std::int64_t maximum;
};

constexpr std::array<CalendarField, 5> kCalendarFields = {{
    {"Minute", 0, 59},
    {"Hour", 0, 23},
    {"Day", 1, 31},
    {"Weekday", 0, 7},
    {"Month", 1, 12},
}};

std::string twoDigits(std::int64_t number) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", static_cast<int>(number));
    return text;
}

// The schedule of one calendar entry; missing fields are wildcards, as
// launchd treats them. Day and weekday together match either, as in cron.
std::string calendarPhrase(const std::optional<std::int64_t>& minute,
                           const std::optional<std::int64_t>& hour,
                           const std::optional<std::int64_t>& day,
                           const std::optional<std::int64_t>& weekday,
                           const std::optional<std::int64_t>& month) {
    const std::string weekdays = weekday ? kWeekdays[static_cast<std::size_t>(*weekday % 7)] : "";
    const std::string monthName = month ? kMonths[static_cast<std::size_t>(*month - 1)] : "";
    const std::string dayText = day ? "day " + std::to_string(*day) : "";

    std::string date;
    if (day && weekday) {
        date = dayText + " of " + (month ? monthName : "every month") + " and " + weekdays +
               (month ? " in " + monthName : "");
    } else if (day) {
        date = dayText + " of " + (month ? monthName : "every month");
    } else if (weekday) {
        date = weekdays + (month ? " in " + monthName : "");
    } else if (month) {
        date = "every day in " + monthName;
    }

    std::string time;
    if (hour && minute) {
        time = "at " + twoDigits(*hour) + ":" + twoDigits(*minute);
    } else if (hour) {
        time = "every minute from " + twoDigits(*hour) + ":00 to " + twoDigits(*hour) + ":59";
    } else if (minute) {
        time = "every hour at minute " + std::to_string(*minute);
    } else {
        time = "every minute";
    }

    if (hour && minute) {
        return (date.empty() ? "every day" : date) + " " + time;
    }
    if (hour) {
        return (date.empty() ? "every day" : date) + ", " + time;
    }
    return date.empty() ? time : date + ", " + time;
}

void addCalendarEntry(FactList& facts, const PlistValue& entry) {
    const std::string kind = "StartCalendarInterval";
    const std::string what = "StartCalendarInterval entry";
    const PlistDictionary* fields = entry.dictionary();
    if (fields == nullptr) {
        facts.unreadable(kind, what, "a dictionary", entry);
        return;
    }
    std::array<std::optional<std::int64_t>, kCalendarFields.size()> values;
    for (std::size_t i = 0; i < kCalendarFields.size(); ++i) {
        const CalendarField& field = kCalendarFields[i];
        const PlistValue* value = find(*fields, field.key);
        if (value == nullptr) {
            continue;
        }
        const std::int64_t* number = value->integer();
        if (number == nullptr) {
            facts.unreadableBecause(kind, what,
                                    std::string(field.key) + " is " + plistTypeName(*value) +
                                        ", not an integer",
                                    entry);
            return;
        }
        if (*number < field.minimum || *number > field.maximum) {
            facts.unreadableBecause(kind, what,
                                    std::string(field.key) + " " + std::to_string(*number) +
                                        " is out of range (" + std::to_string(field.minimum) +
                                        " to " + std::to_string(field.maximum) + ")",
                                    entry);
            return;
        }
        values[i] = *number;
    }
    facts.add(kind, "Runs " + calendarPhrase(values[0], values[1], values[2], values[3], values[4]),
              entry);
}

void addStartCalendarInterval(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* value = find(definition, "StartCalendarInterval");
    if (value == nullptr) {
        return;
    }
    if (value->dictionary() != nullptr) {
        addCalendarEntry(facts, *value);
        return;
    }
    const PlistArray* entries = value->array();
    if (entries == nullptr) {
        facts.unreadable("StartCalendarInterval", "StartCalendarInterval",
                         "a dictionary or an array of dictionaries", *value);
        return;
    }
    if (entries->empty()) {
        facts.add("StartCalendarInterval", "StartCalendarInterval lists no times", *value);
    }
    for (const PlistValue& entry : *entries) {
        addCalendarEntry(facts, entry);
    }
}

// --- Paths, services, events ---------------------------------------------

void addPathList(FactList& facts, const PlistDictionary& definition, const std::string& key,
                 const char* before, const char* after) {
    const PlistValue* value = find(definition, key);
    if (value == nullptr) {
        return;
    }
    const PlistArray* paths = value->array();
    if (paths == nullptr) {
        facts.unreadable(key, key, "an array of paths", *value);
        return;
    }
    for (const PlistValue& path : *paths) {
        if (const std::string* text = path.string()) {
            facts.add(key, before + *text + after, path);
        } else {
            facts.unreadable(key, key + " entry", "a path", path);
        }
    }
}

void addMachServices(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* value = find(definition, "MachServices");
    if (value == nullptr) {
        return;
    }
    const PlistDictionary* services = value->dictionary();
    if (services == nullptr) {
        facts.unreadable("MachServices", "MachServices", "a dictionary", *value);
        return;
    }
    for (const auto& [name, settings] : *services) {
        const PlistValue entry = PlistDictionary{{name, settings}};
        const bool* flag = settings.boolean();
        if (settings.dictionary() != nullptr || (flag != nullptr && *flag)) {
            facts.add("MachServices", "Runs on demand for Mach service " + name, entry);
        } else if (flag != nullptr) {
            facts.add("MachServices",
                      "Declares Mach service " + name + " but does not advertise it", entry);
        } else {
            facts.unreadable("MachServices", "Mach service " + name, "a boolean or a dictionary",
                             settings);
        }
    }
}

// "port 8080" or "path /var/run/x.sock" for one listener; empty when the
// listener names neither.
std::optional<std::string> listenerText(const PlistValue& listener) {
    const PlistDictionary* settings = listener.dictionary();
    if (settings == nullptr) {
        return std::nullopt;
    }
    if (const PlistValue* service = find(*settings, "SockServiceName")) {
        if (const std::string* name = service->string()) {
            return "port " + *name;
        }
        if (const std::int64_t* port = service->integer()) {
            return "port " + std::to_string(*port);
        }
        return std::nullopt;
    }
    if (const PlistValue* path = find(*settings, "SockPathName")) {
        if (const std::string* name = path->string()) {
            return "path " + *name;
        }
        return std::nullopt;
    }
    return std::string();
}

void addSockets(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* value = find(definition, "Sockets");
    if (value == nullptr) {
        return;
    }
    const PlistDictionary* sockets = value->dictionary();
    if (sockets == nullptr) {
        facts.unreadable("Sockets", "Sockets", "a dictionary", *value);
        return;
    }
    for (const auto& [name, settings] : *sockets) {
        const PlistValue entry = PlistDictionary{{name, settings}};
        PlistArray single;
        const PlistArray* listeners = settings.array();
        if (listeners == nullptr) {
            single.push_back(settings);
            listeners = &single;
        }
        std::string details;
        bool readable = true;
        for (const PlistValue& listener : *listeners) {
            const std::optional<std::string> text = listenerText(listener);
            if (!text) {
                readable = false;
                break;
            }
            if (!text->empty()) {
                details += (details.empty() ? "" : ", ") + *text;
            }
        }
        if (!readable) {
            facts.unreadable("Sockets", "Socket " + name,
                             "a dictionary or an array of dictionaries with a name or path",
                             settings);
            continue;
        }
        facts.add("Sockets",
                  "Runs when a client connects to socket " + quoted(name) +
                      (details.empty() ? "" : " (" + details + ")"),
                  entry);
    }
}

void addLaunchEvents(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* value = find(definition, "LaunchEvents");
    if (value == nullptr) {
        return;
    }
    const PlistDictionary* streams = value->dictionary();
    if (streams == nullptr) {
        facts.unreadable("LaunchEvents", "LaunchEvents", "a dictionary", *value);
        return;
    }
    for (const auto& [stream, events] : *streams) {
        const PlistValue entry = PlistDictionary{{stream, events}};
        const PlistDictionary* named = events.dictionary();
        if (named == nullptr) {
            facts.unreadable("LaunchEvents", "Event stream " + stream, "a dictionary", events);
            continue;
        }
        std::string names;
        for (const auto& [name, descriptor] : *named) {
            names += (names.empty() ? "" : ", ") + name;
        }
        facts.add("LaunchEvents",
                  "Runs on events from " + stream + (names.empty() ? "" : ": " + names), entry);
    }
}

// --- Identity and command ------------------------------------------------

void addString(FactList& facts, const PlistDictionary& definition, const std::string& key,
               const char* prefix) {
    const PlistValue* value = find(definition, key);
    if (value == nullptr) {
        return;
    }
    if (const std::string* text = value->string()) {
        facts.add(key, prefix + *text, *value);
    } else {
        facts.unreadable(key, key, "a string", *value);
    }
}

void addProcessType(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* value = find(definition, "ProcessType");
    if (value == nullptr) {
        return;
    }
    const std::string* type = value->string();
    if (type == nullptr) {
        facts.unreadable("ProcessType", "ProcessType", "a string", *value);
        return;
    }
    std::string meaning;
    if (*type == "Background") {
        meaning = " (limited resources, for work the user does not wait for)";
    } else if (*type == "Standard") {
        meaning = " (the default limits)";
    } else if (*type == "Adaptive") {
        meaning = " (limits follow what it is doing for the user)";
    } else if (*type == "Interactive") {
        meaning = " (no limits, like an application)";
    } else {
        meaning = " (not a type launchd knows)";
    }
    facts.add("ProcessType", "Process type: " + *type + meaning, *value);
}

void addCommand(FactList& facts, const PlistDictionary& definition) {
    const PlistValue* program = find(definition, "Program");
    const PlistValue* arguments = find(definition, "ProgramArguments");
    if (program == nullptr && arguments == nullptr) {
        return;
    }
    PlistDictionary value;
    if (program != nullptr) {
        value.emplace("Program", *program);
    }
    if (arguments != nullptr) {
        value.emplace("ProgramArguments", *arguments);
    }
    if (program != nullptr && program->string() == nullptr) {
        facts.unreadableBecause("Command", "Command", "Program is " + plistTypeName(*program),
                                value);
        return;
    }
    std::vector<std::string> words;
    if (arguments != nullptr) {
        const PlistArray* list = arguments->array();
        if (list == nullptr) {
            facts.unreadableBecause("Command", "Command",
                                    "ProgramArguments is " + plistTypeName(*arguments) +
                                        ", not an array of strings",
                                    value);
            return;
        }
        for (const PlistValue& word : *list) {
            if (word.string() == nullptr) {
                facts.unreadableBecause(
                    "Command", "Command",
                    "ProgramArguments holds " + plistTypeName(word) + ", not only strings", value);
                return;
            }
            words.push_back(*word.string());
        }
    }
    // launchd runs Program when there is one, with ProgramArguments as its
    // argument vector (whose first word is then only the process's name).
    if (program != nullptr) {
        if (words.empty()) {
            words.push_back(*program->string());
        } else {
            words.front() = *program->string();
        }
    }
    if (words.empty()) {
        facts.unreadableBecause("Command", "Command", "ProgramArguments is empty", value);
        return;
    }
    std::string line;
    for (const std::string& word : words) {
        line += (line.empty() ? "" : " ") + shellQuoted(word);
    }
    facts.add("Command", "Command: " + line, value);
}

} // namespace

std::string plistTypeName(const PlistValue& value) {
    struct Namer {
        std::string operator()(const PlistDictionary&) const { return "a dictionary"; }
        std::string operator()(const PlistArray&) const { return "an array"; }
        std::string operator()(const std::string&) const { return "a string"; }
        std::string operator()(std::int64_t) const { return "an integer"; }
        std::string operator()(double) const { return "a real number"; }
        std::string operator()(bool) const { return "a boolean"; }
        std::string operator()(const PlistDate&) const { return "a date"; }
        std::string operator()(const PlistData&) const { return "data"; }
    };
    return std::visit(Namer{}, value.storage());
}

std::string intervalText(std::int64_t seconds) {
    constexpr std::array<std::pair<std::int64_t, const char*>, 4> kUnits = {{
        {86400, "d"},
        {3600, "h"},
        {60, "min"},
        {1, "s"},
    }};
    std::string text = "every";
    std::int64_t rest = seconds;
    for (const auto& [size, unit] : kUnits) {
        if (rest >= size) {
            text += " " + std::to_string(rest / size) + " " + unit;
            rest %= size;
        }
    }
    return text;
}

std::vector<TriggerFact> triggerFacts(const PlistDictionary& definition) {
    FactList facts;
    addBoolean(facts, definition, "RunAtLoad", "Runs when it is loaded (at boot or login)",
               "Does not run when it is loaded");
    addKeepAlive(facts, definition);
    addStartInterval(facts, definition);
    addStartCalendarInterval(facts, definition);
    addPathList(facts, definition, "WatchPaths", "Runs when ", " changes");
    addPathList(facts, definition, "QueueDirectories", "Runs while ", " is not empty");
    addBoolean(facts, definition, "StartOnMount", "Runs whenever a file system is mounted",
               "Does not run when a file system is mounted");
    addMachServices(facts, definition);
    addSockets(facts, definition);
    addLaunchEvents(facts, definition);
    addBoolean(facts, definition, "LaunchOnlyOnce", "Runs only once per boot",
               "May run more than once per boot");
    addBoolean(facts, definition, "Disabled", "Disabled in its definition: not loaded by default",
               "Not disabled in its definition");
    addString(facts, definition, "UserName", "Runs as user ");
    addString(facts, definition, "GroupName", "Runs as group ");
    addProcessType(facts, definition);
    addCommand(facts, definition);
    return facts.take();
}

std::vector<TriggerFact> backgroundFacts(const LaunchItem& item) {
    std::vector<TriggerFact> facts;
    const auto add = [&facts](std::string text) {
        facts.push_back({std::string(kBackgroundFactKind), std::move(text), PlistValue(), false});
    };
    if (item.allowedInBackground == false) {
        add("Not allowed in the background: switched off in System Settings, so launchd does "
            "not load it");
    }
    if (item.orphaned) {
        add("Orphaned: Background Task Management still lists it, but its files are gone");
    }
    if (item.allowedInBackground == true && item.backgroundItem) {
        add("Allowed in the background (System Settings, Login Items)");
    }
    if (item.type == ServiceType::loginItem && item.parentApp && !item.orphaned) {
        add("Opens at login as a helper of " + std::string(lastPathComponent(*item.parentApp)));
    }
    return facts;
}

} // namespace daemonary
