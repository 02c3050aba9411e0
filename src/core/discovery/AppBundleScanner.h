#pragma once

#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"

#include <optional>
#include <string>
#include <vector>

namespace daemonary {

// Finds the jobs apps register with Background Task Management (SMAppService),
// whose definitions live inside the app bundle: Contents/Library/LaunchAgents
// and LaunchDaemons (*.plist) and Contents/Library/LoginItems (*.app). Apps
// are the *.app entries of /Applications, of its plain subfolders one level
// down, and of ~/Applications; nothing else inside a bundle is read.
class AppBundleScanner {
public:
    explicit AppBundleScanner(HostLayout layout);

    // The folders the scan lists, for watching: the application folders and
    // their plain subfolders.
    std::vector<std::string> directoriesRead() const;
    std::vector<std::string> findApps() const;
    // The *.app entries of one folder, as findApps takes them; with
    // `problems`, those that link out of the host are added there.
    std::vector<std::string> findAppsIn(const std::string& folder,
                                        std::vector<DefinitionProblem>* problems = nullptr) const;
    // The jobs of one app, scope Background, each naming the app. With
    // `problems`, what leads out of the host is added there.
    std::vector<LaunchItem> scanApp(const std::string& app,
                                    std::vector<DefinitionProblem>* problems = nullptr) const;
    std::vector<LaunchItem> scan(std::vector<DefinitionProblem>* problems = nullptr) const;

    // HostLayout::insideHost: with a host root, whether path (after every
    // link) lies inside it or the home folder; a path that does not exist is
    // judged by the part that does. Always true without a host root.
    static bool staysInsideRoot(const std::string& path, const HostLayout& layout);

private:
    std::vector<std::string> appFolders() const;
    std::vector<std::string> findApps(std::vector<DefinitionProblem>* problems) const;
    bool insideRoot(const std::string& path) const;

    HostLayout m_layout;
};

} // namespace daemonary
