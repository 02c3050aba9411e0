#include "table/ServiceSearch.h"

namespace daemonary {

ServiceSearch ServiceSearch::of(const LaunchItem& item) {
    ServiceSearch search;
    search.label = QString::fromStdString(item.label);
    if (item.executablePath) {
        search.executablePath = QString::fromStdString(*item.executablePath);
    }
    return search;
}

bool ServiceSearch::matches(const QString& text) const {
    if (text.isEmpty()) {
        return true;
    }
    return label.contains(text, Qt::CaseInsensitive) ||
           executablePath.contains(text, Qt::CaseInsensitive);
}

} // namespace daemonary
