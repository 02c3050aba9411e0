#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace daemonary {

// A definition or information file larger than this is not a definition.
inline constexpr std::size_t kMaxReadableFileBytes = 16 * 1024 * 1024;

// Entry names of one directory level (hidden ones included, "." and ".."
// excluded), sorted by bytes so results are stable. Nothing when the
// directory cannot be listed.
std::optional<std::vector<std::string>> listDirectory(const std::string& path);

// Reads a regular file whole. Nothing for anything that is not a regular file
// (FIFOs, devices, folders), for unreadable files and for files over maxBytes;
// never blocks on a special file.
std::optional<std::string> readFile(const std::string& path,
                                    std::size_t maxBytes = kMaxReadableFileBytes);

enum class FileReadError { missing, notRegularFile, tooLarge, unreadable };

// readFile with the reason it gave nothing.
std::variant<std::string, FileReadError>
readRegularFile(const std::string& path, std::size_t maxBytes = kMaxReadableFileBytes);

// Replaces the file at path with the contents so that readers see either the
// old file or the whole new one, never a part: a temporary file in the same
// folder, flushed to disk, then renamed over the target. On failure the
// target is untouched, the temporary file removed, and the reason returned.
// `rename` is the final step, replaceable so tests can make it fail.
using RenameFunction = int (*)(const char* from, const char* to);
std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view contents,
                                               RenameFunction rename = nullptr);

// The end of a file that may be any size: at most maxBytes read from the end
// with one positioned read, never the whole file.
struct FileTail {
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0; // since 1970-01-01 00:00:00 UTC
    std::string bytes;
    bool fromStart = false; // bytes begin at the file's first byte
};

enum class FileTailError { missing, notRegularFile, unreadable };

// With the same guards as readFile: anything but a regular file (a FIFO, a
// device, a folder, a link to one) is refused before it is opened.
std::variant<FileTail, FileTailError> readFileTail(const std::string& path, std::size_t maxBytes);

bool pathExists(const std::string& path);  // follows links
bool isDirectory(const std::string& path); // follows links

std::string appendPathComponent(std::string_view directory, std::string_view name);
std::string_view lastPathComponent(std::string_view path);
// The part after the last "." of the last component; empty when there is none.
std::string_view pathExtension(std::string_view path);
std::string_view deletingPathExtension(std::string_view name);

} // namespace daemonary
