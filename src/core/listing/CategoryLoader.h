#pragma once

#include "model/DefinitionProblem.h"
#include "model/LaunchItem.h"

#include <utility>
#include <vector>

namespace daemonary {

class LaunchServiceManager;

// The records of each category, in the order the scopes are given. The
// categories load at the same time, as the window loads them (most of a load
// waits on files and tools); each one's discovery log lines are written
// together, in the same order, once it and those before it have finished.
// With `problems`, the definitions that could not be read are added there, in
// the same order.
std::vector<std::pair<LaunchScope, std::vector<LaunchItem>>>
loadCategories(const LaunchServiceManager& manager, const std::vector<LaunchScope>& scopes,
               std::vector<DefinitionProblem>* problems = nullptr);

} // namespace daemonary
