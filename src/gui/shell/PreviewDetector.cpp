#include "shell/PreviewDetector.h"

#include <cstdlib>

#if defined(__APPLE__)
#include <objc/runtime.h>
#include <stdlib.h>
#elif defined(__linux__)
#include <errno.h>
#endif

namespace daemonary {

namespace {

std::optional<std::string> processEnvironment(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::string processName() {
#if defined(__APPLE__)
    return getprogname();
#elif defined(__linux__)
    return program_invocation_short_name;
#else
    return {};
#endif
}

bool xcTestClassLoaded() {
#if defined(__APPLE__)
    return objc_getClass("XCTest") != nullptr;
#else
    return false; // no Objective-C runtime, so no test bundle can be loaded
#endif
}

} // namespace

bool PreviewDetector::isRunningForPreviews() {
    // Initialised once even when first asked from several threads at once.
    static const bool answer = evaluate(processEnvironment, processName(), xcTestClassLoaded());
    return answer;
}

bool PreviewDetector::evaluate(const EnvironmentLookup& environment, std::string_view name,
                               bool xcTestLoaded) {
    if (environment("XCODE_RUNNING_FOR_PREVIEWS") == "1") {
        return true;
    }
    if (environment("XCTestConfigurationFilePath")) {
        return true;
    }
    if (xcTestLoaded) {
        return true;
    }
    if (const auto paths = environment("__XCODE_BUILT_PRODUCTS_DIR_PATHS");
        paths && paths->find("Previews") != std::string::npos) {
        return true;
    }
    return name.find("XCPreview") != std::string_view::npos;
}

} // namespace daemonary
