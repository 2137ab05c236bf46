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

// Unicode white space is trimmed at both ends; unknown keys are ignored.
TEST(CommandParser, ReadsEveryCommandAndItsArguments)
{
    const std::pair<std::string, Command::Kind> kinds[] = {
        {"{\"cmd\":\"stop\"}\r", Command::Kind::stop},
        {"\xE2\x80\x83 {\"cmd\":\"pause\"}\xC2\x85", Command::Kind::pause},
        {"{\"cmd\":\"stop\",\"x\":[1,{}]}", Command::Kind::stop},
        {"{\"cmd\":\"stop\",\"x\":" + std::string(30, '9') + "}", Command::Kind::stop},
        {R"({"cmd":"permissions"})", Command::Kind::permissions},
        {R"({"cmd":"quit"})", Command::Kind::quit},
        {R"({"cmd":"start","out":"/tmp/seg-000.m4a"})", Command::Kind::start},
    };
    for (const auto& [line, kind] : kinds)
        EXPECT_EQ(parsed(line).kind, kind) << line;
    EXPECT_EQ(parsed(R"({"cmd":"start","out":"/tmp/seg-000.m4a"})").out, "/tmp/seg-000.m4a");
    EXPECT_EQ(parsed(R"({"cmd":"resume","out":"  "})").out, "  ");
    using korvalin::EchoCancel;
    const std::pair<std::string, EchoCancel> echo[] = {
        {R"({"cmd":"start","out":"/a"})", EchoCancel::off},
        {R"({"cmd":"start","out":"/a","echo_cancel":false})", EchoCancel::off},
        {R"({"cmd":"resume","out":"/a","echo_cancel":true})", EchoCancel::on},
        {R"({"cmd":"start","echo_cancel":"auto","out":"/a"})", EchoCancel::automatic},
    };
    for (const auto& [line, mode] : echo)
        EXPECT_EQ(parsed(line).echoCancel, mode) << line;
    auto merge = parsed(R"({"cmd":"merge","segments":["/a.m4a","/b.m4a"],"out":"/r.m4a"})");
    EXPECT_EQ(merge.kind, Command::Kind::merge);
    EXPECT_EQ(merge.segments, (std::vector<std::string>{"/a.m4a", "/b.m4a"}));
    EXPECT_EQ(merge.out, "/r.m4a");
}

TEST(CommandParser, ProbeSecondsAreClampedAndDefaulted)
{
    const std::pair<std::string, double> table[] = {
        {",\"seconds\":3", 3.0},    {",\"seconds\":2.25", 2.25},  {",\"seconds\":999", 30.0},
        {",\"seconds\":0", 0.2},    {",\"seconds\":-4", 0.2},     {",\"seconds\":0.2", 0.2},
        {",\"seconds\":true", 1.0}, {",\"seconds\":false", 0.2},  {"", 2.0},
        {",\"seconds\":\"5\"", 2.0}, {",\"seconds\":null", 2.0},
    };
    for (const auto& [value, seconds] : table)
        EXPECT_EQ(parsed("{\"cmd\":\"probe\"" + value + "}").seconds, seconds) << value;
}

// Nothing may follow the object, not even after a NUL; an unclosed deep nesting is no object.
TEST(CommandParser, RejectsWhatIsNotAJsonObject)
{
    for (std::string line : {"not json"s, "[1,2,3]"s, "\"start\""s, "42"s, "{\"cmd\":\"stop\"} x"s, "{\"cmd\":\"stop\""s,
                             "{\"cmd\":\"probe\",\"seconds\":1e999}"s, "{\"cmd\":\"st\xEF\xBF\xBD\"\x01}"s,
                             std::string(1000, '[') + std::string(1000, ']'),
                             "{\"cmd\":\"stop\",\"x\":" + std::string(10000, '9') + "}",
                             "{\"cmd\":\"stop\"}\0 garbage"s, "{\"cmd\":\"stop\"}\0"s, "{\"cmd\":\"stop\"}\0\r"s,
                             "{\"cmd\":\"stop\"} \0\0"s, "\0{\"cmd\":\"stop\"}"s, "{\"cmd\":\"stop\",\0\"x\":1}"s,
                             std::string(1 << 20, '['), std::string(1 << 20, '{')})
        EXPECT_EQ(rejection(line), (std::pair<std::string, std::string>{"bad_json", "řádek není JSON objekt"})) << line;
}

