#include "protocol/command.h"
#include "protocol/error_code.h"
#include "protocol/json_line.h"

namespace korvalin {

namespace {

bool isWhiteSpace(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Decodes the code point starting at s[i] (the input is valid UTF-8).
char32_t codePointAt(std::string_view s, size_t i, size_t& length)
{
    auto c = static_cast<unsigned char>(s[i]);
    length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + length > s.size()) {
        length = 1;
        return c;
    }
    char32_t value = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k)
        value = (value << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return value;
}

std::string_view trim(std::string_view s)
{
    size_t begin = 0;
    while (begin < s.size()) {
        size_t length;
        if (!isWhiteSpace(codePointAt(s, begin, length)))
            break;
        begin += length;
    }
    size_t end = s.size();
    while (end > begin) {
        size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        size_t length;
        if (!isWhiteSpace(codePointAt(s, start, length)))
            break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

CommandError badCommand(std::string message)
{
    return CommandError(ErrorCode::badCommand, std::move(message));
}

// The system would end a path at its first NUL: a file of another name.
const std::string& pathWithoutNul(const std::string& path, std::string_view name, std::string_view key)
{
    if (path.find('\0') != std::string::npos)
        throw badCommand(std::string(name) + ": pole \"" + std::string(key) + "\" obsahuje znak NUL");
    return path;
}

std::string requiredOut(const Json& object, std::string_view name)
{
    auto it = object.find("out");
    if (it == object.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
        throw badCommand(std::string(name) + ": chybí pole \"out\"");
    return pathWithoutNul(it->get_ref<const std::string&>(), name, "out");
}

// Only the top-level keys and the elements of `segments` are read; deeper
// values are checked but never built, so deep nesting costs no memory.
const Json::parser_callback_t shallow = [](int depth, Json::parse_event_t, Json&) { return depth <= 2; };

double probeSeconds(const Json& object)
{
    double seconds = 2.0;
    auto it = object.find("seconds");
    if (it != object.end()) {
        if (it->is_boolean())
            seconds = it->get<bool>() ? 1.0 : 0.0;
        else if (it->is_number())
            seconds = it->get<double>();
    }
    if (!(seconds > 0.2))
        return 0.2;
    return seconds > 30 ? 30 : seconds;
}

EchoCancel echoCancel(const Json& object, std::string_view name)
{
    auto it = object.find("echo_cancel");
    if (it == object.end() || *it == false)
        return EchoCancel::off;
    if (*it == true)
        return EchoCancel::on;
    if (*it == "auto")
        return EchoCancel::automatic;
    throw badCommand(std::string(name) + ": pole \"echo_cancel\" musí být true, false nebo \"auto\"");
}

} // namespace

std::optional<Command> CommandParser::parse(std::string_view line)
{
    std::string_view text = trim(line);
    if (text.empty())
        return std::nullopt;

    // The JSON reader takes a NUL byte for the end of its input and would
    // ignore whatever follows it; JSON text holds no raw NUL anywhere.
    bool hasNul = text.find('\0') != std::string_view::npos;
    Json object = hasNul ? Json() : Json::parse(text, shallow, false);
    if (object.is_discarded() || !object.is_object())
        throw CommandError(ErrorCode::badJSON, "řádek není JSON objekt");

    auto cmd = object.find("cmd");
    if (cmd == object.end() || !cmd->is_string())
        throw badCommand("chybí pole \"cmd\"");
    const std::string& name = cmd->get_ref<const std::string&>();

    Command command;
    if (name == "start" || name == "resume") {
        command.kind = name == "start" ? Command::Kind::start : Command::Kind::resume;
        command.out = requiredOut(object, name);
        command.echoCancel = echoCancel(object, name);
    } else if (name == "pause") {
        command.kind = Command::Kind::pause;
    } else if (name == "stop") {
        command.kind = Command::Kind::stop;
    } else if (name == "merge") {
        command.kind = Command::Kind::merge;
        auto segments = object.find("segments");
        bool valid = segments != object.end() && segments->is_array() && !segments->empty();
        if (valid)
            for (const auto& segment : *segments)
                valid = valid && segment.is_string();
        if (!valid)
            throw badCommand("merge: prázdný seznam segmentů");
        for (const auto& segment : *segments)
            command.segments.push_back(pathWithoutNul(segment.get_ref<const std::string&>(), name, "segments"));
        command.out = requiredOut(object, name);
    } else if (name == "probe") {
        command.kind = Command::Kind::probe;
        command.seconds = probeSeconds(object);
    } else if (name == "permissions") {
        command.kind = Command::Kind::permissions;
    } else if (name == "quit") {
        command.kind = Command::Kind::quit;
    } else {
        throw badCommand("neznámý příkaz \"" + name + "\"");
    }
    return command;
}

} // namespace korvalin
