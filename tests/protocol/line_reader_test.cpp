#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "protocol/line_reader.h"

using korvalin::LineReader;

namespace {

// A reader over a pipe whose other end the test writes to.
struct Feed {
    int fds[2];
    Feed() { EXPECT_EQ(pipe(fds), 0); }
    ~Feed()
    {
        close(fds[0]);
        end();
    }
    void write(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
    }
    void end()
    {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
};

} // namespace

// The descriptor is non-blocking: a pause between pieces is no end of input.
TEST(LineReader, JoinsPiecesAndSplitsLinesFromOneRead)
{
    Feed feed;
    ASSERT_EQ(fcntl(feed.fds[0], F_SETFL, fcntl(feed.fds[0], F_GETFL) | O_NONBLOCK), 0);
    LineReader reader(feed.fds[0]);
    std::thread writer([&] {
        for (std::string piece : {"{\"cmd\"", ":\"pa", "use\"}"}) {
            feed.write(piece);
            usleep(50'000);
        }
        feed.write("\n{\"cmd\":\"stop\"}\n\r\n\n\xFF\x41\nlast");
        feed.end();
    });
    EXPECT_EQ(reader.next(), "{\"cmd\":\"pause\"}");
    EXPECT_EQ(reader.next(), "{\"cmd\":\"stop\"}");
    EXPECT_EQ(reader.next(), "\r");
    EXPECT_EQ(reader.next(), "");
    EXPECT_EQ(reader.next(), "\xEF\xBF\xBD" "A"); // decoded, invalid bytes replaced
    EXPECT_EQ(reader.next(), "last");
    EXPECT_EQ(reader.next(), std::nullopt);
    EXPECT_EQ(reader.next(), std::nullopt);
    writer.join();
}

// A line just under the cap is kept; one that outgrows it is dropped whole,
// reading resumes after it, and an endless tail is dropped at the end.
TEST(LineReader, DropsLinesThatOutgrowTheCap)
{
    Feed feed;
    LineReader reader(feed.fds[0]);
    std::thread writer([&] {
        feed.write(std::string(LineReader::lineCap, 'b') + "\n");
        for (int i = 0; i < 160; ++i) // 10 MiB without a line feed
            feed.write(std::string(65536, 'a'));
        feed.write("\n{\"cmd\":\"stop\"}\n" + std::string(LineReader::lineCap + 5000, 'c'));
        feed.end();
    });
    EXPECT_EQ(reader.next(), std::string(LineReader::lineCap, 'b'));
    EXPECT_EQ(reader.next(), "{\"cmd\":\"stop\"}");
    EXPECT_EQ(reader.next(), std::nullopt);
    writer.join();
}
