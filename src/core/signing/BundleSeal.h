#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// The resource seal of a bundle (_CodeSignature/CodeResources): every file it
// lists must be there with its hash, nested code must carry the CDHash it
// lists, and no file the seal's rules cover may have been added.
class BundleSeal {
public:
    // `root` is the folder the seal's paths are relative to (Contents/ of a
    // macOS bundle); `mainExecutable` is relative to it and bound by the
    // CodeDirectory instead. Nothing when the seal holds; else which file
    // and how it differs.
    static std::optional<std::string> check(const std::string& root, std::string_view codeResources,
                                            const std::string& mainExecutable);
};

} // namespace daemonary
