#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace korvalin {

// An open file descriptor, closed when the handle goes. Flushing and closing
// report their failures: a file whose data did not reach storage is not written.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int descriptor) : descriptor_(descriptor) {}
    FileHandle(FileHandle&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    FileHandle& operator=(FileHandle&& other) noexcept
    {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    ~FileHandle()
    {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }

    int get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }

    // The reason the data could not be pushed to storage, or nothing.
    std::optional<std::string> sync() const
    {
        if (::fsync(descriptor_) != 0)
            return std::strerror(errno);
        return std::nullopt;
    }

    // Closes now; the reason close() failed, or nothing.
    std::optional<std::string> close()
    {
        if (::close(std::exchange(descriptor_, -1)) != 0)
            return std::strerror(errno);
        return std::nullopt;
    }

    // Gives the descriptor up without closing it.
    void abandon() { descriptor_ = -1; }

private:
    int descriptor_ = -1;
};

} // namespace korvalin
