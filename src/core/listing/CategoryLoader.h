#pragma once

#include "discovery/HostPicture.h"
#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"

#include <utility>
#include <vector>

namespace daemonary {

class LaunchServiceManager;

// The records of each category, in the order the scopes are given, from one
// picture of the host taken for them. The categories load at the same time,
// as the window loads them (most of a load waits on files and tools); the
// picture's log lines come first, then each category's together, in the same
// order, once it and those before it have finished. With `problems`, the
// definitions that could not be read are added there, in the same order.
std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>
loadCategories(const LaunchServiceManager& manager, const std::vector<LaunchScope>& scopes,
               std::vector<DefinitionProblem>* problems = nullptr);
// The same from a picture the caller took (and whose log it writes).
std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>
loadCategories(const LaunchServiceManager& manager, const HostPicture& picture,
               const std::vector<LaunchScope>& scopes,
               std::vector<DefinitionProblem>* problems = nullptr);

} // namespace daemonary
