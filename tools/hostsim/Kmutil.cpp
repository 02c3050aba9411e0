#include "Kmutil.h"

#include "StateStore.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace daemonary::hostsim {

namespace {

constexpr int kUsageStatus = 64;

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

int usage(const HostContext& host) {
    host.err() << "Usage: kmutil showloaded [--list-only] [--bundle-identifier <id>]...\n";
    return kUsageStatus;
}

} // namespace

std::string loadedExtensionLine(const LoadedExtension& extension) {
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%5d %4d ", static_cast<int>(extension.index),
                  static_cast<int>(extension.refs));
    std::string linked;
    for (std::int32_t index : extension.linkedAgainst) {
        if (!linked.empty())
            linked += ' ';
        linked += std::to_string(index);
    }
    return numbers + padded(extension.address, 18) + ' ' + padded(extension.size, 10) + ' ' +
           padded(extension.wired, 10) + ' ' + extension.identifier + " (" + extension.version +
           ") " + extension.uuid + " <" + linked + ">";
}

int runKmutil(const HostContext& host, const std::vector<std::string>& arguments) {
    if (arguments.empty() || arguments.front() != "showloaded")
        return usage(host);
    std::vector<std::string> identifiers;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--list-only")
            continue;
        if ((option == "--bundle-identifier" || option == "-b") && i + 1 < arguments.size()) {
            identifiers.push_back(arguments[++i]);
            continue;
        }
        host.err() << "Error: unknown option " << option << "\n";
        return usage(host);
    }

    auto opened = StateStore::open(host, StateStore::Access::shared);
    if (!opened.store) {
        host.err() << "kmutil: " << opened.error << "\n";
        return 1;
    }
    host.err() << "No variant specified, falling back to release\n";
    host.err().flush();
    std::ostream& out = host.out();
    out << "Index Refs Address            Size       Wired      Name (Version) UUID <Linked "
           "Against>\n";
    for (const LoadedExtension& extension : opened.store->state().extensions) {
        if (!identifiers.empty() && std::find(identifiers.begin(), identifiers.end(),
                                              extension.identifier) == identifiers.end())
            continue;
        out << loadedExtensionLine(extension) << '\n';
    }
    out.flush();
    return 0;
}

} // namespace daemonary::hostsim
