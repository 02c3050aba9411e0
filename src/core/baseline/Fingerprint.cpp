#include "baseline/Fingerprint.h"

namespace daemonary {

std::string_view toText(Fingerprint::Kind kind) {
    switch (kind) {
    case Fingerprint::Kind::none:
        return "none";
    case Fingerprint::Kind::file:
        return "file";
    case Fingerprint::Kind::largeFile:
        return "largeFile";
    case Fingerprint::Kind::bundle:
        return "bundle";
    case Fingerprint::Kind::missing:
        return "missing";
    case Fingerprint::Kind::unreadable:
        return "unreadable";
    }
    return "none";
}

std::optional<Fingerprint::Kind> fingerprintKindFromText(std::string_view text) {
    for (const auto kind :
         {Fingerprint::Kind::none, Fingerprint::Kind::file, Fingerprint::Kind::largeFile,
          Fingerprint::Kind::bundle, Fingerprint::Kind::missing, Fingerprint::Kind::unreadable}) {
        if (toText(kind) == text) {
            return kind;
        }
    }
    return std::nullopt;
}

} // namespace daemonary
