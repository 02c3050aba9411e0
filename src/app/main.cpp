// Starts the application: its window on the host of the environment.
#include "GuiDependencies.h"
#include "MainView.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Daemonary"));
    QApplication::setApplicationDisplayName(QStringLiteral("Daemonary"));
    // Closing the main window ends the application.
    QApplication::setQuitOnLastWindowClosed(true);

    daemonary::MainView window(daemonary::GuiDependencies::production());
    window.resize(1100, 700);
    window.show();
    return QApplication::exec();
}
