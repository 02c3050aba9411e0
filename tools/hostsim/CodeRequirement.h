#pragma once

#include "HostState.h"

#include <optional>
#include <string>
#include <string_view>

namespace daemonary::hostsim {

// What a requirement can test of signed code: the facts of its signature,
// never the names its certificates print.
struct RequirementFacts {
    SigningKind kind = SigningKind::adHoc;
    std::string identifier;
    std::string team; // the leaf certificate's organisational unit
};

// Evaluates a code requirement in the subset of codesign's language that
// the system's tools use: `anchor apple [generic]`, `identifier "X"`,
// `certificate POS[field.OID] [exists]`, `certificate POS[subject.OU] = X`,
// joined by `and`, `or`, `!` and parentheses, with /* comments */. Nothing
// for text outside that subset.
std::optional<bool> evaluateRequirement(std::string_view text, const RequirementFacts& facts);

} // namespace daemonary::hostsim
