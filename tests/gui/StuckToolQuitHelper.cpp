// Quits the application's way while two system tools never end: the detail
// pane's two code-signing runs and the login-item listing of the start-up
// loads, on a host root (DAEMONARY_HOST_ROOT) whose codesign and osascript
// sleep for ever. Each such tool appends its process id to the file named by
// DAEMONARY_STUCK_PIDS. Run by QuitWithStuckToolsTest, which waits for this
// program to end.
#include "actions/ServiceActionManager.h"
#include "inspector/ServiceDetailView.h"
#include "platform/QtWorkspace.h"
#include "shell/DaemonaryApp.h"
#include "shell/GuiDependencies.h"
#include "window/MainView.h"

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>

using namespace daemonary;

namespace {

int linesIn(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? static_cast<int>(file.readAll().count('\n')) : 0;
}

} // namespace

int main(int argc, char* argv[]) {
    int status = 0;
    {
        QApplication application(argc, argv);
        const QString pids = qEnvironmentVariable("DAEMONARY_STUCK_PIDS");

        MainView window(GuiDependencies::production());
        window.show();

        // As in production: what tool runs use is never destroyed.
        auto* workspace = new QtWorkspace;
        auto* actions = new ServiceActionManager(*workspace);
        ServiceDetailView detail(*actions, {}, {});
        detail.showCodesignInfo("/Applications/First.app", ServiceDetailView::Popover::path);
        detail.showCodesignInfo("/Applications/Second.app", ServiceDetailView::Popover::executable);

        // Both code-signing runs and the login-item listing have started.
        if (!QTest::qWaitFor([&] { return linesIn(pids) >= 3; }, 60'000)) {
            return 3;
        }
        QTimer::singleShot(0, &window, [&window] {
            window.close();
            QCoreApplication::quit();
        });
        status = QApplication::exec();
    }
    return DaemonaryApp::finishQuitting(status);
}
