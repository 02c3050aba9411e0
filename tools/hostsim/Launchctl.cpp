#include "Launchctl.h"

#include "JobRunner.h"
#include "JobTable.h"
#include "StateStore.h"
#include "platform/FileSystem.h"
#include "plist/PropertyList.h"

#include <charconv>
#include <ostream>
#include <unistd.h>

namespace daemonary::hostsim {

namespace {

constexpr int kUsageStatus = 64;
constexpr int kNoSuchServiceStatus = 113;
constexpr int kServiceDisabledStatus = 119;
constexpr int kNotPermittedStatus = 1;

struct Target {
    std::uint32_t uid = 0;
    std::optional<std::string> label;
};

// "gui/<uid>" or "gui/<uid>/<label>"; the only domain a user's tools address.
std::optional<Target> parseTarget(std::string_view text) {
    if (!text.starts_with("gui/"))
        return std::nullopt;
    text.remove_prefix(4);
    const auto slash = text.find('/');
    const std::string_view uidText = text.substr(0, slash);
    Target target;
    const auto [end, error] =
        std::from_chars(uidText.data(), uidText.data() + uidText.size(), target.uid);
    if (uidText.empty() || error != std::errc() || end != uidText.data() + uidText.size())
        return std::nullopt;
    if (slash != std::string_view::npos) {
        std::string_view label = text.substr(slash + 1);
        if (label.empty())
            return std::nullopt;
        target.label = std::string(label);
    }
    return target;
}

// "system", "system/<label>", "gui/<uid>" or "gui/<uid>/<label>": the
// targets of print-disabled, disable and enable.
struct AnyTarget {
    bool system = false;
    Target gui;
    std::optional<std::string> label;
};

std::optional<AnyTarget> parseAnyTarget(std::string_view text) {
    AnyTarget target;
    if (text == "system")
        return AnyTarget{true, {}, std::nullopt};
    if (text.starts_with("system/")) {
        text.remove_prefix(7);
        if (text.empty())
            return std::nullopt;
        return AnyTarget{true, {}, std::string(text)};
    }
    auto gui = parseTarget(text);
    if (!gui)
        return std::nullopt;
    return AnyTarget{false, *gui, gui->label};
}

struct Definition {
    std::string label;
    std::optional<std::string> program;
    bool startsAtLoad = false;
};

std::optional<Definition> readDefinition(const std::string& path) {
    auto bytes = readFile(path);
    if (!bytes)
        return std::nullopt;
    auto value = parsePropertyList(*bytes);
    const PlistDictionary* dictionary = value ? value->dictionary() : nullptr;
    if (dictionary == nullptr)
        return std::nullopt;
    auto label = dictionary->find("Label");
    if (label == dictionary->end() || label->second.string() == nullptr)
        return std::nullopt;

    Definition definition;
    definition.label = *label->second.string();
    if (auto program = dictionary->find("Program");
        program != dictionary->end() && program->second.string() != nullptr) {
        definition.program = *program->second.string();
    } else if (auto arguments = dictionary->find("ProgramArguments");
               arguments != dictionary->end() && arguments->second.array() != nullptr &&
               !arguments->second.array()->empty() &&
               arguments->second.array()->front().string() != nullptr) {
        definition.program = *arguments->second.array()->front().string();
    }
    // SMAppService definitions name their program relative to the app.
    const auto bundleProgram = dictionary->find("BundleProgram");
    const auto appEnd = path.find(".app/Contents/Library/");
    if (!definition.program && bundleProgram != dictionary->end() &&
        bundleProgram->second.string() != nullptr && appEnd != std::string::npos)
        definition.program = path.substr(0, appEnd + 4) + "/" + *bundleProgram->second.string();
    for (const char* key : {"RunAtLoad", "KeepAlive"}) {
        auto flag = dictionary->find(key);
        if (flag != dictionary->end() && flag->second.boolean() != nullptr &&
            *flag->second.boolean())
            definition.startsAtLoad = true;
    }
    return definition;
}

class Launchctl {
public:
    Launchctl(const HostContext& host, const std::vector<std::string>& arguments)
        : m_host(host), m_arguments(arguments) {}

    int run() {
        if (m_arguments.empty())
            return usage();
        const std::string& command = m_arguments.front();
        if (command == "list")
            return list();
        if (command == "bootstrap")
            return bootstrap();
        if (command == "bootout")
            return bootout();
        if (command == "kickstart")
            return kickstart();
        if (command == "print-disabled")
            return printDisabled();
        if (command == "disable" || command == "enable")
            return setDisabled(command == "disable");
        m_host.err() << "Unrecognized subcommand: " << command << "\n";
        return usage();
    }

private:
    int usage() {
        m_host.err() << "Usage: launchctl <subcommand> ... | help [subcommand]\n"
                        "Subcommands: list, bootstrap, bootout, kickstart, print-disabled, "
                        "disable, enable\n";
        return kUsageStatus;
    }

