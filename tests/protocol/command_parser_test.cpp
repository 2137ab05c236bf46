#include <gtest/gtest.h>

#include <fstream>

#include "protocol/command.h"
#include "protocol/error_code.h"
#include "protocol/json_line.h"

using korvalin::Command;
using korvalin::CommandError;
using korvalin::ErrorCode;
using namespace std::string_literals;
namespace CommandParser = korvalin::CommandParser;

namespace {

// The code and message a line is rejected with.
std::pair<std::string, std::string> rejection(std::string_view line)
{
    try {
        CommandParser::parse(line);
    } catch (const CommandError& error) {
        return {std::string(rawValue(error.code)), error.message};
    }
    return {"accepted", ""};
}

Command parsed(std::string_view line)
{
    auto command = CommandParser::parse(line);
    EXPECT_TRUE(command) << line;
    return command.value_or(Command{});
}

} // namespace

TEST(CommandParser, BlankLinesAreNoCommand)
{
    for (std::string_view line : {"", "   ", "\r", " \t\r", "\xC2\xA0\xE3\x80\x80"})
        EXPECT_FALSE(CommandParser::parse(line).has_value()) << line;
}

TEST(CommandParser, TrimsUnicodeWhiteSpaceAtBothEnds)
{
    EXPECT_EQ(parsed("{\"cmd\":\"stop\"}\r").kind, Command::Kind::stop);
    EXPECT_EQ(parsed("\xE2\x80\x83 {\"cmd\":\"pause\"}\xC2\x85").kind, Command::Kind::pause);
    EXPECT_EQ(parsed("{\"cmd\":\"stop\",\"x\":[1,{}]}").kind, Command::Kind::stop);
    EXPECT_EQ(parsed("{\"cmd\":\"stop\",\"x\":" + std::string(30, '9') + "}").kind, Command::Kind::stop);
}

TEST(CommandParser, ReadsEveryCommandAndItsArguments)
{
    auto start = parsed(R"({"cmd":"start","out":"/tmp/seg-000.m4a"})");
    EXPECT_EQ(start.kind, Command::Kind::start);
    EXPECT_EQ(start.out, "/tmp/seg-000.m4a");
    EXPECT_EQ(parsed(R"({"cmd":"resume","out":"  "})").out, "  ");
    auto merge = parsed(R"({"cmd":"merge","segments":["/a.m4a","/b.m4a"],"out":"/r.m4a"})");
    EXPECT_EQ(merge.kind, Command::Kind::merge);
    EXPECT_EQ(merge.segments, (std::vector<std::string>{"/a.m4a", "/b.m4a"}));
    EXPECT_EQ(merge.out, "/r.m4a");
    EXPECT_EQ(parsed(R"({"cmd":"permissions"})").kind, Command::Kind::permissions);
    EXPECT_EQ(parsed(R"({"cmd":"quit"})").kind, Command::Kind::quit);
}

TEST(CommandParser, ProbeSecondsAreClampedAndDefaulted)
{
    auto seconds = [](std::string_view value) {
        std::string line = "{\"cmd\":\"probe\"" + std::string(value) + "}";
        return parsed(line).seconds;
    };
    EXPECT_EQ(seconds(",\"seconds\":3"), 3.0);
    EXPECT_EQ(seconds(",\"seconds\":2.25"), 2.25);
    EXPECT_EQ(seconds(",\"seconds\":999"), 30.0);
    EXPECT_EQ(seconds(",\"seconds\":0"), 0.2);
    EXPECT_EQ(seconds(",\"seconds\":-4"), 0.2);
    EXPECT_EQ(seconds(",\"seconds\":0.2"), 0.2);
    EXPECT_EQ(seconds(",\"seconds\":true"), 1.0);
    EXPECT_EQ(seconds(",\"seconds\":false"), 0.2);
    EXPECT_EQ(seconds(""), 2.0);
    EXPECT_EQ(seconds(",\"seconds\":\"5\""), 2.0);
    EXPECT_EQ(seconds(",\"seconds\":null"), 2.0);
}

TEST(CommandParser, RejectsWhatIsNotAJsonObject)
{
    const std::pair<std::string, std::string> badJson{"bad_json", "řádek není JSON objekt"};
    for (std::string_view line : {"not json", "[1,2,3]", "\"start\"", "42", "{\"cmd\":\"stop\"} x",
                                  "{\"cmd\":\"stop\"", "{\"cmd\":\"probe\",\"seconds\":1e999}", "{\"cmd\":\"st\xEF\xBF\xBD\"\x01}"})
        EXPECT_EQ(rejection(line), badJson) << line;
    EXPECT_EQ(rejection(std::string(1000, '[') + std::string(1000, ']')), badJson);
    EXPECT_EQ(rejection("{\"cmd\":\"stop\",\"x\":" + std::string(10000, '9') + "}"), badJson);
}

