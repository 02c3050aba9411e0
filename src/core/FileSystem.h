#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
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

bool pathExists(const std::string& path);    // follows links
bool isDirectory(const std::string& path);   // follows links

std::string appendPathComponent(std::string_view directory, std::string_view name);
std::string_view lastPathComponent(std::string_view path);
// The part after the last "." of the last component; empty when there is none.
std::string_view pathExtension(std::string_view path);
std::string_view deletingPathExtension(std::string_view name);

} // namespace daemonary
