#include "RootOption.h"

#include <ostream>
#include <variant>

namespace daemonary {

namespace {
constexpr std::string_view kOption = "--root";
constexpr std::string_view kOptionWithValue = "--root=";
} // namespace

bool RootOption::isRootOption(const std::string& argument) {
    return argument == kOption || argument.starts_with(kOptionWithValue);
}

std::optional<RootOption::Error> RootOption::take(const std::vector<std::string>& arguments,
                                                  std::size_t& i) {
    const std::string& argument = arguments[i];
    std::string directory;
    if (argument == kOption) {
        if (i + 1 >= arguments.size()) {
            return Error{"--root needs the folder of a Mac's disk"};
        }
        directory = arguments[++i];
    } else {
        directory = argument.substr(kOptionWithValue.size());
    }
    if (directory.empty()) {
        return Error{"--root needs the folder of a Mac's disk"};
    }
    if (m_directory) {
        return Error{"--root may be given once"};
    }
    m_directory = std::move(directory);
    return std::nullopt;
}

std::optional<MacDisk> openMacDisk(const std::string& directory, std::ostream& err) {
    auto opened = MacDisk::open(directory);
    if (auto* error = std::get_if<MacDiskError>(&opened)) {
        err << "daemonary-cli: " << error->message << "\n";
        return std::nullopt;
    }
    return std::move(std::get<MacDisk>(opened));
}

} // namespace daemonary
