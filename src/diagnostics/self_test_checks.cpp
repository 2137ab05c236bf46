// The self-test checks that need a fixture: pipes with a writer on another
// thread, a ring with a scratch area, a small file in a directory of their own.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "capture/audio_ring.h"
#include "capture/continuation_path.h"
#include "diagnostics/self_test.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "protocol/line_reader.h"
#include "tools/mp4_box.h"

namespace korvalin::SelfTest {

namespace {

void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written <= 0)
            return;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
}

// Feeds a pipe from another thread while `read` takes lines from it with a
// fresh LineReader. The write end is closed by the writer when it is done,
// the read end once `read` has returned.
bool throughPipe(const std::function<void(int fd)>& write, const std::function<bool(LineReader&)>& read)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    std::thread writer([&write, fd = fds[1]] {
        // A reader that stopped early must not end the process with SIGPIPE.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        write(fd);
        ::close(fd);
    });
    LineReader reader(fds[0]);
    bool passed = false;
    try {
        passed = read(reader);
    } catch (const std::exception&) {
        // Failed; the read end must still close so that the writer ends.
    }
    ::close(fds[0]);
    writer.join();
    return passed;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

} // namespace

bool lineReaderSplitsPartialWrites()
{
    return throughPipe(
        [](int fd) {
            for (const char* piece : {"{\"cmd\":\"pa", "use\"}\n{\"cmd\":\"st", "op\"}"}) {
                writeAll(fd, piece);
                ::usleep(5000);
            }
        },
        [](LineReader& reader) {
            auto first = reader.next();
            auto second = reader.next();
            auto third = reader.next();
            return first == "{\"cmd\":\"pause\"}" && second == "{\"cmd\":\"stop\"}" && !third;
        });
}

bool lineReaderCapsAnEndlessLine()
{
    return throughPipe(
        [](int fd) {
            std::string block(65536, 'A');
            for (int i = 0; i < 24; ++i)
                writeAll(fd, block);
            writeAll(fd, "\n{\"cmd\":\"stop\"}\n");
        },
        [](LineReader& reader) {
            auto first = reader.next();
            auto second = reader.next();
            return first == "{\"cmd\":\"stop\"}" && !second;
        });
}

bool ringKeepsOrderAndReportsGaps()
{
    AudioRing ring(1024);
    std::vector<float> scratch(2 * 4096);
    auto push = [&](int64_t first, int64_t count) {
        for (int64_t i = 0; i < count; ++i)
            scratch[static_cast<size_t>(2 * i)] = scratch[static_cast<size_t>(2 * i + 1)] =
                static_cast<float>(first + i);
        ring.write(scratch.data(), count);
    };
    push(0, 1024);
    push(1024, 500);
    if (ring.droppedFrames() != 500)
        return false;
    auto block = ring.read(scratch.data(), 4096);
    if (block.frames != 1024 || block.gapFrames != 0)
        return false;
    for (int64_t i = 0; i < 1024; ++i)
        if (scratch[static_cast<size_t>(2 * i)] != static_cast<float>(i))
            return false;
    block = ring.read(scratch.data(), 4096);
    if (block.frames != 0 || block.gapFrames != 500)
        return false;
    push(1524, 100);
    block = ring.read(scratch.data(), 4096);
    return block.frames == 100 && block.gapFrames == 0 && scratch[0] == 1524.0f && ring.queued() == 0;
}

bool continuationsSortInCaptureOrder()
{
    std::string path = "/d/seg-000.m4a";
    std::vector<std::string> names{std::filesystem::path(path).filename()};
    for (int i = 0; i < 20; ++i) {
        path = continuationPath(path);
        names.push_back(std::filesystem::path(path).filename());
    }
    names.push_back("seg-001.m4a");
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    return sorted == names;
}

std::vector<uint8_t> box(std::string_view type, const std::vector<uint8_t>& payload)
{
    auto size = static_cast<uint32_t>(payload.size() + 8);
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(size >> shift));
    bytes.insert(bytes.end(), type.begin(), type.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

bool boxScannerFindsTruncation()
{
    const platform::System& system = *platform::current().system;
    std::filesystem::path directory =
        system.temporaryDirectory() + "korvalin-selftest-" + std::to_string(system.pid());
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);

    std::vector<uint8_t> bytes = box("ftyp", {'i', 's', 'o', 'm', 0, 0, 0, 0});
    std::vector<uint8_t> moof = box("moof", {0, 0, 0, 0});
    bytes.insert(bytes.end(), moof.begin(), moof.end());
    // Only the header of a media-data box that promised 40 bytes.
    bytes.insert(bytes.end(), {0, 0, 0, 40, 'm', 'd', 'a', 't'});

    std::string path = (directory / "boxes.m4a").string();
    bool passed = false;
    if (writeFile(path, bytes)) {
        if (auto slice = FileSlice::open(path)) {
            std::vector<Mp4Box> boxes = Mp4::topLevelBoxes(*slice);
            auto cut = Mp4::safeTruncation(boxes, slice->length());
            slice->close();
            passed = boxes.size() == 2 && boxes[0].type == "ftyp" && boxes[1].type == "moof" && cut == 16u;
        }
    }
    std::filesystem::remove_all(directory, ignored);
    return passed;
}

} // namespace korvalin::SelfTest
