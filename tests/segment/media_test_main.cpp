#include <gtest/gtest.h>

#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/platform.h"
#include "platform/posix/posix_system.h"

// The tests run on this machine's real media and system services.
int main(int argc, char** argv)
{
    static platform::FfmpegMedia media;
    static platform::PosixSystem system;
    platform::current().media = &media;
    platform::current().system = &system;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