TEST(CommandParser, DeepNestingIsReadLikeAnyOtherJson)
{
    const size_t depth = 500'000;
    std::string line = "{\"cmd\":\"stop\",\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_EQ(parsed(line).kind, Command::Kind::stop);
}

// Every message names the command and the key at fault; the segments are
// judged before out.
TEST(CommandParser, RejectsBadCommandsNamingWhatIsWrong)
{
    const std::string noCmd = "chybí pole \"cmd\"", emptyList = "merge: prázdný seznam segmentů";
    const std::string badEcho = ": pole \"echo_cancel\" musí být true, false nebo \"auto\"";
    const std::pair<std::string_view, std::string> table[] = {
        {"{}", noCmd},
        {R"({"cmd":42})", noCmd},
        {R"({"Cmd":"stop"})", noCmd},
        {R"({"cmd":"teleport"})", "neznámý příkaz \"teleport\""},
        {R"({"cmd":"START","out":"/a"})", "neznámý příkaz \"START\""},
        {R"({"cmd":"a\/b\u00e9"})", "neznámý příkaz \"a/bé\""},
        {R"({"cmd":"start","out":""})", "start: chybí pole \"out\""},
        {R"({"cmd":"resume","out":7})", "resume: chybí pole \"out\""},
        {R"({"cmd":"start"})", "start: chybí pole \"out\""},
        {R"({"cmd":"merge","segments":[],"out":"/r.m4a"})", emptyList},
        {R"({"cmd":"merge","segments":["/a.m4a",1],"out":"/r.m4a"})", emptyList},
        {R"({"cmd":"merge","segments":"/a.m4a"})", emptyList},
        {R"({"cmd":"merge","segments":["/a.m4a"]})", "merge: chybí pole \"out\""},
        {R"({"cmd":"start","out":"rec.m4a\u0000.wav"})", "start: pole \"out\" obsahuje znak NUL"},
        {R"({"cmd":"resume","out":"\u0000"})", "resume: pole \"out\" obsahuje znak NUL"},
        {R"({"cmd":"merge","segments":["a.m4a","b\u0000.m4a"],"out":"r.m4a"})", "merge: pole \"segments\" obsahuje znak NUL"},
        {R"({"cmd":"merge","segments":["a.m4a"],"out":"r.m4a\u0000"})", "merge: pole \"out\" obsahuje znak NUL"},
        {R"({"cmd":"merge","segments":["\u0000"]})", "merge: pole \"segments\" obsahuje znak NUL"},
        {R"({"cmd":"start","out":"/a","echo_cancel":1})", "start" + badEcho},
        {R"({"cmd":"resume","out":"/a","echo_cancel":"AUTO"})", "resume" + badEcho},
        {R"({"cmd":"start","out":"/a","echo_cancel":null})", "start" + badEcho},
        {R"({"cmd":"start","out":"/a","echo_cancel":["auto"]})", "start" + badEcho},
    };
    for (const auto& [line, message] : table)
        EXPECT_EQ(rejection(line), (std::pair<std::string, std::string>{"bad_command", message})) << line;
    EXPECT_EQ(parsed(R"({"cmd":"start","out":"rec\u0001\\0.m4a"})").out, "rec\x01\\0.m4a");
}

TEST(ErrorCode, WireNamesAreThoseOfTheEventsSchema)
{
    std::ifstream file(KORVALIN_SCHEMA_DIR "/events.schema.json");
    auto names = korvalin::Json::parse(file).at("$defs").at("error_code").at("enum");
    ASSERT_EQ(names.size(), 13u);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(rawValue(static_cast<ErrorCode>(i)), names[i].get<std::string>());
}
