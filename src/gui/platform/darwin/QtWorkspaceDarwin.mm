#include "platform/QtWorkspace.h"

#import <AppKit/AppKit.h>
#import <ServiceManagement/ServiceManagement.h>

namespace daemonary {

void QtWorkspace::revealInFileManager(const std::vector<std::string>& paths,
                                      StatusNotices* /*notices*/) {
    @autoreleasepool {
        NSMutableArray<NSURL*>* urls = [NSMutableArray arrayWithCapacity:paths.size()];
        for (const auto& path : paths) {
            NSString* text = [NSString stringWithUTF8String:path.c_str()];
            if (text != nil) {
                [urls addObject:[NSURL fileURLWithPath:text]];
            }
        }
        if (urls.count > 0) {
            [[NSWorkspace sharedWorkspace] activateFileViewerSelectingURLs:urls];
        }
    }
}

std::optional<WorkspaceError> QtWorkspace::unregisterMainAppService() {
    @autoreleasepool {
        if (@available(macOS 13.0, *)) {
            NSError* error = nil;
            if ([[SMAppService mainAppService] unregisterAndReturnError:&error]) {
                return std::nullopt;
            }
            const char* text = error.localizedDescription.UTF8String;
            return WorkspaceError{text != nullptr ? text : "Unknown error"};
        }
        return WorkspaceError{"The login-item service is not available on this system."};
    }
}

} // namespace daemonary