    bool openStore() {
        auto opened = StateStore::open(m_host, StateStore::Access::exclusive);
        if (!opened.store) {
            m_host.err() << "launchctl: " << opened.error << "\n";
            return false;
        }
        m_store.emplace(std::move(*opened.store));
        reapJobs(m_store->state(), m_store->exitDirectory());
        return true;
    }

    int finish(int status) {
        std::string error;
        if (!m_store->save(error)) {
            m_host.err() << "launchctl: " << error << "\n";
            return status == 0 ? 1 : status;
        }
        return status;
    }

    bool isOwnUid(std::uint32_t uid) const { return uid == m_host.callerUid(); }

    int list() {
        if (m_arguments.size() != 1) {
            m_host.err() << "Usage: launchctl list\n";
            return kUsageStatus;
        }
        if (!openStore())
            return 1;
        std::ostream& out = m_host.out();
        out << "PID\tStatus\tLabel\n";
        for (const Job& job : m_store->state().jobs) {
            if (auto pid = visiblePid(job))
                out << *pid;
            else
                out << '-';
            out << '\t' << job.lastExitStatus << '\t' << job.label << '\n';
        }
        out.flush();
        return finish(0);
    }

    int bootstrap() {
        if (m_arguments.size() < 3) {
            m_host.err() << "Usage: launchctl bootstrap <domain-target> [service-path, ...]\n";
            return kUsageStatus;
        }
        auto target = parseTarget(m_arguments[1]);
        if (!target || target->label) {
            m_host.err() << "Unrecognized target specifier.\n";
            return kUsageStatus;
        }
        if (!isOwnUid(target->uid)) {
            m_host.err() << "Bootstrap failed: 1: Operation not permitted\n";
            return 1;
        }
        if (!openStore())
            return 1;
        int status = 0;
        for (std::size_t i = 2; i < m_arguments.size(); ++i) {
            if (int failed = bootstrapOne(m_arguments[i]))
                status = failed;
        }
        return finish(status);
    }

    int bootstrapOne(const std::string& argument) {
        auto stored =
            m_host.storedPath(normalisedAbsolutePath(argument, currentWorkingDirectory()));
        const std::string path = m_host.realPath(stored.value_or(""));
        if (!stored || !pathExists(path)) {
            m_host.err() << "Bootstrap failed: 2: No such file or directory\n";
            return 2;
        }
        auto definition = readDefinition(path);
        HostState& state = m_store->state();
        if (definition && isDisabled(state, definition->label, stored)) {
            m_host.err() << argument << ": Service is disabled\n"
                         << "Bootstrap failed: " << kServiceDisabledStatus
                         << ": Service is disabled\n";
            return kServiceDisabledStatus;
        }
        if (!definition || findJobByLabel(state, definition->label) != nullptr) {
            m_host.err() << "Bootstrap failed: 5: Input/output error\n";
            return 5;
        }
        Job job;
        job.label = definition->label;
        job.path = *stored;
        job.program = definition->program;
        state.jobs.push_back(std::move(job));
        if (definition->startsAtLoad) {
            std::string error;
            if (!launchJob(state.jobs.back(), m_host, *m_store, error))
                m_host.err() << "launchctl: " << error << "\n";
        }
        return 0;
    }

    int bootout() {
        if (m_arguments.size() < 2) {
            m_host.err() << "Usage: launchctl bootout <domain-target> [service-path, ...] | "
                            "<service-target>\n";
            return kUsageStatus;
        }
        auto target = parseTarget(m_arguments[1]);
        if (!target || (target->label && m_arguments.size() > 2) ||
            (!target->label && m_arguments.size() < 3)) {
            m_host.err() << "Unrecognized target specifier.\n";
            return kUsageStatus;
        }
        if (!isOwnUid(target->uid)) {
            m_host.err() << "Boot-out failed: 1: Operation not permitted\n";
            return 1;
        }
        if (!openStore())
            return 1;
        HostState& state = m_store->state();
        if (target->label) {
            Job* job = findJobByLabel(state, *target->label);
            if (job == nullptr) {
                m_host.err() << "Boot-out failed: 3: No such process\n";
                return finish(3);
            }
            remove(*job);
            return finish(0);
        }
        int status = 0;
        for (std::size_t i = 2; i < m_arguments.size(); ++i) {
            auto stored = m_host.storedPath(
                normalisedAbsolutePath(m_arguments[i], currentWorkingDirectory()));
            Job* job = stored ? findJobByPath(state, *stored) : nullptr;
            if (job == nullptr) {
                m_host.err() << "Boot-out failed: 5: Input/output error\n";
                status = 5;
                continue;
            }
            remove(*job);
        }
        return finish(status);
    }

    void remove(Job& job) {
        if (job.process)
            stopJob(*job.process, m_store->exitDirectory());
        auto& jobs = m_store->state().jobs;
        jobs.erase(jobs.begin() + (&job - jobs.data()));
    }

