// osquery's extension interface, as its documentation describes it. The
// method names, field ids and types are what travels over the socket: they
// must stay exactly as osquery defines them, whatever the names here say.

namespace cpp daemonary.osquery_api

// A plug-in call's arguments and its answer: rows of column -> value.
typedef map<string, string> ExtensionPluginRequest
typedef list<map<string, string>> ExtensionPluginResponse

struct InternalOptionInfo {
  1: string value,
  2: string default_value,
  3: string type,
}
typedef map<string, InternalOptionInfo> InternalOptionList

struct InternalExtensionInfo {
  1: string name,
  2: string version,
  3: string sdk_version,
  4: string min_sdk_version,
}

typedef i64 ExtensionRouteUUID
// plug-in name -> its route (a table's columns)
typedef map<string, ExtensionPluginResponse> ExtensionRouteTable
// registry name ("table", "config", "logger", ...) -> its plug-ins
typedef map<string, ExtensionRouteTable> ExtensionRegistry
typedef map<ExtensionRouteUUID, InternalExtensionInfo> InternalExtensionList

enum ExtensionCode {
  EXT_SUCCESS = 0,
  EXT_FAILED = 1,
  EXT_FATAL = 2,
}

struct ExtensionStatus {
  1: i32 code,
  2: string message,
  3: ExtensionRouteUUID uuid,
}

struct ExtensionResponse {
  1: ExtensionStatus status,
  2: ExtensionPluginResponse response,
}

exception ExtensionException {
  1: i32 code,
  2: string message,
  3: ExtensionRouteUUID uuid,
}

// What every extension serves, and the core too.
service Extension {
  ExtensionStatus ping(),
  ExtensionResponse call(1: string registry, 2: string item, 3: ExtensionPluginRequest request),
  void shutdown(),
}

// What the osquery process serves to its extensions.
service ExtensionManager extends Extension {
  InternalExtensionList extensions(),
  InternalOptionList options(),
  ExtensionStatus registerExtension(1: InternalExtensionInfo info, 2: ExtensionRegistry registry),
  ExtensionStatus deregisterExtension(1: ExtensionRouteUUID uuid),
  ExtensionResponse query(1: string sql),
  ExtensionResponse getQueryColumns(1: string sql),
}
