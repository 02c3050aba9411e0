#include "table/ServiceSearch.h"

namespace daemonary {

ServiceSearch ServiceSearch::of(const LaunchItem& item) {
    ServiceSearch search;
    search.label = QString::fromStdString(item.label);
    search.foldedLabel = fold(search.label);
    if (item.executablePath) {
        search.executablePath = QString::fromStdString(*item.executablePath);
        search.foldedExecutablePath = fold(search.executablePath);
    }
    return search;
}

bool ServiceSearch::matchesFolded(const QString& foldedText) const {
    if (foldedText.isEmpty()) {
        return true;
    }
    return foldedLabel.contains(foldedText) || foldedExecutablePath.contains(foldedText);
}

} // namespace daemonary
