#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace daemonary {

// Random access to the bytes of one file. Reads never reach past the end:
// a read that cannot be served whole gives nothing, so a file that shrinks
// while it is read is a short file, not a crash (a memory map would fault).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Exactly `length` bytes from `offset`, or nothing when they are not all there.
    virtual std::optional<std::string> read(std::uint64_t offset, std::size_t length) const = 0;
};

class MemoryByteSource final : public ByteSource {
public:
    explicit MemoryByteSource(std::string_view bytes) : m_bytes(bytes) {}
    std::uint64_t size() const override { return m_bytes.size(); }
    std::optional<std::string> read(std::uint64_t offset, std::size_t length) const override;

private:
    std::string_view m_bytes;
};

class FileByteSource final : public ByteSource {
public:
    // Nothing when the path is not a regular file that can be opened.
    static std::unique_ptr<FileByteSource> open(const std::string& path, std::string* error);
    ~FileByteSource() override;
    FileByteSource(const FileByteSource&) = delete;
    FileByteSource& operator=(const FileByteSource&) = delete;

    std::uint64_t size() const override { return m_size; }
    std::optional<std::string> read(std::uint64_t offset, std::size_t length) const override;

private:
    FileByteSource(int descriptor, std::uint64_t size) : m_descriptor(descriptor), m_size(size) {}
    int m_descriptor;
    std::uint64_t m_size;
};

} // namespace daemonary
