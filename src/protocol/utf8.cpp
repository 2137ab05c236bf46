#include "protocol/utf8.h"

namespace korvalin {

Utf8Step utf8StepAt(std::string_view s, size_t i)
{
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return {1, true};
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) need = 1;
    else if (c == 0xE0) { need = 2; lo = 0xA0; }
    else if (c == 0xED) { need = 2; hi = 0x9F; }
    else if (c >= 0xE1 && c <= 0xEF) need = 2;
    else if (c == 0xF0) { need = 3; lo = 0x90; }
    else if (c == 0xF4) { need = 3; hi = 0x8F; }
    else if (c >= 0xF1 && c <= 0xF3) need = 3;
    else return {1, false};
    // The longest valid prefix: a broken sequence is replaced as one unit and
    // decoding resumes at the byte that broke it.
    size_t k = 1;
    for (; k <= need && i + k < s.size(); ++k) {
        auto b = static_cast<unsigned char>(s[i + k]);
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h)
            break;
    }
    return {k, k == need + 1};
}

std::string decodeUtf8Lossy(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        Utf8Step step = utf8StepAt(s, i);
        if (step.valid)
            out.append(s.substr(i, step.length));
        else
            out += replacementCharacter;
        i += step.length;
    }
    return out;
}

} // namespace korvalin
