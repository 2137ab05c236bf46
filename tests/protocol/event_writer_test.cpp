#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <map>
#include <thread>
#include <unistd.h>

#include "protocol/event_writer.h"
#include "protocol/utf8.h"

using korvalin::encodeJson;
using korvalin::Event;
using korvalin::EventWriter;
using korvalin::Json;

namespace {

struct Pipe {
    int fds[2];
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    }
    void closeWrite()
    {
        close(fds[1]);
        fds[1] = -1;
    }
    std::string readAll()
    {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
            out.append(buffer, static_cast<size_t>(n));
        return out;
    }
    std::string drain()
    {
        closeWrite();
        return readAll();
    }
};

} // namespace

// Sorted keys, compact, "/" and control characters escaped, Unicode raw,
// numbers of their own kind.
TEST(JsonLine, WritesTheCanonicalForm)
{
    const std::pair<Json, std::string> table[] = {
        {Event{{"version", "0.1.0"}, {"pid", 42}, {"ev", "ready"}}, R"({"ev":"ready","pid":42,"version":"0.1.0"})"},
        {korvalin::errorEvent("busy", "segment už běží", true),
         R"({"code":"busy","ev":"error","fatal":true,"msg":"segment už běží"})"},
        {Event{{"path", "/tmp/a b/\"x\"\\y.m4a"}, {"text", "řádek\n\t\x01konec"}},
         "{\"path\":\"\\/tmp\\/a b\\/\\\"x\\\"\\\\y.m4a\",\"text\":\"řádek\\n\\t\\u0001konec\"}"},
        {Json::array({3, -120.0, -6.0206, 0.1, 2.3, int64_t{1} << 53, 1e300}),
         "[3,-120,-6.0206,0.1,2.3,9007199254740992,1e+300]"},
        {Json{{"apps", Json::array({Json{{"state", "granted"}, {"bundle_id", "a.b"}}})}},
         R"({"apps":[{"bundle_id":"a.b","state":"granted"}]})"},
    };
    for (const auto& [json, line] : table)
        EXPECT_EQ(encodeJson(json), line);
}

TEST(JsonLine, RejectsWhatJsonCannotRepresent)
{
    for (const Json& json : {Json{{"x", std::nan("")}}, Json{{"x", INFINITY}}, Json::array({"ok", Json{{"x", -INFINITY}}})})
        EXPECT_FALSE(encodeJson(json)) << json.dump();
}

TEST(Utf8, EachMaximalIllFormedSubpartBecomesOneReplacement)
{
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> table[] = {
        {"\xFF.m4a", r + ".m4a"},
        {"a\xE2\x82.b", "a" + r + ".b"},           // truncated three-byte sequence
        {"\xED\xA0\x80", r + r + r},               // an encoded surrogate
        {"\xC0\xAF", r + r},                       // '/' in two bytes: no C0 lead byte
        {"\xC1\xBF|\xC1", r + r + "|" + r},        // nor C1
        {"\xE0\x80\xAF", r + r + r},               // '/' in three bytes
        {"\xF0\x80\x80\x41", r + r + r + "A"},     // four-byte overlong
        {"\xF4\x90\x80\x80", r + r + r + r},       // beyond U+10FFFF
        {"\xC3\xA9\xF0\x9F\x8E", "\xC3\xA9" + r},  // cut off at the end
        {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xF4\x8F\xBF\xBF", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xF4\x8F\xBF\xBF"},
    };
    for (const auto& [bytes, text] : table) {
        EXPECT_EQ(korvalin::decodeUtf8Lossy(bytes), text) << bytes;
        EXPECT_EQ(encodeJson(Json(bytes)), "\"" + text + "\"") << bytes;
    }
    EXPECT_EQ(encodeJson(Json{{"k\xC0", "\xF5"}}), "{\"k" + r + "\":\"" + r + "\"}");
}

TEST(EventWriter, WritesOneLinePerEventAndLogsSeparately)
{
    Pipe out, err;
    EventWriter writer(out.fds[1], err.fds[1]);
    writer.emit(Event{{"ev", "stopped"}, {"reason", "quit"}});
    writer.emit(Event{{"ev", "x"}, {"bad", std::nan("")}});
    writer.emit(Event{{"ev", "repaired"}, {"path", "/r/\xFF.m4a"}});
    writer.log("stdin uzavřen — ukončuji");
    writer.log("segment /r/\xFF.m4a nemá čitelnou zvukovou stopu");
    std::string lines = out.drain();
    EXPECT_EQ(lines, "{\"ev\":\"stopped\",\"reason\":\"quit\"}\n"
                     "{\"ev\":\"repaired\",\"path\":\"\\/r\\/\xEF\xBF\xBD.m4a\"}\n");
    EXPECT_EQ(lines.find('\n'), 32u);
    std::string logs = err.drain();
    EXPECT_EQ(logs.rfind("korvalin-cap: nelze serializovat event ", 0), 0u) << logs;
    EXPECT_NE(logs.find("korvalin-cap: stdin uzavřen — ukončuji\n"
                        "korvalin-cap: segment /r/\xEF\xBF\xBD.m4a nemá čitelnou zvukovou stopu\n"),
              std::string::npos);
}

TEST(EventWriter, AReaderThatHasGoneIsToldOnceAndNothingMoreIsWritten)
{
    std::signal(SIGPIPE, SIG_IGN);
    Pipe out, err;
    EventWriter writer(out.fds[1], err.fds[1]);
    int told = 0;
    writer.onReaderGone([&] { ++told; });
    writer.emit(Event{{"ev", "ready"}});
    EXPECT_EQ(told, 0);
    close(out.fds[0]);
    out.fds[0] = -1;
    for (int i = 0; i < 3; ++i)
        writer.emit(Event{{"ev", "levels"}});
    EXPECT_EQ(told, 1);
    EXPECT_EQ(err.drain(), "");
}

TEST(EventWriter, LinesFromManyThreadsNeverInterleave)
{
    Pipe out, err;
    EventWriter writer(out.fds[1], err.fds[1]);
    // Far beyond the 64 KiB a pipe holds: each line takes several writes,
    // which only the lock keeps together.
    const std::string pad(200'000, 'x');
    std::string all;
    std::thread reader([&] { all = out.readAll(); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                writer.emit(Event{{"ev", "levels"}, {"pad", pad}, {"t", t}});
        });
    for (auto& thread : threads)
        thread.join();
    out.closeWrite();
    reader.join();
    std::map<std::string, int> lines;
    for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
        ++lines[all.substr(start, end - start)];
    std::map<std::string, int> expected;
    for (int t = 0; t < 4; ++t)
        expected["{\"ev\":\"levels\",\"pad\":\"" + pad + "\",\"t\":" + std::to_string(t) + "}"] = 10;
    EXPECT_TRUE(lines == expected) << "lines were mixed up";
    EXPECT_EQ(all.back(), '\n');
}