TEST(CommandParser, NothingMayFollowTheObjectNotEvenAfterANul)
{
    const std::pair<std::string, std::string> badJson{"bad_json", "řádek není JSON objekt"};
    for (std::string line : {"{\"cmd\":\"stop\"}\0 garbage"s, "{\"cmd\":\"stop\"}\0"s, "{\"cmd\":\"stop\"}\0\r"s,
                             "{\"cmd\":\"stop\"} \0\0"s, "\0{\"cmd\":\"stop\"}"s, "{\"cmd\":\"stop\",\0\"x\":1}"s})
        EXPECT_EQ(rejection(line), badJson) << line;
}

TEST(CommandParser, APathWithANulIsRejectedNamingItsKey)
{
    EXPECT_EQ(rejection(R"({"cmd":"start","out":"rec.m4a\u0000.wav"})"),
              (std::pair<std::string, std::string>{"bad_command", "start: pole \"out\" obsahuje znak NUL"}));
    EXPECT_EQ(rejection(R"({"cmd":"resume","out":"\u0000"})").second, "resume: pole \"out\" obsahuje znak NUL");
    EXPECT_EQ(rejection(R"({"cmd":"merge","segments":["a.m4a","b\u0000.m4a"],"out":"r.m4a"})").second,
              "merge: pole \"segments\" obsahuje znak NUL");
    EXPECT_EQ(rejection(R"({"cmd":"merge","segments":["a.m4a"],"out":"r.m4a\u0000"})").second,
              "merge: pole \"out\" obsahuje znak NUL");
    // The segments are judged before out, as for a missing out.
    EXPECT_EQ(rejection(R"({"cmd":"merge","segments":["\u0000"]})").second, "merge: pole \"segments\" obsahuje znak NUL");
    EXPECT_EQ(parsed(R"({"cmd":"start","out":"rec\u0001\\0.m4a"})").out, "rec\x01\\0.m4a");
}

TEST(CommandParser, DeepNestingIsReadLikeAnyOtherJson)
{
    const size_t depth = 500'000;
    std::string line = "{\"cmd\":\"stop\",\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_EQ(parsed(line).kind, Command::Kind::stop);
    EXPECT_EQ(rejection(std::string(1 << 20, '[')).first, "bad_json");
    EXPECT_EQ(rejection(std::string(1 << 20, '{')).first, "bad_json");
}

TEST(CommandParser, RejectsMissingOrUnknownCommands)
{
    const std::pair<std::string, std::string> noCmd{"bad_command", "chybí pole \"cmd\""};
    EXPECT_EQ(rejection("{}"), noCmd);
    EXPECT_EQ(rejection(R"({"cmd":42})"), noCmd);
    EXPECT_EQ(rejection(R"({"Cmd":"stop"})"), noCmd);
    EXPECT_EQ(rejection(R"({"cmd":"teleport"})"),
              (std::pair<std::string, std::string>{"bad_command", "neznámý příkaz \"teleport\""}));
    EXPECT_EQ(rejection(R"({"cmd":"START","out":"/a"})").second, "neznámý příkaz \"START\"");
    EXPECT_EQ(rejection(R"({"cmd":"a\/b\u00e9"})").second, "neznámý příkaz \"a/bé\"");
}

TEST(CommandParser, RejectsMissingArguments)
{
    EXPECT_EQ(rejection(R"({"cmd":"start","out":""})"),
              (std::pair<std::string, std::string>{"bad_command", "start: chybí pole \"out\""}));
    EXPECT_EQ(rejection(R"({"cmd":"resume","out":7})").second, "resume: chybí pole \"out\"");
    EXPECT_EQ(rejection(R"({"cmd":"start"})").second, "start: chybí pole \"out\"");
    const std::string emptyList = "merge: prázdný seznam segmentů";
    EXPECT_EQ(rejection(R"({"cmd":"merge","segments":[],"out":"/r.m4a"})").second, emptyList);
    EXPECT_EQ(rejection(R"({"cmd":"merge","segments":["/a.m4a",1],"out":"/r.m4a"})").second, emptyList);
    EXPECT_EQ(rejection(R"({"cmd":"merge","segments":"/a.m4a"})").second, emptyList);
    EXPECT_EQ(rejection(R"({"cmd":"merge","segments":["/a.m4a"]})").second, "merge: chybí pole \"out\"");
}

TEST(ErrorCode, WireNamesAreThoseOfTheEventsSchema)
{
    std::ifstream file(KORVALIN_SCHEMA_DIR "/events.schema.json");
    auto names = korvalin::Json::parse(file).at("$defs").at("error_code").at("enum");
    ASSERT_EQ(names.size(), 13u);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(rawValue(static_cast<ErrorCode>(i)), names[i].get<std::string>());
}
