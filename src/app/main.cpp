// Starts the application: its window on the host of the environment, its
// menus, the updater and local crash reports.
#include "shell/DaemonaryApp.h"

int main(int argc, char* argv[]) {
    return daemonary::DaemonaryApp::run(argc, argv);
}
