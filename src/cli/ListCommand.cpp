#include "ListCommand.h"

#include "Cli.h"
#include "PrettyJson.h"
#include "RootOption.h"
#include "ScopeSelection.h"
#include "discovery/LaunchServiceManager.h"
#include "discovery/MetadataManager.h"
#include "insight/SignerChecker.h"
#include "listing/CategoryLoader.h"
#include "listing/ListRecordJson.h"
#include "listing/Listing.h"
#include "platform/Log.h"
#include "text/Text.h"

#include <algorithm>
#include <array>
#include <optional>
#include <ostream>
#include <utility>

namespace daemonary {

namespace {

// Columns are aligned by code points, which is what a terminal shows for the
// labels and paths met in practice.
std::size_t displayWidth(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
        return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    }));
}

void writePadded(std::ostream& out, std::string_view text, std::size_t width) {
    out << text;
    for (std::size_t w = displayWidth(text); w < width; ++w) {
        out << ' ';
    }
}

std::string_view disabledText(const DisabledServices& disabled, const LaunchItem& item) {
    const std::optional<bool> state = disabled.isDisabled(item);
    return state ? (*state ? "yes" : "no") : "-";
}

// The marks the window puts after a label, in its order and words.
std::string markedLabel(const LaunchItem& item, const DisabledServices* disabled) {
    std::string text = displayableText(item.label);
    if (disabled != nullptr && disabled->isDisabled(item).value_or(false)) {
        text += " \u2014 Disabled";
    }
    if (item.allowedInBackground == false) {
        text += " \u2014 Not Allowed";
    }
    if (item.orphaned) {
        text += " \u2014 Orphaned";
    }
    return text;
}

std::string pidOrIndexText(const LaunchItem& item) {
    if (item.index) {
        return std::to_string(*item.index);
    }
    if (item.pid) {
        return item.pidText();
    }
    return "-";
}

} // namespace

std::variant<ListOptions, ListUsageError>
parseListOptions(const std::vector<std::string>& arguments) {
    ListOptions options;
    ScopeSelection selection;
    RootOption root;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--json") {
            options.json = true;
        } else if (argument == "--defaults") {
            options.defaults = true;
        } else if (argument == "--signers") {
            options.signers = true;
        } else if (argument == "--problems") {
            options.problems = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (ScopeSelection::isScopeOption(argument)) {
            if (auto error = selection.take(arguments, i)) {
                return ListUsageError{std::move(error->message)};
            }
        } else if (RootOption::isRootOption(argument)) {
            if (auto error = root.take(arguments, i)) {
                return ListUsageError{std::move(error->message)};
            }
        } else {
            return ListUsageError{"unknown option \"" + argument + "\""};
        }
    }

    options.scopes = selection.scopes();
    options.root = root.directory();
    return options;
}

void writeListTable(std::ostream& out, LaunchScope scope, const std::vector<LaunchItem>& items,
                    const MetadataManager* metadata, const DisabledServices* disabled,
                    const std::map<std::string, Signer>* signers, bool readFromDisk) {
    if (disabled != nullptr && !DisabledServices::appliesTo(scope)) {
        disabled = nullptr;
    }
    const std::string_view pidHeading = scope == LaunchScope::kernel ? "INDEX" : "PID";
    // Labels, paths and signer texts come from files and tools: shown only
    // through displayableText, so none can move the cursor or erase a line.
    std::vector<std::string> labels;
    labels.reserve(items.size());
    std::vector<std::string> pidTexts;
    pidTexts.reserve(items.size());
    std::size_t running = 0;
    std::size_t labelWidth = std::string_view("LABEL").size();
    std::size_t pidWidth = pidHeading.size();
    std::size_t statusWidth = std::string_view("STATUS").size();
    for (const LaunchItem& item : items) {
        labels.push_back(markedLabel(item, disabled));
        pidTexts.push_back(pidOrIndexText(item));
        running += item.status == ServiceStatus::active ? 1 : 0;
        labelWidth = std::max(labelWidth, displayWidth(labels.back()));
        pidWidth = std::max(pidWidth, pidTexts.back().size());
        statusWidth = std::max(statusWidth, toText(item.status).size());
    }
    const std::size_t defaultWidth = std::string_view("DEFAULT").size();
    std::vector<std::string> signerTexts;
    std::size_t signerWidth = std::string_view("SIGNER").size();
    if (signers) {
        for (const LaunchItem& item : items) {
            const Signer* signer = listedSigner(item, signers);
            signerTexts.push_back(signer ? displayableText(signer->text()) : "-");
            signerWidth = std::max(signerWidth, displayWidth(signerTexts.back()));
        }
    }
    const std::size_t disabledWidth = std::string_view("DISABLED").size();
    // Read from a disk, the user categories hold every user's records.
    const bool users = std::any_of(items.begin(), items.end(),
                                   [](const LaunchItem& item) { return item.user.has_value(); });
    std::size_t userWidth = std::string_view("USER").size();
    for (const LaunchItem& item : items) {
        userWidth = std::max(userWidth, displayWidth(displayableText(item.user.value_or("-"))));
    }

    out << toText(scope) << ": " << items.size() << (items.size() == 1 ? " item, " : " items, ");
    if (readFromDisk) {
        out << "read from a disk, nothing was run\n";
    } else {
        out << running << " running\n";
    }
    writePadded(out, "LABEL", labelWidth + 2);
    writePadded(out, pidHeading, pidWidth + 2);
    writePadded(out, "STATUS", statusWidth + 2);
    if (users) {
        writePadded(out, "USER", userWidth + 2);
    }
    if (metadata) {
        writePadded(out, "DEFAULT", defaultWidth + 2);
    }
    if (disabled) {
        writePadded(out, "DISABLED", disabledWidth + 2);
    }
    if (signers) {
        writePadded(out, "SIGNER", signerWidth + 2);
    }
    out << "PATH\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        const LaunchItem& item = items[i];
        writePadded(out, labels[i], labelWidth + 2);
        // Numbers read best right-aligned.
        out << std::string(pidWidth - pidTexts[i].size(), ' ') << pidTexts[i] << "  ";
        writePadded(out, toText(item.status), statusWidth + 2);
        if (users) {
            writePadded(out, displayableText(item.user.value_or("-")), userWidth + 2);
        }
        if (metadata) {
            writePadded(out, metadata->isSystemDefault(item) ? "yes" : "no", defaultWidth + 2);
        }
        if (disabled) {
            writePadded(out, disabledText(*disabled, item), disabledWidth + 2);
        }
        if (signers) {
            writePadded(out, signerTexts[i], signerWidth + 2);
        }
        out << (item.path ? displayableText(*item.path) : "-") << '\n';
    }
}

