#include "TestSupport.h"

#include "platform/Log.h"

#include <QCoreApplication>
#include <QImage>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace daemonary::test {

void writeScript(const std::filesystem::path& path, const std::string& body) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

QColor dominantColor(const QPixmap& pixmap) {
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    QColor best;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (!best.isValid() || pixel.alpha() > best.alpha()) {
                best = pixel;
            }
        }
    }
    return best.isValid() ? QColor(best.red(), best.green(), best.blue()) : best;
}

bool sameRgb(const QColor& first, const QColor& second, int tolerance) {
    return std::abs(first.red() - second.red()) <= tolerance &&
           std::abs(first.green() - second.green()) <= tolerance &&
           std::abs(first.blue() - second.blue()) <= tolerance;
}

void ManualClock::runAfter(std::chrono::milliseconds delay, QObject* context,
                           std::function<void()> action) {
    m_delays.push_back(delay);
    m_pending.push_back({m_now + delay, QPointer<QObject>(context), std::move(action)});
}

void ManualClock::advance(std::chrono::milliseconds step) {
    m_now += step;
    for (;;) {
        auto due =
            std::min_element(m_pending.begin(), m_pending.end(),
                             [](const Pending& a, const Pending& b) { return a.due < b.due; });
        if (due == m_pending.end() || due->due > m_now) {
            return;
        }
        Pending next = std::move(*due);
        m_pending.erase(due);
        if (next.context) {
            next.action();
        }
    }
}

void ImmediateClock::runAfter(std::chrono::milliseconds /*delay*/, QObject* context,
                              std::function<void()> action) {
    QTimer::singleShot(0, context, std::move(action));
}

LogCapture::LogCapture() {
    Log::setSink([this](std::string_view line) {
        std::lock_guard lock(m_mutex);
        m_lines.append(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
    });
}

LogCapture::~LogCapture() {
    Log::setSink({});
}

QStringList LogCapture::lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

QStringList LogCapture::linesStartingWith(const QString& prefix) const {
    QStringList matching;
    for (const QString& line : lines()) {
        if (line.startsWith(prefix)) {
            matching.append(line);
        }
    }
    return matching;
}

void FakeDiscovery::setItems(LaunchScope scope, std::vector<LaunchItem> items) {
    std::lock_guard lock(m_mutex);
    m_items[scope] = std::move(items);
}

void FakeDiscovery::holdLoads(bool hold) {
    {
        std::lock_guard lock(m_mutex);
        m_hold = hold;
    }
    m_gate.notify_all();
}

void FakeDiscovery::release(int count) {
    {
        std::lock_guard lock(m_mutex);
        m_releasedCalls += count;
    }
    m_gate.notify_all();
}

AppState::Loader FakeDiscovery::loader() {
    return [this](LaunchScope scope) { return load(scope); };
}

std::vector<LaunchItem> FakeDiscovery::load(LaunchScope scope) {
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
        m_offGuiThread = false;
    }
    std::unique_lock lock(m_mutex);
    const int place = static_cast<int>(m_calls.size());
    m_calls.push_back(scope);
    m_gate.wait(lock, [&] { return !m_hold || place < m_releasedCalls; });
    const auto found = m_items.find(scope);
    return found == m_items.end() ? std::vector<LaunchItem>() : found->second;
}

std::vector<LaunchScope> FakeDiscovery::calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

int FakeDiscovery::callCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_calls.size());
}

int FakeDiscovery::callCount(LaunchScope scope) const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(std::count(m_calls.begin(), m_calls.end(), scope));
}

LaunchItem makeItem(const std::string& label, ServiceStatus status, LaunchScope scope,
                    std::optional<std::int32_t> pid, std::optional<std::string> executablePath,
                    std::optional<std::string> path) {
    LaunchItem item;
    item.label = label;
    item.path = std::move(path);
    item.executablePath = std::move(executablePath);
    item.pid = pid;
    item.status = status;
    item.scope = scope;
    item.type = ServiceType::launchDaemon;
    return item;
}

} // namespace daemonary::test
