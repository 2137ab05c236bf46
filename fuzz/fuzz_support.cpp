#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/platform.h"
#include "platform/posix/posix_system.h"

namespace fuzz {

void installPlatform()
{
    static platform::PosixSystem system;
    static platform::FfmpegMedia media;
    platform::current().system = &system;
    platform::current().media = &media;
}

std::string scratchFile(const uint8_t* data, size_t size, const std::string& name)
{
    static const std::filesystem::path directory = [] {
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::filesystem::path own = base / ("korvalin-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(own);
        return own;
    }();
    const std::string path = (directory / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    return path;
}

std::string contentOf(const std::string& path)
{
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

korvalin::EventWriter& quietEvents()
{
    static const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    static korvalin::EventWriter events(nowhere, nowhere);
    return events;
}

} // namespace fuzz