std::string listJson(const std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>& categories,
                     const MetadataManager* metadata, const DisabledServices* disabled,
                     const std::map<std::string, Signer>* signers,
                     const std::vector<DefinitionProblem>* problems) {
    // Written record by record in the form dump(2) gives the whole document:
    // building the document's tree first costs more on a large host than
    // finding the records does. Paths are bytes from the file system and need
    // not be UTF-8; such bytes are replaced.
    std::string text = "{";
    for (const auto& [scope, items] : categories) {
        text += &scope == &categories.front().first ? "\n  " : ",\n  ";
        appendJsonString(text, std::string(toText(scope)));
        text += ": [";
        bool first = true;
        for (const LaunchItem& item : items) {
            text += first ? "\n    " : ",\n    ";
            first = false;
            appendPrettyJson(text, listRecordJson(item, {metadata, disabled, signers}), 4);
        }
        text += items.empty() ? "]" : "\n  ]";
    }
    if (problems != nullptr) {
        text += categories.empty() ? "\n  " : ",\n  ";
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const DefinitionProblem& problem : *problems) {
            list.push_back(toJson(problem));
        }
        text += "\"problems\": ";
        appendPrettyJson(text, list, 2);
    }
    text += categories.empty() && problems == nullptr ? "}" : "\n}";
    return text;
}

void writeProblemsTable(std::ostream& out, const std::vector<DefinitionProblem>& problems) {
    std::size_t categoryWidth = std::string_view("CATEGORY").size();
    std::size_t reasonWidth = std::string_view("REASON").size();
    for (const DefinitionProblem& problem : problems) {
        categoryWidth = std::max(categoryWidth, toText(problem.scope).size());
        reasonWidth = std::max(reasonWidth, toText(problem.reason).size());
    }
    out << "Definitions that could not be read (" << problems.size() << ")\n";
    writePadded(out, "CATEGORY", categoryWidth + 2);
    writePadded(out, "REASON", reasonWidth + 2);
    out << "PATH\n";
    for (const DefinitionProblem& problem : problems) {
        writePadded(out, toText(problem.scope), categoryWidth + 2);
        writePadded(out, toText(problem.reason), reasonWidth + 2);
        out << displayableText(problem.path) << '\n';
    }
}

LoadedCategories loadCategories(const std::vector<LaunchScope>& scopes,
                                std::vector<DefinitionProblem>* problems) {
    const LaunchServiceManager manager;
    return loadCategories(manager, scopes, problems);
}

int runListCommand(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
    auto parsed = parseListOptions(arguments);
    if (const auto* error = std::get_if<ListUsageError>(&parsed)) {
        err << "daemonary-cli list: " << error->message << "\n";
        err << "Usage: daemonary-cli " << kListCommandUsage << "\n";
        return kCliUsageError;
    }
    const ListOptions& options = std::get<ListOptions>(parsed);
    if (options.help) {
        out << "Usage: daemonary-cli " << kListCommandUsage << "\n"
            << kListCommandSummary << "\n\n"
            << kListCommandDetails;
        return 0;
    }

    const MetadataManager* metadata = options.defaults ? &MetadataManager::shared() : nullptr;
    // Problems are gathered either way: without --problems they are counted
    // on standard error.
    const ListingRequest request{options.scopes, true, options.signers, true};
    Listing listing;
    if (options.root) {
        const std::optional<MacDisk> disk = openMacDisk(*options.root, err);
        if (!disk) {
            return kCliUsageError;
        }
        listing = Listing::load(*disk, request);
    } else {
        const LaunchServiceManager manager;
        listing = Listing::load(manager, request, SignerChecker());
    }
    const auto& categories = listing.categories;
    const ListFacts facts = listing.facts(metadata);
    const DisabledServices* disabledState = facts.disabled;
    const std::map<std::string, Signer>* signerMap = facts.signers;
    const std::vector<DefinitionProblem>& problems = listing.problems;

    if (options.json) {
        out << listJson(categories, metadata, disabledState, signerMap,
                        options.problems ? &problems : nullptr)
            << '\n';
    } else {
        for (std::size_t i = 0; i < categories.size(); ++i) {
            if (i > 0) {
                out << '\n';
            }
            writeListTable(out, categories[i].first, categories[i].second, metadata, disabledState,
                           signerMap, listing.diskRoot.has_value());
        }
        if (options.problems) {
            out << (categories.empty() ? "" : "\n");
            writeProblemsTable(out, problems);
        }
    }
    if (!options.problems && !problems.empty()) {
        out.flush();
        err << problemsCountLine(problems.size()) << '\n';
    }
    return 0;
}

std::string problemsCountLine(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " definition" : " definitions") +
           " could not be read (list --problems)";
}

} // namespace daemonary
