#include "platform/QtWorkspace.h"

#include "platform/Log.h"
#include "shell/StatusNotices.h"
#include "table/ShownText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>

#if !defined(Q_OS_MACOS)
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QStringList>
#include <QUrl>
#endif

namespace daemonary {

void QtWorkspace::selectFilesInFileManager(const std::vector<std::string>& paths) {
    if (paths.empty()) {
        return;
    }
    auto* application = QCoreApplication::instance();
    if (application == nullptr) {
        return;
    }
    if (QThread::currentThread() == application->thread()) {
        revealInFileManager(paths, m_notices);
        return;
    }
    QMetaObject::invokeMethod(
        application, [paths, notices = m_notices] { revealInFileManager(paths, notices); },
        Qt::QueuedConnection);
}

namespace {

QString says(const char* text) {
    return QCoreApplication::translate("QtWorkspace", text);
}

void cannotReveal(StatusNotices* notices, const std::string& path, const QString& reason) {
    const QString text = says("Cannot reveal %1: %2").arg(shownText(path), reason);
    Log::line(text.toStdString());
    if (notices != nullptr) {
        notices->post(text);
    }
}

} // namespace

std::optional<WorkspaceError> QtWorkspace::moveToTrash(const std::string& path) {
    const QString name = QString::fromStdString(path);
    if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink()) {
        return WorkspaceError{"The file \"" + path + "\" doesn't exist."};
    }
#if !defined(Q_OS_MACOS)
    // Qt looks for the home Trash only under an existing data folder; without
    // one it settles on a folder relative to the working directory.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty() || !QDir().mkpath(data)) {
        return WorkspaceError{"The file \"" + path +
                              "\" couldn't be moved to the Trash: there is no data folder."};
    }
#endif
    QFile file(name);
    if (!file.moveToTrash()) {
        const QString reason = file.errorString();
        return WorkspaceError{"The file \"" + path + "\" couldn't be moved to the Trash" +
                              (reason.isEmpty() ? std::string(".") : ": " + reason.toStdString())};
    }
    return std::nullopt;
}

std::optional<WorkspaceError> QtWorkspace::unregisterOwnLoginItem() {
    return unregisterMainAppService();
}

std::optional<std::string> QtWorkspace::ownBundlePath() const {
    if (QCoreApplication::instance() == nullptr) {
        return std::nullopt;
    }
    return bundlePathForProgramDirectory(QCoreApplication::applicationDirPath().toStdString());
}

std::optional<std::string>
QtWorkspace::bundlePathForProgramDirectory(const std::string& directory) {
    QString folder = QDir::cleanPath(QString::fromStdString(directory));
    const QString tail = QStringLiteral("/Contents/MacOS");
    if (!folder.endsWith(tail)) {
        return std::nullopt;
    }
    folder.chop(tail.size());
    const QString name = QFileInfo(folder).fileName();
    if (!name.endsWith(QLatin1String(".app")) || name.size() <= 4) {
        return std::nullopt;
    }
    return folder.toStdString();
}

#if !defined(Q_OS_MACOS)

namespace {

// Without a file manager that selects files, the folder of the first is
// opened: one window, never one per file.
void openContainingFolder(const std::vector<std::string>& paths, StatusNotices* notices) {
    const QString folder = QFileInfo(QString::fromStdString(paths.front())).absolutePath();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
        cannotReveal(notices, paths.front(), says("no file manager is available to show it"));
    }
}

} // namespace

void QtWorkspace::revealInFileManager(const std::vector<std::string>& wanted,
                                      StatusNotices* notices) {
    // A file that is gone has no folder to show it in.
    std::vector<std::string> paths;
    for (const auto& path : wanted) {
        const QFileInfo info(QString::fromStdString(path));
        if (info.exists() || info.isSymLink()) {
            paths.push_back(path);
        } else {
            cannotReveal(notices, path, says("it is not there any more"));
        }
    }
    if (paths.empty()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(paths, notices);
        return;
    }
    QStringList uris;
    for (const auto& path : paths) {
        uris.append(QUrl::fromLocalFile(QString::fromStdString(path)).toString());
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    // Asynchronous, so a file manager that is slow to start never blocks the
    // interface; without one on the bus the folders are opened instead.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, paths, notices = QPointer<StatusNotices>(notices)] {
                         if (watcher->isError()) {
                             openContainingFolder(paths, notices);
                         }
                         watcher->deleteLater();
                     });
}

std::optional<WorkspaceError> QtWorkspace::unregisterMainAppService() {
    return WorkspaceError{"The login-item service is not available on this system."};
}

#endif

} // namespace daemonary