    int kickstart() {
        bool kill = false;
        bool printPid = false;
        std::size_t i = 1;
        for (; i < m_arguments.size() && m_arguments[i].starts_with('-'); ++i) {
            for (char option : std::string_view(m_arguments[i]).substr(1)) {
                if (option == 'k')
                    kill = true;
                else if (option == 'p')
                    printPid = true;
                else if (option != 's')
                    return kickstartUsage();
            }
        }
        if (i + 1 != m_arguments.size())
            return kickstartUsage();
        auto target = parseTarget(m_arguments[i]);
        if (!target || !target->label) {
            m_host.err() << "Unrecognized target specifier.\n";
            return kickstartUsage();
        }
        if (!isOwnUid(target->uid)) {
            m_host.err() << "Could not kickstart service \"" << *target->label
                         << "\": 1: Operation not permitted\n";
            return 1;
        }
        if (!openStore())
            return 1;
        Job* job = findJobByLabel(m_store->state(), *target->label);
        if (job == nullptr) {
            m_host.err() << "Could not find service \"" << *target->label
                         << "\" in domain for user gui: " << target->uid << "\n";
            return finish(kNoSuchServiceStatus);
        }
        if (job->process && !kill) {
            if (printPid)
                m_host.out() << job->process->pid << "\n";
            return finish(0);
        }
        if (isDisabled(m_store->state(), job->label, job->path)) {
            m_host.err() << "Could not kickstart service \"" << job->label
                         << "\": " << kServiceDisabledStatus << ": Service is disabled\n";
            return finish(kServiceDisabledStatus);
        }
        if (job->process) {
            job->lastExitStatus = stopJob(*job->process, m_store->exitDirectory());
            job->process.reset();
        }
        std::string error;
        if (!launchJob(*job, m_host, *m_store, error)) {
            m_host.err() << "Could not kickstart service \"" << job->label << "\": " << error
                         << "\n";
            return finish(1);
        }
        if (printPid && job->process)
            m_host.out() << job->process->pid << "\n";
        return finish(0);
    }

    int printDisabled() {
        if (m_arguments.size() != 2) {
            m_host.err() << "Usage: launchctl print-disabled <domain-target>\n";
            return kUsageStatus;
        }
        auto target = parseAnyTarget(m_arguments[1]);
        if (!target || target->label) {
            m_host.err() << "Unrecognized target specifier.\n";
            return kUsageStatus;
        }
        auto opened = StateStore::open(m_host, StateStore::Access::shared);
        if (!opened.store) {
            m_host.err() << "launchctl: " << opened.error << "\n";
            return 1;
        }
        const HostState& state = opened.store->state();
        // Anyone may read a domain; another user's GUI domain has no entries
        // on this one-user host.
        static const DisabledSet kNone;
        const bool own = target->system || isOwnUid(target->gui.uid);
        const DisabledSet& services =
            target->system ? state.disabledSystem : (own ? state.disabledGui : kNone);
        std::ostream& out = m_host.out();
        printDisabledBlock(out, "disabled services", services);
        if (!target->system && own && !state.disabledLoginItems.empty()) {
            out << "\n";
            printDisabledBlock(out, "disabled login items", state.disabledLoginItems);
        }
        out.flush();
        return 0;
    }

    static void printDisabledBlock(std::ostream& out, std::string_view name,
                                   const DisabledSet& set) {
        out << name << " = {\n";
        for (const auto& [label, disabled] : set)
            out << "\t\"" << label << "\" => " << (disabled ? "disabled" : "enabled") << "\n";
        out << "}\n";
    }

    // Changing the system domain takes root, another user's domain too; the
    // message follows launchctl's "<verb> failed: <errno>: <text>" form.
    int setDisabled(bool disabled) {
        const char* verb = disabled ? "Disable" : "Enable";
        if (m_arguments.size() != 2) {
            m_host.err() << "Usage: launchctl " << (disabled ? "disable" : "enable")
                         << " <service-target>\n";
            return kUsageStatus;
        }
        auto target = parseAnyTarget(m_arguments[1]);
        if (!target || !target->label) {
            m_host.err() << "Unrecognized target specifier.\n";
            return kUsageStatus;
        }
        const bool permitted =
            m_host.callerIsRoot() || (!target->system && isOwnUid(target->gui.uid));
        if (!permitted) {
            m_host.err() << verb << " failed: " << kNotPermittedStatus
                         << ": Operation not permitted\n";
            return kNotPermittedStatus;
        }
        if (!openStore())
            return 1;
        HostState& state = m_store->state();
        // Another user's GUI domain is not kept on this one-user host.
        if (!target->system && !isOwnUid(target->gui.uid))
            return finish(0);
        DisabledSet& set = target->system ? state.disabledSystem : state.disabledGui;
        set[*target->label] = disabled;
        return finish(0);
    }

    int kickstartUsage() {
        m_host.err() << "Usage: launchctl kickstart [-k] [-p] [-s] <service-target>\n";
        return kUsageStatus;
    }

    const HostContext& m_host;
    const std::vector<std::string>& m_arguments;
    std::optional<StateStore> m_store;
};

} // namespace

int runLaunchctl(const HostContext& host, const std::vector<std::string>& arguments) {
    return Launchctl(host, arguments).run();
}

} // namespace daemonary::hostsim
